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

// The file the next file transfer writes (set by DAT_SETUPFILEXFER).
extern char TransferFileName[256];

// The default transfer file (an empty "TWN" file in the user's temporary
// folder, made once a session) becomes the transfer file. False when none
// can be created.
bool UseDefaultTransferFile();

// At close: the default file goes if no image went into it; no name is kept.
void ForgetTransferFiles();
