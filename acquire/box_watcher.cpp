#include "acquire/box_watcher.h"

#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <string>

namespace {

struct Found {
    std::vector<DWORD> Processes;
    std::vector<HWND> Boxes;
};

// This process and the ones it started: a 64-bit source's boxes come from
// its 32-bit host process.
std::vector<DWORD> OwnProcesses()
{
    std::vector<DWORD> processes{GetCurrentProcessId()};
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return processes;
    }
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
        if (entry.th32ParentProcessID == processes[0] && entry.th32ProcessID != processes[0]) {
            processes.push_back(entry.th32ProcessID);
        }
    }
    CloseHandle(snapshot);
    return processes;
}

BOOL CALLBACK CollectBoxes(HWND window, LPARAM param)
{
    auto* found = reinterpret_cast<Found*>(param);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    char className[16] = "";
    GetClassNameA(window, className, sizeof className);
    // A message box is a dialog with a static text and an OK button.
    const bool ours = std::find(found->Processes.begin(), found->Processes.end(), process) != found->Processes.end();
    if (ours && lstrcmpA(className, "#32770") == 0 && IsWindowVisible(window) &&
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
    Found found{OwnProcesses(), {}};
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
