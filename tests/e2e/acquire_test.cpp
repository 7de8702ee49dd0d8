// End to end: twacquire, a TWAIN application, acquires through Wine's Data
// Source Manager from the installed source and the simulated board.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "rig/ds_rig.h"

namespace {

// Wine's manager looks for sources only under fixed names in twain_32.
const char* const InstalledSource = "C:\\windows\\twain_32\\sane.ds";

struct ToolRun {
    DWORD ExitCode = 0xFFFFFFFF;
    std::string Output;
};

std::string ToolCommand(const std::string& arguments)
{
    // Appended piece by piece: GCC 12 at -O3 warns, wrongly, of overlapping
    // copies (-Wrestrict) in "\"" + ExeDirectory().
    std::string command = "\"";
    command += ExeDirectory();
    command += "\\twacquire.exe\" --unattended ";
    command += arguments;
    return command;
}

// Runs twacquire with `arguments`, its output captured, unattended.
ToolRun Acquire(const std::string& arguments)
{
    ToolRun run;
    CapturedProcess tool(TempFolder() + "\\twacquire-output.txt");
    const std::string command = ToolCommand("--timeout 20 " + arguments);
    if (!tool.Start(command)) {
        ADD_FAILURE() << "cannot start " << command;
        return run;
    }
    run.ExitCode = tool.Wait(120000);
    EXPECT_NE(run.ExitCode, 0xFFFFFFFFu) << "did not end: " << command;
    run.Output = tool.Output();
    return run;
}

std::string OutputFolder(const char* name)
{
    return TempFolder() + "\\twacquire-" + name;
}

size_t FileSize(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) {
        return 0;
    }
    return data.nFileSizeLow;
}

class Acquisition : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetSourceRegistry();
        ASSERT_TRUE(CopyFileA((ExeDirectory() + "\\Twain_32.ds").c_str(), InstalledSource, FALSE))
            << "cannot install the source as " << InstalledSource;
        SetEnvironmentVariableA("ORIONSIM_FRAME_MS", "0");
    }
    void TearDown() override
    {
        SetEnvironmentVariableA("ORIONSIM_FRAME_MS", nullptr);
        SetEnvironmentVariableA("ORIONSIM_FAIL", nullptr);
    }
};

TEST_F(Acquisition, OneImageByEachMechanism)
{
    const struct {
        const char* mechanism;
        const char* file;
        size_t size;
    } rows[] = {
        {"native", "image001.bmp", 14 + 1064 + 442368},
        {"memory", "image001.tif", 442368},  // at least the samples
        {"file", "image001.tif", 442368},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.mechanism);
        const std::string folder = OutputFolder(row.mechanism);
        DeleteFileA((folder + "\\" + row.file).c_str());
        const ToolRun run = Acquire(std::string("--mech ") + row.mechanism + " --out \"" + folder + "\"");
        EXPECT_EQ(run.ExitCode, 0u) << run.Output;
        EXPECT_NE(run.Output.find(std::string("image 1: 768 x 576 gray, ") + row.mechanism + " transfer"),
                  std::string::npos)
            << run.Output;
        EXPECT_NE(run.Output.find("1 image in "), std::string::npos) << run.Output;
        if (std::string(row.mechanism) == "native") {
            EXPECT_EQ(FileSize(folder + "\\" + row.file), row.size);
        } else {
            EXPECT_GE(FileSize(folder + "\\" + row.file), row.size);
        }
    }
}

TEST_F(Acquisition, FirstUseShowsTheDefaultsBoxOnce)
{
    const ToolRun first = Acquire("--out \"" + OutputFolder("first") + "\"");
    EXPECT_EQ(first.ExitCode, 0u) << first.Output;
    EXPECT_NE(first.Output.find("message box \"Talvenix TWAIN DS\": Error reading the registry, creating new "
                                "default values (answered OK)"),
              std::string::npos)
        << first.Output;
    const ToolRun second = Acquire("--out \"" + OutputFolder("first") + "\"");
    EXPECT_EQ(second.ExitCode, 0u) << second.Output;
    EXPECT_EQ(second.Output.find("message box"), std::string::npos) << second.Output;
}

TEST_F(Acquisition, AnyNumberOfImagesUntilTheApplicationStops)
{
    const ToolRun run = Acquire("--mech memory --count -1 --stop-after 4 --pixel rgb --out \"" +
                            OutputFolder("many") + "\"");
    EXPECT_EQ(run.ExitCode, 0u) << run.Output;
    for (int i = 1; i <= 4; ++i) {
        EXPECT_NE(run.Output.find("image " + std::to_string(i) + ": "), std::string::npos) << run.Output;
    }
    EXPECT_EQ(run.Output.find("image 5: "), std::string::npos) << run.Output;
    EXPECT_NE(run.Output.find("4 images in "), std::string::npos) << run.Output;
}

TEST_F(Acquisition, ThreeImagesCountedDown)
{
    const ToolRun run = Acquire("--mech native --count 3 --out \"" + OutputFolder("three") + "\"");
    EXPECT_EQ(run.ExitCode, 0u) << run.Output;
    EXPECT_NE(run.Output.find("3 images in "), std::string::npos) << run.Output;
    EXPECT_EQ(FileSize(OutputFolder("three") + "\\image003.bmp"), 14u + 1064 + 442368);
}

struct DialogSearch {
    DWORD Process;
    HWND Dialog;
};

BOOL CALLBACK FindSettingsDialog(HWND window, LPARAM param)
{
    auto* search = reinterpret_cast<DialogSearch*>(param);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    char caption[64] = "";
    GetWindowTextA(window, caption, sizeof caption);
    if (process == search->Process && IsWindowVisible(window) &&
        std::string(caption) == "Frame Grabber Settings") {
        search->Dialog = window;
        return FALSE;
    }
    return TRUE;
}

// Waits up to 20 s for `done`, checking every 50 ms.
template <typename Condition>
bool WaitFor(Condition done)
{
    for (int i = 0; i < 400; ++i) {
        if (done()) {
            return true;
        }
        Sleep(50);
    }
    return done();
}

// A user at the source's dialog: "Transfer" delivers an image to the
// application, "Cancel" makes it close the source and end.
TEST_F(Acquisition, TheUserTransfersAndCancelsAtTheDialog)
{
    const std::string folder = OutputFolder("ui");
    const std::string image = folder + "\\image001.bmp";
    DeleteFileA(image.c_str());
    CapturedProcess tool(TempFolder() + "\\twacquire-ui-output.txt");
    ASSERT_TRUE(tool.Start(ToolCommand("--ui --timeout 60 --out \"" + folder + "\"")));
    DialogSearch search = {tool.ProcessId(), nullptr};
    EXPECT_TRUE(WaitFor([&] {
        EnumWindows(FindSettingsDialog, reinterpret_cast<LPARAM>(&search));
        return search.Dialog != nullptr;
    })) << "the dialog did not show";
    if (search.Dialog != nullptr) {
        HWND transfer = GetDlgItem(search.Dialog, 1);
        EXPECT_TRUE(IsWindowEnabled(transfer));
        PostMessageA(search.Dialog, WM_COMMAND, MAKEWPARAM(1, BN_CLICKED), reinterpret_cast<LPARAM>(transfer));
        EXPECT_TRUE(WaitFor([&] { return FileSize(image) == 14u + 1064 + 442368; })) << "no image after Transfer";
        PostMessageA(search.Dialog, WM_COMMAND, MAKEWPARAM(2, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(search.Dialog, 2)));
    }
    const DWORD exitCode = tool.Wait(30000);
    const std::string text = tool.Output();
    EXPECT_NE(exitCode, 0xFFFFFFFFu) << "twacquire did not end on Cancel";
    EXPECT_EQ(exitCode, 0u) << text;
    EXPECT_NE(text.find("image 1: 768 x 576 gray, native transfer"), std::string::npos) << text;
    EXPECT_NE(text.find("1 image in "), std::string::npos) << text;
}

TEST_F(Acquisition, FailuresExitWithAMessage)
{
    SetEnvironmentVariableA("ORIONSIM_FAIL", "MsysAlloc");
    ToolRun run = Acquire("--out \"" + OutputFolder("fail") + "\"");
    EXPECT_NE(run.ExitCode, 0u);
    EXPECT_NE(run.Output.find("twacquire: cannot open the source \"Talvenix Matrox Orion driver\""),
              std::string::npos)
        << run.Output;
    SetEnvironmentVariableA("ORIONSIM_FAIL", nullptr);

    run = Acquire("--source \"No Such Scanner\"");
    EXPECT_NE(run.ExitCode, 0u);
    EXPECT_NE(run.Output.find("twacquire: no source named \"No Such Scanner\" is installed"), std::string::npos)
        << run.Output;

    ASSERT_TRUE(DeleteFileA(InstalledSource));
    run = Acquire("--out \"" + OutputFolder("fail") + "\"");
    EXPECT_NE(run.ExitCode, 0u);
    EXPECT_NE(run.Output.find("is installed"), std::string::npos) << run.Output;
}

}  // namespace
