// Benchmark 2: what a transfer through DS_Entry adds to the grab. The source is
// loaded from the build and called directly; the simulated library waits for
// no frame period, so the grab costs only its drawing. The grab alone is
// MdigGrab called on the source's own digitizer and image buffer, whose ids
// the library's call trace of a first transfer shows.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/common.h"

namespace {

typedef void(__stdcall* GrabProc)(long digitizer, long image);

volatile uint8_t Sink;

struct Config {
    const char* VideoFormat;
    const char* BufferFormat;
    size_t FrameBytes;  // bytes of a grabbed frame in the image buffer
};

const Config Configs[] = {
    {"M_CCIR", "M_BGR32", 768 * 576},
    {"M_PAL_RGB", "M_BGR32", 768 * 576 * 4},
    {"M_PAL_RGB", "M_RGB24", 768 * 576 * 3},
};

struct Mechanism {
    const char* Name;
    TW_UINT16 Code;
    size_t Strip;  // memory transfer buffer; 0: the source's preferred size
};

const Mechanism Mechanisms[] = {
    {"native", TWSX_NATIVE, 0},
    {"memory, whole image", TWSX_MEMORY, 0},
    {"memory, 4096-byte strips", TWSX_MEMORY, 4096},
    {"file", TWSX_FILE, 0},
};

std::string TempFolder()
{
    char folder[MAX_PATH] = "";
    GetTempPathA(sizeof folder, folder);
    return folder;
}

// The digitizer and buffer of the last MdigGrab in the trace.
bool GrabIds(const std::string& trace, long& digitizer, long& image)
{
    std::ifstream in(trace);
    std::string line;
    bool found = false;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string name;
        long d = 0, i = 0;
        if (words >> name >> d >> i && name == "MdigGrab") {
            digitizer = d;
            image = i;
            found = true;
        }
    }
    return found;
}

}  // namespace

int RunTransfer(int rounds)
{
    PrintSection(
        "2. Transfer overhead through DS_Entry, state 6 to MSG_ENDXFER, minus MdigGrab alone (frame wait 0)");
    const std::string trace = TempFolder() + "ds_bench_trace.txt";
    const std::string file = TempFolder() + "ds_bench.tif";
    SetEnv("ORIONSIM_FRAME_MS", "0");
    DirectSource source;
    if (!source.Loaded()) {
        return 1;
    }
    const Caller call = source.AsCaller();
    int status = 0;
    for (const Config& config : Configs) {
        SetVideoFormat(config.VideoFormat);
        SetEnv("ORIONSIM_BUFFER_FORMAT", config.BufferFormat);
        std::vector<uint8_t> from(config.FrameBytes, 3), to(config.FrameBytes, 1);
        const bool colour = std::strcmp(config.VideoFormat, "M_CCIR") != 0;
        const std::string label =
            colour ? Format("%s %s", config.VideoFormat, config.BufferFormat) : std::string(config.VideoFormat);
        {
            // The least any native transfer does: a fresh movable block the
            // size of the bitmap, the frame copied into it, the block freed.
            const size_t bitmapBytes = 1064 + config.FrameBytes;
            std::vector<double> fresh, copies;
            for (int round = 0; round < rounds; ++round) {
                double start = Now();
                HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, bitmapBytes);
                auto* bytes = static_cast<uint8_t*>(GlobalLock(block));
                std::memcpy(bytes + 1064, from.data(), config.FrameBytes);
                Sink = bytes[bitmapBytes / 2];
                GlobalUnlock(block);
                GlobalFree(block);
                fresh.push_back(Now() - start);
                start = Now();
                for (int i = 0; i < 5; ++i) {
                    std::memcpy(to.data(), from.data(), config.FrameBytes);
                    Sink = to[config.FrameBytes / 2];
                }
                copies.push_back((Now() - start) / 5);
            }
            PrintRow(Format("%s, reference: GlobalAlloc + memcpy into it + GlobalFree", label.c_str()),
                     Format("%.2f x memcpy", Median(fresh) / Median(copies)), "(floor of a native transfer)",
                     Format("%.3f ms, memcpy %.3f ms", Median(fresh) * 1000, Median(copies) * 1000));
        }
        for (const Mechanism& mechanism : Mechanisms) {
            DeleteFileA(trace.c_str());
            SetEnv("ORIONSIM_TRACE", trace.c_str());
            if (!source.OpenAndEnable(mechanism.Code)) {
                status = 1;
                source.Close();
                continue;
            }
            size_t stripSize = mechanism.Strip;
            if (mechanism.Code == TWSX_MEMORY && stripSize == 0) {
                TW_SETUPMEMXFER setup = {};
                call(DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, &setup);
                stripSize = setup.Preferred;
            }
            std::vector<uint8_t> strip(stripSize == 0 ? 1 : stripSize);
            auto transfer = [&] {
                bool ok = false;
                HGLOBAL bitmap = nullptr;
                size_t bytes = 0;
                switch (mechanism.Code) {
                case TWSX_NATIVE: ok = TransferNative(call, bitmap); break;
                case TWSX_MEMORY: ok = TransferMemory(call, strip, bytes); break;
                default: ok = TransferFile(call, file); break;
                }
                ok = EndTransfer(call) != -2 && ok;
                return std::make_pair(ok, bitmap);
            };
            // The first transfer shows the ids in the trace, then tracing stops.
            auto first = transfer();
            if (first.second != nullptr) {
                GlobalFree(first.second);
            }
            SetEnv("ORIONSIM_TRACE", nullptr);
            long digitizer = 0, image = 0;
            HMODULE library = GetModuleHandleA("MIL.DLL");
            auto grab = library != nullptr ? reinterpret_cast<GrabProc>(reinterpret_cast<void (*)()>(
                                                 GetProcAddress(library, "MdigGrab")))
                                           : nullptr;
            if (!first.first || !GrabIds(trace, digitizer, image) || grab == nullptr) {
                std::fprintf(stderr, "ds_bench: %s %s transfer failed or showed no grab\n", label.c_str(),
                             mechanism.Name);
                status = 1;
                source.Close();
                continue;
            }
            for (int i = 0; i < 3; ++i) {  // warm up
                auto warm = transfer();
                if (warm.second != nullptr) {
                    GlobalFree(warm.second);
                }
            }
            std::vector<double> transfers, grabs, copies, overheads;
            bool failed = false;
            for (int round = 0; round < rounds && !failed; ++round) {
                double start = Now();
                auto result = transfer();
                const double tTransfer = Now() - start;
                if (result.second != nullptr) {
                    GlobalFree(result.second);
                }
                failed = !result.first;
                start = Now();
                grab(digitizer, image);
                const double tGrab = Now() - start;
                // memcpy between two warm buffers of this process, the mean of 5.
                start = Now();
                for (int i = 0; i < 5; ++i) {
                    std::memcpy(to.data(), from.data(), config.FrameBytes);
                    Sink = to[config.FrameBytes / 2];
                }
                const double tCopy = (Now() - start) / 5;
                transfers.push_back(tTransfer);
                grabs.push_back(tGrab);
                copies.push_back(tCopy);
                overheads.push_back(tTransfer - tGrab);
            }
            source.Close();
            if (failed) {
                std::fprintf(stderr, "ds_bench: a %s %s transfer failed\n", label.c_str(), mechanism.Name);
                status = 1;
                continue;
            }
            const double overhead = Median(overheads);
            const double copy = Median(copies);
            const bool targeted = mechanism.Code != TWSX_FILE;
            PrintRow(Format("%s, %s", label.c_str(), mechanism.Name),
                     Format("%.2f x memcpy, %.2f %% of 40 ms", overhead / copy, overhead / 0.040 * 100),
                     targeted ? "<= 1.5 x, < 5 %" : "(none)",
                     Format("transfer %.3f ms, grab %.3f ms, overhead %.3f ms, memcpy %.3f ms",
                            Median(transfers) * 1000, Median(grabs) * 1000, overhead * 1000, copy * 1000));
        }
    }
    SetEnv("ORIONSIM_BUFFER_FORMAT", nullptr);
    SetEnv("ORIONSIM_FRAME_MS", nullptr);
    SetVideoFormat("M_CCIR");
    DeleteFileA(file.c_str());
    DeleteFileA(trace.c_str());
    return status;
}

namespace {

struct FileFormat {
    const char* Name;
    TW_UINT16 Code;
};

const FileFormat FileFormats[] = {
    {"TIFF (the board library's save)", TWFF_TIFF}, {"BMP", TWFF_BMP}, {"PNG", TWFF_PNG},
    {"JPEG, quality 75", TWFF_JFIF}, {"multi-page TIFF, a page", TWFF_TIFFMULTI},
};

LONGLONG FileBytes(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) {
        return -1;
    }
    return (static_cast<LONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

}  // namespace

int RunFileFormats(int rounds)
{
    PrintSection("2b. File transfer by format, a 768 x 576 frame through DS_Entry, state 6 to MSG_ENDXFER (frame wait 0)");
    SetEnv("ORIONSIM_FRAME_MS", "0");
    DirectSource source;
    if (!source.Loaded()) {
        return 1;
    }
    const Caller call = source.AsCaller();
    int status = 0;
    const struct {
        const char* Label;
        const char* VideoFormat;
        const char* BufferFormat;
        size_t RawBytes;  // the image's samples
    } frames[] = {{"grey", "M_CCIR", "M_BGR32", 768 * 576}, {"colour", "M_PAL_RGB", "M_BGR32", 768 * 576 * 3}};
    for (const auto& frame : frames) {
        SetVideoFormat(frame.VideoFormat);
        SetEnv("ORIONSIM_BUFFER_FORMAT", frame.BufferFormat);
        for (const FileFormat& format : FileFormats) {
            const std::string file = TempFolder() + "ds_bench_format.img";
            DeleteFileA(file.c_str());
            if (!source.OpenAndEnable(TWSX_FILE)) {
                status = 1;
                source.Close();
                continue;
            }
            std::vector<double> times;
            LONGLONG bytes = 0;
            bool failed = false;
            // Three to warm up, then the rounds measured.
            for (int round = -3; round < rounds && !failed; ++round) {
                const double start = Now();
                failed = !TransferFile(call, file, format.Code) || EndTransfer(call) == -2;
                if (round >= 0) {
                    times.push_back(Now() - start);
                }
                if (format.Code != TWFF_TIFFMULTI) {
                    bytes = FileBytes(file);
                }
            }
            // The pages land in the file when the transfers end.
            source.Close();
            if (format.Code == TWFF_TIFFMULTI) {
                bytes = FileBytes(file) / (rounds + 3);
            }
            DeleteFileA(file.c_str());
            if (failed || bytes <= 0) {
                std::fprintf(stderr, "ds_bench: a %s %s file transfer failed\n", frame.Label, format.Name);
                status = 1;
                continue;
            }
            PrintRow(Format("%s, %s", frame.Label, format.Name),
                     Format("%.2f ms, %.1f %% of the raw image", Median(times) * 1000,
                            100.0 * static_cast<double>(bytes) / static_cast<double>(frame.RawBytes)),
                     "(none)",
                     Format("%lld bytes, raw image %u bytes", static_cast<long long>(bytes),
                            static_cast<unsigned>(frame.RawBytes)));
        }
    }
    SetEnv("ORIONSIM_BUFFER_FORMAT", nullptr);
    SetEnv("ORIONSIM_FRAME_MS", nullptr);
    SetVideoFormat("M_CCIR");
    return status;
}
