// Starting, watching and ending the host process; the notice window.
#include "ds64/host_link.h"

#include <cstdio>
#include <cstring>

#include "bridge/handoff.h"
#include "twain/condition.h"
#include "twain/debug_log.h"
#include "twain/manager.h"
#include "twain/source.h"

namespace {

constexpr const char* HostFolder = "\\twain_32\\Talvenix\\";
constexpr const char* HostFileName = "TwainHost32.exe";
constexpr const char* NoticeClassName = "Talvenix TWAIN 64 notices";

// Room for the largest frame the board delivers (768 x 576 at 4 bytes, as a
// bitmap) several times over; pages never touched cost nothing.
constexpr uint32_t ImageSectionSize = 16u << 20;

struct HostRecords {
    HANDLE Section = nullptr;
    BridgeBlock* Block = nullptr;
    HANDLE ImageSection = nullptr;
    const uint8_t* Images = nullptr;  // the image section, as this side maps it
    HANDLE Request = nullptr;
    HANDLE Answer = nullptr;
    HANDLE Job = nullptr;
    HANDLE Process = nullptr;
    DWORD ProcessId = 0;
    HWND NoticeWindow = nullptr;
    DWORD StartTick = 0;
    uint32_t LastBeat = 0;  // the host's heartbeat as last read; 0 before its first
    DWORD LastBeatTick = 0;
    DWORD BusyLimit = 0;    // ms a call may keep the host busy with no window up
    bool Alive = false;
    bool Idle = false;     // kept after MSG_CLOSEDS for the next open
    bool Enabled = false;  // the 32-bit source is in states 5 to 7
    bool Exchanging = false;  // a call waits for the host's answer
    volatile bool Stopping = false;  // ended on purpose: no notice
};
HostRecords Host;

// A 2.x manager that gave its entry point delivers the notices to
// applications that registered a callback, and those may never run a
// message loop on the thread that opened the source: the notice window then
// runs on a thread of its own, which the manager's callback is called on.
struct NoticeThreadRecords {
    HANDLE Thread = nullptr;
    HANDLE Ready = nullptr;
};
NoticeThreadRecords NoticeThread;
constexpr UINT StartNoticeTimer = WM_APP + 7;
constexpr UINT EndNotices = WM_APP + 8;
constexpr DWORD NoticeThreadEndWait = 5000;

// The notice window looks for a host that ended by itself, on the
// application's thread, from its message loop.
constexpr UINT_PTR HostEndTimer = 1;
constexpr UINT HostEndCheckPeriod = 500;

// How long a host's heartbeat may stand still before its process counts as
// stopped: twenty beats, for a machine others keep busy.
constexpr DWORD HostSilenceLimit = 5000;
constexpr DWORD HostCheckPeriod = 500;
// How long a call may keep the host busy while it shows no window a person
// can answer, unless the user's "HelperBusyLimit" (seconds, at most a day)
// says otherwise. Far beyond the slowest frame the board runs (10 s), and
// room for a trigger given by hand or by a machine; a source stuck in a loop
// of its own holds the application no longer than that.
constexpr DWORD DefaultBusyLimit = 300;
constexpr DWORD LongestBusyLimit = 86400;

void MarkHostEnded(const char* why)
{
    DWORD code = 0;
    GetExitCodeProcess(Host.Process, &code);
    DebugLog().Write("The 32-bit host %s (exit code %lu)\n", why, code);
    Host.Alive = false;
}

// An application enabled the source and waits in its message loop: a host
// that ended leaves it with no dialog and no notice. MSG_CLOSEDSREQ lets it
// close the source the ordinary way.
void TellApplicationHostEnded()
{
    if (Host.Process == nullptr || WaitForSingleObject(Host.Process, 0) != WAIT_OBJECT_0) {
        return;
    }
    KillTimer(Host.NoticeWindow, HostEndTimer);  // told once
    if (Host.Stopping) {
        return;
    }
    if (Host.Alive) {
        MarkHostEnded("ended");
    }
    if (!Host.Enabled) {
        return;
    }
    if (DsmEntryProc dsmEntry = GetDsmEntry()) {
        dsmEntry(&SourceIdentity, &AppIdentity, DG_CONTROL, DAT_NULL, MSG_CLOSEDSREQ, nullptr);
    }
}

// Runs on the application's thread, from its message loop: the manager gets
// the notice where it expects it, with the source's assigned identity.
LRESULT CALLBACK NoticeWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_TIMER && wParam == HostEndTimer) {
        TellApplicationHostEnded();
        return 0;
    }
    if (message == StartNoticeTimer) {
        SetTimer(window, HostEndTimer, HostEndCheckPeriod, nullptr);
        return 0;
    }
    if (message == EndNotices) {
        KillTimer(window, HostEndTimer);
        DestroyWindow(window);
        PostQuitMessage(0);
        return 0;
    }
    if (message == BridgeNoticeMessage) {
        const auto notice = static_cast<TW_UINT16>(wParam);
        if (Host.Alive && (notice == MSG_XFERREADY || notice == MSG_CLOSEDSREQ || notice == MSG_CLOSEDSOK)) {
            if (DsmEntryProc dsmEntry = GetDsmEntry()) {
                // As the 32-bit source does: a manager that refuses
                // MSG_CLOSEDSOK hears the close request instead.
                if (dsmEntry(&SourceIdentity, &AppIdentity, DG_CONTROL, DAT_NULL, notice, nullptr) != TWRC_SUCCESS &&
                    notice == MSG_CLOSEDSOK) {
                    dsmEntry(&SourceIdentity, &AppIdentity, DG_CONTROL, DAT_NULL, MSG_CLOSEDSREQ, nullptr);
                }
            }
        }
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

HWND CreateNoticeWindow()
{
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = NoticeWindowProc;
    windowClass.hInstance = ModuleHandle;
    windowClass.lpszClassName = NoticeClassName;
    RegisterClassA(&windowClass);
    return CreateWindowExA(0, NoticeClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, ModuleHandle, nullptr);
}

DWORD WINAPI RunNoticeThread(LPVOID)
{
    Host.NoticeWindow = CreateNoticeWindow();
    SetEvent(NoticeThread.Ready);
    if (Host.NoticeWindow == nullptr) {
        return 0;
    }
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        DispatchMessageA(&message);
    }
    return 0;
}

// The notice window, on the opening thread or, for a 2.x manager's
// callbacks, on a thread of its own.
HWND StartNotices()
{
    if (ManagerEntry.DSM_Entry == nullptr) {
        return CreateNoticeWindow();
    }
    NoticeThread.Ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    NoticeThread.Thread =
        NoticeThread.Ready != nullptr ? CreateThread(nullptr, 0, RunNoticeThread, nullptr, 0, nullptr) : nullptr;
    if (NoticeThread.Thread != nullptr) {
        WaitForSingleObject(NoticeThread.Ready, INFINITE);
    }
    CloseHandle(NoticeThread.Ready);
    NoticeThread.Ready = nullptr;
    return Host.NoticeWindow;
}

void EndNoticeWindow()
{
    if (NoticeThread.Thread == nullptr) {
        DestroyWindow(Host.NoticeWindow);
    } else {
        // A notice under way may be waiting for the call that ends the
        // host: the wait is bounded, and a thread still busy then ends
        // with the window it holds.
        PostMessageA(Host.NoticeWindow, EndNotices, 0, 0);
        WaitForSingleObject(NoticeThread.Thread, NoticeThreadEndWait);
        CloseHandle(NoticeThread.Thread);
        NoticeThread.Thread = nullptr;
    }
}

HANDLE Inheritable(HANDLE handle)
{
    if (handle != nullptr) {
        SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    }
    return handle;
}

uint32_t Number(const void* handle)
{
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handle));
}

void CloseIf(HANDLE& handle)
{
    if (handle != nullptr) {
        CloseHandle(handle);
        handle = nullptr;
    }
}

// A job that ends the host when the application's last handle to it closes,
// that is when the application ends, however it ends.
HANDLE CreateKillOnCloseJob()
{
    HANDLE job = CreateJobObjectA(nullptr, nullptr);
    if (job == nullptr) {
        return nullptr;
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    return job;
}

// Starts the process with only the channel's handles inherited. 0 started.
int Launch(const char* path, HANDLE parent)
{
    HostArguments arguments = {Number(Host.Section), Number(Host.Request), Number(Host.Answer), Number(parent),
                               Number(Host.NoticeWindow)};
    char commandLine[MAX_PATH + 96] = "";
    const int prefix = std::snprintf(commandLine, sizeof commandLine, "\"%s\" ", path);
    if (prefix <= 0 || !FormatHostArguments(arguments, commandLine + prefix, sizeof commandLine - prefix)) {
        return 1;
    }
    HANDLE inherited[] = {Host.Section, Host.Request, Host.Answer, parent, Host.ImageSection};
    SIZE_T listSize = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &listSize);
    char listBytes[256];
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(listBytes);
    const bool haveList = listSize <= sizeof listBytes &&
                          InitializeProcThreadAttributeList(list, 1, 0, &listSize) &&
                          UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                                    sizeof inherited, nullptr, nullptr);
    STARTUPINFOEXA startup = {};
    startup.StartupInfo.cb = sizeof startup;
    startup.lpAttributeList = haveList ? list : nullptr;
    PROCESS_INFORMATION process = {};
    const BOOL started =
        CreateProcessA(path, commandLine, nullptr, nullptr, TRUE,
                       CREATE_SUSPENDED | CREATE_NO_WINDOW | (haveList ? EXTENDED_STARTUPINFO_PRESENT : 0), nullptr,
                       nullptr, &startup.StartupInfo, &process);
    const DWORD error = GetLastError();
    if (haveList) {
        DeleteProcThreadAttributeList(list);
    }
    if (!started) {
        DebugLog().Write("The 32-bit host %s cannot be started (error %lu)\n", path, error);
        return 1;
    }
    if (Host.Job == nullptr || !AssignProcessToJobObject(Host.Job, process.hProcess)) {
        // It still ends with the application: it watches the parent handle.
        DebugLog().Write("The 32-bit host runs outside a job (error %lu)\n", GetLastError());
    }
    ResumeThread(process.hThread);
    CloseHandle(process.hThread);
    Host.Process = process.hProcess;
    Host.ProcessId = process.dwProcessId;
    return 0;
}

void CloseChannel()
{
    if (Host.Block != nullptr) {
        UnmapViewOfFile(Host.Block);
        Host.Block = nullptr;
    }
    if (Host.Images != nullptr) {
        UnmapViewOfFile(Host.Images);
        Host.Images = nullptr;
    }
    CloseIf(Host.ImageSection);
    CloseIf(Host.Section);
    CloseIf(Host.Request);
    CloseIf(Host.Answer);
    CloseIf(Host.Job);
    if (Host.NoticeWindow != nullptr) {
        EndNoticeWindow();
        Host.NoticeWindow = nullptr;
        UnregisterClassA(NoticeClassName, ModuleHandle);
    }
}

}  // namespace

int FindHostFolder(char (&path)[MAX_PATH])
{
    const UINT folder = GetWindowsDirectoryA(path, MAX_PATH);
    if (folder == 0 || folder + lstrlenA(HostFolder) + lstrlenA(HostFileName) >= MAX_PATH) {
        path[0] = '\0';
        return 1;
    }
    lstrcatA(path, HostFolder);
    return 0;
}

namespace {

// How long ago an idle host may have beaten to count as running: eight
// beats, for a machine others keep busy. One found stopped is replaced
// rather than waited for.
constexpr DWORD IdleBeatLimit = 8 * BridgeHeartbeatPeriod;

// The user's "HelperBusyLimit" in ms, read for each session.
DWORD ReadBusyLimit()
{
    const DWORD limit = ReadBaseKeyDword("HelperBusyLimit");
    return (limit == 0 ? DefaultBusyLimit : limit < LongestBusyLimit ? limit : LongestBusyLimit) * 1000;
}

// Takes the idle host for a new session. 0 taken; 1 it is gone, stopped or
// leaving by itself, and has been ended.
int ReuseIdleHost()
{
    Host.Idle = false;
    BridgeBlock& block = *Host.Block;
    const bool running = WaitForSingleObject(Host.Process, 0) == WAIT_TIMEOUT;
    const bool beating = running && GetTickCount() - LoadShared(block.HeartbeatTick) < IdleBeatLimit;
    if (!beating || !SwapShared(block.IdleState, HostIdle, HostClaimed)) {
        // A host leaving by itself is waited for; any other is ended at once.
        StopHost(beating ? HostExitWait : 0);
        return 1;
    }
    Host.Alive = true;
    Host.Enabled = false;
    Host.StartTick = GetTickCount();
    Host.LastBeat = LoadShared(block.Heartbeat);
    Host.LastBeatTick = Host.StartTick;
    Host.BusyLimit = ReadBusyLimit();
    SetTimer(Host.NoticeWindow, HostEndTimer, HostEndCheckPeriod, nullptr);
    return 0;
}

}  // namespace

bool KeepHostIdle()
{
    if (!Host.Alive || LoadShared(Host.Block->IdleState) != HostIdle) {
        return false;
    }
    KillTimer(Host.NoticeWindow, HostEndTimer);
    Host.Alive = false;
    Host.Enabled = false;
    Host.Idle = true;
    return true;
}

int StartHost()
{
    if (Host.Idle && ReuseIdleHost() == 0) {
        return 0;
    }
    char path[MAX_PATH] = "";
    if (FindHostFolder(path)) {
        return 1;
    }
    lstrcatA(path, HostFileName);

    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    Host.Section = CreateFileMappingA(INVALID_HANDLE_VALUE, &inherit, PAGE_READWRITE, 0, sizeof(BridgeBlock), nullptr);
    Host.Request = CreateEventA(&inherit, FALSE, FALSE, nullptr);
    Host.Answer = CreateEventA(&inherit, FALSE, FALSE, nullptr);
    Host.Job = CreateKillOnCloseJob();
    Host.Stopping = false;
    Host.NoticeWindow = StartNotices();
    if (Host.Section != nullptr) {
        Host.Block = static_cast<BridgeBlock*>(MapViewOfFile(Host.Section, FILE_MAP_WRITE, 0, 0, sizeof(BridgeBlock)));
    }
    Host.ImageSection =
        CreateFileMappingA(INVALID_HANDLE_VALUE, &inherit, PAGE_READWRITE, 0, ImageSectionSize, nullptr);
    if (Host.ImageSection != nullptr) {
        Host.Images = static_cast<const uint8_t*>(MapViewOfFile(Host.ImageSection, FILE_MAP_READ, 0, 0, 0));
    }
    HANDLE parent = nullptr;
    DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &parent, SYNCHRONIZE, TRUE, 0);
    if (Host.Block == nullptr || Host.Request == nullptr || Host.Answer == nullptr || Host.NoticeWindow == nullptr ||
        Host.Images == nullptr || parent == nullptr) {
        DebugLog().Write("The channel to the 32-bit host cannot be made (error %lu)\n", GetLastError());
        CloseIf(parent);
        CloseChannel();
        return 1;
    }
    Host.Block->ImageSection = Number(Host.ImageSection);
    Host.Block->ImageSectionSize = ImageSectionSize;
    const int failed = Launch(path, Inheritable(parent));
    CloseHandle(parent);
    if (failed) {
        CloseChannel();
        return 1;
    }
    Host.Alive = true;
    Host.Enabled = false;
    Host.StartTick = GetTickCount();
    Host.LastBeat = 0;
    Host.LastBeatTick = Host.StartTick;
    Host.BusyLimit = ReadBusyLimit();
    if (NoticeThread.Thread != nullptr) {
        PostMessageA(Host.NoticeWindow, StartNoticeTimer, 0, 0);
    } else {
        SetTimer(Host.NoticeWindow, HostEndTimer, HostEndCheckPeriod, nullptr);
    }
    return 0;
}

void StopHost(unsigned long wait)
{
    // Ended on purpose: no notice.
    Host.Stopping = true;
    if (Host.NoticeWindow != nullptr && NoticeThread.Thread == nullptr) {
        KillTimer(Host.NoticeWindow, HostEndTimer);
    }
    // A host idle after MSG_CLOSEDS is told to leave now.
    if (Host.Block != nullptr && SwapShared(Host.Block->IdleState, HostIdle, HostLeaving)) {
        SetEvent(Host.Request);
    }
    if (Host.Process != nullptr) {
        if (WaitForSingleObject(Host.Process, wait) != WAIT_OBJECT_0) {
            if (wait != 0) {
                DebugLog().Write("The 32-bit host did not end after MSG_CLOSEDS; terminated\n");
            }
            TerminateProcess(Host.Process, 1);
            WaitForSingleObject(Host.Process, HostExitWait);
        }
        CloseIf(Host.Process);
    }
    Host.Alive = false;
    Host.Idle = false;
    CloseChannel();
}

bool HostRunning()
{
    return Host.Alive;
}

BridgeBlock& HostBlock()
{
    return *Host.Block;
}

namespace {

// Whether the host's process runs: its heartbeat moved within the limit.
// A host that never beat has the limit from its start.
bool HostBeats(DWORD now)
{
    const uint32_t beat = static_cast<const volatile BridgeBlock*>(Host.Block)->Heartbeat;
    if (beat != Host.LastBeat) {
        Host.LastBeat = beat;
        Host.LastBeatTick = now;
    }
    return now - Host.LastBeatTick < HostSilenceLimit;
}

BOOL CALLBACK FindAnswerableWindow(HWND window, LPARAM found)
{
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == Host.ProcessId && IsWindowVisible(window) && IsWindowEnabled(window)) {
        *reinterpret_cast<bool*>(found) = true;
        return FALSE;
    }
    return TRUE;
}

// Whether the host shows a window a person can answer: a box (the first-use
// box, a message box) or the dialog.
bool HostShowsWindow()
{
    bool found = false;
    EnumWindows(FindAnswerableWindow, reinterpret_cast<LPARAM>(&found));
    return found;
}

// Ends a host that would hold the application for good.
void EndStuckHost(const char* why)
{
    TerminateProcess(Host.Process, 1);
    WaitForSingleObject(Host.Process, HostExitWait);
    MarkHostEnded(why);
}

}  // namespace

int ExchangeWithHost()
{
    if (!Host.Alive) {
        return 1;
    }
    struct Exchange {
        Exchange() { Host.Exchanging = true; }
        ~Exchange() { Host.Exchanging = false; }
    } exchange;
    BridgeBlock& block = *Host.Block;
    StoreShared(block.CallerSleeps, 0);
    const uint32_t ticket = LoadShared(block.RequestCount) + 1;
    StoreShared(block.RequestCount, ticket);
    if (LoadShared(block.HostSleeps) != 0) {
        SetEvent(Host.Request);
    }
    auto answered = [&block, ticket] { return LoadShared(block.AnswerCount) == ticket; };
    if (SpinUntil(answered, CallerSpinMicroseconds) || SpinUntil(answered, CallerYieldMicroseconds, true)) {
        return 0;
    }
    StoreShared(block.CallerSleeps, 1);
    if (answered()) {
        return 0;
    }
    // The answer wins when the host answered and ended at once. Meanwhile
    // the application's thread answers what other threads and processes
    // send to its windows, as it would inside a box of the 32-bit source:
    // among them the activation handed back to the application when the
    // host's box closes, which, left waiting, would later put the
    // application over the dialog.
    const HANDLE waits[] = {Host.Answer, Host.Process};
    DWORD checked = GetTickCount();
    // Each call gets the whole limit from a host that beat before.
    if (Host.LastBeat != 0) {
        Host.LastBeatTick = checked;
    }
    DWORD unanswerableSince = checked;  // no window a person can answer since
    for (;;) {
        const DWORD woke = MsgWaitForMultipleObjects(2, waits, FALSE, HostCheckPeriod, QS_SENDMESSAGE);
        if (answered()) {
            return 0;
        }
        if (woke == WAIT_OBJECT_0) {
            continue;  // a signal an earlier answer left
        }
        if (woke == WAIT_OBJECT_0 + 2) {
            MSG message;
            PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
            if (GetTickCount() - checked < HostCheckPeriod) {
                continue;
            }
        } else if (woke != WAIT_TIMEOUT) {
            MarkHostEnded("ended");
            return 1;
        }
        checked = GetTickCount();
        if (!HostBeats(checked)) {
            // Stopped or never started serving.
            EndStuckHost("stopped (no heartbeat) and was ended");
            return 1;
        }
        // Busy: a slow frame, a trigger awaited, or a person asked.
        if (HostShowsWindow()) {
            unanswerableSince = checked;
        } else if (checked - unanswerableSince >= Host.BusyLimit) {
            EndStuckHost("stayed in the call beyond its busy limit with no window to answer and was ended");
            return 1;
        }
    }
}

bool HostExchanging()
{
    return Host.Exchanging;
}

void NoteHostEnabled(bool enabled)
{
    Host.Enabled = enabled;
}

bool HostWasEnabled()
{
    return Host.Enabled;
}

bool InImageSection(uint32_t offset, uint32_t length)
{
    return offset <= ImageSectionSize && length <= ImageSectionSize - offset;
}

int ReadHostImage(uint32_t offset, void* to, uint32_t length)
{
    if (!InImageSection(offset, length)) {
        DebugLog().Write("The 32-bit host named %lu bytes outside the image section\n",
                         static_cast<unsigned long>(length));
        return 1;
    }
    std::memcpy(to, Host.Images + offset, length);
    return 0;
}

void LetHostTakeForeground()
{
    AllowSetForegroundWindow(Host.ProcessId);
}
