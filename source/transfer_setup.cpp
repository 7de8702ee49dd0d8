// DAT_PENDINGXFERS, DAT_SETUPMEMXFER, DAT_SETUPFILEXFER, DAT_XFERGROUP and
// DAT_EVENT: the control side of transfers.
#include <algorithm>
#include <cstring>

#include "capability/container.h"
#include "capability/negotiation.h"
#include "capability/store.h"
#include "grabber/capture.h"
#include "grabber/timed_capture.h"
#include "settings/source_settings.h"
#include "source/control.h"
#include "transfer/file_target.h"
#include "transfer/transfers.h"
#include "twain/condition.h"
#include "twain/source.h"
#include "twain/text.h"
#include "ui/settings_dialog.h"

namespace {

const char* const PendingContext = "General failure in response to DAT_PENDINGXFER.  ";

}  // namespace

TW_INT16 NegotiatedTransferCount()
{
    CapabilityItem count;
    GetCurrentItem(CAP_XFERCOUNT, count);
    return count.AsInt16();
}

void EndAutomaticCapture(bool disabling)
{
    CapabilityItem clear;
    const bool keep = disabling && GetCurrentItem(CAP_CLEARBUFFERS, clear) && clear.AsUInt32() == TWCB_NOCLEAR;
    StopTimedCapture(keep);
}

namespace {

// The transfers still to come: with automatic capture, the images held and
// those its schedule has yet to capture.
TW_INT16 TransfersToCome()
{
    return TimedCaptureRunning() ? static_cast<TW_INT16>(std::min<uint32_t>(TimedPendingImages(), 0x7FFF))
                                 : PendingTransfers;
}

}  // namespace

TW_UINT16 HandlePendingXfers(const Triplet& triplet)
{
    auto* pending = static_cast<TW_PENDINGXFERS*>(triplet.pData);
    if (pending == nullptr) {
        return FailWith(PendingContext, TWCC_BADVALUE);
    }
    switch (triplet.MSG) {
    case MSG_GET: {
        TW_INT16 count = SourceState >= 500 ? TransfersToCome() : NegotiatedTransferCount();
        // A count of 0 delivers one image: while it is ready or under way,
        // it is still to come, and an application that checks the count
        // before it transfers must not skip it.
        if (SourceState >= 600 && count == 0) {
            count = 1;
        }
        pending->Count = static_cast<TW_UINT16>(count);
        return TWRC_SUCCESS;
    }
    case MSG_ENDXFER: {
        if (SourceState != 600 && SourceState != 700) {
            return FailWith(PendingContext, TWCC_SEQERROR);
        }
        TW_INT16 count = PendingTransfers;
        if (TimedCaptureRunning()) {
            // The image transferred was taken from the held ones already.
            count = TransfersToCome();
        } else if (count != 0 && count != -1) {
            --count;
        }
        PendingTransfers = count;
        // An image ended early leaves nothing half-delivered for the next.
        EndMemoryTransfer();
        pending->Count = static_cast<TW_UINT16>(count);
        SourceState = count == -1 || count > 0 ? 600 : 500;
        if (SourceState == 500) {
            EndAutomaticCapture(false);
            EndFileSequence();
            HoldDigitizerForTransfers(false);
        }
        return TWRC_SUCCESS;
    }
    case MSG_RESET:
        // In state 6, or in state 5 when "Cancel" moved the source there
        // before the application could end its transfers: elsewhere it would
        // move a closed or idle source to state 5, where it admits every
        // caller and refuses to open.
        if (SourceState != 600 && !(SourceState == 500 && CloseRequestedWhilePending)) {
            return FailWith(PendingContext, TWCC_SEQERROR);
        }
        EndMemoryTransfer();
        // The schedule ends; images still held stay until the source is
        // disabled, and then as CAP_CLEARBUFFERS says.
        StopTimedCapture(true);
        pending->Count = 0;
        PendingTransfers = 0;
        CloseRequestedWhilePending = false;
        SourceState = 500;
        EndFileSequence();
        HoldDigitizerForTransfers(false);
        return TWRC_SUCCESS;
    default:
        return FailWith(PendingContext, TWCC_BADPROTOCOL);
    }
}

TW_UINT16 HandleSetupMemXfer(const Triplet& triplet)
{
    const char* const context = "General failure in response to DAT_SETUPMEMXFER, not supported.  ";
    auto* setup = static_cast<TW_SETUPMEMXFER*>(triplet.pData);
    if (triplet.MSG != MSG_GET) {
        return FailWith(context, TWCC_BADPROTOCOL);
    }
    if (setup == nullptr) {
        return FailWith(context, TWCC_BADVALUE);
    }
    setup->MinBufSize = 4096;
    const FrameLayout layout = CurrentFrameLayout();
    setup->Preferred = static_cast<TW_UINT32>(StreamRowBytes(layout) * layout.Height);
    setup->MaxBufSize = setup->Preferred;
    return TWRC_SUCCESS;
}

namespace {

TW_UINT16 FileFormatItem(bool current)
{
    CapabilityItem format;
    if (current) {
        GetCurrentItem(ICAP_IMAGEFILEFORMAT, format);
    } else {
        GetDefaultItem(ICAP_IMAGEFILEFORMAT, format);
    }
    return static_cast<TW_UINT16>(format.AsUInt32());
}

bool SelectFileFormat(TW_UINT16 format)
{
    TW_CAPABILITY capability = {ICAP_IMAGEFILEFORMAT, TWON_ONEVALUE, MakeOneValue(TWTY_UINT16, &format)};
    if (capability.hContainer == nullptr) {
        return false;
    }
    const bool selected = SelectEnumerationItem(capability) == TWRC_SUCCESS && FileFormatItem(true) == format;
    GlobalFree(capability.hContainer);
    return selected;
}

void Answer(TW_SETUPFILEXFER& setup, const char* name, TW_UINT16 format)
{
    CopyText(setup.FileName, sizeof setup.FileName, name);
    setup.Format = format;
    setup.VRefNum = 0;
}

// The file formats a transfer writes.
bool IsWritableFileFormat(TW_UINT16 format)
{
    return format == TWFF_TIFF || format == TWFF_BMP || format == TWFF_PNG || format == TWFF_JFIF ||
           format == TWFF_TIFFMULTI;
}

// Whether the negotiation left `format` among the file formats offered:
// TWCC_SUCCESS, or the code of the refusal. Asked before the disk is
// touched, so that a refused set-up leaves no file behind.
TW_UINT16 FileFormatRefusal(TW_UINT16 format)
{
    const CapabilityEntry* entry = FindCapability(ICAP_IMAGEFILEFORMAT);
    if (entry == nullptr) {
        return TWCC_BADVALUE;
    }
    ContainerValues offered;
    if (!ReadValues(entry->Container, entry->ConType, offered)) {
        return TWCC_LOWMEMORY;
    }
    return offered.Holds(format) ? TWCC_SUCCESS : TWCC_BADVALUE;
}

}  // namespace

TW_UINT16 HandleSetupFileXfer(const Triplet& triplet)
{
    const char* const context = "General failure in response to DAT_SETUPFILEXFER, not supported.  ";
    auto* setup = static_cast<TW_SETUPFILEXFER*>(triplet.pData);
    switch (triplet.MSG) {
    case MSG_GET:
        // A question: the set-up as it stands. Only a session without a name
        // yet gets the default file, once.
        if (setup == nullptr) {
            return FailWith(context, TWCC_BADVALUE);
        }
        if (TransferFileName[0] == '\0' && !UseDefaultTransferFile()) {
            return FailWith(context, TWCC_OPERATIONERROR);
        }
        Answer(*setup, TransferFileName, FileFormatItem(true));
        return TWRC_SUCCESS;
    case MSG_GETDEFAULT: {
        if (setup == nullptr) {
            return FailWith(context, TWCC_BADVALUE);
        }
        const char* defaultName = DefaultTransferFile();
        if (defaultName == nullptr) {
            return FailWith(context, TWCC_OPERATIONERROR);
        }
        Answer(*setup, defaultName, FileFormatItem(false));
        return TWRC_SUCCESS;
    }
    case MSG_RESET:
        if (setup == nullptr) {
            return FailWith(context, TWCC_BADVALUE);
        }
        // It puts the negotiated file format back: negotiation ends when
        // the source is enabled.
        if (SourceState >= 500) {
            return FailWith(context, TWCC_SEQERROR);
        }
        if (!UseDefaultTransferFile() || !RestoreDefaultCapability(ICAP_IMAGEFILEFORMAT)) {
            return FailWith(context, TWCC_OPERATIONERROR);
        }
        Answer(*setup, TransferFileName, FileFormatItem(true));
        return TWRC_SUCCESS;
    case MSG_SET: {
        const char* const createContext = "Unable to create file <<DAT_SETUPFILEXFER>>";
        if (setup == nullptr) {
            return FailWith(createContext, TWCC_BADVALUE);
        }
        // Applications name each file in state 6; in state 7 the file of
        // the transfer under way is taken.
        if (SourceState == 700) {
            return FailWith(context, TWCC_SEQERROR);
        }
        // A name without terminator inside its field would be cut into a
        // name the application never gave.
        if (std::memchr(setup->FileName, '\0', sizeof setup->FileName) == nullptr) {
            return FailWith(createContext, TWCC_BADVALUE);
        }
        // A format the source cannot write would put other bytes under the
        // application's name.
        if (!IsWritableFileFormat(setup->Format)) {
            return FailWith(context, TWCC_BADVALUE);
        }
        const TW_UINT16 refusal = FileFormatRefusal(setup->Format);
        if (refusal != TWCC_SUCCESS) {
            return FailWith(context, refusal);
        }
        bool created = false;
        if (GetFileAttributesA(setup->FileName) == INVALID_FILE_ATTRIBUTES) {
            HANDLE file = CreateFileA(setup->FileName, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                      nullptr);
            if (file == INVALID_HANDLE_VALUE) {
                return FailWith(createContext, TWCC_BADVALUE);
            }
            CloseHandle(file);
            created = true;
        }
        // The format is offered: only memory can refuse it now.
        if (!SelectFileFormat(setup->Format)) {
            if (created) {
                DeleteFileA(setup->FileName);
            }
            return FailWith(context, TWCC_LOWMEMORY);
        }
        UseApplicationTransferFile(setup->FileName);
        return TWRC_SUCCESS;
    }
    default:
        return FailWith(context, TWCC_BADPROTOCOL);
    }
}

TW_UINT16 HandleXferGroup(const Triplet& triplet)
{
    const char* const context = "General failure in response to DAT_XFERGROUP, not supported.  ";
    if (triplet.MSG != MSG_GET) {
        return FailWith(context, TWCC_BADPROTOCOL);
    }
    if (triplet.pData == nullptr) {
        return FailWith(context, TWCC_BADVALUE);
    }
    *static_cast<TW_UINT32*>(triplet.pData) = DG_IMAGE;
    return TWRC_SUCCESS;
}

TW_UINT16 HandleEvent(const Triplet& /*triplet*/)
{
    // MSG_PROCESSEVENT never gets here: DS_Entry answers it before dispatch.
    return FailWith("General failure in response to DAT_EVENT.  ", TWCC_BADPROTOCOL);
}
