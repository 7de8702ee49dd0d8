// The checks the 64-bit source runs over every answer of its host before
// writing into an application's memory, and the host's command line: a
// broken or hostile host's answer is refused, a true one passes.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <vector>

#include "bridge/wire.h"

namespace {

TEST(Wire, AnswersOutOfBoundsAreRefused)
{
    const WireShape capability = FindWireShape(DG_CONTROL, DAT_CAPABILITY);
    const WireShape info = FindWireShape(DG_IMAGE, DAT_IMAGEINFO);
    const WireShape file = FindWireShape(DG_IMAGE, DAT_IMAGEFILEXFER);
    const WireShape setup = FindWireShape(DG_CONTROL, DAT_CUSTOMDSDATA);
    ASSERT_EQ(capability.Kind, WireKind::Capability);
    ASSERT_EQ(setup.Kind, WireKind::CustomData);
    ASSERT_EQ(info.Size, 42u);
    ASSERT_EQ(file.Kind, WireKind::None);
    struct Row {
        const char* What;
        WireShape Shape;
        uint32_t Sent, Data, Extra;
        bool Fits;
    } rows[] = {
        {"a container within the block", capability, 8, 8, 14 + 4 * 4, true},
        {"a container filling the block", capability, 8, 8, BridgeExtraRoom, true},
        {"a container longer than the block", capability, 8, 8, BridgeExtraRoom + 1, false},
        {"a capability answer of another size", capability, 8, 12, 0, false},
        {"the image information as sent", info, 42, 42, 0, true},
        {"no structure sent, none answered", info, 0, 0, 0, true},
        {"a structure where none was sent", info, 0, 42, 0, false},
        {"a longer image information", info, 42, 200, 0, false},
        {"a container on the image information", info, 42, 42, 6, false},
        {"a structure for a file transfer", file, 0, 4, 0, false},
        {"a setup within the block", setup, 8, 8, 1654, true},
        {"a setup longer than the block", setup, 8, 8, BridgeExtraRoom + 1, false},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(AnswerFits(row.Shape, row.Sent, row.Data, row.Extra), row.Fits) << row.What;
    }
    EXPECT_TRUE(StripFits(4096, 4096, 4096));
    EXPECT_TRUE(StripFits(2304, 2304, 4096));
    EXPECT_FALSE(StripFits(4097, 4097, 4096)) << "past the application's buffer";
    EXPECT_FALSE(StripFits(4096, 2304, 4096)) << "more than the structure says was written";
    EXPECT_FALSE(StripFits(UINT_MAX, UINT_MAX, 4096));
    EXPECT_TRUE(CustomDataFits({1654, 0}, 1654));
    EXPECT_FALSE(CustomDataFits({1655, 0}, 1654)) << "more than the bytes that crossed";
    EXPECT_TRUE(BitmapFits(40 + 4, 1u << 20));
    EXPECT_FALSE(BitmapFits(39, 1u << 20)) << "shorter than a bitmap header";
    EXPECT_FALSE(BitmapFits((1u << 20) + 1, 1u << 20));
    // A block asked for and answered TWRC_SUCCESS has bytes.
    EXPECT_FALSE(BlockAnswered(capability, MSG_GETCURRENT, TWRC_SUCCESS, 0)) << "a capability with no container";
    EXPECT_FALSE(BlockAnswered(setup, MSG_GET, TWRC_SUCCESS, 0)) << "a setup with no block";
    EXPECT_TRUE(BlockAnswered(capability, MSG_GET, TWRC_SUCCESS, 6));
    EXPECT_TRUE(BlockAnswered(capability, MSG_SET, TWRC_SUCCESS, 0)) << "the container was the application's";
    EXPECT_TRUE(BlockAnswered(capability, MSG_RESETALL, TWRC_SUCCESS, 0)) << "no capability named";
    EXPECT_TRUE(BlockAnswered(capability, MSG_GET, TWRC_FAILURE, 0));
    EXPECT_TRUE(BlockAnswered(setup, MSG_SET, TWRC_SUCCESS, 0));
    EXPECT_TRUE(BlockAnswered(info, MSG_GET, TWRC_SUCCESS, 0));
}

// What an application trusts beyond the sizes: a bitmap's header, a
// container's item count, a strip's rows and columns.
TEST(Wire, AnswersWhoseContentsClaimMoreAreRefused)
{
    auto bitmap = [](int32_t width, int32_t height, uint16_t bits, uint32_t bytes) {
        std::vector<uint8_t> dib(bytes);
        const uint32_t header[] = {40, static_cast<uint32_t>(width), static_cast<uint32_t>(height)};
        std::memcpy(dib.data(), header, sizeof header);
        dib[12] = 1;
        std::memcpy(&dib[14], &bits, 2);
        return dib;
    };
    auto list = [](uint16_t itemType, uint32_t count, uint32_t bytes) {
        std::vector<uint8_t> container(bytes);
        std::memcpy(container.data(), &itemType, 2);
        std::memcpy(&container[2], &count, 4);
        return container;
    };
    const uint32_t grey = 40 + 1024 + 768 * 576;
    const struct {
        const char* What;
        std::vector<uint8_t> Bytes;
        uint16_t ConType;  // 0: a bitmap
        bool Fits;
    } rows[] = {
        {"a grey frame", bitmap(768, 576, 8, grey), 0, true},
        {"a grey frame stored top-down", bitmap(768, -576, 8, grey), 0, true},
        {"a colour frame", bitmap(768, 576, 24, 40 + 768 * 576 * 3), 0, true},
        {"a header alone claiming a grey frame", bitmap(768, 576, 8, 40), 0, false},
        {"a grey frame one byte short", bitmap(768, 576, 8, grey - 1), 0, false},
        {"a frame without width", bitmap(0, 576, 8, grey), 0, false},
        {"a one value", list(TWTY_UINT16, 7, 6), TWON_ONEVALUE, true},
        {"an enumeration of three", list(TWTY_UINT16, 3, 14 + 6), TWON_ENUMERATION, true},
        {"an enumeration of three one byte short", list(TWTY_UINT16, 3, 14 + 6 - 1), TWON_ENUMERATION, false},
        {"an array claiming a thousand items in four bytes", list(TWTY_UINT16, 1000, 10), TWON_ARRAY, false},
        {"an array of unknown items", list(0x77, 1, 10), TWON_ARRAY, false},
        {"a container of unknown kind", list(TWTY_UINT16, 1, 10), 9, false},
    };
    for (const auto& row : rows) {
        const auto size = static_cast<uint32_t>(row.Bytes.size());
        EXPECT_EQ(row.ConType == 0 ? BitmapHeaderFits(row.Bytes.data(), size)
                                   : ContainerFits(row.ConType, row.Bytes.data(), size),
                  row.Fits)
            << row.What;
    }
    const WireImageMemXfer strip = {TWCP_NONE, 768, 768, 5, 0, 10, 5 * 768, 0, 4096, 1};
    EXPECT_TRUE(StripDescribed(strip));
    WireImageMemXfer broken = strip;
    broken.BytesPerRow = 0xFFFFFFFF;
    EXPECT_FALSE(StripDescribed(broken)) << "rows longer than the bytes";
    broken = strip;
    broken.XOffset = 0xFFFFFFFF;
    EXPECT_FALSE(StripDescribed(broken)) << "columns outside the row";
    broken = strip;
    broken.BytesWritten = broken.Rows = 0;
    EXPECT_FALSE(StripDescribed(broken)) << "a strip of nothing delivered";
}

TEST(Wire, HostArgumentsRoundTripAndNothingElseParses)
{
    const HostArguments sent = {0x7C, 0x80, 0x84, 0xFFFFFFF0, 0x10052};
    char text[128];
    ASSERT_TRUE(FormatHostArguments(sent, text, sizeof text));
    HostArguments read = {};
    ASSERT_TRUE(ParseHostArguments(text, read));
    EXPECT_EQ(std::memcmp(&read, &sent, sizeof read), 0) << text;
    EXPECT_FALSE(FormatHostArguments(sent, text, 8)) << "cut short";
    for (const char* bad : {"", "124 128 132", "124 128 132 140 5 6", "124 128 132 140 5x", "0 128 132 140 5",
                            "124 128 132 0 5", "-1 128 132 140 5"}) {
        EXPECT_FALSE(ParseHostArguments(bad, read)) << '"' << bad << '"';
    }
}

}  // namespace
