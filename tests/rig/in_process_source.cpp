#include "rig/in_process_source.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include "grabber/startup.h"
#include "rig/ds_rig.h"
#include "settings/source_settings.h"
#include "twain/source.h"
#include "twain/text.h"

void ClearSimulatedBoardControls()
{
    for (const char* name :
         {"ORIONSIM_BOARD_TYPE", "ORIONSIM_BOARD_REVISION", "ORIONSIM_MEMORY_KB", "ORIONSIM_REJECT_FORMATS",
          "ORIONSIM_MORE_FORMATS",
          "ORIONSIM_COLOR_MODE", "ORIONSIM_BUFFER_FORMAT", "ORIONSIM_FRAME_MS", "ORIONSIM_PATTERN", "ORIONSIM_FAIL",
          "ORIONSIM_TRACE"}) {
        SetEnvironmentVariableA(name, nullptr);
    }
}

std::string LogToTemporaryFolder()
{
    CopyText(ModuleDirectory, sizeof ModuleDirectory, TempFolder().c_str());
    const std::string path = TempFolder() + "\\TALVENIX.LOG";
    DeleteFileA(path.c_str());
    DumpMode = 42;
    return path;
}

void StartInProcessSource(InProcessSource& source, const char* name)
{
    source.Folder = TempFolder() + "\\" + name;
    CreateDirectoryA(source.Folder.c_str(), nullptr);
    CopyText(ModuleDirectory, sizeof ModuleDirectory, source.Folder.c_str());
    DeleteFileA((source.Folder + "\\TALVENIX.LOG").c_str());
    source.TracePath = source.Folder + "\\trace.txt";
    DeleteFileA(source.TracePath.c_str());
    ClearSimulatedBoardControls();
    SetEnvironmentVariableA("ORIONSIM_TRACE", source.TracePath.c_str());
    DumpMode = 42;
    source.Module = LoadLibraryA((ExeDirectory() + "\\Twain_32.ds").c_str());
    ASSERT_NE(source.Module, nullptr);
    ModuleHandle = source.Module;
    ResetSourceRegistry();
    SourceSettings = {};
    MilInfo = {};
    DialogHandle = nullptr;
}

void StopInProcessSource(InProcessSource& source)
{
    SourceSettings = {};
    if (source.Module != nullptr) {
        FreeLibrary(source.Module);
        source.Module = nullptr;
    }
    ModuleHandle = nullptr;
    DumpMode = 0;
    ClearSimulatedBoardControls();
    ResetSourceRegistry();
}

std::vector<std::string> ReadLines(const std::string& path)
{
    std::vector<std::string> lines;
    std::istringstream stream(ReadFileText(path));
    for (std::string line; std::getline(stream, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
    }
    return lines;
}
