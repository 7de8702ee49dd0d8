// Twain_64.ds loaded into a 64-bit program as a manager loads it, the 32-bit
// source and its host installed in the 64-bit Wine prefix (run64.sh puts them
// there). The main paths, each judged by its outcome: what the application's
// structures and blocks hold, the simulated board's pattern in every image,
// the notices the stand-in manager receives, and the host processes there are.
#include <gtest/gtest.h>
#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "acquire/box_watcher.h"
#include "acquire/image_check.h"
#include "tests/rig/app_containers.h"
#include "tests/rig/automatic_capture.h"
#include "tests/rig/ds_rig.h"
#include "tests/standin_dsm/standin_dsm.h"

namespace {

const char* const ProductName = "Talvenix Matrox Orion driver";

std::string HostPath()
{
    char windows[MAX_PATH] = "";
    GetWindowsDirectoryA(windows, MAX_PATH);
    return std::string(windows) + "\\twain_32\\Talvenix\\TwainHost32.exe";
}

// Where both sources of a 64-bit application's session log (the user
// guide's TALVENIX.LOG).
std::string LogPath()
{
    char windows[MAX_PATH] = "";
    GetWindowsDirectoryA(windows, MAX_PATH);
    return std::string(windows) + "\\twain_32\\Talvenix\\TALVENIX.LOG";
}

// The stand-in source that answers out of bounds (run64.sh puts it beside
// the real one), in the real one's place while `swap` and the struct lasts.
struct BrokenSourceInPlace {
    explicit BrokenSourceInPlace(bool swap)
    {
        char windows[MAX_PATH] = "";
        GetWindowsDirectoryA(windows, MAX_PATH);
        Source = std::string(windows) + "\\twain_32\\Talvenix\\Twain_32.ds";
        Swapped = swap && MoveFileExA(Source.c_str(), (Source + ".aside").c_str(), MOVEFILE_REPLACE_EXISTING);
        InPlace = Swapped && CopyFileA((Source + ".broken").c_str(), Source.c_str(), FALSE);
    }
    ~BrokenSourceInPlace()
    {
        if (Swapped) {
            DeleteFileA(Source.c_str());
            MoveFileA((Source + ".aside").c_str(), Source.c_str());
        }
    }
    BrokenSourceInPlace(const BrokenSourceInPlace&) = delete;
    BrokenSourceInPlace& operator=(const BrokenSourceInPlace&) = delete;
    std::string Source;
    bool Swapped = false;
    bool InPlace = false;
};

// "HelperBusyLimit" in seconds, as a user sets it; 0 the default.
void SetBusyLimit(DWORD seconds)
{
    WriteRegistryValue("SOFTWARE\\Talvenix\\Twain", "HelperBusyLimit", REG_DWORD, &seconds, sizeof seconds);
}

std::vector<DWORD> HostProcesses()
{
    std::vector<DWORD> found;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
        if (lstrcmpiA(entry.szExeFile, "TwainHost32.exe") == 0) {
            found.push_back(entry.th32ProcessID);
        }
    }
    CloseHandle(snapshot);
    return found;
}

// Private bytes committed in a process, summed region by region: Wine
// leaves the process counters at 0.
size_t PrivateBytes(DWORD processId)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, processId);
    if (process == nullptr) {
        return 0;
    }
    size_t bytes = 0;
    MEMORY_BASIC_INFORMATION region = {};
    for (uintptr_t at = 0; VirtualQueryEx(process, reinterpret_cast<void*>(at), &region, sizeof region) != 0;) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) {
            bytes += region.RegionSize;
        }
        const uintptr_t next = reinterpret_cast<uintptr_t>(region.BaseAddress) + region.RegionSize;
        if (next <= at) {
            break;
        }
        at = next;
    }
    CloseHandle(process);
    return bytes;
}

class Forwarding : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        manager_ = LoadLibraryA((ExeDirectory() + "\\TWAINDSM.DLL").c_str());
        notices_ = reinterpret_cast<StandInNoticesProc>(
            reinterpret_cast<void (*)()>(GetProcAddress(manager_, "StandInNotices")));
    }
    void SetUp() override
    {
        ASSERT_NE(notices_, nullptr) << "the stand-in manager beside the test";
        ASSERT_TRUE(ds_.Loaded());
        // The host inherits the environment: the board's deterministic pattern, no frame wait.
        SetEnvironmentVariableA("ORIONSIM_PATTERN", "gradient");
        SetEnvironmentVariableA("ORIONSIM_FRAME_MS", "0");
    }
    void TearDown() override
    {
        ds_.Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &identity_);
        EndIdleHost();
        EXPECT_TRUE(HostProcesses().empty()) << "no host outlives the source's unload";
        if (formatChanged_) {
            SetFormat("M_CCIR");
        }
    }

    // The video format the source opens with next (a first open writes the
    // user's settings, which are then changed).
    void SetFormat(const char* format)
    {
        Open();
        ds_.Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &identity_);
        WriteRegistryValue("SOFTWARE\\Talvenix\\Twain\\Orion", "DigFormat", REG_SZ, format,
                           static_cast<DWORD>(std::strlen(format)));
        formatChanged_ = std::strcmp(format, "M_CCIR") != 0;
    }

    TW_UINT16 Open()
    {
        identity_ = {};
        identity_.Id = 41;  // as a manager assigns it
        std::strcpy(identity_.ProductName, ProductName);
        return ds_.Call(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &identity_);
    }
    TW_UINT16 SetOneValue(TW_UINT16 cap, TW_UINT16 itemType, uint32_t item)
    {
        TW_CAPABILITY capability = {cap, TWON_ONEVALUE, GlobalBlock(OneValueBytes(itemType, item))};
        const TW_UINT16 result = ds_.Call(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &capability);
        GlobalFree(capability.hContainer);
        return result;
    }
    OneValueSeen Current(TW_UINT16 cap)
    {
        TW_CAPABILITY capability = {cap, 0, nullptr};
        OneValueSeen seen;
        if (ds_.Call(DG_CONTROL, DAT_CAPABILITY, MSG_GETCURRENT, &capability) == TWRC_SUCCESS) {
            seen = ReadOneValueBlock(capability.hContainer);
            GlobalFree(capability.hContainer);
        }
        return seen;
    }
    TW_UINT16 Enable(bool showUi)
    {
        TW_USERINTERFACE ui = {static_cast<TW_BOOL>(showUi), 1, nullptr};
        return ds_.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui);
    }
    // Runs the message loop as an application does until the stand-in
    // manager has `count` notices; the last one's message (MSG_NULL when
    // none came within `milliseconds`).
    TW_UINT16 WaitForNotice(int count, DWORD milliseconds = 60000)
    {
        for (DWORD start = GetTickCount(); GetTickCount() - start < milliseconds;) {
            MSG message;
            while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
                TW_EVENT event = {&message, 0xFFFF};
                EXPECT_EQ(ds_.Call(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event), TWRC_NOTDSEVENT);
                EXPECT_EQ(event.TWMessage, MSG_NULL);
                DispatchMessageA(&message);
            }
            StandInNotice seen[64] = {};
            const int received = notices_(seen, 64);
            if (received >= count) {
                last_ = seen[count - 1];
                return seen[count - 1].MSG;
            }
            Sleep(5);
        }
        return MSG_NULL;
    }
    int NoticeCount() { return notices_(nullptr, 0); }
    // The host kept idle after MSG_CLOSEDS goes with the module: the next
    // open starts one that takes the environment as it is now.
    void EndIdleHost() { ds_.Reload(); }
    // Ends the one host as a crash would.
    static void KillHost()
    {
        const std::vector<DWORD> hosts = HostProcesses();
        ASSERT_EQ(hosts.size(), 1u);
        HANDLE host = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, hosts[0]);
        ASSERT_TRUE(TerminateProcess(host, 9));
        WaitForSingleObject(host, 5000);
        CloseHandle(host);
    }

    static HMODULE manager_;
    static StandInNoticesProc notices_;
    DsModule ds_{ExeDirectory() + "\\Twain_64.ds"};
    BoxWatcher boxes_;  // the first-use box comes from the host
    TW_IDENTITY identity_ = {};
    StandInNotice last_ = {};
    bool formatChanged_ = false;
};

HMODULE Forwarding::manager_ = nullptr;
StandInNoticesProc Forwarding::notices_ = nullptr;

TEST_F(Forwarding, IdentityBeforeAndAfterOpening)
{
    TW_IDENTITY asked = {};
    ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_IDENTITY, MSG_GET, &asked), TWRC_SUCCESS);
    EXPECT_STREQ(asked.ProductName, ProductName);
    EXPECT_EQ(asked.ProtocolMajor, 2);
    EXPECT_EQ(asked.ProtocolMinor, 4);
    EXPECT_EQ(asked.SupportedGroups & DF_DS2, DF_DS2);
    EXPECT_EQ(HostProcesses().size(), 0u) << "enumeration starts no host";
    ASSERT_EQ(Open(), TWRC_SUCCESS);
    EXPECT_EQ(HostProcesses().size(), 1u);
    ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_IDENTITY, MSG_GET, &asked), TWRC_SUCCESS);
    EXPECT_EQ(asked.Id, identity_.Id);
    EXPECT_EQ(Open(), TWRC_FAILURE) << "a second open";
    EXPECT_EQ(ds_.Status(), TWCC_SEQERROR);
    TW_IDENTITY stranger = TestAppIdentity(99);
    TW_STATUS status = {};
    EXPECT_EQ(ds_.CallAs(&stranger, DG_CONTROL, DAT_STATUS, MSG_GET, &status), TWRC_SUCCESS);
    // A condition nobody asked for stays with its session.
    EXPECT_EQ(Open(), TWRC_FAILURE);
    ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &identity_), TWRC_SUCCESS);
    ASSERT_EQ(Open(), TWRC_SUCCESS);
    EXPECT_EQ(ds_.Status(), TWCC_SUCCESS) << "the new session's first DAT_STATUS";
}

// Every capability the source lists answers MSG_GET with a new block of the
// application's; one set crosses and comes back.
TEST_F(Forwarding, CapabilitiesCrossBothWays)
{
    ASSERT_EQ(Open(), TWRC_SUCCESS);
    TW_CAPABILITY supported = {CAP_SUPPORTEDCAPS, 0, nullptr};
    ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_CAPABILITY, MSG_GET, &supported), TWRC_SUCCESS);
    ASSERT_EQ(supported.ConType, TWON_ARRAY);
    const ListSeen caps = ReadArrayBlock(supported.hContainer, 2);
    GlobalFree(supported.hContainer);
    ASSERT_GE(caps.Items.size(), 10u);
    for (uint32_t cap : caps.Items) {
        SCOPED_TRACE(testing::Message() << "capability 0x" << std::hex << cap);
        TW_CAPABILITY capability = {static_cast<TW_UINT16>(cap), 0, nullptr};
        ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_CAPABILITY, MSG_GET, &capability), TWRC_SUCCESS);
        ASSERT_NE(capability.hContainer, nullptr);
        EXPECT_EQ(GlobalFlags(capability.hContainer) & GMEM_LOCKCOUNT, 0u) << "handed over unlocked";
        const std::vector<uint8_t> bytes = BlockBytes(capability.hContainer);
        ASSERT_GE(bytes.size(), 6u);
        EXPECT_EQ(GlobalFree(capability.hContainer), nullptr) << "a block the application can free";
    }
    ASSERT_EQ(SetOneValue(ICAP_PIXELTYPE, TWTY_UINT16, TWPT_RGB), TWRC_SUCCESS);
    EXPECT_EQ(Current(ICAP_PIXELTYPE).Item, TWPT_RGB);
    TW_IMAGEINFO info = {};
    ASSERT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TWRC_SUCCESS);
    EXPECT_EQ(info.SamplesPerPixel, 3);
    EXPECT_EQ(SetOneValue(ICAP_XFERMECH, TWTY_UINT16, 77), TWRC_FAILURE);
    EXPECT_EQ(ds_.Status(), TWCC_BADVALUE) << "the 32-bit source's condition, through the host";
    EXPECT_EQ(SetOneValue(ICAP_PIXELTYPE, TWTY_STR32, TWPT_GRAY), TWRC_FAILURE) << "a string is no pixel type";
    EXPECT_EQ(ds_.Status(), TWCC_BADVALUE);
    EXPECT_EQ(Current(ICAP_PIXELTYPE).Item, TWPT_RGB);
    // By the numbers TWAIN publishes: CAP_ENABLEDSUIONLY, CAP_DEVICEONLINE.
    EXPECT_EQ(Current(0x1014).Item, 1u);
    EXPECT_EQ(Current(0x100F).Item, 1u) << "the board in the host answers";
}

struct TransferRow {
    const char* Name;
    const char* Format;  // the board's: M_PAL is a colour board, whose pattern varies down the image
    TW_UINT16 Mechanism;
    TW_UINT16 PixelType;
    uint32_t StripBytes;  // memory: the buffer the application gives, filled to its last byte
    bool HandleBuffer;    // memory: the buffer is a movable block, its Length claiming twice its size
};

class Transfers : public Forwarding, public testing::WithParamInterface<TransferRow> {
protected:
    DecodedImage Native(const TW_IMAGEINFO&)
    {
        TW_HANDLE bitmap = nullptr;
        EXPECT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &bitmap), TWRC_XFERDONE);
        DecodedImage image;
        std::string error;
        EXPECT_EQ(GlobalFlags(bitmap) & GMEM_LOCKCOUNT, 0u) << "handed over unlocked";
        const std::vector<uint8_t> bytes = BlockBytes(bitmap);
        EXPECT_TRUE(DecodeDib(bytes.data(), bytes.size(), image, error)) << error;
        GlobalFree(bitmap);
        return image;
    }
    DecodedImage Memory(const TW_IMAGEINFO& info, uint32_t stripBytes, bool handleBuffer)
    {
        TW_SETUPMEMXFER setup = {};
        EXPECT_EQ(ds_.Call(DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, &setup), TWRC_SUCCESS);
        DecodedImage image;
        image.Width = static_cast<uint32_t>(info.ImageWidth);
        image.Height = static_cast<uint32_t>(info.ImageLength);
        image.Samples = static_cast<uint32_t>(info.SamplesPerPixel);
        image.Pixels.resize(size_t{image.Width} * image.Height * image.Samples);
        // One guard byte past the buffer the application names: the host may
        // never write it. The buffer holds the marker before every call, so
        // a strip not copied into it shows.
        std::vector<uint8_t> strip(stripBytes + 1, 0xA5);
        // A movable block bounds what is written by its size, whatever
        // Length claims.
        HGLOBAL block = handleBuffer ? GlobalBlock(strip) : nullptr;
        TW_UINT16 result = TWRC_SUCCESS;
        for (int strips = 0; result == TWRC_SUCCESS && strips < 10000; ++strips) {
            std::fill(strip.begin(), strip.end(), 0xA5);
            if (block != nullptr) {
                std::memcpy(GlobalLock(block), strip.data(), strip.size());
                GlobalUnlock(block);
            }
            TW_IMAGEMEMXFER xfer = {};
            xfer.Memory = {TWMF_APPOWNS | TWMF_POINTER, stripBytes, strip.data()};
            if (block != nullptr) {
                xfer.Memory = {TWMF_APPOWNS | TWMF_HANDLE, 2 * stripBytes, block};
            }
            result = ds_.Call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &xfer);
            if (block != nullptr) {
                strip = BlockBytes(block);
                EXPECT_LE(xfer.BytesWritten, stripBytes + 1) << "more than the block holds";
            }
            if (result != TWRC_SUCCESS && result != TWRC_XFERDONE) {
                ADD_FAILURE() << "strip " << strips << " answered " << result;
                break;
            }
            EXPECT_EQ(strip[stripBytes], 0xA5) << "written past the application's buffer";
            // The strip as its fields describe it: whole uncompressed rows
            // of the image's width from its left edge.
            const uint32_t rowBytes = image.Width * image.Samples;
            EXPECT_EQ(xfer.Compression, TWCP_NONE);
            EXPECT_EQ(xfer.Columns, image.Width);
            EXPECT_EQ(xfer.XOffset, 0u);
            EXPECT_EQ(xfer.BytesPerRow, rowBytes);
            EXPECT_EQ(size_t{xfer.Rows} * rowBytes, xfer.BytesWritten) << "strip " << strips;
            const size_t at = size_t{xfer.YOffset} * rowBytes;
            const size_t bytes = size_t{xfer.Rows} * rowBytes;
            if (bytes > strip.size() || bytes > image.Pixels.size() || at > image.Pixels.size() - bytes) {
                ADD_FAILURE() << "a strip outside the image or the buffer";
                break;
            }
            std::memcpy(image.Pixels.data() + at, strip.data(), bytes);
        }
        EXPECT_EQ(result, TWRC_XFERDONE);
        if (block != nullptr) {
            GlobalFree(block);
        }
        return image;
    }
    DecodedImage File()
    {
        TW_SETUPFILEXFER setup = {};
        char temp[MAX_PATH] = "";
        GetTempPathA(sizeof temp, temp);
        std::snprintf(setup.FileName, sizeof setup.FileName, "%stalvenix-64.bmp", temp);
        setup.Format = TWFF_BMP;
        EXPECT_EQ(ds_.Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup), TWRC_SUCCESS);
        EXPECT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr), TWRC_XFERDONE);
        const std::string file = ReadFileText(setup.FileName);
        DeleteFileA(setup.FileName);
        DecodedImage image;
        std::string error;
        EXPECT_TRUE(DecodeBmpFile(reinterpret_cast<const uint8_t*>(file.data()), file.size(), image, error))
            << error;
        return image;
    }
};

TEST_P(Transfers, DeliverTheBoardsPattern)
{
    const TransferRow& row = GetParam();
    SetFormat(row.Format);
    ASSERT_EQ(Open(), TWRC_SUCCESS);
    const uint32_t boardSamples = Current(ICAP_PIXELTYPE).Item == TWPT_RGB ? 3 : 1;
    ASSERT_EQ(SetOneValue(ICAP_XFERMECH, TWTY_UINT16, row.Mechanism), TWRC_SUCCESS);
    ASSERT_EQ(SetOneValue(ICAP_PIXELTYPE, TWTY_UINT16, row.PixelType), TWRC_SUCCESS);
    if (row.Mechanism == TWSX_MEMORY) {
        ASSERT_EQ(SetOneValue(CAP_XFERCOUNT, TWTY_INT16, 2), TWRC_SUCCESS);
        // Negotiated in state 4; the strip size follows from it.
        TW_SETUPMEMXFER setup = {};
        ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, &setup), TWRC_SUCCESS);
        ASSERT_LE(setup.MinBufSize, row.StripBytes);
    }
    const int before = NoticeCount();
    ASSERT_EQ(Enable(false), TWRC_SUCCESS);
    ASSERT_EQ(WaitForNotice(before + 1), MSG_XFERREADY);
    EXPECT_EQ(last_.OriginId, identity_.Id) << "the source, with the id the manager assigned";
    EXPECT_STREQ(last_.OriginName, ProductName);
    EXPECT_EQ(last_.DestinationId, ds_.App.Id);
    EXPECT_EQ(last_.ThreadId, GetCurrentThreadId()) << "delivered on the application's thread";

    TW_IMAGEINFO info = {};
    ASSERT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TWRC_SUCCESS);
    TW_IMAGELAYOUT layout = {};
    ASSERT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, &layout), TWRC_SUCCESS);
    EXPECT_EQ(layout.Frame.Right.Whole, info.ImageWidth);
    // CAP_XFERCOUNT at its default 0 (one image) or 2 for the memory rows:
    // the image at hand is pending until it ends.
    const TW_UINT16 images = row.Mechanism == TWSX_MEMORY ? 2 : 1;
    TW_PENDINGXFERS pending = {};
    ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, &pending), TWRC_SUCCESS);
    EXPECT_EQ(pending.Count, images);
    const DecodedImage image = row.Mechanism == TWSX_NATIVE   ? Native(info)
                               : row.Mechanism == TWSX_MEMORY ? Memory(info, row.StripBytes, row.HandleBuffer)
                                                              : File();
    EXPECT_EQ(image.Width, static_cast<uint32_t>(info.ImageWidth));
    EXPECT_EQ(image.Height, static_cast<uint32_t>(info.ImageLength));
    EXPECT_EQ(image.Samples, row.PixelType == TWPT_RGB ? 3u : 1u);
    std::string error;
    EXPECT_TRUE(MatchesPattern(image, boardSamples, error)) << error;

    ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, &pending), TWRC_SUCCESS);
    EXPECT_EQ(pending.Count, images) << "the image at hand";
    ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending), TWRC_SUCCESS);
    if (row.Mechanism == TWSX_MEMORY) {
        // A second image of the session in a buffer half the size: the host
        // gives the source this request's room, not the largest seen.
        ASSERT_NE(pending.Count, 0);
        const DecodedImage second = Memory(info, row.StripBytes / 2, row.HandleBuffer);
        EXPECT_TRUE(MatchesPattern(second, boardSamples, error)) << "second image: " << error;
        ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending), TWRC_SUCCESS);
    }
    ds_.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending);
    EXPECT_EQ(pending.Count, 0);
    TW_USERINTERFACE ui = {};
    EXPECT_EQ(ds_.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(ByMechanism, Transfers,
                         testing::Values(TransferRow{"native_gray", "M_CCIR", TWSX_NATIVE, TWPT_GRAY, 0, false},
                                         TransferRow{"native_rgb", "M_PAL", TWSX_NATIVE, TWPT_RGB, 0, false},
                                         TransferRow{"memory_rgb_strips", "M_PAL", TWSX_MEMORY, TWPT_RGB, 28 * 768 * 3,
                                                     false},
                                         TransferRow{"memory_gray_handle", "M_PAL", TWSX_MEMORY, TWPT_GRAY, 28 * 768,
                                                     true},
                                         TransferRow{"file_gray_bmp", "M_CCIR", TWSX_FILE, TWPT_GRAY, 0, false}),
                         [](const testing::TestParamInfo<TransferRow>& row) { return row.param.Name; });

// Automatic capture through the host (the table in tests/rig/automatic_capture.cpp).
TEST_F(Forwarding, AutomaticCaptureKeepsItsScheduleWhileTheApplicationCollectsLate)
{
    const CaptureApplication application = {
        [this](TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, void* data) { return ds_.Call(dg, dat, msg, data); },
        [this] { return Open() == TWRC_SUCCESS; },
        [this] { ds_.Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &identity_); },
        [this] { return NoticeCount(); }};
    RunAutomaticCaptureTable(application);
}

// Two application threads taking memory transfers at once: the host makes
// every call from one thread, so which frame a strip belongs to is decided
// on this side. Each thread gets whole images or clean failures.
TEST_F(Forwarding, TwoThreadsGetWholeImagesOrCleanFailures)
{
    const Watchdog watchdog(120, "threads calling the 64-bit source wait for each other");
    ASSERT_EQ(Open(), TWRC_SUCCESS);
    ASSERT_EQ(SetOneValue(CAP_XFERCOUNT, TWTY_INT16, 0xFFFF), TWRC_SUCCESS);
    ASSERT_EQ(SetOneValue(ICAP_XFERMECH, TWTY_UINT16, TWSX_MEMORY), TWRC_SUCCESS);
    const uint32_t samples = Current(ICAP_PIXELTYPE).Item == TWPT_RGB ? 3 : 1;
    const int before = NoticeCount();
    ASSERT_EQ(Enable(false), TWRC_SUCCESS);
    ASSERT_EQ(WaitForNotice(before + 1), MSG_XFERREADY);
    TW_IMAGEINFO info = {};
    ASSERT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TWRC_SUCCESS);
    struct Report {
        int Images = 0;
        int Failures = 0;
        std::string Faults;
    } reports[2];
    auto transfer = [&](Report& report) {
        const uint32_t row = static_cast<uint32_t>(info.ImageWidth) * samples;
        std::vector<uint8_t> strip(size_t{row} * 40);
        while (report.Images < 6 && report.Failures < 100000) {
            DecodedImage image;
            image.Width = static_cast<uint32_t>(info.ImageWidth);
            image.Height = static_cast<uint32_t>(info.ImageLength);
            image.Samples = samples;
            image.Pixels.assign(size_t{row} * image.Height, 0);
            TW_UINT16 result = TWRC_SUCCESS;
            while (result == TWRC_SUCCESS) {
                TW_IMAGEMEMXFER xfer = {};
                xfer.Memory = {TWMF_APPOWNS | TWMF_POINTER, static_cast<TW_UINT32>(strip.size()), strip.data()};
                result = ds_.Call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &xfer);
                const size_t at = size_t{xfer.YOffset} * row;
                if (result != TWRC_FAILURE &&
                    (xfer.BytesWritten > image.Pixels.size() || at > image.Pixels.size() - xfer.BytesWritten)) {
                    report.Faults += "a strip outside the image; ";
                    return;
                }
                if (result != TWRC_FAILURE) {
                    std::memcpy(image.Pixels.data() + at, strip.data(), xfer.BytesWritten);
                }
            }
            if (result != TWRC_XFERDONE) {
                ++report.Failures;
                continue;
            }
            std::string error;
            if (!MatchesPattern(image, samples, error)) {
                report.Faults += error + "; ";
            }
            ++report.Images;
            TW_PENDINGXFERS pending = {};
            ds_.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending);
        }
    };
    std::thread first(transfer, std::ref(reports[0]));
    std::thread second(transfer, std::ref(reports[1]));
    first.join();
    second.join();
    for (const Report& report : reports) {
        EXPECT_EQ(report.Faults, "");
        EXPECT_EQ(report.Images, 6) << report.Failures << " failures";
    }
}

// The two orders the test above produces only by chance: a thread that ends
// its own frame early goes on with the next one, and a thread whose frame
// another thread ended is told so once, then gets the next frame from its
// first row.
TEST_F(Forwarding, AFrameEndedByAnotherThreadIsReportedLostOnce)
{
    ASSERT_EQ(Open(), TWRC_SUCCESS);
    ASSERT_EQ(SetOneValue(CAP_XFERCOUNT, TWTY_INT16, 0xFFFF), TWRC_SUCCESS);
    ASSERT_EQ(SetOneValue(ICAP_XFERMECH, TWTY_UINT16, TWSX_MEMORY), TWRC_SUCCESS);
    const int before = NoticeCount();
    ASSERT_EQ(Enable(false), TWRC_SUCCESS);
    ASSERT_EQ(WaitForNotice(before + 1), MSG_XFERREADY);
    std::vector<uint8_t> buffer(4096);
    TW_IMAGEMEMXFER xfer = {};
    auto strip = [&] {
        xfer = {};
        xfer.Memory = {TWMF_APPOWNS | TWMF_POINTER, static_cast<TW_UINT32>(buffer.size()), buffer.data()};
        return ds_.Call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &xfer);
    };
    auto endFrame = [this] {
        TW_PENDINGXFERS pending = {};
        return ds_.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending);
    };
    ASSERT_EQ(strip(), TWRC_SUCCESS);
    ASSERT_EQ(strip(), TWRC_SUCCESS);
    ASSERT_GT(xfer.YOffset, 0u);
    ASSERT_EQ(endFrame(), TWRC_SUCCESS);
    EXPECT_EQ(strip(), TWRC_SUCCESS) << "its own frame ended: condition " << ds_.Status();
    EXPECT_EQ(xfer.YOffset, 0u) << "the next frame";

    TW_UINT16 ended = TWRC_FAILURE;
    std::thread other([&] { ended = endFrame(); });
    other.join();
    ASSERT_EQ(ended, TWRC_SUCCESS);
    EXPECT_EQ(strip(), TWRC_FAILURE) << "a strip after another thread ended the frame";
    EXPECT_EQ(ds_.Status(), TWCC_SEQERROR);
    EXPECT_EQ(strip(), TWRC_SUCCESS) << "told once: condition " << ds_.Status();
    EXPECT_EQ(xfer.YOffset, 0u) << "the next frame";
}

// Whether `upper` lies above `lower` among the top-level windows.
bool Above(HWND upper, HWND lower)
{
    for (HWND w = GetTopWindow(nullptr); w != nullptr; w = GetWindow(w, GW_HWNDNEXT)) {
        if (w == upper || w == lower) {
            return w == upper;
        }
    }
    return false;
}

// The application's window in front, a first use (the host's box answered),
// then the dialog: it comes up in front of the application and active, as
// the 32-bit source's does in the application's own process.
TEST_F(Forwarding, DialogRunsInTheHostAndCancelAsksToClose)
{
    HWND application = CreateWindowA("STATIC", "application", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 900, 700,
                                     nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(application, nullptr);
    SetForegroundWindow(application);
    ResetSourceRegistry();
    ASSERT_EQ(Open(), TWRC_SUCCESS);
    const int before = NoticeCount();
    ASSERT_EQ(Enable(true), TWRC_SUCCESS);
    HWND dialog = nullptr;
    for (int i = 0; i < 6000 && (dialog == nullptr || GetForegroundWindow() != dialog || !Above(dialog, application)); ++i) {
        dialog = FindWindowA(nullptr, "Frame Grabber Settings");
        for (MSG message; PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE);) {
            DispatchMessageA(&message);  // the application's messages
        }
        Sleep(10);
    }
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(IsWindowVisible(dialog));
    EXPECT_EQ(GetForegroundWindow(), dialog) << "active";
    EXPECT_TRUE(Above(dialog, application)) << "in front of the application";
    DWORD owner = 0;
    GetWindowThreadProcessId(dialog, &owner);
    EXPECT_EQ(HostProcesses(), std::vector<DWORD>{owner}) << "the dialog belongs to the host";
    PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
    ASSERT_EQ(WaitForNotice(before + 1), MSG_CLOSEDSREQ);
    TW_USERINTERFACE ui = {};
    EXPECT_EQ(ds_.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_SUCCESS);
    DestroyWindow(application);
}

TEST_F(Forwarding, MissingHostFailsTheOpenWithACodeAndALogLine)
{
    const std::string host = HostPath();
    const std::string aside = host + ".aside";
    ASSERT_TRUE(MoveFileA(host.c_str(), aside.c_str()));
    SetDumpMode(42);
    ds_.Reload();
    DeleteFileA(LogPath().c_str());
    const TW_UINT16 opened = Open();
    const TW_UINT16 condition = ds_.Status();
    MoveFileA(aside.c_str(), host.c_str());
    SetDumpMode(0);
    EXPECT_EQ(opened, TWRC_FAILURE);
    EXPECT_EQ(condition, TWCC_OPERATIONERROR);
    EXPECT_NE(ReadFileText(LogPath()).find("TwainHost32.exe cannot be started"), std::string::npos);
    ds_.Reload();
    EXPECT_EQ(Open(), TWRC_SUCCESS) << "the host back in place";
}

// A host executable that starts but never serves (a 32-bit program of the
// system in its place): the open fails within the bound, the program is ended.
TEST_F(Forwarding, HostThatNeverServesFailsTheOpen)
{
    const std::string host = HostPath();
    const std::string aside = host + ".aside";
    char windows[MAX_PATH] = "";
    GetWindowsDirectoryA(windows, MAX_PATH);
    ASSERT_TRUE(MoveFileExA(host.c_str(), aside.c_str(), MOVEFILE_REPLACE_EXISTING));
    const bool copied = CopyFileA((std::string(windows) + "\\syswow64\\notepad.exe").c_str(), host.c_str(), FALSE);
    const TW_UINT16 opened = copied ? Open() : TWRC_SUCCESS;
    const TW_UINT16 condition = ds_.Status();
    const std::vector<DWORD> left = HostProcesses();
    DeleteFileA(host.c_str());
    MoveFileA(aside.c_str(), host.c_str());
    ASSERT_TRUE(copied);
    EXPECT_EQ(opened, TWRC_FAILURE);
    EXPECT_NE(condition, TWCC_SUCCESS);
    EXPECT_TRUE(left.empty()) << "the program that never served is ended";
    EXPECT_EQ(Open(), TWRC_SUCCESS) << "the host back in place";
}

TEST_F(Forwarding, RefusedOpenGivesTheSourcesCodeAndEndsTheHost)
{
    SetEnvironmentVariableA("ORIONSIM_FAIL", "MsysAlloc");
    const TW_UINT16 opened = Open();
    const TW_UINT16 condition = ds_.Status();
    SetEnvironmentVariableA("ORIONSIM_FAIL", nullptr);
    EXPECT_EQ(opened, TWRC_FAILURE);
    EXPECT_EQ(condition, TWCC_CHECKDEVICEONLINE) << "the 32-bit source's own code";
    EXPECT_TRUE(HostProcesses().empty());
    EXPECT_EQ(Open(), TWRC_SUCCESS);
}

TEST_F(Forwarding, HostKilledMidTransferFailsEveryCallUntilClosed)
{
    ASSERT_EQ(Open(), TWRC_SUCCESS);
    ASSERT_EQ(SetOneValue(ICAP_XFERMECH, TWTY_UINT16, TWSX_MEMORY), TWRC_SUCCESS);
    const int before = NoticeCount();
    ASSERT_EQ(Enable(false), TWRC_SUCCESS);
    ASSERT_EQ(WaitForNotice(before + 1), MSG_XFERREADY);
    std::vector<uint8_t> strip(4096);
    TW_IMAGEMEMXFER xfer = {};
    xfer.Memory = {TWMF_APPOWNS | TWMF_POINTER, 4096, strip.data()};
    ASSERT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &xfer), TWRC_SUCCESS);
    KillHost();

    // The frame came whole into the image section with its first strip
    // (the trace is off): its strips are still handed out, then every call
    // that needs the host fails.
    TW_UINT16 strips = TWRC_SUCCESS;
    for (int i = 0; i < 200 && strips == TWRC_SUCCESS; ++i) {
        strips = ds_.Call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &xfer);
    }
    EXPECT_EQ(strips, TWRC_XFERDONE) << "the rest of the frame";
    EXPECT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &xfer), TWRC_FAILURE);
    EXPECT_EQ(ds_.Status(), TWCC_BUMMER);
    TW_IMAGEINFO info = {};
    EXPECT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TWRC_FAILURE);
    EXPECT_EQ(ds_.Status(), TWCC_BUMMER);
    TW_CAPABILITY capability = {ICAP_PIXELTYPE, 0, nullptr};
    EXPECT_EQ(ds_.Call(DG_CONTROL, DAT_CAPABILITY, MSG_GET, &capability), TWRC_FAILURE);
    EXPECT_EQ(capability.hContainer, nullptr);
    // The application's ordinary way down from state 7 works.
    TW_PENDINGXFERS pending = {7, {0}};
    EXPECT_EQ(ds_.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending), TWRC_SUCCESS);
    EXPECT_EQ(pending.Count, 0);
    pending.Count = 7;
    EXPECT_EQ(ds_.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending), TWRC_SUCCESS);
    EXPECT_EQ(pending.Count, 0);
    TW_USERINTERFACE ui = {};
    EXPECT_EQ(ds_.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_SUCCESS);
    EXPECT_EQ(ds_.Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &identity_), TWRC_SUCCESS);
    ASSERT_EQ(Open(), TWRC_SUCCESS) << "a fresh host";
    EXPECT_EQ(Current(ICAP_XFERMECH).Item, TWSX_NATIVE) << "a fresh session";
}

// A TWAIN 2 application whose manager (the stand-in under another file
// name) gave its entry points and calls the application back: its thread
// never runs a message loop, yet it hears MSG_XFERREADY and, when the host
// ends under it, MSG_CLOSEDSREQ; the manager found by its module name hears
// nothing; every handle handed over is the manager's.
struct CallbackSeen {
    HANDLE Ready = nullptr;
    HANDLE CloseAsked = nullptr;
};
CallbackSeen Callback;

void __stdcall CallApplicationBack(const StandInNotice* notice)
{
    if (notice->MSG == MSG_XFERREADY) {
        SetEvent(Callback.Ready);
    } else if (notice->MSG == MSG_CLOSEDSREQ) {
        SetEvent(Callback.CloseAsked);
    }
}

TEST_F(Forwarding, TwainTwoCallbackApplicationNeverPumpingOnAManagerOfAnotherName)
{
    const std::string renamed = TempFolder() + "\\talvenix-other-dsm64.dll";
    ASSERT_TRUE(CopyFileA((ExeDirectory() + "\\TWAINDSM.DLL").c_str(), renamed.c_str(), FALSE));
    HMODULE other = LoadLibraryA(renamed.c_str());
    ASSERT_NE(other, nullptr);
    auto find = [other](const char* name) { return reinterpret_cast<void (*)()>(GetProcAddress(other, name)); };
    const auto entryPoint = reinterpret_cast<StandInEntryPointProc>(find("StandInEntryPoint"));
    const auto owns = reinterpret_cast<StandInOwnsProc>(find("StandInOwns"));
    const auto onNotice = reinterpret_cast<StandInOnNoticeProc>(find("StandInOnNotice"));
    const auto otherNotices = reinterpret_cast<StandInNoticesProc>(find("StandInNotices"));
    ASSERT_TRUE(entryPoint != nullptr && owns != nullptr && onNotice != nullptr && otherNotices != nullptr);
    TW_ENTRYPOINT entry = {};
    entryPoint(&entry);
    Callback.Ready = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    Callback.CloseAsked = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    onNotice(CallApplicationBack);
    ds_.App.SupportedGroups |= DF_APP2;
    const int byName = NoticeCount();
    bool ready = false, closeAsked = false, ownsCount = false, ownsBitmap = false;
    uint32_t count = 0;
    TW_UINT16 transferred = TWRC_FAILURE;
    {
        const Watchdog watchdog(90, "the callback application waits for a notice that never comes");
        std::thread application([&] {
            if (ds_.Call(DG_CONTROL, DAT_ENTRYPOINT, MSG_SET, &entry) != TWRC_SUCCESS || Open() != TWRC_SUCCESS) {
                return;
            }
            TW_CAPABILITY capability = {CAP_XFERCOUNT, 0, nullptr};
            if (ds_.Call(DG_CONTROL, DAT_CAPABILITY, MSG_GET, &capability) == TWRC_SUCCESS) {
                ownsCount = owns(capability.hContainer) == 1;
                count = ReadOneValueBlock(capability.hContainer).Item & 0xFFFF;
                entry.DSM_MemFree(capability.hContainer);
            }
            SetOneValue(CAP_XFERCOUNT, TWTY_INT16, 1);
            Enable(false);
            ready = WaitForSingleObject(Callback.Ready, 30000) == WAIT_OBJECT_0;
            TW_HANDLE bitmap = nullptr;
            transferred = ds_.Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &bitmap);
            ownsBitmap = owns(bitmap) == 1;
            entry.DSM_MemFree(bitmap);
            TW_PENDINGXFERS pending = {};
            ds_.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending);
            KillHost();
            closeAsked = WaitForSingleObject(Callback.CloseAsked, 30000) == WAIT_OBJECT_0;
            TW_USERINTERFACE ui = {};
            ds_.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui);
            ds_.Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &identity_);
        });
        application.join();
    }
    onNotice(nullptr);
    EXPECT_TRUE(ownsCount) << "the container is the manager's";
    EXPECT_EQ(count, 0xFFFFu) << "TWAIN's default count";
    EXPECT_TRUE(ready) << "MSG_XFERREADY through the callback";
    EXPECT_EQ(transferred, TWRC_XFERDONE);
    EXPECT_TRUE(ownsBitmap) << "the bitmap is the manager's";
    EXPECT_TRUE(closeAsked) << "MSG_CLOSEDSREQ through the callback";
    EXPECT_EQ(NoticeCount(), byName) << "nothing to the manager found by its name";
    ds_.App = TestAppIdentity();
    CloseHandle(Callback.Ready);
    CloseHandle(Callback.CloseAsked);
    FreeLibrary(other);
    DeleteFileA(renamed.c_str());
}

// Run only as the child of the next test: an application that opened the
// source and is then killed.
TEST_F(Forwarding, DISABLED_OpenAndWaitToBeKilled)
{
    ASSERT_EQ(Open(), TWRC_SUCCESS);
    Sleep(60000);
}

TEST_F(Forwarding, HostEndsWhenTheApplicationIsKilled)
{
    char self[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    CapturedProcess application(TempFolder() + "\\ds64-killed-application.txt");
    ASSERT_TRUE(application.Start(std::string("\"") + self +
                                  "\" --gtest_also_run_disabled_tests --gtest_filter=*OpenAndWaitToBeKilled"));
    // Generous: a second Wine program starting on a loaded machine.
    for (int i = 0; i < 12000 && HostProcesses().empty(); ++i) {
        Sleep(10);
    }
    ASSERT_EQ(HostProcesses().size(), 1u) << application.Output();
    application.Wait(0);  // killed
    for (int i = 0; i < 6000 && !HostProcesses().empty(); ++i) {
        Sleep(10);
    }
    EXPECT_TRUE(HostProcesses().empty()) << "a host outlived its application";
}

// The host's memory over many images and capability questions in one
// session: a native bitmap or a container it kept per call would add up
// round after round (443 kB a grey frame; the list of capabilities, the
// largest container, about a hundred bytes).
TEST_F(Forwarding, HostMemoryStaysFlatOverImagesAndQuestions)
{
    ASSERT_EQ(Open(), TWRC_SUCCESS);
    const std::vector<DWORD> hosts = HostProcesses();
    ASSERT_EQ(hosts.size(), 1u);
    TW_CUSTOMDSDATA saved = {0, nullptr};
    ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_CUSTOMDSDATA, MSG_GET, &saved), TWRC_SUCCESS);
    const std::vector<uint8_t> setup = BlockBytes(saved.hData);
    GlobalFree(saved.hData);
    // Blocks the application sends: the host makes its own copy of each.
    auto setting = [this] { return SetOneValue(CAP_XFERCOUNT, TWTY_INT16, 0xFFFF) == TWRC_SUCCESS; };
    auto restoring = [this, &setup] {
        TW_CUSTOMDSDATA data = {static_cast<TW_UINT32>(setup.size()), GlobalBlock(setup)};
        const bool restored = ds_.Call(DG_CONTROL, DAT_CUSTOMDSDATA, MSG_SET, &data) == TWRC_SUCCESS;
        GlobalFree(data.hData);
        return restored;
    };
    auto enabled = [this] {
        const int before = NoticeCount();
        return Enable(false) == TWRC_SUCCESS && WaitForNotice(before + 1) == MSG_XFERREADY;
    };
    auto image = [this] {
        TW_HANDLE bitmap = nullptr;
        const bool done = ds_.Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &bitmap) == TWRC_XFERDONE;
        GlobalFree(bitmap);
        TW_PENDINGXFERS pending = {};
        return done && ds_.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending) == TWRC_SUCCESS;
    };
    auto question = [this] {
        TW_CAPABILITY capability = {CAP_SUPPORTEDCAPS, 0, nullptr};
        const bool answered = ds_.Call(DG_CONTROL, DAT_CAPABILITY, MSG_GET, &capability) == TWRC_SUCCESS;
        GlobalFree(capability.hContainer);
        return answered;
    };
    struct Row {
        const char* What;
        std::function<bool()> Round;
        int Rounds;
        std::function<bool()> Before;  // once, before the row's rounds
    } rows[] = {{"capability settings", setting, 10000, nullptr},
                {"setups restored", restoring, 2000, nullptr},
                {"capability questions", question, 10000, enabled},
                {"native images", image, 40, nullptr}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.What);
        if (row.Before) {
            ASSERT_TRUE(row.Before());
        }
        // The heap settles after the first rounds. The questions come first:
    // the heap keeps the room a freed bitmap took, where small blocks lost
    // would hide.
        for (int i = 0; i < 30; ++i) {
            ASSERT_TRUE(row.Round());
        }
        const size_t start = PrivateBytes(hosts[0]);
        ASSERT_GT(start, 0u) << "the host's memory is read";
        for (int i = 0; i < row.Rounds; ++i) {
            ASSERT_TRUE(row.Round()) << "round " << i;
        }
        // A few pages of the heap's own may come and go; a block lost every
        // round adds at least 16 bytes a round, twice what is allowed here.
        const size_t end = PrivateBytes(hosts[0]);
        EXPECT_LE(end, start + 16384 + 8 * static_cast<size_t>(row.Rounds))
            << "private bytes before " << start << ", after " << end << " (" << row.Rounds << " rounds)";
    }
}

// A host whose answers do not fit what was asked (a 32-bit source that
// misbehaves, in the real one's place): the call fails and nothing is
// written into the application's memory, its structure included.
TEST_F(Forwarding, BrokenAnswersAreRefused)
{
    const BrokenSourceInPlace broken(true);
    std::vector<uint8_t> buffer(5000 + 64);
    TW_IMAGEMEMXFER xfer = {};
    xfer.Memory = {TWMF_APPOWNS | TWMF_POINTER, 5000, buffer.data()};
    TW_HANDLE bitmap = nullptr;
    // Handles the application had there before, never to be used.
    TW_CAPABILITY capability = {ICAP_PIXELTYPE, TWON_ONEVALUE, reinterpret_cast<TW_HANDLE>(uintptr_t{0x5A5A5A50})};
    TW_CUSTOMDSDATA setup = {0x5A5A5A5A, reinterpret_cast<TW_HANDLE>(uintptr_t{0x5A5A5A50})};
    struct Row {
        const char* Answer;
        TW_UINT32 DG;
        TW_UINT16 DAT;
        void* Data;
        size_t Size;
    } rows[] = {
        {"strip past the buffer", DG_IMAGE, DAT_IMAGEMEMXFER, &xfer, sizeof xfer},
        {"strip rows that are not the bytes written", DG_IMAGE, DAT_IMAGEMEMXFER, &xfer, sizeof xfer},
        {"bitmap shorter than a header", DG_IMAGE, DAT_IMAGENATIVEXFER, &bitmap, sizeof bitmap},
        {"bitmap header claiming more than its block", DG_IMAGE, DAT_IMAGENATIVEXFER, &bitmap, sizeof bitmap},
        {"capability with no container", DG_CONTROL, DAT_CAPABILITY, &capability, sizeof capability},
        {"setup with no block", DG_CONTROL, DAT_CUSTOMDSDATA, &setup, sizeof setup},
    };
    ASSERT_TRUE(broken.InPlace) << "the broken source is not in place";
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Answer);
        std::fill(buffer.begin(), buffer.end(), 0xA5);
        const std::vector<uint8_t> before(static_cast<uint8_t*>(row.Data), static_cast<uint8_t*>(row.Data) + row.Size);
        SetEnvironmentVariableA("TALVENIX_BROKEN_ANSWER", row.Answer);
        EXPECT_EQ(Open(), TWRC_SUCCESS);
        EXPECT_EQ(ds_.Call(row.DG, row.DAT, MSG_GET, row.Data), TWRC_FAILURE);
        EXPECT_EQ(ds_.Status(), TWCC_BUMMER);
        ds_.Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &identity_);
        EndIdleHost();
        EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0xA5), 5064) << "written into the application's buffer";
        EXPECT_EQ(std::memcmp(before.data(), row.Data, row.Size), 0) << "written into the application's structure";
    }
    SetEnvironmentVariableA("TALVENIX_BROKEN_ANSWER", nullptr);
}

// Many opens in a row, as an application that opens the source for every
// acquisition: the host kept idle serves them all.
TEST_F(Forwarding, OpenCloseRoundsLeaveNoProcessOrHandle)
{
    ASSERT_EQ(Open(), TWRC_SUCCESS);
    const std::vector<DWORD> host = HostProcesses();
    ASSERT_EQ(host.size(), 1u);
    ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &identity_), TWRC_SUCCESS);
    const DWORD handles = OpenHandleCount();
    ASSERT_GT(handles, 0u) << "the count is kept";
    for (int round = 0; round < 200; ++round) {
        ASSERT_EQ(Open(), TWRC_SUCCESS) << "round " << round;
        ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &identity_), TWRC_SUCCESS);
    }
    EXPECT_EQ(HostProcesses(), host) << "one host, kept idle between the opens";
    // No growth: a handle lost per round would be 200 more. Wine takes or
    // drops a handle of its own now and then (one fewer, and one more that
    // stayed, have been seen on a loaded machine), so a few are allowed,
    // and handles held for a moment are waited for.
    constexpr DWORD Noise = 4;
    for (const DWORD start = GetTickCount(); OpenHandleCount() > handles + Noise && GetTickCount() - start < 30000;) {
        Sleep(50);
    }
    EXPECT_LE(OpenHandleCount(), handles + Noise);
}

// Processor time of a process, its threads' summed: Wine answers
// GetProcessTimes of another process with 0.
double ProcessorMs(DWORD processId)
{
    double ms = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        HANDLE thread = entry.th32OwnerProcessID == processId
                            ? OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ThreadID)
                            : nullptr;
        FILETIME created, ended, kernel, user;
        if (thread != nullptr && GetThreadTimes(thread, &created, &ended, &kernel, &user)) {
            ms += ((uint64_t{kernel.dwHighDateTime} << 32 | kernel.dwLowDateTime) +
                   (uint64_t{user.dwHighDateTime} << 32 | user.dwLowDateTime)) / 1e4;
        }
        if (thread != nullptr) {
            CloseHandle(thread);
        }
    }
    CloseHandle(snapshot);
    return ms;
}

// What a host with nothing to do costs over two seconds: open and asked
// nothing, then closed and kept idle. A host that kept spinning after its
// calls would take most of a processor.
double IdleCostMs(DWORD processId)
{
    const double before = ProcessorMs(processId);
    Sleep(2000);
    return ProcessorMs(processId) - before;
}

// The host kept after MSG_CLOSEDS serves the next open; one killed while
// idle is replaced without the application seeing it; one not claimed
// leaves by itself.
TEST_F(Forwarding, IdleHostServesTheNextOpenOrIsReplaced)
{
    const Watchdog watchdog(300, "an idle host is reused, replaced or leaves");
    ASSERT_EQ(Open(), TWRC_SUCCESS);
    const std::vector<DWORD> first = HostProcesses();
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(SetOneValue(ICAP_XFERMECH, TWTY_UINT16, TWSX_MEMORY), TWRC_SUCCESS);
    // Some of a burst's calls, then nothing.
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(Current(ICAP_XFERMECH).Item, TWSX_MEMORY);
    }
    EXPECT_LT(IdleCostMs(first[0]), 100.0) << "an open source's host, asked nothing";
    ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &identity_), TWRC_SUCCESS);
    EXPECT_EQ(HostProcesses(), first) << "kept after MSG_CLOSEDS";

    ASSERT_EQ(Open(), TWRC_SUCCESS);
    EXPECT_EQ(HostProcesses(), first) << "the idle host serves the next open";
    EXPECT_EQ(Current(ICAP_XFERMECH).Item, TWSX_NATIVE) << "a fresh session";
    ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &identity_), TWRC_SUCCESS);
    // Measured from the close on, well within the host's idle time.
    EXPECT_LT(IdleCostMs(first[0]), 100.0) << "an idle host";

    KillHost();
    ASSERT_EQ(Open(), TWRC_SUCCESS) << "a host killed while idle is replaced";
    const std::vector<DWORD> second = HostProcesses();
    ASSERT_EQ(second.size(), 1u);
    EXPECT_NE(second, first);
    EXPECT_EQ(Current(ICAP_XFERMECH).Item, TWSX_NATIVE);
    ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &identity_), TWRC_SUCCESS);

    for (const DWORD start = GetTickCount(); !HostProcesses().empty() && GetTickCount() - start < 120000;) {
        Sleep(50);
    }
    EXPECT_TRUE(HostProcesses().empty()) << "an idle host not claimed stays for ever";
    ASSERT_EQ(Open(), TWRC_SUCCESS) << "after the idle host left";
}

}  // namespace

namespace {

// Every thread of the host, suspended: a host stopped as a hung one appears.
void SuspendHost(DWORD processId)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == processId) {
            HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, entry.th32ThreadID);
            SuspendThread(thread);
            CloseHandle(thread);
        }
    }
    CloseHandle(snapshot);
}

// A host that keeps a call: busy grabbing a frame slower than a stopped host
// is given, it is waited for and the image delivered; stopped (every thread
// suspended just after its last answer, while it and the application spin
// for the next call: the application's spin ends and the bound holds), or
// taking its messages without ever answering and showing no
// window (past the busy limit set here), it is ended within its bound, the
// call fails and the host is gone. Messages keep coming to the waiting
// thread meanwhile, as an application's other threads send them: the host
// is checked all the same.
TEST_F(Forwarding, SlowHostIsWaitedForStoppedOrSilentOneEnded)
{
    HWND window = CreateWindowA("STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    std::atomic<bool> answered{false};
    std::thread sender([&] {
        while (!answered) {
            SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_BLOCK, 1000, nullptr);
            Sleep(10);
        }
    });
    auto suspend = [] {
        const std::vector<DWORD> hosts = HostProcesses();
        if (hosts.size() == 1) {
            SuspendHost(hosts[0]);
        }
        return hosts.size() == 1;
    };
    // The frame under test follows another at once: it takes the whole
    // period.
    auto firstImage = [this] {
        const int before = NoticeCount();
        TW_HANDLE bitmap = nullptr;
        TW_PENDINGXFERS pending = {};
        const bool done = SetOneValue(CAP_XFERCOUNT, TWTY_INT16, 2) == TWRC_SUCCESS && Enable(false) == TWRC_SUCCESS &&
                          WaitForNotice(before + 1) == MSG_XFERREADY &&
                          ds_.Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &bitmap) == TWRC_XFERDONE &&
                          ds_.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending) == TWRC_SUCCESS &&
                          pending.Count != 0;
        GlobalFree(bitmap);
        return done;
    };
    struct Row {
        const char* What;
        const char* FrameMs;
        DWORD BusyLimit;  // s, 0 the default
        bool Silent;      // the stand-in source that pumps and never answers
        std::function<bool()> Before;
        bool Delivered;   // a native image, else a capability that never comes
    } rows[] = {
        {"stopped host", "0", 0, false, suspend, false},
        {"7 s frames", "7000", 0, false, firstImage, true},
        {"pumping but silent", "0", 3, true, nullptr, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.What);
        SetEnvironmentVariableA("ORIONSIM_FRAME_MS", row.FrameMs);
        SetEnvironmentVariableA("TALVENIX_BROKEN_ANSWER", row.Silent ? "pumping but silent" : nullptr);
        SetBusyLimit(row.BusyLimit);
        TW_UINT16 rc = TWRC_SUCCESS;
        TW_UINT16 condition = TWCC_SUCCESS;
        TW_HANDLE block = nullptr;
        DWORD took = 0;
        bool ready = false;
        bool hostLeft = true;
        {
            const BrokenSourceInPlace broken(row.Silent);
            const Watchdog watchdog(120, "a host that keeps a call is waited for without end");
            ready = (broken.InPlace || !row.Silent) && Open() == TWRC_SUCCESS && (!row.Before || row.Before());
            if (ready) {
                TW_CAPABILITY capability = {ICAP_PIXELTYPE, 0, nullptr};
                const DWORD start = GetTickCount();
                rc = row.Delivered ? ds_.Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &block)
                                   : ds_.Call(DG_CONTROL, DAT_CAPABILITY, MSG_GET, &capability);
                took = GetTickCount() - start;
                block = row.Delivered ? block : capability.hContainer;
                condition = rc == TWRC_FAILURE ? ds_.Status() : TWCC_SUCCESS;
                hostLeft = !HostProcesses().empty();
            }
            ds_.Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &identity_);
            EndIdleHost();
        }
        // The first of the slow frames comes here too.
        EXPECT_TRUE(ready) << "opened, and ready for the call";
        if (!ready) {
            continue;
        }
        if (row.Delivered) {
            EXPECT_EQ(rc, TWRC_XFERDONE);
            EXPECT_NE(block, nullptr);
            EXPECT_GE(took, 5500u) << "the frame took longer than a stopped host is given";
            GlobalFree(block);
        } else {
            EXPECT_EQ(rc, TWRC_FAILURE);
            EXPECT_EQ(block, nullptr);
            EXPECT_EQ(condition, TWCC_BUMMER);
            EXPECT_FALSE(hostLeft) << "the host is ended";
        }
    }
    answered = true;
    sender.join();
    DestroyWindow(window);
    SetEnvironmentVariableA("ORIONSIM_FRAME_MS", "0");
    SetEnvironmentVariableA("TALVENIX_BROKEN_ANSWER", nullptr);
    SetBusyLimit(0);
    EXPECT_EQ(Open(), TWRC_SUCCESS) << "a fresh host";
}

// The application waits in its message loop with the dialog up when the
// host dies: it is asked to close, and its ordinary way out works.
// The notice's checks run every half second: two seconds of the message loop
// see several.
constexpr DWORD SeveralHostChecks = 2000;

TEST_F(Forwarding, HostKilledWithTheDialogUpAsksToClose)
{
    // Not enabled, the application waits for nothing: no request.
    ASSERT_EQ(Open(), TWRC_SUCCESS);
    int before = NoticeCount();
    KillHost();
    EXPECT_EQ(WaitForNotice(before + 1, SeveralHostChecks), MSG_NULL) << "a request in state 4";
    ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &identity_), TWRC_SUCCESS);

    ASSERT_EQ(Open(), TWRC_SUCCESS);
    before = NoticeCount();
    ASSERT_EQ(Enable(true), TWRC_SUCCESS);
    KillHost();
    ASSERT_EQ(WaitForNotice(before + 1), MSG_CLOSEDSREQ);
    EXPECT_EQ(last_.DestinationId, ds_.App.Id);
    EXPECT_EQ(WaitForNotice(before + 2, SeveralHostChecks), MSG_NULL) << "asked again";
    TW_CAPABILITY capability = {ICAP_PIXELTYPE, 0, nullptr};
    EXPECT_EQ(ds_.Call(DG_CONTROL, DAT_CAPABILITY, MSG_GET, &capability), TWRC_FAILURE) << "nothing else works";
    EXPECT_EQ(ds_.Status(), TWCC_BUMMER);
    TW_USERINTERFACE ui = {};
    EXPECT_EQ(ds_.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_SUCCESS);
    EXPECT_EQ(ds_.Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &identity_), TWRC_SUCCESS);
    EXPECT_EQ(NoticeCount(), before + 1) << "one request";
}

DsModule* CalledInAgain = nullptr;

// A window of the opening thread whose procedure calls the source.
LRESULT CALLBACK CallingWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message != WM_APP) {
        return DefWindowProcA(window, message, wParam, lParam);
    }
    TW_CAPABILITY capability = {ICAP_PIXELTYPE, 0, nullptr};
    return CalledInAgain->Call(DG_CONTROL, DAT_CAPABILITY, MSG_GET, &capability);
}

// A person takes longer to answer the first-use box than a stopped host is
// given: the open waits for the answer. Meanwhile the opening thread answers
// messages sent to its windows; a call from one of them is refused, since
// the host serves the open.
TEST(Waiting, OpenWaitsForAPersonAnsweringTheFirstUseBox)
{
    ResetSourceRegistry();
    // Shorter than the person takes: a box up is waited for all the same.
    SetBusyLimit(5);
    DsModule ds(ExeDirectory() + "\\Twain_64.ds");
    CalledInAgain = &ds;
    TW_IDENTITY identity = TestAppIdentity(41);
    TW_UINT16 opened = 0xFFFF;
    std::atomic<HWND> window{nullptr};
    std::thread open([&] {
        window = CreateWindowA("STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(CallingWindowProc));
        opened = ds.Call(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &identity);
        DestroyWindow(window);
    });
    HWND box = nullptr;
    for (int i = 0; i < 3000 && box == nullptr; ++i) {
        box = FindWindowA(nullptr, "Talvenix TWAIN DS");
        Sleep(10);
    }
    DWORD_PTR nested = 0xFFFF;
    const bool answered = box != nullptr && SendMessageTimeoutA(window, WM_APP, 0, 0, SMTO_BLOCK, 4000, &nested) != 0;
    const bool boxStillUp = box != nullptr && IsWindow(box);
    // Longer than a stopped host and a busy one with no window are given.
    Sleep(8000);
    if (box != nullptr) {
        PostMessageA(box, WM_COMMAND, IDOK, 0);
    }
    open.join();
    ASSERT_NE(box, nullptr) << "the first-use box";
    EXPECT_TRUE(answered && boxStillUp) << "the opening thread answers messages sent to it";
    EXPECT_EQ(nested, TWRC_FAILURE);
    EXPECT_EQ(opened, TWRC_SUCCESS);
    ds.Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &identity);
    SetBusyLimit(0);
}

}  // namespace
