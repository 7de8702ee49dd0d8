// End to end: twacquire, a TWAIN application, acquires through Wine's Data
// Source Manager from the installed source and the simulated board.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <fstream>
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
        SetEnvironmentVariableA("ORIONSIM_PATTERN", nullptr);
    }
};

// Every mechanism and file format, on a grey and a colour board, with the
// board's own pixel type and the other one: twacquire reads each image as a
// generic application does and compares it with the board's pattern.
TEST_F(Acquisition, EveryImageIsWhatTheApplicationAskedFor)
{
    SetEnvironmentVariableA("ORIONSIM_PATTERN", "gradient");
    const struct {
        const char* board;  // video format; a colour one gets a 4-byte blue-first buffer
        const char* arguments;
        const char* kind;
        const char* file;
        size_t size;
    } rows[] = {
        {"M_CCIR", "--mech native", "gray", "image001.bmp", 14 + 1064 + 442368},
        {"M_CCIR", "--mech memory", "gray", "image001.tif", 442368},
        {"M_CCIR", "--mech file", "gray", "image001.tif", 442368},
        {"M_CCIR", "--mech file --format bmp", "gray", "image001.bmp", 14 + 1064 + 442368},
        {"M_CCIR", "--mech native --pixel rgb", "RGB", "image001.bmp", 14 + 40 + 3 * 442368},
        {"M_CCIR", "--mech file --pixel rgb", "RGB", "image001.tif", 3 * 442368},
        {"M_PAL", "--mech native", "RGB", "image001.bmp", 14 + 40 + 3 * 442368},
        {"M_PAL", "--mech memory --format bmp", "RGB", "image001.bmp", 14 + 40 + 3 * 442368},
        {"M_PAL", "--mech file --format bmp", "RGB", "image001.bmp", 14 + 40 + 3 * 442368},
        {"M_PAL", "--mech file", "RGB", "image001.tif", 3 * 442368},
        {"M_PAL", "--mech native --pixel gray", "gray", "image001.bmp", 14 + 1064 + 442368},
        {"M_PAL", "--mech memory --pixel gray", "gray", "image001.tif", 442368},
        {"M_PAL", "--mech file --pixel gray", "gray", "image001.tif", 442368},
        // Read back through the system's decoders, the JPEG within its
        // tolerance; the pages of a multi-page file each checked.
        {"M_CCIR", "--mech file --format png", "gray", "image001.png", 1000},
        {"M_PAL", "--mech file --format jpeg --quality 90", "RGB", "image001.jpg", 1000},
        {"M_PAL", "--mech file --format tiffmulti --count 3 --pixel gray", "gray", "images.tif", 3 * 442368},
        // The board set up by the application: a colour format from a grey
        // one, adjustments at the board's middle level (the pattern as is).
        {"M_CCIR", "--format M_PAL --brightness 0 --contrast 0 --mech memory", "RGB", "image001.tif", 3 * 442368},
    };
    // A first run writes the user's defaults; then the board's format is set.
    ASSERT_EQ(Acquire("--out \"" + OutputFolder("defaults") + "\"").ExitCode, 0u);
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.board) + " " + row.arguments);
        const bool colour = std::string(row.board) == "M_PAL";
        SetEnvironmentVariableA("ORIONSIM_BUFFER_FORMAT", colour ? "M_BGR32" : nullptr);
        WriteRegistryValue("SOFTWARE\\Talvenix\\Twain\\Orion", "DigFormat", REG_SZ, row.board,
                           static_cast<DWORD>(std::strlen(row.board)));
        const std::string folder = OutputFolder("check");
        DeleteFileA((folder + "\\" + row.file).c_str());
        const ToolRun run = Acquire(std::string(row.arguments) + " --check --out \"" + folder + "\"");
        EXPECT_EQ(run.ExitCode, 0u) << run.Output;
        EXPECT_NE(run.Output.find(std::string("image 1: 768 x 576 ") + row.kind), std::string::npos) << run.Output;
        EXPECT_NE(run.Output.find("matches the pattern"), std::string::npos) << run.Output;
        EXPECT_GE(FileSize(folder + "\\" + row.file), row.size);
    }
    SetEnvironmentVariableA("ORIONSIM_BUFFER_FORMAT", nullptr);
    SetEnvironmentVariableA("ORIONSIM_PATTERN", nullptr);
}

// A malformed or out-of-range number is refused before anything is opened:
// one line naming the option, then the usage, both on standard error.
TEST_F(Acquisition, BadNumbersAreRefusedBeforeAnythingIsOpened)
{
    const char* const rows[][2] = {
        {"--count abc", "--count"},      {"--count 0", "--count"},         {"--count -2", "--count"},
        {"--count 40000", "--count"},    {"--stop-after 0", "--stop-after"}, {"--strip 12x", "--strip"},
        {"--strip -5", "--strip"},       {"--timeout 99999999999", "--timeout"}, {"--timeout", "--timeout"},
        {"--region 1,2,0,4", "--region"}, {"--region 1,2,3", "--region"},  {"--region -1,2,3,4", "--region"},
        // Edges that would wrap in TW_FIX32's 16-bit whole part, or in the sum.
        {"--region 0,0,40000,8", "--region"},  {"--region 30000,0,3000,8", "--region"},
        {"--region 2147483000,0,2147483000,8", "--region"},
        {"--quality 101", "--quality"}, {"--mech native --format png", "--format"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row[0]);
        CapturedProcess tool(TempFolder() + "\\twacquire-arguments.txt");
        ASSERT_TRUE(tool.Start(ToolCommand(row[0])));
        EXPECT_EQ(tool.Wait(120000), 2u);
        const std::string output = tool.Output();
        EXPECT_EQ(output.rfind(std::string("twacquire: ") + row[1], 0), 0u) << output;
        EXPECT_NE(output.find("usage: twacquire"), std::string::npos) << output;
        EXPECT_EQ(output.find("image 1:"), std::string::npos) << "nothing acquired: " << output;
    }
}

// Headless, as a program runs the board: a region of a colour board saved
// with the whole setup, restored in a later run on a board left in another
// format; the images are the pattern's rectangle. What the source refuses
// is one line each.
TEST_F(Acquisition, ARegionAndARestoredSetup)
{
    SetEnvironmentVariableA("ORIONSIM_PATTERN", "gradient");
    SetEnvironmentVariableA("ORIONSIM_BUFFER_FORMAT", "M_BGR32");
    ASSERT_EQ(Acquire("--out \"" + OutputFolder("defaults") + "\"").ExitCode, 0u);
    WriteRegistryValue("SOFTWARE\\Talvenix\\Twain\\Orion", "DigFormat", REG_SZ, "M_PAL", 5);
    const std::string setup = TempFolder() + "\\twacquire-setup.bin";
    const std::string folder = OutputFolder("region");
    DeleteFileA(setup.c_str());
    ToolRun run = Acquire("--mech memory --region 100,50,320,240 --save-setup \"" + setup + "\" --check --out \"" +
                          folder + "\"");
    EXPECT_EQ(run.ExitCode, 0u) << run.Output;
    EXPECT_NE(run.Output.find("image 1: 320 x 240 RGB, memory transfer"), std::string::npos) << run.Output;
    EXPECT_NE(run.Output.find("check: the memory image matches the pattern"), std::string::npos) << run.Output;
    EXPECT_NE(run.Output.find("setup saved to"), std::string::npos) << run.Output;

    WriteRegistryValue("SOFTWARE\\Talvenix\\Twain\\Orion", "DigFormat", REG_SZ, "M_CCIR", 6);
    run = Acquire("--mech file --format bmp --load-setup \"" + setup + "\" --check --out \"" + folder + "\"");
    EXPECT_EQ(run.ExitCode, 0u) << run.Output;
    EXPECT_NE(run.Output.find("setup restored from"), std::string::npos) << run.Output;
    EXPECT_NE(run.Output.find("image 1: 320 x 240 RGB, file transfer"), std::string::npos) << run.Output;
    EXPECT_NE(run.Output.find("check: the BMP file matches the pattern"), std::string::npos) << run.Output;
    EXPECT_EQ(FileSize(folder + "\\image001.bmp"), 14u + 40 + 3 * 320 * 240);

    run = Acquire("--region 800,0,10,10 --out \"" + folder + "\"");
    EXPECT_EQ(run.ExitCode, 1u);
    EXPECT_NE(run.Output.find("twacquire: the source refused the region 800,0,10,10 (TWCC_BADVALUE)"),
              std::string::npos)
        << run.Output;
    EXPECT_EQ(run.Output.find("image 1:"), std::string::npos) << run.Output;
    // Partly beyond the frame: clipped by the source, and the run goes on.
    run = Acquire("--region 700,500,200,200 --check --out \"" + folder + "\"");
    EXPECT_EQ(run.ExitCode, 0u) << run.Output;
    EXPECT_NE(run.Output.find("region taken as 700,500 to 768,576"), std::string::npos) << run.Output;
    EXPECT_NE(run.Output.find("image 1: 68 x 76 gray"), std::string::npos) << run.Output;
    EXPECT_NE(run.Output.find("check: the native image matches the pattern"), std::string::npos) << run.Output;
    // A setup a byte short.
    const std::string saved = ReadFileText(setup);
    ASSERT_FALSE(saved.empty());
    ASSERT_TRUE(std::ofstream(setup, std::ios::binary | std::ios::trunc).write(saved.data(), saved.size() - 1));
    run = Acquire("--load-setup \"" + setup + "\" --out \"" + folder + "\"");
    EXPECT_EQ(run.ExitCode, 1u);
    EXPECT_NE(run.Output.find("twacquire: the source refused the setup in " + setup + " (TWCC_BADVALUE)"),
              std::string::npos)
        << run.Output;
    DeleteFileA(setup.c_str());
    SetEnvironmentVariableA("ORIONSIM_BUFFER_FORMAT", nullptr);
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

// Waits up to 120 s (a loaded machine) for `done`, checking every 50 ms.
template <typename Condition>
bool WaitFor(Condition done)
{
    for (int i = 0; i < 2400; ++i) {
        if (done()) {
            return true;
        }
        Sleep(50);
    }
    return done();
}

// A user at the source's dialog: each "Transfer" delivers an image to the
// application, which ends it (MSG_ENDXFER, state 5) and waits with the
// dialog usable for the next; "Cancel" makes it close the source and end.
TEST_F(Acquisition, TheUserTransfersTwiceAndCancelsAtTheDialog)
{
    SetEnvironmentVariableA("ORIONSIM_PATTERN", "gradient");
    const std::string folder = OutputFolder("ui");
    DeleteFileA((folder + "\\image001.bmp").c_str());
    DeleteFileA((folder + "\\image002.bmp").c_str());
    CapturedProcess tool(TempFolder() + "\\twacquire-ui-output.txt");
    ASSERT_TRUE(tool.Start(ToolCommand("--ui --check --timeout 60 --out \"" + folder + "\"")));
    DialogSearch search = {tool.ProcessId(), nullptr};
    EXPECT_TRUE(WaitFor([&] {
        EnumWindows(FindSettingsDialog, reinterpret_cast<LPARAM>(&search));
        return search.Dialog != nullptr;
    })) << "the dialog did not show";
    if (search.Dialog != nullptr) {
        for (int image = 1; image <= 2; ++image) {
            SCOPED_TRACE(image);
            HWND transfer = GetDlgItem(search.Dialog, 1);
            EXPECT_TRUE(IsWindowEnabled(transfer));
            EXPECT_TRUE(IsWindowEnabled(GetDlgItem(search.Dialog, 1086))) << "Show preview window";
            PostMessageA(search.Dialog, WM_COMMAND, MAKEWPARAM(1, BN_CLICKED), reinterpret_cast<LPARAM>(transfer));
            // twacquire reports an image once it has ended its transfer.
            const std::string reported = "image " + std::to_string(image) + ": ";
            EXPECT_TRUE(WaitFor([&] { return tool.Output().find(reported) != std::string::npos; }))
                << "no image after Transfer: " << tool.Output();
        }
        PostMessageA(search.Dialog, WM_COMMAND, MAKEWPARAM(2, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(search.Dialog, 2)));
    }
    const DWORD exitCode = tool.Wait(120000);
    const std::string text = tool.Output();
    EXPECT_NE(exitCode, 0xFFFFFFFFu) << "twacquire did not end on Cancel";
    EXPECT_EQ(exitCode, 0u) << text;
    const std::string checked = "check: the native image matches the pattern";
    EXPECT_NE(text.find(checked), text.rfind(checked)) << "both images checked: " << text;
    EXPECT_NE(text.find("image 2: 768 x 576 gray, native transfer"), std::string::npos) << text;
    EXPECT_NE(text.find("2 images in "), std::string::npos) << text;
    EXPECT_EQ(FileSize(folder + "\\image002.bmp"), 14u + 1064 + 442368);
}

// "Setup..." in an application: the dialog for settings only, "OK" in place
// of "Transfer"; the application ends when the user closes it with OK.
TEST_F(Acquisition, SettingsOnlyUntilTheUserClosesTheDialog)
{
    CapturedProcess tool(TempFolder() + "\\twacquire-setup-output.txt");
    ASSERT_TRUE(tool.Start(ToolCommand("--setup-only --timeout 60")));
    DialogSearch search = {tool.ProcessId(), nullptr};
    EXPECT_TRUE(WaitFor([&] {
        EnumWindows(FindSettingsDialog, reinterpret_cast<LPARAM>(&search));
        return search.Dialog != nullptr;
    })) << "the dialog did not show: " << tool.Output();
    if (search.Dialog != nullptr) {
        HWND ok = GetDlgItem(search.Dialog, 1);
        EXPECT_TRUE(WaitFor([&] {
            char text[16] = "";
            GetWindowTextA(ok, text, sizeof text);
            return std::string(text) == "OK" && IsWindowEnabled(ok);
        })) << "no OK in the settings-only dialog";
        PostMessageA(search.Dialog, WM_COMMAND, MAKEWPARAM(1, BN_CLICKED), reinterpret_cast<LPARAM>(ok));
    }
    const DWORD exitCode = tool.Wait(30000);
    const std::string text = tool.Output();
    EXPECT_EQ(exitCode, 0u) << text;
    EXPECT_NE(text.find("settings dialog closed"), std::string::npos) << text;
    EXPECT_EQ(text.find("image 1"), std::string::npos) << text;
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

    // What the running format does not offer, refused by name.
    run = Acquire("--format M_PAL_RGB --brightness 200 --out \"" + OutputFolder("fail") + "\"");
    EXPECT_NE(run.ExitCode, 0u);
    EXPECT_NE(run.Output.find("twacquire: the source refused brightness 200 (TWCC_CAPUNSUPPORTED)"), std::string::npos)
        << run.Output;
    run = Acquire("--format M_SECAM --out \"" + OutputFolder("fail") + "\"");
    EXPECT_NE(run.ExitCode, 0u);
    EXPECT_NE(run.Output.find("twacquire: the source refused video format M_SECAM (TWCC_BADVALUE)"), std::string::npos)
        << run.Output;

    ASSERT_TRUE(DeleteFileA(InstalledSource));
    run = Acquire("--out \"" + OutputFolder("fail") + "\"");
    EXPECT_NE(run.ExitCode, 0u);
    EXPECT_NE(run.Output.find("is installed"), std::string::npos) << run.Output;
}

}  // namespace
