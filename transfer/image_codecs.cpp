// The Windows Imaging Component's encoders, driven for the file transfer.
// Every interface is held by a ComPtr and released on every path; COM is
// initialised per call (ComScope) because the factory makes each encoder
// through COM, and the application's thread may or may not have done it.
// An image is encoded into memory and the caller writes the file: a write
// that fails is then seen where it fails (an encoder may keep a page's
// bytes until the next page or its commit).
#include "transfer/image_codecs.h"

#include <windows.h>
#include <objbase.h>
#include <ocidl.h>
#include <wincodec.h>

#include <cstring>

#include "transfer/pixels.h"
#include "twain/allocation.h"
#include "twain/debug_log.h"

namespace {

// One COM interface, released when it goes. Out() hands its slot to a call
// that fills it, releasing what it held.
template <typename T>
class ComPtr {
public:
    ComPtr() = default;
    ~ComPtr() { Reset(); }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    T* operator->() const { return p_; }
    T* Get() const { return p_; }
    T** Out()
    {
        Reset();
        return &p_;
    }
    void Reset()
    {
        if (p_ != nullptr) {
            p_->Release();
            p_ = nullptr;
        }
    }

private:
    T* p_ = nullptr;
};

// COM on the calling thread for one call. A thread that has it already, in
// either model, keeps it as it is (S_FALSE still counts one initialisation
// to undo; RPC_E_CHANGED_MODE counts none).
class ComScope {
public:
    ComScope()
    {
        const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        initialised_ = SUCCEEDED(hr);
        usable_ = initialised_ || hr == RPC_E_CHANGED_MODE;
    }
    ~ComScope()
    {
        if (initialised_) {
            CoUninitialize();
        }
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;
    bool Usable() const { return usable_; }

private:
    bool initialised_ = false;
    bool usable_ = false;
};

// The factory, and the library held loaded for as long as the factory
// lives: the last CoUninitialize of a thread may unload what COM loaded.
ComPtr<IWICImagingFactory> Factory;
HMODULE CodecLibrary = nullptr;
// What the first attempt of this load of the module found; the answer
// does not change while the module stays loaded.
bool FactoryRefused = false;
bool FactoryMade = false;

IWICImagingFactory* TheFactory()
{
    if (Factory.Get() != nullptr || FactoryRefused) {
        return Factory.Get();
    }
    CodecLibrary = LoadLibraryA("windowscodecs.dll");
    const HRESULT hr = CodecLibrary == nullptr
                           ? HRESULT_FROM_WIN32(GetLastError())
                           : CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                              IID_IWICImagingFactory, reinterpret_cast<void**>(Factory.Out()));
    FactoryMade = SUCCEEDED(hr);
    if (FAILED(hr)) {
        FactoryRefused = true;
        DebugLog().Write("Talvenix TWAIN DS: the Windows Imaging Component cannot be created (0x%08lx): "
                         "files are written as TIFF by the board library only\n",
                         static_cast<unsigned long>(hr));
        if (CodecLibrary != nullptr) {
            FreeLibrary(CodecLibrary);
            CodecLibrary = nullptr;
        }
    }
    return Factory.Get();
}

const GUID& Container(ImageFileKind kind)
{
    switch (kind) {
    case ImageFileKind::Bmp: return GUID_ContainerFormatBmp;
    case ImageFileKind::Png: return GUID_ContainerFormatPng;
    case ImageFileKind::Jpeg: return GUID_ContainerFormatJpeg;
    case ImageFileKind::Tiff: break;
    }
    return GUID_ContainerFormatTiff;
}

// One encoder option by name; an encoder that does not know it keeps its
// own choice.
void SetOption(IPropertyBag2* bag, const wchar_t* name, VARTYPE type, float real, BYTE byte)
{
    PROPBAG2 option = {};
    option.pstrName = const_cast<wchar_t*>(name);
    VARIANT value;
    std::memset(&value, 0, sizeof value);
    value.vt = type;
    if (type == VT_R4) {
        value.fltVal = real;
    } else {
        value.bVal = byte;
    }
    bag->Write(1, &option, &value);
}

// One frame of `image` into `encoder`: options, size, resolution, pixel
// format (a grey BMP as 8-bit indices through a grey palette: the BMP
// encoder takes no grey format), pixels.
bool WriteFrame(IWICImagingFactory* factory, IWICBitmapEncoder* encoder, ImageFileKind kind,
                const CodecImage& image, int quality)
{
    ComPtr<IWICBitmapFrameEncode> frame;
    ComPtr<IPropertyBag2> options;
    if (FAILED(encoder->CreateNewFrame(frame.Out(), options.Out()))) {
        return false;
    }
    if (options.Get() != nullptr && kind == ImageFileKind::Jpeg) {
        SetOption(options.Get(), L"ImageQuality", VT_R4, static_cast<float>(quality) / 100.0f, 0);
    }
    // The pixels as they are, whatever a platform's default compression.
    if (options.Get() != nullptr && kind == ImageFileKind::Tiff) {
        SetOption(options.Get(), L"TiffCompressionMethod", VT_UI1, 0, WICTiffCompressionNone);
    }
    const bool grey = image.SamplesPerPixel == 1;
    const bool indexed = grey && kind == ImageFileKind::Bmp;
    WICPixelFormatGUID format = grey ? (indexed ? GUID_WICPixelFormat8bppIndexed : GUID_WICPixelFormat8bppGray)
                                     : GUID_WICPixelFormat24bppBGR;
    const WICPixelFormatGUID wanted = format;
    if (FAILED(frame->Initialize(options.Get())) || FAILED(frame->SetSize(image.Width, image.Height)) ||
        FAILED(frame->SetResolution(ImageDotsPerInch, ImageDotsPerInch)) ||
        FAILED(frame->SetPixelFormat(&format)) || !IsEqualGUID(format, wanted)) {
        return false;
    }
    if (indexed) {
        ComPtr<IWICPalette> palette;
        if (FAILED(factory->CreatePalette(palette.Out())) ||
            FAILED(palette->InitializePredefined(WICBitmapPaletteTypeFixedGray256, FALSE)) ||
            FAILED(frame->SetPalette(palette.Get()))) {
            return false;
        }
    }
    const UINT stride = image.Width * image.SamplesPerPixel;
    return SUCCEEDED(frame->WritePixels(image.Height, stride, stride * image.Height,
                                        const_cast<BYTE*>(image.Samples))) &&
           SUCCEEDED(frame->Commit());
}

}  // namespace

bool ImageCodecsAvailable()
{
    // Asked at every open: only the first of a load of the module tries,
    // and lets go of what it made, so that an open holds nothing of it.
    if (FactoryMade || FactoryRefused) {
        return FactoryMade;
    }
    {
        ComScope com;
        if (com.Usable()) {
            TheFactory();
        }
    }
    if (Factory.Get() != nullptr) {
        Factory.Reset();
        FreeLibrary(CodecLibrary);
        CodecLibrary = nullptr;
    }
    return FactoryMade;
}

uint16_t EncodeImage(ImageFileKind kind, const CodecImage& image, int quality, OwnedArray<uint8_t>& bytes,
                     size_t& size)
{
    bytes.reset();
    size = 0;
    ComScope com;
    IWICImagingFactory* factory = com.Usable() ? TheFactory() : nullptr;
    if (factory == nullptr) {
        return 1;
    }
    // A stream on memory that grows as the encoder writes; it frees the
    // memory when released.
    ComPtr<IStream> stream;
    ComPtr<IWICBitmapEncoder> encoder;
    STATSTG written = {};
    if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, stream.Out())) ||
        FAILED(factory->CreateEncoder(Container(kind), nullptr, encoder.Out())) ||
        FAILED(encoder->Initialize(stream.Get(), WICBitmapEncoderNoCache)) ||
        !WriteFrame(factory, encoder.Get(), kind, image, quality) || FAILED(encoder->Commit()) ||
        FAILED(stream->Stat(&written, STATFLAG_NONAME)) || written.cbSize.QuadPart == 0 ||
        written.cbSize.QuadPart > 0x40000000) {
        return 1;
    }
    HGLOBAL memory = nullptr;
    if (FAILED(GetHGlobalFromStream(stream.Get(), &memory))) {
        return 1;
    }
    size = static_cast<size_t>(written.cbSize.QuadPart);
    bytes = AllocateArray<uint8_t>(size);
    const void* encoded = GlobalLock(memory);
    if (!bytes || encoded == nullptr) {
        if (encoded != nullptr) {
            GlobalUnlock(memory);
        }
        bytes.reset();
        size = 0;
        return 1;
    }
    std::memcpy(bytes.get(), encoded, size);
    GlobalUnlock(memory);
    return 0;
}

void ReleaseImageCodecs()
{
    Factory.Reset();
    if (CodecLibrary != nullptr) {
        FreeLibrary(CodecLibrary);
        CodecLibrary = nullptr;
    }
}
