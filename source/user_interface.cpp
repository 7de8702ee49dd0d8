// DAT_USERINTERFACE: enabling and disabling the source.
#include "grabber/timed_capture.h"
#include "source/control.h"
#include "transfer/transfers.h"
#include "twain/condition.h"
#include "twain/debug_log.h"
#include "twain/source.h"
#include "ui/settings_dialog.h"

namespace {

const char* const EnableContext = "General failure in response to MSG_ENABLEDS.  ";

TW_UINT16 Enable(TW_USERINTERFACE& ui)
{
    if (SourceState != 400) {
        return FailWith(EnableContext, TWCC_SEQERROR);
    }
    EnabledTransferCount = NegotiatedTransferCount();
    PendingTransfers = EnabledTransferCount;
    // Applications pass any non-zero value for true.
    if (ui.ShowUI == 0) {
        DebugLog().Write("Enable DS w/o UI\n");
        // A preview left running by a disabled dialog stops before the
        // application can transfer inside the notice.
        if (!AnnounceTransfers()) {
            return FailWith(EnableContext, TWCC_LOWMEMORY);
        }
        // With automatic capture the notice comes with the first image.
        if (TimedCaptureRunning() && SourceState == 400) {
            SourceState = 500;
        }
        return TWRC_SUCCESS;
    }
    // A dialog left hidden by MSG_DISABLEDS is replaced, not leaked.
    DestroySettingsDialog();
    if (CreateSettingsDialog() == nullptr) {
        return FailWith(EnableContext, TWCC_LOWMEMORY);
    }
    ShowWindow(DialogHandle, SW_SHOW);
    SourceState = 500;
    return TWRC_SUCCESS;
}

}  // namespace

TW_UINT16 HandleUserInterface(const Triplet& triplet)
{
    auto* ui = static_cast<TW_USERINTERFACE*>(triplet.pData);
    switch (triplet.MSG) {
    case MSG_ENABLEDS:
        if (ui == nullptr) {
            return FailWith(EnableContext, TWCC_BADVALUE);
        }
        return Enable(*ui);
    case MSG_ENABLEDSUIONLY: {
        if (ui == nullptr) {
            return FailWith(EnableContext, TWCC_BADVALUE);
        }
        ui->ShowUI = 1;
        const TW_UINT16 result = Enable(*ui);
        if (result == TWRC_SUCCESS) {
            MakeSettingsOnly();
        }
        return result;
    }
    case MSG_DISABLEDS:
        if (SourceState != 500) {
            return FailWith("General failure in response to MSG_DISABLEDS.  ", TWCC_SEQERROR);
        }
        if (DialogHandle != nullptr) {
            ShowWindow(DialogHandle, SW_HIDE);
        }
        StopPreviewWhileHidden();
        EndAutomaticCapture(true);
        // Pages left by transfers the dialog's "Cancel" cut short.
        EndFileSequence();
        CloseRequestedWhilePending = false;
        SourceState = 400;
        return TWRC_SUCCESS;
    default:
        return FailWith("General failure in response to DAT_USERINTERFACE.  ", TWCC_BADPROTOCOL);
    }
}
