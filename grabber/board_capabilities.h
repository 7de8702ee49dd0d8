// The capabilities whose values live in the digitizer: the video adjustments
// of the dialog's data path pages, and the input channel and video format
// as capabilities of this source's own.
#pragma once

#include "twain/twain_types.h"

// The custom capabilities (TWAIN's range for a source's own, documented in
// the user guide with these numbers).
constexpr TW_UINT16 CUSTCAP_CHANNEL = CAP_CUSTOMBASE + 1;      // 0x8001, TWTY_UINT32
constexpr TW_UINT16 CUSTCAP_VIDEOFORMAT = CAP_CUSTOMBASE + 2;  // 0x8002, TWTY_STR32

// Puts the rows into the capability table's routing; once, at load.
void RegisterBoardCapabilities();
