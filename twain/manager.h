// The manager a TWAIN 2 application talks through. A 2.x manager hands its
// sources its entry point and memory functions (DAT_ENTRYPOINT / MSG_SET):
// from then on every notice goes through that entry, and every handle the
// application receives comes from that allocator, since the application
// frees it with the manager's functions. Without them (Wine's manager, a
// 1.x manager) the notices take the manager found in the process and the
// handles are movable global blocks, as ever.
#pragma once

#include <windows.h>

#include "twain/triplet.h"

// The connected application opened the source with DF_APP2 among its
// groups: it gets the TWAIN 2 answers. False while none is connected.
extern bool TwainTwoApp;

// The entry points of the last DAT_ENTRYPOINT / MSG_SET; all null while none
// was given.
extern TW_ENTRYPOINT ManagerEntry;

// What the manager's records hold for one session: forgotten at the close.
void ForgetManagerEntry();

// A block about to be handed to the application, in the form it frees:
// without a manager's allocator `block` itself, else a copy of its bytes in
// a block of the manager's, `block` freed. nullptr (and `block` freed) when
// the manager refuses the memory.
HGLOBAL HandToApplication(HGLOBAL block);
