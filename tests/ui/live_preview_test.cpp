// Starting and stopping the live grab and attaching the display, called
// directly on an opened source.
#include "grabber/live_preview.h"
#include "grabber/startup.h"
#include "ui/dialog_fixture.h"

namespace {

using LivePreview = DialogTest;

TEST_F(LivePreview, StopBeforeAnyStartOnlyLogs)
{
    StoreSettings("M_CCIR");
    Open();
    ClearTrace();
    ClearLog();
    EXPECT_EQ(MilStartLive(0), 0u);
    EXPECT_TRUE(Trace().empty());
    EXPECT_EQ(Log(), "MilStartLive Stop\r\nTalvenix TWAIN DS: ignoring first StopLive call \r\n");
}

TEST_F(LivePreview, StartThenTwoStopsHaltTwice)
{
    StoreSettings("M_CCIR");
    Open();
    ClearTrace();
    ClearLog();
    MilStartLive(1);
    MilStartLive(0);
    MilStartLive(0);
    EXPECT_EQ(Trace(), (std::vector<std::string>{
                           TraceLine("MdigGrabContinuous", {MilInfo.MilDigitizer, MilInfo.MilImage}),
                           TraceLine("MdigHalt", {MilInfo.MilDigitizer}),
                           TraceLine("MdigHalt", {MilInfo.MilDigitizer}),
                       }));
    EXPECT_EQ(Log(), "MilStartLive Start\r\nTalvenix TWAIN DS: enabling continuous live grab\r\n"
                     "MilStartLive Stop\r\nTalvenix TWAIN DS: ending continuous grab \r\n"
                     "MilStartLive Stop\r\nTalvenix TWAIN DS: ending continuous grab \r\n");
    EXPECT_EQ(LiveMode, 1u);
}

TEST_F(LivePreview, SelectingTwiceChangesNothingAndTheQueryLogsNothing)
{
    StoreSettings("M_CCIR");
    Open();
    ClearTrace();
    ClearLog();
    EXPECT_EQ(MilSelectDisplay(-1, nullptr), 0u);
    EXPECT_EQ(MilSelectDisplay(0, nullptr), 0u) << "nothing to detach";
    EXPECT_TRUE(Trace().empty());
    EXPECT_EQ(Log(), "");
    EXPECT_EQ(MilSelectDisplay(1, nullptr), 1u);
    const size_t calls = Trace().size();
    EXPECT_EQ(calls, 7u) << "five window items, the title, the selection";
    EXPECT_EQ(MilSelectDisplay(1, nullptr), 1u);
    EXPECT_EQ(MilSelectDisplay(-1, nullptr), 1u);
    EXPECT_EQ(Trace().size(), calls);
    EXPECT_EQ(Log(), "Talvenix TWAIN DS: creating display in external window\r\n");
    EXPECT_EQ(MilSelectDisplay(0, nullptr), 0u);
    EXPECT_EQ(Trace().back(), TraceLine("MdispDeselect", {MilInfo.MilDisplay, MilInfo.MilImage}));
}

}  // namespace
