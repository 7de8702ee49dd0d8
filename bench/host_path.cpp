// Benchmark 5: a whole transfer through DS_Entry (state 6 to MSG_ENDXFER,
// frame wait 0) of the source this program was built for: Twain_32.ds called
// directly in the 32-bit ds_bench, Twain_64.ds with its 32-bit host in the
// 64-bit one. The 32-bit run saves its medians (--save), the 64-bit run reads
// them (--against) and prints what the host adds to the 32-bit path.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/common.h"

namespace {

volatile uint8_t Sink;

struct Row {
    const char* VideoFormat;
    TW_UINT16 PixelType;
    const char* Mechanism;
    TW_UINT16 Code;
    size_t ImageBytes;  // what the application gets
};

const Row Rows[] = {
    {"M_CCIR", TWPT_GRAY, "native", TWSX_NATIVE, 1064 + 768 * 576},
    {"M_CCIR", TWPT_GRAY, "memory", TWSX_MEMORY, 768 * 576},
    {"M_PAL_RGB", TWPT_RGB, "native", TWSX_NATIVE, 40 + 768 * 576 * 3},
    {"M_PAL_RGB", TWPT_RGB, "memory", TWSX_MEMORY, 768 * 576 * 3},
};

constexpr bool SixtyFour = sizeof(void*) == 8;

}  // namespace

int RunHostPath(int rounds, const std::string& save, const std::string& against)
{
    PrintSection(SixtyFour ? "5b. Twain_64.ds through its 32-bit host, state 6 to MSG_ENDXFER (frame wait 0)"
                           : "5a. Twain_32.ds called directly, state 6 to MSG_ENDXFER (frame wait 0)");
    SetEnv("ORIONSIM_FRAME_MS", "0");
    SetEnv("ORIONSIM_BUFFER_FORMAT", "M_RGB24");
    const SavedFigures thirtyTwo = ReadFigures(against);
    FILE* saved = save.empty() ? nullptr : std::fopen(save.c_str(), "w");
    DirectSource source;
    if (!source.Loaded()) {
        return 1;
    }
    const Caller call = source.AsCaller();
    int status = 0;
    for (const Row& row : Rows) {
        SetVideoFormat(row.VideoFormat);
        if (!source.OpenAndEnable(row.Code, row.PixelType)) {
            std::fprintf(stderr, "ds_bench: %s %s: the source did not open\n", row.VideoFormat, row.Mechanism);
            source.Close();
            status = 1;
            continue;
        }
        std::vector<uint8_t> strip(row.ImageBytes), from(row.ImageBytes, 3), to(row.ImageBytes, 1);
        auto transfer = [&] {
            HGLOBAL bitmap = nullptr;
            size_t bytes = 0;
            bool ok = row.Code == TWSX_NATIVE ? TransferNative(call, bitmap) : TransferMemory(call, strip, bytes);
            if (bitmap != nullptr) {
                GlobalFree(bitmap);
            }
            return EndTransfer(call) != -2 && ok;
        };
        bool ok = transfer() && transfer();  // warm up
        std::vector<double> transfers, copies;
        for (int round = 0; round < rounds && ok; ++round) {
            double start = Now();
            ok = transfer();
            transfers.push_back(Now() - start);
            start = Now();
            for (int i = 0; i < 5; ++i) {
                std::memcpy(to.data(), from.data(), row.ImageBytes);
                Sink = to[row.ImageBytes / 2];
            }
            copies.push_back((Now() - start) / 5);
        }
        source.Close();
        if (!ok) {
            std::fprintf(stderr, "ds_bench: a %s %s transfer failed\n", row.VideoFormat, row.Mechanism);
            status = 1;
            continue;
        }
        const std::string key = Format("%s-%s", row.VideoFormat, row.Mechanism);
        const double time = Median(transfers);
        const double copy = Median(copies);
        if (saved != nullptr) {
            std::fprintf(saved, "%s %.9f\n", key.c_str(), time);
        }
        const auto base = thirtyTwo.find(key);
        std::string figure = Format("%.2f x memcpy", time / copy);
        std::string absolute = Format("transfer %.3f ms, memcpy %.3f ms (%lu bytes)", time * 1000, copy * 1000,
                                      static_cast<unsigned long>(row.ImageBytes));
        if (base != thirtyTwo.end()) {
            figure += Format(", %.2f x the 32-bit path (+%.3f ms)", time / base->second,
                             (time - base->second) * 1000);
            absolute += Format(", 32-bit path %.3f ms", base->second * 1000);
        }
        PrintRow(Format("%s, %s, %s", row.VideoFormat, row.PixelType == TWPT_RGB ? "RGB" : "grey", row.Mechanism),
                 figure,
                 !SixtyFour                    ? "(the 32-bit path)"
                 : row.Code == TWSX_NATIVE ? "the 32-bit path, a copy in each process through the image section"
                                           : "the 32-bit path, a copy out of the image section",
                 absolute);
    }
    if (saved != nullptr) {
        std::fclose(saved);
    }
    SetEnv("ORIONSIM_BUFFER_FORMAT", nullptr);
    SetEnv("ORIONSIM_FRAME_MS", nullptr);
    SetVideoFormat("M_CCIR");
    return status;
}
