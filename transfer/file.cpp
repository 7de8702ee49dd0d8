// DAT_IMAGEFILEXFER: one frame written by the imaging library's own save
// operation to the file DAT_SETUPFILEXFER named.
#include "diag/debug_log.h"
#include "grabber/capture.h"
#include "grabber/mil_binding.h"
#include "grabber/startup.h"
#include "transfer/transfers.h"
#include "twain/condition.h"
#include "twain/control.h"
#include "twain/source.h"

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

}  // namespace

TW_UINT16 TransferFile(const char* fileName)
{
    DebugLog().Write("Talvenix TWAIN DS: transfer mode: file transfer, file name = %s\n", fileName);
    // The save reports nothing; an emptied file that stays empty tells that
    // it wrote nothing, where an old image would look like a new one.
    HANDLE file = CreateFileA(fileName, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return FailWith(FileContext, TWCC_OPERATIONERROR);
    }
    CloseHandle(file);
    MilGrabFrame();
    Mil.MbufSave(fileName, MilInfo.MilImage);
    if (FileSize(fileName) <= 0) {
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
    // No set-up yet: a temporary file as DAT_SETUPFILEXFER / MSG_GET makes it.
    if (TransferFileName[0] == '\0' && !CreateTemporaryTransferFile()) {
        return FailWith(FileContext, TWCC_OPERATIONERROR);
    }
    const TW_UINT16 result = TransferFile(TransferFileName);
    if (result == TWRC_XFERDONE) {
        SourceState = 700;
    }
    return result;
}
