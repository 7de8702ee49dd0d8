#include "acquire/system_codecs.h"

#include <windows.h>
#include <objbase.h>
#include <wincodec.h>

#include <cstdio>

namespace {

// One interface, released when it goes.
template <typename T>
struct Held {
    T* p = nullptr;
    ~Held()
    {
        if (p != nullptr) {
            p->Release();
        }
    }
};

bool Failed(HRESULT hr, const char* step, std::string& error)
{
    if (SUCCEEDED(hr)) {
        return false;
    }
    char text[96];
    std::snprintf(text, sizeof text, "%s failed (0x%08lx)", step, static_cast<unsigned long>(hr));
    error = text;
    return true;
}

}  // namespace

bool DecodeWithSystemCodecs(const std::string& path, DecodedImage& image, std::string& error)
{
    // COM for this call only, unless the thread has it in another model.
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (FAILED(com) && com != RPC_E_CHANGED_MODE) {
        return !Failed(com, "CoInitializeEx", error);
    }
    bool read = false;
    {
        wchar_t wide[MAX_PATH];
        MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide, MAX_PATH);
        Held<IWICImagingFactory> factory;
        Held<IWICBitmapDecoder> decoder;
        Held<IWICBitmapFrameDecode> frame;
        Held<IWICFormatConverter> converter;
        WICPixelFormatGUID format = {};
        UINT width = 0, height = 0;
        if (!Failed(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                                     reinterpret_cast<void**>(&factory.p)),
                    "creating the imaging factory", error) &&
            !Failed(factory.p->CreateDecoderFromFilename(wide, nullptr, GENERIC_READ, WICDecodeMetadataCacheOnDemand,
                                                         &decoder.p),
                    "opening the file", error) &&
            !Failed(decoder.p->GetFrame(0, &frame.p), "reading its first frame", error) &&
            !Failed(frame.p->GetPixelFormat(&format), "reading its pixel format", error) &&
            !Failed(frame.p->GetSize(&width, &height), "reading its size", error) &&
            !Failed(factory.p->CreateFormatConverter(&converter.p), "creating a converter", error)) {
            const bool grey = IsEqualGUID(format, GUID_WICPixelFormat8bppGray);
            image.Width = width;
            image.Height = height;
            image.Samples = grey ? 1 : 3;
            image.Pixels.assign(static_cast<size_t>(width) * height * image.Samples, 0);
            const UINT stride = width * image.Samples;
            read = !Failed(converter.p->Initialize(frame.p, grey ? GUID_WICPixelFormat8bppGray : GUID_WICPixelFormat24bppBGR,
                                                   WICBitmapDitherTypeNone, nullptr, 0, WICBitmapPaletteTypeCustom),
                           "converting it", error) &&
                   !Failed(converter.p->CopyPixels(nullptr, stride, static_cast<UINT>(image.Pixels.size()),
                                                   image.Pixels.data()),
                           "copying its pixels", error);
            // Blue first as decoded, red first as the checker reads.
            for (size_t i = 0; read && !grey && i + 2 < image.Pixels.size(); i += 3) {
                std::swap(image.Pixels[i], image.Pixels[i + 2]);
            }
        }
    }
    if (SUCCEEDED(com)) {
        CoUninitialize();
    }
    return read;
}
