// The soak (tools/soak.sh, not run in CI): many transfers, many open/close
// cycles and many cycles with the dialog shown and a live preview, each
// phase printing what every cycle leaves behind as a slope per cycle of the
// process's counters. Wine answers 0 for GDI objects (GetGuiResources) and
// private usage, so objects and slots are counted by hand: the heap by its
// walk, movable global blocks and GDI objects by how many more the process
// can still get, windows by enumeration, threads and modules by snapshot,
// thread-local-storage slots by the next index TlsAlloc gives.
#include <windows.h>

#include <tlhelp32.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "bench/common.h"

namespace {

struct Counters {
    double HeapBytes;
    double GlobalBlocks;
    double GdiObjects;
    double Windows;
    double Threads;
    double Modules;
    double TlsIndex;
};

double HeapBytes()
{
    HANDLE heaps[256];
    const DWORD count = GetProcessHeaps(256, heaps);
    double bytes = 0;
    for (DWORD i = 0; i < count && i < 256; ++i) {
        HeapLock(heaps[i]);
        PROCESS_HEAP_ENTRY entry = {};
        while (HeapWalk(heaps[i], &entry)) {
            if ((entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) != 0) {
                bytes += entry.cbData;
            }
        }
        HeapUnlock(heaps[i]);
    }
    return bytes;
}

// What is in use, as the room left shrinks: the blocks (or objects) the
// process can still get, negated.
template <typename Make, typename Free>
double InUseByRoomLeft(Make make, Free release, size_t limit)
{
    std::vector<decltype(make())> held;
    for (auto item = make(); item != nullptr && held.size() < limit; item = make()) {
        held.push_back(item);
    }
    const double room = static_cast<double>(held.size());
    for (auto item : held) {
        release(item);
    }
    return -room;
}

BOOL CALLBACK CountWindow(HWND window, LPARAM counter)
{
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == GetCurrentProcessId()) {
        ++*reinterpret_cast<double*>(counter);
        EnumChildWindows(window, CountWindow, counter);
    }
    return TRUE;
}

double Snapshot(DWORD kind)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(kind, GetCurrentProcessId());
    if (snapshot == INVALID_HANDLE_VALUE) {
        return -1;
    }
    double count = 0;
    if (kind == TH32CS_SNAPTHREAD) {
        THREADENTRY32 entry = {};
        entry.dwSize = sizeof entry;
        for (BOOL ok = Thread32First(snapshot, &entry); ok; ok = Thread32Next(snapshot, &entry)) {
            count += entry.th32OwnerProcessID == GetCurrentProcessId() ? 1 : 0;
        }
    } else {
        MODULEENTRY32 entry = {};
        entry.dwSize = sizeof entry;
        for (BOOL ok = Module32First(snapshot, &entry); ok; ok = Module32Next(snapshot, &entry)) {
            ++count;
        }
    }
    CloseHandle(snapshot);
    return count;
}

Counters Measure()
{
    Counters c = {};
    c.HeapBytes = HeapBytes();
    c.GlobalBlocks = InUseByRoomLeft([] { return GlobalAlloc(GMEM_MOVEABLE, 1); }, GlobalFree, 4000000);
    c.GdiObjects = InUseByRoomLeft([] { return CreateRectRgn(0, 0, 1, 1); },
                                   [](HRGN region) { DeleteObject(region); }, 200000);
    EnumWindows(CountWindow, reinterpret_cast<LPARAM>(&c.Windows));
    c.Threads = Snapshot(TH32CS_SNAPTHREAD);
    c.Modules = Snapshot(TH32CS_SNAPMODULE);
    const DWORD index = TlsAlloc();
    TlsFree(index);
    c.TlsIndex = index;
    return c;
}

void PrintSlopes(const char* phase, int cycles, const Counters& a, const Counters& b)
{
    const auto slope = [cycles](double before, double after) { return (after - before) / cycles; };
    PrintRow(Format("%s: heap bytes / global blocks / GDI objects per cycle", phase),
             Format("%+.3f / %+.4f / %+.4f", slope(a.HeapBytes, b.HeapBytes), slope(a.GlobalBlocks, b.GlobalBlocks),
                    slope(a.GdiObjects, b.GdiObjects)),
             "0 / 0 / 0",
             Format("%d cycles; heap %.0f -> %.0f bytes; room for %.0f more movable blocks and %.0f more GDI objects "
                    "at the end",
                    cycles, a.HeapBytes, b.HeapBytes, -b.GlobalBlocks, -b.GdiObjects));
    PrintRow(Format("%s: windows / threads / modules / TLS indices per cycle", phase),
             Format("%+.4f / %+.4f / %+.4f / %+.4f", slope(a.Windows, b.Windows), slope(a.Threads, b.Threads),
                    slope(a.Modules, b.Modules), slope(a.TlsIndex, b.TlsIndex)),
             "0 / 0 / 0 / 0",
             Format("windows %.0f, threads %.0f, modules %.0f, next TLS index %.0f at the end", b.Windows, b.Threads,
                    b.Modules, b.TlsIndex));
}

// Runs `cycle` `count` times after a few that settle first-use allocations;
// prints the slopes and answers the number of failed cycles.
template <typename Cycle>
int Phase(const char* name, int count, Cycle cycle)
{
    int failed = 0;
    for (int i = 0; i < 5; ++i) {
        failed += cycle() ? 0 : 1;
    }
    const Counters before = Measure();
    for (int i = 0; i < count; ++i) {
        failed += cycle() ? 0 : 1;
    }
    PrintSlopes(name, count, before, Measure());
    if (failed != 0) {
        std::fprintf(stderr, "ds_bench: %s: %d cycles failed\n", name, failed);
    }
    return failed;
}

void PumpFor(DWORD milliseconds)
{
    const ULONGLONG end = GetTickCount64() + milliseconds;
    while (GetTickCount64() < end) {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        Sleep(5);
    }
}

void SetPreviewShown()
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\Talvenix\\Twain\\Orion", 0, KEY_SET_VALUE, &key) ==
        ERROR_SUCCESS) {
        const DWORD one = 1;
        RegSetValueExA(key, "Preview", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one);
        RegCloseKey(key);
    }
}

}  // namespace

int RunSoak(int transfers, int cycles, int dialogCycles)
{
    PrintSection("5. Soak: what a cycle leaves behind, as slopes per cycle (frame wait 0, M_CCIR)");
    SetEnv("ORIONSIM_FRAME_MS", "0");
    SetVideoFormat("M_CCIR");
    int failed = 0;
    {
        DirectSource source;
        if (!source.Loaded() || !source.OpenAndEnable(TWSX_NATIVE)) {
            return 1;
        }
        const Caller call = source.AsCaller();
        std::vector<uint8_t> buffer(442368);
        int round = 0;
        // Native and memory transfers in turn, every block freed.
        failed += Phase(Format("%d transfers", transfers).c_str(), transfers, [&] {
            bool ok = false;
            if (++round % 2 == 0) {
                HGLOBAL bitmap = nullptr;
                ok = TransferNative(call, bitmap);
                GlobalFree(bitmap);
            } else {
                size_t bytes = 0;
                ok = TransferMemory(call, buffer, bytes);
            }
            return EndTransfer(call) != -2 && ok;
        });
    }
    {
        DirectSource source;
        failed += Phase(Format("%d open/close cycles", cycles).c_str(), cycles, [&] {
            const bool ok = source.OpenAndEnable(TWSX_NATIVE);
            source.Close();
            return ok;
        });
    }
    {
        SetPreviewShown();
        SetEnv("ORIONSIM_FRAME_MS", nullptr);
        DirectSource source;
        TW_IDENTITY identity = {};
        failed += Phase(Format("%d cycles with the dialog and live preview", dialogCycles).c_str(), dialogCycles, [&] {
            identity = {};
            identity.Id = 2;
            std::strcpy(identity.ProductName, "Talvenix Matrox Orion driver");
            if (source.Call(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &identity) != TWRC_SUCCESS) {
                return false;
            }
            TW_USERINTERFACE ui = {1, 0, nullptr};
            const bool ok = source.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui) == TWRC_SUCCESS;
            PumpFor(120);
            source.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui);
            source.Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &identity);
            return ok;
        });
    }
    return failed != 0 ? 1 : 0;
}
