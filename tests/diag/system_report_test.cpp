// The version lines and the system block, read from the log with "Dump" 42.
#include <windows.h>

#include <gtest/gtest.h>

#include <regex>

#include "diag/system_report.h"
#include "grabber/board_fixture.h"
#include "rig/ds_rig.h"
#include "settings/source_settings.h"
#include "twain/source.h"

namespace {

using SystemReport = BoardTest;

TEST_F(SystemReport, OwnModuleCarriesItsProductVersion)
{
    const std::string path = ExeDirectory() + "\\Twain_32.ds";
    LogFileVersion(path.c_str());
    EXPECT_EQ(Log(), LogText(path + " Version: 1, 1, 0, 0 \n"));
}

TEST_F(SystemReport, FileWithoutVersionInformation)
{
    const std::string path = ExeDirectory() + "\\variants\\noversion\\MIL.DLL";
    LogFileVersion(path.c_str());
    EXPECT_EQ(Log(), LogText("File " + path + " has no Version information \n"));
}

TEST_F(SystemReport, SystemBlockLinesInOrder)
{
    SourceSettings.GrabberMemoryKb = 4242;
    LogSystemInfo();
    const std::string d = "------------------------------------------ \\r\\n";
    const std::regex block(d + "Dumping system Settings \\r\\n" + d +
                           "VGA: \\r\\n"
                           "VGA Driver version = -?\\d+ \\r\\n"
                           "VGA resolution = \\d+ x \\d+ x 32 @ -?\\d+ Hz\\r\\n"
                           "Operating system: \\r\\n"
                           "Windows \\d+\\.\\d+ Build \\d+ [^\\r\\n]*\\r\\n"
                           "Memory: \\r\\n"
                           "Physical memory: avail -?\\d+ kB, total -?\\d+ kB, Load \\d+ \\r\\n"
                           "Virtual  memory: avail -?\\d+ kB, total -?\\d+ kB\\r\\n"
                           "Grab memory: 4242 kB \\r\\n");
    const std::string log = Log();
    EXPECT_TRUE(std::regex_match(log, block)) << log;
}

TEST_F(SystemReport, OtherDumpModesWriteNothing)
{
    for (DWORD mode : {0ul, 1ul}) {
        SCOPED_TRACE(mode);
        DumpMode = mode;
        LogSystemInfo();
        LogFileVersion("MIL.DLL");
        EXPECT_FALSE(FileExists(dir_ + "\\TALVENIX.LOG"));
    }
}

}  // namespace
