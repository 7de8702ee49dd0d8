// The twin test: every sequence of twin_script.cpp through Twain_32.ds called
// directly (ds_twin32.exe, a 32-bit program) and through Twain_64.ds and its
// host, compared call by call and line by line of the log.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <sstream>
#include <string>

#include "acquire/box_watcher.h"
#include "tests/ds64/twin_script.h"
#include "tests/rig/ds_rig.h"

namespace {

std::string WindowsFolder()
{
    char windows[MAX_PATH] = "";
    GetWindowsDirectoryA(windows, MAX_PATH);
    return windows;
}

// The transcript of each sequence in the 32-bit program's file.
std::string Section(const std::string& all, const char* name)
{
    const std::string head = std::string("=== ") + name + "\n";
    const size_t start = all.find(head);
    if (start == std::string::npos) {
        return "(missing)";
    }
    const size_t from = start + head.size();
    const size_t end = all.find("\n=== ", from - 1);
    return all.substr(from, end == std::string::npos ? std::string::npos : end + 1 - from);
}

// The first line where the two differ, with both.
std::string FirstDifference(const std::string& direct, const std::string& hosted)
{
    std::istringstream a(direct);
    std::istringstream b(hosted);
    std::string lineA;
    std::string lineB;
    for (int line = 1;; ++line) {
        const bool moreA = static_cast<bool>(std::getline(a, lineA));
        const bool moreB = static_cast<bool>(std::getline(b, lineB));
        if (!moreA && !moreB) {
            return "";
        }
        if (!moreA || !moreB || lineA != lineB) {
            return "line " + std::to_string(line) + "\n  Twain_32.ds: " + (moreA ? lineA : "(end)") +
                   "\n  Twain_64.ds: " + (moreB ? lineB : "(end)");
        }
    }
}

// The step a transcript says answered otherwise than the script expects,
// and what was expected; empty when there is none.
std::string Missed(const std::string& transcript)
{
    const size_t at = transcript.find(TwinExpectationMissed);
    if (at == std::string::npos) {
        return "";
    }
    // From the start of the step's line, the one before.
    const size_t before = at >= 2 ? transcript.rfind('\n', at - 2) : std::string::npos;
    const size_t from = before == std::string::npos ? 0 : before + 1;
    return transcript.substr(from, transcript.find('\n', at) - from);
}

TEST(Twin, SameAnswersAndLogAsThe32BitSource)
{
    SetEnvironmentVariableA("ORIONSIM_PATTERN", "gradient");
    SetEnvironmentVariableA("ORIONSIM_FRAME_MS", "0");
    BoxWatcher boxes;
    const std::string source32 = WindowsFolder() + "\\twain_32\\Talvenix\\Twain_32.ds";
    const std::string logPath = WindowsFolder() + "\\twain_32\\Talvenix\\TALVENIX.LOG";
    DsModule ds(ExeDirectory() + "\\Twain_64.ds");
    ASSERT_TRUE(ds.Loaded());
    {
        // The settings exist before the trace is on: creating them switches it off.
        TW_IDENTITY identity = TestAppIdentity(41);
        ASSERT_EQ(ds.Call(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &identity), TWRC_SUCCESS);
        ds.Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &identity);
    }
    SetDumpMode(42);
    const std::string transcripts = TempFolder() + "\\ds-twin32.txt";
    DeleteFileA(transcripts.c_str());
    CapturedProcess direct(TempFolder() + "\\ds-twin32-output.txt");
    // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) about a
    // literal added in front of a temporary string in optimised builds.
    std::string command = "\"";
    command.append(ExeDirectory()).append("\\..\\..\\bin\\ds_twin32.exe\" \"");
    command.append(source32).append("\" \"").append(transcripts).append("\"");
    ASSERT_TRUE(direct.Start(command));
    const DWORD exitCode = direct.Wait(300000);
    const std::string all = ReadFileText(transcripts);
    ASSERT_EQ(exitCode, 0u) << direct.Output();
    EXPECT_EQ(Missed(all), "") << "Twain_32.ds";
    for (int i = 0; i < TwinSequenceCount(); ++i) {
        SetDumpMode(TwinSequenceTraced(i) ? 42 : 0);
        ds.Reload();
        const std::string hosted = RunTwinSequence(ds, i, logPath);
        const std::string difference = FirstDifference(Section(all, TwinSequenceName(i)), hosted);
        EXPECT_EQ(difference, "") << "sequence " << TwinSequenceName(i);
        EXPECT_EQ(Missed(hosted), "") << "sequence " << TwinSequenceName(i) << " through Twain_64.ds";
    }
    SetDumpMode(0);
}

}  // namespace
