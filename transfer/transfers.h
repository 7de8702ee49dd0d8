// DG_IMAGE: image information and layout, and the three transfers.
#pragma once

#include <windows.h>

#include "transfer/pixels.h"
#include "twain/triplet.h"

TW_UINT16 HandleImageInfo(const Triplet& triplet);
TW_UINT16 HandleImageLayout(const Triplet& triplet);
TW_UINT16 HandleImageNativeXfer(const Triplet& triplet);
TW_UINT16 HandleImageMemXfer(const Triplet& triplet);
TW_UINT16 HandleImageFileXfer(const Triplet& triplet);
// The video frame and capture time of the image just transferred.
TW_UINT16 HandleExtImageInfo(const Triplet& triplet);

// The bitmap of one freshly grabbed frame, or nullptr.
HGLOBAL TransferNative();

// Writes the next strip of the current frame (grabbing one when none is
// under way) into the `length` bytes at `buffer`. Answers the bytes written,
// 0 when nothing could be; `remaining` the bytes still to come, `rowOffset`
// the strip's first row, `layout` the frame's as it was grabbed.
TW_UINT32 TransferMemoryStrip(TW_UINT8* buffer, TW_UINT32 length, TW_UINT32& remaining, TW_UINT32& rowOffset,
                              FrameLayout& layout);

// Forgets a frame whose strips were not all delivered.
void EndMemoryTransfer();

// Grabs a frame and saves it under `fileName`.
TW_UINT16 TransferFile(const char* fileName);

// Finishes the multi-page TIFF under way, which then replaces the
// application's file: when the transfers of an enabling end, and before a
// file of another format or name is written.
void EndFileSequence();
// At close: the sequence finished, the encoders let go.
void ReleaseFileWriters();
