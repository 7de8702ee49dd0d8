// DS_Entry of Twain_64.ds. While a host runs, the 32-bit source answers every
// triplet: each one crosses to its host process in the 32-bit layout and its
// answer comes back into the application's 64-bit structures, checked first.
// Answered here: everything before the open and after the close (from the
// table the 32-bit source answers a closed source from), opening and closing
// (they start and end the host), the message loop's MSG_PROCESSEVENT (the
// dialog's messages run in the host) and DAT_STATUS when the last failure
// was this side's own.
#include <cstring>

#include "bridge/wire.h"
#include "ds64/host_link.h"
#include "ds64/structures.h"
#include "twain/closed_source.h"
#include "twain/condition.h"
#include "twain/debug_log.h"
#include "twain/manager.h"
#include "twain/source.h"

namespace {

const char* const OpenContext = "General failure in response to MSG_OPENDS.  ";
const char* const HostGoneContext = "The 32-bit host is gone.  ";
const char* const NestedCallContext = "A call came in while the 32-bit host serves the one before.  ";

// Follows the answers that enable and disable the 32-bit source: a close
// from states 5 to 7 leaves TWCC_SEQERROR pending, which the host takes with
// it when it ends, and a host that ends there asks the application to close.
void FollowEnabled(const Triplet& t, TW_UINT16 returnCode)
{
    if (t.DG != DG_CONTROL || t.DAT != DAT_USERINTERFACE || returnCode != TWRC_SUCCESS) {
        return;
    }
    if (t.MSG == MSG_ENABLEDS || t.MSG == MSG_ENABLEDSUIONLY) {
        NoteHostEnabled(true);
    } else if (t.MSG == MSG_DISABLEDS) {
        NoteHostEnabled(false);
    }
}

TW_UINT16 Forward(const Triplet& t)
{
    if (!HostRunning()) {
        return FailWith(HostGoneContext, TWCC_BUMMER);
    }
    const WireShape shape = FindWireShape(t.DG, t.DAT);
    BridgeBlock& block = HostBlock();
    WriteRequest(t, block);
    if (WriteStructure(t, shape, block)) {
        return TWRC_FAILURE;
    }
    const uint32_t sent = block.DataLength;
    // The first-use box of the open and the dialog come from the host: the
    // application, in front, lets it take the foreground for them.
    if (t.DAT == DAT_USERINTERFACE || (t.DAT == DAT_IDENTITY && t.MSG == MSG_OPENDS)) {
        LetHostTakeForeground();
    }
    if (ExchangeWithHost()) {
        return FailWith(HostGoneContext, TWCC_BUMMER);
    }
    Answer answer;
    CopyAnswer(block, answer);
    if (!AnswerFits(shape, sent, answer.DataLength, answer.ExtraLength)) {
        return FailWith(BrokenAnswerContext, TWCC_BUMMER);
    }
    if (ReadStructure(t, shape, answer, answer.ReturnCode)) {
        return TWRC_FAILURE;
    }
    if (answer.HostCondition != TWCC_SUCCESS) {
        ReportCondition("The 32-bit host failed the call.  ", answer.HostCondition);
    } else if (answer.ReturnCode == TWRC_FAILURE && t.DAT != DAT_STATUS) {
        // The 32-bit source holds the newest failure now: one condition is
        // pending, as in the 32-bit source called directly.
        PendingCondition = TWCC_SUCCESS;
    }
    FollowEnabled(t, answer.ReturnCode);
    return answer.ReturnCode;
}

// DAT_STATUS with a host: the 32-bit source answers (and forgets its
// condition, and logs the call), unless a failure of this side came later.
TW_UINT16 Status(const Triplet& t)
{
    if (!HostRunning() || (PendingCondition != TWCC_SUCCESS && (t.pData == nullptr || t.MSG != MSG_GET))) {
        LogDispatch(t);
        return HandleStatus(t);
    }
    const TW_UINT16 ownCondition = PendingCondition;
    const TW_UINT16 returnCode = Forward(t);
    if (!HostRunning()) {
        // It found the host gone: it still answers, with that.
        return HandleStatus(t);
    }
    if (returnCode == TWRC_SUCCESS && ownCondition != TWCC_SUCCESS) {
        // Its own condition, whole: nothing of the host's answer stays.
        *static_cast<TW_STATUS*>(t.pData) = {ownCondition, 0};
        PendingCondition = TWCC_SUCCESS;
    }
    return returnCode;
}

// `keepHost`: the host, idle, may serve the next open.
TW_UINT16 Close(const Triplet& t, bool keepHost)
{
    const bool enabled = HostWasEnabled();
    if (HostRunning()) {
        Triplet close = t;
        close.pData = &SourceIdentity;
        Forward(close);
    }
    if (!keepHost || !KeepHostIdle()) {
        StopHost(HostExitWait);
    }
    NoteHostEnabled(false);
    AppIdentity.Id = 0;
    ForgetManagerEntry();
    SourceState = 300;
    // The 32-bit source recorded it; its host is gone with it.
    if (enabled) {
        PendingCondition = TWCC_SEQERROR;
    }
    return TWRC_SUCCESS;
}

TW_UINT16 Open(const Triplet& t)
{
    if (StartHost()) {
        return FailWith(OpenContext, TWCC_OPERATIONERROR);
    }
    // The 32-bit source takes only its application's calls from here on,
    // the status and the close after a refused open included.
    AppIdentity = *t.pOrigin;
    const TW_UINT16 opened = Forward(t);
    if (opened != TWRC_SUCCESS) {
        // Unlike the 32-bit source, which keeps the application connected
        // until MSG_CLOSEDS, a refused open ends the host: the next open
        // starts afresh.
        TW_STATUS status = {};
        const Triplet ask = {&AppIdentity, DG_CONTROL, DAT_STATUS, MSG_GET, &status};
        const TW_UINT16 condition =
            HostRunning() && Forward(ask) == TWRC_SUCCESS ? status.ConditionCode : TWCC_OPERATIONERROR;
        Triplet close = {&AppIdentity, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &SourceIdentity};
        Close(close, false);
        return FailWith(OpenContext, condition);
    }
    // A condition this side kept from the last session is not the new one's.
    PendingCondition = TWCC_SUCCESS;
    SourceState = 400;
    SourceIdentity = *static_cast<const TW_IDENTITY*>(t.pData);
    return TWRC_SUCCESS;
}

// No host: before the open and after the close, the table of a closed
// source answers, as it does in the 32-bit source.
TW_UINT16 AnswerClosed(const Triplet& t)
{
    if (t.DG != DG_CONTROL && t.DG != DG_IMAGE) {
        return RefuseDataGroup();
    }
    if (t.DG == DG_CONTROL && t.DAT == DAT_IDENTITY && t.MSG == MSG_OPENDS && t.pOrigin != nullptr &&
        t.pData != nullptr) {
        return Open(t);  // the 32-bit source logs it
    }
    LogDispatch(t);
    TW_UINT16 returnCode = TWRC_FAILURE;
    if (AnswerClosedSource(t, returnCode)) {
        return returnCode;
    }
    if (t.DAT == DAT_STATUS) {
        return HandleStatus(t);
    }
    if (t.DAT == DAT_ENTRYPOINT) {
        return HandleEntryPoint(t);
    }
    if (t.MSG == MSG_OPENDS) {
        return FailWith(OpenContext, TWCC_BADVALUE);
    }
    if (t.pData == nullptr) {
        return FailWith("General failure in response to DAT_IDENTITY.  ", TWCC_BADVALUE);
    }
    *static_cast<TW_IDENTITY*>(t.pData) = SourceIdentity;
    return TWRC_SUCCESS;
}

// The host ended while the source was enabled: the calls that lead down to
// the close succeed, so that the application's ordinary way out works.
bool LeadsDown(const Triplet& t)
{
    return t.DG == DG_CONTROL && ((t.DAT == DAT_PENDINGXFERS && (t.MSG == MSG_ENDXFER || t.MSG == MSG_RESET)) ||
                                  (t.DAT == DAT_USERINTERFACE && t.MSG == MSG_DISABLEDS));
}

TW_UINT16 LeadDown(const Triplet& t)
{
    if (t.DAT == DAT_PENDINGXFERS && t.pData != nullptr) {
        static_cast<TW_PENDINGXFERS*>(t.pData)->Count = 0;
    }
    if (t.DAT == DAT_USERINTERFACE) {
        NoteHostEnabled(false);
    }
    return TWRC_SUCCESS;
}

TW_UINT16 AnswerTriplet(const Triplet& t)
{
    if (!HostRunning() && SourceState == 300) {
        return AnswerClosed(t);
    }
    if (t.DG == DG_CONTROL && t.DAT == DAT_IDENTITY && t.MSG == MSG_CLOSEDS) {
        // The manager may pass anything here (Wine's does at MSG_CLOSEDSM).
        return Close(t, true);
    }
    if (t.DG == DG_CONTROL && t.DAT == DAT_STATUS) {
        return Status(t);
    }
    // The manager's entry points are this process's: kept here, never
    // forwarded (the 32-bit source's notices come through this side).
    if (t.DG == DG_CONTROL && t.DAT == DAT_ENTRYPOINT) {
        LogDispatch(t);
        return HandleEntryPoint(t);
    }
    const TW_UINT16 returnCode = Forward(t);
    if (!HostRunning() && HostWasEnabled() && LeadsDown(t)) {
        return LeadDown(t);
    }
    return returnCode;
}

}  // namespace

namespace {

// A frame delivered in strips belongs to the application thread that began
// it. The host makes every call from its one thread, so the 32-bit source
// cannot tell two application threads apart: strips handed to both in turn
// would leave each with part of one image, reported whole. A thread whose
// frame another thread ended is told so once.
DWORD StripThread = 0;
DWORD StripLostThread = 0;

const char* const MemoryContext = "General failure in response to DAT_IMAGEMEMXFER.  ";

bool IsStrip(const Triplet& t)
{
    return t.DG == DG_IMAGE && t.DAT == DAT_IMAGEMEMXFER;
}

// 0: the call goes on; 1: another thread's frame is under way (reported).
int CheckStripOwner()
{
    const DWORD thread = GetCurrentThreadId();
    if (StripLostThread == thread) {
        StripLostThread = 0;
        ReportCondition(MemoryContext, TWCC_SEQERROR);
        return 1;
    }
    if (StripThread != 0 && StripThread != thread) {
        ReportCondition(MemoryContext, TWCC_SEQERROR);
        return 1;
    }
    return 0;
}

void FollowStripOwner(const Triplet& t, TW_UINT16 returnCode)
{
    const DWORD thread = GetCurrentThreadId();
    if (IsStrip(t)) {
        if (returnCode == TWRC_SUCCESS) {
            StripThread = thread;
        } else if (returnCode == TWRC_XFERDONE) {
            StripThread = 0;
        }
        return;
    }
    const bool ends = t.DG == DG_CONTROL && returnCode == TWRC_SUCCESS &&
                      ((t.DAT == DAT_PENDINGXFERS && (t.MSG == MSG_ENDXFER || t.MSG == MSG_RESET)) ||
                       (t.DAT == DAT_USERINTERFACE && t.MSG == MSG_DISABLEDS) ||
                       (t.DAT == DAT_IDENTITY && t.MSG == MSG_CLOSEDS));
    if (ends) {
        ForgetStagedFrame();
    }
    if (ends && StripThread != 0) {
        if (StripThread != thread) {
            StripLostThread = StripThread;
        }
        StripThread = 0;
    }
}

// One call at a time: the host has one block, and .NET and scripting hosts
// do not always call from one thread. Re-entrant, as the manager may call
// back on the same thread while a notice is delivered.
struct EntryLock {
    EntryLock() { InitializeCriticalSection(&Section); }
    ~EntryLock() { DeleteCriticalSection(&Section); }
    EntryLock(const EntryLock&) = delete;
    EntryLock& operator=(const EntryLock&) = delete;
    CRITICAL_SECTION Section;
};
EntryLock Entry;

struct EntryGuard {
    EntryGuard() { EnterCriticalSection(&Entry.Section); }
    ~EntryGuard() { LeaveCriticalSection(&Entry.Section); }
    EntryGuard(const EntryGuard&) = delete;
    EntryGuard& operator=(const EntryGuard&) = delete;
};

}  // namespace

extern "C" TW_UINT16 __stdcall DS_Entry(pTW_IDENTITY pOrigin, TW_UINT32 DG, TW_UINT16 DAT, TW_UINT16 Msg,
                                        TW_MEMREF pData)
{
    EntryGuard guard;
    // Only the connected application gets through, as with the 32-bit source.
    if (AppIdentity.Id != 0 && (pOrigin == nullptr || pOrigin->Id != AppIdentity.Id)) {
        return TWRC_SUCCESS;
    }
    const Triplet t = {pOrigin, DG, DAT, Msg, pData};
    if (DG == DG_CONTROL && DAT == DAT_EVENT && Msg == MSG_PROCESSEVENT) {
        // The dialog runs in the host, on the host's own message loop.
        if (pData != nullptr) {
            static_cast<TW_EVENT*>(pData)->TWMessage = MSG_NULL;
        }
        return TWRC_NOTDSEVENT;
    }
    if (HostExchanging()) {
        // The shared block holds the call before, which the host serves.
        return FailWith(NestedCallContext, TWCC_SEQERROR);
    }
    if (IsStrip(t) && CheckStripOwner()) {
        return TWRC_FAILURE;
    }
    TW_UINT16 returnCode = TWRC_FAILURE;
    if (!(IsStrip(t) && t.MSG == MSG_GET && ServeStagedStrip(t, returnCode))) {
        returnCode = AnswerTriplet(t);
    }
    FollowStripOwner(t, returnCode);
    return returnCode;
}
