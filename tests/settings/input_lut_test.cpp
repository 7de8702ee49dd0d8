// The input look-up table: curves, the stored form, and the ramps the
// digitizer's table is drawn with.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "settings/input_lut.h"
#include "settings/lut_form.h"
#include "settings/source_settings.h"

namespace {

using Bytes = std::vector<uint8_t>;
const Bytes Identity = {0, 0, 128, 128, 255, 255};

Bytes Nodes(const InputLut& lut, int32_t channel)
{
    const CurveBytes curve = lut.GetNodes(channel);
    return Bytes(curve.Bytes, curve.Bytes + curve.Size);
}

CurveBytes Curve(const Bytes& bytes)
{
    CurveBytes curve;
    std::copy(bytes.begin(), bytes.end(), curve.Bytes);
    curve.Size = bytes.size();
    return curve;
}

TEST(InputLutCurves, ConstructionGivesThreeNodesEverywhereRedActive)
{
    InputLut lut;
    EXPECT_EQ(lut.ActiveChannel(), LutRed);
    for (int32_t channel : {0, 1, 2, 3}) {
        SCOPED_TRACE(channel);
        EXPECT_EQ(Nodes(lut, channel), Identity);
    }
}

TEST(InputLutCurves, LeavingTheSharedCurveCopiesItAndComingBackRestoresIt)
{
    InputLut lut;
    lut.SelectChannel(LutShared);
    lut.LoadNodes(0x02000000, 0, Bytes{0, 10, 255, 200}.data());
    lut.LoadNodes(0x00000001, 0, Bytes{5, 6}.data());  // blue only
    lut.SelectChannel(LutGreen);
    EXPECT_EQ(lut.ActiveChannel(), LutGreen);
    for (int32_t channel : {LutRed, LutGreen, LutBlue}) {
        SCOPED_TRACE(channel);
        EXPECT_EQ(Nodes(lut, channel), (Bytes{0, 10, 255, 200}));
    }
    lut.LoadNodes(0x00000001, 0, Bytes{7, 8}.data());
    lut.SelectChannel(LutShared);
    EXPECT_EQ(Nodes(lut, LutShared), (Bytes{0, 10, 255, 200}));
    EXPECT_EQ(Nodes(lut, LutBlue), (Bytes{7, 8})) << "entering the shared curve copies nothing";
}

TEST(InputLutCurves, LoadNodesForms)
{
    struct Row {
        const char* Name;
        uint32_t Header;
        int32_t LutType;
        Bytes Nodes;
        int32_t Active;
        Bytes Red, Green, Blue, Shared;
    };
    const Bytes Green2 = {0, 255, 255, 0};
    const Row rows[] = {
        {"shared form", 0x03000000, 0, {0, 0, 128, 64, 255, 255}, LutShared,
         {0, 0, 128, 64, 255, 255}, {0, 0, 128, 64, 255, 255}, {0, 0, 128, 64, 255, 255}, {0, 0, 128, 64, 255, 255}},
        {"green only", 0x00000200, 0, {0, 255, 255, 0}, LutRed, Identity, Green2, Identity, Identity},
        {"2 red 2 green 3 blue", 0x00020203, 0, {0, 1, 255, 2, 0, 3, 255, 4, 0, 5, 9, 6, 255, 7}, LutRed,
         {0, 1, 255, 2}, {0, 3, 255, 4}, {0, 5, 9, 6, 255, 7}, Identity},
        {"nothing stored", 0, 0, {}, LutRed, Identity, Identity, Identity, Identity},
        {"shared form, other lut type", 0x01000000, 1, {9, 9}, LutRed, Identity, Identity, Identity, {}},
        {"per-channel form, other lut type", 0x00000100, 1, {9, 9}, LutRed, Identity, Identity, Identity, Identity},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Name);
        InputLut lut;
        lut.LoadNodes(row.Header, row.LutType, row.Nodes.data());
        EXPECT_EQ(lut.ActiveChannel(), row.Active);
        EXPECT_EQ(Nodes(lut, LutRed), row.Red);
        EXPECT_EQ(Nodes(lut, LutGreen), row.Green);
        EXPECT_EQ(Nodes(lut, LutBlue), row.Blue);
        EXPECT_EQ(Nodes(lut, LutShared), row.Shared);
    }
}

TEST(InputLutCurves, NodesAreHandedOutOneByteEach)
{
    InputLut lut;
    lut.CopyCurve(LutGreen, LutShared);
    lut.AppendNode(LutGreen, 256 + 3, -1);
    EXPECT_EQ(Nodes(lut, LutGreen), (Bytes{0, 0, 128, 128, 255, 255, 3, 255}));
    lut.TearDown();
    EXPECT_TRUE(Nodes(lut, LutShared).empty());
    for (size_t i = 0; i < MaxNodesPerCurve; ++i) {
        EXPECT_TRUE(lut.AppendNode(LutRed, 1, 2));
    }
    EXPECT_FALSE(lut.AppendNode(LutRed, 3, 4)) << "a curve holds what the stored form can count";
    EXPECT_EQ(Nodes(lut, LutRed).size(), 2 * MaxNodesPerCurve);
}

TEST(LutValuesForm, ParsesOnlyValuesOfTheAnnouncedLength)
{
    struct Row {
        const char* Name;
        Bytes Value;
        bool Accepted;
    };
    const Row rows[] = {
        {"default", Bytes(DefaultLutValues, DefaultLutValues + 10), true},
        {"7 nodes per channel", {0x03, 0x02, 0x02, 0x00, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7}, true},
        {"one node short", {0x00, 0x00, 0x00, 0x03, 0, 0, 128, 128, 255}, false},
        {"one byte over", {0x00, 0x00, 0x00, 0x01, 0, 0, 0}, false},
        {"header cut", {0x00, 0x00, 0x00}, false},
        {"empty", {}, false},
        {"header without nodes", {0, 0, 0, 0}, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Name);
        uint32_t header = 0xDEAD;
        const uint8_t* nodes = nullptr;
        size_t nodeBytes = 42;
        EXPECT_EQ(ParseLutValues(row.Value.data(), row.Value.size(), header, nodes, nodeBytes), row.Accepted);
        if (row.Accepted) {
            uint8_t encoded[MaxLutValueBytes];
            const size_t size = EncodeLutValues(header, nodes, nodeBytes, encoded);
            EXPECT_EQ(Bytes(encoded, encoded + size), row.Value) << "round trip";
        } else {
            EXPECT_EQ(header, 0xDEADu);
            EXPECT_EQ(nodeBytes, 42u);
        }
    }
    EXPECT_EQ(LutNodeCount(0x00020203), 7u);
    EXPECT_EQ(LutNodeCount(0xFF000000), 255u);
}

TEST(LutValuesForm, RampsJoinConsecutiveNodes)
{
    EXPECT_EQ(RampCount(Curve({})), 0u);
    EXPECT_EQ(RampCount(Curve({10, 20})), 0u) << "one node draws nothing";
    const CurveBytes curve = Curve({0, 0, 128, 64, 255, 255});
    ASSERT_EQ(RampCount(curve), 2u);
    const LutRamp ramps[] = {RampSegment(curve, 0), RampSegment(curve, 1)};
    EXPECT_EQ(ramps[0].StartIndex, 0);
    EXPECT_EQ(ramps[0].StartValue, 0.0);
    EXPECT_EQ(ramps[0].EndIndex, 128);
    EXPECT_EQ(ramps[0].EndValue, 64.0);
    EXPECT_EQ(ramps[1].StartIndex, 128);
    EXPECT_EQ(ramps[1].EndValue, 255.0);
}

}  // namespace
