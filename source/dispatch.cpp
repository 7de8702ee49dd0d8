// DS_Entry and the routing of a triplet to its handler. The tables come first:
// they are the map of what this source answers.
#include "source/dispatch.h"

#include <new>

#include "capability/negotiation.h"
#include "diag/debug_log.h"
#include "transfer/transfers.h"
#include "twain/closed_source.h"
#include "twain/condition.h"
#include "source/control.h"
#include "twain/source.h"

const DispatchEntry ControlDispatchTable[] = {
    {DAT_IDENTITY, HandleIdentity},
    {DAT_USERINTERFACE, HandleUserInterface},
    {DAT_CAPABILITY, HandleCapability},
    {DAT_STATUS, HandleStatus},
    {DAT_PENDINGXFERS, HandlePendingXfers},
    {DAT_SETUPMEMXFER, HandleSetupMemXfer},
    {DAT_SETUPFILEXFER, HandleSetupFileXfer},
    {DAT_XFERGROUP, HandleXferGroup},
    {DAT_EVENT, HandleEvent},
    {0, nullptr},
};

const DispatchEntry ImageDispatchTable[] = {
    {DAT_IMAGEINFO, HandleImageInfo},
    {DAT_IMAGELAYOUT, HandleImageLayout},
    {DAT_IMAGEMEMXFER, HandleImageMemXfer},
    {DAT_IMAGENATIVEXFER, HandleImageNativeXfer},
    {DAT_IMAGEFILEXFER, HandleImageFileXfer},
    {0, nullptr},
};

TW_UINT16 Dispatch(const Triplet& triplet, const DispatchEntry* table, TW_UINT16 DAT)
{
    DebugLog log;
    LogDispatch(triplet);
    // A closed source answers from the table Twain_64.ds answers from too.
    TW_UINT16 closedAnswer = TWRC_FAILURE;
    if (SourceState == 300 && AnswerClosedSource(triplet, closedAnswer)) {
        return closedAnswer;
    }
    for (const DispatchEntry* row = table; row->Handler != nullptr; ++row) {
        if (static_cast<TW_UINT16>(row->DAT) == DAT) {
            return row->Handler(triplet);
        }
    }
    return RefuseUnknownDat();
}

namespace {

TW_UINT16 Entry(pTW_IDENTITY pOrigin, TW_UINT32 DG, TW_UINT16 DAT, TW_UINT16 Msg, TW_MEMREF pData)
{
    // Only the connected application gets through; while none is connected,
    // everybody does. A caller without identity cannot be the connected one.
    if (AppIdentity.Id != 0 && (pOrigin == nullptr || pOrigin->Id != AppIdentity.Id)) {
        return TWRC_SUCCESS;
    }

    // Every message of the application's loop passes here while the source is
    // enabled; the dialog gets its keyboard handling, nothing is logged. Only
    // DAT_EVENT carries a TW_EVENT: the block of any other type is not ours
    // to write into, and goes to its handler, which refuses the message.
    if (Msg == MSG_PROCESSEVENT && DG == DG_CONTROL && DAT == DAT_EVENT) {
        auto* event = static_cast<TW_EVENT*>(pData);
        if (event == nullptr) {
            return TWRC_NOTDSEVENT;
        }
        event->TWMessage = MSG_NULL;
        if (DialogHandle == nullptr || event->pEvent == nullptr) {
            return TWRC_NOTDSEVENT;
        }
        return IsDialogMessageA(DialogHandle, static_cast<LPMSG>(event->pEvent)) ? TWRC_DSEVENT
                                                                                 : TWRC_NOTDSEVENT;
    }

    const Triplet triplet = {pOrigin, DG, DAT, Msg, pData};
    if (DG == DG_CONTROL) {
        return Dispatch(triplet, ControlDispatchTable, DAT);
    }
    if (DG == DG_IMAGE) {
        return Dispatch(triplet, ImageDispatchTable, DAT);
    }
    return RefuseDataGroup();
}

// One caller inside the source at a time: .NET and scripting hosts call from
// several threads, and every record here is process-wide. The mutex is
// re-entrant, as it must be: the notices the source sends call the manager,
// which may call back on the same thread. A thread waiting for it still
// answers messages sent to its windows, so a holder that destroys or hides
// a dialog belonging to the waiting thread gets its answer. Nothing of the
// source runs on the board library's threads, so they never wait for it.
class EntryLock {
public:
    EntryLock()
    {
        for (;;) {
            const DWORD wait = MsgWaitForMultipleObjects(1, &Mutex.Handle, FALSE, INFINITE, QS_SENDMESSAGE);
            if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED_0 || wait == WAIT_FAILED) {
                held_ = wait != WAIT_FAILED;
                return;
            }
            MSG message;
            PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        }
    }
    ~EntryLock()
    {
        if (held_) {
            ReleaseMutex(Mutex.Handle);
        }
    }
    EntryLock(const EntryLock&) = delete;
    EntryLock& operator=(const EntryLock&) = delete;
    bool Held() const { return held_; }

private:
    struct OwnedMutex {
        HANDLE Handle = CreateMutexA(nullptr, FALSE, nullptr);
        ~OwnedMutex() { CloseHandle(Handle); }
    };
    static OwnedMutex Mutex;
    bool held_ = false;
};

EntryLock::OwnedMutex EntryLock::Mutex;

const char* const EntryContext = "General failure in DS_Entry.  ";

}  // namespace

// The source runs inside someone else's process: whatever goes wrong, the
// call answers. Nothing is meant to throw; should anything still escape a
// handler, the application gets a failure in the state it called in.
extern "C" TW_UINT16 __stdcall DS_Entry(pTW_IDENTITY pOrigin, TW_UINT32 DG, TW_UINT16 DAT, TW_UINT16 Msg,
                                        TW_MEMREF pData)
{
    EntryLock lock;
    if (!lock.Held()) {
        return FailWith(EntryContext, TWCC_BUMMER);
    }
    const LONG state = SourceState;
    try {
        return Entry(pOrigin, DG, DAT, Msg, pData);
    } catch (const std::bad_alloc&) {
        SourceState = state;
        return FailWith("General failure in DS_Entry, out of memory.  ", TWCC_LOWMEMORY);
    } catch (...) {
        SourceState = state;
        return FailWith(EntryContext, TWCC_BUMMER);
    }
}
