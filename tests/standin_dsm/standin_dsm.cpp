#include "tests/standin_dsm/standin_dsm.h"

#include <windows.h>

#include <cstring>

namespace {

constexpr int Room = 64;
StandInNotice Received[Room];
int Count = 0;
StandInHook Hook = nullptr;

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
