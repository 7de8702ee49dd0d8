// Benchmark 3: continuous acquisition through Wine's Data Source Manager at the
// simulated library's own frame rate (25 frames a second for M_CCIR):
// CAP_XFERCOUNT -1, one transfer after the other, MSG_RESET at the end; then
// the source opened again by the same application for one image, as most
// applications open it for every acquisition.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "acquire/dsm.h"
#include "bench/common.h"

namespace {

constexpr double Period = 0.040;

// Runs the window's messages through the source until it announces a transfer.
bool WaitForTransfer(DataSourceManager& dsm, TW_IDENTITY& source)
{
    const double deadline = Now() + 30;
    MSG message;
    while (Now() < deadline) {
        if (!PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
            continue;
        }
        TW_EVENT event = {&message, MSG_NULL};
        const TW_UINT16 rc = dsm.Call(&source, DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event);
        if (event.TWMessage == MSG_XFERREADY) {
            return true;
        }
        if (rc != TWRC_DSEVENT) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
    return false;
}

// The source opened through Wine's manager from a window of this program.
struct ManagedSource {
    HWND Window = CreateWindowA("STATIC", "ds_bench", WS_OVERLAPPED, 0, 0, 1, 1, nullptr, nullptr,
                                GetModuleHandleA(nullptr), nullptr);
    DataSourceManager Dsm;
    TW_IDENTITY Source = {};
    Caller Call = [this](TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, void* data) {
        return Dsm.Call(&Source, dg, dat, msg, data);
    };
    ~ManagedSource()
    {
        Dsm.Close();
        DestroyWindow(Window);
    }
    bool OpenManager()
    {
        Dsm.App = ApplicationIdentity("ds_bench");
        std::string error;
        if (!Dsm.Open(Window, error)) {
            std::fprintf(stderr, "ds_bench: %s\n", error.c_str());
            return false;
        }
        return true;
    }
    // MSG_OPENDS.
    bool OpenSource()
    {
        std::strcpy(Source.ProductName, "Talvenix Matrox Orion driver");
        if (Dsm.Call(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &Source) != TWRC_SUCCESS) {
            std::fprintf(stderr, "ds_bench: cannot open the source through the manager\n");
            return false;
        }
        return true;
    }
    bool Enable()
    {
        TW_USERINTERFACE ui = {0, 0, Window};
        return Call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui) == TWRC_SUCCESS;
    }
    void DisableAndClose(bool enabled)
    {
        if (enabled) {
            TW_USERINTERFACE ui = {0, 0, Window};
            Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui);
        }
        Dsm.Call(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &Source);
    }
};

}  // namespace

int RunContinuous(const char* videoFormat, const char* mechanismName, int frames, size_t stripBytes)
{
    const bool memory = std::strcmp(mechanismName, "native") != 0;
    const TW_UINT16 mechanism = memory ? TWSX_MEMORY : TWSX_NATIVE;
    SetEnv("ORIONSIM_FRAME_MS", nullptr);
    SetEnv("ORIONSIM_BUFFER_FORMAT", nullptr);
    SetVideoFormat(videoFormat);
    ManagedSource managed;
    DataSourceManager& dsm = managed.Dsm;
    TW_IDENTITY& source = managed.Source;
    const Caller& call = managed.Call;
    if (!managed.OpenManager()) {
        return 1;
    }
    const double opened = Now();
    if (!managed.OpenSource()) {
        return 1;
    }
    const double openEnd = Now();
    double ready = 0;
    int status = 0;
    std::vector<double> done;
    std::vector<uint8_t> strip;
    auto enable = [&] {
        return SetOneValue(call, CAP_XFERCOUNT, TWTY_INT16, 0xFFFF) &&
               SetOneValue(call, ICAP_XFERMECH, TWTY_UINT16, mechanism) && managed.Enable();
    };
    auto transfer = [&] {
        if (memory) {
            size_t bytes = 0;
            return TransferMemory(call, strip, bytes);
        }
        HGLOBAL bitmap = nullptr;
        const bool ok = TransferNative(call, bitmap);
        if (bitmap != nullptr) {
            GlobalFree(bitmap);
        }
        return ok;
    };
    const bool enabled = enable();
    if (enabled && WaitForTransfer(dsm, source)) {
        ready = Now();
        if (memory) {
            TW_SETUPMEMXFER setup = {};
            call(DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, &setup);
            strip.resize(stripBytes != 0 ? stripBytes : setup.Preferred);
        }
        done.reserve(static_cast<size_t>(frames));
        while (static_cast<int>(done.size()) < frames) {
            const bool ok = transfer();
            const int pending = EndTransfer(call);
            done.push_back(Now());
            if (!ok || pending == -2 || pending == 0) {
                std::fprintf(stderr, "ds_bench: the %s transfer of image %d failed\n", mechanismName,
                             static_cast<int>(done.size()));
                status = 1;
                break;
            }
        }
        ResetTransfers(call);
    } else {
        std::fprintf(stderr, "ds_bench: the source did not announce a transfer\n");
        status = 1;
    }
    managed.DisableAndClose(enabled);
    // The second open, to its first image.
    const double reopened = Now();
    double secondImage = 0;
    if (status == 0 && managed.OpenSource()) {
        if (enable() && WaitForTransfer(dsm, source) && transfer()) {
            secondImage = Now();
        }
        ResetTransfers(call);
        managed.DisableAndClose(true);
    }
    if (status == 0 && secondImage == 0) {
        std::fprintf(stderr, "ds_bench: the second open gave no image\n");
        status = 1;
    }
    if (done.size() < 2) {
        return 1;
    }
    std::vector<double> intervals;
    for (size_t i = 1; i < done.size(); ++i) {
        intervals.push_back(done[i] - done[i - 1]);
    }
    // Grabs end on frame boundaries: a frame later than 10 % over the period
    // means a frame of the camera went by unseen.
    const auto late = std::count_if(intervals.begin(), intervals.end(), [](double t) { return t > Period * 1.1; });
    const double longest = *std::max_element(intervals.begin(), intervals.end());
    const double fps = static_cast<double>(intervals.size()) / (done.back() - done.front());
    PrintRow(Format("%s, %s, %d frames at 25 fps", videoFormat, mechanismName, static_cast<int>(done.size())),
             Format("%.3f x 25 fps, %d over one period", fps / 25, static_cast<int>(late)),
             "1.00 x, 0 over one period",
             Format("%.2f fps, median interval %.2f ms, longest %.2f ms", fps, Median(intervals) * 1000,
                    longest * 1000));
    PrintRow(Format("%s, %s, MSG_OPENDS to first image", videoFormat, mechanismName),
             Format("%.1f ms", (done[0] - opened) * 1000), sizeof(void*) == 8 ? "(none)" : "< 100 ms",
             Format("MSG_OPENDS %.1f ms, then MSG_XFERREADY after %.1f ms, first image after %.1f ms (a frame "
                    "wait of up to 40 ms)",
                    (openEnd - opened) * 1000, (ready - openEnd) * 1000, (done[0] - ready) * 1000));
    if (secondImage != 0) {
        PrintRow(Format("%s, %s, second MSG_OPENDS of the application to first image", videoFormat, mechanismName),
                 Format("%.1f ms", (secondImage - reopened) * 1000), "< 100 ms",
                 sizeof(void*) == 8 ? "the host kept idle after MSG_CLOSEDS serves it" : "(the 32-bit path)");
    }
    return status;
}

int RunTimeLapse(int frames, int betweenMs)
{
    SetEnv("ORIONSIM_FRAME_MS", nullptr);
    SetVideoFormat("M_CCIR");
    ManagedSource managed;
    const Caller& call = managed.Call;
    if (!managed.OpenManager() || !managed.OpenSource()) {
        return 1;
    }
    // Buffers for every image: the application collects slower than the
    // schedule at 40 ms, and none may be lost.
    bool enabled = SetOneValue(call, CAP_AUTOMATICCAPTURE, TWTY_INT32, static_cast<TW_UINT32>(frames)) &&
                   SetOneValue(call, CAP_TIMEBETWEENCAPTURES, TWTY_INT32, static_cast<TW_UINT32>(betweenMs)) &&
                   SetOneValue(call, CAP_MAXBATCHBUFFERS, TWTY_UINT32, static_cast<TW_UINT32>(frames)) &&
                   SetOneValue(call, CAP_XFERCOUNT, TWTY_INT16, 0xFFFF) && managed.Enable();
    std::vector<double> late;  // each image's capture against its schedule, ms
    int status = 0;
    if (enabled && WaitForTransfer(managed.Dsm, managed.Source)) {
        double first = 0;
        for (int i = 0; i < frames; ++i) {
            HGLOBAL bitmap = nullptr;
            const bool ok = TransferNative(call, bitmap);
            struct {
                TW_UINT32 NumInfos;
                TW_INFO Info[1];
            } ext = {1, {{TWEI_CAPTUREMS, 0, 0, 0, 0}}};
            const bool told = ok && call(DG_IMAGE, DAT_EXTIMAGEINFO, MSG_GET, &ext) == TWRC_SUCCESS &&
                              ext.Info[0].ReturnCode == TWRC_SUCCESS;
            GlobalFree(bitmap);
            const int pending = EndTransfer(call);
            if (!told || pending < 0) {
                std::fprintf(stderr, "ds_bench: time-lapse image %d failed\n", i + 1);
                status = 1;
                break;
            }
            const double captured = static_cast<double>(ext.Info[0].Item);
            first = i == 0 ? captured : first;
            late.push_back(captured - first - static_cast<double>(i) * betweenMs);
            if (pending == 0) {
                break;
            }
            // A slow application: five frame periods between two transfers.
            Sleep(5 * 40);
        }
        ResetTransfers(call);
    } else {
        std::fprintf(stderr, "ds_bench: the source did not announce a transfer\n");
        status = 1;
    }
    managed.DisableAndClose(enabled);
    if (late.empty()) {
        return 1;
    }
    std::vector<double> off;
    for (double t : late) {
        off.push_back(t < 0 ? -t : t);
    }
    const double worst = *std::max_element(off.begin(), off.end());
    PrintRow(Format("time-lapse, %d images %d ms apart, collected every 200 ms or slower", frames, betweenMs),
             Format("%d of %d images, worst %.0f ms from its time", static_cast<int>(late.size()), frames, worst),
             "all, each within 40 ms (one frame period)",
             Format("median %.0f ms from its time", Median(off)));
    return status;
}
