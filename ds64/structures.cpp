// The application's structures into the shared block in the 32-bit layout,
// and the host's answers back into them, checked before anything of them is
// used: sizes, counts and the images' own headers.
#include "ds64/structures.h"

#include <cstring>

#include "ds64/host_link.h"
#include "twain/condition.h"
#include "twain/debug_log.h"
#include "twain/manager.h"

const char* const BrokenAnswerContext = "The 32-bit host answered out of bounds.  ";

namespace {

// Larger than any frame the board delivers, far below what a broken host
// could make an application allocate.
constexpr uint32_t BitmapLimit = 256u << 20;

// The bytes a strip may take from the application's buffer: a buffer given
// as a handle is bounded by its block's size, whatever Length claims.
uint32_t StripRoom(const TW_IMAGEMEMXFER& xfer)
{
    if ((xfer.Memory.Flags & TWMF_HANDLE) == 0 || xfer.Memory.TheMem == nullptr) {
        return xfer.Memory.Length;
    }
    const SIZE_T size = GlobalSize(xfer.Memory.TheMem);
    return size < xfer.Memory.Length ? static_cast<uint32_t>(size) : xfer.Memory.Length;
}

// The bytes of an application's block into Extra: a container holds a few
// values and a setup a few kB; what lies beyond the room (an application's
// generous allocation) is no part of them. 0 done; 1 the block cannot be
// locked.
int BlockToExtra(HGLOBAL handle, BridgeBlock& block)
{
    const SIZE_T whole = GlobalSize(handle);
    const SIZE_T size = whole < BridgeExtraRoom ? whole : BridgeExtraRoom;
    const void* bytes = GlobalLock(handle);
    if (bytes == nullptr) {
        return 1;
    }
    std::memcpy(block.Extra, bytes, size);
    GlobalUnlock(handle);
    block.ExtraLength = static_cast<uint32_t>(size);
    return 0;
}

const char* const CapabilityContext = "General failure in response to DAT_CAPABILITY.  ";
const char* const MemoryContext = "General failure in response to DAT_IMAGEMEMXFER.  ";

// The rest of a frame the host staged in the image section behind its first
// strip, handed out here strip by strip.
struct StagedFrame {
    bool Active = false;
    uint32_t Offset = 0;     // the next strip's first byte, in the section
    uint32_t Remaining = 0;  // bytes of the frame not handed out
    uint32_t BytesPerRow = 0;
    uint32_t Columns = 0;
    uint32_t XOffset = 0;
    uint16_t Compression = 0;
    uint32_t NextRow = 0;
};
StagedFrame Staged;

// Whether a staged rest fits the strip it follows: whole rows, in the
// section, behind the strip.
bool StagedFits(const WireImageMemXfer& strip, const Answer& answer)
{
    return answer.StagedLength % strip.BytesPerRow == 0 && answer.StagedOffset >= answer.ImageLength &&
           InImageSection(answer.StagedOffset, answer.StagedLength);
}
const char* const CustomDataContext = "General failure in response to DAT_CUSTOMDSDATA.  ";
const char* const ExtImageInfoContext = "General failure in response to DAT_EXTIMAGEINFO.  ";

// The strip the source wrote into the host's buffer, into the application's
// buffer (`xfer` as the application passed it, `bytesWritten` as the
// answer says).
int TakeStrip(const TW_IMAGEMEMXFER& xfer, uint32_t bytesWritten, const Answer& answer)
{
    if (!StripFits(answer.ImageLength, bytesWritten, StripRoom(xfer))) {
        ReportCondition(BrokenAnswerContext, TWCC_BUMMER);
        return 1;
    }
    const bool isHandle = (xfer.Memory.Flags & TWMF_HANDLE) != 0;
    void* to = isHandle ? GlobalLock(xfer.Memory.TheMem) : xfer.Memory.TheMem;
    if (to == nullptr) {
        ReportCondition(BrokenAnswerContext, TWCC_BADVALUE);
        return 1;
    }
    const int failed = ReadHostImage(answer.ImageOffset, to, answer.ImageLength);
    if (isHandle) {
        GlobalUnlock(xfer.Memory.TheMem);
    }
    if (failed) {
        ReportCondition(BrokenAnswerContext, TWCC_BUMMER);
    }
    return failed;
}

// A new movable block for the application, locked at `bytes`; none (and
// reported with `context`) when memory is out.
HGLOBAL NewLockedBlock(UINT flags, uint32_t size, void*& bytes, const char* context)
{
    HGLOBAL block = GlobalAlloc(flags, size);
    bytes = block != nullptr ? GlobalLock(block) : nullptr;
    if (bytes == nullptr) {
        if (block != nullptr) {
            GlobalFree(block);
        }
        ReportCondition(context, TWCC_LOWMEMORY);
        return nullptr;
    }
    return block;
}

// The bitmap the source handed the host, as a new block of the application.
int TakeBitmap(const Answer& answer, TW_HANDLE& bitmap)
{
    if (!BitmapFits(answer.ImageLength, BitmapLimit)) {
        ReportCondition(BrokenAnswerContext, TWCC_BUMMER);
        return 1;
    }
    void* to = nullptr;
    HGLOBAL block = NewLockedBlock(GMEM_MOVEABLE, answer.ImageLength, to,
                                   "General failure in response to DAT_IMAGENATIVEXFER.  ");
    if (block == nullptr) {
        return 1;
    }
    // An application reads as much as the header says.
    const int failed = ReadHostImage(answer.ImageOffset, to, answer.ImageLength) ||
                       !BitmapHeaderFits(static_cast<const uint8_t*>(to), answer.ImageLength);
    GlobalUnlock(block);
    if (failed) {
        GlobalFree(block);
        ReportCondition(BrokenAnswerContext, TWCC_BUMMER);
        return 1;
    }
    bitmap = HandToApplication(block);
    if (bitmap == nullptr) {
        ReportCondition("General failure in response to DAT_IMAGENATIVEXFER.  ", TWCC_LOWMEMORY);
        return 1;
    }
    return 0;
}

}  // namespace

void WriteRequest(const Triplet& t, BridgeBlock& block)
{
    block.DG = t.DG;
    block.DAT = t.DAT;
    block.MSG = t.MSG;
    block.HasOrigin = t.pOrigin != nullptr;
    block.HasData = t.pData != nullptr;
    block.StageRest = 0;
    block.DataLength = 0;
    block.ExtraLength = 0;
    if (t.pOrigin != nullptr) {
        std::memcpy(block.Origin, t.pOrigin, IdentityBytes);
    }
}

void CopyAnswer(const BridgeBlock& block, Answer& answer)
{
    answer.ReturnCode = block.ReturnCode;
    answer.HostCondition = block.HostCondition;
    answer.DataLength = block.DataLength;
    answer.ExtraLength = block.ExtraLength;
    answer.ImageOffset = block.ImageOffset;
    answer.ImageLength = block.ImageLength;
    answer.StagedOffset = block.StagedOffset;
    answer.StagedLength = block.StagedLength;
    std::memcpy(answer.Data, block.Data, sizeof answer.Data);
    answer.Extra = block.Extra;
}

// Puts the application's structure into the block. 0 done; 1 refused
// (reported).
int WriteStructure(const Triplet& t, const WireShape& shape, BridgeBlock& block)
{
    if (t.pData == nullptr || shape.Kind == WireKind::None || shape.Kind == WireKind::NativeXfer) {
        return 0;
    }
    block.DataLength = shape.Size;
    switch (shape.Kind) {
    case WireKind::Capability: {
        const auto* cap = static_cast<const TW_CAPABILITY*>(t.pData);
        const WireCapability wire = {cap->Cap, cap->ConType, 0};
        std::memcpy(block.Data, &wire, sizeof wire);
        if (t.MSG != MSG_SET || cap->hContainer == nullptr || BlockToExtra(cap->hContainer, block) == 0) {
            return 0;
        }
        ReportCondition(CapabilityContext, TWCC_BADVALUE);
        return 1;
    }
    case WireKind::CustomData: {
        // A block that cannot be locked is the source's to judge, after the
        // state it is in: the host hands it such a one.
        const auto* data = static_cast<const TW_CUSTOMDSDATA*>(t.pData);
        WireCustomDsData wire = {data->InfoLength, data->hData != nullptr ? WireBlockBytes : WireNoBlock};
        if (t.MSG == MSG_SET && data->hData != nullptr && BlockToExtra(data->hData, block)) {
            wire.hData = WireBlockUnlockable;
        }
        std::memcpy(block.Data, &wire, sizeof wire);
        return 0;
    }
    case WireKind::UserInterface: {
        const auto* ui = static_cast<const TW_USERINTERFACE*>(t.pData);
        const WireUserInterface wire = {ui->ShowUI, ui->ModalUI, 0};
        std::memcpy(block.Data, &wire, sizeof wire);
        return 0;
    }
    case WireKind::MemXfer: {
        const auto* xfer = static_cast<const TW_IMAGEMEMXFER*>(t.pData);
        WireImageMemXfer wire = {};
        StripFieldsToWire(*xfer, wire);
        wire.Flags = xfer->Memory.Flags;
        wire.Length = StripRoom(*xfer);
        wire.TheMem = xfer->Memory.TheMem != nullptr ? 1u : 0u;
        std::memcpy(block.Data, &wire, sizeof wire);
        block.StageRest = DebugLog::On() ? 0 : 1;
        return 0;
    }
    case WireKind::ExtImageInfo: {
        const auto* info = static_cast<const TW_EXTIMAGEINFO*>(t.pData);
        if (info->NumInfos > WireInfoRoom) {
            ReportCondition(ExtImageInfoContext, TWCC_BADVALUE);
            return 1;
        }
        std::memcpy(block.Data, &info->NumInfos, 4);
        for (TW_UINT32 i = 0; i < info->NumInfos; ++i) {
            const TW_INFO& item = info->Info[i];
            const WireInfo wire = {item.InfoID, item.ItemType, item.NumItems, item.ReturnCode,
                                   static_cast<uint32_t>(item.Item)};
            std::memcpy(block.Data + 4 + i * sizeof wire, &wire, sizeof wire);
        }
        block.DataLength = 4 + info->NumInfos * sizeof(WireInfo);
        return 0;
    }
    default:
        std::memcpy(block.Data, t.pData, shape.Size);
        return 0;
    }
}

// Writes the host's answer (a copy, checked) into the application's
// structure. 0 done; 1 refused (reported).
int ReadStructure(const Triplet& t, const WireShape& shape, const Answer& answer, TW_UINT16 returnCode)
{
    if (t.pData == nullptr) {
        return 0;
    }
    if (!BlockAnswered(shape, t.MSG, returnCode, answer.ExtraLength)) {
        ReportCondition(BrokenAnswerContext, TWCC_BUMMER);
        return 1;
    }
    switch (shape.Kind) {
    case WireKind::None:
        return 0;
    case WireKind::NativeXfer:
        return returnCode == TWRC_XFERDONE ? TakeBitmap(answer, *static_cast<TW_HANDLE*>(t.pData)) : 0;
    case WireKind::Capability: {
        auto* cap = static_cast<TW_CAPABILITY*>(t.pData);
        WireCapability wire = {};
        std::memcpy(&wire, answer.Data, sizeof wire);
        HGLOBAL container = nullptr;
        if (answer.ExtraLength != 0) {
            void* to = nullptr;
            container = NewLockedBlock(GHND, answer.ExtraLength, to, CapabilityContext);
            if (container == nullptr) {
                return 1;
            }
            std::memcpy(to, answer.Extra, answer.ExtraLength);
            const bool fits = ContainerFits(wire.ConType, static_cast<const uint8_t*>(to), answer.ExtraLength);
            GlobalUnlock(container);
            if (!fits) {
                GlobalFree(container);
                ReportCondition(BrokenAnswerContext, TWCC_BUMMER);
                return 1;
            }
            // The application frees it as its manager allocates.
            container = HandToApplication(container);
            if (container == nullptr) {
                ReportCondition(CapabilityContext, TWCC_LOWMEMORY);
                return 1;
            }
        }
        // Checked: the structure takes the answer whole.
        cap->Cap = wire.Cap;
        cap->ConType = wire.ConType;
        if (container != nullptr) {
            cap->hContainer = container;
        }
        return 0;
    }
    case WireKind::CustomData: {
        // The setup the source made for the application: its bytes, as a
        // block of the application's.
        auto* data = static_cast<TW_CUSTOMDSDATA*>(t.pData);
        WireCustomDsData wire = {};
        std::memcpy(&wire, answer.Data, sizeof wire);
        if (t.MSG != MSG_GET || answer.ExtraLength == 0) {
            return 0;
        }
        if (!CustomDataFits(wire, answer.ExtraLength)) {
            ReportCondition(BrokenAnswerContext, TWCC_BUMMER);
            return 1;
        }
        void* to = nullptr;
        HGLOBAL block = NewLockedBlock(GMEM_MOVEABLE, answer.ExtraLength, to, CustomDataContext);
        if (block == nullptr) {
            return 1;
        }
        std::memcpy(to, answer.Extra, answer.ExtraLength);
        GlobalUnlock(block);
        block = HandToApplication(block);
        if (block == nullptr) {
            ReportCondition(CustomDataContext, TWCC_LOWMEMORY);
            return 1;
        }
        data->InfoLength = wire.InfoLength;
        data->hData = block;
        return 0;
    }
    case WireKind::UserInterface: {
        auto* ui = static_cast<TW_USERINTERFACE*>(t.pData);
        WireUserInterface wire = {};
        std::memcpy(&wire, answer.Data, sizeof wire);
        ui->ShowUI = wire.ShowUI;
        ui->ModalUI = wire.ModalUI;
        return 0;
    }
    case WireKind::MemXfer: {
        auto* xfer = static_cast<TW_IMAGEMEMXFER*>(t.pData);
        WireImageMemXfer wire = {};
        std::memcpy(&wire, answer.Data, sizeof wire);
        const bool delivered = returnCode == TWRC_SUCCESS || returnCode == TWRC_XFERDONE;
        const bool staged = returnCode == TWRC_SUCCESS && answer.StagedLength != 0;
        if ((delivered && !StripDescribed(wire)) || (staged && !StagedFits(wire, answer))) {
            ReportCondition(BrokenAnswerContext, TWCC_BUMMER);
            return 1;
        }
        // The fields last: a strip refused leaves the structure as it was.
        if (delivered && TakeStrip(*xfer, wire.BytesWritten, answer)) {
            return 1;
        }
        StripFieldsFromWire(wire, *xfer);
        if (staged) {
            Staged = {true, answer.StagedOffset, answer.StagedLength, wire.BytesPerRow, wire.Columns, wire.XOffset,
                      wire.Compression, wire.YOffset + wire.Rows};
        }
        return 0;
    }
    case WireKind::ExtImageInfo: {
        // Every item this source answers is held in Item itself.
        auto* info = static_cast<TW_EXTIMAGEINFO*>(t.pData);
        for (TW_UINT32 i = 0; i < info->NumInfos && i < WireInfoRoom; ++i) {
            WireInfo wire = {};
            std::memcpy(&wire, answer.Data + 4 + i * sizeof wire, sizeof wire);
            TW_INFO& item = info->Info[i];
            item.InfoID = wire.InfoID;
            item.ItemType = wire.ItemType;
            item.NumItems = wire.NumItems;
            item.ReturnCode = wire.ReturnCode;
            item.Item = wire.Item;
        }
        return 0;
    }
    default:
        std::memcpy(t.pData, answer.Data, shape.Size);
        return 0;
    }
}

// As the 32-bit source's strip handler answers in state 7 with a frame under
// way: no structure or no buffer is a bad value; a buffer without room for a
// row takes nothing and the frame waits for a larger one; else as many whole
// rows as fit, or the rest of the frame.
int ServeStagedStrip(const Triplet& t, TW_UINT16& returnCode)
{
    if (!Staged.Active) {
        return 0;
    }
    if (!HostRunning()) {
        ForgetStagedFrame();
        return 0;
    }
    auto* xfer = static_cast<TW_IMAGEMEMXFER*>(t.pData);
    if (xfer == nullptr || xfer->Memory.TheMem == nullptr) {
        returnCode = FailWith(MemoryContext, TWCC_BADVALUE);
        return 1;
    }
    const bool isHandle = (xfer->Memory.Flags & TWMF_HANDLE) != 0;
    void* to = isHandle ? GlobalLock(xfer->Memory.TheMem) : xfer->Memory.TheMem;
    if (to == nullptr) {
        returnCode = FailWith(MemoryContext, TWCC_BADVALUE);
        return 1;
    }
    const uint32_t room = StripRoom(*xfer);
    const uint32_t row = Staged.BytesPerRow;
    const uint32_t n = room < row ? 0 : room < Staged.Remaining ? room / row * row : Staged.Remaining;
    const int failed = n != 0 && ReadHostImage(Staged.Offset, to, n);
    if (isHandle) {
        GlobalUnlock(xfer->Memory.TheMem);
    }
    if (failed) {
        ForgetStagedFrame();
        returnCode = FailWith(BrokenAnswerContext, TWCC_BUMMER);
        return 1;
    }
    xfer->BytesPerRow = row;
    xfer->BytesWritten = n;
    if (n == 0) {
        returnCode = FailWith(MemoryContext, TWCC_OPERATIONERROR);
        return 1;
    }
    xfer->Rows = n / row;
    xfer->Columns = Staged.Columns;
    xfer->XOffset = Staged.XOffset;
    xfer->YOffset = Staged.NextRow;
    xfer->Compression = Staged.Compression;
    Staged.Offset += n;
    Staged.Remaining -= n;
    Staged.NextRow += n / row;
    returnCode = Staged.Remaining != 0 ? TWRC_SUCCESS : TWRC_XFERDONE;
    if (Staged.Remaining == 0) {
        ForgetStagedFrame();
    }
    return 1;
}

void ForgetStagedFrame()
{
    Staged = {};
}
