// twacquire: a TWAIN application for the console. It talks to a source
// through the real Data Source Manager, as any image-acquiring program does:
// opens the manager with a window, opens the source, negotiates, enables it,
// runs its message loop through MSG_PROCESSEVENT until the source says a
// transfer is ready, transfers every pending image and writes it to a file.
#include <windows.h>

#include <io.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "acquire/box_watcher.h"
#include "acquire/dsm.h"
#include "acquire/image_files.h"

namespace {

const char* const DefaultSource = "Talvenix Matrox Orion driver";

struct Options {
    bool List = false;
    bool Identity = false;
    std::string Source = DefaultSource;
    TW_UINT16 Mechanism = TWSX_NATIVE;
    int Count = 1;           // CAP_XFERCOUNT; -1: until stopped
    int StopAfter = 0;       // with -1: MSG_RESET after this many images
    int PixelType = -1;      // TWPT_GRAY, TWPT_RGB, or the source's choice
    bool ShowUi = false;
    std::string OutDir = ".";
    std::string Format = "";  // bmp or tiff for native and memory transfers
    TW_UINT32 StripBytes = 0;  // memory transfer buffer; 0: the source's preferred size
    bool Unattended = false;
    int TimeoutSeconds = 60;
    bool TimeoutGiven = false;
};

void Usage()
{
    std::printf(
        "usage: twacquire [options]\n"
        "  --list                 list the sources the Data Source Manager finds\n"
        "  --identity             print the identity of the source\n"
        "  --source NAME          the source to open (default: %s)\n"
        "  --mech native|memory|file   transfer mechanism (default native)\n"
        "  --count N              CAP_XFERCOUNT: images to transfer, -1 for any number (default 1)\n"
        "  --stop-after N         with --count -1: end with MSG_RESET after N images\n"
        "  --pixel gray|rgb       ICAP_PIXELTYPE to ask for\n"
        "  --format bmp|tiff      file format for native and memory transfers\n"
        "                         (default: bmp for native, tiff for memory)\n"
        "  --strip BYTES          memory transfer buffer size (default: the source's preferred)\n"
        "  --ui                   enable the source with its user interface\n"
        "  --out DIR              folder for the images (default: current)\n"
        "  --unattended           dismiss the source's message boxes, printing them\n"
        "                         (the default when standard input is not a terminal)\n"
        "  --timeout SECONDS      give up waiting for the source (default 60; none with --ui)\n",
        DefaultSource);
}

bool ParseOptions(int argc, char** argv, Options& options)
{
    options.Unattended = !_isatty(_fileno(stdin));
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "twacquire: %s needs a value\n", arg.c_str());
                return false;
            }
            out = argv[++i];
            return true;
        };
        std::string text;
        if (arg == "--list") {
            options.List = true;
        } else if (arg == "--identity") {
            options.Identity = true;
        } else if (arg == "--ui") {
            options.ShowUi = true;
        } else if (arg == "--unattended") {
            options.Unattended = true;
        } else if (arg == "--source") {
            if (!value(options.Source)) return false;
        } else if (arg == "--out") {
            if (!value(options.OutDir)) return false;
        } else if (arg == "--mech") {
            if (!value(text)) return false;
            if (text == "native") {
                options.Mechanism = TWSX_NATIVE;
            } else if (text == "memory") {
                options.Mechanism = TWSX_MEMORY;
            } else if (text == "file") {
                options.Mechanism = TWSX_FILE;
            } else {
                std::fprintf(stderr, "twacquire: unknown mechanism %s\n", text.c_str());
                return false;
            }
        } else if (arg == "--pixel") {
            if (!value(text)) return false;
            if (text != "gray" && text != "rgb") {
                std::fprintf(stderr, "twacquire: unknown pixel type %s\n", text.c_str());
                return false;
            }
            options.PixelType = text == "gray" ? TWPT_GRAY : TWPT_RGB;
        } else if (arg == "--format") {
            if (!value(options.Format)) return false;
            if (options.Format != "bmp" && options.Format != "tiff") {
                std::fprintf(stderr, "twacquire: unknown format %s\n", options.Format.c_str());
                return false;
            }
        } else if (arg == "--count" || arg == "--stop-after" || arg == "--strip" || arg == "--timeout") {
            if (!value(text)) return false;
            const int number = std::atoi(text.c_str());
            if (arg == "--count") {
                options.Count = number;
            } else if (arg == "--stop-after") {
                options.StopAfter = number;
            } else if (arg == "--strip") {
                options.StripBytes = static_cast<TW_UINT32>(number);
            } else {
                options.TimeoutSeconds = number;
                options.TimeoutGiven = true;
            }
        } else {
            return false;
        }
    }
    if (options.Format.empty()) {
        options.Format = options.Mechanism == TWSX_MEMORY ? "tiff" : "bmp";
    }
    return true;
}

void PrintIdentity(const TW_IDENTITY& identity)
{
    std::printf("ProductName:     %s\n", identity.ProductName);
    std::printf("Manufacturer:    %s\n", identity.Manufacturer);
    std::printf("ProductFamily:   %s\n", identity.ProductFamily);
    std::printf("Version:         %u.%u \"%s\" (language %u, country %u)\n", identity.Version.MajorNum,
                identity.Version.MinorNum, identity.Version.Info, identity.Version.Language,
                identity.Version.Country);
    std::printf("Protocol:        %u.%u\n", identity.ProtocolMajor, identity.ProtocolMinor);
    std::printf("SupportedGroups: 0x%lx\n", static_cast<unsigned long>(identity.SupportedGroups));
}

const char* MechanismName(TW_UINT16 mechanism)
{
    switch (mechanism) {
    case TWSX_NATIVE: return "native";
    case TWSX_MEMORY: return "memory";
    default: return "file";
    }
}

// One session with one source: open, negotiate, enable, transfer, close.
class Session {
public:
    Session(DataSourceManager& dsm, const Options& options) : dsm_(dsm), options_(options) {}

    int Run(HWND window);

private:
    bool Fail(const std::string& what)
    {
        std::fprintf(stderr, "twacquire: %s (%s)\n", what.c_str(), ConditionName(dsm_.Condition(&source_)));
        return false;
    }
    bool SetOneValue(TW_UINT16 cap, TW_UINT16 itemType, TW_UINT32 value, const char* what);
    bool Negotiate();
    bool WaitForTransfer(HWND window);
    bool TransferAll();
    bool TransferOne(int index, TW_UINT16& pendingCount);
    bool Native(const TW_IMAGEINFO& info, const std::string& stem, size_t& bytes);
    bool Memory(const TW_IMAGEINFO& info, const std::string& stem, size_t& bytes);
    bool File(const std::string& stem, size_t& bytes);

    DataSourceManager& dsm_;
    const Options& options_;
    TW_IDENTITY source_ = {};
    bool open_ = false;
    bool enabled_ = false;
    bool closeRequested_ = false;
    int images_ = 0;
};

bool Session::SetOneValue(TW_UINT16 cap, TW_UINT16 itemType, TW_UINT32 value, const char* what)
{
    HGLOBAL container = GlobalAlloc(GMEM_MOVEABLE, sizeof(TW_ONEVALUE));
    if (container == nullptr) {
        return Fail("out of memory");
    }
    auto* one = static_cast<TW_ONEVALUE*>(GlobalLock(container));
    one->ItemType = itemType;
    one->Item = value;
    GlobalUnlock(container);
    TW_CAPABILITY capability = {cap, TWON_ONEVALUE, container};
    const TW_UINT16 rc = dsm_.Call(&source_, DG_CONTROL, DAT_CAPABILITY, MSG_SET, &capability);
    GlobalFree(container);
    if (rc != TWRC_SUCCESS) {
        return Fail(std::string("the source refused ") + what);
    }
    return true;
}

bool Session::Negotiate()
{
    if (!SetOneValue(CAP_XFERCOUNT, TWTY_INT16, static_cast<TW_UINT16>(options_.Count), "CAP_XFERCOUNT")) {
        return false;
    }
    if (!SetOneValue(ICAP_XFERMECH, TWTY_UINT16, options_.Mechanism, "ICAP_XFERMECH")) {
        return false;
    }
    if (options_.PixelType >= 0 &&
        !SetOneValue(ICAP_PIXELTYPE, TWTY_UINT16, static_cast<TW_UINT32>(options_.PixelType), "ICAP_PIXELTYPE")) {
        return false;
    }
    return true;
}

bool Session::WaitForTransfer(HWND window)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options_.TimeoutSeconds);
    MSG message;
    // A user at the dialog takes as long as they like, unless told otherwise.
    const bool untimed = options_.ShowUi && !options_.TimeoutGiven;
    while (untimed || std::chrono::steady_clock::now() < deadline) {
        if (!PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
            continue;
        }
        // Thread messages (no window) go through the source too: the
        // manager's notices may arrive that way.
        TW_EVENT event = {&message, MSG_NULL};
        const TW_UINT16 rc = dsm_.Call(&source_, DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event);
        if (event.TWMessage == MSG_XFERREADY) {
            return true;
        }
        if (event.TWMessage == MSG_CLOSEDSREQ) {
            closeRequested_ = true;
            return false;
        }
        if (rc != TWRC_DSEVENT) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
    (void)window;
    std::fprintf(stderr, "twacquire: the source announced no transfer within %d s\n", options_.TimeoutSeconds);
    return false;
}

bool Session::Native(const TW_IMAGEINFO& info, const std::string& stem, size_t& bytes)
{
    TW_HANDLE bitmap = nullptr;
    if (dsm_.Call(&source_, DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &bitmap) != TWRC_XFERDONE) {
        return Fail("the native transfer failed");
    }
    const auto* dib = static_cast<const uint8_t*>(GlobalLock(bitmap));
    const size_t size = GlobalSize(bitmap);
    bytes = size;
    bool written = false;
    if (options_.Format == "bmp") {
        written = WriteFileBytes(stem + ".bmp", BmpFile(dib, size));
    } else {
        // Bitmap rows are blue first and padded; a TIFF wants neither.
        const uint32_t channels = info.SamplesPerPixel == 3 ? 3 : 1;
        const uint32_t bitCount = dib[14] | (dib[15] << 8);
        const uint32_t pixelSize = bitCount / 8;
        const uint32_t rowSize = (static_cast<uint32_t>(info.ImageWidth) * pixelSize + 3) & ~3u;
        std::vector<uint8_t> rows;
        rows.reserve(static_cast<size_t>(info.ImageWidth) * info.ImageLength * channels);
        const uint8_t* pixels = dib + 1064;
        for (int y = 0; y < info.ImageLength; ++y) {
            for (int x = 0; x < info.ImageWidth; ++x) {
                const uint8_t* pixel = pixels + static_cast<size_t>(y) * rowSize + static_cast<size_t>(x) * pixelSize;
                if (channels == 3 && pixelSize >= 3) {
                    rows.insert(rows.end(), {pixel[2], pixel[1], pixel[0]});
                } else {
                    rows.push_back(pixel[0]);
                }
            }
        }
        written = WriteFileBytes(stem + ".tif",
                                 TiffFile(static_cast<uint32_t>(info.ImageWidth),
                                          static_cast<uint32_t>(info.ImageLength), channels, rows));
    }
    GlobalUnlock(bitmap);
    GlobalFree(bitmap);
    if (!written) {
        std::fprintf(stderr, "twacquire: cannot write %s\n", stem.c_str());
    }
    return written;
}

bool Session::Memory(const TW_IMAGEINFO& info, const std::string& stem, size_t& bytes)
{
    TW_SETUPMEMXFER setup = {};
    if (dsm_.Call(&source_, DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, &setup) != TWRC_SUCCESS) {
        return Fail("DAT_SETUPMEMXFER failed");
    }
    TW_UINT32 size = options_.StripBytes != 0 ? options_.StripBytes : setup.Preferred;
    if (size < setup.MinBufSize) {
        size = setup.MinBufSize;
    }
    std::vector<uint8_t> buffer(size);
    std::vector<uint8_t> image;
    const uint32_t channels = info.SamplesPerPixel == 3 ? 3 : 1;
    TW_UINT16 rc = TWRC_SUCCESS;
    while (rc == TWRC_SUCCESS) {
        TW_IMAGEMEMXFER xfer = {};
        xfer.Memory.Flags = TWMF_APPOWNS | TWMF_POINTER;
        xfer.Memory.Length = size;
        xfer.Memory.TheMem = buffer.data();
        rc = dsm_.Call(&source_, DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &xfer);
        if (rc != TWRC_SUCCESS && rc != TWRC_XFERDONE) {
            return Fail("the memory transfer failed");
        }
        const size_t at = static_cast<size_t>(xfer.YOffset) * xfer.BytesPerRow;
        if (image.size() < at + xfer.BytesWritten) {
            image.resize(at + xfer.BytesWritten);
        }
        std::memcpy(image.data() + at, buffer.data(), xfer.BytesWritten);
    }
    bytes = image.size();
    const auto width = static_cast<uint32_t>(info.ImageWidth);
    const auto height = static_cast<uint32_t>(info.ImageLength);
    bool written = false;
    if (options_.Format == "tiff") {
        written = WriteFileBytes(stem + ".tif", TiffFile(width, height, channels, image));
    } else {
        // A bitmap of the strips: blue first, rows padded to 4 bytes.
        const uint32_t rowSize = (width * channels + 3) & ~3u;
        std::vector<uint8_t> dib(1064 + static_cast<size_t>(rowSize) * height, 0);
        const uint32_t header[] = {40, width, 0u - height, 1u | ((channels * 8) << 16), 0, 0, 0, 0, 256, 256};
        std::memcpy(dib.data(), header, sizeof header);
        for (int i = 0; channels == 1 && i < 256; ++i) {
            std::memset(dib.data() + 40 + 4 * i, i, 4);
        }
        for (uint32_t y = 0; y < height; ++y) {
            for (uint32_t x = 0; x < width; ++x) {
                const uint8_t* in = image.data() + (static_cast<size_t>(y) * width + x) * channels;
                uint8_t* out = dib.data() + 1064 + static_cast<size_t>(y) * rowSize + x * channels;
                for (uint32_t c = 0; c < channels; ++c) {
                    out[c] = in[channels - 1 - c];
                }
            }
        }
        written = WriteFileBytes(stem + ".bmp", BmpFile(dib.data(), dib.size()));
    }
    if (!written) {
        std::fprintf(stderr, "twacquire: cannot write %s\n", stem.c_str());
    }
    return written;
}

bool Session::File(const std::string& stem, size_t& bytes)
{
    TW_SETUPFILEXFER setup = {};
    char full[MAX_PATH] = "";
    GetFullPathNameA((stem + ".tif").c_str(), sizeof full, full, nullptr);
    std::snprintf(setup.FileName, sizeof setup.FileName, "%s", full);
    setup.Format = TWFF_TIFF;
    if (dsm_.Call(&source_, DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup) != TWRC_SUCCESS) {
        return Fail(std::string("the source cannot write ") + full);
    }
    if (dsm_.Call(&source_, DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr) != TWRC_XFERDONE) {
        return Fail("the file transfer failed");
    }
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    GetFileAttributesExA(full, GetFileExInfoStandard, &data);
    bytes = data.nFileSizeLow;
    return true;
}

bool Session::TransferOne(int index, TW_UINT16& pendingCount)
{
    const auto start = std::chrono::steady_clock::now();
    TW_IMAGEINFO info = {};
    if (dsm_.Call(&source_, DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info) != TWRC_SUCCESS) {
        return Fail("DAT_IMAGEINFO failed");
    }
    char stem[MAX_PATH];
    std::snprintf(stem, sizeof stem, "%s\\image%03d", options_.OutDir.c_str(), index);
    size_t bytes = 0;
    bool ok = false;
    switch (options_.Mechanism) {
    case TWSX_NATIVE: ok = Native(info, stem, bytes); break;
    case TWSX_MEMORY: ok = Memory(info, stem, bytes); break;
    default: ok = File(stem, bytes); break;
    }
    if (!ok) {
        return false;
    }
    TW_PENDINGXFERS pending = {};
    if (dsm_.Call(&source_, DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending) != TWRC_SUCCESS) {
        return Fail("MSG_ENDXFER failed");
    }
    pendingCount = pending.Count;
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::printf("image %d: %ld x %ld %s, %s transfer, %u bytes, %.1f ms\n", index,
                static_cast<long>(info.ImageWidth), static_cast<long>(info.ImageLength),
                info.PixelType == TWPT_RGB ? "RGB" : "gray", MechanismName(options_.Mechanism),
                static_cast<unsigned>(bytes), ms);
    std::fflush(stdout);
    return true;
}

bool Session::TransferAll()
{
    TW_UINT16 pending = 1;
    while (pending != 0) {
        if (!TransferOne(images_ + 1, pending)) {
            TW_PENDINGXFERS reset = {};
            dsm_.Call(&source_, DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &reset);
            return false;
        }
        ++images_;
        if (options_.StopAfter > 0 && images_ >= options_.StopAfter && pending != 0) {
            TW_PENDINGXFERS reset = {};
            if (dsm_.Call(&source_, DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &reset) != TWRC_SUCCESS) {
                return Fail("MSG_RESET failed");
            }
            break;
        }
    }
    return true;
}

int Session::Run(HWND window)
{
    std::strncpy(source_.ProductName, options_.Source.c_str(), sizeof source_.ProductName - 1);
    if (dsm_.Call(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &source_) != TWRC_SUCCESS) {
        std::fprintf(stderr, "twacquire: cannot open the source \"%s\" (%s)\n", options_.Source.c_str(),
                     ConditionName(dsm_.Condition(nullptr)));
        return 1;
    }
    open_ = true;
    bool ok = Negotiate();
    const auto start = std::chrono::steady_clock::now();
    if (ok) {
        TW_USERINTERFACE ui = {static_cast<TW_BOOL>(options_.ShowUi ? 1 : 0), 0, window};
        ok = dsm_.Call(&source_, DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui) == TWRC_SUCCESS ||
             Fail("the source refused MSG_ENABLEDS");
        enabled_ = ok;
    }
    while (ok && WaitForTransfer(window)) {
        ok = TransferAll();
        if (!options_.ShowUi) {
            break;
        }
    }
    if (ok && images_ == 0 && !closeRequested_) {
        ok = false;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (enabled_) {
        TW_USERINTERFACE ui = {0, 0, window};
        dsm_.Call(&source_, DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui);
    }
    dsm_.Call(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &source_);
    std::printf("%d image%s in %.2f s, %.1f images per second\n", images_, images_ == 1 ? "" : "s", seconds,
                seconds > 0 ? images_ / seconds : 0.0);
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    // Lines as they happen, also into a pipe.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        Usage();
        return 2;
    }
    // The source may ask the user something; unattended, a watcher answers.
    std::unique_ptr<BoxWatcher> watcher;
    if (options.Unattended) {
        watcher = std::make_unique<BoxWatcher>();
    }
    HWND window = CreateWindowA("STATIC", "twacquire", WS_OVERLAPPED, 0, 0, 1, 1, nullptr, nullptr,
                                GetModuleHandleA(nullptr), nullptr);
    DataSourceManager dsm;
    dsm.App = ApplicationIdentity("twacquire");
    std::string error;
    if (!dsm.Open(window, error)) {
        std::fprintf(stderr, "twacquire: %s\n", error.c_str());
        return 1;
    }
    const auto sources = dsm.Sources();
    if (options.List) {
        for (const TW_IDENTITY& source : sources) {
            std::printf("%s (%s)\n", source.ProductName, source.Manufacturer);
        }
        return 0;
    }
    const TW_IDENTITY* found = nullptr;
    for (const TW_IDENTITY& source : sources) {
        if (options.Source == source.ProductName) {
            found = &source;
        }
    }
    if (found == nullptr) {
        std::fprintf(stderr, "twacquire: no source named \"%s\" is installed\n", options.Source.c_str());
        return 1;
    }
    if (options.Identity) {
        PrintIdentity(*found);
        return 0;
    }
    // The output folder, with the folders above it.
    for (size_t at = options.OutDir.find_first_of("\\/", 3); ; at = options.OutDir.find_first_of("\\/", at + 1)) {
        CreateDirectoryA(options.OutDir.substr(0, at).c_str(), nullptr);
        if (at == std::string::npos) {
            break;
        }
    }
    Session session(dsm, options);
    const int status = session.Run(window);
    dsm.Close();
    DestroyWindow(window);
    return status;
}
