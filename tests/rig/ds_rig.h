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

// The module's own allocations (malloc, calloc and realloc of the C runtime
// it imports, which its statically linked operator new calls too, and
// GlobalAlloc) counted, and one of them refused as a system out of memory
// refuses it: the module's import table points at the rig while the object
// lives. One module at a time.
class RefusedAllocation {
public:
    explicit RefusedAllocation(HMODULE module);
    ~RefusedAllocation();
    RefusedAllocation(const RefusedAllocation&) = delete;
    RefusedAllocation& operator=(const RefusedAllocation&) = delete;

    // Starts counting again; the `number`th allocation from now on (from 1)
    // fails, and the `run` - 1 after it; 0 fails none.
    void Refuse(long number, long run = 1);
    // Allocations since the last Refuse.
    long Count() const;

private:
    HMODULE module_;
};

// A child process whose standard output and error go to a file. A child
// still running when the object goes is terminated: no test hangs on one.
class CapturedProcess {
public:
    explicit CapturedProcess(std::string outputPath) : outputPath_(std::move(outputPath)) {}
    ~CapturedProcess();
    CapturedProcess(const CapturedProcess&) = delete;
    CapturedProcess& operator=(const CapturedProcess&) = delete;

    // Starts `command` (in `folder`, or the current one); false if it cannot.
    bool Start(std::string command, const char* folder = nullptr);
    // Waits up to `milliseconds`; the exit code, or 0xFFFFFFFF for a child
    // that did not end (terminated then) or never started.
    DWORD Wait(DWORD milliseconds);
    DWORD ProcessId() const { return process_.dwProcessId; }
    std::string Output() const;

private:
    std::string outputPath_;
    PROCESS_INFORMATION process_ = {};
};

// Threads that wait for each other wait for good: a watchdog ends the
// program within `seconds`, printing `why`, unless it is dismissed (by its
// destruction) first; the missing test summary fails the test.
class Watchdog {
public:
    Watchdog(int seconds, const char* why);
    ~Watchdog();
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    static DWORD WINAPI Watch(void* self);
    HANDLE dismissed_;
    HANDLE thread_ = nullptr;
    DWORD milliseconds_;
    const char* why_;
};

// An application identity as a test application would fill it.
TW_IDENTITY TestAppIdentity(TW_UINT32 id = 1);

// HKCU\SOFTWARE\Talvenix and everything below it removed.
void ResetSourceRegistry();
// "Dump" in the base key; takes effect at the next load of the module.
void SetDumpMode(DWORD value);
void WriteRegistryValue(const char* subkey, const char* name, DWORD type, const void* data, DWORD size);

// Bytes in use in every heap of the process, as its walk finds them: what a
// leak leaves behind, counted where Wine's counters stay at 0.
size_t HeapBytesInUse();
// The thread-local-storage index the next TlsAlloc would give: it grows by
// one for every slot a module takes and never returns.
DWORD NextTlsIndex();
// The handles open in the process. Wine answers 0 to GetProcessHandleCount:
// every value a handle can have in a table of 16384 is asked about. (The
// value the next handle would get is no measure: a module that opens and
// closes one at every load frees a low value while leaving higher ones.)
DWORD OpenHandleCount();

// TALVENIX.LOG beside the module.
std::string SourceLogPath();
std::string ReadFileText(const std::string& path);
bool FileExists(const std::string& path);
void DeleteSourceLog();
