// TwainHost32.exe: runs the installed Twain_32.ds for one 64-bit application.
// Started by Twain_64.ds at MSG_OPENDS with the channel's handles on its
// command line (see bridge/wire.h); it serves one request at a time, runs the
// source's dialog through its own message loop, and ends HostIdleLife ms
// after MSG_CLOSEDS unless the application opens the source again by then,
// or when the application's process ends, whichever comes first.
#include <windows.h>

#include <cstring>

#include "bridge/handoff.h"
#include "bridge/wire.h"
#include "twain/twain_types.h"

namespace {

typedef TW_UINT16(__stdcall* DsEntryProc)(pTW_IDENTITY, TW_UINT32, TW_UINT16, TW_UINT16, TW_MEMREF);
typedef void(__stdcall* RelayNoticesToProc)(HWND, UINT);

// Exit codes, for the 64-bit side's log.
constexpr int BadArguments = 2;
constexpr int NoRelay = 3;
constexpr int NoSource = 4;
constexpr int NoHeartbeat = 5;

DsEntryProc SourceEntry = nullptr;
TW_IDENTITY Origin = {};
bool HaveOrigin = false;
uint8_t* Images = nullptr;  // the image section Twain_64.ds maps too
uint32_t ImagesSize = 0;

bool LoadBeside(const char* name, HMODULE& module)
{
    char path[MAX_PATH + 32] = "";
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    char* slash = std::strrchr(path, '\\');
    if (length == 0 || length >= MAX_PATH || slash == nullptr) {
        return false;
    }
    lstrcpyA(slash + 1, name);
    module = LoadLibraryA(path);
    return module != nullptr;
}

TW_UINT16 Call(const BridgeBlock& request, void* data)
{
    return SourceEntry(HaveOrigin ? &Origin : nullptr, request.DG, request.DAT, request.MSG, data);
}

// The application's block, from the bytes in Extra, as a block of this
// process's for the source; false when memory is out (answered). An empty
// block still has a byte: one that cannot be locked would fail otherwise
// than the application's own. One the application could not lock is
// handed over as such a one: a movable block of no bytes.
bool BlockFromExtra(BridgeBlock& block, UINT flags, uint32_t given, HGLOBAL& sent)
{
    if (given == WireBlockUnlockable) {
        sent = GlobalAlloc(GMEM_MOVEABLE, 0);
        block.ExtraLength = 0;
        if (sent == nullptr) {
            block.ReturnCode = TWRC_FAILURE;
            block.HostCondition = TWCC_LOWMEMORY;
        }
        return sent != nullptr;
    }
    sent = GlobalAlloc(flags, block.ExtraLength != 0 ? block.ExtraLength : 1);
    void* bytes = sent != nullptr ? GlobalLock(sent) : nullptr;
    if (bytes == nullptr) {
        if (sent != nullptr) {
            GlobalFree(sent);
        }
        block.ReturnCode = TWRC_FAILURE;
        block.HostCondition = TWCC_LOWMEMORY;
        return false;
    }
    std::memcpy(bytes, block.Extra, block.ExtraLength);
    GlobalUnlock(sent);
    return true;
}

// A block the source made for the application: its bytes cross in Extra,
// the block itself is the host's to free.
void BlockToExtra(BridgeBlock& block, HGLOBAL made)
{
    const SIZE_T size = GlobalSize(made);
    const void* bytes = GlobalLock(made);
    if (bytes != nullptr && size <= BridgeExtraRoom) {
        std::memcpy(block.Extra, bytes, size);
        block.ExtraLength = static_cast<uint32_t>(size);
    } else {
        block.HostCondition = TWCC_LOWMEMORY;
        block.ReturnCode = TWRC_FAILURE;
    }
    if (bytes != nullptr) {
        GlobalUnlock(made);
    }
    GlobalFree(made);
}

// Calls the source with `data`, whose `handle` is the application's block:
// given (`given`, as WireCustomDsData's hData says), its bytes come in
// Extra; one the source makes goes back in Extra. False when the block could
// not be made (answered).
bool CallWithBlock(BridgeBlock& block, void* data, HGLOBAL& handle, uint32_t given, UINT flags)
{
    HGLOBAL sent = nullptr;
    if (given != WireNoBlock) {
        if (!BlockFromExtra(block, flags, given, sent)) {
            return false;
        }
        handle = sent;
    }
    block.ReturnCode = Call(block, data);
    block.ExtraLength = 0;
    if (handle != nullptr && handle != sent) {
        BlockToExtra(block, handle);
    }
    if (sent != nullptr) {
        GlobalFree(sent);
    }
    return true;
}

void ServeCapability(BridgeBlock& block)
{
    WireCapability wire = {};
    std::memcpy(&wire, block.Data, sizeof wire);
    TW_CAPABILITY cap = {wire.Cap, wire.ConType, nullptr};
    if (!CallWithBlock(block, &cap, cap.hContainer, block.ExtraLength != 0 ? WireBlockBytes : WireNoBlock, GHND)) {
        return;
    }
    wire.Cap = cap.Cap;
    wire.ConType = cap.ConType;
    wire.hContainer = 0;
    std::memcpy(block.Data, &wire, sizeof wire);
}

void ServeCustomData(BridgeBlock& block)
{
    WireCustomDsData wire = {};
    std::memcpy(&wire, block.Data, sizeof wire);
    TW_CUSTOMDSDATA data = {wire.InfoLength, nullptr};
    if (!CallWithBlock(block, &data, data.hData, wire.hData, GMEM_MOVEABLE)) {
        return;
    }
    wire.InfoLength = data.InfoLength;
    wire.hData = 0;
    std::memcpy(block.Data, &wire, sizeof wire);
}

void ServeUserInterface(BridgeBlock& block)
{
    WireUserInterface wire = {};
    std::memcpy(&wire, block.Data, sizeof wire);
    TW_USERINTERFACE ui = {wire.ShowUI, wire.ModalUI, nullptr};
    block.ReturnCode = Call(block, &ui);
    wire.ShowUI = ui.ShowUI;
    wire.ModalUI = ui.ModalUI;
    std::memcpy(block.Data, &wire, sizeof wire);
}

// The image section is the application's buffer as the source sees it: the
// source writes the strip where Twain_64.ds takes it from, with no copy
// here. Length goes to the source as the application gave it, since the
// strip's rows follow from it; the source writes no more than the frame's
// bytes, and the largest frame fits the section several times, so a buffer
// longer than the section is served through it all the same. A buffer
// exists whatever its length, as the application's does: the source judges
// a Length of 0, not the host.
void ServeMemXfer(BridgeBlock& block)
{
    WireImageMemXfer wire = {};
    std::memcpy(&wire, block.Data, sizeof wire);
    if (Images == nullptr) {
        block.ReturnCode = TWRC_FAILURE;
        block.HostCondition = TWCC_LOWMEMORY;
        return;
    }
    TW_IMAGEMEMXFER xfer = {};
    StripFieldsFromWire(wire, xfer);
    xfer.Memory = {TWMF_APPOWNS | TWMF_POINTER, wire.Length, wire.TheMem != 0 ? Images : nullptr};
    block.ReturnCode = Call(block, &xfer);
    StripFieldsToWire(xfer, wire);
    std::memcpy(block.Data, &wire, sizeof wire);
    block.ImageLength = xfer.BytesWritten;
    if (block.StageRest == 0 || block.ReturnCode != TWRC_SUCCESS || wire.TheMem == 0) {
        return;
    }
    // The rest of the frame in one more strip, behind this one: the source
    // ends the frame (the section holds any frame whole); anything else
    // stages nothing and leaves the frame to the next strips.
    const uint32_t offset = (xfer.BytesWritten + 15) & ~15u;
    if (offset >= ImagesSize) {
        return;
    }
    TW_IMAGEMEMXFER rest = {};
    rest.Memory = {TWMF_APPOWNS | TWMF_POINTER, ImagesSize - offset, Images + offset};
    if (Call(block, &rest) == TWRC_XFERDONE && rest.BytesPerRow == xfer.BytesPerRow) {
        block.StagedOffset = offset;
        block.StagedLength = rest.BytesWritten;
    }
}

// The bitmap is copied into the image section and freed here: the
// application gets its own copy. One larger than the section (the board
// makes none) is refused and freed all the same.
void ServeNativeXfer(BridgeBlock& block)
{
    TW_HANDLE bitmap = nullptr;
    block.ReturnCode = Call(block, block.HasData ? &bitmap : nullptr);
    if (block.ReturnCode != TWRC_XFERDONE || bitmap == nullptr) {
        return;
    }
    const SIZE_T size = GlobalSize(bitmap);
    const void* bytes = GlobalLock(bitmap);
    if (Images != nullptr && bytes != nullptr && size <= ImagesSize) {
        std::memcpy(Images, bytes, size);
        block.ImageLength = static_cast<uint32_t>(size);
    } else {
        block.ReturnCode = TWRC_FAILURE;
        block.HostCondition = TWCC_LOWMEMORY;
    }
    if (bytes != nullptr) {
        GlobalUnlock(bitmap);
    }
    GlobalFree(bitmap);
}

void ServeBytes(BridgeBlock& block)
{
    uint8_t data[BridgeDataRoom] = {};
    const uint32_t length = block.DataLength <= sizeof data ? block.DataLength : sizeof data;
    std::memcpy(data, block.Data, length);
    block.ReturnCode = Call(block, block.HasData ? data : nullptr);
    std::memcpy(block.Data, data, length);
}

// Serves one request; true when the source was closed.
bool Serve(BridgeBlock& block)
{
    HaveOrigin = block.HasOrigin != 0;
    if (HaveOrigin) {
        std::memcpy(&Origin, block.Origin, sizeof Origin);
    }
    block.HostCondition = 0;
    block.ImageOffset = 0;
    block.ImageLength = 0;
    block.StagedOffset = 0;
    block.StagedLength = 0;
    const WireShape shape = FindWireShape(block.DG, block.DAT);
    if (block.DataLength > BridgeDataRoom || block.ExtraLength > BridgeExtraRoom) {
        block.ReturnCode = TWRC_FAILURE;
        block.HostCondition = TWCC_BADVALUE;
        return false;
    }
    // No structure from the application: none for the source either, never
    // the bytes an earlier call left in the block.
    if (block.HasData == 0) {
        block.DataLength = 0;
        block.ExtraLength = 0;
        block.ReturnCode = Call(block, nullptr);
        return block.DG == DG_CONTROL && block.DAT == DAT_IDENTITY && block.MSG == MSG_CLOSEDS;
    }
    switch (shape.Kind) {
    case WireKind::Capability:
        ServeCapability(block);
        break;
    case WireKind::CustomData:
        ServeCustomData(block);
        break;
    case WireKind::UserInterface:
        ServeUserInterface(block);
        break;
    case WireKind::MemXfer:
        ServeMemXfer(block);
        break;
    case WireKind::NativeXfer:
        ServeNativeXfer(block);
        break;
    default:
        ServeBytes(block);
        break;
    }
    return block.DG == DG_CONTROL && block.DAT == DAT_IDENTITY && block.MSG == MSG_CLOSEDS;
}

// Beats in the shared block as long as the process runs, on a thread of its
// own: Twain_64.ds tells a host busy inside the source (a slow frame, a
// trigger awaited) from one whose process has stopped.
DWORD WINAPI Beat(void* shared)
{
    auto* block = static_cast<volatile BridgeBlock*>(shared);
    for (uint32_t beat = 1;; ++beat) {
        block->HeartbeatTick = GetTickCount();
        block->Heartbeat = beat;  // 0 stays "never beat"
        Sleep(BridgeHeartbeatPeriod);
    }
}

// The source's dialog lives on this thread: every message goes through
// MSG_PROCESSEVENT first, as in any application's loop.
void PumpMessages()
{
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        TW_EVENT event = {&message, MSG_NULL};
        if (SourceEntry(HaveOrigin ? &Origin : nullptr, DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event) !=
            TWRC_DSEVENT) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int)
{
    HostArguments arguments = {};
    if (!ParseHostArguments(commandLine, arguments)) {
        return BadArguments;
    }
    const HANDLE section = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(arguments.Section));
    const HANDLE request = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(arguments.RequestEvent));
    const HANDLE answer = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(arguments.AnswerEvent));
    const HANDLE parent = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(arguments.Parent));
    auto* block = static_cast<BridgeBlock*>(MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, sizeof(BridgeBlock)));
    if (block == nullptr) {
        return BadArguments;
    }
    const HANDLE beating = CreateThread(nullptr, 0, Beat, block, 0, nullptr);
    if (beating == nullptr) {
        return NoHeartbeat;
    }
    CloseHandle(beating);
    if (block->ImageSection != 0) {
        const HANDLE imageSection = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(block->ImageSection));
        Images = static_cast<uint8_t*>(MapViewOfFile(imageSection, FILE_MAP_WRITE, 0, 0, block->ImageSectionSize));
        ImagesSize = Images != nullptr ? block->ImageSectionSize : 0;
    }
    HMODULE relay = nullptr;
    HMODULE source = nullptr;
    if (!LoadBeside("TWAINDSM.DLL", relay)) {
        return NoRelay;
    }
    auto relayNoticesTo = reinterpret_cast<RelayNoticesToProc>(
        reinterpret_cast<void (*)()>(GetProcAddress(relay, "RelayNoticesTo")));
    if (relayNoticesTo == nullptr) {
        return NoRelay;
    }
    relayNoticesTo(reinterpret_cast<HWND>(static_cast<uintptr_t>(arguments.NoticeWindow)), BridgeNoticeMessage);
    if (!LoadBeside("Twain_32.ds", source)) {
        return NoSource;
    }
    SourceEntry = reinterpret_cast<DsEntryProc>(reinterpret_cast<void (*)()>(GetProcAddress(source, "DS_Entry")));
    if (SourceEntry == nullptr) {
        return NoSource;
    }
    // A request is served as soon as its count moves; the host spins for
    // the next one of a burst, then sleeps on the request event and the
    // application's process, taking the dialog's messages meanwhile.
    const HANDLE waits[] = {request, parent};
    uint32_t served = LoadShared(block->AnswerCount);
    auto requested = [block, &served] { return LoadShared(block->RequestCount) != served; };
    bool spin = false;
    DWORD closedAt = 0;  // when the source was closed, while idle
    for (;;) {
        if (requested()) {
            served = LoadShared(block->RequestCount);
            // Claimed for the next open, if idle.
            StoreShared(block->IdleState, HostInSession);
            if (Serve(*block)) {
                // Idle from here: the source let go of the board.
                closedAt = GetTickCount();
                StoreShared(block->IdleState, HostIdle);
            }
            StoreShared(block->AnswerCount, served);
            if (LoadShared(block->CallerSleeps) != 0) {
                SetEvent(answer);
            }
            spin = true;
            continue;
        }
        if (spin && SpinUntil(requested, HostSpinMicroseconds)) {
            continue;
        }
        spin = false;
        StoreShared(block->HostSleeps, 1);
        if (requested()) {
            StoreShared(block->HostSleeps, 0);
            continue;
        }
        DWORD wait = INFINITE;
        if (LoadShared(block->IdleState) == HostLeaving) {
            break;  // told to leave while idle
        }
        if (LoadShared(block->IdleState) == HostIdle) {
            const DWORD idle = GetTickCount() - closedAt;
            if (idle >= HostIdleLife && SwapShared(block->IdleState, HostIdle, HostLeaving)) {
                break;  // not claimed: its time is up
            }
            wait = idle < HostIdleLife ? HostIdleLife - idle : 0;
        }
        const DWORD woke = MsgWaitForMultipleObjects(2, waits, FALSE, wait, QS_ALLINPUT);
        StoreShared(block->HostSleeps, 0);
        if (woke == WAIT_OBJECT_0 + 2) {
            PumpMessages();
        } else if (woke != WAIT_OBJECT_0 && woke != WAIT_TIMEOUT) {
            // The application is gone: the source lets go of the board as
            // at any unload.
            break;
        }
    }
    FreeLibrary(source);
    return 0;
}
