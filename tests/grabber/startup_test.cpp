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

}  // namespace
