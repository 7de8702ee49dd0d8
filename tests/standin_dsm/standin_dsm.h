// A stand-in for the TWAIN 2.x Data Source Manager, TWAINDSM.DLL: its
// DSM_Entry records what a source sends it, for the tests to read back.
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
