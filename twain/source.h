// The process-wide records of the source: one set per loaded module, serving
// the one connected application.
#pragma once

#include <windows.h>

#include "twain/twain_types.h"

// Set at process attach.
extern HINSTANCE ModuleHandle;
extern char ModuleDirectory[256];  // the module's folder, without the last backslash
extern DWORD DumpMode;             // "Dump": 42 log file, 66 debugger output, else nothing
// "NativeLayout", read at each open: 1 hands native transfers the bitmap
// layout of the first releases (top-down, 256-entry table, 4-byte colour
// pixels kept) for applications written against it; anything else the
// standard bottom-up bitmap.
extern DWORD NativeLayout;

extern TW_IDENTITY SourceIdentity;  // our identity as reported to the manager
extern TW_IDENTITY AppIdentity;     // the connected application; Id 0 while none is

// 100 times the TWAIN state number: 300 (loaded) to 700 (transferring).
extern LONG SourceState;

// The source's own count of the transfers still to come while it is
// enabled: CAP_XFERCOUNT as the source was enabled with (-1 any number),
// counted down by MSG_ENDXFER. The capability keeps what the application
// negotiated, so the next enabling delivers as many again.
extern TW_INT16 PendingTransfers;
// CAP_XFERCOUNT at the last MSG_ENABLEDS: a "Transfer" that announces
// transfers after the earlier ones ended announces as many again.
extern TW_INT16 EnabledTransferCount;
// A close request ("Cancel") took the source from state 6 to state 5: the
// application's MSG_RESET that answers it still ends the pending transfers.
extern bool CloseRequestedWhilePending;

// The modeless settings dialog while it exists.
extern HWND DialogHandle;

// Registry path of the source's base key; the settings key hangs below it.
constexpr const char* BaseKeyPath = "SOFTWARE\\Talvenix\\Twain\\";

// Fills the records above that are set at load (trace switch, folder,
// identity defaults), at process attach of the module `instance`.
void LoadModuleRecords(HINSTANCE instance);

// At process detach of the module: frees what the statically linked C++
// runtime keeps (`reserved` as DllMain got it).
void FreeRuntimeAtUnload(LPVOID reserved);

// A REG_DWORD of the base key, 0 when it is absent or not a REG_DWORD.
DWORD ReadBaseKeyDword(const char* name);
