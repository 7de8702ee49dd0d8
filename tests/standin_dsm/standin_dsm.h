// A stand-in for the TWAIN 2.x Data Source Manager, TWAINDSM.DLL: its
// DSM_Entry records what a source sends it, for the tests to read back, and
// its memory functions (handed to a source as a 2.x manager hands them by
// DAT_ENTRYPOINT) keep a list of the blocks they allocated.
#pragma once

#include "twain/twain_types.h"

struct StandInNotice {
    TW_UINT32 OriginId;
    char OriginName[34];
    TW_UINT32 DestinationId;
    char DestinationName[34];
    TW_UINT32 DG;
    TW_UINT16 DAT;
    TW_UINT16 MSG;
    TW_UINT32 ThreadId;  // the thread that called
};

// Copies up to `room` notices received so far into `notices`; answers how
// many were received in all.
typedef int(__stdcall* StandInNoticesProc)(StandInNotice* notices, int room);

// Has `hook` called (or none, for nullptr) on the sending thread at every
// notice, while the source that sends it is still inside its call.
typedef void(__stdcall* StandInHook)(const StandInNotice* notice);
typedef void(__stdcall* StandInOnNoticeProc)(StandInHook hook);

// Fills `entry` as the manager's DAT_ENTRYPOINT / MSG_SET does: its DSM_Entry
// and its four memory functions.
typedef void(__stdcall* StandInEntryPointProc)(TW_ENTRYPOINT* entry);

// 1 when `handle` came from the stand-in's allocator and was not freed by it.
typedef int(__stdcall* StandInOwnsProc)(TW_HANDLE handle);
