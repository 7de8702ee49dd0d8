// What every handler receives: the triplet as DS_Entry got it.
#pragma once

#include "twain/twain_types.h"

struct Triplet {
    pTW_IDENTITY pOrigin;
    TW_UINT32 DG;
    TW_UINT16 DAT;
    TW_UINT16 MSG;
    TW_MEMREF pData;
};

typedef TW_UINT16 (*TripletHandler)(const Triplet& triplet);

// One row of a dispatch table; a table ends with a row without handler.
struct DispatchEntry {
    TW_UINT32 DAT;  // only the low 16 bits are compared
    TripletHandler Handler;
};
