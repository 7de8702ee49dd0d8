// Twain_64.ds's side of the shared block: the application's structures in
// and the host's answers out.
#pragma once

#include <cstdint>

#include "bridge/wire.h"
#include "twain/triplet.h"

extern const char* const BrokenAnswerContext;

// The host's answer as this side uses it: copied out of the shared block
// once, so that what is checked is what is used.
struct Answer {
    uint16_t ReturnCode;
    uint16_t HostCondition;
    uint32_t DataLength;
    uint32_t ExtraLength;
    uint32_t ImageOffset;
    uint32_t ImageLength;
    uint32_t StagedOffset;
    uint32_t StagedLength;
    uint8_t Data[BridgeDataRoom];
    const uint8_t* Extra;  // in the shared block: only its length is relied on
};

// The triplet's head (group, DAT, message, origin) into the block.
void WriteRequest(const Triplet& t, BridgeBlock& block);
void CopyAnswer(const BridgeBlock& block, Answer& answer);
// Puts the application's structure into the block. 0 done; 1 refused
// (reported).
int WriteStructure(const Triplet& t, const WireShape& shape, BridgeBlock& block);
// Writes the host's answer (a copy, checked) into the application's
// structure. 0 done; 1 refused (reported).
int ReadStructure(const Triplet& t, const WireShape& shape, const Answer& answer, TW_UINT16 returnCode);

// A strip of the frame the host staged in the image section (with its first
// strip), answered here as the 32-bit source answers a strip of a frame
// under way: 1 answered (`returnCode`), 0 nothing staged (the strip goes to
// the host).
int ServeStagedStrip(const Triplet& t, TW_UINT16& returnCode);
// The staged frame is no more: the transfer ended, the source closed, the
// host gone.
void ForgetStagedFrame();
