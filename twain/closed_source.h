// What a closed source (state 3: loaded, not open) answers, as one table
// that both sources answer from: Twain_32.ds before MSG_OPENDS and after
// MSG_CLOSEDS, and Twain_64.ds, which has no 32-bit source to ask then.
#pragma once

#include "twain/triplet.h"

// The line every triplet of DG_CONTROL or DG_IMAGE leaves in the debug log
// before it is answered ("Dispatching DG_CONTROL / DAT_3 / MSG_1 ").
void LogDispatch(const Triplet& triplet);

// The answer to a data group other than DG_CONTROL and DG_IMAGE.
TW_UINT16 RefuseDataGroup();

// The refusal of a DAT that no handler serves.
TW_UINT16 RefuseUnknownDat();

// Answers `triplet` as a closed source does and sets `returnCode`; false
// when the triplet is the source's own to serve in state 3 too (the
// identity, opening, status). The dispatch line is the caller's.
bool AnswerClosedSource(const Triplet& triplet, TW_UINT16& returnCode);
