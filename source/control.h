// The DG_CONTROL operations other than capabilities and status.
#pragma once

#include "twain/triplet.h"

TW_UINT16 HandleIdentity(const Triplet& triplet);
TW_UINT16 HandleUserInterface(const Triplet& triplet);
TW_UINT16 HandlePendingXfers(const Triplet& triplet);
TW_UINT16 HandleSetupMemXfer(const Triplet& triplet);
TW_UINT16 HandleSetupFileXfer(const Triplet& triplet);
TW_UINT16 HandleXferGroup(const Triplet& triplet);
TW_UINT16 HandleEvent(const Triplet& triplet);
TW_UINT16 HandleCustomDsData(const Triplet& triplet);

// CAP_XFERCOUNT as the application negotiated it.
TW_INT16 NegotiatedTransferCount();

// The schedule of automatic capture ends: its thread stops, and the images
// still held are dropped, unless the source is `disabling` with
// CAP_CLEARBUFFERS set to TWCB_NOCLEAR (the next enabling delivers them).
void EndAutomaticCapture(bool disabling);
