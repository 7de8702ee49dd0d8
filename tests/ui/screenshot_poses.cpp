// Not a test: the poses tools/screenshots.sh photographs. Each pose writes
// <folder>\<name>.ready and keeps the dialog live until <name>.done appears
// (or 30 s pass). Run with --gtest_also_run_disabled_tests and
// TALVENIX_SHOTS set to the folder.
#include "twain/twain_types.h"
#include "ui/dialog_fixture.h"

namespace {

using DISABLED_Screenshots = DialogTest;

void Hold(DialogTest& test, const std::string& folder, const std::string& name)
{
    const std::string ready = folder + "\\" + name + ".ready";
    const std::string done = folder + "\\" + name + ".done";
    HANDLE file = CreateFileA(ready.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    CloseHandle(file);
    for (int i = 0; i < 600 && GetFileAttributesA(done.c_str()) == INVALID_FILE_ATTRIBUTES; ++i) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        test.Pump();
    }
}

TEST_F(DISABLED_Screenshots, Poses)
{
    char folder[MAX_PATH] = "";
    ASSERT_NE(GetEnvironmentVariableA("TALVENIX_SHOTS", folder, sizeof folder), 0u);
    const struct {
        const char* name;
        const char* format;
        DWORD zoom;
        int tab;
    } poses[] = {
        {"colour-composite", "M_PAL", 0xFFFFFFFE, 0},
        {"colour-video-norm", "M_PAL", 0xFFFFFFFE, 1},
        {"rgb-references", "M_PAL_RGB", 0xFFFFFFFE, 0},
        {"rgb-video-norm", "M_PAL_RGB", 0xFFFFFFFE, 1},
    };
    for (const auto& pose : poses) {
        StoreSettings(pose.format, {{"Preview", 1}, {"DispZoom", pose.zoom}});
        Open();
        ASSERT_NE(Enable(), nullptr);
        SetWindowPos(Dialog(), nullptr, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
        SelectTab(pose.tab);
        Hold(*this, folder, pose.name);
        TW_IDENTITY source = {};
        Call(DAT_IDENTITY, MSG_CLOSEDS, &source);
    }
}

}  // namespace
