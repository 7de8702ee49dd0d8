// One session with one source: negotiation, the message loop, the transfers and the files written.
#include "acquire/session.h"

#include <algorithm>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "acquire/image_files.h"
#include "acquire/system_codecs.h"
#include "twain/little_endian.h"

namespace {

// The notice the manager's callback brought last (MSG_NULL: none since it
// was taken). The manager may call on any thread.
std::atomic<TW_UINT16> CallbackNotice{MSG_NULL};

TW_UINT16 __stdcall TakeNotice(pTW_IDENTITY, pTW_IDENTITY, TW_UINT32, TW_UINT16, TW_UINT16 msg, TW_MEMREF)
{
    CallbackNotice = msg;
    return TWRC_SUCCESS;
}

const char* MechanismName(TW_UINT16 mechanism)
{
    switch (mechanism) {
    case TWSX_NATIVE: return "native";
    case TWSX_MEMORY: return "memory";
    default: return "file";
    }
}

}  // namespace

bool Session::SetItem(TW_UINT16 cap, TW_UINT16 itemType, const void* item, size_t size, const std::string& what)
{
    // At least a TW_ONEVALUE: its Item field is four bytes whatever the type.
    const size_t bytes = 2 + (size < 4 ? 4 : size);
    HGLOBAL container = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, bytes);
    if (container == nullptr) {
        return Fail("out of memory");
    }
    auto* block = static_cast<uint8_t*>(GlobalLock(container));
    PutU16(block, itemType);
    std::memcpy(block + 2, item, size);
    GlobalUnlock(container);
    TW_CAPABILITY capability = {cap, TWON_ONEVALUE, container};
    const TW_UINT16 rc = dsm_.Call(&source_, DG_CONTROL, DAT_CAPABILITY, MSG_SET, &capability);
    GlobalFree(container);
    // TWRC_CHECKSTATUS: the source took the nearest value it holds.
    if (rc != TWRC_SUCCESS && rc != TWRC_CHECKSTATUS) {
        return Fail("the source refused " + what);
    }
    return true;
}

bool Session::SetOneValue(TW_UINT16 cap, TW_UINT16 itemType, TW_UINT32 value, const char* what)
{
    uint8_t item[4];
    PutU32(item, value);
    return SetItem(cap, itemType, item, sizeof item, what);
}

// The board first: a video format restarts the digitizer, which resets the
// adjustments and selects the pixel type of its own buffer.
bool Session::NegotiateBoard()
{
    if (!options_.VideoFormat.empty()) {
        TW_STR32 name = {};
        if (options_.VideoFormat.size() >= sizeof name) {
            return Fail("the video format name " + options_.VideoFormat + " is too long");
        }
        std::memcpy(name, options_.VideoFormat.c_str(), options_.VideoFormat.size());
        if (!SetItem(0x8002, TWTY_STR32, name, sizeof name, "video format " + options_.VideoFormat)) {
            return false;
        }
    }
    if (options_.Channel >= 0 && !SetOneValue(0x8001, TWTY_UINT32, static_cast<TW_UINT32>(options_.Channel),
                                              ("channel " + std::to_string(options_.Channel)).c_str())) {
        return false;
    }
    struct Level {
        bool Given;
        long Value;
        TW_UINT16 Cap;
        const char* Name;
    };
    const Level levels[] = {{options_.HasBrightness, options_.Brightness, ICAP_BRIGHTNESS, "brightness"},
                            {options_.HasContrast, options_.Contrast, ICAP_CONTRAST, "contrast"}};
    for (const Level& level : levels) {
        // A whole number as TW_FIX32: Whole, then a Frac of 0.
        if (level.Given && !SetOneValue(level.Cap, TWTY_FIX32, static_cast<uint16_t>(level.Value),
                                        (std::string(level.Name) + " " + std::to_string(level.Value)).c_str())) {
            return false;
        }
    }
    return true;
}

bool Session::Negotiate()
{
    if (!NegotiateBoard()) {
        return false;
    }
    // The board's own image after a format change, before the pixel type.
    boardSamples_ = BoardSamples();
    const int count = options_.Frames > 0 && !options_.CountGiven ? static_cast<int>(options_.Frames) : options_.Count;
    if (!SetOneValue(CAP_XFERCOUNT, TWTY_INT16, static_cast<TW_UINT16>(count), "CAP_XFERCOUNT")) {
        return false;
    }
    if (options_.Average > 0 &&
        !SetOneValue(0x8003, TWTY_UINT16, static_cast<TW_UINT32>(options_.Average), "CUSTCAP_AVERAGEFRAMES")) {
        return false;
    }
    // Time-lapse: the images wait in the source's buffers until collected
    // (up to 64 of them held at once).
    if (options_.Frames > 0 &&
        (!SetOneValue(CAP_TIMEBEFOREFIRSTCAPTURE, TWTY_INT32, static_cast<TW_UINT32>(options_.DelayMs),
                      "CAP_TIMEBEFOREFIRSTCAPTURE") ||
         !SetOneValue(CAP_TIMEBETWEENCAPTURES, TWTY_INT32, static_cast<TW_UINT32>(options_.EveryMs),
                      "CAP_TIMEBETWEENCAPTURES") ||
         !SetOneValue(CAP_MAXBATCHBUFFERS, TWTY_UINT32, static_cast<TW_UINT32>(std::min(options_.Frames, 64L)),
                      "CAP_MAXBATCHBUFFERS") ||
         !SetOneValue(CAP_AUTOMATICCAPTURE, TWTY_INT32, static_cast<TW_UINT32>(options_.Frames),
                      "CAP_AUTOMATICCAPTURE"))) {
        return false;
    }
    if (!SetOneValue(ICAP_XFERMECH, TWTY_UINT16, options_.Mechanism, "ICAP_XFERMECH")) {
        return false;
    }
    if (options_.PixelType >= 0 &&
        !SetOneValue(ICAP_PIXELTYPE, TWTY_UINT16, static_cast<TW_UINT32>(options_.PixelType), "ICAP_PIXELTYPE")) {
        return false;
    }
    if (options_.Quality >= 0 &&
        !SetOneValue(ICAP_JPEGQUALITY, TWTY_INT16, static_cast<TW_UINT32>(options_.Quality), "ICAP_JPEGQUALITY")) {
        return false;
    }
    return true;
}

bool Session::LoadSetup()
{
    std::vector<uint8_t> bytes;
    if (!ReadFileBytes(options_.LoadSetup, bytes) || bytes.empty()) {
        std::fprintf(stderr, "twacquire: cannot read the setup %s\n", options_.LoadSetup.c_str());
        return false;
    }
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, bytes.size());
    void* to = block != nullptr ? GlobalLock(block) : nullptr;
    if (to == nullptr) {
        GlobalFree(block);
        return Fail("out of memory");
    }
    std::memcpy(to, bytes.data(), bytes.size());
    GlobalUnlock(block);
    TW_CUSTOMDSDATA data = {static_cast<TW_UINT32>(bytes.size()), block};
    const TW_UINT16 rc = dsm_.Call(&source_, DG_CONTROL, DAT_CUSTOMDSDATA, MSG_SET, &data);
    GlobalFree(block);
    if (rc != TWRC_SUCCESS) {
        return Fail("the source refused the setup in " + options_.LoadSetup);
    }
    std::printf("setup restored from %s\n", options_.LoadSetup.c_str());
    return true;
}

bool Session::SaveSetup()
{
    TW_CUSTOMDSDATA data = {0, nullptr};
    if (dsm_.Call(&source_, DG_CONTROL, DAT_CUSTOMDSDATA, MSG_GET, &data) != TWRC_SUCCESS) {
        return Fail("the source refused to hand over its setup");
    }
    const auto* bytes = static_cast<const uint8_t*>(GlobalLock(data.hData));
    const bool held = bytes != nullptr && data.InfoLength <= GlobalSize(data.hData);
    const bool written = held && WriteFileBytes(options_.SaveSetup, std::vector<uint8_t>(bytes, bytes + data.InfoLength));
    if (bytes != nullptr) {
        GlobalUnlock(data.hData);
    }
    GlobalFree(data.hData);
    if (!written) {
        std::fprintf(stderr, "twacquire: cannot write the setup to %s\n", options_.SaveSetup.c_str());
        return false;
    }
    std::printf("setup saved to %s (%lu bytes)\n", options_.SaveSetup.c_str(),
                static_cast<unsigned long>(data.InfoLength));
    return true;
}

bool Session::SetRegion()
{
    auto fix = [](long pixels) { return TW_FIX32{static_cast<TW_INT16>(pixels), 0}; };
    const long* r = options_.Region;
    TW_IMAGELAYOUT layout = {{fix(r[0]), fix(r[1]), fix(r[0] + r[2]), fix(r[1] + r[3])}, 0, 0, 0};
    const TW_UINT16 rc = dsm_.Call(&source_, DG_IMAGE, DAT_IMAGELAYOUT, MSG_SET, &layout);
    if (rc != TWRC_SUCCESS && rc != TWRC_CHECKSTATUS) {
        return Fail("the source refused the region " + std::to_string(r[0]) + "," + std::to_string(r[1]) + "," +
                    std::to_string(r[2]) + "," + std::to_string(r[3]));
    }
    if (rc == TWRC_CHECKSTATUS) {
        std::printf("region taken as %d,%d to %d,%d\n", layout.Frame.Left.Whole, layout.Frame.Top.Whole,
                    layout.Frame.Right.Whole, layout.Frame.Bottom.Whole);
    }
    return true;
}

void Session::AskRegion()
{
    TW_IMAGELAYOUT layout = {};
    if (dsm_.Call(&source_, DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, &layout) == TWRC_SUCCESS &&
        layout.Frame.Left.Whole >= 0 && layout.Frame.Top.Whole >= 0) {
        regionLeft_ = static_cast<uint32_t>(layout.Frame.Left.Whole);
        regionTop_ = static_cast<uint32_t>(layout.Frame.Top.Whole);
    }
}

bool Session::WaitForTransfer(HWND window)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options_.TimeoutSeconds);
    MSG message;
    // A user at the dialog takes as long as they like, unless told otherwise.
    const bool untimed = options_.ShowUi && !options_.TimeoutGiven;
    while (untimed || std::chrono::steady_clock::now() < deadline) {
        // A registered callback brings the notices; the loop still runs for
        // the source's dialog.
        const TW_UINT16 notice = callback_ ? CallbackNotice.exchange(MSG_NULL) : MSG_NULL;
        if (notice == MSG_XFERREADY) {
            return true;
        }
        if (notice == MSG_CLOSEDSREQ || notice == MSG_CLOSEDSOK) {
            closeRequested_ = true;
            return false;
        }
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
        // The settings-only dialog ends with OK (MSG_CLOSEDSOK) or Cancel.
        if (event.TWMessage == MSG_CLOSEDSREQ || event.TWMessage == MSG_CLOSEDSOK) {
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

bool Session::OneValueItem(TW_UINT16 cap, TW_UINT16 msg, TW_UINT32& item)
{
    TW_CAPABILITY capability = {cap, 0, nullptr};
    if (dsm_.Call(&source_, DG_CONTROL, DAT_CAPABILITY, msg, &capability) != TWRC_SUCCESS) {
        return false;
    }
    bool read = false;
    const auto* one = static_cast<const TW_ONEVALUE*>(GlobalLock(capability.hContainer));
    if (one != nullptr && capability.ConType == TWON_ONEVALUE) {
        item = one->Item;
        read = true;
    }
    if (one != nullptr) {
        GlobalUnlock(capability.hContainer);
    }
    GlobalFree(capability.hContainer);
    return read;
}

uint32_t Session::BoardSamples()
{
    // Before any negotiation the current pixel type is the board's own.
    TW_UINT32 pixelType = 0;
    if (!OneValueItem(ICAP_PIXELTYPE, MSG_GETCURRENT, pixelType)) {
        return 0;
    }
    return pixelType == TWPT_RGB ? 3 : 1;
}

bool Session::Check(const DecodedImage& image, const TW_IMAGEINFO& info, const std::string& what,
                    double meanDifference)
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
    DecodedImage placed = image;
    placed.Left = regionLeft_;
    placed.Top = regionTop_;
    // The simulated board told to stamp its frames' numbers: the stamp says
    // which frames the image was made of.
    char stamp[8] = "";
    const bool stamped = GetEnvironmentVariableA("ORIONSIM_FRAME_STAMP", stamp, sizeof stamp) == 1 && stamp[0] == '1';
    if (!MatchesPattern(placed, boardSamples_, error, meanDifference, stamped)) {
        std::fprintf(stderr, "twacquire: check: %s: %s\n", what.c_str(), error.c_str());
        return false;
    }
    std::printf("check: %s matches the pattern\n", what.c_str());
    const uint32_t averaged = options_.Average > 0 ? static_cast<uint32_t>(options_.Average) : 1;
    uint32_t first = 0;
    if (stamped && meanDifference == 0 && ReadFrameStamp(placed, averaged, first, error)) {
        if (averaged == 1) {
            std::printf("check: %s is the board's frame %lu\n", what.c_str(), static_cast<unsigned long>(first));
        } else {
            std::printf("check: %s is the mean of the board's frames %lu to %lu\n", what.c_str(),
                        static_cast<unsigned long>(first), static_cast<unsigned long>(first + averaged - 1));
        }
    }
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

namespace {

// The file formats of --format for a file transfer.
struct FileFormat {
    const char* Name;
    TW_UINT16 Format;
    const char* Extension;
    const char* Says;
};
const FileFormat FileFormats[] = {
    {"bmp", TWFF_BMP, ".bmp", "BMP"},
    {"tiff", TWFF_TIFF, ".tif", "TIFF"},
    {"png", TWFF_PNG, ".png", "PNG"},
    {"jpeg", TWFF_JFIF, ".jpg", "JPEG"},
    {"tiffmulti", TWFF_TIFFMULTI, ".tif", "multi-page TIFF"},
};

const FileFormat& FindFileFormat(const std::string& name)
{
    for (const FileFormat& format : FileFormats) {
        if (name == format.Name) {
            return format;
        }
    }
    return FileFormats[1];
}

// How far a JPEG of the pattern may be from it: a mean of 4 levels a sample
// (at quality 75 the encoders here stay under 2; the pattern's wraps from
// 255 to 0 are the hardest edges a JPEG meets).
constexpr double JpegMeanDifference = 4.0;

}  // namespace

bool Session::File(const TW_IMAGEINFO& info, const std::string& stem, size_t& bytes)
{
    const FileFormat& format = FindFileFormat(options_.Format);
    // Every image of a multi-page file goes to the same one.
    const bool pages = format.Format == TWFF_TIFFMULTI;
    TW_SETUPFILEXFER setup = {};
    char full[MAX_PATH] = "";
    GetFullPathNameA(pages ? (options_.OutDir + "\\images.tif").c_str() : (stem + format.Extension).c_str(),
                     sizeof full, full, nullptr);
    std::snprintf(setup.FileName, sizeof setup.FileName, "%s", full);
    setup.Format = format.Format;
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
    // The pages are in the file when the transfers end (CheckPages).
    if (pages) {
        pagesFile_ = full;
        pageInfo_ = info;
        return true;
    }
    std::vector<uint8_t> content;
    ReadFileBytes(full, content);
    bytes = content.size();
    DecodedImage image;
    std::string error;
    bool decoded = false;
    switch (format.Format) {
    case TWFF_BMP: decoded = DecodeBmpFile(content.data(), content.size(), image, error); break;
    case TWFF_TIFF: decoded = DecodeTiffFile(content.data(), content.size(), image, error); break;
    default: decoded = DecodeWithSystemCodecs(full, image, error); break;
    }
    if (!decoded) {
        std::fprintf(stderr, "twacquire: %s is not the %s file asked for: %s\n", full, format.Says, error.c_str());
        return false;
    }
    return Check(image, info, std::string("the ") + format.Says + " file",
                 format.Format == TWFF_JFIF ? JpegMeanDifference : 0);
}

bool Session::CheckPages()
{
    if (pagesFile_.empty()) {
        return true;
    }
    std::vector<uint8_t> content;
    ReadFileBytes(pagesFile_, content);
    const uint32_t pages = TiffPageCount(content.data(), content.size());
    std::printf("%s: %u page%s, %u bytes\n", pagesFile_.c_str(), static_cast<unsigned>(pages), pages == 1 ? "" : "s",
                static_cast<unsigned>(content.size()));
    if (pages != static_cast<uint32_t>(images_)) {
        std::fprintf(stderr, "twacquire: %s holds %u pages for %d images\n", pagesFile_.c_str(),
                     static_cast<unsigned>(pages), images_);
        return false;
    }
    for (uint32_t page = 0; page < pages && options_.Check; ++page) {
        DecodedImage image;
        std::string error;
        if (!DecodeTiffPage(content.data(), content.size(), page, image, error)) {
            std::fprintf(stderr, "twacquire: page %u of %s: %s\n", static_cast<unsigned>(page + 1),
                         pagesFile_.c_str(), error.c_str());
            return false;
        }
        if (!Check(image, pageInfo_, "page " + std::to_string(page + 1) + " of the multi-page TIFF")) {
            return false;
        }
    }
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
    default: ok = File(info, stem, bytes); break;
    }
    if (!ok) {
        return false;
    }
    // When and from which video frame the image was captured, where the
    // source tells.
    struct {
        TW_UINT32 NumInfos;
        TW_INFO Info[2];
    } ext = {2, {{TWEI_FRAMENUMBER, 0, 0, 0, 0}, {TWEI_CAPTUREMS, 0, 0, 0, 0}}};
    std::string captured;
    if (dsm_.Call(&source_, DG_IMAGE, DAT_EXTIMAGEINFO, MSG_GET, &ext) == TWRC_SUCCESS &&
        ext.Info[0].ReturnCode == TWRC_SUCCESS && ext.Info[1].ReturnCode == TWRC_SUCCESS) {
        captured = ", frame " + std::to_string(static_cast<unsigned long>(ext.Info[0].Item)) + " captured at " +
                   std::to_string(static_cast<unsigned long>(ext.Info[1].Item)) + " ms";
    }
    TW_PENDINGXFERS pending = {};
    if (dsm_.Call(&source_, DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending) != TWRC_SUCCESS) {
        return Fail("MSG_ENDXFER failed");
    }
    pendingCount = pending.Count;
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::printf("image %d: %ld x %ld %s, %s transfer, %u bytes, %.1f ms%s\n", index,
                static_cast<long>(info.ImageWidth), static_cast<long>(info.ImageLength),
                info.PixelType == TWPT_RGB ? "RGB" : "gray", MechanismName(options_.Mechanism),
                static_cast<unsigned>(bytes), ms, captured.c_str());
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


bool Session::RegisterCallback()
{
    TW_CALLBACK callback = {reinterpret_cast<TW_MEMREF>(TakeNotice), 0, 0};
    if (dsm_.Call(&source_, DG_CONTROL, DAT_CALLBACK, MSG_REGISTER_CALLBACK, &callback) != TWRC_SUCCESS) {
        return Fail("the manager refused DAT_CALLBACK");
    }
    callback_ = true;
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
    const bool twainTwo = (dsm_.App.SupportedGroups & DF_APP2) != 0;
    bool ok = (!twainTwo || RegisterCallback()) && (options_.LoadSetup.empty() || LoadSetup());
    // The pixel type in force before --pixel is the board's own (or the
    // one the setup restored).
    boardSamples_ = BoardSamples();
    if (ok && options_.SetupOnly) {
        // As applications do before they offer "Setup...": a source that
        // does not answer TRUE cannot show its settings alone.
        TW_UINT32 supported = 0;
        ok = (OneValueItem(CAP_ENABLEDSUIONLY, MSG_GET, supported) && supported != 0) ||
             Fail("CAP_ENABLEDSUIONLY is not supported");
    } else if (ok) {
        ok = Negotiate() && (!options_.RegionGiven || SetRegion());
    }
    AskRegion();
    const auto start = std::chrono::steady_clock::now();
    if (ok) {
        TW_USERINTERFACE ui = {static_cast<TW_BOOL>(options_.ShowUi ? 1 : 0), 0, window};
        const TW_UINT16 enable = options_.SetupOnly ? MSG_ENABLEDSUIONLY : MSG_ENABLEDS;
        ok = dsm_.Call(&source_, DG_CONTROL, DAT_USERINTERFACE, enable, &ui) == TWRC_SUCCESS ||
             Fail(options_.SetupOnly ? "the source refused MSG_ENABLEDSUIONLY" : "the source refused MSG_ENABLEDS");
        enabled_ = ok;
    }
    while (ok && WaitForTransfer(window)) {
        if (options_.SetupOnly) {
            ok = Fail("the source announced a transfer from its settings-only dialog");
            break;
        }
        ok = TransferAll();
        if (!options_.ShowUi) {
            break;
        }
    }
    if (ok && images_ == 0 && !closeRequested_) {
        ok = false;
    }
    // The transfers have ended: a multi-page file is whole.
    ok = ok && CheckPages();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (enabled_) {
        TW_USERINTERFACE ui = {0, 0, window};
        dsm_.Call(&source_, DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui);
    }
    // What the session ends with, the user's changes at the dialog included.
    if (!options_.SaveSetup.empty() && (ok || closeRequested_)) {
        ok = SaveSetup() && ok;
    }
    dsm_.Call(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &source_);
    if (options_.SetupOnly) {
        if (ok) {
            std::printf("settings dialog closed after %.2f s\n", seconds);
        }
        return ok ? 0 : 1;
    }
    std::printf("%d image%s in %.2f s, %.1f images per second\n", images_, images_ == 1 ? "" : "s", seconds,
                seconds > 0 ? images_ / seconds : 0.0);
    return ok ? 0 : 1;
}
