// Benchmark 7: MSG_OPENDS step by step, in the order the open takes them,
// with the source's own code linked into the benchmark: the board's
// libraries loaded, the board's system started, the settings read, the
// digitizer started, the capability defaults built, the settings applied.
// The grab-memory probe, part of the digitizer's start, is timed again on its
// own. The first round runs in a process that
// has not opened the source yet, as an application's first open does.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench/common.h"
#include "capability/store.h"
#include "grabber/startup.h"
#include "grabber/video_adjustments.h"
#include "settings/registry.h"
#include "settings/source_settings.h"

namespace {

struct Step {
    const char* Name;
    std::vector<double> Times;
};

}  // namespace

int RunOpenSteps(int rounds)
{
    PrintSection("7. MSG_OPENDS step by step (the source's own code, M_CCIR, frame wait 0)");
    SetEnv("ORIONSIM_FRAME_MS", "0");
    SetVideoFormat("M_CCIR");
    Step steps[] = {{"libraries (MIL.DLL, MILORION.DLL)", {}}, {"system and version report", {}},
                    {"settings from the registry", {}},        {"digitizer", {}},
                    {"capability defaults", {}},               {"settings applied", {}},
                    {"grab-memory probe (again, alone: part of the digitizer step)", {}}};
    // The whole open through DS_Entry, and the load before it that a
    // manager does at MSG_OPENDS (the source's imports are mostly loaded
    // already in this program, which links the same libraries).
    std::vector<double> loads, opens;
    for (int round = 0; round < rounds; ++round) {
        double start = Now();
        auto source = std::make_unique<DirectSource>();
        loads.push_back(Now() - start);
        start = Now();
        const bool opened = source->Loaded() && source->Open();
        opens.push_back(Now() - start);
        source.reset();
        if (!opened) {
            std::fprintf(stderr, "ds_bench: open steps: MSG_OPENDS failed\n");
            return 1;
        }
    }
    PrintRow("Twain_32.ds loaded", Format("%.2f ms", Median(loads) * 1000), "(none)",
             Format("first load of the process %.2f ms", loads.front() * 1000));
    PrintRow("MSG_OPENDS through DS_Entry", Format("%.2f ms", Median(opens) * 1000), "(none)",
             Format("first open of the process %.2f ms", opens.front() * 1000));

    std::vector<double> wholes;
    double first = 0;
    for (int round = 0; round < rounds; ++round) {
        double start = Now();
        double whole = 0;
        auto lap = [&](Step& step) {
            const double now = Now();
            step.Times.push_back(now - start);
            whole += now - start;
            start = now;
        };
        // The libraries stay loaded through the system's start, which loads
        // them again: what remains of that step is the start itself.
        HMODULE mil = LoadLibraryA("MIL.DLL");
        HMODULE grabber = LoadLibraryA("MILORION.DLL");
        lap(steps[0]);
        const bool started = MilInitSystem() == 0;
        lap(steps[1]);
        const bool read = started && ReadSettings() == 0;
        lap(steps[2]);
        char format[256] = "M_CCIR";
        const bool digitizer = read && MilInitDigitizer(format) == 0;
        lap(steps[3]);
        const bool defaults = BuildCapabilityDefaults() == 0;
        lap(steps[4]);
        if (digitizer) {
            ApplySettings();
        }
        lap(steps[5]);
        wholes.push_back(whole);
        if (digitizer) {
            MeasureGrabMemoryKb();
        }
        lap(steps[6]);
        MilFreeSystem();
        FreeCapabilities();
        FreeLibrary(grabber);
        FreeLibrary(mil);
        if (!started || !read || !digitizer || !defaults) {
            std::fprintf(stderr, "ds_bench: open steps: a step failed\n");
            return 1;
        }
        if (round == 0) {
            first = whole;
        }
    }
    for (Step& step : steps) {
        PrintRow(Format("step: %s", step.Name), Format("%.2f ms", Median(step.Times) * 1000), "(none)",
                 Format("first open of the process %.2f ms", step.Times.front() * 1000));
    }
    PrintRow("the open's steps together", Format("%.2f ms", Median(wholes) * 1000), "(none)",
             Format("first open of the process %.2f ms", first * 1000));
    SetEnv("ORIONSIM_FRAME_MS", nullptr);
    return 0;
}
