// The settings dialog: what it shows at creation, the preview's geometry and
// the library calls of showing and hiding it, the buttons' effect on the
// TWAIN state, the registry and the live grab, and its lifetime.
#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <string>
#include <vector>

#include "acquire/image_check.h"
#include "grabber/live_preview.h"
#include "rig/app_containers.h"
#include "rig/ds_rig.h"
#include "grabber/startup.h"
#include "settings/source_settings.h"
#include "grabber/video_adjustments.h"
#include "twain/condition.h"
#include "twain/manager.h"
#include "twain/source.h"
#include "ui/dialog_fixture.h"
#include "ui/settings_dialog.h"

namespace {

using SettingsDialog = DialogTest;

TEST_F(SettingsDialog, OpensWithItsTextsTabsAndTheCompositePage)
{
    StoreSettings("M_CCIR");
    SetBoardEnv("ORIONSIM_MEMORY_KB", "8192");
    Open();
    HWND dialog = Enable();
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(IsWindowVisible(dialog));
    EXPECT_EQ(Text(dialog), "Frame Grabber Settings");
    EXPECT_EQ(GetParent(dialog), nullptr);
    EXPECT_EQ(GetWindow(dialog, GW_OWNER), nullptr);
    EXPECT_EQ(Text(Item(1011)), "Orion");
    EXPECT_EQ(Text(Item(1084)), "8192 kB");
    HWND tabs = Item(1034);
    ASSERT_EQ(SendMessageA(tabs, TCM_GETITEMCOUNT, 0, 0), 2);
    const char* const captions[] = {"A/D Setting", "Video Norm"};
    for (int index = 0; index < 2; ++index) {
        char text[64] = "";
        TCITEMA item = {};
        item.mask = TCIF_TEXT;
        item.pszText = text;
        item.cchTextMax = sizeof text;
        SendMessageA(tabs, TCM_GETITEMA, index, reinterpret_cast<LPARAM>(&item));
        EXPECT_STREQ(text, captions[index]);
    }
    EXPECT_EQ(SendMessageA(tabs, TCM_GETCURSEL, 0, 0), 0);
    ASSERT_NE(Page(), nullptr);
    EXPECT_NE(PageItem(1027), nullptr) << "composite page: brightness slider";
    EXPECT_EQ(PageItem(1047), nullptr) << "not the RGB page";
    EXPECT_TRUE(IsWindowVisible(Page()));
    const PageState* state = GetPageState(dialog);
    ASSERT_NE(state, nullptr);
    RECT frame, tab;
    GetWindowRect(dialog, &frame);
    GetWindowRect(tabs, &tab);
    EXPECT_EQ(state->PageX, tab.left - frame.left);
    EXPECT_EQ(state->PageY, tab.top - frame.top + 8);
    const POINT page = ClientPosition(Page());
    EXPECT_EQ(page.x, state->PageX);
    EXPECT_EQ(page.y, state->PageY);
    EXPECT_FALSE(Checked(Item(1043))) << "Save settings starts clear";
}

struct Layout {
    SIZE Collapsed;
    int MarkerBottom;  // bottom edge of the marker line below the dialog's top edge
};

Layout CollapsedLayout(HWND dialog)
{
    RECT frame, marker;
    GetWindowRect(dialog, &frame);
    GetWindowRect(GetDlgItem(dialog, 1087), &marker);
    return {{frame.right - frame.left, frame.bottom - frame.top}, marker.bottom - frame.top};
}

// The preview sized to the zoomed 768 x 576 picture of M_CCIR: the dialog
// grows around it, centring it when it is narrower than the dialog.
TEST_F(SettingsDialog, PreviewGeometryFollowsTheZoom)
{
    const struct {
        long zoom;
        int width, height;
        int radio;
    } rows[] = {{1, 768, 576, 1079}, {-4, 192, 144, 1081}, {-2, 384, 288, 1080}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.zoom);
        StoreSettings("M_CCIR", {{"DispZoom", static_cast<DWORD>(row.zoom)}});
        Open();
        HWND dialog = Enable();
        ASSERT_NE(dialog, nullptr);
        EXPECT_TRUE(Checked(Item(row.radio)));
        const Layout collapsed = CollapsedLayout(dialog);
        EXPECT_EQ(collapsed.Collapsed.cy, collapsed.MarkerBottom) << "collapsed at the marker line";
        EXPECT_EQ(Text(Item(1086)), "Show preview window >>");
        EXPECT_EQ(TraceCount("MdigGrabContinuous"), 0u);

        ClickItem(1086);
        EXPECT_EQ(Text(Item(1086)), "Hide preview window <<");
        const int wide = row.width + 40;
        const int offset = wide < collapsed.Collapsed.cx ? (collapsed.Collapsed.cx - wide) / 2 : 0;
        const SIZE shown = Size(dialog);
        EXPECT_EQ(shown.cx, std::max(wide, static_cast<int>(collapsed.Collapsed.cx)));
        EXPECT_EQ(shown.cy, row.height + collapsed.Collapsed.cy + 40);
        const SIZE area = Size(Item(1085));
        EXPECT_EQ(area.cx, row.width);
        EXPECT_EQ(area.cy, row.height);
        const POINT at = ClientPosition(Item(1085));
        EXPECT_EQ(at.x, offset + 15);
        EXPECT_EQ(at.y, collapsed.Collapsed.cy - 10);
        const SIZE group = Size(Item(1088));
        EXPECT_EQ(group.cx, row.width + 23);
        EXPECT_EQ(group.cy, row.height + 30);
        const POINT groupAt = ClientPosition(Item(1088));
        EXPECT_EQ(groupAt.x, offset + 5);
        EXPECT_EQ(groupAt.y, collapsed.Collapsed.cy - 28);
        EXPECT_EQ(TraceCount(TraceLine("MdispSelectWindow", {MilInfo.MilDisplay, MilInfo.MilImage, 1})), 1u);
        EXPECT_EQ(TraceCount(TraceLine("MdigGrabContinuous", {MilInfo.MilDigitizer, MilInfo.MilImage})), 1u);
        EXPECT_EQ(PreviewFlag(-1), 1u);

        // The collapsed dialog of the opening already stopped a grab that
        // once ran (in an earlier row): count the hide's own halt.
        const size_t halts = TraceCount("MdigHalt");
        ClickItem(1086);
        EXPECT_EQ(Text(Item(1086)), "Show preview window >>");
        EXPECT_EQ(Size(dialog).cx, collapsed.Collapsed.cx);
        EXPECT_EQ(Size(dialog).cy, collapsed.Collapsed.cy);
        EXPECT_EQ(TraceCount("MdigHalt"), halts + 1);
        EXPECT_EQ(TraceCount("MdispDeselect"), 1u);
        EXPECT_EQ(PreviewFlag(-1), 0u);

        TW_IDENTITY source = {};
        Call(DAT_USERINTERFACE, MSG_DISABLEDS, &source);
        Call(DAT_IDENTITY, MSG_CLOSEDS, &source);
        ClearTrace();
    }
}

TEST_F(SettingsDialog, StoredPreviewOpensShownAndAZoomChangeHidesIt)
{
    StoreSettings("M_CCIR", {{"Preview", 1}, {"DispZoom", 1}});
    Open();
    HWND dialog = Enable();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(Text(Item(1086)), "Hide preview window <<");
    EXPECT_EQ(Size(Item(1085)).cx, 768);
    EXPECT_EQ(TraceCount("MdigGrabContinuous"), 1u);

    ClickItem(1077);  // 4:1
    EXPECT_EQ(TraceCount("MdigHalt"), 1u);
    EXPECT_EQ(TraceCount("MdispDeselect"), 1u);
    EXPECT_EQ(Text(Item(1086)), "Show preview window >>");
    EXPECT_EQ(GetDispZoom(), 4);
    EXPECT_EQ(TraceCount(TraceLine("MdispZoom", {MilInfo.MilDisplay, 4, 4})), 1u);
    EXPECT_EQ(TraceCount("MdigGrabContinuous"), 1u) << "the user shows it again";
}

TEST_F(SettingsDialog, ExternalPreviewKeepsTheDialogCollapsed)
{
    StoreSettings("M_CCIR", {{"Preview", 1}, {"ExtWindow", 1}});
    Open();
    HWND dialog = Enable();
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(Checked(Item(1089)));
    EXPECT_EQ(Text(Item(1086)), "Show preview window >>");
    EXPECT_EQ(TraceCount("MdigGrabContinuous"), 0u);
    const SIZE collapsed = Size(dialog);

    ClickItem(1086);
    EXPECT_EQ(Size(dialog).cx, collapsed.cx);
    EXPECT_EQ(Size(dialog).cy, collapsed.cy);
    const long display = MilInfo.MilDisplay;
    for (long item : {3155L, 3064L, 3063L, 3051L, 3058L}) {
        EXPECT_EQ(TraceCount(TraceLine("MdispControl", {display, item, -9999})), 1u) << item;
    }
    EXPECT_EQ(TraceCount(TraceLine("MdispControl", {display, 3119}) + " \"TWAIN source live preview\""), 1u);
    EXPECT_EQ(TraceCount(TraceLine("MdispSelectWindow", {display, MilInfo.MilImage, 0})), 1u);
    EXPECT_EQ(TraceCount("MdigGrabContinuous"), 1u);
    EXPECT_NE(Log().find("Talvenix TWAIN DS: creating display in external window\r\n"), std::string::npos);

    // Unticking hides the external picture and keeps the choice.
    ClickItem(1089);
    EXPECT_EQ(TraceCount("MdispDeselect"), 1u);
    EXPECT_EQ(GetExtWindow(), 0u);
}

// "Transfer" saves only when asked, once, and always stops the live grab
// before the application hears of the transfer.
TEST_F(SettingsDialog, TransferSavesOnlyWhenAsked)
{
    for (bool save : {false, true}) {
        SCOPED_TRACE(save);
        StoreSettings("M_CCIR", {{"Preview", 1}});
        Open();
        ASSERT_NE(Enable(), nullptr);
        Slide(1027, 77);
        if (save) {
            ClickItem(1043);
            EXPECT_TRUE(Checked(Item(1043)));
        }
        ClickItem(1);
        EXPECT_EQ(SourceState, 600);
        EXPECT_EQ(TraceCount("MdigHalt"), 1u);
        EXPECT_FALSE(Checked(Item(1043)));
        EXPECT_TRUE(IsWindowVisible(Dialog())) << "stays, showing the last frame";
        EXPECT_EQ(RegistryDword("Brightness"), save ? 77 : 128);

        // The box was cleared: a second "Transfer" saves nothing more.
        Slide(1027, 99);
        ClickItem(1);
        EXPECT_EQ(RegistryDword("Brightness"), save ? 77 : 128);

        TW_IDENTITY source = {};
        Call(DAT_IDENTITY, MSG_CLOSEDS, &source);
        ClearTrace();
        ResetSourceRegistry();
    }
}

TEST_F(SettingsDialog, CancelStopsLiveRequestsCloseAndHides)
{
    StoreSettings("M_CCIR", {{"Preview", 1}});
    Open();
    HWND dialog = Enable();
    ASSERT_NE(dialog, nullptr);
    Slide(1027, 60);
    ClickItem(2);
    EXPECT_EQ(TraceCount("MdigHalt"), 1u);
    EXPECT_EQ(SourceState, 500);
    EXPECT_FALSE(IsWindowVisible(dialog));
    EXPECT_TRUE(IsWindow(dialog)) << "destroyed only by MSG_CLOSEDS";
    EXPECT_EQ(RegistryDword("Brightness"), 128) << "nothing saved";

    TW_USERINTERFACE ui = {0, 0, nullptr};
    EXPECT_EQ(Call(DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_SUCCESS);
    EXPECT_EQ(SourceState, 400);
    TW_IDENTITY source = {};
    EXPECT_EQ(Call(DAT_IDENTITY, MSG_CLOSEDS, &source), TWRC_SUCCESS);
    EXPECT_FALSE(IsWindow(dialog));
    EXPECT_EQ(DialogHandle, nullptr);
}

// "Cancel" while a transfer is pending moves the source to state 5 at once,
// and the application's MSG_RESET that follows still ends the transfers
// (once); the hold ends with it, and "Transfer" announces as many transfers
// again as the source was enabled with.
TEST_F(SettingsDialog, CancelWhileATransferIsPendingLeavesTheResetToTheApplication)
{
    StoreSettings("M_CCIR");
    Open();
    TW_CAPABILITY count = {CAP_XFERCOUNT, TWON_ONEVALUE, GlobalBlock(OneValueBytes(TWTY_INT16, 2))};
    ASSERT_EQ(Call(DAT_CAPABILITY, MSG_SET, &count), TWRC_SUCCESS);
    GlobalFree(count.hContainer);
    ASSERT_NE(Enable(), nullptr);
    ClickItem(1);
    ASSERT_EQ(SourceState, 600);
    ClickItem(2);
    EXPECT_EQ(SourceState, 500);
    EXPECT_FALSE(IsWindowEnabled(Item(1))) << "still held";
    TW_PENDINGXFERS pending = {0xAAAA, {0}};
    PendingCondition = TWCC_SUCCESS;
    ASSERT_EQ(Call(DAT_PENDINGXFERS, MSG_RESET, &pending), TWRC_SUCCESS);
    EXPECT_EQ(pending.Count, 0);
    EXPECT_EQ(PendingCondition, TWCC_SUCCESS);
    EXPECT_EQ(SourceState, 500);
    EXPECT_TRUE(IsWindowEnabled(Item(1))) << "the hold ended";
    EXPECT_EQ(Call(DAT_PENDINGXFERS, MSG_RESET, &pending), TWRC_FAILURE) << "nothing left to end";
    EXPECT_EQ(PendingCondition, TWCC_SEQERROR);
    ClickItem(1);
    ASSERT_EQ(SourceState, 600);
    ASSERT_EQ(Call(DAT_PENDINGXFERS, MSG_GET, &pending), TWRC_SUCCESS);
    EXPECT_EQ(pending.Count, 2);
    ASSERT_EQ(Call(DAT_PENDINGXFERS, MSG_RESET, &pending), TWRC_SUCCESS);
    TW_USERINTERFACE ui = {0, 0, nullptr};
    EXPECT_EQ(Call(DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_SUCCESS);
    TW_IDENTITY source = {};
    Call(DAT_IDENTITY, MSG_CLOSEDS, &source);
}

TEST_F(SettingsDialog, CloseBoxHidesThePreviewAndRequestsClose)
{
    StoreSettings("M_CCIR", {{"Preview", 1}});
    Open();
    HWND dialog = Enable();
    ASSERT_NE(dialog, nullptr);
    const SIZE shown = Size(dialog);
    SendMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    Pump();
    EXPECT_EQ(SourceState, 500);
    EXPECT_EQ(TraceCount("MdigHalt"), 1u);
    EXPECT_EQ(TraceCount("MdispDeselect"), 1u);
    EXPECT_LT(Size(dialog).cy, shown.cy);
    EXPECT_EQ(PreviewFlag(-1), 0u) << "the next dialog opens without the preview";
    EXPECT_TRUE(IsWindow(dialog));
}

std::vector<TW_UINT16> NoticesSeen;

TW_UINT16 __stdcall RecordNotice(pTW_IDENTITY, pTW_IDENTITY, TW_UINT32, TW_UINT16, TW_UINT16 msg, TW_MEMREF)
{
    NoticesSeen.push_back(msg);
    return TWRC_SUCCESS;
}

// The settings-only dialog ends with "OK", which keeps the settings (saved
// when asked) and sends MSG_CLOSEDSOK, or with "Cancel" (MSG_CLOSEDSREQ);
// neither announces a transfer, Enter included. The notices go through the
// entry point a 2.x manager gave.
TEST_F(SettingsDialog, SettingsOnlyDialogEndsWithOkOrCancelAndNeverAnnouncesATransfer)
{
    StoreSettings("M_CCIR");
    Open();
    ManagerEntry.DSM_Entry = RecordNotice;
    NoticesSeen.clear();
    HWND dialog = Enable(true);
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(IsWindowEnabled(Item(1)));
    EXPECT_EQ(Text(Item(1)), "OK");
    Slide(1027, 77);
    ClickItem(1043);
    ClickItem(1);
    EXPECT_EQ(NoticesSeen, std::vector<TW_UINT16>{MSG_CLOSEDSOK});
    EXPECT_EQ(SourceState, 500);
    EXPECT_FALSE(IsWindowVisible(dialog));
    EXPECT_EQ(RegistryDword("Brightness"), 77) << "saved as asked";
    EXPECT_EQ(GetBrightness(), 77u) << "the board keeps it";
    SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);  // Enter
    EXPECT_EQ(SourceState, 500);

    TW_USERINTERFACE ui = {1, 0, nullptr};
    ASSERT_EQ(Call(DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_SUCCESS);
    NoticesSeen.clear();
    ASSERT_NE(Enable(true), nullptr);
    ClickItem(2);
    EXPECT_EQ(NoticesSeen, std::vector<TW_UINT16>{MSG_CLOSEDSREQ});
    EXPECT_EQ(SourceState, 500);

    // An ordinary enabling has its "Transfer" again.
    ASSERT_EQ(Call(DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_SUCCESS);
    ASSERT_NE(Enable(), nullptr);
    EXPECT_EQ(Text(Item(1)), "Transfer");
    ManagerEntry = TW_ENTRYPOINT{};
}

BOOL CALLBACK CountSettingsWindow(HWND window, LPARAM counter)
{
    char title[64] = "";
    GetWindowTextA(window, title, sizeof title);
    *reinterpret_cast<size_t*>(counter) += std::string(title) == "Frame Grabber Settings" ? 1 : 0;
    return TRUE;
}

size_t SettingsWindows()
{
    size_t count = 0;
    EnumThreadWindows(GetCurrentThreadId(), CountSettingsWindow, reinterpret_cast<LPARAM>(&count));
    return count;
}

TEST_F(SettingsDialog, EnablingAgainReplacesTheHiddenDialogAndCloseDestroysIt)
{
    StoreSettings("M_CCIR", {{"Preview", 1}});
    Open();
    HWND first = Enable();
    ASSERT_NE(first, nullptr);
    TW_USERINTERFACE ui = {1, 0, nullptr};
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(Call(DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_SUCCESS);
        EXPECT_FALSE(IsWindowVisible(DialogHandle));
        HWND earlier = DialogHandle;
        HWND next = Enable();
        ASSERT_NE(next, nullptr);
        EXPECT_FALSE(IsWindow(earlier));
        EXPECT_TRUE(IsWindowVisible(next));
        EXPECT_EQ(SettingsWindows(), 1u);
        EXPECT_EQ(Text(Item(1086)), "Hide preview window <<") << "opens as the user left it";
    }
    // Each dialog let go of the preview before the next took it.
    EXPECT_EQ(TraceCount("MdispSelectWindow"), 4u);
    EXPECT_EQ(TraceCount("MdispDeselect"), 3u);

    // Closing in state 5 with the preview running: stopped and detached
    // before the digitizer goes.
    TW_IDENTITY source = {};
    EXPECT_EQ(Call(DAT_IDENTITY, MSG_CLOSEDS, &source), TWRC_SUCCESS);
    EXPECT_EQ(SettingsWindows(), 0u);
    EXPECT_EQ(DisplaySelected, 0u);
    const auto trace = Trace();
    const auto position = [&](const std::string& prefix) {
        for (size_t i = trace.size(); i-- > 0;) {
            if (trace[i].rfind(prefix, 0) == 0) {
                return i;
            }
        }
        return trace.size();
    };
    EXPECT_LT(position("MdigHalt"), position("MdigFree"));
    EXPECT_LT(position("MdispDeselect"), position("MdispFree"));
    EXPECT_LT(position("MdispDeselect"), position("MbufFree"));

    // The next opening in the same process shows the preview again.
    ClearTrace();
    Open();
    ASSERT_NE(Enable(), nullptr);
    EXPECT_EQ(TraceCount("MdispSelectWindow"), 1u);
    EXPECT_EQ(TraceCount("MdigGrabContinuous"), 1u);
}

TEST_F(SettingsDialog, StaysResponsiveWhileThePreviewRuns)
{
    StoreSettings("M_CCIR", {{"Preview", 1}});
    SetBoardEnv("ORIONSIM_FRAME_MS", "5");
    Open();
    HWND dialog = Enable();
    ASSERT_NE(dialog, nullptr);
    // The library draws on its own thread: messages to the dialog are
    // answered at once, however many frames arrive meanwhile.
    for (int i = 0; i < 50; ++i) {
        DWORD_PTR result = 0;
        ASSERT_NE(SendMessageTimeoutA(dialog, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &result), 0);
        Pump();
    }
    ClickItem(1086);
    EXPECT_EQ(TraceCount("MdigHalt"), 1u);
}
}  // namespace

namespace {

// From "Transfer" until the transfers end nothing restarts the digitizer or
// grabs beside them, whether by a click or by a command sent to a disabled
// button; level sliders stay usable. A disabled source stops its preview,
// and enabling without the dialog transfers with no grab running.
TEST_F(SettingsDialog, TransfersHoldTheDigitizerAndThePreview)
{
    StoreSettings("M_PAL", {{"Preview", 1}});
    SetBoardEnv("ORIONSIM_PATTERN", "gradient");
    Open();
    // One image a Transfer, negotiated before enabling as applications do.
    TW_CAPABILITY one = {CAP_XFERCOUNT, TWON_ONEVALUE, GlobalBlock(OneValueBytes(TWTY_INT16, 1))};
    ASSERT_EQ(Call(DAT_CAPABILITY, MSG_SET, &one), TWRC_SUCCESS);
    GlobalFree(one.hContainer);
    HWND dialog = Enable();
    ASSERT_NE(dialog, nullptr);
    SelectTab(1);
    const int dialogControls[] = {1086, 1089, 1077, 1078, 1079, 1080, 1081};
    const int pageControls[] = {1020, 1021, 1022, 1023, 1049, 1050, 1051};
    const auto usable = [&] {
        std::vector<bool> enabled = {IsWindowEnabled(Item(1)) != FALSE};
        for (int id : dialogControls) {
            enabled.push_back(IsWindowEnabled(Item(id)) != FALSE);
        }
        for (int id : pageControls) {
            enabled.push_back(IsWindowEnabled(PageItem(id)) != FALSE);
        }
        return enabled;
    };
    const std::vector<bool> beforeTransfers = usable();
    // A user who keeps the dialog open for another image: each Transfer
    // ends with MSG_ENDXFER in state 5, the dialog as it was, the preview
    // running again.
    for (int image = 1; image <= 2; ++image) {
        SCOPED_TRACE(image);
        ASSERT_NE(LiveRunning, 0u);
        ClickItem(1);
        ASSERT_EQ(SourceState, 600);
        EXPECT_EQ(LiveRunning, 0u);
        TW_HANDLE bitmap = nullptr;
        ASSERT_EQ(ImageCall(DAT_IMAGENATIVEXFER, MSG_GET, &bitmap), TWRC_XFERDONE);
        const std::vector<uint8_t> dib = BlockBytes(bitmap);
        GlobalFree(bitmap);
        DecodedImage decoded;
        std::string error;
        EXPECT_TRUE(DecodeDib(dib.data(), dib.size(), decoded, error)) << error;
        EXPECT_EQ(decoded.Width, 768u);
        EXPECT_TRUE(MatchesPattern(decoded, 3, error)) << error;
        TW_PENDINGXFERS pending = {};
        ASSERT_EQ(Call(DAT_PENDINGXFERS, MSG_ENDXFER, &pending), TWRC_SUCCESS);
        EXPECT_EQ(pending.Count, 0);
        ASSERT_EQ(SourceState, 500);
        EXPECT_EQ(usable(), beforeTransfers);
        EXPECT_NE(LiveRunning, 0u) << "the preview runs again";
    }

    ClickItem(1);
    ASSERT_EQ(SourceState, 600);
    EXPECT_EQ(LiveRunning, 0u);
    // "Transfer" among them: it shows that it waits for the transfers.
    EXPECT_FALSE(IsWindowEnabled(Item(1)));
    for (int id : dialogControls) {
        EXPECT_FALSE(IsWindowEnabled(Item(id))) << id;
    }
    for (int id : pageControls) {
        EXPECT_FALSE(IsWindowEnabled(PageItem(id))) << id;
    }
    ClearTrace();
    for (int id : dialogControls) {
        SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(Item(id)));
    }
    for (int id : pageControls) {
        SendMessageA(Page(), WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(PageItem(id)));
    }
    Pump();
    EXPECT_EQ(TraceCount("MdigGrabContinuous"), 0u);
    EXPECT_EQ(TraceCount("MdigFree"), 0u);
    EXPECT_EQ(TraceCount("MdigAlloc"), 0u);
    EXPECT_EQ(TraceCount("MdispSelect"), 0u);
    SelectTab(0);
    Slide(1027, 77);
    EXPECT_EQ(TraceCount("MdigReference"), 1u) << "levels still change";
    SelectTab(1);
    EXPECT_FALSE(IsWindowEnabled(PageItem(1022))) << "a page built during the hold";
    SourceState = 700;  // an image delivered: Transfer again announces nothing
    ClickItem(1);
    EXPECT_EQ(SourceState, 700);
    SourceState = 600;

    // The transfers end: everything is usable again, the preview resumes.
    TW_PENDINGXFERS pending = {};
    ASSERT_EQ(Call(DAT_PENDINGXFERS, MSG_RESET, &pending), TWRC_SUCCESS);
    EXPECT_TRUE(IsWindowEnabled(Item(1)));
    for (int id : dialogControls) {
        EXPECT_TRUE(IsWindowEnabled(Item(id))) << id;
    }
    EXPECT_TRUE(IsWindowEnabled(PageItem(1022)));
    EXPECT_EQ(TraceCount("MdigGrabContinuous"), 1u);

    TW_USERINTERFACE ui = {0, 0, nullptr};
    ASSERT_EQ(Call(DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_SUCCESS);
    EXPECT_EQ(LiveRunning, 0u);
    EXPECT_EQ(DisplaySelected, 0u);
    ASSERT_EQ(Call(DAT_USERINTERFACE, MSG_ENABLEDS, &ui), TWRC_SUCCESS);
    EXPECT_EQ(SourceState, 600);
    EXPECT_EQ(LiveRunning, 0u);
    EXPECT_EQ(TraceCount("MdigGrabContinuous"), 1u);
    TW_IDENTITY source = {};
    Call(DAT_IDENTITY, MSG_CLOSEDS, &source);
}

}  // namespace
