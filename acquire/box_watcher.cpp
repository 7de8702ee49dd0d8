#include "acquire/box_watcher.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace {

struct Found {
    DWORD Process;
    std::vector<HWND> Boxes;
};

BOOL CALLBACK CollectBoxes(HWND window, LPARAM param)
{
    auto* found = reinterpret_cast<Found*>(param);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    char className[16] = "";
    GetClassNameA(window, className, sizeof className);
    // A message box is a dialog with a static text and an OK button.
    if (process == found->Process && lstrcmpA(className, "#32770") == 0 && IsWindowVisible(window) &&
        GetDlgItem(window, IDOK) != nullptr && GetDlgItem(window, 0xFFFF) != nullptr) {
        found->Boxes.push_back(window);
    }
    return TRUE;
}

}  // namespace

BoxWatcher::BoxWatcher()
{
    thread_ = std::thread([this] {
        while (!stop_) {
            Scan();
            Sleep(50);
        }
    });
}

BoxWatcher::~BoxWatcher()
{
    stop_ = true;
    thread_.join();
}

void BoxWatcher::Scan()
{
    answered_.erase(std::remove_if(answered_.begin(), answered_.end(), [](HWND box) { return !IsWindow(box); }),
                    answered_.end());
    Found found{GetCurrentProcessId(), {}};
    EnumWindows(CollectBoxes, reinterpret_cast<LPARAM>(&found));
    for (HWND box : found.Boxes) {
        if (std::find(answered_.begin(), answered_.end(), box) == answered_.end()) {
            char caption[256] = "";
            char text[1024] = "";
            GetWindowTextA(box, caption, sizeof caption);
            GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
            std::printf("message box \"%s\": %s (answered OK)\n", caption, text);
            std::fflush(stdout);
            answered_.push_back(box);
        }
        PostMessageA(box, WM_COMMAND, IDOK, 0);
    }
}
