// The shapes of the triplets the 32-bit source answers, and the checks the
// 64-bit side runs over everything the host writes.
#include "bridge/wire.h"

#include <cinttypes>
#include <cstdio>

namespace {

constexpr uint32_t Control = 0x0001;
constexpr uint32_t Image = 0x0002;

const WireShape Shapes[] = {
    {Control, 0x0001, WireKind::Capability, sizeof(WireCapability)},        // DAT_CAPABILITY
    {Control, 0x0003, WireKind::Bytes, IdentityBytes},                      // DAT_IDENTITY
    {Control, 0x0005, WireKind::Bytes, 6},                                  // DAT_PENDINGXFERS
    {Control, 0x0006, WireKind::Bytes, 12},                                 // DAT_SETUPMEMXFER
    {Control, 0x0007, WireKind::Bytes, 260},                                // DAT_SETUPFILEXFER
    {Control, 0x0008, WireKind::Bytes, 4},                                  // DAT_STATUS
    {Control, 0x0009, WireKind::UserInterface, sizeof(WireUserInterface)},  // DAT_USERINTERFACE
    {Control, 0x000A, WireKind::Bytes, 4},                                  // DAT_XFERGROUP
    {Image, 0x0101, WireKind::Bytes, 42},                                   // DAT_IMAGEINFO
    {Image, 0x0102, WireKind::Bytes, 28},                                   // DAT_IMAGELAYOUT
    {Image, 0x0103, WireKind::MemXfer, sizeof(WireImageMemXfer)},           // DAT_IMAGEMEMXFER
    {Image, 0x0104, WireKind::NativeXfer, 0},                               // DAT_IMAGENATIVEXFER
};

constexpr uint32_t BitmapHeaderBytes = 40;

}  // namespace

WireShape FindWireShape(uint32_t dg, uint16_t dat)
{
    for (const WireShape& shape : Shapes) {
        if (shape.DG == dg && shape.DAT == dat) {
            return shape;
        }
    }
    return {dg, dat, WireKind::None, 0};
}

bool FormatHostArguments(const HostArguments& a, char* text, size_t size)
{
    const int written = std::snprintf(text, size, "%" PRIu32 " %" PRIu32 " %" PRIu32 " %" PRIu32 " %" PRIu32,
                                      a.Section, a.RequestEvent, a.AnswerEvent, a.Parent, a.NoticeWindow);
    return written > 0 && static_cast<size_t>(written) < size;
}

bool ParseHostArguments(const char* text, HostArguments& a)
{
    // Unsigned conversions would take a sign and wrap a negative number.
    for (const char* c = text; *c != '\0'; ++c) {
        if ((*c < '0' || *c > '9') && *c != ' ') {
            return false;
        }
    }
    int consumed = 0;
    if (std::sscanf(text, "%" SCNu32 " %" SCNu32 " %" SCNu32 " %" SCNu32 " %" SCNu32 "%n", &a.Section, &a.RequestEvent, &a.AnswerEvent, &a.Parent, &a.NoticeWindow,
                    &consumed) != 5) {
        return false;
    }
    return text[consumed] == '\0' && a.Section != 0 && a.RequestEvent != 0 && a.AnswerEvent != 0 &&
           a.Parent != 0;
}

bool AnswerFits(const WireShape& shape, uint32_t sentLength, uint32_t dataLength, uint32_t extraLength)
{
    if (extraLength > BridgeExtraRoom || (extraLength != 0 && shape.Kind != WireKind::Capability)) {
        return false;
    }
    return dataLength == sentLength && dataLength <= shape.Size;
}

void StripFieldsToWire(const TW_IMAGEMEMXFER& xfer, WireImageMemXfer& wire)
{
    wire.Compression = xfer.Compression;
    wire.BytesPerRow = xfer.BytesPerRow;
    wire.Columns = xfer.Columns;
    wire.Rows = xfer.Rows;
    wire.XOffset = xfer.XOffset;
    wire.YOffset = xfer.YOffset;
    wire.BytesWritten = xfer.BytesWritten;
}

void StripFieldsFromWire(const WireImageMemXfer& wire, TW_IMAGEMEMXFER& xfer)
{
    xfer.Compression = wire.Compression;
    xfer.BytesPerRow = wire.BytesPerRow;
    xfer.Columns = wire.Columns;
    xfer.Rows = wire.Rows;
    xfer.XOffset = wire.XOffset;
    xfer.YOffset = wire.YOffset;
    xfer.BytesWritten = wire.BytesWritten;
}

bool StripFits(uint32_t length, uint32_t bytesWritten, uint32_t room)
{
    return length == bytesWritten && length <= room;
}

bool BitmapFits(uint32_t length, uint32_t limit)
{
    return length >= BitmapHeaderBytes && length <= limit;
}
