// The source's own operations run inside a test program (linked with the
// source's objects): its records as a fresh load leaves them, its log and
// the simulated library's call trace in a folder of the test's own, the
// library's environment controls cleared, the registry empty.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct InProcessSource {
    std::string Folder;        // where the log goes (ModuleDirectory)
    std::string TracePath;     // the library's call trace
    HMODULE Module = nullptr;  // the built module: dialog templates, version line
};

// Sets up `source` in the temporary folder's `name`, with "Dump" 42.
void StartInProcessSource(InProcessSource& source, const char* name);
void StopInProcessSource(InProcessSource& source);

// Sends the in-process log to a fresh TALVENIX.LOG in the temporary folder
// ("Dump" 42) and answers its path.
std::string LogToTemporaryFolder();

// Every ORIONSIM_* control removed from the environment.
void ClearSimulatedBoardControls();

// The lines of a text file, without line ends.
std::vector<std::string> ReadLines(const std::string& path);
