// The dispatch tables: which handler answers which DAT of each data group.
#pragma once

#include "twain/triplet.h"

extern const DispatchEntry ControlDispatchTable[];
extern const DispatchEntry ImageDispatchTable[];

// Tells the capabilities which pairs the tables answer (CAP_SUPPORTEDDATS);
// once, at load.
void RegisterSupportedDats();

TW_UINT16 Dispatch(const Triplet& triplet, const DispatchEntry* table, TW_UINT16 DAT);
