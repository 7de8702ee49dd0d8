#include "ui/dialog_fixture.h"

#include <windows.h>

#include <commctrl.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "capability/store.h"
#include "grabber/live_preview.h"
#include "grabber/startup.h"
#include "rig/ds_rig.h"
#include "rig/in_process_source.h"
#include "settings/input_lut.h"
#include "settings/registry.h"
#include "settings/source_settings.h"
#include "twain/source.h"
#include "ui/settings_dialog.h"

extern "C" TW_UINT16 __stdcall DS_Entry(pTW_IDENTITY, TW_UINT32, TW_UINT16, TW_UINT16, TW_MEMREF);

namespace {

TW_IDENTITY App = TestAppIdentity(1);

}  // namespace

void DialogTest::SetUp()
{
    watcher_ = std::make_unique<MessageBoxWatcher>(
        std::vector<std::string>{"Talvenix TWAIN DS", "Talvenix TWAIN driver error message", "Imaging library error"});
    // Dialog templates and the version line come from the built module.
    StartInProcessSource(source_, "talvenix_ui");
    dir_ = source_.Folder;
    tracePath_ = source_.TracePath;
    // The preview's grab thread runs at its own pace; no assertion waits on it.
    SetEnvironmentVariableA("ORIONSIM_FRAME_MS", "20");
    AppIdentity = {};
    SourceState = 300;
    // As after a fresh load of the module.
    DisplaySelected = 0;
    LiveMode = 0;
}

void DialogTest::TearDown()
{
    if (SourceState > 300) {
        TW_IDENTITY source = {};
        DS_Entry(&App, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &source);
    }
    Pump();
    EXPECT_EQ(DialogHandle, nullptr);
    AppIdentity = {};
    SourceState = 300;
    watcher_.reset();
    StopInProcessSource(source_);
}

void DialogTest::SetBoardEnv(const char* name, const char* value)
{
    SetEnvironmentVariableA(name, value);
}

void DialogTest::StoreSettings(const char* format, const std::vector<std::pair<const char*, DWORD>>& values)
{
    ASSERT_EQ(CreateDefaultSettings(), 0);
    if (format != nullptr) {
        WriteRegistryValue(SettingsKeyPath, "DigFormat", REG_SZ, format, static_cast<DWORD>(std::strlen(format)));
    }
    for (const auto& [name, value] : values) {
        WriteRegistryValue(SettingsKeyPath, name, REG_DWORD, &value, sizeof value);
    }
}

void DialogTest::Open()
{
    TW_IDENTITY source = {};
    source.Id = 2;
    std::strcpy(source.ProductName, "Talvenix Matrox Orion driver");
    ASSERT_EQ(DS_Entry(&App, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &source), TWRC_SUCCESS);
    ASSERT_EQ(SourceState, 400);
}

HWND DialogTest::Enable(bool uiOnly)
{
    TW_USERINTERFACE ui = {1, 0, nullptr};
    const TW_UINT16 rc = Call(DAT_USERINTERFACE, uiOnly ? MSG_ENABLEDSUIONLY : MSG_ENABLEDS, &ui);
    EXPECT_EQ(rc, TWRC_SUCCESS);
    Pump();
    return DialogHandle;
}

unsigned short DialogTest::Call(unsigned short dat, unsigned short msg, void* data)
{
    return DS_Entry(&App, DG_CONTROL, dat, msg, data);
}

unsigned short DialogTest::ImageCall(unsigned short dat, unsigned short msg, void* data)
{
    return DS_Entry(&App, DG_IMAGE, dat, msg, data);
}

void DialogTest::Pump()
{
    MSG message;
    for (int i = 0; i < 500 && PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE); ++i) {
        if (DialogHandle == nullptr || !IsDialogMessageA(DialogHandle, &message)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
}

HWND DialogTest::Dialog() const
{
    return DialogHandle;
}

HWND DialogTest::Item(int id) const
{
    return GetDlgItem(DialogHandle, id);
}

HWND DialogTest::Page() const
{
    const PageState* state = GetPageState(DialogHandle);
    return state != nullptr ? state->CurrentPage : nullptr;
}

HWND DialogTest::PageItem(int id) const
{
    return GetDlgItem(Page(), id);
}

void DialogTest::Click(HWND button)
{
    EXPECT_NE(button, nullptr);
    SendMessageA(button, BM_CLICK, 0, 0);
    Pump();
}

void DialogTest::SelectTab(int index)
{
    HWND tabs = Item(1034);
    SendMessageA(tabs, TCM_SETCURSEL, index, 0);
    NMHDR header = {tabs, 1034, static_cast<UINT>(TCN_SELCHANGE)};
    SendMessageA(DialogHandle, WM_NOTIFY, 1034, reinterpret_cast<LPARAM>(&header));
    Pump();
}

void DialogTest::Slide(int id, int position, WORD code)
{
    HWND slider = PageItem(id);
    ASSERT_NE(slider, nullptr) << id;
    SendMessageA(slider, TBM_SETPOS, TRUE, position);
    SendMessageA(Page(), WM_HSCROLL, MAKEWPARAM(code, position), reinterpret_cast<LPARAM>(slider));
}

std::string DialogTest::Text(HWND window) const
{
    char text[256] = "";
    GetWindowTextA(window, text, sizeof text);
    return text;
}

bool DialogTest::Checked(HWND button) const
{
    return SendMessageA(button, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

SIZE DialogTest::Size(HWND window)
{
    RECT rect = {};
    GetWindowRect(window, &rect);
    return {rect.right - rect.left, rect.bottom - rect.top};
}

POINT DialogTest::ClientPosition(HWND window) const
{
    RECT rect = {};
    GetWindowRect(window, &rect);
    POINT corner = {rect.left, rect.top};
    ScreenToClient(DialogHandle, &corner);
    return corner;
}

std::vector<std::string> DialogTest::Trace() const
{
    return ReadLines(tracePath_);
}

size_t DialogTest::TraceCount(const std::string& prefix) const
{
    size_t count = 0;
    for (const std::string& line : Trace()) {
        count += line.rfind(prefix, 0) == 0 ? 1 : 0;
    }
    return count;
}

void DialogTest::ClearTrace() const
{
    DeleteFileA(tracePath_.c_str());
}

std::string DialogTest::Log() const
{
    return ReadFileText(dir_ + "\\TALVENIX.LOG");
}

void DialogTest::ClearLog() const
{
    DeleteFileA((dir_ + "\\TALVENIX.LOG").c_str());
}

long DialogTest::RegistryDword(const char* name)
{
    DWORD value = 0;
    DWORD size = sizeof value;
    if (RegGetValueA(HKEY_CURRENT_USER, SettingsKeyPath, name, RRF_RT_REG_DWORD, nullptr, &value, &size) !=
        ERROR_SUCCESS) {
        return -1;
    }
    return static_cast<long>(value);
}

std::string DialogTest::RegistryText(const char* name)
{
    char text[256] = "";
    DWORD size = sizeof text;
    if (RegGetValueA(HKEY_CURRENT_USER, SettingsKeyPath, name, RRF_RT_REG_SZ, nullptr, text, &size) != ERROR_SUCCESS) {
        return "";
    }
    return text;
}

std::string TraceLine(const std::string& name, const std::vector<long>& arguments)
{
    std::string line = name;
    for (long argument : arguments) {
        // Appended piece by piece: GCC 12 at -O3 warns, wrongly, of
        // overlapping copies (-Wrestrict) in " " + std::to_string(...).
        line += ' ';
        line += std::to_string(argument);
    }
    return line;
}
