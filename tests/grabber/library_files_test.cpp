// Start-up with other library files than the build's: each case runs this
// program again from a folder holding only the files it needs, since a
// library found beside the program or in the current folder would be
// loaded first.
#include <windows.h>

#include <gtest/gtest.h>

#include "grabber/board_fixture.h"
#include "grabber/startup.h"
#include "rig/ds_rig.h"
#include "twain/source.h"

namespace {

using ChildCase = BoardTest;

std::string Built(const std::string& name)
{
    return ExeDirectory() + "\\" + name;
}

void ExpectChildPasses(const std::string& caseName, const std::vector<std::string>& files)
{
    std::string output;
    const DWORD code = RunChildCase(caseName, files, output);
    EXPECT_EQ(code, 0u) << output;
    EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
}

TEST(LibraryFiles, MilDllMissing)
{
    ExpectChildPasses("MilDllMissing", {Built("Twain_32.ds")});
}

TEST_F(ChildCase, MilDllMissing)
{
    if (!IsChildCase("MilDllMissing")) {
        GTEST_SKIP() << "runs in a child of LibraryFiles.MilDllMissing";
    }
    EXPECT_EQ(MilInitSystem(), 1);
    ExpectInOrder(Log(), {"Talvenix TWAIN DS: Loading runtime DLL's \n",
                          "Talvenix TWAIN DS: Error in LoadLibrary, MIL.DLL not found \n"});
    EXPECT_EQ(Log().find("Version"), std::string::npos);
    EXPECT_TRUE(SourceBoxes().empty());
}

TEST(LibraryFiles, BoardDllMissing)
{
    ExpectChildPasses("BoardDllMissing", {Built("Twain_32.ds"), Built("MIL.DLL")});
}

TEST_F(ChildCase, BoardDllMissing)
{
    if (!IsChildCase("BoardDllMissing")) {
        GTEST_SKIP() << "runs in a child of LibraryFiles.BoardDllMissing";
    }
    EXPECT_EQ(MilInitSystem(), 1);
    ExpectInOrder(Log(), {"MIL.DLL Version: 1.0.0.0 \n",
                          "Talvenix TWAIN DS: Error in LoadLibrary, GRABBER_DLL not found \n"});
    const auto boxes = SourceBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].Caption, DriverCaption);
    EXPECT_EQ(boxes[0].Text,
              "Unable to establish communication to low level DLL, make sure the right MATROX board level drivers "
              "are installed!");
    EXPECT_EQ(GetModuleHandleA("MIL.DLL"), nullptr) << "a failed start unloads what it loaded";
}

TEST(LibraryFiles, EntryPointMissing)
{
    ExpectChildPasses("EntryPointMissing",
                      {Built("Twain_32.ds"), Built("variants\\nograb\\MIL.DLL"), Built("MILORION.DLL")});
}

TEST_F(ChildCase, EntryPointMissing)
{
    if (!IsChildCase("EntryPointMissing")) {
        GTEST_SKIP() << "runs in a child of LibraryFiles.EntryPointMissing";
    }
    EXPECT_EQ(MilInitSystem(), 1);
    ExpectInOrder(Log(), {"Twain_32.ds Version: 1, 1, 0, 0 \n",
                          "Talvenix TWAIN DS: Error in GetProcAddress, MdigGrab not found \n"});
    EXPECT_TRUE(Trace().empty()) << "nothing is called from a library that lacks an entry point";
    EXPECT_FALSE(MilBound());
    EXPECT_EQ(GetModuleHandleA("MIL.DLL"), nullptr);
    EXPECT_EQ(GetModuleHandleA("MILORION.DLL"), nullptr);
}

TEST(LibraryFiles, NoVersionInformation)
{
    ExpectChildPasses("NoVersionInformation", {Built("Twain_32.ds"), Built("variants\\noversion\\MIL.DLL"),
                                               Built("variants\\noversion\\MILORION.DLL")});
}

TEST_F(ChildCase, NoVersionInformation)
{
    if (!IsChildCase("NoVersionInformation")) {
        GTEST_SKIP() << "runs in a child of LibraryFiles.NoVersionInformation";
    }
    EXPECT_EQ(MilInitSystem(), 0);
    char self[MAX_PATH] = "";
    GetModuleFileNameA(ModuleHandle, self, sizeof self);
    ExpectInOrder(Log(), {"Talvenix TWAIN DS: Loading runtime DLL's \n", "File MIL.DLL has no Version information \n",
                          "File MILORION.DLL has no Version information \n",
                          std::string(self) + " Version: 1, 1, 0, 0 \n"});
}

}  // namespace
