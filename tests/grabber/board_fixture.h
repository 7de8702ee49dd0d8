// In-process rig for the board bring-up: the source's own operations run in
// the test program against the simulated imaging library, whose environment
// controls shape the board and whose call trace shows what the source asked.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "rig/in_process_source.h"
#include "rig/message_box_watcher.h"

// The source's and the library's captions: an unexpected box is seen too.
constexpr const char* DsCaption = "Talvenix TWAIN DS";
constexpr const char* DriverCaption = "Talvenix TWAIN driver error message";
constexpr const char* LibraryCaption = "Imaging library error";

class BoardTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The log as written ("\n" stored as CR LF), and the trace's lines.
    std::string Log() const;
    std::vector<std::string> Trace() const;
    void ClearLogAndTrace() const;

    // A library environment control for the next system allocation.
    static void SetBoardEnv(const char* name, const char* value);

    // The opening sequence of the source up to ApplySettings; asserts each
    // step that must succeed.
    void OpenBoard();

    // The source's own boxes (the library's are listed apart).
    std::vector<SeenMessageBox> SourceBoxes() const;
    std::vector<SeenMessageBox> LibraryBoxes() const;

    InProcessSource source_;
    std::string dir_;
    std::string tracePath_;
    std::unique_ptr<MessageBoxWatcher> watcher_;
};

// "\n" as the log file stores it.
std::string LogText(const std::string& text);

// Every expected piece of text occurs in `text`, in this order.
void ExpectInOrder(const std::string& text, const std::vector<std::string>& pieces);

// How often `piece` occurs in `text`.
size_t Count(const std::string& text, const std::string& piece);

// A library call as its trace line shows it.
std::string Call(const std::string& name, const std::vector<long>& arguments);

// Runs this test program again from a folder of its own holding only the
// given files (full paths), with TALVENIX_CHILD_CASE set to `caseName` and
// only the ChildCase test of that name selected. Answers the exit code; the
// child's output goes to `output`.
DWORD RunChildCase(const std::string& caseName, const std::vector<std::string>& files, std::string& output);

// True in a child run for `caseName`.
bool IsChildCase(const char* caseName);
