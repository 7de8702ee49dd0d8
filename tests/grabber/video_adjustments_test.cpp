// The video adjustments, ApplySettings and the input look-up table on the
// board: the exact library calls they make, as the simulated library traces
// them.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "grabber/board_fixture.h"
#include "grabber/startup.h"
#include "grabber/video_adjustments.h"
#include "rig/ds_rig.h"
#include "settings/input_lut.h"
#include "settings/registry.h"
#include "settings/source_settings.h"

namespace {

class Accessors : public BoardTest {
protected:
    void Start(const char* format)
    {
        ASSERT_EQ(MilInitSystem(), 0);
        char buffer[256];
        std::strcpy(buffer, format);
        ASSERT_EQ(MilInitDigitizer(buffer), 0);
        dig_ = MilInfo.MilDigitizer;
        ClearLogAndTrace();
    }
    std::string Ref(long item, long level) const { return Call("MdigReference", {dig_, item, level}); }
    long dig_ = 0;
};

constexpr long B0 = 0x20000000, B1 = 0x40000000, B2 = static_cast<long>(0x80000000u);

TEST_F(Accessors, SettersClampAndSendToTheDigitizer)
{
    Start("M_PAL");
    struct Row {
        const char* Name;
        std::function<void()> Set;
        long Item;
        long Level;
    };
    const Row rows[] = {
        {"SetBrightness(300)", [] { SetBrightness(300); }, 4008, 255},
        {"SetBrightness(255)", [] { SetBrightness(255); }, 4008, 255},
        {"SetContrast(0)", [] { SetContrast(0); }, 4009, 0},
        {"SetHue(-1)", [] { SetHue(static_cast<uint32_t>(-1)); }, 4006, 255},
        {"SetSaturation(17)", [] { SetSaturation(17); }, 4007, 17},
        {"SetBlackRef(-1, band 0)", [] { SetBlackRef(static_cast<uint32_t>(-1), Band0); }, B0 | 4003, 255},
        {"SetBlackRef(3, band 1)", [] { SetBlackRef(3, Band1); }, B1 | 4003, 3},
        {"SetBlackRef(256, band 2)", [] { SetBlackRef(256, Band2); }, -2147479645, 255},
        {"SetWhiteRef(200, band 2)", [] { SetWhiteRef(200, Band2); }, -2147479643, 200},
        {"SetWhiteRef(9, all)", [] { SetWhiteRef(9, AllBands); }, -283111515, 9},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Name);
        ClearLogAndTrace();
        row.Set();
        EXPECT_EQ(Trace(), std::vector<std::string>{Ref(row.Item, row.Level)});
    }
    EXPECT_TRUE(LibraryBoxes().empty());
}

TEST_F(Accessors, GettersAskTheDigitizer)
{
    Start("M_PAL_RGB");
    SetWhiteRef(201, Band1);
    SetBlackRef(12, Band2);
    SetBrightness(77);
    SetHue(99);
    ClearLogAndTrace();
    EXPECT_EQ(GetWhiteRef(Band1), 201u);
    EXPECT_EQ(GetBlackRef(Band2), 12u);
    EXPECT_EQ(GetBrightness(), 77u);
    EXPECT_EQ(GetContrast(), 128u);
    EXPECT_EQ(GetHue(), 99u);
    EXPECT_EQ(GetSaturation(), 128u);
    EXPECT_EQ(Trace(), (std::vector<std::string>{
                           Call("MdigInquire", {dig_, B1 | 4005, 0}), Call("MdigInquire", {dig_, -2147479645, 0}),
                           Call("MdigInquire", {dig_, 4008, 0}), Call("MdigInquire", {dig_, 4009, 0}),
                           Call("MdigInquire", {dig_, 4006, 0}), Call("MdigInquire", {dig_, 4007, 0})}));
}

TEST_F(Accessors, MonochromeBoardHasNoHueOrSaturation)
{
    Start("M_CCIR");
    EXPECT_EQ(GetHue(), 0u);
    EXPECT_EQ(GetSaturation(), 0u);
    SetHue(10);
    SetSaturation(10);
    EXPECT_TRUE(Trace().empty());
}

TEST_F(Accessors, RecordFieldsChannelZoomAndFlags)
{
    Start("M_PAL");
    const long disp = MilInfo.MilDisplay;
    SetChannel(0x40000000);
    SetDispZoom(-2);
    EXPECT_EQ(GetChannel(), 0x40000000u);
    EXPECT_EQ(GetDispZoom(), -2);
    EXPECT_EQ(Trace(), (std::vector<std::string>{Call("MdigChannel", {dig_, 0x40000000 + 0x400000}),
                                                  Call("MdispZoom", {disp, -2, -2})}));
    SetExtWindow(1);
    EXPECT_EQ(GetExtWindow(), 1u);
    EXPECT_EQ(PreviewFlag(1), 0u);
    EXPECT_EQ(PreviewFlag(-1), 1u);
    EXPECT_EQ(PreviewFlag(-1), 1u) << "asking does not change it";
    EXPECT_EQ(PreviewFlag(0), 0u);
    EXPECT_EQ(PreviewFlag(-1), 0u);
    char format[256];
    std::memset(format, 'x', sizeof format);
    CopyDigFormat(format);
    EXPECT_STREQ(format, "M_PAL");
}

TEST_F(Accessors, ColourModeTable)
{
    struct Row {
        long Mode;
        uint8_t Color, Rgb;
    };
    // Unknown modes leave both flags as they were (here: set beforehand).
    for (const Row& row : {Row{0, 0, 0}, Row{1, 1, 0}, Row{4137, 1, 0}, Row{8, 1, 1}, Row{1024, 0, 1},
                           Row{2, 1, 1}, Row{9, 1, 1}}) {
        SCOPED_TRACE(row.Mode);
        SourceSettings.Color = 1;
        SourceSettings.RgbDataPath = 1;
        SetColorMode(row.Mode);
        EXPECT_EQ(IsColor(), row.Color);
        EXPECT_EQ(IsRgbDataPath(), row.Rgb);
    }
}

TEST_F(Accessors, ApplySettingsWithoutDigitizerChangesNothing)
{
    ASSERT_EQ(MilInitSystem(), 0);
    ClearLogAndTrace();
    SourceSettings.Brightness = 3;
    ApplySettings();
    EXPECT_TRUE(Trace().empty());
}

// The stored values each path applies, from the registry as the user left it.
void StoreAdjustments()
{
    const struct {
        const char* Name;
        DWORD Value;
    } values[] = {{"Brightness", 1000}, {"Contrast", 11},  {"Hue", 12},       {"Saturation", 13},
                  {"BlackRef0", 21},    {"BlackRef1", 22}, {"BlackRef2", 23},  {"WhiteRef0", 231},
                  {"WhiteRef1", 232},   {"WhiteRef2", 233}, {"Channel", 0x01000000}};
    for (const auto& value : values) {
        WriteRegistryValue(SettingsKeyPath, value.Name, REG_DWORD, &value.Value, sizeof value.Value);
    }
}

TEST_F(Accessors, ApplySettingsOnTheCompositePath)
{
    ASSERT_EQ(CreateDefaultSettings(), 0);
    StoreAdjustments();
    ASSERT_EQ(MilInitSystem(), 0);
    ASSERT_EQ(ReadSettings(), 0);
    char format[256] = "M_PAL";
    ASSERT_EQ(MilInitDigitizer(format), 0);
    const long dig = MilInfo.MilDigitizer;
    const long sys = MilInfo.MilSystem;
    ClearLogAndTrace();
    ApplySettings();
    const std::vector<std::string> trace = Trace();
    ASSERT_GE(trace.size(), 8u);
    EXPECT_EQ(std::vector<std::string>(trace.begin(), trace.begin() + 4),
              (std::vector<std::string>{Call("MdigReference", {dig, 4007, 13}), Call("MdigReference", {dig, 4006, 12}),
                                        Call("MdigReference", {dig, 4009, 11}),
                                        Call("MdigReference", {dig, 4008, 255})}));
    // Then the default curves go to the look-up table.
    EXPECT_EQ(trace[4], Call("MbufAllocColor", {sys, 3, 256, 1, 8, 256, 0}));
    EXPECT_EQ(GetChannel(), 0x01000000u) << "read, but not sent on the composite path";
    for (const std::string& line : trace) {
        EXPECT_EQ(line.rfind("MdigChannel", 0), std::string::npos) << line;
    }
}

TEST_F(Accessors, ApplySettingsOnTheRgbPath)
{
    ASSERT_EQ(CreateDefaultSettings(), 0);
    StoreAdjustments();
    ASSERT_EQ(MilInitSystem(), 0);
    ASSERT_EQ(ReadSettings(), 0);
    char format[256] = "M_NTSC_RGB";
    ASSERT_EQ(MilInitDigitizer(format), 0);
    const long dig = MilInfo.MilDigitizer;
    ClearLogAndTrace();
    ApplySettings();
    const std::vector<std::string> trace = Trace();
    ASSERT_GE(trace.size(), 7u);
    EXPECT_EQ(std::vector<std::string>(trace.begin(), trace.begin() + 7),
              (std::vector<std::string>{
                  Call("MdigReference", {dig, B0 | 4003, 21}), Call("MdigReference", {dig, B1 | 4003, 22}),
                  Call("MdigReference", {dig, B2 | 4003, 23}), Call("MdigReference", {dig, B0 | 4005, 231}),
                  Call("MdigReference", {dig, B1 | 4005, 232}), Call("MdigReference", {dig, B2 | 4005, 233}),
                  Call("MdigChannel", {dig, 0x01000000 + 0x400000})}));
}

TEST_F(Accessors, ApplySettingsOnAMonochromeRgbBoard)
{
    SetBoardEnv("ORIONSIM_COLOR_MODE", "1024");
    ASSERT_EQ(CreateDefaultSettings(), 0);
    StoreAdjustments();
    ASSERT_EQ(MilInitSystem(), 0);
    ASSERT_EQ(ReadSettings(), 0);
    char format[256] = "M_CCIR";
    ASSERT_EQ(MilInitDigitizer(format), 0);
    ASSERT_EQ(IsRgbDataPath(), 1);
    ASSERT_EQ(IsColor(), 0);
    const long dig = MilInfo.MilDigitizer;
    const long sys = MilInfo.MilSystem;
    ClearLogAndTrace();
    ApplySettings();
    const std::vector<std::string> trace = Trace();
    ASSERT_GE(trace.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(trace.begin(), trace.begin() + 4),
              (std::vector<std::string>{Call("MdigReference", {dig, B0 | 4003, 21}),
                                        Call("MdigReference", {dig, B0 | 4005, 231}),
                                        Call("MdigChannel", {dig, 0x01000000 + 0x400000}),
                                        Call("MbufAlloc1d", {sys, 256, 8, 256, 0})}));
}

TEST_F(Accessors, DefaultReferencesOfEachPath)
{
    Start("M_PAL_RGB");
    ApplyDefaultReferences();
    EXPECT_EQ(Trace(), (std::vector<std::string>{Ref(-283111517, 0), Ref(-283111515, 255)}));
    MilFreeSystem();
    Start("M_PAL");
    ApplyDefaultReferences();
    EXPECT_EQ(Trace(), (std::vector<std::string>{Ref(4007, 128), Ref(4006, 128), Ref(4009, 128), Ref(4008, 128)}));
    MilFreeSystem();
    Start("M_CCIR");
    ApplyDefaultReferences();
    EXPECT_EQ(Trace(), (std::vector<std::string>{Ref(4009, 128), Ref(4008, 128)}));
}

using Bytes = std::vector<uint8_t>;

class LutOnTheBoard : public BoardTest {
protected:
    void Start(const char* format)
    {
        ASSERT_EQ(MilInitSystem(), 0);
        char buffer[256];
        std::strcpy(buffer, format);
        ASSERT_EQ(MilInitDigitizer(buffer), 0);
        ASSERT_NE(CurrentInputLut, nullptr);
        ClearLogAndTrace();
    }
};

TEST_F(LutOnTheBoard, SharedCurveOnAColourBoard)
{
    Start("M_PAL");
    CurrentInputLut->LoadNodes(0x03000000, 0, Bytes{0, 0, 128, 64, 255, 255}.data());
    EXPECT_EQ(ApplyInputLut(*CurrentInputLut), 0);
    const std::vector<std::string> trace = Trace();
    ASSERT_EQ(trace.size(), 11u);
    const long sys = MilInfo.MilSystem;
    const long dig = MilInfo.MilDigitizer;
    EXPECT_EQ(trace[0], Call("MbufAllocColor", {sys, 3, 256, 1, 8, 256, 0}));
    const long lut = std::stol(trace[1].substr(std::string("MbufChildColor ").size()));
    const long child0 = lut + 1;
    EXPECT_EQ(std::vector<std::string>(trace.begin() + 1, trace.end()),
              (std::vector<std::string>{Call("MbufChildColor", {lut, 0, 0}), Call("MbufChildColor", {lut, 1, 0}),
                                        Call("MbufChildColor", {lut, 2, 0}), "MgenLutRamp " + std::to_string(lut) + " 0 0 128 64",
                                        "MgenLutRamp " + std::to_string(lut) + " 128 64 255 255",
                                        Call("MdigLut", {dig, lut}), Call("MbufFree", {child0}),
                                        Call("MbufFree", {child0 + 1}), Call("MbufFree", {child0 + 2}),
                                        Call("MbufFree", {lut})}));
}

TEST_F(LutOnTheBoard, PerChannelCurvesGoToTheirBands)
{
    Start("M_NTSC");
    CurrentInputLut->LoadNodes(0x00020203, 0, Bytes{0, 1, 255, 2, 0, 3, 255, 4, 0, 5, 9, 6, 255, 7}.data());
    EXPECT_EQ(ApplyInputLut(*CurrentInputLut), 0);
    const std::vector<std::string> trace = Trace();
    ASSERT_EQ(trace.size(), 13u);
    const long lut = std::stol(trace[1].substr(std::string("MbufChildColor ").size()));
    const std::string c0 = std::to_string(lut + 1), c1 = std::to_string(lut + 2), c2 = std::to_string(lut + 3);
    EXPECT_EQ(std::vector<std::string>(trace.begin() + 4, trace.begin() + 9),
              (std::vector<std::string>{"MgenLutRamp " + c0 + " 0 1 255 2", "MgenLutRamp " + c1 + " 0 3 255 4",
                                        "MgenLutRamp " + c2 + " 0 5 9 6", "MgenLutRamp " + c2 + " 9 6 255 7",
                                        Call("MdigLut", {MilInfo.MilDigitizer, lut})}));
    EXPECT_TRUE(Log().empty());
}

TEST_F(LutOnTheBoard, MonochromeBoardWithPerBandCurvesLogsTheBugLine)
{
    Start("M_CCIR");
    EXPECT_EQ(CurrentInputLut->ActiveChannel(), LutRed);
    EXPECT_EQ(ApplyInputLut(*CurrentInputLut), 0);
    const std::vector<std::string> trace = Trace();
    ASSERT_EQ(trace.size(), 5u);
    EXPECT_EQ(trace[0], Call("MbufAlloc1d", {MilInfo.MilSystem, 256, 8, 256, 0}));
    const long lut = std::stol(trace[1].substr(std::string("MgenLutRamp ").size()));
    EXPECT_EQ(trace[1], "MgenLutRamp " + std::to_string(lut) + " 0 0 128 128");
    EXPECT_EQ(trace[4], Call("MbufFree", {lut}));
    EXPECT_EQ(Log(), "Talvenix TWAIN DS: BUG !!!!!!!!!!!t.b.d !!!!!!!!!!!!n");
}

TEST_F(LutOnTheBoard, OtherLutTypeProgramsAnUnfilledTable)
{
    Start("M_CCIR");
    CurrentInputLut->SelectChannel(LutShared);
    SourceSettings.LutType = 1;
    EXPECT_EQ(ApplyInputLut(*CurrentInputLut), 0);
    const std::vector<std::string> trace = Trace();
    ASSERT_EQ(trace.size(), 3u);
    EXPECT_EQ(trace[1].rfind("MdigLut ", 0), 0u);
}

TEST_F(LutOnTheBoard, NoTableWithoutLutOrDigitizer)
{
    Start("M_CCIR");
    SourceSettings.LutAvailable = 0;
    EXPECT_EQ(ApplyInputLut(*CurrentInputLut), 1);
    SourceSettings.LutAvailable = 1;
    const long dig = MilInfo.MilDigitizer;
    MilInfo.MilDigitizer = 0;
    EXPECT_EQ(ApplyInputLut(*CurrentInputLut), 1);
    MilInfo.MilDigitizer = dig;
    EXPECT_TRUE(Trace().empty());
}

}  // namespace
