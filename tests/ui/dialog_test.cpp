// The settings dialog: what it shows at creation, the preview's geometry and
// the library calls of showing and hiding it, the buttons' effect on the
// TWAIN state, the registry and the live grab, and its lifetime.
#include <windows.h>

#include <commctrl.h>

#include <algorithm>

#include "grabber/live_preview.h"
#include "grabber/startup.h"
#include "settings/source_settings.h"
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
}  // namespace
