// DAT_IDENTITY: the source's identity, and opening and closing the source.
#include "capability/store.h"
#include "grabber/startup.h"
#include "grabber/video_adjustments.h"
#include "settings/registry.h"
#include "settings/source_settings.h"
#include "source/control.h"
#include "transfer/file_target.h"
#include "transfer/transfers.h"
#include "twain/condition.h"
#include "twain/debug_log.h"
#include "twain/manager.h"
#include "twain/source.h"
#include "twain/text.h"
#include "ui/settings_dialog.h"

LONG SourceState = 300;

namespace {

const char* const IdentityContext = "General failure in response to DAT_IDENTITY.  ";
const char* const OpenContext = "General failure in response to MSG_OPENDS.  ";

// An open is whole or leaves nothing: a refused one disconnects the
// application, frees the board and unloads its libraries, and drops the
// capabilities, so the application can simply try again. It also holds
// when something throws through the open.
class OpenUndo {
public:
    OpenUndo() = default;
    ~OpenUndo()
    {
        if (!kept_) {
            AppIdentity.Id = 0;
            TwainTwoApp = false;
            MilFreeSystem();
            FreeCapabilities();
        }
    }
    OpenUndo(const OpenUndo&) = delete;
    OpenUndo& operator=(const OpenUndo&) = delete;
    void Keep() { kept_ = true; }

private:
    bool kept_ = false;
};

TW_UINT16 OpenSource(const Triplet& triplet)
{
    // An open source keeps what its application negotiated: a refused second
    // open must not put the capabilities back under a transfer.
    if (SourceState != 300) {
        return FailWith(OpenContext, TWCC_SEQERROR);
    }
    // The face the application gets, chosen before the capabilities take
    // their defaults (the transfer count's differs).
    TwainTwoApp = AppIdentity.Id == 0 && triplet.pOrigin != nullptr &&
                  (triplet.pOrigin->SupportedGroups & DF_APP2) != 0;
    // Before anything else can fail, so that even a refused open of a closed
    // source puts every capability back. A capability missing from the store
    // would fail every query of the session: no session then.
    if (BuildCapabilityDefaults() == 1) {
        FreeCapabilities();
        return FailWith(OpenContext, TWCC_LOWMEMORY);
    }
    if (AppIdentity.Id != 0) {
        return FailWith(OpenContext, TWCC_MAXCONNECTIONS);
    }
    if (triplet.pOrigin == nullptr || triplet.pData == nullptr) {
        return FailWith(OpenContext, TWCC_BADVALUE);
    }
    OpenUndo undo;
    AppIdentity = *triplet.pOrigin;
    NativeLayout = ReadBaseKeyDword("NativeLayout");
    if (MilInitSystem() == 1) {
        return FailWith(OpenContext, TWCC_CHECKDEVICEONLINE);
    }
    if (ReadSettings() == 1) {
        return FailWith(OpenContext, TWCC_CHECKDEVICEONLINE);
    }
    char format[256];
    CopyDigFormat(format);
    if (format[0] == '\0') {
        CopyText(format, sizeof format, "M_CCIR");
    }
    switch (MilInitDigitizer(format)) {
    case 0:
        break;
    case 3:
        return FailWith(OpenContext, TWCC_LOWMEMORY);
    default:
        return FailWith(OpenContext, TWCC_OPERATIONERROR);
    }
    ApplySettings();
    SourceIdentity = *static_cast<const TW_IDENTITY*>(triplet.pData);
    undo.Keep();
    // A new session starts with nothing to report: the manager keeps the
    // module loaded across sessions, and with it the last session's code.
    PendingCondition = TWCC_SUCCESS;
    DebugLog().Write("Talvenix TWAIN DS: opened by a TWAIN %s application%s\n", TwainTwoApp ? "2" : "1.x",
                     TwainTwoApp ? ", answered as TWAIN 2.4" : "");
    SourceState = 400;
    return TWRC_SUCCESS;
}

TW_UINT16 CloseSource()
{
    if (SourceState != 400) {
        ReportCondition("General failure in response to MSG_CLOSEDS.  ", TWCC_SEQERROR);
    }
    AppIdentity.Id = 0;
    ForgetManagerEntry();
    // The dialog goes first: its live preview must stop and let go of the
    // image buffer before the digitizer and the buffer are freed.
    DestroySettingsDialog();
    EndAutomaticCapture(false);
    MilFreeSystem();
    FreeCapabilities();
    ReleaseFileWriters();
    ForgetTransferFiles();
    PendingTransfers = 0;
    CloseRequestedWhilePending = false;
    SourceState = 300;
    return TWRC_SUCCESS;
}

}  // namespace

TW_UINT16 HandleIdentity(const Triplet& triplet)
{
    switch (triplet.MSG) {
    case MSG_GET:
        if (triplet.pData == nullptr) {
            return FailWith(IdentityContext, TWCC_BADVALUE);
        }
        *static_cast<TW_IDENTITY*>(triplet.pData) = SourceIdentity;
        return TWRC_SUCCESS;
    case MSG_OPENDS:
        return OpenSource(triplet);
    case MSG_CLOSEDS:
        return CloseSource();
    case MSG_GETDEFAULT:
        DebugLog().Write("DG_CONTROL / DAT_IDENTITY / MSG_GETDEFAULT tbd");
        return FailWith(IdentityContext, TWCC_BADPROTOCOL);
    case MSG_GETFIRST:
        DebugLog().Write("DG_CONTROL / DAT_IDENTITY / MSG_GETFIRST tbd");
        return FailWith(IdentityContext, TWCC_BADPROTOCOL);
    case MSG_GETNEXT:
        DebugLog().Write("DG_CONTROL / DAT_IDENTITY / MSG_GETNEXT tbd");
        return FailWith(IdentityContext, TWCC_BADPROTOCOL);
    case MSG_USERSELECT:
        DebugLog().Write("DG_CONTROL / DAT_IDENTITY / MSG_USERSELECT tbd");
        return FailWith(IdentityContext, TWCC_BADPROTOCOL);
    default:
        return FailWith(IdentityContext, TWCC_BADPROTOCOL);
    }
}
