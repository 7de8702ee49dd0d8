#include "tests/standin_dsm/standin_dsm.h"

#include <windows.h>

#include <cstring>

namespace {

constexpr int Room = 64;
StandInNotice Received[Room];
int Count = 0;
StandInHook Hook = nullptr;

// The blocks the allocator handed out and did not free.
constexpr int BlockRoom = 4096;
TW_HANDLE Blocks[BlockRoom];
int BlockCount = 0;

TW_HANDLE __stdcall MemAllocate(TW_UINT32 size)
{
    HGLOBAL block = GlobalAlloc(GHND, size);
    if (block != nullptr && BlockCount < BlockRoom) {
        Blocks[BlockCount++] = block;
    }
    return block;
}

int FindBlock(TW_HANDLE handle)
{
    for (int i = 0; i < BlockCount; ++i) {
        if (Blocks[i] == handle) {
            return i;
        }
    }
    return -1;
}

void __stdcall MemFree(TW_HANDLE handle)
{
    const int at = FindBlock(handle);
    if (at >= 0) {
        Blocks[at] = Blocks[--BlockCount];
    }
    GlobalFree(handle);
}

TW_MEMREF __stdcall MemLock(TW_HANDLE handle)
{
    return GlobalLock(handle);
}

void __stdcall MemUnlock(TW_HANDLE handle)
{
    GlobalUnlock(handle);
}

void CopyName(char (&to)[34], const TW_IDENTITY* identity)
{
    std::memset(to, 0, sizeof to);
    if (identity != nullptr) {
        std::memcpy(to, identity->ProductName, sizeof to - 1);
    }
}

}  // namespace

extern "C" __declspec(dllexport) TW_UINT16 __stdcall DSM_Entry(pTW_IDENTITY origin, pTW_IDENTITY destination,
                                                               TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg,
                                                               TW_MEMREF /*data*/)
{
    StandInNotice notice = {};
    notice.OriginId = origin != nullptr ? origin->Id : 0xFFFFFFFF;
    CopyName(notice.OriginName, origin);
    notice.DestinationId = destination != nullptr ? destination->Id : 0xFFFFFFFF;
    CopyName(notice.DestinationName, destination);
    notice.DG = dg;
    notice.DAT = dat;
    notice.MSG = msg;
    notice.ThreadId = GetCurrentThreadId();
    if (Count < Room) {
        Received[Count] = notice;
    }
    ++Count;
    // Last: a hook may end the thread.
    if (Hook != nullptr) {
        Hook(&notice);
    }
    return TWRC_SUCCESS;
}

extern "C" __declspec(dllexport) void __stdcall StandInOnNotice(StandInHook hook)
{
    Hook = hook;
}

extern "C" __declspec(dllexport) int __stdcall StandInNotices(StandInNotice* notices, int room)
{
    for (int i = 0; i < room && i < Count && i < Room; ++i) {
        notices[i] = Received[i];
    }
    return Count;
}

extern "C" __declspec(dllexport) void __stdcall StandInEntryPoint(TW_ENTRYPOINT* entry)
{
    entry->Size = sizeof *entry;
    entry->DSM_Entry = DSM_Entry;
    entry->DSM_MemAllocate = MemAllocate;
    entry->DSM_MemFree = MemFree;
    entry->DSM_MemLock = MemLock;
    entry->DSM_MemUnlock = MemUnlock;
}

extern "C" __declspec(dllexport) int __stdcall StandInOwns(TW_HANDLE handle)
{
    // An application may free a block with GlobalFree: a handle the system
    // handed out again since is not the stand-in's.
    return handle != nullptr && FindBlock(handle) >= 0 && GlobalSize(handle) != 0 ? 1 : 0;
}
