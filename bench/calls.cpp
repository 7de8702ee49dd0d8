// Benchmark 6: what one call into the source costs, in state 4 (no frame, no
// transfer): DAT_STATUS, and MSG_GETCURRENT of ICAP_PIXELTYPE with the
// application freeing the container it gets, against an empty call into
// another module. The 32-bit run measures Twain_32.ds called directly and
// saves its medians (--save); the 64-bit run measures Twain_64.ds through
// its host and prints them beside the 32-bit ones (--against).
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "bench/common.h"

namespace {

constexpr int CallsPerRound = 1000;
constexpr bool SixtyFour = sizeof(void*) == 8;

}  // namespace

int RunCalls(int rounds, const std::string& save, const std::string& against)
{
    PrintSection(SixtyFour ? "6b. One call to Twain_64.ds through its 32-bit host, state 4 (microseconds a call)"
                           : "6a. One call to Twain_32.ds called directly, state 4 (microseconds a call)");
    DirectSource source;
    if (!source.Loaded()) {
        return 1;
    }
    // The application's own cost of a call into a module: a function found
    // by name and called through a pointer, doing next to nothing.
    typedef DWORD(WINAPI * EmptyProc)();
    const auto empty = reinterpret_cast<EmptyProc>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetCurrentThreadId")));
    if (empty == nullptr || !source.Open()) {
        std::fprintf(stderr, "ds_bench: calls: the source did not open\n");
        return 1;
    }
    const Caller call = source.AsCaller();
    volatile DWORD sink = 0;
    bool ok = true;
    auto status = [&] {
        TW_STATUS answer = {};
        ok = call(DG_CONTROL, DAT_STATUS, MSG_GET, &answer) == TWRC_SUCCESS && ok;
    };
    auto pixelType = [&] {
        TW_CAPABILITY capability = {ICAP_PIXELTYPE, 0, nullptr};
        ok = call(DG_CONTROL, DAT_CAPABILITY, MSG_GETCURRENT, &capability) == TWRC_SUCCESS && ok;
        GlobalFree(capability.hContainer);
    };
    auto perCall = [&](const std::function<void()>& one) {
        std::vector<double> times;
        for (int round = 0; round < rounds; ++round) {
            const double start = Now();
            for (int i = 0; i < CallsPerRound; ++i) {
                one();
            }
            times.push_back((Now() - start) / CallsPerRound);
        }
        return Median(times);
    };
    status();  // warm up
    pixelType();
    const double tEmpty = perCall([&] { sink = empty(); });
    const double tStatus = perCall(status);
    const double tPixelType = perCall(pixelType);
    source.Close();
    (void)sink;
    if (!ok) {
        std::fprintf(stderr, "ds_bench: calls: a call failed\n");
        return 1;
    }
    const SavedFigures thirtyTwo = ReadFigures(against);
    if (FILE* saved = save.empty() ? nullptr : std::fopen(save.c_str(), "w")) {
        std::fprintf(saved, "call-status %.9f\ncall-pixeltype %.9f\n", tStatus, tPixelType);
        std::fclose(saved);
    }
    const struct {
        const char* Name;
        const char* Key;
        double Time;
    } rows[] = {
        {"DAT_STATUS / MSG_GET", "call-status", tStatus},
        {"DAT_CAPABILITY / MSG_GETCURRENT of ICAP_PIXELTYPE, container freed", "call-pixeltype", tPixelType},
    };
    for (const auto& row : rows) {
        std::string figure = Format("%.2f us a call", row.Time * 1e6);
        const auto base = thirtyTwo.find(row.Key);
        if (base != thirtyTwo.end()) {
            figure += Format(", the 32-bit path %.2f us, the round trip %.2f us", base->second * 1e6,
                             (row.Time - base->second) * 1e6);
        }
        PrintRow(Format("%d x %s", CallsPerRound, row.Name), figure,
                 SixtyFour ? "the round trip at most 20 us" : "no kernel round trip",
                 Format("empty cross-module call %.3f us", tEmpty * 1e6));
    }
    return 0;
}
