// The automatic capture table, run through each source by its own test
// program (transfer_tests for Twain_32.ds called directly, ds64_tests for
// Twain_64.ds and its host).
#include "tests/rig/automatic_capture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "acquire/image_check.h"
#include "tests/rig/app_containers.h"
#include "tests/rig/ds_rig.h"

namespace {

// Automatic capture: the source keeps its own clock while the application
// collects late. The board stamps each frame's number into its top left
// corner; each image's stamp (for an average, the mean of its frames'
// stamps) says which frames it was made of.

TW_UINT16 SetOneValue(const CaptureApplication& app, TW_UINT16 cap, TW_UINT16 itemType, uint32_t item)
{
    TW_CAPABILITY capability = {cap, TWON_ONEVALUE, GlobalBlock(OneValueBytes(itemType, item))};
    const TW_UINT16 result = app.Call(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &capability);
    GlobalFree(capability.hContainer);
    return result;
}

TW_UINT16 Enable(const CaptureApplication& app)
{
    TW_USERINTERFACE ui = {0, 1, nullptr};
    return app.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui);
}

// Runs the message loop as an application does until the manager has seen
// `count` notices: MSG_XFERREADY then, MSG_NULL when none came within
// `milliseconds`.
TW_UINT16 WaitForNotice(const CaptureApplication& app, int count, DWORD milliseconds = 60000)
{
    for (DWORD start = GetTickCount(); GetTickCount() - start < milliseconds;) {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageA(&message);
        }
        if (app.Notices() >= count) {
            return MSG_XFERREADY;
        }
        Sleep(5);
    }
    return MSG_NULL;
}

}  // namespace

void RunAutomaticCaptureTable(const CaptureApplication& app)
{
    const Watchdog watchdog(180, "automatic capture waited for without end");
    struct Row {
        const char* What;
        int32_t Count, FirstMs, BetweenMs;
        uint32_t Buffers, Average;
        TW_UINT16 Clear;
        int Delivered;            // images the application gets
        uint32_t FramesApart;     // between two images' first frames (0: not checked)
        bool ResetAfterFirst;     // MSG_RESET after one image, then a new enabling with one more image
        bool Colour = false;      // a PAL colour board, and a region of its frame from the top left
    } rows[] = {
        {"every 200 ms, collected at the end", 4, 0, 200, 4, 1, TWCB_AUTO, 4, 5, false},
        {"after 120 ms, averaged over 4", 2, 120, 400, 2, 4, TWCB_AUTO, 2, 10, false},
        {"two buffers for five frames", 5, 0, 40, 2, 1, TWCB_AUTO, 2, 1, false},
        {"reset with two held, kept", 3, 0, 0, 3, 1, TWCB_NOCLEAR, 4, 0, true},
        {"reset with two held, cleared at the disable", 3, 0, 0, 3, 1, TWCB_AUTO, 2, 0, true},
        {"a colour region averaged over 64", 2, 0, 0, 2, 64, TWCB_AUTO, 2, 64, false, true},
    };
    SetEnvironmentVariableA("ORIONSIM_FRAME_MS", "40");
    SetEnvironmentVariableA("ORIONSIM_FRAME_STAMP", "1");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.What);
        ASSERT_TRUE(app.Open());
        if (row.Colour) {
            std::vector<uint8_t> format = OneValueBytes(TWTY_STR32, 0);
            format.resize(2 + 34);  // the type, then the name in its 34 bytes
            std::memcpy(format.data() + 2, "M_PAL", 5);
            TW_CAPABILITY capability = {0x8002, TWON_ONEVALUE, GlobalBlock(format)};
            ASSERT_EQ(app.Call(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &capability), TWRC_SUCCESS);
            GlobalFree(capability.hContainer);
            TW_IMAGELAYOUT layout = {};
            layout.Frame.Right.Whole = 300;
            layout.Frame.Bottom.Whole = 100;
            ASSERT_EQ(app.Call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_SET, &layout), TWRC_SUCCESS);
        }
        ASSERT_EQ(SetOneValue(app, CAP_AUTOMATICCAPTURE, TWTY_INT32, static_cast<uint32_t>(row.Count)), TWRC_SUCCESS);
        ASSERT_EQ(SetOneValue(app, CAP_TIMEBEFOREFIRSTCAPTURE, TWTY_INT32, static_cast<uint32_t>(row.FirstMs)), TWRC_SUCCESS);
        ASSERT_EQ(SetOneValue(app, CAP_TIMEBETWEENCAPTURES, TWTY_INT32, static_cast<uint32_t>(row.BetweenMs)), TWRC_SUCCESS);
        ASSERT_EQ(SetOneValue(app, CAP_MAXBATCHBUFFERS, TWTY_UINT32, row.Buffers), TWRC_SUCCESS);
        ASSERT_EQ(SetOneValue(app, 0x8003, TWTY_UINT16, row.Average), TWRC_SUCCESS);
        ASSERT_EQ(SetOneValue(app, CAP_CLEARBUFFERS, TWTY_UINT16, row.Clear), TWRC_SUCCESS);
        int notices = app.Notices();
        ASSERT_EQ(Enable(app), TWRC_SUCCESS);
        ASSERT_EQ(WaitForNotice(app, notices + 1), MSG_XFERREADY);
        // Late: the whole schedule has passed before the first transfer.
        const DWORD scheduleMs = static_cast<DWORD>(row.FirstMs + row.Count * (row.BetweenMs + 40 * row.Average)) + 400;
        WaitForNotice(app, notices + 2, scheduleMs);
        std::vector<int64_t> stamps;
        std::vector<uint32_t> frameNumbers;
        // Transfers `images` of the `total` the enabling announced.
        auto collect = [&](int images, int total) {
            for (int i = 0; i < images; ++i) {
                TW_HANDLE bitmap = nullptr;
                ASSERT_EQ(app.Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &bitmap), TWRC_XFERDONE);
                struct {
                    TW_UINT32 NumInfos;
                    TW_INFO Info[2];
                } ext = {2, {{TWEI_FRAMENUMBER, 0, 0, 0, 0}, {0x1234, 0, 0, 0, 0}}};
                ASSERT_EQ(app.Call(DG_IMAGE, DAT_EXTIMAGEINFO, MSG_GET, &ext), TWRC_SUCCESS);
                EXPECT_EQ(ext.Info[0].ReturnCode, TWRC_SUCCESS);
                EXPECT_EQ(ext.Info[1].ReturnCode, TWRC_INFONOTSUPPORTED);
                frameNumbers.push_back(static_cast<uint32_t>(ext.Info[0].Item));
                const std::vector<uint8_t> dib = BlockBytes(bitmap);
                GlobalFree(bitmap);
                DecodedImage image;
                std::string error;
                uint32_t first = 0;
                ASSERT_TRUE(DecodeDib(dib.data(), dib.size(), image, error)) << error;
                EXPECT_TRUE(ReadFrameStamp(image, row.Average, first, error)) << "image " << stamps.size() + 1
                                                                               << " holds whole frames: " << error;
                stamps.push_back(first);
                // Outside the stamp the pattern is the same in every frame,
                // and so is its mean.
                EXPECT_EQ(image.Samples, row.Colour ? 3u : 1u);
                EXPECT_EQ(image.Width, row.Colour ? 300u : 768u);
                EXPECT_TRUE(MatchesPattern(image, image.Samples, error, 0, true)) << error;
                TW_PENDINGXFERS pending = {};
                ASSERT_EQ(app.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending), TWRC_SUCCESS);
                EXPECT_EQ(pending.Count, total - i - 1) << "image " << i + 1;
            }
        };
        TW_PENDINGXFERS pending = {};
        TW_USERINTERFACE ui = {};
        if (row.ResetAfterFirst) {
            collect(1, row.Count);
            ASSERT_EQ(app.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending), TWRC_SUCCESS);
            ASSERT_EQ(app.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_SUCCESS);
            ASSERT_EQ(SetOneValue(app, CAP_AUTOMATICCAPTURE, TWTY_INT32, 1), TWRC_SUCCESS);
            notices = app.Notices();
            ASSERT_EQ(Enable(app), TWRC_SUCCESS);
            ASSERT_EQ(WaitForNotice(app, notices + 1), MSG_XFERREADY);
            ASSERT_EQ(app.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, &pending), TWRC_SUCCESS);
            EXPECT_EQ(pending.Count, row.Delivered - 1) << "the images kept come before the new one";
            collect(row.Delivered - 1, row.Delivered - 1);
            ASSERT_EQ(stamps.size(), static_cast<size_t>(row.Delivered));
            if (row.Clear == TWCB_NOCLEAR) {
                EXPECT_EQ(stamps[1], stamps[0] + 1) << "the kept images follow the first";
                EXPECT_EQ(stamps[2], stamps[0] + 2);
            }
            EXPECT_GT(stamps.back(), stamps[0] + 2) << "the new enabling's image is a later frame";
        } else {
            collect(row.Delivered, row.Delivered);
            ASSERT_EQ(stamps.size(), static_cast<size_t>(row.Delivered));
            for (size_t i = 1; i < stamps.size(); ++i) {
                // On a busy machine the clock thread may wake a frame late.
                EXPECT_NEAR(stamps[i] - stamps[0], static_cast<int64_t>(i * row.FramesApart), 1) << "image " << i + 1;
                EXPECT_EQ(static_cast<int64_t>(frameNumbers[i]) - frameNumbers[0], stamps[i] - stamps[0])
                    << "TWEI_FRAMENUMBER counts the board's frames";
            }
        }
        ASSERT_EQ(app.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, &pending), TWRC_SUCCESS);
        EXPECT_EQ(pending.Count, 0) << "missed frames are not to come";
        EXPECT_EQ(app.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_SUCCESS);
        app.Close();
    }
    SetEnvironmentVariableA("ORIONSIM_FRAME_MS", "0");
    SetEnvironmentVariableA("ORIONSIM_FRAME_STAMP", nullptr);
}
