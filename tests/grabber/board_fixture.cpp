#include "grabber/board_fixture.h"
#include "grabber/video_adjustments.h"

#include <cstring>
#include <sstream>

#include "capability/store.h"
#include "grabber/startup.h"
#include "rig/ds_rig.h"
#include "rig/in_process_source.h"
#include "settings/input_lut.h"
#include "settings/registry.h"
#include "settings/source_settings.h"
#include "twain/source.h"


void BoardTest::SetUp()
{
    watcher_ = std::make_unique<MessageBoxWatcher>(std::vector<std::string>{DsCaption, DriverCaption, LibraryCaption});
    StartInProcessSource(source_, "talvenix_board");
    dir_ = source_.Folder;
    tracePath_ = source_.TracePath;
    SetEnvironmentVariableA("ORIONSIM_FRAME_MS", "0");
    BuildCapabilityDefaults();
}

void BoardTest::TearDown()
{
    MilFreeSystem();
    FreeCapabilities();
    EndInputLut();
    watcher_.reset();
    StopInProcessSource(source_);
}

std::string BoardTest::Log() const
{
    return ReadFileText(dir_ + "\\TALVENIX.LOG");
}

std::vector<std::string> BoardTest::Trace() const
{
    return ReadLines(tracePath_);
}

void BoardTest::ClearLogAndTrace() const
{
    DeleteFileA((dir_ + "\\TALVENIX.LOG").c_str());
    DeleteFileA(tracePath_.c_str());
}

void BoardTest::SetBoardEnv(const char* name, const char* value)
{
    SetEnvironmentVariableA(name, value);
}

void BoardTest::OpenBoard()
{
    ASSERT_EQ(MilInitSystem(), 0);
    ASSERT_EQ(ReadSettings(), 0);
    char format[256];
    CopyDigFormat(format);
    if (format[0] == '\0') {
        std::strcpy(format, "M_CCIR");
    }
    ASSERT_EQ(MilInitDigitizer(format), 0);
    ApplySettings();
}

std::vector<SeenMessageBox> BoardTest::SourceBoxes() const
{
    std::vector<SeenMessageBox> boxes;
    for (const SeenMessageBox& box : watcher_->Seen()) {
        if (box.Caption != LibraryCaption) {
            boxes.push_back(box);
        }
    }
    return boxes;
}

std::vector<SeenMessageBox> BoardTest::LibraryBoxes() const
{
    std::vector<SeenMessageBox> boxes;
    for (const SeenMessageBox& box : watcher_->Seen()) {
        if (box.Caption == LibraryCaption) {
            boxes.push_back(box);
        }
    }
    return boxes;
}

std::string LogText(const std::string& text)
{
    std::string stored;
    for (char c : text) {
        if (c == '\n') {
            stored += '\r';
        }
        stored += c;
    }
    return stored;
}

void ExpectInOrder(const std::string& text, const std::vector<std::string>& pieces)
{
    size_t from = 0;
    for (const std::string& piece : pieces) {
        const std::string stored = LogText(piece);
        const size_t at = text.find(stored, from);
        if (at == std::string::npos) {
            ADD_FAILURE() << "missing, or out of order: \"" << piece << "\"\nin:\n" << text;
            return;
        }
        from = at + stored.size();
    }
}

size_t Count(const std::string& text, const std::string& piece)
{
    const std::string stored = LogText(piece);
    size_t count = 0;
    for (size_t at = text.find(stored); at != std::string::npos; at = text.find(stored, at + stored.size())) {
        ++count;
    }
    return count;
}

std::string Call(const std::string& name, const std::vector<long>& arguments)
{
    std::string line = name;
    for (long argument : arguments) {
        line += ' ' + std::to_string(argument);
    }
    return line;
}

bool IsChildCase(const char* caseName)
{
    char value[64] = "";
    GetEnvironmentVariableA("TALVENIX_CHILD_CASE", value, sizeof value);
    return std::strcmp(value, caseName) == 0;
}

DWORD RunChildCase(const std::string& caseName, const std::vector<std::string>& files, std::string& output)
{
    const std::string folder = TempFolder() + "\\talvenix_child_" + caseName;
    CreateDirectoryA(folder.c_str(), nullptr);
    // A file left from an earlier run must not be found by the child.
    for (const char* stale : {"MIL.DLL", "MILORION.DLL", "Twain_32.ds", "board_tests.exe", "output.txt"}) {
        DeleteFileA((folder + "\\" + stale).c_str());
    }
    char self[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, self, sizeof self);
    const std::string exe = folder + "\\board_tests.exe";
    if (!CopyFileA(self, exe.c_str(), FALSE)) {
        output = "cannot copy the test program";
        return 0xFFFFFFFF;
    }
    for (const std::string& file : files) {
        const std::string name = file.substr(file.find_last_of('\\') + 1);
        if (!CopyFileA(file.c_str(), (folder + "\\" + name).c_str(), FALSE)) {
            output = "cannot copy " + file;
            return 0xFFFFFFFF;
        }
    }
    CapturedProcess child(folder + "\\output.txt");
    SetEnvironmentVariableA("TALVENIX_CHILD_CASE", caseName.c_str());
    // The child's own folder is its current one too: a library must not be
    // found in the parent's.
    const bool started =
        child.Start("\"" + exe + "\" --gtest_color=no --gtest_filter=ChildCase." + caseName, folder.c_str());
    SetEnvironmentVariableA("TALVENIX_CHILD_CASE", nullptr);
    if (!started) {
        output = "cannot start the child";
        return 0xFFFFFFFF;
    }
    // Generous: a child stuck on something is a failure, not a hang.
    const DWORD code = child.Wait(120000);
    output = child.Output();
    return code;
}
