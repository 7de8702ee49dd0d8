// The process-wide records of the source: one set per loaded module, serving
// the one connected application.
#pragma once

#include <windows.h>

#include "twain/twain_types.h"

// Set at process attach.
extern HINSTANCE ModuleHandle;
extern char ModuleDirectory[256];  // the module's folder, without the last backslash
extern DWORD DumpMode;             // "Dump": 42 log file, 66 debugger output, else nothing

extern TW_IDENTITY SourceIdentity;  // our identity as reported to the manager
extern TW_IDENTITY AppIdentity;     // the connected application; Id 0 while none is

// 100 times the TWAIN state number: 300 (loaded) to 700 (transferring).
extern LONG SourceState;

// The modeless settings dialog while it exists.
extern HWND DialogHandle;

// Registry path of the source's base key; the settings key hangs below it.
constexpr const char* BaseKeyPath = "SOFTWARE\\Talvenix\\Twain\\";
