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
#include "twain/closed_source.h"
#include "twain/condition.h"
#include "twain/debug_log.h"
#include "twain/source.h"

namespace {

const char* const OpenContext = "General failure in response to MSG_OPENDS.  ";
const char* const HostGoneContext = "The 32-bit host is gone.  ";
const char* const BrokenAnswerContext = "The 32-bit host answered out of bounds.  ";
const char* const NestedCallContext = "A call came in while the 32-bit host serves the one before.  ";

// Larger than any frame the board delivers, far below what a broken host
// could make an application allocate.
constexpr uint32_t BitmapLimit = 256u << 20;

void WriteRequest(const Triplet& t, BridgeBlock& block)
{
    block.DG = t.DG;
    block.DAT = t.DAT;
    block.MSG = t.MSG;
    block.HasOrigin = t.pOrigin != nullptr;
    block.HasData = t.pData != nullptr;
    block.DataLength = 0;
    block.ExtraLength = 0;
    if (t.pOrigin != nullptr) {
        std::memcpy(block.Origin, t.pOrigin, IdentityBytes);
    }
}

// The host's answer as this side uses it: copied out of the shared block
// once, so that what is checked is what is used.
struct Answer {
    uint16_t ReturnCode;
    uint16_t HostCondition;
    uint32_t DataLength;
    uint32_t ExtraLength;
    uint32_t ImageAddress;
    uint32_t ImageLength;
    bool ImageInSection;
    uint8_t Data[BridgeDataRoom];
    const uint8_t* Extra;  // in the shared block: only its length is relied on
};

void CopyAnswer(const BridgeBlock& block, Answer& answer)
{
    answer.ReturnCode = block.ReturnCode;
    answer.HostCondition = block.HostCondition;
    answer.DataLength = block.DataLength;
    answer.ExtraLength = block.ExtraLength;
    answer.ImageAddress = block.ImageAddress;
    answer.ImageLength = block.ImageLength;
    answer.ImageInSection = block.ImageInSection != 0;
    std::memcpy(answer.Data, block.Data, sizeof answer.Data);
    answer.Extra = block.Extra;
}

// The bytes a strip may take from the application's buffer: a buffer given
// as a handle is bounded by its block's size, whatever Length claims.
uint32_t StripRoom(const TW_IMAGEMEMXFER& xfer)
{
    if ((xfer.Memory.Flags & TWMF_HANDLE) == 0 || xfer.Memory.TheMem == nullptr) {
        return xfer.Memory.Length;
    }
    const SIZE_T size = GlobalSize(xfer.Memory.TheMem);
    return size < xfer.Memory.Length ? static_cast<uint32_t>(size) : xfer.Memory.Length;
}

// The bytes of an application's block into Extra: a container holds a few
// values and a setup a few kB; what lies beyond the room (an application's
// generous allocation) is no part of them. 0 done; 1 refused (reported).
int BlockToExtra(HGLOBAL handle, BridgeBlock& block, const char* context)
{
    const SIZE_T whole = GlobalSize(handle);
    const SIZE_T size = whole < BridgeExtraRoom ? whole : BridgeExtraRoom;
    const void* bytes = GlobalLock(handle);
    if (bytes == nullptr) {
        ReportCondition(context, TWCC_BADVALUE);
        return 1;
    }
    std::memcpy(block.Extra, bytes, size);
    GlobalUnlock(handle);
    block.ExtraLength = static_cast<uint32_t>(size);
    return 0;
}

const char* const CapabilityContext = "General failure in response to DAT_CAPABILITY.  ";
const char* const CustomDataContext = "General failure in response to DAT_CUSTOMDSDATA.  ";

// Puts the application's structure into the block. 0 done; 1 refused
// (reported).
int WriteStructure(const Triplet& t, const WireShape& shape, BridgeBlock& block)
{
    if (t.pData == nullptr || shape.Kind == WireKind::None || shape.Kind == WireKind::NativeXfer) {
        return 0;
    }
    block.DataLength = shape.Size;
    switch (shape.Kind) {
    case WireKind::Capability: {
        const auto* cap = static_cast<const TW_CAPABILITY*>(t.pData);
        const WireCapability wire = {cap->Cap, cap->ConType, 0};
        std::memcpy(block.Data, &wire, sizeof wire);
        if (t.MSG != MSG_SET || cap->hContainer == nullptr) {
            return 0;
        }
        return BlockToExtra(cap->hContainer, block, CapabilityContext);
    }
    case WireKind::CustomData: {
        const auto* data = static_cast<const TW_CUSTOMDSDATA*>(t.pData);
        const WireCustomDsData wire = {data->InfoLength, data->hData != nullptr ? 1u : 0u};
        std::memcpy(block.Data, &wire, sizeof wire);
        if (t.MSG != MSG_SET || data->hData == nullptr) {
            return 0;
        }
        return BlockToExtra(data->hData, block, CustomDataContext);
    }
    case WireKind::UserInterface: {
        const auto* ui = static_cast<const TW_USERINTERFACE*>(t.pData);
        const WireUserInterface wire = {ui->ShowUI, ui->ModalUI, 0};
        std::memcpy(block.Data, &wire, sizeof wire);
        return 0;
    }
    case WireKind::MemXfer: {
        const auto* xfer = static_cast<const TW_IMAGEMEMXFER*>(t.pData);
        WireImageMemXfer wire = {};
        StripFieldsToWire(*xfer, wire);
        wire.Flags = xfer->Memory.Flags;
        wire.Length = StripRoom(*xfer);
        wire.TheMem = xfer->Memory.TheMem != nullptr ? 1u : 0u;
        std::memcpy(block.Data, &wire, sizeof wire);
        return 0;
    }
    default:
        std::memcpy(block.Data, t.pData, shape.Size);
        return 0;
    }
}

// The strip the source wrote into the host's buffer, into the application's.
int TakeStrip(const TW_IMAGEMEMXFER& xfer, const Answer& answer)
{
    if (!StripFits(answer.ImageLength, xfer.BytesWritten, StripRoom(xfer))) {
        ReportCondition(BrokenAnswerContext, TWCC_BUMMER);
        return 1;
    }
    const bool isHandle = (xfer.Memory.Flags & TWMF_HANDLE) != 0;
    void* to = isHandle ? GlobalLock(xfer.Memory.TheMem) : xfer.Memory.TheMem;
    if (to == nullptr) {
        ReportCondition(BrokenAnswerContext, TWCC_BADVALUE);
        return 1;
    }
    const int failed = ReadHostImage(answer.ImageAddress, answer.ImageInSection, to, answer.ImageLength);
    if (isHandle) {
        GlobalUnlock(xfer.Memory.TheMem);
    }
    if (failed) {
        ReportCondition(BrokenAnswerContext, TWCC_BUMMER);
    }
    return failed;
}

// A new movable block for the application, locked at `bytes`; none (and
// reported with `context`) when memory is out.
HGLOBAL NewLockedBlock(UINT flags, uint32_t size, void*& bytes, const char* context)
{
    HGLOBAL block = GlobalAlloc(flags, size);
    bytes = block != nullptr ? GlobalLock(block) : nullptr;
    if (bytes == nullptr) {
        if (block != nullptr) {
            GlobalFree(block);
        }
        ReportCondition(context, TWCC_LOWMEMORY);
        return nullptr;
    }
    return block;
}

// The bitmap the source handed the host, as a new block of the application.
int TakeBitmap(const Answer& answer, TW_HANDLE& bitmap)
{
    if (!BitmapFits(answer.ImageLength, BitmapLimit)) {
        ReportCondition(BrokenAnswerContext, TWCC_BUMMER);
        return 1;
    }
    void* to = nullptr;
    HGLOBAL block = NewLockedBlock(GMEM_MOVEABLE, answer.ImageLength, to,
                                   "General failure in response to DAT_IMAGENATIVEXFER.  ");
    if (block == nullptr) {
        return 1;
    }
    // An application reads as much as the header says.
    const int failed = ReadHostImage(answer.ImageAddress, answer.ImageInSection, to, answer.ImageLength) ||
                       !BitmapHeaderFits(static_cast<const uint8_t*>(to), answer.ImageLength);
    GlobalUnlock(block);
    if (failed) {
        GlobalFree(block);
        ReportCondition(BrokenAnswerContext, TWCC_BUMMER);
        return 1;
    }
    bitmap = block;
    return 0;
}

// Writes the host's answer (a copy, checked) into the application's
// structure. 0 done; 1 refused (reported).
int ReadStructure(const Triplet& t, const WireShape& shape, const Answer& answer, TW_UINT16 returnCode)
{
    if (t.pData == nullptr) {
        return 0;
    }
    switch (shape.Kind) {
    case WireKind::None:
        return 0;
    case WireKind::NativeXfer:
        return returnCode == TWRC_XFERDONE ? TakeBitmap(answer, *static_cast<TW_HANDLE*>(t.pData)) : 0;
    case WireKind::Capability: {
        auto* cap = static_cast<TW_CAPABILITY*>(t.pData);
        WireCapability wire = {};
        std::memcpy(&wire, answer.Data, sizeof wire);
        cap->Cap = wire.Cap;
        cap->ConType = wire.ConType;
        if (answer.ExtraLength == 0) {
            return 0;
        }
        void* to = nullptr;
        HGLOBAL container = NewLockedBlock(GHND, answer.ExtraLength, to, CapabilityContext);
        if (container == nullptr) {
            return 1;
        }
        std::memcpy(to, answer.Extra, answer.ExtraLength);
        const bool fits = ContainerFits(wire.ConType, static_cast<const uint8_t*>(to), answer.ExtraLength);
        GlobalUnlock(container);
        if (!fits) {
            GlobalFree(container);
            ReportCondition(BrokenAnswerContext, TWCC_BUMMER);
            return 1;
        }
        cap->hContainer = container;
        return 0;
    }
    case WireKind::CustomData: {
        // The setup the source made for the application: its bytes, as a
        // block of the application's.
        auto* data = static_cast<TW_CUSTOMDSDATA*>(t.pData);
        WireCustomDsData wire = {};
        std::memcpy(&wire, answer.Data, sizeof wire);
        if (t.MSG != MSG_GET || answer.ExtraLength == 0) {
            return 0;
        }
        if (!CustomDataFits(wire, answer.ExtraLength)) {
            ReportCondition(BrokenAnswerContext, TWCC_BUMMER);
            return 1;
        }
        void* to = nullptr;
        HGLOBAL block = NewLockedBlock(GMEM_MOVEABLE, answer.ExtraLength, to, CustomDataContext);
        if (block == nullptr) {
            return 1;
        }
        std::memcpy(to, answer.Extra, answer.ExtraLength);
        GlobalUnlock(block);
        data->InfoLength = wire.InfoLength;
        data->hData = block;
        return 0;
    }
    case WireKind::UserInterface: {
        auto* ui = static_cast<TW_USERINTERFACE*>(t.pData);
        WireUserInterface wire = {};
        std::memcpy(&wire, answer.Data, sizeof wire);
        ui->ShowUI = wire.ShowUI;
        ui->ModalUI = wire.ModalUI;
        return 0;
    }
    case WireKind::MemXfer: {
        auto* xfer = static_cast<TW_IMAGEMEMXFER*>(t.pData);
        WireImageMemXfer wire = {};
        std::memcpy(&wire, answer.Data, sizeof wire);
        const bool delivered = returnCode == TWRC_SUCCESS || returnCode == TWRC_XFERDONE;
        if (delivered && !StripDescribed(wire)) {
            ReportCondition(BrokenAnswerContext, TWCC_BUMMER);
            return 1;
        }
        StripFieldsFromWire(wire, *xfer);
        return delivered ? TakeStrip(*xfer, answer) : 0;
    }
    default:
        std::memcpy(t.pData, answer.Data, shape.Size);
        return 0;
    }
}

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

TW_UINT16 Close(const Triplet& t)
{
    const bool enabled = HostWasEnabled();
    if (HostRunning()) {
        Triplet close = t;
        close.pData = &SourceIdentity;
        Forward(close);
    }
    StopHost(HostExitWait);
    NoteHostEnabled(false);
    AppIdentity.Id = 0;
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
        Close(close);
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
        return Close(t);
    }
    if (t.DG == DG_CONTROL && t.DAT == DAT_STATUS) {
        return Status(t);
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
    const TW_UINT16 returnCode = AnswerTriplet(t);
    FollowStripOwner(t, returnCode);
    return returnCode;
}
