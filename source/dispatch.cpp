// DS_Entry and the routing of a triplet to its handler. The tables come first:
// they are the map of what this source answers.
#include "source/dispatch.h"

#include <new>

#include "capability/negotiation.h"
#include "source/control.h"
#include "transfer/transfers.h"
#include "twain/closed_source.h"
#include "twain/condition.h"
#include "twain/debug_log.h"
#include "twain/manager.h"
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
    {DAT_CUSTOMDSDATA, HandleCustomDsData},
    {DAT_ENTRYPOINT, HandleEntryPoint},
    {0, nullptr},
};

const DispatchEntry ImageDispatchTable[] = {
    {DAT_IMAGEINFO, HandleImageInfo},
    {DAT_IMAGELAYOUT, HandleImageLayout},
    {DAT_IMAGEMEMXFER, HandleImageMemXfer},
    {DAT_IMAGENATIVEXFER, HandleImageNativeXfer},
    {DAT_IMAGEFILEXFER, HandleImageFileXfer},
    {DAT_EXTIMAGEINFO, HandleExtImageInfo},
    {0, nullptr},
};

void RegisterSupportedDats()
{
    // Every pair the tables answer, as CAP_SUPPORTEDDATS lists them.
    static TW_UINT32 pairs[sizeof ControlDispatchTable / sizeof ControlDispatchTable[0] +
                           sizeof ImageDispatchTable / sizeof ImageDispatchTable[0]];
    int count = 0;
    for (const DispatchEntry* row = ControlDispatchTable; row->Handler != nullptr; ++row) {
        pairs[count++] = (DG_CONTROL << 16) | (row->DAT & 0xFFFF);
    }
    for (const DispatchEntry* row = ImageDispatchTable; row->Handler != nullptr; ++row) {
        pairs[count++] = (DG_IMAGE << 16) | (row->DAT & 0xFFFF);
    }
    SetSupportedDats(pairs, count);
}

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
// several threads, and every record here is process-wide. The lock is
// re-entrant, as it must be: the notices the source sends call the manager,
// which may call back on the same thread. Nearly every call finds it free and
// takes it with one atomic exchange, without asking the kernel. A thread that
// finds it held waits for its turn and still answers messages sent to its
// windows, so a holder that destroys or hides a dialog belonging to the
// waiting thread gets its answer. A holder that ended inside the source (a
// thread killed by its application) leaves the lock to the next caller.
// Nothing of the source runs on the board library's threads, so they never
// wait for it.
class EntryLock {
public:
    EntryLock()
    {
        const auto self = static_cast<LONG>(GetCurrentThreadId());
        if (Owner != self && InterlockedCompareExchange(&Owner, self, 0) != 0 && !WaitForTurn(self)) {
            return;
        }
        ++Depth;
        held_ = true;
    }
    ~EntryLock()
    {
        if (held_ && --Depth == 0) {
            InterlockedExchange(&Owner, 0);
            if (Waiters > 0) {
                SetEvent(Turn.Handle);
            }
        }
    }
    EntryLock(const EntryLock&) = delete;
    EntryLock& operator=(const EntryLock&) = delete;
    bool Held() const { return held_; }

private:
    // Waits until the lock is free (or its holder gone) and takes it; false
    // when the wait itself fails.
    static bool WaitForTurn(LONG self)
    {
        if (Turn.Handle == nullptr) {
            return false;
        }
        InterlockedIncrement(&Waiters);
        bool taken = false;
        for (;;) {
            const LONG owner = InterlockedCompareExchange(&Owner, self, 0);
            if (owner == 0) {
                taken = true;
                break;
            }
            HANDLE waits[2] = {Turn.Handle, OpenThread(SYNCHRONIZE, FALSE, static_cast<DWORD>(owner))};
            DWORD wait = WAIT_OBJECT_0 + 1;  // a holder that no longer exists has ended
            if (waits[1] != nullptr) {
                wait = MsgWaitForMultipleObjects(2, waits, FALSE, INFINITE, QS_SENDMESSAGE);
                CloseHandle(waits[1]);
            }
            if (wait == WAIT_OBJECT_0 + 1) {
                // Its nested calls ended with it.
                if (InterlockedCompareExchange(&Owner, self, owner) == owner) {
                    Depth = 0;
                    taken = true;
                    break;
                }
            } else if (wait == WAIT_OBJECT_0 + 2) {
                MSG message;
                PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
            } else if (wait != WAIT_OBJECT_0) {
                break;
            }
        }
        InterlockedDecrement(&Waiters);
        return taken;
    }

    // Woken at each release while a thread waits (auto-reset: one at a time).
    struct OwnedEvent {
        HANDLE Handle = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        ~OwnedEvent()
        {
            if (Handle != nullptr) {
                CloseHandle(Handle);
            }
        }
    };
    static OwnedEvent Turn;
    static volatile LONG Owner;    // the holding thread's id, 0 when free
    static LONG Depth;             // the holder's nested calls; only the holder touches it
    static volatile LONG Waiters;  // threads in WaitForTurn
    bool held_ = false;
};

EntryLock::OwnedEvent EntryLock::Turn;
volatile LONG EntryLock::Owner = 0;
LONG EntryLock::Depth = 0;
volatile LONG EntryLock::Waiters = 0;

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
