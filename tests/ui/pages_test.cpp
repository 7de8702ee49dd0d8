// The three settings pages, driven through their controls: the video format
// page's norms, inputs and sync, the composite page's sliders and the RGB
// page's references with their lock boxes.
#include <windows.h>

#include <commctrl.h>

#include "grabber/live_preview.h"
#include "grabber/startup.h"
#include "grabber/video_adjustments.h"
#include "rig/ds_rig.h"
#include "settings/source_settings.h"
#include "twain/source.h"
#include "ui/dialog_fixture.h"

namespace {

using VideoFormatPage = DialogTest;
using CompositePage = DialogTest;
using RgbPage = DialogTest;

constexpr int Ccir = 1020, Rs170 = 1021, Pal = 1022, Ntsc = 1023;
constexpr int InputYc = 1049, InputRgb = 1050, InputCvbs = 1051, Green = 1071, Extern = 1072;
constexpr int Norms[] = {Ccir, Rs170, Pal, Ntsc};
constexpr int Inputs[] = {InputYc, InputRgb, InputCvbs};
constexpr int Syncs[] = {Green, Extern};

struct Expected {
    int norm;      // checked norm button
    bool colour;   // input buttons and their frame enabled
    int input;     // checked input button, 0 none
    bool sync;     // sync buttons and their frame enabled
    int syncOn;    // checked sync button, 0 none
};

void ExpectButtons(DialogTest& test, const Expected& expected)
{
    for (int id : Norms) {
        EXPECT_EQ(test.Checked(test.PageItem(id)), id == expected.norm) << id;
    }
    for (int id : {1070, InputYc, InputRgb, InputCvbs}) {
        EXPECT_EQ(IsWindowEnabled(test.PageItem(id)) != FALSE, expected.colour) << id;
    }
    for (int id : Inputs) {
        EXPECT_EQ(test.Checked(test.PageItem(id)), id == expected.input) << id;
    }
    for (int id : {1073, Green, Extern}) {
        EXPECT_EQ(IsWindowEnabled(test.PageItem(id)) != FALSE, expected.sync) << id;
    }
    for (int id : Syncs) {
        EXPECT_EQ(test.Checked(test.PageItem(id)), id == expected.syncOn) << id;
    }
}

TEST_F(VideoFormatPage, OpensWithTheStoredFormat)
{
    const struct {
        const char* format;
        DWORD channel;
        Expected expected;
    } rows[] = {
        {"M_NTSC_RGB", 0x01000000, {Ntsc, true, InputRgb, true, Extern}},
        {"M_PAL_RGB", 0x20000000, {Pal, true, InputRgb, true, Green}},
        {"M_CCIR", 0x20000000, {Ccir, false, 0, false, 0}},
        {"M_RS170", 0x20000000, {Rs170, false, 0, false, 0}},
        {"M_PAL_YC", 0x20000000, {Pal, true, InputYc, false, 0}},
        {"M_NTSC", 0x20000000, {Ntsc, true, InputCvbs, false, 0}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.format);
        StoreSettings(row.format, {{"Channel", row.channel}});
        Open();
        ASSERT_NE(Enable(), nullptr);
        SelectTab(1);
        ASSERT_NE(PageItem(Ccir), nullptr);
        EXPECT_EQ(Text(PageItem(1070)), "Input Channnel");
        ExpectButtons(*this, row.expected);
        TW_IDENTITY source = {};
        Call(DAT_IDENTITY, MSG_CLOSEDS, &source);
        ResetSourceRegistry();
    }
}

// Every norm or input click restarts the digitizer in the format the buttons
// name, hiding the preview first; the page then follows the started format.
TEST_F(VideoFormatPage, NormAndInputClicksRestartTheDigitizer)
{
    const struct {
        const char* stored;
        int click;
        const char* started;
        Expected expected;
        DWORD channel;
    } rows[] = {
        {"M_CCIR", Pal, "M_PAL", {Pal, true, InputCvbs, false, 0}, 0x20000000},
        {"M_PAL", InputRgb, "M_PAL_RGB", {Pal, true, InputRgb, true, Green}, 0x40000000},
        {"M_PAL", InputYc, "M_PAL_YC", {Pal, true, InputYc, false, 0}, 0x20000000},
        {"M_PAL_YC", Ntsc, "M_NTSC_YC", {Ntsc, true, InputYc, false, 0}, 0x20000000},
        {"M_NTSC_RGB", Ccir, "M_CCIR", {Ccir, false, 0, false, 0}, 0x40000000},
        {"M_CCIR", Rs170, "M_RS170", {Rs170, false, 0, false, 0}, 0x20000000},
        {"M_PAL", Pal, "M_PAL", {Pal, true, InputCvbs, false, 0}, 0x20000000},
        {"M_NTSC_YC", InputCvbs, "M_NTSC", {Ntsc, true, InputCvbs, false, 0}, 0x20000000},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.stored) + " then " + std::to_string(row.click));
        StoreSettings(row.stored, {{"Preview", 1}});
        Open();
        HWND dialog = Enable();
        ASSERT_NE(dialog, nullptr);
        ASSERT_EQ(Text(Item(1086)), "Hide preview window <<");
        const SIZE shown = Size(dialog);
        SelectTab(1);
        ClearTrace();
        ClickPageItem(row.click);
        EXPECT_EQ(TraceCount(std::string("MdigAlloc ") + std::to_string(MilInfo.MilSystem) + " 0 \"" +
                             row.started + "\""),
                  1u);
        EXPECT_EQ(TraceCount("MdigHalt"), 2u) << "stopped before the change, and by hiding";
        EXPECT_EQ(TraceCount("MdispDeselect"), 1u);
        EXPECT_EQ(TraceCount("MdigGrabContinuous"), 0u) << "the preview stays hidden";
        EXPECT_EQ(Text(Item(1086)), "Show preview window >>");
        EXPECT_LT(Size(dialog).cy, shown.cy);
        EXPECT_STREQ(SourceSettings.DigFormat, row.started);
        EXPECT_EQ(SourceSettings.Channel, row.channel);
        ExpectButtons(*this, row.expected);
        EXPECT_EQ(TraceCount(TraceLine("MdispZoom", {MilInfo.MilDisplay, 1, 1})), 1u);
        TW_IDENTITY source = {};
        Call(DAT_IDENTITY, MSG_CLOSEDS, &source);
        ResetSourceRegistry();
    }
}

TEST_F(VideoFormatPage, ExternSwitchesTheChannelWithoutARestart)
{
    StoreSettings("M_PAL_RGB");
    Open();
    ASSERT_NE(Enable(), nullptr);
    SelectTab(1);
    ClearTrace();
    ClickPageItem(Extern);
    EXPECT_EQ(SourceSettings.Channel, 0x01000000u);
    EXPECT_EQ(TraceCount("MdigChannel"), 1u);
    EXPECT_EQ(TraceCount("MdigAlloc"), 0u);
    EXPECT_EQ(TraceCount("MdigFree"), 0u);
    EXPECT_TRUE(Checked(PageItem(InputRgb)));
    ClickPageItem(Green);
    EXPECT_EQ(SourceSettings.Channel, 0x40000000u);
    EXPECT_EQ(TraceCount("MdigAlloc"), 0u);
}

TEST_F(VideoFormatPage, ARefusedFormatLeavesTheButtonsOnTheFallback)
{
    StoreSettings("M_CCIR");
    SetBoardEnv("ORIONSIM_REJECT_FORMATS", "M_PAL");
    Open();
    ASSERT_NE(Enable(), nullptr);
    SelectTab(1);
    ClickPageItem(Pal);
    EXPECT_STREQ(SourceSettings.DigFormat, "M_CCIR");
    // The norm follows the format that runs, not the click.
    ExpectButtons(*this, {Ccir, false, 0, false, 0});
}

struct Slider {
    int slider, edit;
    long item;
};
constexpr Slider CompositeSliders[] = {
    {1027, 1018, BrightnessItem}, {1029, 1012, ContrastItem}, {1028, 1013, SaturationItem}, {1030, 1014, HueItem}};

TEST_F(CompositePage, EveryDragPositionReachesTheDigitizer)
{
    StoreSettings("M_PAL");
    Open();
    ASSERT_NE(Enable(), nullptr);
    for (const Slider& s : CompositeSliders) {
        SCOPED_TRACE(s.slider);
        EXPECT_TRUE(IsWindowEnabled(PageItem(s.slider)));
        EXPECT_EQ(Text(PageItem(s.edit)), "128");
        ClearTrace();
        const int positions[] = {10, 11, 12};
        for (int position : positions) {
            Slide(s.slider, position);
        }
        Slide(s.slider, 12, TB_ENDTRACK);
        for (int position : positions) {
            EXPECT_EQ(TraceCount(TraceLine("MdigReference", {MilInfo.MilDigitizer, s.item, position})),
                      position == 12 ? 2u : 1u);
        }
        EXPECT_EQ(Text(PageItem(s.edit)), "12");
    }
    // "Default": all four back at the digitizer's 128.
    ClickPageItem(1031);
    for (const Slider& s : CompositeSliders) {
        EXPECT_EQ(Text(PageItem(s.edit)), "128") << s.edit;
        EXPECT_EQ(SendMessageA(PageItem(s.slider), TBM_GETPOS, 0, 0), 128) << s.slider;
    }
}

TEST_F(CompositePage, MonochromeBoardDisablesSaturationAndHue)
{
    StoreSettings("M_CCIR");
    Open();
    ASSERT_NE(Enable(), nullptr);
    for (int id : {1028, 1013, 1030, 1014}) {
        EXPECT_FALSE(IsWindowEnabled(PageItem(id))) << id;
    }
    EXPECT_EQ(Text(PageItem(1013)), "0");
    EXPECT_EQ(Text(PageItem(1014)), "0");
    EXPECT_TRUE(IsWindowEnabled(PageItem(1027)));
}

TEST_F(CompositePage, ComingBackShowsTheDigitizersValues)
{
    StoreSettings("M_PAL");
    Open();
    ASSERT_NE(Enable(), nullptr);
    Slide(1027, 50);
    SelectTab(1);
    EXPECT_EQ(PageItem(1027), nullptr);
    SetBrightness(90);  // changed behind the page's back
    SelectTab(0);
    EXPECT_EQ(Text(PageItem(1018)), "90");
    EXPECT_EQ(SendMessageA(PageItem(1027), TBM_GETPOS, 0, 0), 90);
}

struct Band {
    int slider, edit;
    unsigned long selector;
};
constexpr Band LowerBands[] = {{1047, 1048, 0x20000000}, {1028, 1019, 0x40000000}, {1029, 1020, 0x80000000}};
constexpr Band UpperBands[] = {{1030, 1021, 0x20000000}, {1031, 1022, 0x40000000}, {1032, 1023, 0x80000000}};

std::string ReferenceCall(long digitizer, long item, unsigned long selector, long level)
{
    return TraceLine("MdigReference", {digitizer, static_cast<long>(static_cast<unsigned long>(item) | selector), level});
}

TEST_F(RgbPage, MonochromeRgbBoardTiesEveryBandToBandZero)
{
    StoreSettings("M_PAL_RGB");
    SetBoardEnv("ORIONSIM_COLOR_MODE", "1024");
    Open();
    ASSERT_NE(Enable(), nullptr);
    ASSERT_NE(PageItem(1047), nullptr) << "RGB page";
    for (int id : {1045, 1046}) {
        EXPECT_TRUE(Checked(PageItem(id))) << id;
        EXPECT_FALSE(IsWindowEnabled(PageItem(id))) << id;
    }
    for (const Band* column : {LowerBands, UpperBands}) {
        for (int band = 1; band < 3; ++band) {
            EXPECT_FALSE(IsWindowEnabled(PageItem(column[band].slider))) << column[band].slider;
            EXPECT_FALSE(IsWindowEnabled(PageItem(column[band].edit))) << column[band].edit;
        }
    }
    ClearTrace();
    Slide(1047, 40);
    Slide(1030, 200);
    for (int band = 0; band < 3; ++band) {
        EXPECT_EQ(TraceCount(ReferenceCall(MilInfo.MilDigitizer, BlackRefItem, LowerBands[band].selector, 40)), 1u);
        EXPECT_EQ(Text(PageItem(LowerBands[band].edit)), "40");
        EXPECT_EQ(TraceCount(ReferenceCall(MilInfo.MilDigitizer, WhiteRefItem, UpperBands[band].selector, 200)), 1u);
        EXPECT_EQ(Text(PageItem(UpperBands[band].edit)), "200");
    }
}

TEST_F(RgbPage, LockCopiesOnScreenOnlyAndUnlockKeepsValues)
{
    StoreSettings("M_PAL_RGB");
    Open();
    ASSERT_NE(Enable(), nullptr);
    ASSERT_NE(PageItem(1047), nullptr);
    EXPECT_FALSE(Checked(PageItem(1045)));
    EXPECT_TRUE(IsWindowEnabled(PageItem(1045)));
    Slide(1047, 5);
    Slide(1028, 30);
    Slide(1029, 60);
    ClearTrace();
    ClickPageItem(1045);
    EXPECT_EQ(Text(PageItem(1019)), "5");
    EXPECT_EQ(Text(PageItem(1020)), "5");
    EXPECT_EQ(SendMessageA(PageItem(1028), TBM_GETPOS, 0, 0), 5);
    EXPECT_FALSE(IsWindowEnabled(PageItem(1028)));
    EXPECT_FALSE(IsWindowEnabled(PageItem(1020)));
    EXPECT_EQ(TraceCount("MdigReference"), 0u) << "the digitizer keeps bands 1 and 2";
    EXPECT_EQ(GetBlackRef(Band1), 30u);
    EXPECT_EQ(GetBlackRef(Band2), 60u);

    ClickPageItem(1045);  // clear
    EXPECT_TRUE(IsWindowEnabled(PageItem(1028)));
    EXPECT_TRUE(IsWindowEnabled(PageItem(1020)));
    EXPECT_EQ(Text(PageItem(1019)), "5");
    EXPECT_EQ(TraceCount("MdigReference"), 0u);

    // The upper column's own box, and its band 0 slider driving all three.
    ClickPageItem(1046);
    Slide(1030, 210);
    for (const Band& band : UpperBands) {
        EXPECT_EQ(TraceCount(ReferenceCall(MilInfo.MilDigitizer, WhiteRefItem, band.selector, 210)), 1u);
    }
    EXPECT_EQ(TraceCount(ReferenceCall(MilInfo.MilDigitizer, BlackRefItem, 0x40000000, 5)), 0u);
}

TEST_F(RgbPage, DefaultShowsTheDigitizersDefaults)
{
    StoreSettings("M_NTSC_RGB");
    Open();
    ASSERT_NE(Enable(), nullptr);
    Slide(1047, 70);
    Slide(1031, 90);
    ClickPageItem(1039);
    for (const Band& band : LowerBands) {
        EXPECT_EQ(Text(PageItem(band.edit)), "0") << band.edit;
        EXPECT_EQ(SendMessageA(PageItem(band.slider), TBM_GETPOS, 0, 0), 0) << band.slider;
    }
    for (const Band& band : UpperBands) {
        EXPECT_EQ(Text(PageItem(band.edit)), "255") << band.edit;
        EXPECT_EQ(SendMessageA(PageItem(band.slider), TBM_GETPOS, 0, 0), 255) << band.slider;
    }
}

}  // namespace
