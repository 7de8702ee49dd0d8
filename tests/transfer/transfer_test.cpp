// Control operations and the three transfers through DS_Entry of the built
// module, against the simulated board with its deterministic pattern:
// red (or grey) = x mod 256, green = y mod 256, blue = (x + y) mod 256.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "acquire/image_check.h"
#include "rig/app_containers.h"
#include "rig/automatic_capture.h"
#include "rig/ds_rig.h"
#include "rig/message_box_watcher.h"
#include "settings/setup_block.h"
#include "standin_dsm/standin_dsm.h"
#include "twain/little_endian.h"

namespace {

const char* const SettingsKey = "SOFTWARE\\Talvenix\\Twain\\Orion";

uint8_t Red(uint32_t x, uint32_t /*y*/)
{
    return static_cast<uint8_t>(x);
}
uint8_t Blue(uint32_t x, uint32_t y)
{
    return static_cast<uint8_t>(x + y);
}

// A setup with everything its block holds changed from `from`: format (in
// a frame of `width` x `height`), channel, adjustments, curves, pixel type,
// region.
SetupRecord ChangedSetup(const SetupRecord& from, const char* format, uint32_t width, uint32_t height)
{
    SetupRecord changed = from;
    std::strcpy(changed.Format, format);
    changed.FrameWidth = width;
    changed.FrameHeight = height;
    changed.Channel = 0x40000000;
    changed.Brightness = 17;
    changed.Contrast = 200;
    changed.Hue = 3;
    changed.Saturation = 99;
    // Curves of their own for each band: two red nodes, three green, two blue.
    const uint8_t nodes[] = {0, 10, 255, 240, 0, 0, 90, 30, 255, 255, 5, 5, 250, 250};
    std::memset(changed.Lut, 0, sizeof changed.Lut);
    PutU32(changed.Lut, 0x00020302);
    std::memcpy(changed.Lut + 4, nodes, sizeof nodes);
    changed.LutBytes = 4 + sizeof nodes;
    changed.PixelType = changed.PixelType == TWPT_GRAY ? TWPT_RGB : TWPT_GRAY;
    changed.RegionLeft = 8;
    changed.RegionTop = 16;
    changed.RegionWidth = 100;
    changed.RegionHeight = 50;
    return changed;
}

// A BMP or TIFF file's bytes as a reader decodes them.
bool DecodeFile(const std::string& file, TW_UINT16 format, DecodedImage& image, std::string& error)
{
    const auto* bytes = reinterpret_cast<const uint8_t*>(file.data());
    return format == TWFF_BMP ? DecodeBmpFile(bytes, file.size(), image, error)
                              : DecodeTiffFile(bytes, file.size(), image, error);
}

std::vector<uint8_t> SetupBytes(const SetupRecord& record)
{
    std::vector<uint8_t> bytes(SetupBlockBytes);
    WriteSetupBlock(record, bytes.data());
    return bytes;
}

class Source : public ::testing::Test {
protected:
    Source() : watcher_({"Talvenix TWAIN DS", "Talvenix TWAIN driver error message", "Imaging library error"}) {}

    void SetUp() override
    {
        ResetSourceRegistry();
        SetEnvironmentVariableA("ORIONSIM_PATTERN", "gradient");
        SetEnvironmentVariableA("ORIONSIM_FRAME_MS", "0");
        trace_ = TempFolder() + "\\talvenix-transfer-trace.txt";
        DeleteFileA(trace_.c_str());
        SetEnvironmentVariableA("ORIONSIM_TRACE", trace_.c_str());
        identity_.Id = 7;
        std::strcpy(identity_.ProductName, "Talvenix Matrox Orion driver");
    }
    void TearDown() override
    {
        if (open_) {
            Close();
        }
        for (const char* name : {"ORIONSIM_PATTERN", "ORIONSIM_FRAME_MS", "ORIONSIM_TRACE", "ORIONSIM_FAIL",
                                 "ORIONSIM_BUFFER_FORMAT", "ORIONSIM_MEMORY_KB", "ORIONSIM_REJECT_FORMATS"}) {
            SetEnvironmentVariableA(name, nullptr);
        }
        DeleteFileA(trace_.c_str());
    }

    // Opens with `format` stored as the user's video format.
    void Open(const char* format = nullptr)
    {
        if (format != nullptr) {
            // A first open writes the defaults; then the format is changed.
            Open();
            Close();
            WriteRegistryValue(SettingsKey, "DigFormat", REG_SZ, format, static_cast<DWORD>(std::strlen(format)));
        }
        ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &identity_), TWRC_SUCCESS)
            << "condition " << ds_.Status();
        open_ = true;
    }
    void Close()
    {
        EXPECT_EQ(ds_.Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &identity_), TWRC_SUCCESS);
        open_ = false;
    }
    TW_UINT16 EnableWithoutUi()
    {
        TW_USERINTERFACE ui = {0, 0, nullptr};
        return ds_.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui);
    }
    void SetCount(int16_t count)
    {
        TW_CAPABILITY cap = {CAP_XFERCOUNT, TWON_ONEVALUE,
                             GlobalBlock(OneValueBytes(TWTY_INT16, static_cast<uint16_t>(count)))};
        EXPECT_EQ(ds_.Call(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &cap), TWRC_SUCCESS);
        GlobalFree(cap.hContainer);
    }
    uint32_t CurrentCap(TW_UINT16 id)
    {
        TW_CAPABILITY cap = {id, 0, nullptr};
        EXPECT_EQ(ds_.Call(DG_CONTROL, DAT_CAPABILITY, MSG_GETCURRENT, &cap), TWRC_SUCCESS);
        const uint32_t item = ReadOneValueBlock(cap.hContainer).Item;
        GlobalFree(cap.hContainer);
        return item;
    }
    TW_UINT16 EndXfer(TW_UINT16& count)
    {
        TW_PENDINGXFERS pending = {0xAAAA, {0x12345678}};
        const TW_UINT16 rc = ds_.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending);
        count = pending.Count;
        EXPECT_EQ(pending.EOJ, 0x12345678u) << "only Count is written";
        return rc;
    }
    TW_UINT16 MemoryStrip(std::vector<uint8_t>& buffer, TW_IMAGEMEMXFER& xfer)
    {
        xfer = {};
        xfer.Memory.Flags = TWMF_APPOWNS | TWMF_POINTER;
        xfer.Memory.Length = static_cast<TW_UINT32>(buffer.size());
        xfer.Memory.TheMem = buffer.data();
        return ds_.Call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &xfer);
    }
    // The source's whole setup as DAT_CUSTOMDSDATA hands it over.
    std::vector<uint8_t> SaveSetup()
    {
        TW_CUSTOMDSDATA data = {0, nullptr};
        EXPECT_EQ(ds_.Call(DG_CONTROL, DAT_CUSTOMDSDATA, MSG_GET, &data), TWRC_SUCCESS) << ds_.Status();
        std::vector<uint8_t> bytes = data.hData != nullptr ? BlockBytes(data.hData) : std::vector<uint8_t>();
        GlobalFree(data.hData);
        EXPECT_EQ(data.InfoLength, bytes.size());
        return bytes;
    }
    TW_UINT16 RestoreSetup(const std::vector<uint8_t>& bytes, TW_UINT32 infoLength)
    {
        TW_CUSTOMDSDATA data = {infoLength, bytes.empty() ? nullptr : GlobalBlock(bytes)};
        const TW_UINT16 rc = ds_.Call(DG_CONTROL, DAT_CUSTOMDSDATA, MSG_SET, &data);
        GlobalFree(data.hData);
        return rc;
    }
    TW_UINT16 RestoreSetup(const std::vector<uint8_t>& bytes)
    {
        return RestoreSetup(bytes, static_cast<TW_UINT32>(bytes.size()));
    }
    // The application's list of pixel types narrowed to `only`.
    void ConstrainPixelType(uint32_t only)
    {
        TW_CAPABILITY cap = {ICAP_PIXELTYPE, TWON_ENUMERATION, GlobalBlock(EnumerationBytes(TWTY_UINT16, 2, {only}, 0, 0))};
        EXPECT_EQ(ds_.Call(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &cap), TWRC_SUCCESS);
        GlobalFree(cap.hContainer);
    }
    void SetPixelType(TW_UINT16 type)
    {
        TW_CAPABILITY cap = {ICAP_PIXELTYPE, TWON_ONEVALUE, GlobalBlock(OneValueBytes(TWTY_UINT16, type))};
        EXPECT_EQ(ds_.Call(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &cap), TWRC_SUCCESS);
        GlobalFree(cap.hContainer);
    }
    // The board's brightness changed behind the source's back, by the
    // simulated library's own call on the digitizer the trace names: the
    // next frame grabbed shows it.
    void SetBoardBrightness(long level)
    {
        std::istringstream lines(ReadFileText(trace_));
        std::string line;
        long digitizer = 0;
        while (std::getline(lines, line)) {
            if (line.rfind("MdigGrab ", 0) == 0) {
                digitizer = std::strtol(line.c_str() + 9, nullptr, 10);
            }
        }
        using Reference = void(__stdcall*)(long, long, long);
        const auto reference = reinterpret_cast<Reference>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("MIL.DLL"), "MdigReference")));
        ASSERT_TRUE(reference != nullptr && digitizer != 0);
        reference(digitizer, 4008, level);
    }
    // The native image as an application reads it, checked against what
    // DAT_IMAGEINFO announced for it.
    DecodedImage NativeImage(const TW_IMAGEINFO& info)
    {
        TW_HANDLE bitmap = nullptr;
        DecodedImage image;
        EXPECT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &bitmap), TWRC_XFERDONE);
        if (bitmap == nullptr) {
            return image;
        }
        const std::vector<uint8_t> dib = BlockBytes(bitmap);
        GlobalFree(bitmap);
        std::string error;
        EXPECT_TRUE(DecodeDib(dib.data(), dib.size(), image, error)) << error;
        // What common readers rely on: bottom-up, the size filled in, the
        // depth the image information announced.
        EXPECT_EQ(static_cast<int32_t>(GetU32(&dib[8])), info.ImageLength);
        EXPECT_EQ(GetU16(&dib[14]), info.BitsPerPixel);
        EXPECT_EQ(GetU32(&dib[20]), ((info.ImageWidth * info.BitsPerPixel / 8 + 3) & ~3) * info.ImageLength);
        EXPECT_EQ(dib.size(), 40u + GetU32(&dib[32]) * 4 + GetU32(&dib[20]));
        EXPECT_EQ(GetU32(&dib[24]), 11811u) << "300 dots per inch, as ICAP_XRESOLUTION says";
        EXPECT_EQ(GetU32(&dib[28]), 11811u);
        return image;
    }
    // One memory transfer into a buffer of the preferred size.
    DecodedImage MemoryImage(const TW_IMAGEINFO& info)
    {
        TW_SETUPMEMXFER setup = {};
        EXPECT_EQ(ds_.Call(DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, &setup), TWRC_SUCCESS);
        DecodedImage image;
        image.Width = static_cast<uint32_t>(info.ImageWidth);
        image.Height = static_cast<uint32_t>(info.ImageLength);
        image.Samples = static_cast<uint32_t>(info.SamplesPerPixel);
        image.Pixels.resize(setup.Preferred);
        EXPECT_EQ(setup.Preferred, image.Width * image.Height * image.Samples);
        TW_IMAGEMEMXFER xfer;
        EXPECT_EQ(MemoryStrip(image.Pixels, xfer), TWRC_XFERDONE);
        EXPECT_EQ(xfer.BytesPerRow, image.Width * image.Samples);
        EXPECT_EQ(xfer.Rows, image.Height);
        return image;
    }
    void ExpectPattern(const DecodedImage& image, uint32_t boardSamples, const TW_IMAGEINFO& info)
    {
        EXPECT_EQ(image.Samples, static_cast<uint32_t>(info.SamplesPerPixel));
        EXPECT_EQ(info.BitsPerPixel, 8 * info.SamplesPerPixel);
        std::string error;
        EXPECT_TRUE(MatchesPattern(image, boardSamples, error)) << error;
    }
    int TraceCount(const char* call)
    {
        std::istringstream lines(ReadFileText(trace_));
        std::string line;
        int count = 0;
        while (std::getline(lines, line)) {
            count += line.rfind(std::string(call) + " ", 0) == 0 ? 1 : 0;
        }
        return count;
    }

    // A session that works as a whole: every stored capability answers, and
    // an image comes whole.
    void ExpectWorkingSession()
    {
        for (TW_UINT16 id : {CAP_XFERCOUNT, ICAP_COMPRESSION, ICAP_PIXELTYPE, ICAP_UNITS, ICAP_XFERMECH,
                             CAP_FEEDERENABLED, CAP_FEEDERLOADED, CAP_AUTOFEED, CAP_SUPPORTEDCAPS,
                             CAP_UICONTROLLABLE, ICAP_XRESOLUTION, ICAP_YRESOLUTION, ICAP_PIXELFLAVOR,
                             ICAP_PLANARCHUNKY, ICAP_BITDEPTH}) {
            TW_CAPABILITY cap = {id, 0, nullptr};
            EXPECT_EQ(ds_.Call(DG_CONTROL, DAT_CAPABILITY, MSG_GET, &cap), TWRC_SUCCESS) << "capability " << id;
            GlobalFree(cap.hContainer);
        }
        ASSERT_EQ(EnableWithoutUi(), TWRC_SUCCESS);
        TW_IMAGEINFO info = {};
        ASSERT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TWRC_SUCCESS);
        ExpectPattern(NativeImage(info), 1, info);
        TW_UINT16 count = 0;
        EXPECT_EQ(EndXfer(count), TWRC_SUCCESS);
    }

    MessageBoxWatcher watcher_;
    DsModule ds_;
    TW_IDENTITY identity_ = {};
    std::string trace_;
    bool open_ = false;
};

// The stand-in 2.x manager loaded beside the test as an application loads
// TWAINDSM.DLL: the source then sends its notices to it.
class StandInManager {
public:
    // Under another file name (a copy), a source cannot find it by its name.
    explicit StandInManager(const char* name = "TWAINDSM.DLL")
    {
        std::string path = ExeDirectory() + "\\" + name;
        if (std::string(name) != "TWAINDSM.DLL") {
            path = TempFolder() + "\\" + name;
            CopyFileA((ExeDirectory() + "\\TWAINDSM.DLL").c_str(), path.c_str(), FALSE);
        }
        module_ = LoadLibraryA(path.c_str());
    }
    ~StandInManager()
    {
        if (module_ != nullptr) {
            FreeLibrary(module_);
        }
    }
    StandInManager(const StandInManager&) = delete;
    StandInManager& operator=(const StandInManager&) = delete;
    // One of its exports; nullptr when it is not loaded.
    template <typename Proc>
    Proc Find(const char* name) const
    {
        return module_ == nullptr ? nullptr
                                  : reinterpret_cast<Proc>(reinterpret_cast<void (*)()>(GetProcAddress(module_, name)));
    }

    // Its entry points, as it hands them to a source by DAT_ENTRYPOINT.
    TW_ENTRYPOINT EntryPoint() const
    {
        TW_ENTRYPOINT entry = {};
        if (const auto fill = Find<StandInEntryPointProc>("StandInEntryPoint")) {
            fill(&entry);
        }
        return entry;
    }
    bool Owns(TW_HANDLE handle) const
    {
        const auto owns = Find<StandInOwnsProc>("StandInOwns");
        return owns != nullptr && owns(handle) == 1;
    }

private:
    HMODULE module_ = nullptr;
};

// The states a test can put the source in; the memory transfer's state 7
// has a frame under way.
enum class State { Closed, Open, Enabled, Ready, NativeDone, MemoryUnderWay };
constexpr int StateCount = 6;
const char* const StateNames[StateCount] = {"3", "4", "5", "6", "7 (native)", "7 (memory strip)"};

// Every triplet the source answers, in every state: served (S), refused
// out of sequence (Q) with nothing changed, refused as no message of its DAT
// (P: TWCC_BADPROTOCOL), or refused for another reason (F: before the source
// is open there is no image to describe). A closed source sets up no buffer
// and no file. Columns: 3, 4, 5, 6, 7 after a native transfer, 7 in the
// middle of a memory one. Run by a 1.x application, whose notices go to
// Wine's manager, and by a TWAIN 2 one that gave the stand-in 2.x manager's
// entry points (under a name of its own), with the answers each face gives.
TEST_F(Source, StateTable)
{
    struct Row {
        TW_UINT32 dg;
        TW_UINT16 dat;
        TW_UINT16 msg;
        const char* outcomes;
        const char* twainTwo = nullptr;  // where a TWAIN 2 application gets other answers
    };
    const Row rows[] = {
        {DG_CONTROL, DAT_IDENTITY, MSG_GET, "SSSSSS"},
        {DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, "SQQQQQ"},
        {DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, "SSSSSS"},
        {DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, "QSQQQQ"},
        {DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDSUIONLY, "QSQQQQ"},
        {DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, "QQSQQQ"},
        {DG_CONTROL, DAT_CAPABILITY, MSG_GET, "QSSSSS"},
        {DG_CONTROL, DAT_CAPABILITY, MSG_GETCURRENT, "QSSSSS"},
        {DG_CONTROL, DAT_CAPABILITY, MSG_GETDEFAULT, "QSSSSS"},
        {DG_CONTROL, DAT_CAPABILITY, MSG_QUERYSUPPORT, "QSSSSS"},
        {DG_CONTROL, DAT_CAPABILITY, MSG_SET, "QSQQQQ"},
        {DG_CONTROL, DAT_CAPABILITY, MSG_RESET, "QSQQQQ"},
        {DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, "SSSSSS"},
        {DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, "QQQSSS"},
        {DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, "QQQSQQ"},
        {DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, "QSSSSS"},
        {DG_CONTROL, DAT_SETUPFILEXFER, MSG_GET, "QSSSSS"},
        {DG_CONTROL, DAT_SETUPFILEXFER, MSG_GETDEFAULT, "QSSSSS"},
        {DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, "QSSSQQ"},
        {DG_CONTROL, DAT_SETUPFILEXFER, MSG_RESET, "QSQQQQ"},
        {DG_CONTROL, DAT_XFERGROUP, MSG_GET, "SSSSSS"},
        {DG_IMAGE, DAT_IMAGEINFO, MSG_GET, "FSSSSS"},
        {DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, "FSSSSS"},
        {DG_IMAGE, DAT_IMAGELAYOUT, MSG_GETDEFAULT, "FSSSSS"},
        {DG_IMAGE, DAT_IMAGELAYOUT, MSG_SET, "FSQQQQ"},
        {DG_IMAGE, DAT_IMAGELAYOUT, MSG_RESET, "FSQQQQ"},
        {DG_CONTROL, DAT_CUSTOMDSDATA, MSG_GET, "FSSSSS"},
        {DG_CONTROL, DAT_CUSTOMDSDATA, MSG_SET, "QSQQQQ"},
        {DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, "QQQSQQ"},
        {DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, "QQQSQS"},
        {DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, "QQQSQQ"},
        {DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_SET, "PPPPPP"},
        {DG_CONTROL, DAT_CAPABILITY, MSG_RESETALL, "QPPPPP", "QSQQQQ"},
    };
    const StandInManager manager("talvenix-other-dsm.dll");
    TW_ENTRYPOINT entry = manager.EntryPoint();
    ASSERT_NE(entry.DSM_Entry, nullptr);
    bool twainTwo = false;
    const std::string file = TempFolder() + "\\talvenix-state.tif";
    std::vector<uint8_t> strip(4096);  // five grey rows
    TW_IMAGEMEMXFER xfer = {};
    TW_UINT32 rowsDelivered = 0;
    auto reach = [&](State state) {
        if (twainTwo) {
            ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_ENTRYPOINT, MSG_SET, &entry), TWRC_SUCCESS);
        }
        if (state == State::Closed) {
            return;
        }
        Open();
        SetCount(3);
        if (state == State::Open) {
            return;
        }
        ASSERT_EQ(EnableWithoutUi(), TWRC_SUCCESS);
        if (state == State::Enabled) {
            TW_PENDINGXFERS pending = {};
            ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending), TWRC_SUCCESS);
        } else if (state == State::NativeDone) {
            TW_HANDLE bitmap = nullptr;
            ASSERT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &bitmap), TWRC_XFERDONE);
            GlobalFree(bitmap);
        } else if (state == State::MemoryUnderWay) {
            ASSERT_EQ(MemoryStrip(strip, xfer), TWRC_SUCCESS);
            rowsDelivered = xfer.Rows;
        }
    };
    // The triplet with the data an application would send.
    auto send = [&](const Row& row) {
        TW_IDENTITY identity = identity_;
        TW_USERINTERFACE ui = {0, 0, nullptr};
        TW_CAPABILITY cap = {CAP_XFERCOUNT, TWON_ONEVALUE, nullptr};
        TW_PENDINGXFERS pending = {};
        TW_SETUPMEMXFER memory = {};
        TW_SETUPFILEXFER named = {};
        std::snprintf(named.FileName, sizeof named.FileName, "%s", file.c_str());
        TW_UINT32 group = 0;
        TW_IMAGEINFO info = {};
        TW_IMAGELAYOUT layout = {};
        TW_HANDLE bitmap = nullptr;
        // A setup to restore: the one in force, where the source hands it over.
        TW_CUSTOMDSDATA setup = {0, nullptr};
        void* data = nullptr;
        switch (row.dat) {
        case DAT_IDENTITY: data = &identity; break;
        case DAT_USERINTERFACE: data = &ui; break;
        case DAT_CAPABILITY:
            if (row.msg == MSG_SET) {
                cap.hContainer = GlobalBlock(OneValueBytes(TWTY_INT16, 5));
            }
            data = &cap;
            break;
        case DAT_PENDINGXFERS: data = &pending; break;
        case DAT_SETUPMEMXFER: data = &memory; break;
        case DAT_SETUPFILEXFER: data = &named; break;
        case DAT_XFERGROUP: data = &group; break;
        case DAT_IMAGEINFO: data = &info; break;
        case DAT_IMAGELAYOUT:
            layout.Frame.Right.Whole = 768;
            layout.Frame.Bottom.Whole = 576;
            data = &layout;
            break;
        case DAT_IMAGENATIVEXFER: data = &bitmap; break;
        case DAT_CUSTOMDSDATA:
            if (row.msg == MSG_SET) {
                ds_.Call(DG_CONTROL, DAT_CUSTOMDSDATA, MSG_GET, &setup);
            }
            data = &setup;
            break;
        case DAT_IMAGEMEMXFER:
            xfer = {};
            xfer.Memory = {TWMF_APPOWNS | TWMF_POINTER, static_cast<TW_UINT32>(strip.size()), strip.data()};
            data = &xfer;
            break;
        default: break;
        }
        const TW_UINT16 result = ds_.Call(row.dg, row.dat, row.msg, data);
        GlobalFree(cap.hContainer);
        GlobalFree(bitmap);
        GlobalFree(setup.hData);
        return result;
    };
    // What a refusal must leave: the state (its own next step still works),
    // the negotiated count, the pending count and the frame under way.
    auto expectUnchanged = [&](State state, int grabs, TW_UINT16 pendingBefore) {
        if (state != State::Closed) {
            EXPECT_EQ(CurrentCap(CAP_XFERCOUNT), 3u);
        }
        TW_PENDINGXFERS pending = {};
        ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, &pending), TWRC_SUCCESS);
        EXPECT_EQ(pending.Count, pendingBefore);
        EXPECT_EQ(TraceCount("MdigGrab"), grabs) << "no grab";
        TW_UINT16 count = 0;
        TW_USERINTERFACE ui = {0, 0, nullptr};
        switch (state) {
        case State::Closed:
            break;
        case State::Open:
            EXPECT_EQ(EnableWithoutUi(), TWRC_SUCCESS);
            break;
        case State::Enabled:
            EXPECT_EQ(ds_.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_SUCCESS);
            break;
        case State::Ready: {
            std::vector<uint8_t> whole(442368);
            EXPECT_EQ(MemoryStrip(whole, xfer), TWRC_XFERDONE);
            EXPECT_EQ(xfer.YOffset, 0u);
            EXPECT_EQ(whole[768 * 100 + 7], Red(7, 100));
            break;
        }
        case State::NativeDone:
            EXPECT_EQ(EndXfer(count), TWRC_SUCCESS);
            EXPECT_EQ(count, 2);
            break;
        case State::MemoryUnderWay:
            EXPECT_EQ(MemoryStrip(strip, xfer), TWRC_SUCCESS);
            EXPECT_EQ(xfer.YOffset, rowsDelivered) << "the same frame goes on";
            EXPECT_EQ(strip[3], Red(3, rowsDelivered));
            EXPECT_EQ(TraceCount("MdigGrab"), grabs) << "no grab";
            break;
        }
    };
    for (bool face : {false, true}) {
        twainTwo = face;
        ds_.App.SupportedGroups = DG_CONTROL | DG_IMAGE | (twainTwo ? DF_APP2 : 0);
        for (const Row& row : rows) {
            const char* outcomes = twainTwo && row.twainTwo != nullptr ? row.twainTwo : row.outcomes;
            for (int column = 0; column < StateCount; ++column) {
                const auto state = static_cast<State>(column);
                SCOPED_TRACE(testing::Message() << (twainTwo ? "TWAIN 2" : "1.x") << " application: DG " << row.dg
                                                << " DAT 0x" << std::hex << row.dat << " MSG 0x" << row.msg
                                                << " in state " << StateNames[column]);
                reach(state);
                ds_.Status();
                const int grabs = TraceCount("MdigGrab");
                TW_PENDINGXFERS before = {};
                ds_.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, &before);
                const TW_UINT16 rc = send(row);
                const TW_UINT16 condition = ds_.Status();
                switch (outcomes[column]) {
                case 'S':
                    EXPECT_NE(rc, TWRC_FAILURE) << "condition " << condition;
                    break;
                case 'Q':
                    EXPECT_EQ(rc, TWRC_FAILURE);
                    EXPECT_EQ(condition, TWCC_SEQERROR);
                    expectUnchanged(state, grabs, before.Count);
                    break;
                case 'P':
                    EXPECT_EQ(rc, TWRC_FAILURE);
                    EXPECT_EQ(condition, TWCC_BADPROTOCOL);
                    expectUnchanged(state, grabs, before.Count);
                    break;
                default:
                    EXPECT_EQ(rc, TWRC_FAILURE);
                    EXPECT_NE(condition, TWCC_SUCCESS);
                    break;
                }
                ds_.Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &identity_);
                open_ = false;
            }
        }
    }
    ds_.App = TestAppIdentity();
    DeleteFileA(file.c_str());

    // Closed: another application may open now, and the same one again; while
    // one is connected, calls of the other are ignored.
    TW_IDENTITY other = TestAppIdentity(2);
    ASSERT_EQ(ds_.CallAs(&other, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &identity_), TWRC_SUCCESS);
    EXPECT_EQ(ds_.Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &identity_), TWRC_SUCCESS);
    TW_STATUS status = {};
    EXPECT_EQ(ds_.CallAs(&other, DG_CONTROL, DAT_STATUS, MSG_GET, &status), TWRC_SUCCESS);
    EXPECT_EQ(ds_.CallAs(&other, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &identity_), TWRC_SUCCESS);
    EXPECT_EQ(ds_.CallAs(&other, DG_CONTROL, DAT_STATUS, MSG_GET, &status), TWRC_SUCCESS);
    EXPECT_EQ(status.ConditionCode, TWCC_SUCCESS) << "closed from state 4";

    // CAP_XFERCOUNT at its default 0 delivers one image: it is pending in
    // states 6 and 7 until its MSG_ENDXFER ends it.
    Open();
    ASSERT_EQ(EnableWithoutUi(), TWRC_SUCCESS);
    TW_PENDINGXFERS pending = {};
    ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, &pending), TWRC_SUCCESS);
    EXPECT_EQ(pending.Count, 1) << "state 6";
    TW_HANDLE bitmap = nullptr;
    ASSERT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &bitmap), TWRC_XFERDONE);
    GlobalFree(bitmap);
    ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, &pending), TWRC_SUCCESS);
    EXPECT_EQ(pending.Count, 1) << "state 7";
    TW_UINT16 count = 0xAAAA;
    ASSERT_EQ(EndXfer(count), TWRC_SUCCESS);
    EXPECT_EQ(count, 0);
    ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, &pending), TWRC_SUCCESS);
    EXPECT_EQ(pending.Count, 0) << "state 5: ended";
    // A condition nobody asked for stays with its session.
    TW_SETUPMEMXFER memory = {};
    EXPECT_EQ(ds_.Call(DG_CONTROL, DAT_SETUPMEMXFER, MSG_SET, &memory), TWRC_FAILURE);
    Close();
    Open();
    EXPECT_EQ(ds_.Status(), TWCC_SUCCESS) << "the new session's first DAT_STATUS";
}

TEST_F(Source, OpenTakesTheAssignedIdentityAndTheBoardGeometry)
{
    Open();
    TW_IDENTITY answered = {};
    ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_IDENTITY, MSG_GET, &answered), TWRC_SUCCESS);
    EXPECT_EQ(answered.Id, 7u);
    TW_SETUPMEMXFER setup = {};
    ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, &setup), TWRC_SUCCESS);
    EXPECT_EQ(setup.MinBufSize, 4096u);
    EXPECT_EQ(setup.Preferred, 442368u);
    EXPECT_EQ(setup.MaxBufSize, 442368u);
    EXPECT_EQ(ds_.Call(DG_CONTROL, DAT_SETUPMEMXFER, MSG_SET, &setup), TWRC_FAILURE);
    EXPECT_EQ(ds_.Status(), TWCC_BADPROTOCOL);
    TW_UINT32 group = 0xFFFFFFFF;
    ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_XFERGROUP, MSG_GET, &group), TWRC_SUCCESS);
    EXPECT_EQ(group, DG_IMAGE);
    EXPECT_EQ(ds_.Call(DG_CONTROL, DAT_EVENT, MSG_GET, &group), TWRC_FAILURE);
    EXPECT_EQ(ds_.Status(), TWCC_BADPROTOCOL);
}

TEST_F(Source, BoardThatRefusesFailsTheOpenAndLeavesNothingBehind)
{
    SetEnvironmentVariableA("ORIONSIM_FAIL", "MsysAlloc");
    EXPECT_EQ(ds_.Call(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &identity_), TWRC_FAILURE);
    EXPECT_EQ(ds_.Status(), TWCC_CHECKDEVICEONLINE);
    SetEnvironmentVariableA("ORIONSIM_FAIL", nullptr);
    // Nothing connected, nothing loaded: the application just tries again.
    EXPECT_EQ(GetModuleHandleA("MIL.DLL"), nullptr);
    Open();
}

// CAP_DEVICEONLINE asks the board at every call: TRUE while its digitizer
// answers, FALSE once it does not (its digitizer freed behind the source's
// back, as a board that went away leaves it).
TEST_F(Source, DeviceOnlineWhileTheBoardAnswers)
{
    Open();
    EXPECT_EQ(CurrentCap(CAP_DEVICEONLINE), 1u);
    long digitizer = 0;
    std::istringstream lines(ReadFileText(trace_));
    for (std::string line; digitizer == 0 && std::getline(lines, line);) {
        std::sscanf(line.c_str(), "MdigInquire %ld", &digitizer);
    }
    ASSERT_NE(digitizer, 0) << "the trace names the digitizer";
    const auto digitizerFree = reinterpret_cast<void(__stdcall*)(long)>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("MIL.DLL"), "MdigFree")));
    ASSERT_NE(digitizerFree, nullptr);
    digitizerFree(digitizer);
    EXPECT_EQ(CurrentCap(CAP_DEVICEONLINE), 0u);
    TW_CAPABILITY cap = {CAP_DEVICEONLINE, TWON_ONEVALUE, GlobalBlock(OneValueBytes(TWTY_BOOL, 1))};
    EXPECT_EQ(ds_.Call(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &cap), TWRC_FAILURE) << "read-only";
    EXPECT_EQ(ds_.Status(), TWCC_BADVALUE);
    GlobalFree(cap.hContainer);
}

TEST_F(Source, EndOfTransferCountsDown)
{
    const struct {
        int16_t count;
        TW_UINT16 answered;
        uint32_t stored;
        bool anotherReady;  // state 6 afterwards, else 5
    } rows[] = {{3, 2, 3, true}, {1, 0, 1, false}, {-1, 0xFFFF, 0xFFFF, true}, {0, 0, 0, false}};
    Open();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.count);
        if (row.count != 0) {
            SetCount(row.count);
        } else {
            // 0 is no count an application may set; it is the 1.x default.
            TW_CAPABILITY cap = {CAP_XFERCOUNT, 0, nullptr};
            ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_CAPABILITY, MSG_RESET, &cap), TWRC_SUCCESS);
            GlobalFree(cap.hContainer);
        }
        ASSERT_EQ(EnableWithoutUi(), TWRC_SUCCESS);
        TW_HANDLE bitmap = nullptr;
        ASSERT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &bitmap), TWRC_XFERDONE);
        GlobalFree(bitmap);
        TW_PENDINGXFERS pending = {};
        ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, &pending), TWRC_SUCCESS);
        // The image at hand counts: a count of 0 delivers one.
        EXPECT_EQ(pending.Count, static_cast<TW_UINT16>(row.count == 0 ? 1 : row.count));
        TW_UINT16 count = 0;
        ASSERT_EQ(EndXfer(count), TWRC_SUCCESS);
        EXPECT_EQ(count, row.answered);
        EXPECT_EQ(CurrentCap(CAP_XFERCOUNT) & 0xFFFF, row.stored) << "the capability keeps what was negotiated";
        // In state 6 another transfer works at once; in state 5 it does not.
        bitmap = nullptr;
        const TW_UINT16 next = ds_.Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &bitmap);
        EXPECT_EQ(next, row.anotherReady ? TWRC_XFERDONE : TWRC_FAILURE);
        GlobalFree(bitmap);
        if (row.anotherReady) {
            EndXfer(count);
            TW_PENDINGXFERS reset = {};
            ds_.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &reset);
        }
        ds_.Status();
        TW_USERINTERFACE ui = {0, 0, nullptr};
        ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_SUCCESS);
    }
}

// The pending count is the source's, taken from CAP_XFERCOUNT at each
// enabling: a second enabling without negotiation delivers as many images as
// the first, and a reset leaves none pending.
TEST_F(Source, TransferCountHoldsAcrossEnablings)
{
    Open();
    SetCount(2);
    TW_PENDINGXFERS pending = {};
    TW_USERINTERFACE ui = {0, 0, nullptr};
    for (int enabling = 1; enabling <= 2; ++enabling) {
        SCOPED_TRACE(enabling);
        ASSERT_EQ(EnableWithoutUi(), TWRC_SUCCESS);
        ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, &pending), TWRC_SUCCESS);
        EXPECT_EQ(pending.Count, 2);
        for (TW_UINT16 left : {1, 0}) {
            TW_HANDLE bitmap = nullptr;
            ASSERT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &bitmap), TWRC_XFERDONE);
            GlobalFree(bitmap);
            TW_UINT16 count = 0xAAAA;
            ASSERT_EQ(EndXfer(count), TWRC_SUCCESS);
            EXPECT_EQ(count, left);
            ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, &pending), TWRC_SUCCESS);
            EXPECT_EQ(pending.Count, left);
            EXPECT_EQ(CurrentCap(CAP_XFERCOUNT), 2u);
        }
        TW_HANDLE bitmap = nullptr;
        EXPECT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &bitmap), TWRC_FAILURE) << "two images, no more";
        EXPECT_EQ(ds_.Status(), TWCC_SEQERROR);
        ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_SUCCESS);
        ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, &pending), TWRC_SUCCESS);
        EXPECT_EQ(pending.Count, 2) << "disabled: the count negotiated";
    }
    ASSERT_EQ(EnableWithoutUi(), TWRC_SUCCESS);
    pending.Count = 0xAAAA;
    ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending), TWRC_SUCCESS);
    EXPECT_EQ(pending.Count, 0);
    pending.Count = 0xAAAA;
    ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, &pending), TWRC_SUCCESS);
    EXPECT_EQ(pending.Count, 0) << "nothing pending after the reset";
    EXPECT_EQ(CurrentCap(CAP_XFERCOUNT), 2u);
}

// Native and memory pixels against the pattern for every buffer format.
TEST_F(Source, EveryBufferFormatDeliversThePattern)
{
    const struct {
        const char* digFormat;
        const char* bufferFormat;
        uint16_t legacyBitCount;
    } rows[] = {
        {"M_CCIR", nullptr, 8},       {"M_PAL", "M_BGR32", 32},  {"M_PAL", "M_RGB32", 32},
        {"M_PAL", "M_XRGB32", 32},    {"M_PAL", "M_XBGR32", 32}, {"M_PAL", "M_RGB24", 24},
        {"M_NTSC", "M_BGR24", 24},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.digFormat) + " " + (row.bufferFormat ? row.bufferFormat : ""));
        SetEnvironmentVariableA("ORIONSIM_BUFFER_FORMAT", row.bufferFormat);
        ResetSourceRegistry();
        Open(row.digFormat);
        const uint32_t samples = row.bufferFormat != nullptr ? 3 : 1;
        TW_IMAGEINFO info = {};
        ASSERT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TWRC_SUCCESS);
        EXPECT_EQ(info.SamplesPerPixel, static_cast<TW_INT16>(samples));
        EXPECT_EQ(info.PixelType, samples == 3 ? TWPT_RGB : TWPT_GRAY);
        SetCount(-1);
        ASSERT_EQ(EnableWithoutUi(), TWRC_SUCCESS);
        TW_UINT16 count = 0;
        ExpectPattern(NativeImage(info), samples, info);
        ASSERT_EQ(EndXfer(count), TWRC_SUCCESS);
        ExpectPattern(MemoryImage(info), samples, info);
        ASSERT_EQ(EndXfer(count), TWRC_SUCCESS);
        Close();

        // "NativeLayout" 1: the first releases' bitmap, read at the next open.
        const DWORD legacy = 1;
        WriteRegistryValue("SOFTWARE\\Talvenix\\Twain", "NativeLayout", REG_DWORD, &legacy, sizeof legacy);
        Open();
        ASSERT_EQ(EnableWithoutUi(), TWRC_SUCCESS);
        TW_HANDLE bitmap = nullptr;
        ASSERT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &bitmap), TWRC_XFERDONE);
        const std::vector<uint8_t> dib = BlockBytes(bitmap);
        GlobalFree(bitmap);
        const uint32_t width = static_cast<uint32_t>(info.ImageWidth);
        const uint32_t height = static_cast<uint32_t>(info.ImageLength);
        const uint32_t pixelSize = row.legacyBitCount / 8;
        const uint32_t rowSize = (width * pixelSize + 3) & ~3u;
        ASSERT_EQ(dib.size(), 1064u + rowSize * height);
        EXPECT_EQ(GetU16(&dib[14]), row.legacyBitCount);
        EXPECT_EQ(GetU32(&dib[8]), 0u - height) << "top-down";
        EXPECT_EQ(GetU32(&dib[32]), 256u);
        EXPECT_EQ(dib[40 + 4 * 9 + 3], samples == 1 ? 9 : 0) << "the ramp's reserved byte holds the index";
        DecodedImage image;
        std::string error;
        ASSERT_TRUE(DecodeDib(dib.data(), dib.size(), image, error)) << error;
        EXPECT_TRUE(MatchesPattern(image, samples, error)) << error;
        ASSERT_EQ(EndXfer(count), TWRC_SUCCESS);
        Close();
        ResetSourceRegistry();
    }
}

// An application's pixel type is the image it gets, by every mechanism, on
// a monochrome board and on a colour one.
TEST_F(Source, PixelTypeNegotiatedIsThePixelTypeDelivered)
{
    const struct {
        const char* digFormat;
        const char* bufferFormat;
        uint32_t boardSamples;
        TW_UINT16 asked;
        const char* fileName;
    } rows[] = {
        {"M_CCIR", nullptr, 1, TWPT_RGB, "transfer_rgb_from_grey.tif"},
        {"M_PAL", "M_BGR32", 3, TWPT_GRAY, "transfer_grey_from_bgr32.tif"},
        {"M_PAL", "M_RGB24", 3, TWPT_GRAY, "transfer_grey_from_rgb24.bmp"},
        {"M_PAL", "M_BGR32", 3, TWPT_RGB, "transfer_rgb_from_bgr32.bmp"},
        {"M_CCIR", nullptr, 1, TWPT_GRAY, "transfer_grey_saved_by_the_library.tif"},
        {"M_CCIR", nullptr, 1, TWPT_GRAY, "transfer_grey.png"},
        {"M_PAL", "M_BGR32", 3, TWPT_RGB, "transfer_rgb_from_bgr32.png"},
        {"M_PAL", "M_RGB24", 3, TWPT_GRAY, "transfer_grey_from_rgb24.png"},
        {"M_CCIR", nullptr, 1, TWPT_GRAY, "transfer_grey.jpg"},
        {"M_PAL", "M_RGB24", 3, TWPT_RGB, "transfer_rgb_from_rgb24.jpg"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.fileName);
        SetEnvironmentVariableA("ORIONSIM_BUFFER_FORMAT", row.bufferFormat);
        ResetSourceRegistry();
        Open(row.digFormat);
        SetPixelType(row.asked);
        const uint32_t samples = row.asked == TWPT_RGB ? 3 : 1;
        EXPECT_EQ(CurrentCap(ICAP_BITDEPTH), 8 * samples);
        TW_IMAGEINFO info = {};
        ASSERT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TWRC_SUCCESS);
        EXPECT_EQ(info.PixelType, row.asked);
        EXPECT_EQ(info.SamplesPerPixel, static_cast<TW_INT16>(samples));
        EXPECT_EQ(info.BitsPerSample[0], 8);
        EXPECT_EQ(info.BitsPerSample[1], samples == 3 ? 8 : 0);
        SetCount(-1);
        ASSERT_EQ(EnableWithoutUi(), TWRC_SUCCESS);
        TW_UINT16 count = 0;
        const DecodedImage native = NativeImage(info);
        ExpectPattern(native, row.boardSamples, info);
        if (row.boardSamples == 3 && samples == 1 && native.Pixels.size() > 20 * 768 + 10) {
            // Red 10, green 20, blue 30: 0.299 * 10 + 0.587 * 20 + 0.114 * 30 = 18.15.
            EXPECT_EQ(native.Pixels[20 * 768 + 10], 18);
        }
        ASSERT_EQ(EndXfer(count), TWRC_SUCCESS);
        ExpectPattern(MemoryImage(info), row.boardSamples, info);
        ASSERT_EQ(EndXfer(count), TWRC_SUCCESS);

        // The file: written by the encoders (a grey TIFF of a grey board by
        // the library's save), read back as a reader would where the format
        // is uncompressed, and every one by Pillow outside Wine in the
        // script test that follows.
        const char* extension = std::strrchr(row.fileName, '.');
        const TW_UINT16 format = std::strcmp(extension, ".bmp") == 0   ? TWFF_BMP
                                 : std::strcmp(extension, ".png") == 0 ? TWFF_PNG
                                 : std::strcmp(extension, ".jpg") == 0 ? TWFF_JFIF
                                                                       : TWFF_TIFF;
        TW_SETUPFILEXFER setup = {};
        std::snprintf(setup.FileName, sizeof setup.FileName, "%s\\%s", ExeDirectory().c_str(), row.fileName);
        setup.Format = format;
        DeleteFileA(setup.FileName);
        ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup), TWRC_SUCCESS);
        ASSERT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr), TWRC_XFERDONE);
        const std::string file = ReadFileText(setup.FileName);
        if (format == TWFF_PNG || format == TWFF_JFIF) {
            EXPECT_EQ(file.substr(0, 4), format == TWFF_PNG ? "\x89PNG" : "\xFF\xD8\xFF\xE0");
            ASSERT_EQ(EndXfer(count), TWRC_SUCCESS);
            Close();
            continue;
        }
        DecodedImage image;
        std::string error;
        ASSERT_TRUE(DecodeFile(file, format, image, error)) << error;
        ExpectPattern(image, row.boardSamples, info);
        ASSERT_EQ(EndXfer(count), TWRC_SUCCESS);
        Close();
    }
}

// A multi-page TIFF: the images of one enabling, a page each in the order
// transferred, in the application's file once the transfers end (the last
// MSG_ENDXFER, or MSG_RESET when the count is open); until then the file
// holds what it held. Each page after the first is marked by the board's
// brightness, 10 levels up a page (Pillow checks every pixel of each page
// outside Wine).
TEST_F(Source, MultiPageTiffHoldsOnePageAnImageInOrder)
{
    const struct {
        const char* digFormat;
        const char* bufferFormat;
        uint32_t samples;
        int16_t count;
        const char* fileName;
    } rows[] = {
        {"M_CCIR", nullptr, 1, 3, "transfer_grey_pages.tif"},
        {"M_PAL", "M_BGR32", 3, -1, "transfer_rgb_pages.tif"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.fileName);
        SetEnvironmentVariableA("ORIONSIM_BUFFER_FORMAT", row.bufferFormat);
        ResetSourceRegistry();
        Open(row.digFormat);
        SetCount(row.count);
        ASSERT_EQ(EnableWithoutUi(), TWRC_SUCCESS);
        TW_SETUPFILEXFER setup = {};
        std::snprintf(setup.FileName, sizeof setup.FileName, "%s\\%s", ExeDirectory().c_str(), row.fileName);
        setup.Format = TWFF_TIFFMULTI;
        const std::string before = "the application's earlier file";
        std::ofstream(setup.FileName, std::ios::binary) << before;
        ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup), TWRC_SUCCESS);
        TW_UINT16 count = 0;
        for (int page = 0; page < 3; ++page) {
            if (page > 0) {
                SetBoardBrightness(128 + 10 * page);
            }
            ASSERT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr), TWRC_XFERDONE) << ds_.Status();
            EXPECT_TRUE(ReadFileText(setup.FileName) == before) << "replaced before the transfers ended";
            ASSERT_EQ(EndXfer(count), TWRC_SUCCESS);
        }
        if (row.count == -1) {
            TW_PENDINGXFERS pending = {};
            ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending), TWRC_SUCCESS);
        }
        const std::string file = ReadFileText(setup.FileName);
        const auto* bytes = reinterpret_cast<const uint8_t*>(file.data());
        ASSERT_EQ(TiffPageCount(bytes, file.size()), 3u);
        for (uint32_t page = 0; page < 3; ++page) {
            SCOPED_TRACE(page);
            DecodedImage image;
            std::string error;
            ASSERT_TRUE(DecodeTiffPage(bytes, file.size(), page, image, error)) << error;
            ASSERT_EQ(image.Samples, row.samples);
            EXPECT_TRUE(page != 0 || MatchesPattern(image, row.samples, error)) << error;
            // Red (or grey) of pixel 10,20 is 10, and 10 more a page.
            EXPECT_EQ(image.Pixels[(20 * image.Width + 10) * row.samples], 10 + 10 * page);
        }
        Close();
    }
}

// Without the system's encoders (the CTest entry no_image_codecs runs this
// with windowscodecs.dll disabled): TIFF alone is offered, the board
// library's TIFF is still written, the other formats are refused, and the
// log says why.
TEST_F(Source, WithoutTheEncodersTheLibrarysTiffAloneIsOffered)
{
    char flag[8] = "";
    if (GetEnvironmentVariableA("TALVENIX_NO_CODECS", flag, sizeof flag) == 0) {
        GTEST_SKIP() << "run by the no_image_codecs entry";
    }
    DeleteSourceLog();
    SetDumpMode(42);
    ds_.Reload();
    Open();
    TW_CAPABILITY cap = {ICAP_IMAGEFILEFORMAT, 0, nullptr};
    ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_CAPABILITY, MSG_GET, &cap), TWRC_SUCCESS);
    EXPECT_EQ(ReadEnumerationBlock(cap.hContainer, 2).Items, std::vector<uint32_t>{TWFF_TIFF});
    GlobalFree(cap.hContainer);
    TW_SETUPFILEXFER setup = {};
    std::snprintf(setup.FileName, sizeof setup.FileName, "%s\\talvenix-no-codecs.img", TempFolder().c_str());
    setup.Format = TWFF_PNG;
    EXPECT_EQ(ds_.Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup), TWRC_FAILURE);
    EXPECT_EQ(ds_.Status(), TWCC_BADVALUE);
    ASSERT_EQ(EnableWithoutUi(), TWRC_SUCCESS);
    setup.Format = TWFF_TIFF;
    ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup), TWRC_SUCCESS);
    ASSERT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr), TWRC_XFERDONE);
    const std::string file = ReadFileText(setup.FileName);
    DeleteFileA(setup.FileName);
    DecodedImage image;
    std::string error;
    ASSERT_TRUE(DecodeFile(file, TWFF_TIFF, image, error)) << error;
    EXPECT_TRUE(MatchesPattern(image, 1, error)) << error;
    TW_UINT16 count = 0;
    ASSERT_EQ(EndXfer(count), TWRC_SUCCESS);
    Close();
    EXPECT_NE(ReadFileText(SourceLogPath()).find("the Windows Imaging Component cannot be created"), std::string::npos);
}

// ICAP_JPEGQUALITY: 0 to 100 and the named levels low, medium and high, 75
// by default. (Wine's JPEG encoder takes no quality, so the file's size
// tells nothing here.)
TEST_F(Source, JpegQualityIsNegotiatedAndShapesTheFile)
{
    Open();
    const struct {
        TW_UINT16 itemType;
        int16_t value;
        TW_UINT16 rc;
    } rows[] = {
        {TWTY_INT16, 0, TWRC_SUCCESS},      {TWTY_INT16, 100, TWRC_SUCCESS},    {TWTY_INT16, -3, TWRC_SUCCESS},
        {TWTY_INT16, -1, TWRC_SUCCESS},     {TWTY_INT16, 101, TWRC_FAILURE},    {TWTY_INT16, -4, TWRC_FAILURE},
        {TWTY_UINT16, 50, TWRC_FAILURE},
    };
    int16_t held = 75;
    EXPECT_EQ(static_cast<int16_t>(CurrentCap(ICAP_JPEGQUALITY)), held);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.value);
        TW_CAPABILITY cap = {ICAP_JPEGQUALITY, TWON_ONEVALUE,
                             GlobalBlock(OneValueBytes(row.itemType, static_cast<uint16_t>(row.value)))};
        EXPECT_EQ(ds_.Call(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &cap), row.rc);
        GlobalFree(cap.hContainer);
        EXPECT_EQ(ds_.Status(), row.rc == TWRC_SUCCESS ? TWCC_SUCCESS : TWCC_BADVALUE);
        held = row.rc == TWRC_SUCCESS ? row.value : held;
        EXPECT_EQ(static_cast<int16_t>(CurrentCap(ICAP_JPEGQUALITY)), held);
    }
    TW_CAPABILITY cap = {ICAP_JPEGQUALITY, 0, nullptr};
    ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_CAPABILITY, MSG_GETDEFAULT, &cap), TWRC_SUCCESS);
    EXPECT_EQ(static_cast<int16_t>(ReadOneValueBlock(cap.hContainer).Item), 75);
    GlobalFree(cap.hContainer);
    ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_CAPABILITY, MSG_RESET, &cap), TWRC_SUCCESS);
    GlobalFree(cap.hContainer);
    EXPECT_EQ(static_cast<int16_t>(CurrentCap(ICAP_JPEGQUALITY)), 75);
}

TEST_F(Source, MemoryStripsOfWholeRows)
{
    Open();
    ASSERT_EQ(EnableWithoutUi(), TWRC_SUCCESS);
    std::vector<uint8_t> buffer(100000);
    const uint32_t offsets[] = {0, 130, 260, 390, 520};
    for (uint32_t offset : offsets) {
        SCOPED_TRACE(offset);
        TW_IMAGEMEMXFER xfer;
        const TW_UINT16 rc = MemoryStrip(buffer, xfer);
        const bool last = offset == 520;
        EXPECT_EQ(rc, last ? TWRC_XFERDONE : TWRC_SUCCESS);
        EXPECT_EQ(xfer.YOffset, offset);
        EXPECT_EQ(xfer.Rows, last ? 56u : 130u);
        EXPECT_EQ(xfer.BytesWritten, xfer.Rows * 768);
        EXPECT_EQ(xfer.Columns, 768u);
        EXPECT_EQ(xfer.XOffset, 0u);
        EXPECT_EQ(buffer[5], Red(5, offset));
        EXPECT_EQ(buffer[768 + 9], Red(9, offset + 1));
    }
    EXPECT_EQ(TraceCount("MdigGrab"), 1) << "one frame for all strips";
}

TEST_F(Source, OneRowColourStripsAndAnEndedTransferForgetsItsFrame)
{
    Open("M_PAL");
    SetCount(-1);
    ASSERT_EQ(EnableWithoutUi(), TWRC_SUCCESS);
    std::vector<uint8_t> buffer(4096);
    for (uint32_t y = 0; y < 3; ++y) {
        TW_IMAGEMEMXFER xfer;
        ASSERT_EQ(MemoryStrip(buffer, xfer), TWRC_SUCCESS);
        EXPECT_EQ(xfer.BytesPerRow, 2304u);
        EXPECT_EQ(xfer.Rows, 1u);
        EXPECT_EQ(xfer.YOffset, y);
        EXPECT_EQ(buffer[3 * 10 + 2], Blue(10, y));
    }
    TW_UINT16 count = 0;
    ASSERT_EQ(EndXfer(count), TWRC_SUCCESS);
    // Too small for a row while more is to come: a failure, nothing lost.
    std::vector<uint8_t> tiny(100);
    TW_IMAGEMEMXFER xfer;
    EXPECT_EQ(MemoryStrip(tiny, xfer), TWRC_FAILURE);
    EXPECT_EQ(ds_.Status(), TWCC_OPERATIONERROR);
    EXPECT_EQ(TraceCount("MdigGrab"), 2) << "the failed call grabbed the frame";
    EXPECT_EQ(MemoryStrip(buffer, xfer), TWRC_SUCCESS);
    EXPECT_EQ(xfer.YOffset, 0u) << "the frame grabbed for the failed call starts at row 0";
    EXPECT_EQ(TraceCount("MdigGrab"), 2) << "a fresh frame after MSG_ENDXFER, kept for the larger buffer";
}

// A memory transfer left after its first strip is forgotten when the source
// closes: the next one grabs a frame of the digitizer then running and
// delivers all of it.
TEST_F(Source, HalfDeliveredFrameDiesWithTheSession)
{
    const struct {
        const char* fromFormat;
        const char* fromBuffer;
        const char* toFormat;
        const char* toBuffer;
    } rows[] = {
        {"M_CCIR", nullptr, "M_PAL", "M_BGR32"},
        {"M_PAL", "M_BGR32", "M_CCIR", nullptr},
        {"M_CCIR", nullptr, "M_CCIR", nullptr},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.fromFormat) + " to " + row.toFormat);
        SetEnvironmentVariableA("ORIONSIM_BUFFER_FORMAT", row.fromBuffer);
        ResetSourceRegistry();
        Open(row.fromFormat);
        ASSERT_EQ(EnableWithoutUi(), TWRC_SUCCESS);
        std::vector<uint8_t> strip(4096);
        TW_IMAGEMEMXFER xfer;
        EXPECT_EQ(MemoryStrip(strip, xfer), TWRC_SUCCESS);
        Close();
        SetEnvironmentVariableA("ORIONSIM_BUFFER_FORMAT", row.toBuffer);
        Open(row.toFormat);
        ASSERT_EQ(EnableWithoutUi(), TWRC_SUCCESS);
        const int grabs = TraceCount("MdigGrab");
        TW_IMAGEINFO info = {};
        ASSERT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TWRC_SUCCESS);
        const uint32_t width = static_cast<uint32_t>(info.ImageWidth);
        const uint32_t samples = static_cast<uint32_t>(info.SamplesPerPixel);
        std::vector<uint8_t> buffer(width * static_cast<uint32_t>(info.ImageLength) * samples);
        ASSERT_EQ(MemoryStrip(buffer, xfer), TWRC_XFERDONE);
        EXPECT_EQ(TraceCount("MdigGrab"), grabs + 1) << "a frame of its own";
        EXPECT_EQ(xfer.YOffset, 0u);
        EXPECT_EQ(xfer.Rows, static_cast<TW_UINT32>(info.ImageLength));
        for (uint32_t y = 0; y < xfer.Rows; y += 41) {
            const uint8_t* pixel = &buffer[(y * width + 300) * samples];
            EXPECT_EQ(pixel[0], Red(300, y)) << "row " << y;
            if (samples == 3) {
                EXPECT_EQ(pixel[2], Blue(300, y)) << "row " << y;
            }
        }
        TW_UINT16 count = 0;
        EndXfer(count);
        Close();
    }
}

TEST_F(Source, MemoryBuffersThatCannotBeWrittenAreRefused)
{
    Open();
    ASSERT_EQ(EnableWithoutUi(), TWRC_SUCCESS);
    TW_IMAGEMEMXFER xfer = {};
    xfer.Memory.Flags = TWMF_APPOWNS | TWMF_POINTER;
    xfer.Memory.Length = 442368;
    EXPECT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &xfer), TWRC_FAILURE);
    EXPECT_EQ(ds_.Status(), TWCC_BADVALUE);
    EXPECT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, nullptr), TWRC_FAILURE);
    EXPECT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_SET, &xfer), TWRC_FAILURE);
    EXPECT_EQ(ds_.Status(), TWCC_BADPROTOCOL);

    // A handle is locked, and its block bounds the strip whatever Length says.
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, 768 * 10);
    xfer = {};
    xfer.Memory.Flags = TWMF_APPOWNS | TWMF_HANDLE;
    xfer.Memory.Length = 442368;
    xfer.Memory.TheMem = block;
    ASSERT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &xfer), TWRC_SUCCESS);
    EXPECT_EQ(xfer.Rows, 10u);
    const std::vector<uint8_t> bytes = BlockBytes(block);
    EXPECT_EQ(bytes[768 * 9 + 3], Red(3, 9));
    GlobalFree(block);
    xfer.Memory.TheMem = block;  // freed: does not lock
    EXPECT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &xfer), TWRC_FAILURE);
    EXPECT_EQ(ds_.Status(), TWCC_BADVALUE);
}

TEST_F(Source, NoPixelAddressFailsNativeAndMemory)
{
    SetEnvironmentVariableA("ORIONSIM_FAIL", "HostAddress");
    Open();
    ASSERT_EQ(EnableWithoutUi(), TWRC_SUCCESS);
    TW_HANDLE bitmap = nullptr;
    EXPECT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &bitmap), TWRC_FAILURE);
    EXPECT_EQ(ds_.Status(), TWCC_LOWMEMORY);
    std::vector<uint8_t> buffer(4096);
    TW_IMAGEMEMXFER xfer;
    EXPECT_EQ(MemoryStrip(buffer, xfer), TWRC_FAILURE);
    EXPECT_EQ(ds_.Status(), TWCC_OPERATIONERROR);
    EXPECT_EQ(TraceCount("MdigGrab"), 0);
}

// Too little board memory for the colour format: the open succeeds (the
// user may pick a smaller format), but nothing describes or delivers an
// image until a format gets a buffer.
TEST_F(Source, NoImageBufferFailsForLowMemoryUntilAFormatFits)
{
    SetEnvironmentVariableA("ORIONSIM_MEMORY_KB", "1000");
    Open("M_PAL");
    ASSERT_EQ(EnableWithoutUi(), TWRC_SUCCESS);
    TW_IMAGEINFO info = {};
    TW_IMAGELAYOUT layout = {};
    TW_HANDLE bitmap = nullptr;
    std::vector<uint8_t> buffer(4096);
    TW_IMAGEMEMXFER xfer = {};
    xfer.Memory = {TWMF_APPOWNS | TWMF_POINTER, 4096, buffer.data()};
    const struct {
        TW_UINT16 dat;
        void* data;
    } rows[] = {{DAT_IMAGEINFO, &info},          {DAT_IMAGELAYOUT, &layout}, {DAT_IMAGENATIVEXFER, &bitmap},
                {DAT_IMAGEMEMXFER, &xfer},       {DAT_IMAGEFILEXFER, nullptr}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.dat);
        EXPECT_EQ(ds_.Call(DG_IMAGE, row.dat, MSG_GET, row.data), TWRC_FAILURE);
        EXPECT_EQ(ds_.Status(), TWCC_LOWMEMORY);
    }
    EXPECT_EQ(TraceCount("MdigGrab"), 0);
    Close();
    Open("M_CCIR");
    ASSERT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TWRC_SUCCESS);
    EXPECT_EQ(info.SamplesPerPixel, 1);
    ASSERT_EQ(EnableWithoutUi(), TWRC_SUCCESS);
    ASSERT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &bitmap), TWRC_XFERDONE);
    GlobalFree(bitmap);
}

// DAT_SETUPFILEXFER / MSG_GET is a question: it changes nothing but giving a
// session without a name its default file, once.
TEST_F(Source, FileSetUpAnswersTheCurrentFileAndKeepsTheDefaultOnce)
{
    char temp[MAX_PATH] = "";
    GetTempPathA(sizeof temp, temp);
    Open();
    TW_SETUPFILEXFER first = {};
    TW_SETUPFILEXFER again = {};
    TW_SETUPFILEXFER byDefault = {};
    ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_GET, &first), TWRC_SUCCESS);
    ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_GET, &again), TWRC_SUCCESS);
    ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_GETDEFAULT, &byDefault), TWRC_SUCCESS);
    const std::string defaultName = first.FileName;
    EXPECT_EQ(defaultName, again.FileName);
    EXPECT_EQ(defaultName, byDefault.FileName);
    EXPECT_EQ(defaultName.rfind(temp, 0), 0u) << defaultName;
    EXPECT_EQ(defaultName.substr(std::strlen(temp), 3), "TWN") << defaultName;
    EXPECT_TRUE(FileExists(defaultName));
    EXPECT_EQ(first.Format, TWFF_TIFF);
    EXPECT_EQ(first.VRefNum, 0);

    // The application's own name and format, transferred into, are what
    // MSG_GET answers afterwards; MSG_GETDEFAULT still answers the default.
    SetCount(-1);
    ASSERT_EQ(EnableWithoutUi(), TWRC_SUCCESS);
    TW_SETUPFILEXFER own = {};
    std::snprintf(own.FileName, sizeof own.FileName, "%stalvenix-own.bmp", temp);
    own.Format = TWFF_BMP;
    DeleteFileA(own.FileName);
    ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &own), TWRC_SUCCESS);
    EXPECT_EQ(CurrentCap(ICAP_IMAGEFILEFORMAT), TWFF_BMP);
    ASSERT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr), TWRC_XFERDONE);
    TW_UINT16 count = 0;
    ASSERT_EQ(EndXfer(count), TWRC_SUCCESS);
    TW_SETUPFILEXFER asked = {};
    ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_GET, &asked), TWRC_SUCCESS);
    EXPECT_STREQ(asked.FileName, own.FileName);
    EXPECT_EQ(asked.Format, TWFF_BMP);
    EXPECT_EQ(ReadFileText(own.FileName).substr(0, 2), "BM");
    ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_GETDEFAULT, &byDefault), TWRC_SUCCESS);
    EXPECT_EQ(defaultName, byDefault.FileName);
    EXPECT_EQ(byDefault.Format, TWFF_TIFF);

    // A format the source cannot write, on either side of the ones it can,
    // is refused; nothing is created and nothing changes.
    for (const TW_UINT16 format : {TWFF_PICT, TWFF_XBM, TWFF_FPX, TWFF_SPIFF}) {
        SCOPED_TRACE(format);
        TW_SETUPFILEXFER other = own;
        std::snprintf(other.FileName, sizeof other.FileName, "%stalvenix-own.%u", temp, static_cast<unsigned>(format));
        other.Format = format;
        DeleteFileA(other.FileName);
        EXPECT_EQ(ds_.Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &other), TWRC_FAILURE);
        EXPECT_EQ(ds_.Status(), TWCC_BADVALUE);
        EXPECT_FALSE(FileExists(other.FileName));
        DeleteFileA(other.FileName);
        ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_GET, &asked), TWRC_SUCCESS);
        EXPECT_STREQ(asked.FileName, own.FileName);
        EXPECT_EQ(asked.Format, TWFF_BMP);
    }

    // Bad names are refused.
    TW_SETUPFILEXFER set = {};
    std::strcpy(set.FileName, "C:\\no\\such\\folder\\image.tif");
    EXPECT_EQ(ds_.Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &set), TWRC_FAILURE);
    EXPECT_EQ(ds_.Status(), TWCC_BADVALUE);
    std::memset(set.FileName, 'a', sizeof set.FileName);  // no terminator
    EXPECT_EQ(ds_.Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &set), TWRC_FAILURE);
    EXPECT_EQ(ds_.Status(), TWCC_BADVALUE);
    EXPECT_EQ(ds_.Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_GETCURRENT, &set), TWRC_FAILURE);
    EXPECT_EQ(ds_.Status(), TWCC_BADPROTOCOL);

    TW_PENDINGXFERS pending = {};
    ds_.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending);
    TW_USERINTERFACE ui = {0, 0, nullptr};
    ds_.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui);
    // Once disabled, MSG_RESET makes the default current again, format
    // included.
    ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_RESET, &asked), TWRC_SUCCESS);
    EXPECT_EQ(defaultName, asked.FileName);
    EXPECT_EQ(asked.Format, TWFF_TIFF);
    EXPECT_EQ(CurrentCap(ICAP_IMAGEFILEFORMAT), TWFF_TIFF);

    // Closing removes the untouched default file, never the application's.
    Close();
    EXPECT_FALSE(FileExists(defaultName));
    EXPECT_TRUE(FileExists(own.FileName));
    DeleteFileA(own.FileName);

    // A set-up the source refuses leaves no file under the application's
    // name: in state 3, and for a format the negotiation excluded.
    TW_SETUPFILEXFER excluded = {};
    std::snprintf(excluded.FileName, sizeof excluded.FileName, "%stalvenix-excluded.tif", temp);
    excluded.Format = TWFF_TIFF;
    DeleteFileA(excluded.FileName);
    EXPECT_EQ(ds_.Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &excluded), TWRC_FAILURE) << "state 3";
    EXPECT_FALSE(FileExists(excluded.FileName)) << "state 3";
    Open();
    TW_CAPABILITY bmpOnly = {ICAP_IMAGEFILEFORMAT, TWON_ENUMERATION,
                             GlobalBlock(EnumerationBytes(TWTY_UINT16, 2, {TWFF_BMP}, 0, 0))};
    ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &bmpOnly), TWRC_SUCCESS);
    GlobalFree(bmpOnly.hContainer);
    EXPECT_EQ(ds_.Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &excluded), TWRC_FAILURE);
    EXPECT_EQ(ds_.Status(), TWCC_BADVALUE);
    EXPECT_FALSE(FileExists(excluded.FileName));
    DeleteFileA(excluded.FileName);
    Close();

    // A default file that took an image stays for the application to read.
    Open();
    SetCount(-1);
    ASSERT_EQ(EnableWithoutUi(), TWRC_SUCCESS);
    ASSERT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr), TWRC_XFERDONE);
    ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_GET, &asked), TWRC_SUCCESS);
    ASSERT_EQ(EndXfer(count), TWRC_SUCCESS);
    ds_.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending);
    ds_.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui);
    Close();
    EXPECT_GT(ReadFileText(asked.FileName).size(), 442368u);
    DeleteFileA(asked.FileName);
}

// With the 2.x manager in the process the notices go to it.
TEST_F(Source, NoticesGoToTheTwoPointManagerWhenItIsLoaded)
{
    const StandInManager manager;
    const auto notices = manager.Find<StandInNoticesProc>("StandInNotices");
    ASSERT_NE(notices, nullptr);
    Open();
    ASSERT_EQ(EnableWithoutUi(), TWRC_SUCCESS);
    StandInNotice seen[4] = {};
    ASSERT_EQ(notices(seen, 4), 1);
    EXPECT_EQ(seen[0].DG, DG_CONTROL);
    EXPECT_EQ(seen[0].DAT, DAT_NULL);
    EXPECT_EQ(seen[0].MSG, MSG_XFERREADY);
    EXPECT_EQ(seen[0].OriginId, identity_.Id) << "the source, with the id the manager assigned";
    EXPECT_STREQ(seen[0].OriginName, "Talvenix Matrox Orion driver");
    EXPECT_EQ(seen[0].DestinationId, ds_.App.Id);
    EXPECT_STREQ(seen[0].DestinationName, ds_.App.ProductName);
    Close();
}

// Automatic capture in the application's process (the table in
// tests/rig/automatic_capture.cpp): the first image is announced from this
// thread's message loop.
TEST_F(Source, AutomaticCaptureKeepsItsScheduleWhileTheApplicationCollectsLate)
{
    const StandInManager manager;
    const auto notices = manager.Find<StandInNoticesProc>("StandInNotices");
    ASSERT_NE(notices, nullptr);
    const CaptureApplication application = {
        [this](TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, void* data) { return ds_.Call(dg, dat, msg, data); },
        [this] { return ds_.Call(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &identity_) == TWRC_SUCCESS; },
        [this] { ds_.Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &identity_); },
        [notices] { return notices(nullptr, 0); }};
    RunAutomaticCaptureTable(application);
}

// A TWAIN 2 application whose manager gave its entry points (under a file
// name of its own): every handle handed over comes from the manager's
// allocator, the notices go through its entry, and the answers are TWAIN
// 2's. A 1.x application opening afterwards gets none of that.
TEST_F(Source, TwainTwoApplicationGetsTheManagersHandlesAndNotices)
{
    const StandInManager manager("talvenix-renamed-dsm.dll");
    const auto notices = manager.Find<StandInNoticesProc>("StandInNotices");
    ASSERT_NE(notices, nullptr);
    TW_ENTRYPOINT entry = manager.EntryPoint();
    ds_.App.SupportedGroups |= DF_APP2;
    ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_ENTRYPOINT, MSG_SET, &entry), TWRC_SUCCESS);
    Open();
    struct Asked {
        TW_UINT16 cap;
        TW_UINT16 msg;
        TW_UINT16 conType;
    };
    const Asked asked[] = {{CAP_XFERCOUNT, MSG_GET, TWON_ONEVALUE},       {CAP_FEEDERENABLED, MSG_GET, TWON_ENUMERATION},
                           {CAP_SUPPORTEDDATS, MSG_GET, TWON_ARRAY},      {ICAP_PIXELTYPE, MSG_RESET, TWON_ONEVALUE},
                           {CAP_XFERCOUNT, MSG_QUERYSUPPORT, TWON_ONEVALUE}, {0x8002, MSG_GET, TWON_ENUMERATION},
                           {ICAP_JPEGQUALITY, MSG_GET, TWON_RANGE}};
    for (const Asked& one : asked) {
        SCOPED_TRACE(testing::Message() << "cap 0x" << std::hex << one.cap << " msg 0x" << one.msg);
        TW_CAPABILITY cap = {one.cap, 0, nullptr};
        ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_CAPABILITY, one.msg, &cap), TWRC_SUCCESS);
        EXPECT_EQ(cap.ConType, one.conType);
        EXPECT_TRUE(manager.Owns(cap.hContainer)) << "a block of the manager's";
        if (one.cap == CAP_XFERCOUNT && one.msg == MSG_GET) {
            EXPECT_EQ(ReadOneValueBlock(cap.hContainer).Item & 0xFFFF, 0xFFFFu) << "TWAIN's default: any number";
        }
        if (one.cap == CAP_SUPPORTEDDATS) {
            const std::vector<uint32_t> pairs = ReadArrayBlock(cap.hContainer, 4).Items;
            for (uint32_t pair : {0x00010001u, 0x00010003u, 0x00010403u, 0x00020104u, 0x0002010Bu}) {
                EXPECT_NE(std::find(pairs.begin(), pairs.end(), pair), pairs.end()) << std::hex << pair;
            }
            EXPECT_EQ(std::find(pairs.begin(), pairs.end(), 0x00010004u), pairs.end()) << "DAT_PARENT is the manager's";
        }
        entry.DSM_MemFree(cap.hContainer);  // as the application frees it
    }
    // Frames in inches, TWAIN's power-on unit, at the image's 300 dpi.
    TW_IMAGELAYOUT layout = {};
    ASSERT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, &layout), TWRC_SUCCESS);
    EXPECT_NEAR(layout.Frame.Right.Whole + layout.Frame.Right.Frac / 65536.0, 768 / 300.0, 1e-4);
    layout.Frame = {{1, 0}, {0, 0x8000}, {2, 0}, {1, 0x8000}};  // 1 to 2 inches across, 0.5 to 1.5 down
    ASSERT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_SET, &layout), TWRC_SUCCESS);
    TW_IMAGEINFO info = {};
    ASSERT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TWRC_SUCCESS);
    EXPECT_EQ(info.ImageWidth, 300);
    EXPECT_EQ(info.ImageLength, 300);
    TW_CUSTOMDSDATA setup = {};
    ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_CUSTOMDSDATA, MSG_GET, &setup), TWRC_SUCCESS);
    EXPECT_TRUE(manager.Owns(setup.hData));
    entry.DSM_MemFree(setup.hData);
    const int before = notices(nullptr, 0);
    SetCount(1);
    ASSERT_EQ(EnableWithoutUi(), TWRC_SUCCESS);
    StandInNotice seen[64] = {};
    ASSERT_EQ(notices(seen, 64), before + 1) << "MSG_XFERREADY through the manager's entry";
    EXPECT_EQ(seen[before].MSG, MSG_XFERREADY);
    TW_HANDLE bitmap = nullptr;
    ASSERT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &bitmap), TWRC_XFERDONE);
    EXPECT_TRUE(manager.Owns(bitmap));
    entry.DSM_MemFree(bitmap);
    TW_UINT16 count = 0;
    EXPECT_EQ(EndXfer(count), TWRC_SUCCESS);
    TW_USERINTERFACE ui = {0, 0, nullptr};
    ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_SUCCESS);
    Close();

    ds_.App = TestAppIdentity();
    Open();
    TW_CAPABILITY cap = {CAP_XFERCOUNT, 0, nullptr};
    ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_CAPABILITY, MSG_GET, &cap), TWRC_SUCCESS);
    EXPECT_FALSE(manager.Owns(cap.hContainer));
    EXPECT_EQ(ReadOneValueBlock(cap.hContainer).Item, 0u) << "the 1.x default";
    GlobalFree(cap.hContainer);
    cap = {CAP_SUPPORTEDDATS, 0, nullptr};
    EXPECT_EQ(ds_.Call(DG_CONTROL, DAT_CAPABILITY, MSG_GET, &cap), TWRC_FAILURE);
    EXPECT_EQ(ds_.Status(), TWCC_CAPUNSUPPORTED);
    const int after = notices(nullptr, 0);
    ASSERT_EQ(EnableWithoutUi(), TWRC_SUCCESS);
    EXPECT_EQ(notices(nullptr, 0), after) << "the last session's manager entry is forgotten";
    Close();
}

HANDLE CallbackReady = nullptr;

void __stdcall WakeApplication(const StandInNotice* notice)
{
    if (notice->MSG == MSG_XFERREADY) {
        SetEvent(CallbackReady);
    }
}

// An application that registered a callback with its 2.x manager and never
// runs a message loop: its thread waits for the callback alone.
TEST_F(Source, TwainTwoCallbackApplicationNeverPumpingGetsItsNotice)
{
    const StandInManager manager("talvenix-callback-dsm.dll");
    const auto onNotice = manager.Find<StandInOnNoticeProc>("StandInOnNotice");
    ASSERT_NE(onNotice, nullptr);
    onNotice(WakeApplication);
    TW_ENTRYPOINT entry = manager.EntryPoint();
    ds_.App.SupportedGroups |= DF_APP2;
    // An image grabbed at the transfer, and two captured on the source's
    // own clock (their notice comes from the source's clock, not from the
    // enabling).
    for (const uint32_t automatic : {0u, 2u}) {
        SCOPED_TRACE(automatic != 0 ? "automatic capture" : "one image");
        CallbackReady = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        bool woken = false;
        int transferred = 0;
        {
            const Watchdog watchdog(60, "the callback application never heard of its transfer");
            std::thread application([&] {
                ds_.Call(DG_CONTROL, DAT_ENTRYPOINT, MSG_SET, &entry);
                Open();
                SetCount(1);
                for (const auto& [cap, type, item] : {std::tuple<TW_UINT16, TW_UINT16, uint32_t>{CAP_MAXBATCHBUFFERS, TWTY_UINT32, 2},
                                                      {CAP_AUTOMATICCAPTURE, TWTY_INT32, automatic}}) {
                    TW_CAPABILITY capture = {cap, TWON_ONEVALUE, GlobalBlock(OneValueBytes(type, item))};
                    ds_.Call(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &capture);
                    GlobalFree(capture.hContainer);
                }
                EnableWithoutUi();
                woken = WaitForSingleObject(CallbackReady, 30000) == WAIT_OBJECT_0;
                TW_UINT16 count = woken ? 1 : 0;
                while (count != 0) {
                    TW_HANDLE bitmap = nullptr;
                    transferred += ds_.Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &bitmap) == TWRC_XFERDONE;
                    GlobalFree(bitmap);
                    if (EndXfer(count) != TWRC_SUCCESS) {
                        break;
                    }
                }
                TW_USERINTERFACE ui = {0, 0, nullptr};
                ds_.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui);
                Close();
            });
            application.join();
        }
        CloseHandle(CallbackReady);
        EXPECT_TRUE(woken);
        EXPECT_EQ(transferred, automatic != 0 ? 2 : 1);
    }
    onNotice(nullptr);
}

TEST_F(Source, FileTransferReplacesTheFileAndNeverReportsALostImage)
{
    Open();
    SetCount(-1);
    ASSERT_EQ(EnableWithoutUi(), TWRC_SUCCESS);
    TW_SETUPFILEXFER setup = {};
    ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_GET, &setup), TWRC_SUCCESS);
    ASSERT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr), TWRC_XFERDONE);
    const std::string image = ReadFileText(setup.FileName);
    EXPECT_GT(image.size(), 442368u);
    EXPECT_EQ(image.substr(0, 4), std::string("II*\0", 4)) << "a TIFF";
    EXPECT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr), TWRC_FAILURE);
    EXPECT_EQ(ds_.Status(), TWCC_SEQERROR) << "a second transfer in state 7";
    TW_UINT16 count = 0;
    ASSERT_EQ(EndXfer(count), TWRC_SUCCESS);

    // The library writes nothing: a failure, the state stays 6.
    SetEnvironmentVariableA("ORIONSIM_FAIL", "MbufSave");
    Close();
    Open();
    SetCount(-1);
    ASSERT_EQ(EnableWithoutUi(), TWRC_SUCCESS);
    TW_SETUPFILEXFER named = {};
    char temp[MAX_PATH] = "";
    GetTempPathA(sizeof temp, temp);
    std::snprintf(named.FileName, sizeof named.FileName, "%stalvenix-%% file.tif", temp);
    ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &named), TWRC_SUCCESS);
    EXPECT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr), TWRC_FAILURE);
    EXPECT_EQ(ds_.Status(), TWCC_OPERATIONERROR);
    SetEnvironmentVariableA("ORIONSIM_FAIL", nullptr);
    Close();
    Open();
    SetCount(-1);
    ASSERT_EQ(EnableWithoutUi(), TWRC_SUCCESS);
    // A name that is a folder cannot take an image.
    TW_SETUPFILEXFER folder = {};
    std::snprintf(folder.FileName, sizeof folder.FileName, "%stalvenix-folder", temp);
    CreateDirectoryA(folder.FileName, nullptr);
    ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &folder), TWRC_SUCCESS) << "it exists";
    EXPECT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr), TWRC_FAILURE);
    EXPECT_EQ(ds_.Status(), TWCC_OPERATIONERROR);
    RemoveDirectoryA(folder.FileName);
    // A proper name then takes the image: state 6 was kept.
    ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &named), TWRC_SUCCESS);
    EXPECT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr), TWRC_XFERDONE);
    EXPECT_GT(ReadFileText(named.FileName).size(), 442368u);
    DeleteFileA(named.FileName);
    DeleteFileA(setup.FileName);
}

TEST_F(Source, FileLogOfAnOpenAndClose)
{
    DeleteSourceLog();
    SetDumpMode(42);
    ds_.Reload();
    Open();
    Close();
    const std::string log = ReadFileText(SourceLogPath());
    const size_t open = log.find("Dispatching DG_CONTROL / DAT_3 / MSG_401 \r\n");
    const size_t version = log.find("Twain_32.ds Version: 1, 1, 0, 0 \r\n");
    const size_t board = log.find("Board: Orion, Revision 1 \r\n");
    const size_t close = log.find("Dispatching DG_CONTROL / DAT_3 / MSG_402 \r\n");
    EXPECT_NE(open, std::string::npos) << log;
    EXPECT_NE(version, std::string::npos) << log;
    EXPECT_NE(board, std::string::npos) << log;
    EXPECT_NE(close, std::string::npos) << log;
    EXPECT_LT(open, version);
    EXPECT_LT(version, board);
    EXPECT_LT(board, close);
    // A second run appends to the same file.
    Open();
    Close();
    const std::string again = ReadFileText(SourceLogPath());
    EXPECT_EQ(again.substr(0, log.size()), log);
    EXPECT_GT(again.size(), log.size());
}

TEST_F(Source, ImageInfoAndLayout)
{
    Open("M_PAL");
    TW_IMAGEINFO info;
    std::memset(&info, 0xCC, sizeof info);
    ASSERT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TWRC_SUCCESS);
    EXPECT_EQ(info.ImageWidth, 768);
    EXPECT_EQ(info.ImageLength, 576);
    EXPECT_EQ(info.SamplesPerPixel, 3);
    const TW_INT16 bits[8] = {8, 8, 8, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(info.BitsPerSample, bits, sizeof bits), 0);
    EXPECT_EQ(info.BitsPerPixel, 24);
    EXPECT_EQ(info.Planar, 0);
    EXPECT_EQ(info.PixelType, TWPT_RGB);
    EXPECT_EQ(info.Compression, TWCP_NONE);
    EXPECT_EQ(info.XResolution.Whole, 300);
    EXPECT_EQ(info.YResolution.Frac, 0);
    // The application's choice of grey is the image it gets: one sample.
    SetPixelType(TWPT_GRAY);
    ASSERT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TWRC_SUCCESS);
    EXPECT_EQ(info.PixelType, TWPT_GRAY);
    EXPECT_EQ(info.SamplesPerPixel, 1);
    EXPECT_EQ(info.BitsPerPixel, 8);
    EXPECT_EQ(info.BitsPerSample[1], 0);
    std::memset(&info, 0xCC, sizeof info);
    EXPECT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGEINFO, MSG_GETCURRENT, &info), TWRC_FAILURE);
    EXPECT_EQ(ds_.Status(), TWCC_BADPROTOCOL);
    EXPECT_EQ(info.ImageWidth, static_cast<TW_INT32>(0xCCCCCCCC)) << "block untouched";

    TW_IMAGELAYOUT layout = {};
    ASSERT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, &layout), TWRC_SUCCESS);
    EXPECT_EQ(layout.Frame.Left.Whole, 0);
    EXPECT_EQ(layout.Frame.Right.Whole, 768);
    EXPECT_EQ(layout.Frame.Bottom.Whole, 576);
    EXPECT_EQ(layout.Frame.Bottom.Frac, 0);
    EXPECT_EQ(layout.DocumentNumber, 1u);
    EXPECT_EQ(layout.PageNumber, 1u);
    EXPECT_EQ(layout.FrameNumber, 1u);
    EXPECT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_GETCURRENT, &layout), TWRC_FAILURE);
    EXPECT_EQ(ds_.Status(), TWCC_BADPROTOCOL);
}

// A region of interest: a frame in pixels, rounded and clipped to the
// digitizer's frame, is what DAT_IMAGEINFO announces and what every
// transfer delivers, pixel for pixel the same rectangle of the pattern. An
// empty or outside frame is refused and leaves the region as it was.
TEST_F(Source, RegionIsWhatEveryTransferDelivers)
{
    auto fix = [](double value) {
        const auto whole = static_cast<int32_t>(value >= 0 ? value : value - 0.99999);
        return TW_FIX32{static_cast<TW_INT16>(whole), static_cast<TW_UINT16>((value - whole) * 65536)};
    };
    struct Row {
        const char* what;
        double left, top, right, bottom;
        TW_UINT16 rc;
        uint32_t x, y, width, height;  // the region taken
    };
    const Row rows[] = {
        {"inside", 10, 20, 110, 220, TWRC_SUCCESS, 10, 20, 100, 200},
        {"on the edge", 667, 475, 768, 576, TWRC_SUCCESS, 667, 475, 101, 101},
        {"fractions", 10.25, 20.5, 109.5, 219.75, TWRC_CHECKSTATUS, 10, 21, 100, 199},
        {"clipped", -16, 500, 800, 700, TWRC_CHECKSTATUS, 0, 500, 768, 76},
        {"empty", 100, 100, 100, 200, TWRC_FAILURE, 0, 500, 768, 76},
        {"outside", 768, 0, 900, 100, TWRC_FAILURE, 0, 500, 768, 76},
        {"outside above", 5, -40, 50, -1, TWRC_FAILURE, 0, 500, 768, 76},
    };
    const struct {
        const char* digFormat;
        const char* bufferFormat;
        uint32_t samples;
    } boards[] = {{"M_CCIR", nullptr, 1}, {"M_PAL", "M_BGR32", 3}};
    for (const auto& board : boards) {
        SetEnvironmentVariableA("ORIONSIM_BUFFER_FORMAT", board.bufferFormat);
        ResetSourceRegistry();
        Open(board.digFormat);
        for (const Row& row : rows) {
            SCOPED_TRACE(std::string(board.digFormat) + ", " + row.what);
            TW_IMAGELAYOUT layout = {{fix(row.left), fix(row.top), fix(row.right), fix(row.bottom)}, 0, 0, 0};
            ASSERT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_SET, &layout), row.rc);
            EXPECT_EQ(ds_.Status(), row.rc == TWRC_FAILURE ? TWCC_BADVALUE : TWCC_SUCCESS);
            TW_IMAGELAYOUT got = {};
            ASSERT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, &got), TWRC_SUCCESS);
            const TW_FRAME expected = {{static_cast<TW_INT16>(row.x), 0}, {static_cast<TW_INT16>(row.y), 0},
                                       {static_cast<TW_INT16>(row.x + row.width), 0},
                                       {static_cast<TW_INT16>(row.y + row.height), 0}};
            EXPECT_EQ(std::memcmp(&got.Frame, &expected, sizeof expected), 0)
                << "got " << got.Frame.Left.Whole << "," << got.Frame.Top.Whole << " to " << got.Frame.Right.Whole
                << "," << got.Frame.Bottom.Whole;
            if (row.rc == TWRC_FAILURE) {
                continue;
            }
            TW_IMAGEINFO info = {};
            ASSERT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TWRC_SUCCESS);
            EXPECT_EQ(info.ImageWidth, static_cast<TW_INT32>(row.width));
            EXPECT_EQ(info.ImageLength, static_cast<TW_INT32>(row.height));
            // One a mechanism and file format, then state 5; the first row
            // writes a PNG and a JPEG as well, read back outside Wine.
            const bool compressed = &row == &rows[0];
            SetCount(compressed ? 7 : 5);
            ASSERT_EQ(EnableWithoutUi(), TWRC_SUCCESS);
            std::vector<DecodedImage> images;
            images.push_back(NativeImage(info));
            TW_UINT16 count = 0;
            ASSERT_EQ(EndXfer(count), TWRC_SUCCESS);
            // Strips of seven rows, each where the last one ended.
            DecodedImage strips;
            strips.Width = row.width;
            strips.Samples = board.samples;
            std::vector<uint8_t> buffer(7 * row.width * board.samples);
            TW_IMAGEMEMXFER xfer = {};
            TW_UINT16 rc = TWRC_SUCCESS;
            while (rc == TWRC_SUCCESS) {
                rc = MemoryStrip(buffer, xfer);
                ASSERT_NE(rc, TWRC_FAILURE) << "after " << strips.Height << " rows";
                EXPECT_EQ(xfer.YOffset, strips.Height);
                EXPECT_EQ(xfer.Columns, row.width);
                strips.Pixels.insert(strips.Pixels.end(), buffer.begin(), buffer.begin() + xfer.BytesWritten);
                strips.Height += xfer.Rows;
            }
            images.push_back(strips);
            ASSERT_EQ(EndXfer(count), TWRC_SUCCESS);
            // The multi-page file last: its page lands when the transfers end.
            for (const TW_UINT16 format : {TWFF_PNG, TWFF_JFIF}) {
                if (!compressed) {
                    break;
                }
                TW_SETUPFILEXFER setup = {};
                std::snprintf(setup.FileName, sizeof setup.FileName, "%s\\transfer_region_%s.%s",
                              ExeDirectory().c_str(), board.samples == 3 ? "rgb" : "grey",
                              format == TWFF_PNG ? "png" : "jpg");
                setup.Format = format;
                ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup), TWRC_SUCCESS);
                ASSERT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr), TWRC_XFERDONE);
                ASSERT_EQ(EndXfer(count), TWRC_SUCCESS);
            }
            for (const TW_UINT16 format : {TWFF_TIFF, TWFF_BMP, TWFF_TIFFMULTI}) {
                TW_SETUPFILEXFER setup = {};
                std::snprintf(setup.FileName, sizeof setup.FileName, "%s\\talvenix-region.img",
                              TempFolder().c_str());
                setup.Format = format;
                ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup), TWRC_SUCCESS);
                ASSERT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr), TWRC_XFERDONE);
                ASSERT_EQ(EndXfer(count), TWRC_SUCCESS);
                const std::string file = ReadFileText(setup.FileName);
                DeleteFileA(setup.FileName);
                DecodedImage image;
                std::string error;
                EXPECT_TRUE(DecodeFile(file, format, image, error)) << error;
                EXPECT_TRUE(format != TWFF_TIFFMULTI ||
                            TiffPageCount(reinterpret_cast<const uint8_t*>(file.data()), file.size()) == 1);
                images.push_back(image);
            }
            const char* const mechanisms[] = {"native", "memory", "TIFF file", "BMP file", "multi-page TIFF file"};
            for (size_t i = 0; i < images.size(); ++i) {
                SCOPED_TRACE(mechanisms[i]);
                DecodedImage& image = images[i];
                EXPECT_EQ(image.Width, row.width);
                EXPECT_EQ(image.Height, row.height);
                image.Left = row.x;
                image.Top = row.y;
                std::string error;
                EXPECT_TRUE(MatchesPattern(image, board.samples, error)) << error;
            }
            TW_USERINTERFACE ui = {0, 0, nullptr};
            ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_SUCCESS);
        }
        // The default and a reset are the whole frame; a fresh digitizer
        // (the next open, a format change) forgets the region.
        const TW_FRAME whole = {{0, 0}, {0, 0}, {768, 0}, {576, 0}};
        TW_IMAGELAYOUT layout = {};
        ASSERT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_GETDEFAULT, &layout), TWRC_SUCCESS);
        EXPECT_EQ(std::memcmp(&layout.Frame, &whole, sizeof whole), 0);
        Close();
        Open();
        ASSERT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, &layout), TWRC_SUCCESS);
        EXPECT_EQ(std::memcmp(&layout.Frame, &whole, sizeof whole), 0) << "after the next open";
        layout.Frame = {{1, 0}, {2, 0}, {3, 0}, {4, 0}};
        ASSERT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_SET, &layout), TWRC_SUCCESS);
        ASSERT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_RESET, &layout), TWRC_SUCCESS);
        EXPECT_EQ(std::memcmp(&layout.Frame, &whole, sizeof whole), 0);
        ASSERT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, &layout), TWRC_SUCCESS);
        EXPECT_EQ(std::memcmp(&layout.Frame, &whole, sizeof whole), 0) << "after MSG_RESET";
        Close();
    }
    TW_IMAGELAYOUT layout = {};
    Open();
    EXPECT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_SET, nullptr), TWRC_FAILURE);
    EXPECT_EQ(ds_.Status(), TWCC_BADVALUE);
    EXPECT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_GETCURRENT, &layout), TWRC_FAILURE);
    EXPECT_EQ(ds_.Status(), TWCC_BADPROTOCOL);
}

// The user's setup as a block: each damaged block is refused with nothing
// changed; a block with everything changed is restored whole, and so is
// the one saved first.
TEST_F(Source, SetupBlocksRestoreEverythingOrNothing)
{
    SetEnvironmentVariableA("ORIONSIM_BUFFER_FORMAT", "M_BGR32");
    SetEnvironmentVariableA("ORIONSIM_REJECT_FORMATS", "M_NTSC");
    Open("M_PAL");
    auto save = [&] { return SaveSetup(); };
    auto restore = [&](const std::vector<uint8_t>& bytes, TW_UINT32 infoLength) { return RestoreSetup(bytes, infoLength); };
    const std::vector<uint8_t> first = save();
    ASSERT_EQ(first.size(), SetupBlockBytes);
    SetupRecord saved;
    ASSERT_TRUE(ReadSetupBlock(first.data(), first.size(), saved));
    EXPECT_STREQ(saved.Format, "M_PAL");
    EXPECT_EQ(saved.PixelType, TWPT_RGB);
    EXPECT_EQ(saved.FrameWidth, 768u);

    const SetupRecord changed = ChangedSetup(saved, "M_PAL_YC", 768, 576);
    std::vector<uint8_t> other = SetupBytes(changed);

    auto damaged = [&](auto change) {
        SetupRecord record = changed;
        change(record);
        return SetupBytes(record);
    };
    auto withChecksum = [](std::vector<uint8_t> bytes, size_t at, uint8_t value) {
        bytes[at] = value;
        PutU32(&bytes[bytes.size() - 4], SetupChecksum(bytes.data(), bytes.size() - 4));
        return bytes;
    };
    const auto whole = static_cast<TW_UINT32>(SetupBlockBytes);
    std::vector<uint8_t> longer = other;
    longer.push_back(0);
    std::vector<uint8_t> flipped = other;
    flipped[50] ^= 0x10;
    const struct {
        const char* what;
        std::vector<uint8_t> bytes;
        TW_UINT32 infoLength;
    } rows[] = {
        {"no block", {}, whole},
        {"a byte short", other, whole - 1},
        {"a byte longer", longer, whole + 1},
        {"longer than its block", other, whole + 100},
        {"another tag", withChecksum(other, 0, 'X'), whole},
        {"version 2", withChecksum(other, 4, 2), whole},
        {"a changed byte", flipped, whole},
        {"an unknown format", damaged([](SetupRecord& r) { std::strcpy(r.Format, "M_SECAM"); }), whole},
        {"two channels", damaged([](SetupRecord& r) { r.Channel = 0x60000000; }), whole},
        {"brightness 256", damaged([](SetupRecord& r) { r.Brightness = 256; }), whole},
        {"a white reference of 300", damaged([](SetupRecord& r) { r.WhiteRef[2] = 300; }), whole},
        {"black and white", damaged([](SetupRecord& r) { r.PixelType = 0; }), whole},
        {"a region beyond its frame", damaged([](SetupRecord& r) { r.RegionLeft = 700; }), whole},
        {"a region without height", damaged([](SetupRecord& r) { r.RegionHeight = 0; }), whole},
        {"a region past the bottom of its frame", damaged([](SetupRecord& r) { r.RegionHeight = 561; }), whole},
        {"curves of another length", damaged([](SetupRecord& r) { r.LutBytes -= 2; }), whole},
    };
    const int allocations = TraceCount("MdigAlloc");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(restore(row.bytes, row.infoLength), TWRC_FAILURE);
        EXPECT_EQ(ds_.Status(), TWCC_BADVALUE);
        EXPECT_EQ(save(), first) << "nothing changed";
    }
    EXPECT_EQ(TraceCount("MdigAlloc"), allocations) << "no restart";

    // A sound block whose format this board refuses: no box, the format
    // that ran runs on with the session's region and pixel type, and
    // nothing else of the block is taken.
    const size_t boxes = watcher_.Seen().size();
    TW_IMAGELAYOUT region = {{{10, 0}, {20, 0}, {110, 0}, {220, 0}}, 0, 0, 0};
    ASSERT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_SET, &region), TWRC_SUCCESS);
    SetPixelType(TWPT_GRAY);
    const std::vector<uint8_t> session = save();
    EXPECT_EQ(restore(damaged([](SetupRecord& r) { std::strcpy(r.Format, "M_NTSC"); }), whole), TWRC_FAILURE);
    EXPECT_EQ(ds_.Status(), TWCC_BADVALUE);
    EXPECT_EQ(save(), session) << "the former format and setup run on";
    EXPECT_EQ(watcher_.Seen().size(), boxes) << "no box";

    // The application's own list of pixel types stands: a block with a type
    // the list leaves out is refused whole, one with a type it holds is
    // taken whole.
    const struct {
        uint32_t Only;
        uint16_t Type;
        TW_UINT16 Result;
    } constraints[] = {{TWPT_GRAY, TWPT_RGB, TWRC_FAILURE}, {TWPT_RGB, TWPT_GRAY, TWRC_FAILURE},
                       {TWPT_GRAY, TWPT_GRAY, TWRC_SUCCESS}};
    for (const auto& row : constraints) {
        SCOPED_TRACE(testing::Message() << "pixel types constrained to " << row.Only << ", block " << row.Type);
        ASSERT_EQ(restore(first, whole), TWRC_SUCCESS);
        ConstrainPixelType(row.Only);
        const std::vector<uint8_t> before = save();
        const std::vector<uint8_t> block = damaged([&row](SetupRecord& r) { r.PixelType = row.Type; });
        const int starts = TraceCount("MdigAlloc");
        EXPECT_EQ(restore(block, whole), row.Result);
        if (row.Result == TWRC_FAILURE) {
            EXPECT_EQ(ds_.Status(), TWCC_BADVALUE);
            EXPECT_EQ(save(), before) << "nothing changed";
            EXPECT_EQ(TraceCount("MdigAlloc"), starts) << "refused before the board was touched";
        } else {
            EXPECT_EQ(save(), block) << "the whole block";
        }
        TW_CAPABILITY reset = {ICAP_PIXELTYPE, 0, nullptr};
        ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_CAPABILITY, MSG_RESET, &reset), TWRC_SUCCESS);
        GlobalFree(reset.hContainer);
    }
    ASSERT_EQ(restore(first, whole), TWRC_SUCCESS);

    const int restarted = TraceCount("MdigAlloc");
    ASSERT_EQ(restore(other, static_cast<TW_UINT32>(other.size())), TWRC_SUCCESS) << ds_.Status();
    EXPECT_EQ(TraceCount("MdigAlloc"), restarted + 1) << "the format restarted the digitizer";
    EXPECT_EQ(save(), other) << "everything restored";
    TW_IMAGEINFO info = {};
    ASSERT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TWRC_SUCCESS);
    EXPECT_EQ(info.ImageWidth, 100);
    EXPECT_EQ(info.ImageLength, 50);
    EXPECT_EQ(info.PixelType, TWPT_GRAY);
    // A region set in another frame (a board that ran the format smaller)
    // does not describe this one: the whole frame comes.
    const std::vector<uint8_t> smaller = damaged([](SetupRecord& r) {
        r.FrameWidth = 640;
        r.FrameHeight = 480;
    });
    ASSERT_EQ(restore(smaller, whole), TWRC_SUCCESS) << ds_.Status();
    ASSERT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TWRC_SUCCESS);
    EXPECT_EQ(info.ImageWidth, 768);
    EXPECT_EQ(info.ImageLength, 576);
    ASSERT_EQ(restore(first, static_cast<TW_UINT32>(first.size())), TWRC_SUCCESS) << ds_.Status();
    EXPECT_EQ(save(), first) << "the first setup back";

    // Restored only before the source is enabled.
    ASSERT_EQ(EnableWithoutUi(), TWRC_SUCCESS);
    EXPECT_EQ(restore(other, static_cast<TW_UINT32>(other.size())), TWRC_FAILURE);
    EXPECT_EQ(ds_.Status(), TWCC_SEQERROR);
    EXPECT_EQ(save(), first);
}

// Runs `call` on a thread started for it.
TW_UINT16 OnThreadOfItsOwn(const std::function<TW_UINT16()>& call)
{
    TW_UINT16 rc = TWRC_FAILURE;
    std::thread([&] { rc = call(); }).join();
    return rc;
}

// Every allocation the module makes while opening, and while enabling with
// its dialog, refused in turn as a system out of memory refuses one: each
// answer is a failure with its condition and nothing changed, or a session
// that works; a normal open or enable follows.
TEST_F(Source, EachRefusedAllocationFailsCleanlyOrIsNotNeeded)
{
    Open();  // the registry defaults are written once, with their box
    Close();
    RefusedAllocation allocations(ds_.Handle());
    Open();
    const long opening = allocations.Count();
    Close();
    int refused = 0;
    for (long n = 1; n <= opening; ++n) {
        SCOPED_TRACE("allocation " + std::to_string(n) + " of " + std::to_string(opening) + " of MSG_OPENDS refused");
        allocations.Refuse(n);
        const TW_UINT16 rc = ds_.Call(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &identity_);
        allocations.Refuse(0);
        if (rc == TWRC_SUCCESS) {
            open_ = true;
            ExpectWorkingSession();
            Close();
        } else {
            ++refused;
            EXPECT_EQ(rc, TWRC_FAILURE);
            const TW_UINT16 condition = ds_.Status();
            EXPECT_NE(condition, TWCC_SUCCESS);
            if (n == 1) {
                EXPECT_EQ(condition, TWCC_LOWMEMORY) << "the first capability default";
            }
            EXPECT_EQ(GetModuleHandleA("MIL.DLL"), nullptr) << "the board libraries are unloaded";
        }
        Open();  // still in state 3 and nobody connected
        Close();
    }
    // The capability defaults alone are 16 blocks.
    EXPECT_GE(refused, 16) << "of " << opening;
    std::printf("MSG_OPENDS: %d of its %ld allocations refused fail it\n", refused, opening);

    Open();
    TW_USERINTERFACE ui = {1, 0, nullptr};
    allocations.Refuse(0);
    ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui), TWRC_SUCCESS);
    const long enabling = allocations.Count();
    ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_SUCCESS);
    ASSERT_GE(enabling, 1) << "the dialog's state";
    for (long n = 1; n <= enabling; ++n) {
        SCOPED_TRACE("allocation " + std::to_string(n) + " of " + std::to_string(enabling) + " of MSG_ENABLEDS refused");
        allocations.Refuse(n);
        const TW_UINT16 rc = ds_.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui);
        allocations.Refuse(0);
        if (rc == TWRC_FAILURE) {
            EXPECT_NE(ds_.Status(), TWCC_SUCCESS);
            EXPECT_EQ(FindWindowA(nullptr, "Frame Grabber Settings"), nullptr) << "no dialog";
            EXPECT_EQ(ds_.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_FAILURE) << "still state 4";
            ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui), TWRC_SUCCESS);
        } else {
            EXPECT_EQ(rc, TWRC_SUCCESS);
        }
        EXPECT_TRUE(IsWindowVisible(FindWindowA(nullptr, "Frame Grabber Settings")));
        ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_SUCCESS);
    }
    std::printf("MSG_ENABLEDS with the dialog: %ld allocations\n", enabling);
    Close();

    // MSG_ENABLEDS starting automatic capture of two images: refused, it
    // stays in state 4 with nothing started; taken, both images come.
    Open();
    SetCount(-1);
    for (const auto& [cap, item] : {std::pair<TW_UINT16, uint32_t>{CAP_AUTOMATICCAPTURE, 2}, {CAP_MAXBATCHBUFFERS, 2}}) {
        TW_CAPABILITY set = {cap, TWON_ONEVALUE, GlobalBlock(OneValueBytes(cap == CAP_AUTOMATICCAPTURE ? TWTY_INT32 : TWTY_UINT32, item))};
        ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &set), TWRC_SUCCESS);
        GlobalFree(set.hContainer);
    }
    TW_USERINTERFACE hidden = {0, 0, nullptr};
    allocations.Refuse(0);
    ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &hidden), TWRC_SUCCESS);
    const long scheduling = allocations.Count();
    TW_PENDINGXFERS pending = {};
    ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &hidden), TWRC_SUCCESS);
    for (long n = 1; n <= scheduling; ++n) {
        SCOPED_TRACE("allocation " + std::to_string(n) + " of " + std::to_string(scheduling) +
                     " of MSG_ENABLEDS with automatic capture refused");
        allocations.Refuse(n);
        const TW_UINT16 rc = ds_.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &hidden);
        allocations.Refuse(0);
        if (rc == TWRC_FAILURE) {
            EXPECT_EQ(ds_.Status(), TWCC_LOWMEMORY);
            EXPECT_EQ(ds_.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &hidden), TWRC_FAILURE) << "still state 4";
            continue;
        }
        ASSERT_EQ(rc, TWRC_SUCCESS);
        for (int image = 0; image < 2; ++image) {
            // The notice comes through this thread's message loop; the
            // transfer waits for the image either way.
            TW_HANDLE bitmap = nullptr;
            EXPECT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &bitmap), TWRC_XFERDONE);
            GlobalFree(bitmap);
            EXPECT_EQ(ds_.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending), TWRC_SUCCESS);
        }
        EXPECT_EQ(pending.Count, 0);
        ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &hidden), TWRC_SUCCESS);
    }
    std::printf("MSG_ENABLEDS with automatic capture: %ld allocations\n", scheduling);
    Close();

    // MSG_SET (grey to RGB) and MSG_RESET (RGB to grey) of the pixel type on
    // a colour board, each allocation refused in turn: whatever the call
    // answers, the image information and the native image agree.
    allocations.Refuse(0);
    Open("M_PAL");
    for (const TW_UINT16 msg : {MSG_SET, MSG_RESET}) {
        const TW_UINT16 before = msg == MSG_SET ? TWPT_GRAY : TWPT_RGB;
        auto prepare = [&] {
            SetPixelType(before);
            TW_CAPABILITY cap = {ICAP_PIXELTYPE, TWON_ONEVALUE, nullptr};
            if (msg == MSG_SET) {
                cap.hContainer = GlobalBlock(OneValueBytes(TWTY_UINT16, TWPT_RGB));
            }
            return cap;
        };
        TW_CAPABILITY cap = prepare();
        allocations.Refuse(0);
        ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_CAPABILITY, msg, &cap), TWRC_SUCCESS);
        const long calls = allocations.Count();
        GlobalFree(cap.hContainer);
        int failed = 0;
        for (long run = 1; run <= 3; ++run) {
            for (long n = 1; n <= calls; ++n) {
                SCOPED_TRACE(testing::Message() << "allocations " << n << " to " << n + run - 1 << " of " << calls
                                                << " of pixel type " << (msg == MSG_SET ? "MSG_SET" : "MSG_RESET")
                                                << " refused");
                cap = prepare();
                allocations.Refuse(n, run);
                const TW_UINT16 rc = OnThreadOfItsOwn([&] { return ds_.Call(DG_CONTROL, DAT_CAPABILITY, msg, &cap); });
                allocations.Refuse(0);
                GlobalFree(cap.hContainer);
                const TW_UINT16 type = static_cast<TW_UINT16>(CurrentCap(ICAP_PIXELTYPE));
                if (rc == TWRC_FAILURE) {
                    ++failed;
                    EXPECT_EQ(ds_.Status(), TWCC_LOWMEMORY);
                    EXPECT_EQ(type, before) << "nothing changed";
                }
                TW_IMAGEINFO info = {};
                ASSERT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TWRC_SUCCESS);
                EXPECT_EQ(info.PixelType, type);
                EXPECT_EQ(CurrentCap(ICAP_BITDEPTH), static_cast<uint32_t>(info.BitsPerPixel));
                ASSERT_EQ(EnableWithoutUi(), TWRC_SUCCESS);
                ExpectPattern(NativeImage(info), 3, info);
                TW_UINT16 count = 0;
                EXPECT_EQ(EndXfer(count), TWRC_SUCCESS);
                TW_USERINTERFACE off = {0, 0, nullptr};
                ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &off), TWRC_SUCCESS);
            }
        }
        std::printf("ICAP_PIXELTYPE %s: %d of %ld runs of 1 to 3 refused allocations fail it\n",
                    msg == MSG_SET ? "MSG_SET" : "MSG_RESET", failed, 3 * calls);
    }

    // A setup restored with everything changed (a format of another frame
    // among it) and a format set by its capability, with runs of one, two
    // and three allocations refused from each one on, as a system out of
    // memory refuses them: the call fails for memory with the whole setup
    // as it was, or the whole change is in force (the format set by its
    // capability brings the board's own pixel type). Each call comes from a
    // thread of its own: the first exception on a thread needs memory.
    SetPixelType(TWPT_GRAY);
    const std::vector<uint8_t> first = SaveSetup();
    SetupRecord record;
    ASSERT_TRUE(ReadSetupBlock(first.data(), first.size(), record));
    // Grey, as before: the colour format's start-up selects RGB on the way.
    SetupRecord changed = ChangedSetup(record, "M_NTSC_YC", 640, 480);
    changed.PixelType = TWPT_GRAY;
    const std::vector<uint8_t> block = SetupBytes(changed);
    std::vector<uint8_t> formatName(2 + sizeof(TW_STR32), 0);
    formatName[0] = TWTY_STR32;
    std::memcpy(&formatName[2], "M_NTSC_RGB", 10);
    const struct {
        const char* What;
        std::function<TW_UINT16()> Call;
        std::function<bool()> InForce;
    } changes[] = {
        {"DAT_CUSTOMDSDATA / MSG_SET", [&] { return OnThreadOfItsOwn([&] { return RestoreSetup(block); }); },
         [&] { return SaveSetup() == block; }},
        {"the video format's MSG_SET",
         [&] {
             TW_CAPABILITY cap = {0x8002, TWON_ONEVALUE, GlobalBlock(formatName)};
             const TW_UINT16 rc =
                 OnThreadOfItsOwn([&] { return ds_.Call(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &cap); });
             GlobalFree(cap.hContainer);
             return rc;
         },
         [&] {
             SetupRecord now;
             const std::vector<uint8_t> bytes = SaveSetup();
             return ReadSetupBlock(bytes.data(), bytes.size(), now) && std::strcmp(now.Format, "M_NTSC_RGB") == 0 &&
                    now.FrameWidth == 640 && now.PixelType == TWPT_RGB;
         }},
    };
    for (const auto& change : changes) {
        allocations.Refuse(0);
        ASSERT_EQ(change.Call(), TWRC_SUCCESS) << change.What;
        const long calls = allocations.Count();
        ASSERT_EQ(RestoreSetup(first), TWRC_SUCCESS);
        for (long run = 1; run <= 3; ++run) {
            int failed = 0;
            for (long n = 1; n <= calls; ++n) {
                SCOPED_TRACE(testing::Message() << change.What << ", allocations " << n << " to " << n + run - 1
                                                << " of " << calls << " refused");
                allocations.Refuse(n, run);
                const TW_UINT16 rc = change.Call();
                allocations.Refuse(0);
                if (rc == TWRC_FAILURE) {
                    ++failed;
                    EXPECT_EQ(ds_.Status(), TWCC_LOWMEMORY);
                    EXPECT_EQ(SaveSetup(), first) << "nothing changed";
                } else {
                    EXPECT_EQ(rc, TWRC_SUCCESS);
                    EXPECT_TRUE(change.InForce()) << "the whole change";
                }
                ASSERT_EQ(RestoreSetup(first), TWRC_SUCCESS);
            }
            std::printf("%s: %d of its %ld allocations refused in runs of %ld fail it\n", change.What, failed,
                        calls, run);
        }
    }
}

// What one thread of a two-threaded application saw: images checked whole,
// clean failures, and what went wrong otherwise (GoogleTest is built here
// without thread support, so threads report to the test's thread).
struct ThreadReport {
    int Images = 0;
    int Failures = 0;
    std::string Faults;
};

// One image by native or memory transfer (strips of a few rows), checked
// whole against the pattern of the grey board; false after a failure.
bool TransferChecked(DsModule& ds, bool memory, ThreadReport& report)
{
    DecodedImage image;
    std::string error;
    if (!memory) {
        TW_HANDLE bitmap = nullptr;
        const TW_UINT16 rc = ds.Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &bitmap);
        if (rc != TWRC_XFERDONE) {
            report.Failures += rc == TWRC_FAILURE;
            report.Faults += rc == TWRC_FAILURE ? "" : "native answer " + std::to_string(rc) + "\n";
            return false;
        }
        const std::vector<uint8_t> dib = BlockBytes(bitmap);
        GlobalFree(bitmap);
        if (!DecodeDib(dib.data(), dib.size(), image, error)) {
            report.Faults += "native: " + error + "\n";
            return false;
        }
    } else {
        std::vector<uint8_t> strip(50000);
        for (TW_UINT16 rc = TWRC_SUCCESS; rc == TWRC_SUCCESS;) {
            TW_IMAGEMEMXFER xfer = {};
            xfer.Memory = {TWMF_APPOWNS | TWMF_POINTER, static_cast<TW_UINT32>(strip.size()), strip.data()};
            rc = ds.Call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &xfer);
            if (rc == TWRC_FAILURE) {
                ++report.Failures;
                return false;
            }
            if ((rc != TWRC_SUCCESS && rc != TWRC_XFERDONE) || xfer.YOffset != image.Height ||
                xfer.Columns == 0 || (image.Height != 0 && xfer.BytesPerRow != image.Width * image.Samples)) {
                report.Faults += "strip " + std::to_string(rc) + " at row " + std::to_string(xfer.YOffset) +
                                 " after " + std::to_string(image.Height) + " rows\n";
                return false;
            }
            image.Width = xfer.Columns;
            image.Samples = xfer.BytesPerRow / xfer.Columns;
            image.Pixels.insert(image.Pixels.end(), strip.begin(), strip.begin() + xfer.BytesWritten);
            image.Height += xfer.Rows;
        }
    }
    if (image.Height != 576 || !MatchesPattern(image, 1, error)) {
        report.Faults += std::string(memory ? "memory" : "native") + " image of " + std::to_string(image.Height) +
                         " rows: " + error + "\n";
        return false;
    }
    ++report.Images;
    return true;
}

TEST_F(Source, TwoThreadsGetWholeImagesOrCleanFailures)
{
    const Watchdog watchdog(120, "threads calling the source wait for each other");
    Open();
    SetCount(-1);
    // Transfers on one thread while another closes, opens and sets the
    // pixel type.
    std::atomic<bool> stop{false};
    ThreadReport transfers;
    std::thread transferring([&] {
        for (int i = 0; !stop; ++i) {
            TW_USERINTERFACE ui = {0, 0, nullptr};
            ds_.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui);
            if (TransferChecked(ds_, i % 2 == 1, transfers)) {
                TW_PENDINGXFERS pending = {};
                ds_.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending);
            }
        }
    });
    int sessions = 0;
    for (const DWORD end = GetTickCount() + 1500; GetTickCount() < end; ++sessions) {
        ds_.Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &identity_);
        ds_.Call(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &identity_);
        // The other thread may have enabled the source in between, which
        // ends negotiation: these may be refused.
        for (const auto& [cap, type, value] : {std::tuple<TW_UINT16, TW_UINT16, uint16_t>{CAP_XFERCOUNT, TWTY_INT16, 0xFFFF},
                                              {ICAP_PIXELTYPE, TWTY_UINT16, sessions % 2 == 0 ? TWPT_RGB : TWPT_GRAY}}) {
            TW_CAPABILITY set = {cap, TWON_ONEVALUE, GlobalBlock(OneValueBytes(type, value))};
            ds_.Call(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &set);
            GlobalFree(set.hContainer);
        }
        Sleep(sessions % 3);
    }
    stop = true;
    transferring.join();
    EXPECT_EQ(transfers.Faults, "");
    EXPECT_GT(transfers.Images, 0) << transfers.Failures << " failures, " << sessions << " sessions";
    std::printf("against open/close: %d images, %d failures, %d sessions\n", transfers.Images, transfers.Failures,
                sessions);

    // Two threads transferring at once, native and in strips.
    Close();
    Open();
    SetCount(-1);
    ASSERT_EQ(EnableWithoutUi(), TWRC_SUCCESS);
    ThreadReport reports[2];
    auto transfer = [&](ThreadReport& report, bool startWithMemory) {
        for (int i = 0; report.Images < 25 && report.Failures < 100000; ++i) {
            if (TransferChecked(ds_, (i % 2 == 0) == startWithMemory, report)) {
                TW_PENDINGXFERS pending = {};
                ds_.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending);
            }
        }
    };
    std::thread first(transfer, std::ref(reports[0]), true);
    std::thread second(transfer, std::ref(reports[1]), false);
    first.join();
    second.join();
    for (const ThreadReport& report : reports) {
        EXPECT_EQ(report.Faults, "");
        EXPECT_EQ(report.Images, 25) << report.Failures << " failures";
        std::printf("one of two transferring threads: %d images, %d failures\n", report.Images, report.Failures);
    }

    // The dialog, with its live preview drawn by the board library's thread,
    // belongs to this thread; another one closes the source, which must stop
    // the preview and destroy the dialog, while this one keeps calling in as
    // an application's message loop does. Waiting for its turn, this thread
    // answers what the closing sends its windows: neither waits for ever.
    Close();
    SetEnvironmentVariableA("ORIONSIM_FRAME_MS", "40");
    Open();
    TW_USERINTERFACE shown = {1, 0, nullptr};
    ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &shown), TWRC_SUCCESS);
    HWND dialog = FindWindowA(nullptr, "Frame Grabber Settings");
    SendMessageA(GetDlgItem(dialog, 1086), BM_CLICK, 0, 0);  // "Show preview window >>"
    std::atomic<bool> closed{false};
    std::thread closing([&] {
        ds_.Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &identity_);
        closed = true;
    });
    while (!closed) {
        MSG message = {};
        TW_EVENT event = {&message, 0};
        ds_.Call(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event);
    }
    closing.join();
    open_ = false;
    EXPECT_FALSE(IsWindow(dialog));
}

// A window of the thread that waits for its turn at the source, and whether
// a message sent to it was answered while that thread was inside its call.
struct WaitingThreadWindow {
    HWND Window = nullptr;
    HANDLE HolderInside = nullptr;
    std::atomic<bool> InsideCall{false};
    std::atomic<bool> AnsweredInside{false};
} Waiting;

LRESULT CALLBACK WaitingThreadProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_APP) {
        Waiting.AnsweredInside = Waiting.InsideCall.load();
        return 1;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

// Runs on the holder's thread while it is inside MSG_ENABLEDS, sending its
// notice: the holder sends a message to the waiting thread's window, as a
// close sends the dialog of another thread its end.
void __stdcall SendToWaitingThread(const StandInNotice* /*notice*/)
{
    SetEvent(Waiting.HolderInside);
    SendMessageA(Waiting.Window, WM_APP, 0, 0);
}

TEST_F(Source, ThreadWaitingForItsTurnAnswersMessagesSentToItsWindows)
{
    const StandInManager manager;
    const auto onNotice = manager.Find<StandInOnNoticeProc>("StandInOnNotice");
    ASSERT_NE(onNotice, nullptr);
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = WaitingThreadProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "TalvenixWaitingThread";
    RegisterClassA(&windowClass);
    Waiting.Window = CreateWindowA(windowClass.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                   windowClass.hInstance, nullptr);
    ASSERT_NE(Waiting.Window, nullptr);
    Waiting.HolderInside = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    Open();
    onNotice(SendToWaitingThread);

    // The holder cannot leave the source before this thread answered; this
    // thread answers nothing outside its own call. A wait for the lock that
    // answers no messages leaves both waiting for good.
    std::atomic<TW_UINT16> enabled{TWRC_FAILURE};
    bool holderInside = false;
    TW_UINT16 rc = TWRC_FAILURE;
    {
        const Watchdog watchdog(60, "the holder and the thread waiting for its turn wait for each other");
        std::thread holder([&] { enabled = EnableWithoutUi(); });
        holderInside = WaitForSingleObject(Waiting.HolderInside, 60000) == WAIT_OBJECT_0;
        Waiting.InsideCall = true;
        TW_STATUS status = {};
        rc = ds_.Call(DG_CONTROL, DAT_STATUS, MSG_GET, &status);
        Waiting.InsideCall = false;
        holder.join();
    }
    onNotice(nullptr);
    EXPECT_TRUE(holderInside) << "the source sent no notice";
    EXPECT_TRUE(Waiting.AnsweredInside) << "the message was not answered while waiting for the source";
    EXPECT_EQ(enabled, TWRC_SUCCESS);
    EXPECT_EQ(rc, TWRC_SUCCESS);
    Close();
    DestroyWindow(Waiting.Window);
    CloseHandle(Waiting.HolderInside);
}

// Ends the calling thread where it is: inside the source, sending its notice.
void __stdcall EndThreadInside(const StandInNotice* /*notice*/)
{
    ExitThread(0);
}

// Enables the source without its dialog; 1 if the call ever comes back.
DWORD WINAPI EnableAndReturn(void* source)
{
    TW_USERINTERFACE ui = {0, 0, nullptr};
    static_cast<DsModule*>(source)->Call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui);
    return 1;
}

// A thread that ended inside the source (its application ended it there)
// leaves the lock to the next caller, who takes it as its own, depth and
// all: once that caller is out, a third thread gets its turn.
TEST_F(Source, ALockLeftByAThreadThatEndedInsideIsTakenOverWhole)
{
    const StandInManager manager;
    const auto onNotice = manager.Find<StandInOnNoticeProc>("StandInOnNotice");
    ASSERT_NE(onNotice, nullptr);
    Open();
    onNotice(EndThreadInside);
    const Watchdog watchdog(60, "the lock of a thread that ended inside the source is never free again");
    HANDLE holder = CreateThread(nullptr, 0, EnableAndReturn, &ds_, 0, nullptr);
    ASSERT_NE(holder, nullptr);
    WaitForSingleObject(holder, INFINITE);
    DWORD holderExit = 1;
    GetExitCodeThread(holder, &holderExit);
    CloseHandle(holder);
    onNotice(nullptr);
    ASSERT_EQ(holderExit, 0u) << "the thread ended inside the source";
    TW_STATUS status = {};
    EXPECT_EQ(ds_.Call(DG_CONTROL, DAT_STATUS, MSG_GET, &status), TWRC_SUCCESS) << "this thread takes the lock over";
    TW_UINT16 third = TWRC_FAILURE;
    std::thread([&] { third = ds_.Call(DG_CONTROL, DAT_STATUS, MSG_GET, &status); }).join();
    EXPECT_EQ(third, TWRC_SUCCESS);
    Close();
}

// A disk that fills up midway, made by the file size limit the script
// full_disk.sh runs this program under (TALVENIX_FILE_LIMIT, in bytes): the
// board library's save (the board's own pixel type, TIFF), the encoders'
// BMP and the first page of a multi-page TIFF fail, stay in state 6 and
// leave the application's file as it was, with nothing left beside it.
TEST_F(Source, FullDiskFailsTheFileTransferAndKeepsTheFile)
{
    char limit[32] = "";
    if (GetEnvironmentVariableA("TALVENIX_FILE_LIMIT", limit, sizeof limit) == 0) {
        GTEST_SKIP() << "run by full_disk.sh";
    }
    ASSERT_LT(std::strtoul(limit, nullptr, 10), 442368u) << "the limit must cut the image";
    const std::string folder = TempFolder() + "\\talvenix-full-disk";
    CreateDirectoryA(folder.c_str(), nullptr);
    const std::string target = folder + "\\image.tif";
    const std::string before = "the application's earlier image";
    std::ofstream(target, std::ios::binary) << before;
    Open();
    SetCount(-1);
    ASSERT_EQ(EnableWithoutUi(), TWRC_SUCCESS);
    TW_SETUPFILEXFER setup = {};
    std::snprintf(setup.FileName, sizeof setup.FileName, "%s", target.c_str());
    ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup), TWRC_SUCCESS);
    const char* const writers[] = {"the board library's save", "", "the encoder's BMP", "", "", "", "a multi-page TIFF"};
    for (TW_UINT16 format : {TWFF_TIFF, TWFF_BMP, TWFF_TIFFMULTI}) {
        SCOPED_TRACE(writers[format]);
        setup.Format = format;
        ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup), TWRC_SUCCESS);
        EXPECT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr), TWRC_FAILURE);
        EXPECT_EQ(ds_.Status(), TWCC_OPERATIONERROR);
        const std::string now = ReadFileText(target);
        EXPECT_TRUE(now == before) << "the application's file now holds " << now.size() << " bytes";
        WIN32_FIND_DATAA found;
        HANDLE search = FindFirstFileA((folder + "\\*.tmp").c_str(), &found);
        EXPECT_EQ(search, INVALID_HANDLE_VALUE) << "left beside it: " << found.cFileName;
        if (search != INVALID_HANDLE_VALUE) {
            FindClose(search);
        }
    }
    // Still state 6: an image that needs no file comes.
    TW_IMAGEINFO info = {};
    ASSERT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TWRC_SUCCESS);
    ExpectPattern(NativeImage(info), 1, info);

    // A sequence the disk fills up midway keeps the pages before: pages of
    // 768 x 200 (150 kB), the second past the limit. The application's file
    // gets the first when the transfers end.
    TW_UINT16 count = 0;
    ASSERT_EQ(EndXfer(count), TWRC_SUCCESS);
    TW_PENDINGXFERS pending = {};
    ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending), TWRC_SUCCESS);
    TW_USERINTERFACE ui = {0, 0, nullptr};
    ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_SUCCESS);
    TW_IMAGELAYOUT layout = {{{0, 0}, {0, 0}, {768, 0}, {200, 0}}, 0, 0, 0};
    ASSERT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_SET, &layout), TWRC_SUCCESS);
    ASSERT_EQ(EnableWithoutUi(), TWRC_SUCCESS);
    setup.Format = TWFF_TIFFMULTI;
    ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup), TWRC_SUCCESS);
    ASSERT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr), TWRC_XFERDONE);
    ASSERT_EQ(EndXfer(count), TWRC_SUCCESS);
    EXPECT_EQ(ds_.Call(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr), TWRC_FAILURE);
    EXPECT_EQ(ds_.Status(), TWCC_OPERATIONERROR);
    ASSERT_EQ(ds_.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending), TWRC_SUCCESS);
    const std::string file = ReadFileText(target);
    const auto* bytes = reinterpret_cast<const uint8_t*>(file.data());
    EXPECT_EQ(TiffPageCount(bytes, file.size()), 1u);
    DecodedImage page;
    std::string error;
    ASSERT_TRUE(DecodeTiffPage(bytes, file.size(), 0, page, error)) << error;
    EXPECT_EQ(page.Height, 200u);
    EXPECT_TRUE(MatchesPattern(page, 1, error)) << error;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\*.tmp").c_str(), &found);
    EXPECT_EQ(search, INVALID_HANDLE_VALUE) << "left beside it: " << found.cFileName;
    if (search != INVALID_HANDLE_VALUE) {
        FindClose(search);
    }
    DeleteFileA(target.c_str());
    RemoveDirectoryA(folder.c_str());
}

}  // namespace
