// Container layouts, byte for byte, and the checked readers.
#include <gtest/gtest.h>

#include <vector>

#include "capability/container.h"
#include "rig/app_containers.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(ContainerTest, ItemSizes)
{
    const struct {
        TW_UINT16 type;
        uint32_t size;
    } rows[] = {{TWTY_INT8, 1}, {TWTY_INT16, 2}, {TWTY_INT32, 4}, {TWTY_UINT8, 1}, {TWTY_UINT16, 2},
                {TWTY_UINT32, 4}, {TWTY_BOOL, 2}, {TWTY_FIX32, 4}, {TWTY_FRAME, 0}, {TWTY_STR32, 34},
                {TWTY_STR64, 66}, {TWTY_STR128, 130}, {TWTY_STR255, 256}, {13, 0}, {0xFFFF, 0}};
    for (const auto& row : rows) {
        EXPECT_EQ(ItemSize(row.type), row.size) << "type " << row.type;
    }
}

TEST(ContainerTest, OneValueBlocks)
{
    const TW_UINT16 five = 5;
    HGLOBAL block = MakeOneValue(TWTY_UINT16, &five);
    EXPECT_EQ(BlockBytes(block), (Bytes{0x04, 0x00, 0x05, 0x00, 0x00, 0x00}));
    GlobalFree(block);

    const TW_FIX32 resolution = FloatToFix32(300.0);
    block = MakeOneValue(TWTY_FIX32, &resolution);
    EXPECT_EQ(BlockBytes(block), (Bytes{0x07, 0x00, 0x2C, 0x01, 0x00, 0x00}));
    GlobalFree(block);

    const TW_UINT8 byte = 0x7F;
    block = MakeOneValue(TWTY_UINT8, &byte);
    EXPECT_EQ(BlockBytes(block), (Bytes{0x03, 0x00, 0x7F, 0x00, 0x00, 0x00})) << "rest of Item zero";
    GlobalFree(block);
}

TEST(ContainerTest, EnumerationAndArrayBlocks)
{
    const TW_UINT16 items[] = {0, 1, 2};
    HGLOBAL block = MakeEnumeration(3, 0, 0, TWTY_UINT16, items);
    const Bytes bytes = BlockBytes(block);
    ASSERT_EQ(GlobalSize(block), 22u);
    EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 20),
              (Bytes{0x04, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                     0x00, 0x00, 0x01, 0x00, 0x02, 0x00}));
    GlobalFree(block);

    TW_UINT16 ids[18] = {};
    block = MakeArray(18, TWTY_UINT16, ids);
    EXPECT_EQ(GlobalSize(block), 44u);
    GlobalFree(block);

    // Frames count no bytes: the items are not copied.
    block = MakeEnumeration(4, 1, 2, TWTY_FRAME, nullptr);
    EXPECT_EQ(GlobalSize(block), 16u);
    GlobalFree(block);
}

TEST(ContainerTest, FloatToFix32)
{
    const struct {
        double value;
        TW_INT16 whole;
        TW_UINT16 frac;
    } rows[] = {{0.5, 0, 32768}, {768.0, 768, 0}, {300.0, 300, 0}, {576.0, 576, 0},
                {1.25, 1, 16384}, {0.0, 0, 0}, {32767.0, 32767, 0},
                // The formula's rounding for negative values: -98303 is 0xFFFE8001.
                {-1.5, -2, 0x8001}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.value);
        const TW_FIX32 fix = FloatToFix32(row.value);
        EXPECT_EQ(fix.Whole, row.whole);
        EXPECT_EQ(fix.Frac, row.frac);
    }
}

TEST(ContainerTest, ReadersCopyWhatTheBlockHolds)
{
    HGLOBAL block = GlobalBlock(EnumerationBytes(TWTY_UINT16, 2, {1, 2, 0x1234}, 2, 1));
    ContainerCopy copy;
    ASSERT_TRUE(ReadEnumeration(block, copy));
    EXPECT_EQ(copy.ItemType, TWTY_UINT16);
    EXPECT_EQ(copy.NumItems, 3u);
    EXPECT_EQ(copy.CurrentIndex, 2u);
    EXPECT_EQ(copy.DefaultIndex, 1u);
    ASSERT_EQ(copy.ItemBytes, 6u);
    EXPECT_EQ(copy.Items[4], 0x34);
    EXPECT_EQ(copy.Items[5], 0x12);
    GlobalFree(block);

    block = GlobalBlock(ArrayBytes(TWTY_UINT32, 4, {7, 8}));
    ASSERT_TRUE(ReadArray(block, copy));
    EXPECT_EQ(copy.NumItems, 2u);
    EXPECT_EQ(copy.Items[4], 8);
    GlobalFree(block);

    block = GlobalBlock(OneValueBytes(TWTY_INT16, 0xFFFF));
    ASSERT_TRUE(ReadOneValue(block, copy));
    EXPECT_EQ(copy.ItemType, TWTY_INT16);
    EXPECT_EQ(copy.ItemBytes, 2u);
    GlobalFree(block);
}

TEST(ContainerTest, ReadersRefuseWhatAnApplicationGotWrong)
{
    ContainerCopy copy;
    EXPECT_FALSE(ReadOneValue(nullptr, copy));
    // An enumeration announced on a 6-byte block.
    HGLOBAL block = GlobalBlock(OneValueBytes(TWTY_UINT16, 1));
    EXPECT_FALSE(ReadEnumeration(block, copy));
    EXPECT_FALSE(ReadArray(block, copy)) << "6 bytes cannot hold the announced item count";
    GlobalFree(block);

    // More items announced than the block holds.
    Bytes shortList = ArrayBytes(TWTY_UINT16, 2, {1, 2, 3});
    shortList.resize(shortList.size() - 1);
    block = GlobalBlock(shortList);
    EXPECT_FALSE(ReadArray(block, copy));
    GlobalFree(block);

    // An item count whose bytes overflow 32 bits.
    block = GlobalBlock(EnumerationBytes(TWTY_UINT32, 4, {}, 0, 0));
    {
        auto* bytes = static_cast<uint8_t*>(GlobalLock(block));
        bytes[2] = bytes[3] = bytes[4] = 0xFF;
        bytes[5] = 0x7F;
        GlobalUnlock(block);
    }
    EXPECT_FALSE(ReadEnumeration(block, copy));
    GlobalFree(block);

    // A freed handle does not lock.
    block = GlobalBlock(OneValueBytes(TWTY_UINT16, 1));
    GlobalFree(block);
    EXPECT_FALSE(ReadOneValue(block, copy));
    EXPECT_EQ(copy.Items, nullptr);
}

}  // namespace

// TW_RANGE as TWAIN lays it out: the item type, then Min, Max, Step,
// Default and Current, 4 bytes each, little-endian.
TEST(ContainerTest, RangeLayout)
{
    uint8_t block[RangeBlockSize + 1] = {};
    block[RangeBlockSize] = 0xEE;
    WriteRange(block, TWTY_FIX32, RangeValues{0x0000FC18, 0x000003E8, 0xD7C20007, 0, 0x8000FFFF});
    const uint8_t expected[RangeBlockSize] = {7, 0, 0x18, 0xFC, 0, 0, 0xE8, 3, 0, 0, 7, 0, 0xC2, 0xD7,
                                              0, 0, 0,    0,    0xFF, 0xFF, 0, 0x80};
    EXPECT_EQ(std::vector<uint8_t>(block, block + RangeBlockSize), std::vector<uint8_t>(expected, expected + RangeBlockSize));
    EXPECT_EQ(block[RangeBlockSize], 0xEE) << "nothing written beyond";
}
