#include "rig/message_box_watcher.h"

MessageBoxWatcher::MessageBoxWatcher()
    : MessageBoxWatcher({"Talvenix TWAIN DS", "Talvenix TWAIN driver error message"})
{
}

MessageBoxWatcher::MessageBoxWatcher(std::vector<std::string> captions) : captions_(std::move(captions))
{
    stop_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    thread_ = std::thread([this] { Run(); });
}

MessageBoxWatcher::~MessageBoxWatcher()
{
    SetEvent(stop_);
    thread_.join();
    CloseHandle(stop_);
}

std::vector<SeenMessageBox> MessageBoxWatcher::Seen() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
}

void MessageBoxWatcher::Clear()
{
    std::lock_guard<std::mutex> lock(mutex_);
    seen_.clear();
}

void MessageBoxWatcher::Run()
{
    while (WaitForSingleObject(stop_, 20) == WAIT_TIMEOUT) {
        Scan();
    }
    Scan();
}

namespace {

struct ScanContext {
    DWORD Process;
    std::vector<HWND> Boxes;
};

BOOL CALLBACK CollectDialogs(HWND window, LPARAM param)
{
    auto* context = reinterpret_cast<ScanContext*>(param);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    char className[32] = "";
    GetClassNameA(window, className, sizeof className);
    if (process == context->Process && lstrcmpA(className, "#32770") == 0 && IsWindowVisible(window)) {
        context->Boxes.push_back(window);
    }
    return TRUE;
}

BOOL CALLBACK LongestStaticText(HWND child, LPARAM param)
{
    auto* text = reinterpret_cast<std::string*>(param);
    char className[32] = "";
    GetClassNameA(child, className, sizeof className);
    if (lstrcmpiA(className, "Static") == 0) {
        char buffer[1024] = "";
        GetWindowTextA(child, buffer, sizeof buffer);
        if (lstrlenA(buffer) > static_cast<int>(text->size())) {
            *text = buffer;
        }
    }
    return TRUE;
}

}  // namespace

void MessageBoxWatcher::Scan()
{
    {
        // A closed box's handle may come back for a later box.
        std::lock_guard<std::mutex> lock(mutex_);
        std::erase_if(dismissed_, [](HWND box) { return !IsWindow(box); });
    }
    ScanContext context{GetCurrentProcessId(), {}};
    EnumWindows(CollectDialogs, reinterpret_cast<LPARAM>(&context));
    for (HWND box : context.Boxes) {
        char caption[256] = "";
        GetWindowTextA(box, caption, sizeof caption);
        bool watched = false;
        for (const std::string& wanted : captions_) {
            watched = watched || wanted == caption;
        }
        if (!watched) {
            continue;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        bool known = false;
        for (HWND done : dismissed_) {
            known = known || done == box;
        }
        if (!known) {
            std::string text;
            EnumChildWindows(box, LongestStaticText, reinterpret_cast<LPARAM>(&text));
            seen_.push_back({caption, text});
            dismissed_.push_back(box);
        }
        PostMessageA(box, WM_COMMAND, IDOK, 0);
    }
}
