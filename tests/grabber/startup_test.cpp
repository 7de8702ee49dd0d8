// Board and digitizer start-up and shut-down against the simulated library.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <regex>

#include "capability/store.h"
#include "grabber/board_fixture.h"
#include "grabber/startup.h"
#include "rig/ds_rig.h"
#include "settings/input_lut.h"
#include "settings/source_settings.h"
#include "twain/source.h"

namespace {

using StartUp = BoardTest;

uint32_t CurrentCapability(TW_UINT16 cap)
{
    CapabilityItem item;
    EXPECT_TRUE(GetCurrentItem(cap, item)) << "capability " << cap;
    EXPECT_EQ(item.ItemType, TWTY_UINT16) << "capability " << cap;
    return item.AsUInt32();
}

struct FormatRow {
    const char* Format;
    const char* BufferFormat;  // ORIONSIM_BUFFER_FORMAT, or nullptr
    uint32_t Width, Height, Bands;
    uint8_t Color, RgbDataPath;
    const char* FormatLine;
    uint8_t FourBytePixels, BgrOrder;
    uint32_t BitDepth, PixelType;
};

const FormatRow FormatRows[] = {
    {"M_CCIR", nullptr, 768, 576, 1, 0, 0, "Talvenix TWAIN DS: buffer format M_MONO8 \n", 0, 0, 8, TWPT_GRAY},
    {"M_RS170", nullptr, 640, 480, 1, 0, 0, "Talvenix TWAIN DS: buffer format M_MONO8 \n", 0, 0, 8, TWPT_GRAY},
    {"M_PAL", nullptr, 768, 576, 3, 1, 0, "Talvenix TWAIN DS: buffer format M_BGR32\n", 1, 1, 24, TWPT_RGB},
    {"M_PAL_YC", "M_RGB32", 768, 576, 3, 1, 0, "Talvenix TWAIN DS: buffer format M_RGB32\n", 1, 0, 24, TWPT_RGB},
    {"M_PAL_RGB", "M_XRGB32", 768, 576, 3, 1, 1, "Talvenix TWAIN DS: buffer format M_XRGB32\n", 1, 0, 24, TWPT_RGB},
    {"M_NTSC", "M_XBGR32", 640, 480, 3, 1, 0, "Talvenix TWAIN DS: buffer format M_XBGR32\n", 1, 0, 24, TWPT_RGB},
    {"M_NTSC_YC", "M_RGB24", 640, 480, 3, 1, 0, "Talvenix TWAIN DS: buffer format M_RGB24\n", 0, 0, 24, TWPT_RGB},
    {"M_NTSC_RGB", "M_BGR24", 640, 480, 3, 1, 1, "Talvenix TWAIN DS: buffer format M_BGR24\n", 0, 1, 24, TWPT_RGB},
};

TEST_F(StartUp, EachAcceptedFormatGivesItsGeometryColourAndBufferFlags)
{
    for (const FormatRow& row : FormatRows) {
        SCOPED_TRACE(std::string(row.Format) + " " + (row.BufferFormat ? row.BufferFormat : "default buffer"));
        SetBoardEnv("ORIONSIM_BUFFER_FORMAT", row.BufferFormat);
        ClearLogAndTrace();
        ASSERT_EQ(MilInitSystem(), 0);
        SourceSettings.Color = 0;
        SourceSettings.RgbDataPath = 0;
        char format[256];
        std::strcpy(format, row.Format);
        ASSERT_EQ(MilInitDigitizer(format), 0);
        EXPECT_STREQ(format, row.Format);
        EXPECT_STREQ(SourceSettings.DigFormat, row.Format);
        EXPECT_EQ(GetImageWidth(), row.Width);
        EXPECT_EQ(GetImageHeight(), row.Height);
        EXPECT_EQ(GetBandCount(), row.Bands);
        EXPECT_EQ(SourceSettings.BitsPerBand, 8u);
        EXPECT_EQ(IsColor(), row.Color);
        EXPECT_EQ(IsRgbDataPath(), row.RgbDataPath);
        EXPECT_EQ(MilInfo.FourBytePixels, row.FourBytePixels);
        EXPECT_EQ(MilInfo.BgrOrder, row.BgrOrder);
        EXPECT_NE(MilInfo.HostAddress, nullptr);
        EXPECT_NE(MilInfo.MilDisplay, 0);
        EXPECT_NE(MilInfo.MilImage, 0);
        // The probe runs before the image buffer takes its share.
        EXPECT_EQ(GetGrabberMemoryKb(), 65536u);
        EXPECT_EQ(IsLutAvailable(), 1);
        EXPECT_NE(CurrentInputLut, nullptr);
        EXPECT_STREQ(GetBoardName(), "Orion");
        EXPECT_EQ(CurrentCapability(ICAP_BITDEPTH), row.BitDepth);
        EXPECT_EQ(CurrentCapability(ICAP_PIXELTYPE), row.PixelType);
        char image[128];
        std::snprintf(image, sizeof image, "Talvenix TWAIN DS: Image format %u x %u x 8bpp, %u planes \n", row.Width,
                      row.Height, row.Bands);
        ExpectInOrder(Log(), {std::string("Talvenix TWAIN DS: DigFormat=") + row.Format + "\n", image, row.FormatLine,
                              "------------------------------------------ \n", "Dumping system Settings \n",
                              "Grab memory: 65536 kB \n", "Board: Orion, Revision 1 \n"});
        EXPECT_EQ(Count(Log(), "Talvenix TWAIN DS: buffer format "), 1u);
        MilFreeSystem();
    }
    EXPECT_TRUE(SourceBoxes().empty());
    EXPECT_TRUE(LibraryBoxes().empty());
}

TEST_F(StartUp, SystemStartLogsItsLinesAndCallsInOrder)
{
    ASSERT_EQ(MilInitSystem(), 0);
    const std::string log = Log();
    const std::string dashes(72, '-');
    // "Log created " and ctime's 24 characters.
    const std::regex created("Log created [A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\\d \\d\\d:\\d\\d:\\d\\d \\d{4}\r\n");
    EXPECT_EQ(log.rfind(LogText(dashes + " \n"), 0), 0u) << log;
    EXPECT_TRUE(std::regex_search(log, created)) << log;
    ExpectInOrder(log, {dashes + " \n", "Log created ", "Talvenix TWAIN DS: Loading runtime DLL's \n",
                        "MIL.DLL Version: 1.0.0.0 \n", "MILORION.DLL Version: 1.0.0.0 \n",
                        "Twain_32.ds Version: 1, 1, 0, 0 \n"});
    EXPECT_EQ(Trace(), (std::vector<std::string>{"MappAlloc 268435456 0", "MsysAlloc \"\\\\.\\M_SYSTEM_ORION\" 0 0 0"}));
    EXPECT_NE(MilInfo.MilApplication, 0);
    EXPECT_NE(MilInfo.MilSystem, 0);
    EXPECT_TRUE(MilBound());
    EXPECT_TRUE(SourceBoxes().empty());
}

TEST_F(StartUp, DigitizerStartCallsTheLibraryInOrder)
{
    // 1536 kB: one 1 MB buffer, one of 512 kB, then every smaller size refused.
    SetBoardEnv("ORIONSIM_MEMORY_KB", "1536");
    ASSERT_EQ(MilInitSystem(), 0);
    ClearLogAndTrace();
    char format[256] = "M_PAL";
    ASSERT_EQ(MilInitDigitizer(format), 0);
    EXPECT_EQ(GetGrabberMemoryKb(), 1536u);
    const long sys = MilInfo.MilSystem;
    const long dig = MilInfo.MilDigitizer;
    const long disp = MilInfo.MilDisplay;
    const long img = MilInfo.MilImage;
    const std::vector<std::string> trace = Trace();
    std::vector<std::string> expected = {
        Call("MappControl", {0x40000000, 0}),
        "MdigAlloc " + std::to_string(sys) + " 0 \"M_PAL\" 268435456 0",
        Call("MappControl", {0x40000000, 1}),
        "MdispAlloc " + std::to_string(sys) + " 268435456 \"M_DEFAULT\" 268435456 0",
        Call("MappControl", {0x40000000, 0}),
    };
    // The probe: the ids of the two buffers it held are read off the trace.
    for (long kb : {1024, 1024, 512, 512, 256, 128, 64, 32, 16, 8, 4, 2}) {
        expected.push_back(Call("MbufAlloc1d", {sys, kb * 1024, 8, 12, 0}));
    }
    ASSERT_GE(trace.size(), expected.size() + 2);
    const long first = disp + 1;
    const long second = disp + 2;
    expected.push_back(Call("MbufFree", {second}));
    expected.push_back(Call("MbufFree", {first}));
    expected.push_back(Call("MappControl", {0x40000000, 1}));  // "Dump" is not 0
    for (long item : {1005, 1002, 1003}) {
        expected.push_back(Call("MdigInquire", {dig, item, 0}));
    }
    expected.push_back(Call("MbufAllocColor", {sys, 3, 768, 576, 8, 44, 0}));
    expected.push_back(Call("MdigInquire", {dig, 1002, 0}));
    expected.push_back(Call("MdigInquire", {dig, 1003, 0}));
    expected.push_back(Call("MbufInquire", {img, 1007, 0}));
    expected.push_back(Call("MbufInquire", {img, 1005, 0}));
    expected.push_back(Call("MbufInquire", {img, 1010, 0}));
    expected.push_back(Call("MsysInquire", {sys, 2014, 0}));
    expected.push_back(Call("MdigInquire", {dig, 1018, 0}));
    expected.push_back(Call("MbufInquire", {img, static_cast<long>(0x80000000u), 0}));
    expected.push_back(Call("MsysInquire", {sys, 2015, 0}));
    EXPECT_EQ(trace, expected);
    ExpectInOrder(Log(), {"Grab memory: 1536 kB \n"});
}

TEST_F(StartUp, DumpZeroKeepsTheLibraryMessagesSilencedAfterTheProbe)
{
    DumpMode = 0;
    ASSERT_EQ(MilInitSystem(), 0);
    ClearLogAndTrace();
    char format[256] = "M_CCIR";
    ASSERT_EQ(MilInitDigitizer(format), 0);
    std::vector<std::string> controls;
    for (const std::string& line : Trace()) {
        if (line.rfind("MappControl", 0) == 0) {
            controls.push_back(line);
        }
    }
    EXPECT_EQ(controls, (std::vector<std::string>{"MappControl 1073741824 0", "MappControl 1073741824 1",
                                                  "MappControl 1073741824 0"}));
    EXPECT_FALSE(FileExists(dir_ + "\\TALVENIX.LOG"));
}

TEST_F(StartUp, RefusedFormatFallsBackToCcirWithOneBox)
{
    SetBoardEnv("ORIONSIM_REJECT_FORMATS", "M_PAL_RGB");
    ASSERT_EQ(MilInitSystem(), 0);
    char format[256] = "M_PAL_RGB";
    ASSERT_EQ(MilInitDigitizer(format), 0);
    EXPECT_STREQ(format, "M_CCIR");
    EXPECT_STREQ(SourceSettings.DigFormat, "M_CCIR");
    EXPECT_EQ(GetBandCount(), 1u);
    const auto boxes = SourceBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].Caption, DsCaption);
    EXPECT_EQ(boxes[0].Text, "Unsupported Camera Type, using CCIR default!");
    EXPECT_TRUE(LibraryBoxes().empty()) << "the library's messages are silenced while allocating";
    ExpectInOrder(Log(), {"Talvenix TWAIN DS: DigFormat=M_PAL_RGB\n",
                          "Talvenix TWAIN DS: Unsupported Camera Type, using CCIR default! \n",
                          "Talvenix TWAIN DS: Image format 768 x 576 x 8bpp, 1 planes \n"});
}

TEST_F(StartUp, CcirRefusedTooFailsWithItsBox)
{
    SetBoardEnv("ORIONSIM_REJECT_FORMATS", "M_NTSC,M_CCIR");
    ASSERT_EQ(MilInitSystem(), 0);
    char format[256] = "M_NTSC";
    EXPECT_EQ(MilInitDigitizer(format), 1);
    EXPECT_STREQ(format, "M_CCIR");
    EXPECT_EQ(MilInfo.MilDigitizer, 0);
    const auto boxes = SourceBoxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].Text, "Unsupported Camera Type, using CCIR default!");
    EXPECT_EQ(boxes[1].Caption, DsCaption);
    EXPECT_EQ(boxes[1].Text, "Cannot allocate any camera, make sure you installed the right VGA driver");
    EXPECT_TRUE(LibraryBoxes().empty());
    ExpectInOrder(Log(), {"Talvenix TWAIN DS: Unsupported Camera Type, using CCIR default! \n",
                          "Talvenix TWAIN DS: Cannot allocate any camera, make sure you installed the right VGA "
                          "driver\n"});
    const std::vector<std::string> trace = Trace();
    ASSERT_FALSE(trace.empty());
    EXPECT_EQ(trace.back(), "MdigAlloc " + std::to_string(MilInfo.MilSystem) + " 0 \"M_CCIR\" 268435456 0");
}

TEST_F(StartUp, DigitizerBeforeSystemFails)
{
    char format[256] = "M_CCIR";
    EXPECT_EQ(MilInitDigitizer(format), 1);
    EXPECT_EQ(Log(), LogText("Talvenix TWAIN DS: call MilInitDigitizer with MilInfo.MilSystem==0 !!\n"));
}

TEST_F(StartUp, GrabMemoryProbe)
{
    struct Row {
        const char* MemoryKb;
        uint32_t Expected;
        int Held;
    };
    // At most 100 buffers of 1 MB; the smallest size tried is 2 kB.
    // 5000 kB = 4 x 1024 + 512 + 256 + 128 + 8.
    const Row rows[] = {{"1048576", 102400, 100}, {"102400", 102400, 100}, {"5000", 5000, 8}, {"3", 2, 1},
                        {"0", 0, 0}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.MemoryKb);
        SetBoardEnv("ORIONSIM_MEMORY_KB", row.MemoryKb);
        ASSERT_EQ(MilInitSystem(), 0);
        ClearLogAndTrace();
        EXPECT_EQ(MeasureGrabMemoryKb(), row.Expected);
        int freed = 0;
        for (const std::string& line : Trace()) {
            freed += line.rfind("MbufFree", 0) == 0 ? 1 : 0;
        }
        EXPECT_EQ(freed, row.Held);
        // Everything held was given back: a second probe finds the same.
        EXPECT_EQ(MeasureGrabMemoryKb(), row.Expected);
        MilFreeSystem();
    }
}

TEST_F(StartUp, OtherBoardTypeHasNoLutAndAnUnknownName)
{
    SetBoardEnv("ORIONSIM_BOARD_TYPE", "41");
    SetBoardEnv("ORIONSIM_BOARD_REVISION", "7");
    ASSERT_EQ(MilInitSystem(), 0);
    char format[256] = "M_PAL";
    ASSERT_EQ(MilInitDigitizer(format), 0);
    EXPECT_EQ(IsLutAvailable(), 0);
    EXPECT_EQ(CurrentInputLut, nullptr);
    const std::string name = GetBoardName();
    EXPECT_EQ(name.rfind("unknown Orion, please contact ", 0), 0u) << name;
    EXPECT_GT(name.size(), std::strlen("unknown Orion, please contact "));
    EXPECT_LE(name.size(), 49u);
    ExpectInOrder(Log(), {"Board: " + name + ", Revision 7 \n"});
}

TEST_F(StartUp, MissingPixelAddressAndFailedAllocationsGoOn)
{
    SetBoardEnv("ORIONSIM_FAIL", "HostAddress,MdispAlloc");
    ASSERT_EQ(MilInitSystem(), 0);
    char format[256] = "M_CCIR";
    ASSERT_EQ(MilInitDigitizer(format), 0);
    EXPECT_EQ(MilInfo.HostAddress, nullptr);
    EXPECT_EQ(MilInfo.MilDisplay, 0);
    ExpectInOrder(Log(), {"Talvenix TWAIN DS: call MilInitDigitizer with MilInfo.MilDisplay==0 !!\n",
                          "Talvenix TWAIN DS: ERROR !!! no pointer to grabbed data\n"});
    MilFreeSystem();
    SetBoardEnv("ORIONSIM_FAIL", "MbufAllocColor");
    ClearLogAndTrace();
    ASSERT_EQ(MilInitSystem(), 0);
    ASSERT_EQ(MilInitDigitizer(format), 0);
    EXPECT_EQ(MilInfo.MilImage, 0);
    ExpectInOrder(Log(), {"Talvenix TWAIN DS: call MilInitDigitizer with MilInfo.MilImage==0 !!\n",
                          "Talvenix TWAIN DS: UNKNOWN !!! buffer format \n"});
}

TEST_F(StartUp, AllocationFaultsFailTheSystemStartAndReleaseIt)
{
    struct Row {
        const char* Fault;
        const char* Line;
        std::vector<std::string> Trace;
    };
    const Row rows[] = {
        {"MappAlloc", "Talvenix TWAIN DS: Error in MappAlloc \n", {"MappAlloc 268435456 0"}},
        {"MsysAlloc", "Talvenix TWAIN DS: Error in MsysAlloc \n",
         {"MappAlloc 268435456 0", "MsysAlloc \"\\\\.\\M_SYSTEM_ORION\" 0 0 0", "MappFree"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Fault);
        SetBoardEnv("ORIONSIM_FAIL", row.Fault);
        ClearLogAndTrace();
        EXPECT_EQ(MilInitSystem(), 1);
        ExpectInOrder(Log(), {"Twain_32.ds Version: 1, 1, 0, 0 \n", row.Line});
        std::vector<std::string> trace = Trace();
        // The application's id is the library's to choose.
        if (trace.size() == 3) {
            trace[2] = trace[2].substr(0, trace[2].find(' '));
        }
        EXPECT_EQ(trace, row.Trace);
        EXPECT_EQ(MilInfo.MilApplication, 0);
        EXPECT_EQ(MilInfo.MilSystem, 0);
        EXPECT_FALSE(MilBound());
        EXPECT_EQ(GetModuleHandleA("MIL.DLL"), nullptr) << "a failed start unloads the libraries";
        EXPECT_EQ(GetModuleHandleA("MILORION.DLL"), nullptr);
        // A retry starts from nothing.
        SetBoardEnv("ORIONSIM_FAIL", nullptr);
        EXPECT_EQ(MilInitSystem(), 0);
        MilFreeSystem();
    }
    EXPECT_TRUE(SourceBoxes().empty());
}

TEST_F(StartUp, FreeSystemWithoutStartDoesNothingTwice)
{
    MilFreeSystem();
    MilFreeSystem();
    EXPECT_TRUE(Trace().empty());
    ASSERT_EQ(MilInitSystem(), 0);
    char format[256] = "M_PAL";
    ASSERT_EQ(MilInitDigitizer(format), 0);
    const long app = MilInfo.MilApplication, sys = MilInfo.MilSystem, dig = MilInfo.MilDigitizer,
               disp = MilInfo.MilDisplay, img = MilInfo.MilImage;
    SetLutNodes(0x03000000, DefaultLutValues + 4, 3);
    ClearLogAndTrace();
    MilFreeSystem();
    EXPECT_EQ(Trace(), (std::vector<std::string>{Call("MbufFree", {img}), Call("MdigFree", {dig}),
                                                  Call("MdispFree", {disp}), Call("MsysFree", {sys}),
                                                  Call("MappFree", {app})}));
    EXPECT_EQ(MilInfo.MilSystem, 0);
    EXPECT_EQ(MilInfo.MilApplication, 0);
    EXPECT_EQ(MilInfo.MilImage, 0);
    EXPECT_EQ(MilInfo.HostAddress, nullptr);
    EXPECT_EQ(CurrentInputLut, nullptr);
    EXPECT_EQ(SourceSettings.LutHeader, 0u);
    EXPECT_EQ(GetModuleHandleA("MIL.DLL"), nullptr);
    ClearLogAndTrace();
    MilFreeSystem();
    MilFreeSystem();
    EXPECT_TRUE(Trace().empty());
    EXPECT_TRUE(LibraryBoxes().empty());
}

TEST_F(StartUp, FormatChangeForgetsTheLoadedCurves)
{
    ASSERT_EQ(MilInitSystem(), 0);
    char format[256] = "M_PAL";
    ASSERT_EQ(MilInitDigitizer(format), 0);
    SetLutNodes(0x03000000, DefaultLutValues + 4, 3);
    MilFreeDigitizer();
    EXPECT_EQ(SourceSettings.LutHeader, 0u);
    EXPECT_EQ(CurrentInputLut, nullptr);
    std::strcpy(format, "M_NTSC");
    ASSERT_EQ(MilInitDigitizer(format), 0);
    ASSERT_NE(CurrentInputLut, nullptr);
    EXPECT_EQ(CurrentInputLut->ActiveChannel(), LutRed);
    EXPECT_EQ(GetImageWidth(), 640u);
}

// The screen check needs a screen that is not at 32 bits per pixel: run
// this program (filter ScreenDepth.*) on an X server of depth 16.
TEST_F(StartUp, ScreenNotAt32BitsFailsWithItsBox)
{
    HDC screen = GetDC(nullptr);
    const int bits = GetDeviceCaps(screen, BITSPIXEL);
    ReleaseDC(nullptr, screen);
    if (bits == 32) {
        GTEST_SKIP() << "the screen is at 32 bits per pixel; run on a depth-16 X server to check this";
    }
    EXPECT_EQ(MilInitSystem(), 1);
    ExpectInOrder(Log(), {"Talvenix TWAIN DS: display is in " + std::to_string(bits) + " bpp mode \n"});
    const auto boxes = SourceBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].Caption, DriverCaption);
    EXPECT_EQ(boxes[0].Text,
              "Orion needs the display to be set in 32 bits per pixel, please change the VGA color depth");
    EXPECT_EQ(MilInfo.MilSystem, 0);
    EXPECT_EQ(GetModuleHandleA("MIL.DLL"), nullptr);
}

}  // namespace
