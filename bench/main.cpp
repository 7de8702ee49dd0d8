// ds_bench: what the source's transfers cost against memcpy and the frame
// period, continuous acquisition through the Data Source Manager, and memory
// growth. Prints rows of a Markdown table; each part can run on its own:
//   ds_bench [header|convert|transfer|continuous|memory-use|host-path|calls|open] [--rounds N] [--frames N]
//            [--save FILE] [--against FILE]
// Built for 64-bit too (DS_BENCH_64): then only header, host-path, calls
// and continuous, which measure Twain_64.ds and its host.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "acquire/box_watcher.h"
#include "bench/common.h"

int main(int argc, char** argv)
{
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::string part = "all";
    int rounds = 41;
    int frames = 260;
    int transfers = 100000;
    int cycles = 2000;
    int dialogCycles = 300;
    std::string save, against;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--rounds" && i + 1 < argc) {
            rounds = std::atoi(argv[++i]);
        } else if (arg == "--frames" && i + 1 < argc) {
            frames = std::atoi(argv[++i]);
        } else if (arg == "--transfers" && i + 1 < argc) {
            transfers = std::atoi(argv[++i]);
        } else if (arg == "--cycles" && i + 1 < argc) {
            cycles = std::atoi(argv[++i]);
        } else if (arg == "--dialog-cycles" && i + 1 < argc) {
            dialogCycles = std::atoi(argv[++i]);
        } else if (arg == "--save" && i + 1 < argc) {
            save = argv[++i];
        } else if (arg == "--against" && i + 1 < argc) {
            against = argv[++i];
        } else if (arg == "host-path" || arg == "calls" || arg == "open" || arg == "convert" || arg == "transfer" || arg == "formats" || arg == "memory-use" || arg == "continuous" ||
                   arg == "header" || arg == "soak" || arg == "timelapse" || arg == "averaging") {
            part = arg;
        } else {
            std::fprintf(stderr,
                         "usage: ds_bench [header|convert|transfer|formats|continuous|timelapse|averaging|memory-use|host-path|calls|open|soak]"
                         " [--rounds N] [--frames N] [--transfers N] [--cycles N] [--dialog-cycles N]"
                         " [--save FILE] [--against FILE]\n");
            return 2;
        }
    }
    // A message box would wait for a person: the watcher prints and closes it.
    BoxWatcher watcher;
    const bool all = part == "all";
    int status = 0;
    if (all || part == "header") {
        std::printf("| Measure | Figure | Target | Absolute (reference only) |\n|---|---|---|---|\n");
    }
#ifndef DS_BENCH_64
    if (all || part == "convert") {
        status |= RunConversion(rounds);
    }
    if (all || part == "transfer") {
        status |= RunTransfer(rounds);
    }
    if (all || part == "formats") {
        status |= RunFileFormats(rounds);
    }
    if (part == "open") {
        status |= RunOpenSteps(rounds);
    }
#endif
    if (part == "host-path") {
        status |= RunHostPath(rounds, save, against);
    }
    if (part == "calls") {
        status |= RunCalls(rounds, save, against);
    }
    if (all || part == "continuous") {
#ifdef DS_BENCH_64
        PrintSection("5c. Continuous acquisition in a 64-bit application through Wine's 64-bit manager, "
                     "Twain_64.ds and its host, CAP_XFERCOUNT -1, 40 ms frame period");
#else
        PrintSection("3. Continuous acquisition through Wine's Data Source Manager, CAP_XFERCOUNT -1, 40 ms frame period");
#endif
        for (const char* format : {"M_CCIR", "M_PAL_RGB"}) {
            status |= RunContinuous(format, "native", frames);
            status |= RunContinuous(format, "memory", frames);
            status |= RunContinuous(format, "memory, 4096-byte strips", frames, 4096);
        }
    }
    if (all || part == "timelapse") {
        PrintSection(sizeof(void*) == 8 ? "8b. Time-lapse in a 64-bit application through Twain_64.ds and its host, M_CCIR"
                                        : "8. Time-lapse through Wine's Data Source Manager, M_CCIR");
        status |= RunTimeLapse(std::min(frames, 100), 40);
        status |= RunTimeLapse(std::min(frames, 100), 1000);
    }
#ifndef DS_BENCH_64
    if (all || part == "averaging") {
        status |= RunAveraging(rounds);
    }
    if (all || part == "memory-use") {
        status |= RunMemory(1000, 200);
    }
    // Long: only when asked for (tools/soak.sh).
    if (part == "soak") {
        status |= RunSoak(transfers, cycles, dialogCycles);
    }
#else
    (void)transfers;
    (void)cycles;
    (void)dialogCycles;
#endif
    return status;
}
