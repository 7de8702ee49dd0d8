// Test rig: the built data source loaded into the test process, its registry
// keys and its log file.
#pragma once

#include <windows.h>

#include <string>

#include "twain/twain_types.h"

typedef TW_UINT16(__stdcall* DsEntryProc)(pTW_IDENTITY, TW_UINT32, TW_UINT16, TW_UINT16, TW_MEMREF);

// The folder of the test program (and of the built modules).
std::string ExeDirectory();

// The user's temporary folder, without the closing backslash.
std::string TempFolder();

// Loads Twain_32.ds from the test program's folder; unloads it on
// destruction. A fresh load re-reads "Dump" and restores the defaults.
class DsModule {
public:
    explicit DsModule(const std::string& path = ExeDirectory() + "\\Twain_32.ds");
    ~DsModule();
    DsModule(const DsModule&) = delete;
    DsModule& operator=(const DsModule&) = delete;

    bool Loaded() const { return entry_ != nullptr; }
    HMODULE Handle() const { return module_; }

    // Calls DS_Entry with the rig's application identity (or `origin`).
    TW_UINT16 Call(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, void* data);
    TW_UINT16 CallAs(TW_IDENTITY* origin, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, void* data);

    // DAT_STATUS / MSG_GET: the pending condition code (which it clears).
    TW_UINT16 Status();

    // Unloads and loads the module again.
    void Reload();

    TW_IDENTITY App = {};  // the identity the rig calls with

private:
    void Load();
    std::string path_;
    HMODULE module_ = nullptr;
    DsEntryProc entry_ = nullptr;
};

// An application identity as a test application would fill it.
TW_IDENTITY TestAppIdentity(TW_UINT32 id = 1);

// HKCU\SOFTWARE\Talvenix and everything below it removed.
void ResetSourceRegistry();
// "Dump" in the base key; takes effect at the next load of the module.
void SetDumpMode(DWORD value);
void WriteRegistryValue(const char* subkey, const char* name, DWORD type, const void* data, DWORD size);

// TALVENIX.LOG beside the module.
std::string SourceLogPath();
std::string ReadFileText(const std::string& path);
bool FileExists(const std::string& path);
void DeleteSourceLog();
