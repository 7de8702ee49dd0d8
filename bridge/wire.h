// The message format between Twain_64.ds, in a 64-bit application, and the
// 32-bit host process that runs Twain_32.ds for it. Both map one section
// holding one BridgeBlock; the 64-bit side writes a request and signals, the
// host calls DS_Entry and writes the answer into the same block and signals
// back. Nothing else crosses but the host's notices, posted to a window of
// the 64-bit side, and image bytes, which lie in a second section both map:
// the host copies a native bitmap into it, the source writes memory strips
// straight into it, and the 64-bit side copies them into the application's
// block or buffer. The section holds the largest frame the board delivers
// several times over, and the source never writes more than a frame, so
// every image crosses there, whatever the application's buffer.
//
// Structures travel in their 32-bit layout, the one the host's DS_Entry
// takes; the few that hold a handle or pointer have a wire form here, the
// rest are the same bytes on both sides. Containers and the setup block of
// DAT_CUSTOMDSDATA travel as their bytes.
// Pure layout and checks: no windows.h, built for both sides.
#pragma once

#include <cstddef>
#include <cstdint>

#include "twain/twain_types.h"

#pragma pack(push, 2)

struct WireCapability {
    uint16_t Cap;
    uint16_t ConType;
    uint32_t hContainer;  // meaningless across processes: the bytes are in Extra
};

struct WireUserInterface {
    uint16_t ShowUI;
    uint16_t ModalUI;
    uint32_t hParent;  // not passed: the dialog has no owner in the application
};

struct WireImageMemXfer {
    uint16_t Compression;
    uint32_t BytesPerRow;
    uint32_t Columns;
    uint32_t Rows;
    uint32_t XOffset;
    uint32_t YOffset;
    uint32_t BytesWritten;
    uint32_t Flags;
    uint32_t Length;
    uint32_t TheMem;
};

struct WireCustomDsData {
    uint32_t InfoLength;
    uint32_t hData;  // what the application passed: one of the three below
};

// The application's block of a setup, as WireCustomDsData's hData says it.
constexpr uint32_t WireNoBlock = 0;
constexpr uint32_t WireBlockBytes = 1;       // a block, its bytes in Extra
constexpr uint32_t WireBlockUnlockable = 2;  // one that cannot be locked: the source gets such a one

#pragma pack(pop)

static_assert(sizeof(WireCustomDsData) == 8);
static_assert(sizeof(WireCapability) == 8);
static_assert(sizeof(WireUserInterface) == 8);
static_assert(sizeof(WireImageMemXfer) == 38);

constexpr uint32_t IdentityBytes = 156;
constexpr uint32_t BridgeHeartbeatPeriod = 250;
constexpr uint32_t BridgeDataRoom = 512;
constexpr uint32_t BridgeExtraRoom = 60 * 1024;

struct BridgeBlock {
    // The hand-off (bridge/handoff.h): each written by one side only.
    uint32_t RequestCount;  // Twain_64.ds: raised once a request is in the block
    uint32_t AnswerCount;   // the host: the request count it answered
    uint32_t HostSleeps;    // the host waits on the request event
    uint32_t CallerSleeps;  // Twain_64.ds waits on the answer event
    // Between two sessions: one of the HostIdle... values below.
    uint32_t IdleState;
    // The request.
    uint32_t DG;
    uint16_t DAT;
    uint16_t MSG;
    uint16_t HasOrigin;   // the application passed an identity (in Origin)
    uint16_t HasData;     // the application passed pData
    // A memory transfer's first strip of a frame: the host has the source
    // write the rest of the frame into the image section behind the strip,
    // and Twain_64.ds hands out the application's next strips from there.
    // Asked only with the trace off: the source's trace would show one
    // strip where the application asked for several.
    uint16_t StageRest;
    uint32_t DataLength;  // bytes of the structure in Data (both ways)
    uint32_t ExtraLength; // bytes of a container in Extra (both ways)
    // The answer.
    uint16_t ReturnCode;
    uint16_t HostCondition;  // not 0: the host itself failed the call with this code
    uint32_t ImageOffset;    // native bitmap or memory strip, in the image section
    uint32_t ImageLength;
    uint32_t StagedOffset;   // the rest of the frame, in the image section
    uint32_t StagedLength;   // 0: nothing staged
    // Counted up by a thread of the host's own every BridgeHeartbeatPeriod
    // ms, from before it serves until it ends, whatever the serving thread
    // does: it stands still only when the host's process does (stopped,
    // suspended, not scheduled).
    uint32_t Heartbeat;
    uint32_t HeartbeatTick;  // the system's tick count at the last beat
    // Set by Twain_64.ds before the host starts: a second section, inherited
    // like the block's, both map for images (native bitmaps, memory strips).
    uint32_t ImageSection;
    uint32_t ImageSectionSize;
    uint8_t Origin[IdentityBytes];
    uint8_t Data[BridgeDataRoom];
    uint8_t Extra[BridgeExtraRoom];
};

// A host outlives MSG_CLOSEDS by HostIdleLife ms, idle and holding nothing
// of the board, and serves the next MSG_OPENDS of its application if one
// comes by then: most applications open the source for every acquisition.
// Which of the two takes the idle host is settled by one exchange of
// IdleState: the host marks itself idle as it answers MSG_CLOSEDS;
// Twain_64.ds claims it for an open, or the host, its time up, leaves.
// Twain_64.ds ending it on purpose (a refused open, its unload) marks it
// leaving too and wakes it.
constexpr uint32_t HostInSession = 0;
constexpr uint32_t HostIdle = 1;
constexpr uint32_t HostClaimed = 2;
constexpr uint32_t HostLeaving = 3;
constexpr uint32_t HostIdleLife = 5000;

// How a structure crosses.
enum class WireKind : uint8_t {
    Bytes,          // the same bytes in both layouts
    Capability,     // WireCapability, the container in Extra
    CustomData,     // WireCustomDsData, the block's bytes in Extra
    UserInterface,  // WireUserInterface
    MemXfer,        // WireImageMemXfer, the strip read out of the host
    NativeXfer,     // nothing; the bitmap read out of the host
    ExtImageInfo,   // the count and the items in the 32-bit layout (WireInfo)
    None,           // no structure (file transfer, anything unknown)
};

struct WireShape {
    uint32_t DG;
    uint16_t DAT;
    WireKind Kind;
    uint32_t Size;  // bytes in Data
};

// An item of extended image information as the 32-bit source lays it out:
// the item held in 4 bytes. At most WireInfoRoom of them cross.
#pragma pack(push, 2)
struct WireInfo {
    uint16_t InfoID;
    uint16_t ItemType;
    uint16_t NumItems;
    uint16_t ReturnCode;
    uint32_t Item;
};
#pragma pack(pop)
static_assert(sizeof(WireInfo) == 12);
constexpr uint32_t WireInfoRoom = (BridgeDataRoom - 4) / sizeof(WireInfo);

// The shape of a triplet's structure; unknown ones cross as None.
WireShape FindWireShape(uint32_t dg, uint16_t dat);

// The host's command line: the channel's inherited handles and where its
// notices go, as numbers (handles and windows keep their low 32 bits across
// the two kinds of process).
struct HostArguments {
    uint32_t Section;
    uint32_t RequestEvent;
    uint32_t AnswerEvent;
    uint32_t Parent;        // the application's process, to end with it
    uint32_t NoticeWindow;  // receives BridgeNoticeMessage
};
constexpr uint32_t BridgeNoticeMessage = 0x8000 + 0x54;  // WM_APP + 'T'; wParam the TWAIN message

// Writes the arguments as text; false if `size` is too small.
bool FormatHostArguments(const HostArguments& arguments, char* text, size_t size);
// Reads what FormatHostArguments wrote; false on anything else.
bool ParseHostArguments(const char* text, HostArguments& arguments);

// The fields of a memory transfer that describe the strip (not its buffer),
// between the structure of either side and the wire.
void StripFieldsToWire(const TW_IMAGEMEMXFER& xfer, WireImageMemXfer& wire);
void StripFieldsFromWire(const WireImageMemXfer& wire, TW_IMAGEMEMXFER& xfer);

// Whether an answer's sizes fit what was asked: the structure's size as
// sent (`sentLength`), a block within Extra and only for a capability or a
// setup.
// A host that answers otherwise is broken, and nothing of its answer is used.
bool AnswerFits(const WireShape& shape, uint32_t sentLength, uint32_t dataLength, uint32_t extraLength);
// Whether a memory strip of `length` bytes fits the application's buffer of
// `room` bytes and is what the structure says was written.
bool StripFits(uint32_t length, uint32_t bytesWritten, uint32_t room);
// Whether a native bitmap of `length` bytes can be taken: at least a bitmap
// header, at most `limit` bytes.
bool BitmapFits(uint32_t length, uint32_t limit);

// The contents, for what an application trusts beyond the sizes:
// a bitmap whose header (its size, colour table and rows) describes no more
// than its `length` bytes;
bool BitmapHeaderFits(const uint8_t* bitmap, uint32_t length);
// a container of kind `conType` whose header's item count and item type
// (at the published TWAIN item sizes) describe no more than its bytes;
bool ContainerFits(uint16_t conType, const uint8_t* container, uint32_t length);
// a setup block of `length` bytes that InfoLength describes no more than;
bool CustomDataFits(const WireCustomDsData& data, uint32_t length);
// an answer that hands the application a block comes with its bytes: a
// capability asked about (every message but MSG_SET) or a setup asked for
// (MSG_GET), answered TWRC_SUCCESS;
bool BlockAnswered(const WireShape& shape, uint16_t msg, uint16_t returnCode, uint32_t extraLength);
// a strip delivered (TWRC_SUCCESS or TWRC_XFERDONE) that holds bytes, whole
// rows of BytesPerRow, and columns within a row (at least a byte a pixel).
bool StripDescribed(const WireImageMemXfer& strip);
