// twacquire: a TWAIN application for the console. It talks to a source
// through the real Data Source Manager, as any image-acquiring program does:
// opens the manager with a window, opens the source, negotiates, enables it,
// runs its message loop through MSG_PROCESSEVENT until the source says a
// transfer is ready, transfers every pending image and writes it to a file.
#include <windows.h>

#include <io.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "acquire/box_watcher.h"
#include "acquire/dsm.h"
#include "acquire/image_check.h"
#include "acquire/image_files.h"
#include "twain/little_endian.h"

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
    std::string Format = "";  // bmp or tiff: the files written (for a file transfer, the format asked for)
    TW_UINT32 StripBytes = 0;  // memory transfer buffer; 0: the source's preferred size
    bool Unattended = false;
    int TimeoutSeconds = 60;
    bool TimeoutGiven = false;
    bool Check = false;  // compare each image with the simulated board's pattern
    bool Help = false;
};

void Usage(FILE* out)
{
    std::fprintf(out,
        "usage: twacquire [options]\n"
        "  --list                 list the sources the Data Source Manager finds\n"
        "  --identity             print the identity of the source\n"
        "  --source NAME          the source to open (default: %s)\n"
        "  --mech native|memory|file   transfer mechanism (default native)\n"
        "  --count N              CAP_XFERCOUNT: images to transfer, -1 for any number (default 1)\n"
        "  --stop-after N         with --count -1: end with MSG_RESET after N images\n"
        "  --pixel gray|rgb       ICAP_PIXELTYPE to ask for\n"
        "  --format bmp|tiff      file format of the images (default: bmp for native,\n"
        "                         tiff for memory and file transfers)\n"
        "  --strip BYTES          memory transfer buffer size (default: the source's preferred)\n"
        "  --ui                   enable the source with its user interface\n"
        "  --out DIR              folder for the images (default: current)\n"
        "  --unattended           dismiss the source's message boxes, printing them\n"
        "                         (the default when standard input is not a terminal)\n"
        "  --timeout SECONDS      give up waiting for the source (default 60; none with --ui)\n"
        "  --check                read each image as an application would and compare it\n"
        "                         with the simulated board's gradient pattern\n"
        "  --help                 this text\n",
        DefaultSource);
}

// A whole decimal number within the option's range; anything else is
// refused with a line naming the option.
bool ParseNumber(const std::string& option, const std::string& text, long& number)
{
    struct Range {
        const char* Option;
        long Low, High;
        const char* Says;
    };
    static const Range ranges[] = {
        {"--count", -1, 32767, "-1 or 1 to 32767"},
        {"--stop-after", 1, 32767, "1 to 32767"},
        {"--strip", 1, 0x7FFFFFFF, "1 to 2147483647 bytes"},
        {"--timeout", 1, 86400, "1 to 86400 seconds"},
    };
    const Range* range = nullptr;
    for (const Range& r : ranges) {
        if (option == r.Option) {
            range = &r;
        }
    }
    char* end = nullptr;
    errno = 0;
    number = std::strtol(text.c_str(), &end, 10);
    const bool whole = !text.empty() && end != nullptr && *end == '\0' && errno == 0;
    if (range == nullptr || !whole || number < range->Low || number > range->High ||
        (option == "--count" && number == 0)) {
        std::fprintf(stderr, "twacquire: %s takes %s, not \"%s\"\n", option.c_str(), range ? range->Says : "a number",
                     text.c_str());
        return false;
    }
    return true;
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
            long number = 0;
            if (!ParseNumber(arg, text, number)) {
                return false;
            }
            if (arg == "--count") {
                options.Count = static_cast<int>(number);
            } else if (arg == "--stop-after") {
                options.StopAfter = static_cast<int>(number);
            } else if (arg == "--strip") {
                options.StripBytes = static_cast<TW_UINT32>(number);
            } else {
                options.TimeoutSeconds = static_cast<int>(number);
                options.TimeoutGiven = true;
            }
        } else if (arg == "--check") {
            options.Check = true;
        } else if (arg == "--help") {
            options.Help = true;
        } else {
            std::fprintf(stderr, "twacquire: unknown option %s\n", arg.c_str());
            return false;
        }
    }
    if (options.Format.empty()) {
        options.Format = options.Mechanism == TWSX_NATIVE ? "bmp" : "tiff";
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
    bool File(const TW_IMAGEINFO& info, const std::string& stem, size_t& bytes);
    bool Check(const DecodedImage& image, const TW_IMAGEINFO& info, const std::string& what);
    uint32_t BoardSamples();

    DataSourceManager& dsm_;
    const Options& options_;
    TW_IDENTITY source_ = {};
    bool open_ = false;
    bool enabled_ = false;
    bool closeRequested_ = false;
    int images_ = 0;
    uint32_t boardSamples_ = 0;  // what the board delivers of itself: 1 grey, 3 colour
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

uint32_t Session::BoardSamples()
{
    // Before any negotiation the current pixel type is the board's own.
    TW_CAPABILITY capability = {ICAP_PIXELTYPE, 0, nullptr};
    uint32_t samples = 0;
    if (dsm_.Call(&source_, DG_CONTROL, DAT_CAPABILITY, MSG_GETCURRENT, &capability) == TWRC_SUCCESS) {
        const auto* one = static_cast<const TW_ONEVALUE*>(GlobalLock(capability.hContainer));
        if (one != nullptr) {
            samples = one->Item == TWPT_RGB ? 3 : 1;
            GlobalUnlock(capability.hContainer);
        }
        GlobalFree(capability.hContainer);
    }
    return samples;
}

bool Session::Check(const DecodedImage& image, const TW_IMAGEINFO& info, const std::string& what)
{
    if (!options_.Check) {
        return true;
    }
    std::string error;
    if (image.Width != static_cast<uint32_t>(info.ImageWidth) ||
        image.Height != static_cast<uint32_t>(info.ImageLength) ||
        image.Samples != static_cast<uint32_t>(info.SamplesPerPixel)) {
        std::fprintf(stderr, "twacquire: check: %s is %u x %u x %u, DAT_IMAGEINFO said %ld x %ld x %d\n",
                     what.c_str(), image.Width, image.Height, image.Samples, static_cast<long>(info.ImageWidth),
                     static_cast<long>(info.ImageLength), info.SamplesPerPixel);
        return false;
    }
    if (info.BitsPerPixel != static_cast<TW_INT16>(8 * image.Samples) ||
        info.PixelType != (image.Samples == 3 ? TWPT_RGB : TWPT_GRAY)) {
        std::fprintf(stderr, "twacquire: check: DAT_IMAGEINFO says %d bits, pixel type %d, for %u samples\n",
                     info.BitsPerPixel, info.PixelType, image.Samples);
        return false;
    }
    if (!MatchesPattern(image, boardSamples_, error)) {
        std::fprintf(stderr, "twacquire: check: %s: %s\n", what.c_str(), error.c_str());
        return false;
    }
    std::printf("check: %s matches the pattern\n", what.c_str());
    return true;
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
    DecodedImage image;
    std::string error;
    const bool decoded = dib != nullptr && DecodeDib(dib, size, image, error);
    bool written = false;
    if (options_.Format == "bmp" && dib != nullptr) {
        written = WriteFileBytes(stem + ".bmp", BmpFile(dib, size));
    } else if (decoded) {
        written = WriteFileBytes(stem + ".tif", TiffFile(image.Width, image.Height, image.Samples, image.Pixels));
    }
    const unsigned bitCount = dib != nullptr && size >= 16 ? GetU16(dib + 14) : 0;
    GlobalUnlock(bitmap);
    GlobalFree(bitmap);
    if (!decoded) {
        std::fprintf(stderr, "twacquire: the native image cannot be read: %s\n", error.c_str());
        return false;
    }
    if (!written) {
        std::fprintf(stderr, "twacquire: cannot write %s\n", stem.c_str());
        return false;
    }
    // Applications size their reading by the image information.
    if (options_.Check && bitCount != static_cast<unsigned>(info.BitsPerPixel)) {
        std::fprintf(stderr, "twacquire: check: the bitmap has %u bits a pixel, DAT_IMAGEINFO said %d\n", bitCount,
                     info.BitsPerPixel);
        return false;
    }
    return Check(image, info, "the native image");
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
    DecodedImage image;
    image.Width = static_cast<uint32_t>(info.ImageWidth);
    image.Height = static_cast<uint32_t>(info.ImageLength);
    image.Samples = info.SamplesPerPixel == 3 ? 3 : 1;
    image.Pixels.assign(static_cast<size_t>(image.Width) * image.Height * image.Samples, 0);
    size_t received = 0;
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
        // A strip is whole rows of the image the information announced.
        const size_t at = static_cast<size_t>(xfer.YOffset) * xfer.BytesPerRow;
        if (xfer.BytesPerRow != image.Width * image.Samples || xfer.BytesWritten > size ||
            at + xfer.BytesWritten > image.Pixels.size()) {
            std::fprintf(stderr, "twacquire: a strip of %lu bytes at row %lu (%lu bytes a row) does not fit the image\n",
                         static_cast<unsigned long>(xfer.BytesWritten), static_cast<unsigned long>(xfer.YOffset),
                         static_cast<unsigned long>(xfer.BytesPerRow));
            return false;
        }
        std::memcpy(image.Pixels.data() + at, buffer.data(), xfer.BytesWritten);
        received += xfer.BytesWritten;
    }
    bytes = received;
    if (received != image.Pixels.size()) {
        std::fprintf(stderr, "twacquire: the strips held %lu bytes, the image has %lu\n",
                     static_cast<unsigned long>(received), static_cast<unsigned long>(image.Pixels.size()));
        return false;
    }
    const std::vector<uint8_t> dib =
        options_.Format == "tiff" ? std::vector<uint8_t>()
                                  : BitmapFromRows(image.Width, image.Height, image.Samples, image.Pixels);
    const bool written =
        options_.Format == "tiff"
            ? WriteFileBytes(stem + ".tif", TiffFile(image.Width, image.Height, image.Samples, image.Pixels))
            : WriteFileBytes(stem + ".bmp", BmpFile(dib.data(), dib.size()));
    if (!written) {
        std::fprintf(stderr, "twacquire: cannot write %s\n", stem.c_str());
        return false;
    }
    return Check(image, info, "the memory image");
}

bool Session::File(const TW_IMAGEINFO& info, const std::string& stem, size_t& bytes)
{
    const bool bmp = options_.Format == "bmp";
    TW_SETUPFILEXFER setup = {};
    char full[MAX_PATH] = "";
    GetFullPathNameA((stem + (bmp ? ".bmp" : ".tif")).c_str(), sizeof full, full, nullptr);
    std::snprintf(setup.FileName, sizeof setup.FileName, "%s", full);
    setup.Format = bmp ? TWFF_BMP : TWFF_TIFF;
    if (dsm_.Call(&source_, DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup) != TWRC_SUCCESS) {
        return Fail(std::string("the source cannot write ") + full);
    }
    if (dsm_.Call(&source_, DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr) != TWRC_XFERDONE) {
        return Fail("the file transfer failed");
    }
    // As applications do: ask which file the image went into.
    TW_SETUPFILEXFER got = {};
    if (dsm_.Call(&source_, DG_CONTROL, DAT_SETUPFILEXFER, MSG_GET, &got) != TWRC_SUCCESS) {
        return Fail("DAT_SETUPFILEXFER / MSG_GET failed");
    }
    if (lstrcmpiA(got.FileName, full) != 0 || got.Format != setup.Format) {
        std::fprintf(stderr, "twacquire: the source says the image went to %s (format %u), not %s\n", got.FileName,
                     got.Format, full);
        return false;
    }
    FILE* file = std::fopen(full, "rb");
    std::vector<uint8_t> content;
    if (file != nullptr) {
        uint8_t chunk[65536];
        size_t n = 0;
        while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
            content.insert(content.end(), chunk, chunk + n);
        }
        std::fclose(file);
    }
    bytes = content.size();
    DecodedImage image;
    std::string error;
    const bool decoded = bmp ? DecodeBmpFile(content.data(), content.size(), image, error)
                             : DecodeTiffFile(content.data(), content.size(), image, error);
    if (!decoded) {
        std::fprintf(stderr, "twacquire: %s is not the %s file asked for: %s\n", full, bmp ? "BMP" : "TIFF",
                     error.c_str());
        return false;
    }
    return Check(image, info, std::string("the ") + (bmp ? "BMP" : "TIFF") + " file");
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
    default: ok = File(info, stem, bytes); break;
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
    boardSamples_ = BoardSamples();
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
        Usage(stderr);
        return 2;
    }
    if (options.Help) {
        Usage(stdout);
        return 0;
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
