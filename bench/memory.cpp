// Benchmark 4: private bytes before and after many native transfers whose blocks
// this client frees, and before and after many open/close cycles.
#include <cstdio>

#include "bench/common.h"

namespace {

bool NativeOnce(const Caller& call)
{
    HGLOBAL bitmap = nullptr;
    const bool ok = TransferNative(call, bitmap);
    if (bitmap != nullptr) {
        GlobalFree(bitmap);
    }
    return EndTransfer(call) != -2 && ok;
}

std::string Kb(double bytes)
{
    return Format("%+.1f kB", bytes / 1024);
}

}  // namespace

int RunMemory(int transfers, int cycles)
{
    PrintSection("4. Memory: private bytes of the process (frame wait 0, M_CCIR)");
    SetEnv("ORIONSIM_FRAME_MS", "0");
    SetVideoFormat("M_CCIR");
    DirectSource source;
    if (!source.Loaded()) {
        return 1;
    }
    const Caller call = source.AsCaller();
    int status = 0;
    if (!source.OpenAndEnable(TWSX_NATIVE)) {
        return 1;
    }
    for (int i = 0; i < 10; ++i) {
        NativeOnce(call);
    }
    const double before = PrivateBytes();
    int failed = 0;
    for (int i = 0; i < transfers; ++i) {
        failed += NativeOnce(call) ? 0 : 1;
    }
    const double after = PrivateBytes();
    source.Close();
    if (failed != 0) {
        std::fprintf(stderr, "ds_bench: %d native transfers failed\n", failed);
        status = 1;
    }
    PrintRow(Format("%d native transfers, blocks freed", transfers), Kb(after - before), "within a few kB",
             Format("%.0f kB before, %.0f kB after", before / 1024, after / 1024));

    // A first cycle settles what the first opening keeps for the process.
    for (int i = 0; i < 2; ++i) {
        source.OpenAndEnable(TWSX_NATIVE);
        NativeOnce(call);
        source.Close();
    }
    const double beforeCycles = PrivateBytes();
    failed = 0;
    for (int i = 0; i < cycles; ++i) {
        failed += source.OpenAndEnable(TWSX_NATIVE) ? 0 : 1;
        source.Close();
    }
    const double afterCycles = PrivateBytes();
    if (failed != 0) {
        std::fprintf(stderr, "ds_bench: %d openings failed\n", failed);
        status = 1;
    }
    PrintRow(Format("%d open/close cycles", cycles), Kb(afterCycles - beforeCycles), "within a few kB",
             Format("%.0f kB before, %.0f kB after", beforeCycles / 1024, afterCycles / 1024));

    // The source loads the imaging library at every opening and unloads it
    // at every closing: the library's loading and unloading alone, for
    // comparison.
    const std::string library = ExeFolder() + "\\MIL.DLL";
    if (GetModuleHandleA("MIL.DLL") == nullptr) {
        const double beforeLoads = PrivateBytes();
        for (int i = 0; i < cycles; ++i) {
            HMODULE module = LoadLibraryA(library.c_str());
            if (module != nullptr) {
                FreeLibrary(module);
            }
        }
        const double afterLoads = PrivateBytes();
        PrintRow(Format("reference: MIL.DLL loaded and unloaded %d times, nothing called", cycles),
                 Kb(afterLoads - beforeLoads), "(explains the row above)",
                 Format("%.0f kB before, %.0f kB after", beforeLoads / 1024, afterLoads / 1024));
    }
    SetEnv("ORIONSIM_FRAME_MS", nullptr);
    return status;
}
