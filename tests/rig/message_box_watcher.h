// Modal message boxes are real windows here. The watcher runs on its own
// thread, finds the boxes of this process with the given captions, records
// caption and text, and presses OK so no test hangs on one.
#pragma once

#include <windows.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct SeenMessageBox {
    std::string Caption;
    std::string Text;
};

class MessageBoxWatcher {
public:
    // Default captions: the source's own two.
    MessageBoxWatcher();
    explicit MessageBoxWatcher(std::vector<std::string> captions);
    ~MessageBoxWatcher();
    MessageBoxWatcher(const MessageBoxWatcher&) = delete;
    MessageBoxWatcher& operator=(const MessageBoxWatcher&) = delete;

    std::vector<SeenMessageBox> Seen() const;
    void Clear();

private:
    void Run();
    void Scan();

    std::vector<std::string> captions_;
    mutable std::mutex mutex_;
    std::vector<SeenMessageBox> seen_;
    std::vector<HWND> dismissed_;
    HANDLE stop_ = nullptr;
    std::thread thread_;
};
