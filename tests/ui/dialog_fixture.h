// In-process rig for the settings dialog: the source's own code runs in the
// test program (its records can be read directly), its dialog templates come
// from the built module, and the simulated imaging library's trace shows what
// the dialog asked of the board. Windows are real (Xvfb), driven by messages
// to their controls as a user's clicks and drags would send them.
#pragma once

#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "rig/in_process_source.h"
#include "rig/message_box_watcher.h"

class DialogTest : public ::testing::Test {
public:
    void SetUp() override;
    void TearDown() override;

    // Library environment control, read at the next opening.
    static void SetBoardEnv(const char* name, const char* value);
    // The stored settings the next opening reads: the defaults, with some
    // values replaced (REG_DWORD, or the format text).
    void StoreSettings(const char* format, const std::vector<std::pair<const char*, DWORD>>& values = {});

    // MSG_OPENDS through DS_Entry; asserts success.
    void Open();
    // MSG_ENABLEDS (or MSG_ENABLEDSUIONLY) with ShowUI: the dialog, or nullptr.
    HWND Enable(bool uiOnly = false);
    unsigned short Call(unsigned short dat, unsigned short msg, void* data);
    // A DG_IMAGE triplet.
    unsigned short ImageCall(unsigned short dat, unsigned short msg, void* data);

    // Delivers whatever is queued for this thread as an application's loop
    // would (bounded: the library's repaints never end while it grabs).
    void Pump();

    HWND Dialog() const;
    HWND Item(int id) const;
    HWND Page() const;
    HWND PageItem(int id) const;
    void Click(HWND button);
    void ClickItem(int id) { Click(Item(id)); }
    void ClickPageItem(int id) { Click(PageItem(id)); }
    void SelectTab(int index);
    // Moves a page's slider to `position` and sends the notification a drag
    // sends for it.
    void Slide(int id, int position, WORD code = TB_THUMBTRACK);
    std::string Text(HWND window) const;
    bool Checked(HWND button) const;
    // Window size, and position in the dialog's client area.
    static SIZE Size(HWND window);
    POINT ClientPosition(HWND window) const;

    // The trace's lines, and how many begin with `prefix`.
    std::vector<std::string> Trace() const;
    size_t TraceCount(const std::string& prefix) const;
    void ClearTrace() const;
    std::string Log() const;
    void ClearLog() const;

    // A DWORD or text value of the settings key; -1 / "" when missing.
    static long RegistryDword(const char* name);
    static std::string RegistryText(const char* name);

    std::vector<SeenMessageBox> Boxes() const { return watcher_->Seen(); }

    InProcessSource source_;
    std::string dir_;
    std::string tracePath_;
    std::unique_ptr<MessageBoxWatcher> watcher_;
};

// A library call as the trace writes it.
std::string TraceLine(const std::string& name, const std::vector<long>& arguments);
// Reference items of the digitizer as the settings send them.
constexpr long BlackRefItem = 4003, WhiteRefItem = 4005, HueItem = 4006, SaturationItem = 4007,
               BrightnessItem = 4008, ContrastItem = 4009;
