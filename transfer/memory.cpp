// DAT_IMAGEMEMXFER: one frame in strips of whole rows, one strip a call, into
// buffers the application allocates.
#include "capability/container.h"
#include "grabber/capture.h"
#include "grabber/startup.h"
#include "grabber/timed_capture.h"
#include "transfer/transfers.h"
#include "twain/condition.h"
#include "twain/debug_log.h"
#include "twain/source.h"

namespace {

// Bytes of the current frame's sample stream not yet delivered (0: no frame
// under way), and the image's row the next strip begins with.
TW_UINT32 StripRemaining = 0;
TW_UINT32 StripRow = 0;
// The frame under way keeps the layout it was grabbed with: its strips
// carry one image, and a strip costs no capability look-up. A frame of
// another geometry belongs to a buffer that is gone.
FrameLayout StripLayout;
// The thread the frame under way is delivered to: strips handed out to two
// callers in turn would leave each with part of one image, reported whole.
// A thread whose frame another thread ended (closing the source, ending a
// transfer) is told so once, instead of being handed a new frame as if it
// continued the old one.
DWORD StripThread = 0;
DWORD StripLostThread = 0;

// Whether the frame under way still lies in the buffer as it was grabbed.
bool SameBuffer(const FrameLayout& grabbed, const FrameLayout& now)
{
    return FrameColumns(grabbed) == FrameColumns(now) && FrameRows(grabbed) == FrameRows(now) &&
           grabbed.BandCount == now.BandCount &&
           grabbed.FourBytePixels == now.FourBytePixels && grabbed.BgrOrder == now.BgrOrder;
}

const char* const MemoryContext = "General failure in response to DAT_IMAGEMEMXFER.  ";

}  // namespace

void EndMemoryTransfer()
{
    if (StripRemaining != 0 && StripThread != GetCurrentThreadId()) {
        StripLostThread = StripThread;
    }
    StripRemaining = 0;
    StripRow = 0;
}

TW_UINT32 TransferMemoryStrip(TW_UINT8* buffer, TW_UINT32 length, TW_UINT32& remaining, TW_UINT32& rowOffset,
                              FrameLayout& layout)
{
    DebugLog log;
    log.Write("Talvenix TWAIN DS: transfer mode: memory transfer\n");
    remaining = StripRemaining;
    rowOffset = 0;
    if (MilInfo.HostAddress == nullptr) {
        return 0;
    }
    const bool underWay = StripRemaining != 0 && SameBuffer(StripLayout, CurrentFrameGeometry());
    layout = underWay ? StripLayout : CurrentFrameLayout();
    const auto row = static_cast<TW_UINT32>(StreamRowBytes(layout));
    if (row == 0) {
        return 0;
    }
    if (!underWay) {
        if (TakeNextImage() != 0) {
            return 0;
        }
        StripLayout = layout;
        StripThread = GetCurrentThreadId();
        StripRemaining = layout.Height * row;
        StripRow = 0;
    }
    // A buffer without room for a row takes nothing; the frame waits for a
    // larger one.
    if (length < row) {
        return 0;
    }
    TW_UINT32 n = 0;
    if (length < StripRemaining) {
        log.Write("Talvenix TWAIN DS: transfering another slice \n");
        n = length / row * row;
    } else {
        log.Write("Talvenix TWAIN DS: transfering final slice \n");
        n = StripRemaining;
    }
    StripRemaining -= n;
    ConvertSampleStream(static_cast<const TW_UINT8*>(MilInfo.HostAddress), StripRow, buffer, n, layout);
    rowOffset = StripRow;
    StripRow += n / row;
    remaining = StripRemaining;
    return n;
}

TW_UINT16 HandleImageMemXfer(const Triplet& triplet)
{
    if (triplet.MSG != MSG_GET) {
        return FailWith(MemoryContext, TWCC_BADPROTOCOL);
    }
    // A strip is a transfer: the first of a frame comes in state 6, the
    // rest of that frame in state 7 and nothing else there. A strip
    // anywhere else would grab a frame whose first rows the application
    // never sees, or finish another transfer's frame with a new grab.
    if (SourceState == 600) {
        // Only a frame grabbed for a buffer too small for a row, which has
        // given nothing yet, goes on in state 6; anything else starts afresh.
        if (StripRow != 0) {
            EndMemoryTransfer();
        }
    } else if (SourceState != 700 || StripRemaining == 0) {
        return FailWith(MemoryContext, TWCC_SEQERROR);
    }
    auto* xfer = static_cast<TW_IMAGEMEMXFER*>(triplet.pData);
    if (xfer == nullptr || xfer->Memory.TheMem == nullptr) {
        return FailWith(MemoryContext, TWCC_BADVALUE);
    }
    const DWORD thread = GetCurrentThreadId();
    if (StripLostThread == thread) {
        StripLostThread = 0;
        return FailWith(MemoryContext, TWCC_SEQERROR);
    }
    if (StripRemaining != 0 && StripThread != thread) {
        return FailWith(MemoryContext, TWCC_SEQERROR);
    }
    if (MilInfo.MilImage == 0) {
        return FailWith(MemoryContext, TWCC_LOWMEMORY);
    }
    // A buffer given as a handle is locked for the strip; its block size
    // bounds what is written, whatever Length claims.
    TW_UINT8* buffer = static_cast<TW_UINT8*>(xfer->Memory.TheMem);
    TW_UINT32 length = xfer->Memory.Length;
    HGLOBAL handle = nullptr;
    if ((xfer->Memory.Flags & TWMF_HANDLE) != 0) {
        handle = static_cast<HGLOBAL>(xfer->Memory.TheMem);
        buffer = static_cast<TW_UINT8*>(GlobalLock(handle));
        if (buffer == nullptr) {
            return FailWith(MemoryContext, TWCC_BADVALUE);
        }
        const SIZE_T size = GlobalSize(handle);
        if (size < length) {
            length = static_cast<TW_UINT32>(size);
        }
    }
    TW_UINT32 remaining = 0;
    TW_UINT32 rowOffset = 0;
    FrameLayout layout;
    const TW_UINT32 written = TransferMemoryStrip(buffer, length, remaining, rowOffset, layout);
    xfer->BytesPerRow = static_cast<TW_UINT32>(StreamRowBytes(layout));
    if (handle != nullptr) {
        GlobalUnlock(handle);
    }
    xfer->BytesWritten = written;
    if (written == 0) {
        return FailWith(MemoryContext, TWCC_OPERATIONERROR);
    }
    xfer->Rows = written / xfer->BytesPerRow;
    xfer->Columns = layout.Width;
    xfer->XOffset = 0;
    xfer->YOffset = rowOffset;
    xfer->Compression = TWCP_NONE;
    SourceState = 700;
    return remaining != 0 ? TWRC_SUCCESS : TWRC_XFERDONE;
}
