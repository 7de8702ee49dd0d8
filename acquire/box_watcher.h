// Unattended runs: the source's modal message boxes would wait for a person.
// A thread finds the message boxes of this process and of the processes it
// started (a 64-bit source's host), prints caption and text,
// and presses OK.
#pragma once

#include <windows.h>

#include <atomic>
#include <thread>
#include <vector>

class BoxWatcher {
public:
    BoxWatcher();
    ~BoxWatcher();
    BoxWatcher(const BoxWatcher&) = delete;
    BoxWatcher& operator=(const BoxWatcher&) = delete;

private:
    void Scan();
    std::atomic<bool> stop_{false};
    std::vector<HWND> answered_;
    std::thread thread_;
};
