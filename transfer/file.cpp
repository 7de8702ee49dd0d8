// DAT_IMAGEFILEXFER: one frame written to the file DAT_SETUPFILEXFER named,
// in the format negotiated. A TIFF of the whole frame as grabbed is the
// imaging library's own save; a BMP, a region, or an image of another pixel
// type than the buffer holds, the source writes itself.
#include <cstring>

#include "capability/store.h"
#include "grabber/capture.h"
#include "grabber/mil_binding.h"
#include "grabber/startup.h"
#include "transfer/file_formats.h"
#include "transfer/file_target.h"
#include "transfer/transfers.h"
#include "twain/allocation.h"
#include "twain/condition.h"
#include "twain/debug_log.h"
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
    if (changed != 0) {
        DWORD written = 0;
        done = SetFilePointer(file, 0, nullptr, FILE_BEGIN) == 0 &&
               WriteFile(file, bytes.get(), static_cast<DWORD>(changed), &written, nullptr) && written == changed;
    }
    return CloseHandle(file) && done;
}

// The grabbed frame as the image the application negotiated, BMP or TIFF.
bool WriteOwnFile(const char* name, const FrameLayout& layout, bool bmp)
{
    const auto* frame = static_cast<const uint8_t*>(MilInfo.HostAddress);
    if (frame == nullptr) {
        return false;
    }
    const size_t header = bmp ? BmpFileHeaderSize : TiffHeaderSize(DeliveredSamples(layout));
    const size_t body = bmp ? BitmapBytes(layout, BitmapStyle::Standard) : StreamRowBytes(layout) * layout.Height;
    const OwnedArray<uint8_t> bytes = AllocateArray<uint8_t>(header + body);
    if (!bytes) {
        return false;
    }
    if (bmp) {
        WriteBmpFileHeader(bytes.get(), body, BitmapPixelOffset(layout, BitmapStyle::Standard));
        WriteBitmap(frame, bytes.get() + header, layout, BitmapStyle::Standard);
    } else {
        WriteTiffHeader(bytes.get(), layout.Width, layout.Height, DeliveredSamples(layout));
        ConvertSampleStream(frame, 0, bytes.get() + header, body, layout);
    }
    return WriteWholeFile(name, bytes.get(), header + body);
}

}  // namespace

TW_UINT16 TransferFile(const char* fileName)
{
    DebugLog().Write("Talvenix TWAIN DS: transfer mode: file transfer, file name = %s\n", fileName);
    // The image goes into a file of its own beside the application's, which
    // it replaces only when whole: a disk that fills up midway leaves the
    // application's file as it was, and the application may free space and
    // try again.
    char partial[MAX_PATH];
    if (!MakeFileBeside(fileName, partial)) {
        return FailWith(FileContext, TWCC_OPERATIONERROR);
    }
    // The grab takes the buffer of a frame kept for a memory transfer.
    EndMemoryTransfer();
    MilGrabFrame();
    CapabilityItem format;
    GetCurrentItem(ICAP_IMAGEFILEFORMAT, format);
    const FrameLayout layout = CurrentFrameLayout();
    bool written = true;
    if (format.AsUInt32() == TWFF_BMP) {
        written = WriteOwnFile(partial, layout, true);
    } else if (DeliveredSamples(layout) != layout.BandCount || !WholeFrame(layout)) {
        written = WriteOwnFile(partial, layout, false);
    } else {
        // The library's save answers nothing: a file shorter than the
        // frame's samples did not get the whole image.
        Mil.MbufSave(partial, MilInfo.MilImage);
        written = FileSize(partial) >= static_cast<LONGLONG>(StreamRowBytes(layout)) * layout.Height &&
                  StampResolution(partial);
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
