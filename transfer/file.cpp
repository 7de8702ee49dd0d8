// DAT_IMAGEFILEXFER: one frame written to the file DAT_SETUPFILEXFER named,
// in the format negotiated. A TIFF of the whole frame as grabbed is the
// imaging library's own save; every other file (a BMP, a PNG, a JPEG, a
// region, an image of another pixel type than the buffer holds, the pages
// of a multi-page TIFF) goes through the system's encoders
// (transfer/image_codecs.h).
//
// Every file is written under a new name beside the application's and
// replaces it only when whole. A multi-page TIFF collects the images of one
// enabling in one such file, a page a transfer written to disk in that
// transfer, and replaces the application's file when the transfers end
// (EndFileSequence). A page that cannot be written (a full disk) fails its
// transfer and is cut off again: the pages before it stay, the application
// may free space and transfer again, and its file still gets the pages
// when the transfers end (none: its file stays as it was).
#include <cstdio>
#include <cstring>
#include <utility>

#include "capability/store.h"
#include "grabber/capture.h"
#include "grabber/mil_binding.h"
#include "grabber/startup.h"
#include "grabber/timed_capture.h"
#include "transfer/file_formats.h"
#include "transfer/file_target.h"
#include "transfer/image_codecs.h"
#include "transfer/transfers.h"
#include "twain/allocation.h"
#include "twain/condition.h"
#include "twain/debug_log.h"
#include "twain/little_endian.h"
#include "twain/source.h"
#include "twain/text.h"

namespace {

const char* const FileContext = "General failure in response to DAT_IMAGEFILEXFER.  ";

// Size of the file, or -1 when it cannot be opened.
LONGLONG FileSize(const char* name)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(name, GetFileExInfoStandard, &data)) {
        return -1;
    }
    return (static_cast<LONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// A new empty file beside `target`, in its folder (so that it replaces the
// target by a rename on the same volume); false when none can be made.
bool MakeFileBeside(const char* target, char (&name)[MAX_PATH])
{
    char folder[MAX_PATH] = ".";
    const char* slash = std::strrchr(target, '\\');
    if (slash != nullptr) {
        const size_t length = static_cast<size_t>(slash - target);
        if (length >= sizeof folder) {
            return false;
        }
        std::memcpy(folder, target, length);
        folder[length] = '\0';
        if (length == 0 || folder[length - 1] == ':') {
            CopyText(folder + length, sizeof folder - length, "\\");
        }
    }
    return GetTempFileNameA(folder, "TWN", 0, name) != 0;
}

// The image's capture time as TIFF writes a date, in local time.
void CaptureTimeText(char (&text)[20])
{
    FILETIME local = {};
    SYSTEMTIME time = {};
    if (!FileTimeToLocalFileTime(&DeliveredStamp.Time, &local) || !FileTimeToSystemTime(&local, &time)) {
        GetLocalTime(&time);
    }
    std::snprintf(text, sizeof text, "%04u:%02u:%02u %02u:%02u:%02u", time.wYear % 10000u, time.wMonth % 100u,
                  time.wDay % 100u, time.wHour % 100u, time.wMinute % 100u, time.wSecond % 100u);
}

// What the image's capture time adds at the end of the TIFF `file`: the
// bytes (none when it cannot be added: the image matters more than its
// date), their count, and the header's new first directory.
OwnedArray<uint8_t> CaptureTimeTail(const uint8_t* file, size_t size, size_t& bytes, uint32_t& directory)
{
    char text[20];
    CaptureTimeText(text);
    bytes = TiffDateTimeTail(file, size, text, nullptr, 0, directory);
    OwnedArray<uint8_t> tail = bytes != 0 ? AllocateArray<uint8_t>(bytes) : OwnedArray<uint8_t>();
    if (!tail || TiffDateTimeTail(file, size, text, tail.get(), bytes, directory) != bytes) {
        bytes = 0;
        return OwnedArray<uint8_t>();
    }
    return tail;
}

// `bytes` of a TIFF with the capture time added (the same when it cannot
// be).
OwnedArray<uint8_t> WithCaptureTime(OwnedArray<uint8_t> bytes, size_t& size)
{
    size_t tailBytes = 0;
    uint32_t directory = 0;
    const OwnedArray<uint8_t> tail = bytes ? CaptureTimeTail(bytes.get(), size, tailBytes, directory) : OwnedArray<uint8_t>();
    OwnedArray<uint8_t> dated = tail ? AllocateArray<uint8_t>(size + tailBytes) : OwnedArray<uint8_t>();
    if (!dated) {
        return bytes;
    }
    std::memcpy(dated.get(), bytes.get(), size);
    std::memcpy(dated.get() + size, tail.get(), tailBytes);
    PutU32(dated.get() + 4, directory);
    size += tailBytes;
    return dated;
}

// The library's own save writes the resolution of its choice; the file
// gets the one the source announces. A file of another shape keeps its own.
bool StampResolution(const char* name)
{
    const LONGLONG size = FileSize(name);
    if (size <= 0 || size > 0x10000000) {
        return false;
    }
    const OwnedArray<uint8_t> bytes = AllocateArray<uint8_t>(static_cast<size_t>(size));
    if (!bytes) {
        return false;
    }
    // One handle for the read and the write back, which covers only the
    // bytes that changed (the directory, not the pixels).
    HANDLE file = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD read = 0;
    bool done = ReadFile(file, bytes.get(), static_cast<DWORD>(size), &read, nullptr) && read == size;
    const size_t changed = done ? SetTiffResolution(bytes.get(), static_cast<size_t>(size)) : 0;
    if (done && changed == 0) {
        DebugLog().Write("Talvenix TWAIN DS: the saved file carries no resolution to set\n");
    }
    // The capture time goes at the end, and the header points at it.
    size_t tailBytes = 0;
    uint32_t directory = 0;
    const OwnedArray<uint8_t> tail = changed >= 8 ? CaptureTimeTail(bytes.get(), static_cast<size_t>(size), tailBytes, directory)
                                                  : OwnedArray<uint8_t>();
    if (tail) {
        DWORD written = 0;
        done = SetFilePointer(file, 0, nullptr, FILE_END) != INVALID_SET_FILE_POINTER &&
               WriteFile(file, tail.get(), static_cast<DWORD>(tailBytes), &written, nullptr) && written == tailBytes;
        PutU32(bytes.get() + 4, directory);
    }
    if (done && changed != 0) {
        DWORD written = 0;
        done = SetFilePointer(file, 0, nullptr, FILE_BEGIN) == 0 &&
               WriteFile(file, bytes.get(), static_cast<DWORD>(changed), &written, nullptr) && written == changed;
    }
    return CloseHandle(file) && done;
}

// The bytes of the image delivered: an uncompressed file holds at least
// these, and a shorter one did not get the whole image.
LONGLONG ImageBytes(const FrameLayout& layout)
{
    return static_cast<LONGLONG>(StreamRowBytes(layout)) * layout.Height;
}

// The grabbed frame as the encoders take it: the sample stream, colour
// blue first. Empty when there is no frame or no memory for it.
OwnedArray<uint8_t> EncoderSamples(const FrameLayout& layout, CodecImage& image)
{
    const auto* frame = static_cast<const uint8_t*>(MilInfo.HostAddress);
    const size_t bytes = static_cast<size_t>(ImageBytes(layout));
    OwnedArray<uint8_t> samples = frame != nullptr ? AllocateArray<uint8_t>(bytes) : OwnedArray<uint8_t>();
    if (!samples) {
        return samples;
    }
    ConvertSampleStream(frame, 0, samples.get(), bytes, layout);
    image = CodecImage{samples.get(), layout.Width, layout.Height, DeliveredSamples(layout)};
    if (image.SamplesPerPixel == 3) {
        SwapRedAndBlue(samples.get(), static_cast<size_t>(layout.Width) * layout.Height);
    }
    return samples;
}

ImageFileKind KindOf(TW_UINT32 format)
{
    switch (format) {
    case TWFF_BMP: return ImageFileKind::Bmp;
    case TWFF_PNG: return ImageFileKind::Png;
    case TWFF_JFIF: return ImageFileKind::Jpeg;
    default: return ImageFileKind::Tiff;
    }
}

int NegotiatedJpegQuality()
{
    CapabilityItem quality;
    return JpegQualityPercent(GetCurrentItem(ICAP_JPEGQUALITY, quality) ? quality.AsInt16() : DefaultJpegQuality);
}

// The whole file `name` of `size` bytes (created or emptied).
bool WriteWholeFile(const char* name, const uint8_t* bytes, size_t size)
{
    HANDLE file = CreateFileA(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    const bool ok = WriteFile(file, bytes, static_cast<DWORD>(size), &written, nullptr) && written == size;
    return CloseHandle(file) && ok;
}

// The grabbed frame encoded as a file of `format`; empty when it cannot be.
OwnedArray<uint8_t> EncodeFrame(TW_UINT32 format, const FrameLayout& layout, size_t& size)
{
    OwnedArray<uint8_t> bytes;
    size = 0;
    CodecImage image = {};
    const OwnedArray<uint8_t> samples = EncoderSamples(layout, image);
    if (samples) {
        EncodeImage(KindOf(format), image, NegotiatedJpegQuality(), bytes, size);
    }
    if (bytes && format == TWFF_BMP && size >= 6) {
        SetBmpFileSize(bytes.get(), static_cast<uint32_t>(size));
    }
    if (KindOf(format) == ImageFileKind::Tiff) {
        return WithCaptureTime(std::move(bytes), size);
    }
    return bytes;
}

bool WriteEncodedFile(const char* name, TW_UINT32 format, const FrameLayout& layout)
{
    size_t size = 0;
    const OwnedArray<uint8_t> bytes = EncodeFrame(format, layout, size);
    return bytes && WriteWholeFile(name, bytes.get(), size);
}

// The multi-page TIFF under way: the application's file it goes to, the
// file beside it that holds the pages so far (a whole multi-page TIFF after
// every page), its size and where the last page's link to a next one lies;
// "" while there is none.
char SequenceTarget[MAX_PATH] = "";
char SequenceFile[MAX_PATH] = "";
uint32_t SequenceEnd = 0;
uint32_t SequenceLink = 0;

void ForgetSequence()
{
    SequenceTarget[0] = '\0';
    SequenceFile[0] = '\0';
    SequenceEnd = 0;
    SequenceLink = 0;
}

// Page `bytes` (a single-page TIFF) added to the sequence's file: the first
// as it is, a later one at the file's end (on a word boundary, as
// directories must lie) and linked from the page before it. Nothing is
// linked until the page is on disk; a page that cannot be written is cut
// off again, leaving the pages before it.
bool AppendPage(uint8_t* bytes, size_t size)
{
    uint32_t directory = 0, link = 0;
    if (!TiffFirstDirectory(bytes, size, directory, link)) {
        return false;
    }
    const bool first = SequenceEnd == 0;
    const uint32_t at = first ? 0 : (SequenceEnd + 1) & ~1u;
    // A later page goes without its 8-byte header, everything it points at
    // moved by where it lands.
    const uint32_t skip = first ? 0 : 8;
    if (!first && (at < skip || !ShiftTiffPage(bytes, size, at - skip))) {
        return false;
    }
    HANDLE file = CreateFileA(SequenceFile, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    const uint8_t zero[1] = {0};
    DWORD written = 0;
    bool done = SetFilePointer(file, static_cast<LONG>(SequenceEnd), nullptr, FILE_BEGIN) == SequenceEnd &&
                (at == SequenceEnd || (WriteFile(file, zero, 1, &written, nullptr) && written == 1)) &&
                WriteFile(file, bytes + skip, static_cast<DWORD>(size - skip), &written, nullptr) &&
                written == size - skip;
    if (done && !first) {
        uint8_t next[4];
        PutU32(next, GetU32(bytes + 4));
        done = SetFilePointer(file, static_cast<LONG>(SequenceLink), nullptr, FILE_BEGIN) == SequenceLink &&
               WriteFile(file, next, sizeof next, &written, nullptr) && written == sizeof next;
    }
    if (!done) {
        SetFilePointer(file, static_cast<LONG>(SequenceEnd), nullptr, FILE_BEGIN);
        SetEndOfFile(file);
    }
    if (!CloseHandle(file) || !done) {
        return false;
    }
    SequenceLink = first ? link : link + at - skip;
    SequenceEnd = at + static_cast<uint32_t>(size - skip);
    return true;
}

TW_UINT16 TransferPage(const char* fileName, const FrameLayout& layout)
{
    // Another file named: the pages so far go to the file named before.
    if (SequenceFile[0] != '\0' && std::strcmp(SequenceTarget, fileName) != 0) {
        EndFileSequence();
    }
    if (SequenceFile[0] == '\0') {
        if (std::strlen(fileName) >= sizeof SequenceTarget || !MakeFileBeside(fileName, SequenceFile)) {
            SequenceFile[0] = '\0';
            return FailWith(FileContext, TWCC_OPERATIONERROR);
        }
        CopyText(SequenceTarget, sizeof SequenceTarget, fileName);
    }
    size_t size = 0;
    const OwnedArray<uint8_t> bytes = EncodeFrame(TWFF_TIFF, layout, size);
    if (!bytes || size > 0x7FFFFFFF - SequenceEnd || !AppendPage(bytes.get(), size)) {
        DebugLog().Write("Talvenix TWAIN DS: a page of %s could not be written\n", SequenceTarget);
        // A sequence without a page leaves nothing behind.
        if (SequenceEnd == 0) {
            DeleteFileA(SequenceFile);
            ForgetSequence();
        }
        return FailWith(FileContext, TWCC_OPERATIONERROR);
    }
    return TWRC_XFERDONE;
}

}  // namespace

TW_UINT16 TransferFile(const char* fileName)
{
    DebugLog().Write("Talvenix TWAIN DS: transfer mode: file transfer, file name = %s\n", fileName);
    // The image goes into a file of its own beside the application's, which
    // it replaces only when whole: a disk that fills up midway leaves the
    // application's file as it was, and the application may free space and
    // try again.
    CapabilityItem format;
    GetCurrentItem(ICAP_IMAGEFILEFORMAT, format);
    // A sequence ends where another format begins.
    if (format.AsUInt32() != TWFF_TIFFMULTI) {
        EndFileSequence();
    }
    // The grab takes the buffer of a frame kept for a memory transfer.
    EndMemoryTransfer();
    const uint16_t taken = TakeNextImage();
    if (taken != 0) {
        return FailWith(FileContext, taken == 1 ? TWCC_LOWMEMORY : TWCC_SEQERROR);
    }
    const FrameLayout layout = CurrentFrameLayout();
    if (format.AsUInt32() == TWFF_TIFFMULTI) {
        return TransferPage(fileName, layout);
    }
    char partial[MAX_PATH];
    if (!MakeFileBeside(fileName, partial)) {
        return FailWith(FileContext, TWCC_OPERATIONERROR);
    }
    bool written = true;
    if (format.AsUInt32() != TWFF_TIFF || DeliveredSamples(layout) != layout.BandCount || !WholeFrame(layout)) {
        written = WriteEncodedFile(partial, format.AsUInt32(), layout);
    } else {
        // The library's save answers nothing: a file shorter than the
        // frame's samples did not get the whole image.
        Mil.MbufSave(partial, MilInfo.MilImage);
        written = FileSize(partial) >= ImageBytes(layout) && StampResolution(partial);
    }
    if (!written || !MoveFileExA(partial, fileName, MOVEFILE_REPLACE_EXISTING)) {
        DeleteFileA(partial);
        return FailWith(FileContext, TWCC_OPERATIONERROR);
    }
    return TWRC_XFERDONE;
}

TW_UINT16 HandleImageFileXfer(const Triplet& triplet)
{
    if (SourceState != 600) {
        return FailWith(FileContext, TWCC_SEQERROR);
    }
    if (triplet.MSG != MSG_GET) {
        return FailWith(FileContext, TWCC_BADPROTOCOL);
    }
    if (MilInfo.MilImage == 0) {
        return FailWith(FileContext, TWCC_LOWMEMORY);
    }
    // No set-up yet: the default file, as DAT_SETUPFILEXFER / MSG_GET gives it.
    if (TransferFileName[0] == '\0' && !UseDefaultTransferFile()) {
        return FailWith(FileContext, TWCC_OPERATIONERROR);
    }
    const TW_UINT16 result = TransferFile(TransferFileName);
    if (result == TWRC_XFERDONE) {
        SourceState = 700;
    }
    return result;
}

void EndFileSequence()
{
    if (SequenceFile[0] == '\0') {
        return;
    }
    if (!MoveFileExA(SequenceFile, SequenceTarget, MOVEFILE_REPLACE_EXISTING)) {
        DebugLog().Write("Talvenix TWAIN DS: the pages for %s could not replace it\n", SequenceTarget);
        DeleteFileA(SequenceFile);
    }
    ForgetSequence();
}

void ReleaseFileWriters()
{
    EndFileSequence();
    ReleaseImageCodecs();
}
