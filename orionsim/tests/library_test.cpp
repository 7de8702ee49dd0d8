// The library driven through its exported entry points, the way a data
// source drives it: objects and their release, inquiries, formats, grab
// memory, pixel layouts, the pattern, adjustments, look-up tables, grabs,
// saving, fault controls, the trace and the error boxes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <fstream>
#include <map>
#include <sstream>

#include "support.h"

using namespace test;

namespace {

int Round(double v) { return static_cast<int>(std::floor(v + 0.5)); }
int Clamp(int v) { return v < 0 ? 0 : (v > 255 ? 255 : v); }

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A digitizer and its image buffer, as a data source sets them up.
struct Rig {
    Board board;
    long dig = 0, img = 0;
    int w = 0, h = 0, bands = 0;
    explicit Rig(const char* format) {
        Mil& m = Lib();
        dig = m.MdigAlloc(board.sys, 0, format, kDefault, nullptr);
        if (!dig) return;
        w = m.MdigInquire(dig, 1002, nullptr);
        h = m.MdigInquire(dig, 1003, nullptr);
        bands = m.MdigInquire(dig, 1005, nullptr);
        img = m.MbufAllocColor(board.sys, bands, w, h, 8, kImageAttr, nullptr);
    }
    ~Rig() {
        Mil& m = Lib();
        if (img) m.MbufFree(img);
        if (dig) m.MdigFree(dig);
    }
    // Offsets of red, green, blue in a pixel and the pixel size, from the format code.
    void Layout(int& size, int& r, int& g, int& b) const {
        const long code = Lib().MbufInquire(img, 1010, nullptr) & 0x3F00;
        size = (code == 0x0800 || code == 0x1000) ? 3 : (code == 0x0200 ? 1 : 4);
        const bool blueFirst = code == 0x1000 || code == 0x1100;
        r = blueFirst ? 2 : 0, g = 1, b = blueFirst ? 0 : 2;
        if (code == 0x0200) r = g = b = 0;
    }
};

// Reads a pixel of a grabbed colour frame as red, green, blue.
struct Frame {
    const uint8_t* p;
    int w, size, r, g, b;
    explicit Frame(const Rig& rig) : p(Pixels(rig.img)), w(rig.w) { rig.Layout(size, r, g, b); }
    int R(int x, int y) const { return p[(y * w + x) * size + r]; }
    int G(int x, int y) const { return p[(y * w + x) * size + g]; }
    int B(int x, int y) const { return p[(y * w + x) * size + b]; }
};

const ScopedEnv* FastGradient() {
    static ScopedEnv env{{"ORIONSIM_FRAME_MS", "0"}, {"ORIONSIM_PATTERN", "gradient"}};
    return &env;
}

class Library : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(Lib().module, nullptr) << "MIL.DLL not loaded";
        FastGradient();
    }
};

// --- module -----------------------------------------------------------------

TEST(Module, ExportsEveryEntryPointUndecorated) {
    Mil m;
    EXPECT_EQ(m.Load("MIL.DLL"), std::vector<std::string>{});
}

TEST(Module, VariantWithoutGrabLacksOnlyMdigGrab) {
    Mil m;
    EXPECT_EQ(m.Load("variants\\nograb\\MIL.DLL"), std::vector<std::string>{"MdigGrab"});
    FreeLibrary(m.module);
}

std::string ProductVersion(const char* file) {
    DWORD handle = 0, size = GetFileVersionInfoSizeA(file, &handle);
    if (!size) return "<none>";
    std::vector<char> data(size);
    if (!GetFileVersionInfoA(file, 0, size, data.data())) return "<unreadable>";
    WORD* translation = nullptr;
    UINT len = 0;
    if (!VerQueryValueA(data.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &len) || len < 4)
        return "<no translation>";
    char query[64];
    std::snprintf(query, sizeof query, "\\StringFileInfo\\%04x%04x\\ProductVersion", translation[0], translation[1]);
    char* text = nullptr;
    if (!VerQueryValueA(data.data(), query, reinterpret_cast<void**>(&text), &len)) return "<no product version>";
    return std::string(query) + "=" + text;
}

TEST(Module, VersionResources) {
    struct Case { const char* file; std::string expected; };
    const std::string v = "\\StringFileInfo\\040904b0\\ProductVersion=1.0.0.0";
    for (const Case& c : {Case{"MIL.DLL", v}, Case{"MILORION.DLL", v}, Case{"variants\\nograb\\MIL.DLL", v},
                          Case{"variants\\noversion\\MIL.DLL", "<none>"}, Case{"variants\\noversion\\MILORION.DLL", "<none>"}}) {
        SCOPED_TRACE(c.file);
        EXPECT_EQ(ProductVersion(c.file), c.expected);
    }
}

TEST(Module, BoardLibraryLoads) {
    HMODULE h = LoadLibraryA("MILORION.DLL");
    EXPECT_NE(h, nullptr);
    if (h) FreeLibrary(h);
}

// --- objects ------------------------------------------------------------------

TEST_F(Library, AllocationsReturnAndStoreDistinctIds) {
    Mil& m = Lib();
    long app = -1, sys = -1, dig = -1, disp = -1, img = -1, lut = -1, child = -1, probe = -1;
    EXPECT_NE(m.MappAlloc(kDefault, &app), 0);
    m.MappControl(kErrorItem, 0);
    EXPECT_EQ(m.MsysAlloc(kSystem, 0, 0, &sys), sys);
    EXPECT_EQ(m.MdigAlloc(sys, 0, "M_CCIR", kDefault, &dig), dig);
    EXPECT_EQ(m.MdispAlloc(sys, kDefault, "M_DEFAULT", kDefault, &disp), disp);
    EXPECT_EQ(m.MbufAllocColor(sys, 1, 768, 576, 8, kImageAttr, &img), img);
    EXPECT_EQ(m.MbufAllocColor(sys, 3, 256, 1, 8, kLutAttr, &lut), lut);
    EXPECT_EQ(m.MbufChildColor(lut, 1, &child), child);
    EXPECT_EQ(m.MbufAlloc1d(sys, 4096, 8, kProbeAttr, &probe), probe);
    std::vector<long> ids{app, sys, dig, disp, img, lut, child, probe};
    for (size_t i = 0; i < ids.size(); ++i) {
        EXPECT_GT(ids[i], 0) << "id " << i;
        for (size_t j = 0; j < i; ++j) EXPECT_NE(ids[i], ids[j]) << i << " vs " << j;
    }
    m.MappFree(app);  // frees everything hanging off it
    EXPECT_EQ(m.MsysInquire(sys, 2014, nullptr), 0);
    EXPECT_EQ(m.MdigInquire(dig, 1002, nullptr), 0);
    EXPECT_EQ(m.MbufInquire(img, 1005, nullptr), 0);
    EXPECT_EQ(m.MbufInquire(child, 1005, nullptr), 0);
    EXPECT_EQ(m.MbufInquire(probe, 1005, nullptr), 0);
}

TEST_F(Library, FreeingTheSystemReleasesItsObjectsAndMemory) {
    ScopedEnv env{{"ORIONSIM_MEMORY_KB", "2048"}};
    Mil& m = Lib();
    Board board;
    long dig = m.MdigAlloc(board.sys, 0, "M_PAL", kDefault, nullptr);
    long disp = m.MdispAlloc(board.sys, kDefault, "M_DEFAULT", kDefault, nullptr);
    long img = m.MbufAllocColor(board.sys, 3, 768, 576, 8, kImageAttr, nullptr);
    ASSERT_TRUE(dig && disp && img);
    m.MdigGrabContinuous(dig, img);
    m.MsysFree(board.sys);
    EXPECT_EQ(m.MdigInquire(dig, 1002, nullptr), 0);
    EXPECT_EQ(m.MbufInquire(img, 1005, nullptr), 0);
    EXPECT_EQ(m.MdispInquire(disp, 0, nullptr), 0);
    board.sys = m.MsysAlloc(kSystem, 0, 0, nullptr);
    // The new system has its whole memory again: 768 x 576 x 4 bytes fit in 2 MB.
    long again = m.MbufAllocColor(board.sys, 3, 768, 576, 8, kImageAttr, nullptr);
    EXPECT_NE(again, 0);
}

TEST_F(Library, SystemDescriptors) {
    Mil& m = Lib();
    Board board;
    struct Case { const char* descriptor; long num; bool accepted; };
    const Case cases[] = {
        {"\\\\.\\M_SYSTEM_ORION", 0, true},   {"\\\\.\\m_system_orion", 0, true},
        {"\\\\.\\M_SYSTEM_ORION", kDefault, true}, {"\\\\.\\M_SYSTEM_ORION", 1, false},
        {"M_SYSTEM_ORION", 0, false},          {"\\\\.\\M_SYSTEM_METEOR_II", 0, false},
        {"", 0, false},                        {nullptr, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.descriptor ? c.descriptor : "(null)");
        long stored = -1;
        long sys = m.MsysAlloc(c.descriptor, c.num, 0, &stored);
        EXPECT_EQ(sys != 0, c.accepted);
        EXPECT_EQ(stored, sys);
        if (sys) m.MsysFree(sys);
    }
}

TEST_F(Library, UnknownAndFreedIdsAreHarmless) {
    Mil& m = Lib();
    Board board;
    long dig = m.MdigAlloc(board.sys, 0, "M_CCIR", kDefault, nullptr);
    long img = m.MbufAllocColor(board.sys, 1, 768, 576, 8, kImageAttr, nullptr);
    long disp = m.MdispAlloc(board.sys, kDefault, "M_DEFAULT", kDefault, nullptr);
    m.MdigFree(dig);
    m.MbufFree(img);
    m.MdispFree(disp);
    for (long id : {0L, dig, img, disp, 999999L, -5L}) {
        SCOPED_TRACE(id);
        long out = -1;
        EXPECT_EQ(m.MsysInquire(id, 2014, &out), 0);
        EXPECT_EQ(out, 0);
        EXPECT_EQ(m.MdigInquire(id, 1002, nullptr), 0);
        EXPECT_EQ(m.MbufInquire(id, kHostAddress, nullptr), 0);
        EXPECT_EQ(m.MdispInquire(id, 0, nullptr), 0);
        EXPECT_EQ(m.MdigHookFunction(id, 0, nullptr, nullptr), 0);
        EXPECT_EQ(m.MdigAlloc(id, 0, "M_CCIR", kDefault, nullptr), 0);
        EXPECT_EQ(m.MdispAlloc(id, kDefault, "M_DEFAULT", kDefault, nullptr), 0);
        EXPECT_EQ(m.MbufAllocColor(id, 1, 8, 8, 8, kImageAttr, nullptr), 0);
        EXPECT_EQ(m.MbufAlloc1d(id, 8, 8, kProbeAttr, nullptr), 0);
        EXPECT_EQ(m.MbufChildColor(id, 0, nullptr), 0);
        m.MdigGrab(id, id);
        m.MdigGrabContinuous(id, id);
        m.MdigHalt(id);
        m.MdigChannel(id, 0x20400000);
        m.MdigControl(id, 1, 2.0);
        m.MdigLut(id, id);
        m.MdigReference(id, kBrightness, 100);
        m.MdispSelect(id, id);
        m.MdispSelectWindow(id, id, nullptr);
        m.MdispDeselect(id, id);
        m.MdispControl(id, 3155, -9999);
        m.MdispZoom(id, 2, 2);
        m.MbufSave(TempPath("orionsim_never.tif").c_str(), id);
        m.MgenLutRamp(id, 0, 0, 255, 255);
        m.MdigFree(id);
        m.MbufFree(id);
        m.MdispFree(id);
    }
    EXPECT_EQ(GetFileAttributesA(TempPath("orionsim_never.tif").c_str()), INVALID_FILE_ATTRIBUTES);
    m.MbufSave(nullptr, 0);
    m.MdispControl(0, 3119, 0);
    EXPECT_EQ(m.MdigAlloc(board.sys, 0, nullptr, kDefault, nullptr), 0);
}

// --- inquiries and formats ------------------------------------------------------

TEST_F(Library, BoardTypeAndRevision) {
    Mil& m = Lib();
    {
        Board board;
        long out = 0;
        EXPECT_EQ(m.MsysInquire(board.sys, 2014, &out), 40);
        EXPECT_EQ(out, 40);
        EXPECT_EQ(m.MsysInquire(board.sys, 2015, nullptr), 1);
        EXPECT_EQ(m.MsysInquire(board.sys, 1, nullptr), 0);
    }
    ScopedEnv env{{"ORIONSIM_BOARD_TYPE", "41"}, {"ORIONSIM_BOARD_REVISION", "3"}};
    Board board;
    EXPECT_EQ(m.MsysInquire(board.sys, 2014, nullptr), 41);
    EXPECT_EQ(m.MsysInquire(board.sys, 2015, nullptr), 3);
}

struct FormatCase {
    const char* name;
    long width, height, bands, colorMode, bufferCode;
};

const FormatCase kFormats[] = {
    {"M_CCIR", 768, 576, 1, 0, 0x0200},       {"M_RS170", 640, 480, 1, 0, 0x0200},
    {"M_PAL", 768, 576, 3, 1, 0x1100},        {"M_PAL_YC", 768, 576, 3, 4137, 0x1100},
    {"M_PAL_RGB", 768, 576, 3, 8, 0x1100},    {"M_NTSC", 640, 480, 3, 1, 0x1100},
    {"M_NTSC_YC", 640, 480, 3, 4137, 0x1100}, {"M_NTSC_RGB", 640, 480, 3, 8, 0x1100},
};

TEST_F(Library, EveryFormatsGeometryAndBuffer) {
    Mil& m = Lib();
    for (const auto& f : kFormats) {
        SCOPED_TRACE(f.name);
        Rig rig(f.name);
        ASSERT_NE(rig.dig, 0);
        long out = 0;
        EXPECT_EQ(m.MdigInquire(rig.dig, 1002, &out), f.width);
        EXPECT_EQ(out, f.width);
        EXPECT_EQ(m.MdigInquire(rig.dig, 1003, nullptr), f.height);
        EXPECT_EQ(m.MdigInquire(rig.dig, 1005, nullptr), f.bands);
        EXPECT_EQ(m.MdigInquire(rig.dig, 1018, nullptr), f.colorMode);
        ASSERT_NE(rig.img, 0);
        EXPECT_EQ(m.MbufInquire(rig.img, 1005, nullptr), f.bands);
        EXPECT_EQ(m.MbufInquire(rig.img, 1007, nullptr), 8);
        EXPECT_EQ(m.MbufInquire(rig.img, 1010, nullptr) & 0x3F00, f.bufferCode);
        EXPECT_NE(m.MbufInquire(rig.img, kHostAddress, &out), 0);
        EXPECT_EQ(out, m.MbufInquire(rig.img, kHostAddress, nullptr));
    }
}

TEST_F(Library, RefusedFormats) {
    Mil& m = Lib();
    ScopedEnv env{{"ORIONSIM_REJECT_FORMATS", "m_pal_rgb, M_RS170, m_cam_b"}, {"ORIONSIM_MORE_FORMATS", "M_CAM_A,m_cam_b"}};
    Board board;
    struct Case { const char* name; bool accepted; };
    for (Case c : {Case{"M_CCIR", true}, Case{"M_PAL", true}, Case{"M_PAL_RGB", false}, Case{"M_RS170", false},
                   Case{"M_SECAM", false}, Case{"M_CCIR_RGB", false}, Case{"", false}, Case{"M_NTSC_RGB", true},
                   Case{"m_cam_a", true}, Case{"M_CAM_B", false}}) {
        SCOPED_TRACE(c.name);
        long stored = -1;
        long dig = m.MdigAlloc(board.sys, 0, c.name, kDefault, &stored);
        EXPECT_EQ(dig != 0, c.accepted);
        EXPECT_EQ(stored, dig);
        if (dig && std::string(c.name) == "m_cam_a") {
            EXPECT_EQ(m.MdigInquire(dig, 1002, nullptr), 768) << "runs as M_CCIR";
            EXPECT_EQ(m.MdigInquire(dig, 1005, nullptr), 1);
        }
        if (dig) m.MdigFree(dig);
    }
}

TEST_F(Library, OneDigitizerAtATime) {
    Mil& m = Lib();
    Board board;
    long first = m.MdigAlloc(board.sys, 0, "M_CCIR", kDefault, nullptr);
    ASSERT_NE(first, 0);
    EXPECT_EQ(m.MdigAlloc(board.sys, 0, "M_PAL", kDefault, nullptr), 0);
    m.MdigFree(first);
    long second = m.MdigAlloc(board.sys, 0, "M_PAL", kDefault, nullptr);
    EXPECT_NE(second, 0);
    m.MdigFree(second);
}

TEST_F(Library, ColorModeOverride) {
    ScopedEnv env{{"ORIONSIM_COLOR_MODE", "1024"}};
    for (const char* name : {"M_CCIR", "M_PAL_RGB"}) {
        SCOPED_TRACE(name);
        Rig rig(name);
        EXPECT_EQ(Lib().MdigInquire(rig.dig, 1018, nullptr), 1024);
    }
}

// --- grab memory ------------------------------------------------------------------

// The start-up probe: 1 MB chunks, halving on refusal down to 2 kB, at most
// 100 buffers, then everything freed, the last first.
long ProbeKb(long sys) {
    Mil& m = Lib();
    long total = 0, chunk = 1024;
    std::vector<long> held;
    while (chunk > 1 && held.size() < 100) {
        long buf = m.MbufAlloc1d(sys, chunk * 1024, 8, kProbeAttr, nullptr);
        if (buf) held.push_back(buf), total += chunk;
        else chunk /= 2;
    }
    for (auto it = held.rbegin(); it != held.rend(); ++it) m.MbufFree(*it);
    return total;
}

TEST_F(Library, MemoryProbe) {
    struct Case { const char* memoryKb; long expected; };
    for (Case c : {Case{nullptr, 65536}, Case{"204800", 102400}, Case{"1500", 1500}, Case{"1501", 1500},
                   Case{"1", 0}, Case{"0", 0}, Case{"3000", 3000}}) {
        SCOPED_TRACE(c.memoryKb ? c.memoryKb : "default");
        ScopedEnv env{{"ORIONSIM_MEMORY_KB", c.memoryKb}};
        Board board;
        EXPECT_EQ(ProbeKb(board.sys), c.expected);
        EXPECT_EQ(ProbeKb(board.sys), c.expected) << "the first probe gave everything back";
    }
}

TEST_F(Library, MemoryAccounting) {
    Mil& m = Lib();
    ScopedEnv env{{"ORIONSIM_MEMORY_KB", "2000"}};
    Board board;
    const long frame = 768 * 576 * 4;  // 1728 kB of M_BGR32
    long img = m.MbufAllocColor(board.sys, 3, 768, 576, 8, kImageAttr, nullptr);
    ASSERT_NE(img, 0);
    EXPECT_EQ(ProbeKb(board.sys), 2000 - frame / 1024);
    EXPECT_EQ(m.MbufAllocColor(board.sys, 3, 768, 576, 8, kImageAttr, nullptr), 0) << "beyond what is left";
    // Look-up tables, their children and buffers without the grab attribute do not count.
    long lut = m.MbufAllocColor(board.sys, 3, 256, 1, 8, kLutAttr, nullptr);
    long child = m.MbufChildColor(lut, 0, nullptr);
    long host = m.MbufAllocColor(board.sys, 3, 768, 576, 8, 4, nullptr);
    EXPECT_TRUE(lut && child && host);
    EXPECT_EQ(ProbeKb(board.sys), 2000 - frame / 1024);
    m.MbufFree(img);
    EXPECT_EQ(ProbeKb(board.sys), 2000);
    m.MbufFree(lut);
    m.MbufFree(host);
    EXPECT_EQ(m.MbufInquire(child, 1005, nullptr), 0) << "children go with their parent";
}

TEST_F(Library, BufferArgumentsRefused) {
    Mil& m = Lib();
    Board board;
    struct Case { long bands, x, y, type; };
    for (Case c : {Case{2, 10, 10, 8}, Case{4, 10, 10, 8}, Case{1, 0, 10, 8}, Case{1, 10, -1, 8}, Case{1, 10, 10, 16},
                   Case{3, 1L << 27, 1, 8}}) {
        SCOPED_TRACE(testing::Message() << c.bands << " bands " << c.x << "x" << c.y << " type " << c.type);
        long stored = -1;
        EXPECT_EQ(m.MbufAllocColor(board.sys, c.bands, c.x, c.y, c.type, kImageAttr, &stored), 0);
        EXPECT_EQ(stored, 0);
    }
    long packed = m.MbufAllocColor(board.sys, 3, 16, 16, 8, kImageAttr, nullptr);
    EXPECT_EQ(m.MbufChildColor(packed, 0, nullptr), 0) << "children of packed buffers";
    long lut = m.MbufAllocColor(board.sys, 3, 256, 1, 8, kLutAttr, nullptr);
    EXPECT_EQ(m.MbufChildColor(lut, 3, nullptr), 0);
    EXPECT_NE(m.MbufChildColor(lut, kBand[2], nullptr), 0) << "band selectors name bands too";
}

// --- pixel layout and pattern -----------------------------------------------------

TEST_F(Library, ColorBufferLayouts) {
    Mil& m = Lib();
    struct Case { const char* format; long code; int size, r, g, b; };
    const Case cases[] = {
        {"M_BGR32", 0x1100, 4, 2, 1, 0},  {"M_RGB32", 0x0900, 4, 0, 1, 2}, {"M_XRGB32", 0x0A00, 4, 0, 1, 2},
        {"M_XBGR32", 0x1200, 4, 0, 1, 2}, {"M_RGB24", 0x0800, 3, 0, 1, 2}, {"M_BGR24", 0x1000, 3, 2, 1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.format);
        ScopedEnv env{{"ORIONSIM_BUFFER_FORMAT", c.format}};
        Rig rig("M_NTSC");
        ASSERT_NE(rig.img, 0);
        EXPECT_EQ(m.MbufInquire(rig.img, 1010, nullptr) & 0x3F00, c.code);
        m.MdigGrab(rig.dig, rig.img);
        const uint8_t* p = Pixels(rig.img);
        ASSERT_NE(p, nullptr);
        for (int y = 0; y < 480; ++y) {
            for (int x = 0; x < 640; ++x) {
                const uint8_t* px = p + (static_cast<size_t>(y) * 640 + x) * c.size;
                ASSERT_EQ(px[c.r], x % 256) << x << "," << y;
                ASSERT_EQ(px[c.g], y % 256) << x << "," << y;
                ASSERT_EQ(px[c.b], (x + y) % 256) << x << "," << y;
            }
        }
    }
}

TEST_F(Library, MonochromeGradientIsTheSameEveryFrame) {
    Mil& m = Lib();
    for (const char* name : {"M_CCIR", "M_RS170"}) {
        SCOPED_TRACE(name);
        Rig rig(name);
        m.MdigGrab(rig.dig, rig.img);
        const uint8_t* p = Pixels(rig.img);
        std::vector<uint8_t> first(p, p + rig.w * rig.h);
        for (int y = 0; y < rig.h; ++y) {
            for (int x = 0; x < rig.w; ++x) ASSERT_EQ(first[y * rig.w + x], x % 256) << x << "," << y;
        }
        m.MdigGrab(rig.dig, rig.img);
        EXPECT_EQ(std::memcmp(first.data(), p, first.size()), 0);
    }
}

TEST_F(Library, LivePatternChangesFromFrameToFrame) {
    Mil& m = Lib();
    ScopedEnv env{{"ORIONSIM_PATTERN", "live"}};
    Rig rig("M_PAL");
    m.MdigGrab(rig.dig, rig.img);
    const uint8_t* p = Pixels(rig.img);
    std::vector<uint8_t> first(p, p + rig.w * rig.h * 4);
    m.MdigGrab(rig.dig, rig.img);
    EXPECT_NE(std::memcmp(first.data(), p, first.size()), 0);
    Frame f(rig);
    EXPECT_EQ(f.R(rig.w / 16, 100), 191);  // white bar
    EXPECT_EQ(f.B(rig.w / 16, 100), 191);
    EXPECT_EQ(f.R(rig.w * 5 / 16, 100), 0);  // cyan bar
    EXPECT_EQ(f.G(rig.w * 5 / 16, 100), 191);
}

TEST_F(Library, GrabIsClippedToTheBuffer) {
    Mil& m = Lib();
    Rig rig("M_PAL");
    long small = m.MbufAllocColor(rig.board.sys, 1, 100, 50, 8, kImageAttr, nullptr);
    m.MdigGrab(rig.dig, small);
    const uint8_t* p = Pixels(small);
    for (int y = 0; y < 50; ++y) {
        for (int x = 0; x < 100; ++x) ASSERT_EQ(p[y * 100 + x], x) << "band 0 of the colour picture";
    }
    long lut = m.MbufAlloc1d(rig.board.sys, 256, 8, kLutAttr, nullptr);
    long noGrab = m.MbufAllocColor(rig.board.sys, 3, 768, 576, 8, 4, nullptr);
    m.MdigGrab(rig.dig, lut);
    m.MdigGrab(rig.dig, noGrab);
    EXPECT_EQ(Pixels(lut)[5], 0) << "look-up tables are not grabbed into";
    EXPECT_EQ(Pixels(noGrab)[5 * 4 + 2], 0) << "buffers without the grab attribute are not grabbed into";
}

// --- adjustments -----------------------------------------------------------------

struct AdjustCase {
    const char* what;
    long item, level;
    // Expected red, green, blue for a gradient pixel.
    std::function<void(int x, int y, int& r, int& g, int& b)> expect;
    int tolerance;
};

double Luma(int r, int g, int b) { return 0.299 * r + 0.587 * g + 0.114 * b; }

TEST_F(Library, EachAdjustmentAwayFromItsDefault) {
    Mil& m = Lib();
    auto stretch = [](int v, int black, int white) {
        return v <= black ? 0 : v >= white ? 255 : Round((v - black) * 255.0 / (white - black));
    };
    const AdjustCase cases[] = {
        {"black reference band 0", kBlackRef | kBand[0], 64,
         [&](int x, int, int& r, int&, int&) { r = stretch(x % 256, 64, 255); }, 0},
        {"white reference band 1", kWhiteRef | kBand[1], 128,
         [&](int, int y, int&, int& g, int&) { g = stretch(y % 256, 0, 128); }, 0},
        {"black reference band 2", kBlackRef | kBand[2], 200,
         [&](int x, int y, int&, int&, int& b) { b = stretch((x + y) % 256, 200, 255); }, 0},
        {"white reference all bands", kWhiteRef | kAllBands, 100,
         [&](int, int, int& r, int& g, int& b) { r = stretch(r, 0, 100), g = stretch(g, 0, 100), b = stretch(b, 0, 100); }, 0},
        {"brightness", kBrightness, 160,
         [](int, int, int& r, int& g, int& b) { r = Clamp(r + 32), g = Clamp(g + 32), b = Clamp(b + 32); }, 0},
        {"contrast", kContrast, 64,
         [](int, int, int& r, int& g, int& b) {
             auto c = [](int v) { return Clamp(128 + Round((v - 128) * 64 / 128.0)); };
             r = c(r), g = c(g), b = c(b);
         }, 0},
        {"saturation", kSaturation, 0,
         [](int, int, int& r, int& g, int& b) { r = g = b = Clamp(Round(Luma(r, g, b))); }, 1},
        {"hue", kHue, 0,
         [](int, int, int& r, int& g, int& b) {
             const double mean = (r + g + b) / 3.0;
             r = Clamp(Round(2 * mean - r)), g = Clamp(Round(2 * mean - g)), b = Clamp(Round(2 * mean - b));
         }, 1},
    };
    Rig rig("M_PAL_RGB");
    const long defaults[] = {0, 255, 0, 255, 128, 128, 128, 128};
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(c.what);
        EXPECT_EQ(m.MdigInquire(rig.dig, c.item, nullptr), defaults[i]) << "default";
        m.MdigReference(rig.dig, c.item, c.level);
        long out = -1;
        EXPECT_EQ(m.MdigInquire(rig.dig, c.item, &out), c.level);
        EXPECT_EQ(out, c.level);
        m.MdigGrab(rig.dig, rig.img);
        Frame f(rig);
        int worst = 0;
        for (int y = 0; y < rig.h; y += 3) {
            for (int x = 0; x < rig.w; x += 5) {
                int r = x % 256, g = y % 256, b = (x + y) % 256;
                c.expect(x, y, r, g, b);
                worst = std::max({worst, std::abs(f.R(x, y) - r), std::abs(f.G(x, y) - g), std::abs(f.B(x, y) - b)});
                ASSERT_LE(worst, c.tolerance) << "pixel " << x << "," << y << " got " << f.R(x, y) << " " << f.G(x, y)
                                              << " " << f.B(x, y) << " expected " << r << " " << g << " " << b;
            }
        }
        m.MdigReference(rig.dig, c.item, kDefault);  // back to the default level
        EXPECT_EQ(m.MdigInquire(rig.dig, c.item, nullptr), defaults[i]);
    }
    // Back at the defaults the picture is exactly the pattern again.
    m.MdigGrab(rig.dig, rig.img);
    Frame f(rig);
    for (int y = 0; y < rig.h; ++y) {
        for (int x = 0; x < rig.w; ++x) {
            ASSERT_EQ(f.R(x, y), x % 256);
            ASSERT_EQ(f.G(x, y), y % 256);
            ASSERT_EQ(f.B(x, y), (x + y) % 256);
        }
    }
}

TEST_F(Library, ReferenceBandSelectorsAnswerPerBand) {
    Mil& m = Lib();
    Rig rig("M_NTSC_RGB");
    m.MdigReference(rig.dig, kBlackRef | kBand[0], 10);
    m.MdigReference(rig.dig, kBlackRef | kBand[1], 20);
    m.MdigReference(rig.dig, kBlackRef | kBand[2], 30);
    EXPECT_EQ(m.MdigInquire(rig.dig, kBlackRef | kBand[0], nullptr), 10);
    EXPECT_EQ(m.MdigInquire(rig.dig, kBlackRef | kBand[1], nullptr), 20);
    EXPECT_EQ(m.MdigInquire(rig.dig, kBlackRef | kBand[2], nullptr), 30);
    EXPECT_EQ(m.MdigInquire(rig.dig, kWhiteRef | kBand[2], nullptr), 255);
    m.MdigReference(rig.dig, kBlackRef | kAllBands, 0);
    for (long band : kBand) EXPECT_EQ(m.MdigInquire(rig.dig, kBlackRef | band, nullptr), 0);
    // Out-of-range levels and unknown items change nothing.
    for (long level : {256L, -1L, 1000L}) {
        m.MdigReference(rig.dig, kBrightness, level);
        EXPECT_EQ(m.MdigInquire(rig.dig, kBrightness, nullptr), 128) << level;
    }
    m.MdigReference(rig.dig, 4004, 5);
    m.MdigReference(rig.dig, kBrightness | kBand[0], 5);
    EXPECT_EQ(m.MdigInquire(rig.dig, kBrightness, nullptr), 128);
}

TEST_F(Library, MonochromeBrightness) {
    Mil& m = Lib();
    Rig rig("M_CCIR");
    m.MdigReference(rig.dig, kBrightness, 28);  // 100 levels darker
    m.MdigGrab(rig.dig, rig.img);
    const uint8_t* p = Pixels(rig.img);
    for (int x = 0; x < rig.w; ++x) ASSERT_EQ(p[7 * rig.w + x], Clamp(x % 256 - 100)) << x;
}

// --- look-up tables --------------------------------------------------------------

TEST_F(Library, ColorLutRampsOnParentAndChildren) {
    Mil& m = Lib();
    Rig rig("M_PAL");
    const long sys = rig.board.sys;
    long lut = m.MbufAllocColor(sys, 3, 256, 1, 8, kLutAttr, nullptr);
    long child[3];
    for (int b = 0; b < 3; ++b) child[b] = m.MbufChildColor(lut, b, nullptr);
    ASSERT_TRUE(lut && child[0] && child[1] && child[2]);
    // All bands: the shared curve (0,0) (128,64) (255,255).
    m.MgenLutRamp(lut, 0, 0.0, 128, 64.0);
    m.MgenLutRamp(lut, 128, 64.0, 255, 255.0);
    // Band 2 alone: inverted.
    m.MgenLutRamp(child[2], 0, 255.0, 255, 0.0);
    m.MdigLut(rig.dig, lut);
    for (int b = 0; b < 3; ++b) m.MbufFree(child[b]);
    m.MbufFree(lut);  // the digitizer keeps its copy
    m.MdigGrab(rig.dig, rig.img);
    auto curve = [](int v) { return v <= 128 ? Round(v * 64 / 128.0) : Round(64 + (v - 128) * 191 / 127.0); };
    Frame f(rig);
    for (int y = 0; y < rig.h; y += 7) {
        for (int x = 0; x < rig.w; ++x) {
            ASSERT_EQ(f.R(x, y), curve(x % 256)) << x << "," << y;
            ASSERT_EQ(f.G(x, y), curve(y % 256)) << x << "," << y;
            ASSERT_EQ(f.B(x, y), 255 - (x + y) % 256) << x << "," << y;
        }
    }
    m.MdigLut(rig.dig, kDefault);  // identity again
    m.MdigGrab(rig.dig, rig.img);
    EXPECT_EQ(f.R(100, 0), 100);
    EXPECT_EQ(f.B(100, 0), 100);
}

TEST_F(Library, MonochromeLutAndCopyAtProgramming) {
    Mil& m = Lib();
    Rig rig("M_CCIR");
    long lut = m.MbufAlloc1d(rig.board.sys, 256, 8, kLutAttr, nullptr);
    ASSERT_NE(lut, 0);
    m.MgenLutRamp(lut, 0, 255.0, 255, 0.0);
    m.MdigLut(rig.dig, lut);
    m.MgenLutRamp(lut, 0, 0.0, 255, 255.0);  // after MdigLut: no effect
    m.MdigGrab(rig.dig, rig.img);
    const uint8_t* p = Pixels(rig.img);
    for (int x = 0; x < rig.w; ++x) ASSERT_EQ(p[x], 255 - x % 256) << x;
    // A ramp outside the table writes nothing; a table of another size is refused.
    m.MgenLutRamp(lut, 0, 9.0, 256, 9.0);
    EXPECT_EQ(Pixels(lut)[0], 0);
    long odd = m.MbufAlloc1d(rig.board.sys, 128, 8, kLutAttr, nullptr);
    m.MdigLut(rig.dig, odd);
    m.MdigGrab(rig.dig, rig.img);
    EXPECT_EQ(p[3], 252) << "the earlier table stays";
    m.MbufFree(lut);
    m.MbufFree(odd);
}

// --- grabbing ---------------------------------------------------------------------

double Seconds(std::function<void()> work) {
    auto t0 = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

TEST_F(Library, GrabWaitsForTheFramePeriod) {
    Mil& m = Lib();
    struct Case { const char* format; const char* frameMs; double period; };
    for (Case c : {Case{"M_CCIR", nullptr, 0.040}, Case{"M_NTSC", nullptr, 0.033}, Case{"M_PAL", "20", 0.020}}) {
        SCOPED_TRACE(c.format);
        ScopedEnv env{{"ORIONSIM_FRAME_MS", c.frameMs}};
        Rig rig(c.format);
        m.MdigGrab(rig.dig, rig.img);  // aligns to a frame boundary
        // Five grabs end five frame boundaries later. The clock starts when
        // the aligning grab returns, which on a busy machine may be well
        // after its boundary, so only four whole periods are sure to pass.
        const double t = Seconds([&] { for (int i = 0; i < 5; ++i) m.MdigGrab(rig.dig, rig.img); });
        EXPECT_GT(t, 4 * c.period);
        EXPECT_LT(t, 5 * c.period + 0.150);
    }
}

// The stamp counts frames of the board's clock, not grabs: one grab after
// the other takes the next frame, a grab after a pause the frame of its time.
TEST_F(Library, FrameStampCountsTheClocksFrames) {
    Mil& m = Lib();
    ScopedEnv env{{"ORIONSIM_FRAME_STAMP", "1"}, {"ORIONSIM_FRAME_MS", "10"}};
    Rig rig("M_CCIR");
    auto stamped = [&] {
        m.MdigGrab(rig.dig, rig.img);
        const uint8_t* p = Pixels(rig.img);
        uint64_t frame = 0;
        // As the README lays it out: 32 blocks of 8 x 8 pixels, bit 0 leftmost.
        for (int bit = 0; bit < 32; ++bit) {
            frame |= static_cast<uint64_t>(p[bit * 8 + 4] == 255) << bit;
        }
        return frame;
    };
    const uint64_t first = stamped();
    EXPECT_GT(first, 0u);
    const uint64_t second = stamped();
    EXPECT_GT(second, first);
    Sleep(100);
    EXPECT_GE(stamped(), second + 10);
}

TEST_F(Library, GrabWithoutFrameWaitCostsAboutOnePass) {
    Mil& m = Lib();
    Rig rig("M_PAL");
    const double t = Seconds([&] { for (int i = 0; i < 50; ++i) m.MdigGrab(rig.dig, rig.img); });
    EXPECT_LT(t / 50, 0.025) << "seconds per 768 x 576 colour frame";
}

TEST_F(Library, ContinuousGrabRunsUntilHalted) {
    Mil& m = Lib();
    ScopedEnv env{{"ORIONSIM_PATTERN", "live"}, {"ORIONSIM_FRAME_MS", "10"}};
    Rig rig("M_PAL");
    const uint8_t* p = Pixels(rig.img);
    const size_t bytes = static_cast<size_t>(rig.w) * rig.h * 4;
    m.MdigGrabContinuous(rig.dig, rig.img);
    ASSERT_TRUE(WaitFor([&] { return std::any_of(p, p + bytes, [](uint8_t v) { return v != 0; }); })) << "a first frame";
    const std::vector<uint8_t> a(p, p + bytes);
    EXPECT_TRUE(WaitFor([&] { return std::memcmp(a.data(), p, bytes) != 0; })) << "frames keep coming";
    m.MdigGrab(rig.dig, rig.img);  // refused while the continuous grab runs
    m.MdigHalt(rig.dig);
    std::vector<uint8_t> halted(p, p + bytes);
    Sleep(60);
    EXPECT_EQ(std::memcmp(halted.data(), p, bytes), 0) << "no write after MdigHalt returned";
    m.MdigHalt(rig.dig);  // again: harmless
    m.MdigGrab(rig.dig, rig.img);
    EXPECT_NE(std::memcmp(halted.data(), p, bytes), 0) << "a single grab works after the halt";
}

TEST_F(Library, ContinuousGrabRestartsAndStopsWithItsObjects) {
    Mil& m = Lib();
    ScopedEnv env{{"ORIONSIM_FRAME_MS", "5"}};
    Rig rig("M_NTSC");
    long second = m.MbufAllocColor(rig.board.sys, 3, rig.w, rig.h, 8, kImageAttr, nullptr);
    m.MdigGrabContinuous(rig.dig, rig.img);
    m.MdigGrabContinuous(rig.dig, second);  // retargets
    EXPECT_TRUE(WaitFor([&] { return Pixels(second)[4 * 100] == 100; }));
    m.MbufFree(second);  // halts the grab into it
    std::memset(const_cast<uint8_t*>(Pixels(rig.img)), 0, size_t{4} * rig.w * rig.h);  // anything the first grab wrote
    m.MdigGrabContinuous(rig.dig, rig.img);
    EXPECT_TRUE(WaitFor([&] { return Pixels(rig.img)[4 * 100 + 2] == 100; }));
    m.MdigFree(rig.dig);  // halts too
    rig.dig = 0;
}

// --- saving ------------------------------------------------------------------------

struct Tiff {
    std::map<int, uint32_t> tags;
    std::vector<uint8_t> pixels;
};

Tiff ReadTiff(const std::string& path) {
    const std::string f = ReadFile(path);
    Tiff t;
    auto u16 = [&](size_t at) { return uint32_t(uint8_t(f[at])) | uint32_t(uint8_t(f[at + 1])) << 8; };
    auto u32 = [&](size_t at) { return u16(at) | u16(at + 2) << 16; };
    if (f.size() < 8 || f.compare(0, 4, std::string("II*\0", 4)) != 0) return t;
    const uint32_t ifd = u32(4);
    for (uint32_t i = 0, n = u16(ifd); i < n; ++i) {
        const size_t e = ifd + 2 + 12 * i;
        t.tags[u16(e)] = (u16(e + 2) == 3 && u32(e + 4) == 1) ? u16(e + 8) : u32(e + 8);
    }
    const size_t at = t.tags[273], len = t.tags[279];
    if (at + len <= f.size()) t.pixels.assign(f.begin() + at, f.begin() + at + len);
    return t;
}

TEST_F(Library, SavedTiffHoldsTheFrame) {
    Mil& m = Lib();
    // Saved in the program's folder for the ImageMagick check that follows these tests.
    struct Case { const char* format; const char* bufferFormat; const char* file; int spp; };
    for (Case c : {Case{"M_PAL", "M_BGR32", "orionsim_saved_bgr32.tif", 3},
                   Case{"M_NTSC", "M_RGB24", "orionsim_saved_rgb24.tif", 3},
                   Case{"M_CCIR", nullptr, "orionsim_saved_mono.tif", 1}}) {
        SCOPED_TRACE(c.file);
        ScopedEnv env{{"ORIONSIM_BUFFER_FORMAT", c.bufferFormat}};
        Rig rig(c.format);
        { std::ofstream(c.file) << std::string(5000000, 'x'); }  // overwritten, not appended
        m.MdigGrab(rig.dig, rig.img);
        m.MbufSave(c.file, rig.img);
        Tiff t = ReadTiff(c.file);
        EXPECT_EQ(t.tags[256], uint32_t(rig.w));
        EXPECT_EQ(t.tags[257], uint32_t(rig.h));
        EXPECT_EQ(t.tags[277], uint32_t(c.spp));
        EXPECT_EQ(t.tags[262], c.spp == 3 ? 2u : 1u);
        ASSERT_EQ(t.pixels.size(), size_t(rig.w) * rig.h * c.spp);
        for (int y = 0; y < rig.h; y += 5) {
            for (int x = 0; x < rig.w; x += 3) {
                const uint8_t* px = &t.pixels[(size_t(y) * rig.w + x) * c.spp];
                ASSERT_EQ(px[0], x % 256) << x << "," << y;
                if (c.spp == 3) {
                    ASSERT_EQ(px[1], y % 256) << x << "," << y;
                    ASSERT_EQ(px[2], (x + y) % 256) << x << "," << y;
                }
            }
        }
        EXPECT_LT(ReadFile(c.file).size(), 5000000u);
    }
}

// --- fault controls -----------------------------------------------------------------

TEST_F(Library, FaultControls) {
    Mil& m = Lib();
    {
        ScopedEnv env{{"ORIONSIM_FAIL", "MsysAlloc"}};
        Board board;
        EXPECT_EQ(board.sys, 0);
    }
    {
        ScopedEnv env{{"ORIONSIM_FAIL", "MdispAlloc,MbufAllocColor"}};
        Board board;
        ASSERT_NE(board.sys, 0);
        long stored = -1;
        EXPECT_EQ(m.MdispAlloc(board.sys, kDefault, "M_DEFAULT", kDefault, &stored), 0);
        EXPECT_EQ(stored, 0);
        EXPECT_EQ(m.MbufAllocColor(board.sys, 1, 768, 576, 8, kImageAttr, nullptr), 0);
        EXPECT_EQ(m.MbufAllocColor(board.sys, 3, 256, 1, 8, kLutAttr, nullptr), 0);
        EXPECT_NE(m.MbufAlloc1d(board.sys, 1024, 8, kProbeAttr, nullptr), 0) << "only MbufAllocColor fails";
        EXPECT_NE(m.MdigAlloc(board.sys, 0, "M_CCIR", kDefault, nullptr), 0);
    }
    {
        ScopedEnv env{{"ORIONSIM_FAIL", "HostAddress"}};
        Rig rig("M_CCIR");
        ASSERT_NE(rig.img, 0);
        long out = -1;
        EXPECT_EQ(m.MbufInquire(rig.img, kHostAddress, &out), 0);
        EXPECT_EQ(out, 0);
        EXPECT_EQ(m.MbufInquire(rig.img, 1005, nullptr), 1);
    }
    {
        ScopedEnv env{{"ORIONSIM_FAIL", "MbufSave"}};
        Rig rig("M_CCIR");
        const std::string path = TempPath("orionsim_fault.tif");
        DeleteFileA(path.c_str());
        m.MbufSave(path.c_str(), rig.img);
        EXPECT_EQ(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES);
    }
    {
        // The application fails before anyone could silence the library: its box shows.
        ScopedEnv env{{"ORIONSIM_FAIL", "MappAlloc"}};
        BoxWatcher watcher;
        long stored = -1;
        EXPECT_EQ(m.MappAlloc(kDefault, &stored), 0);
        EXPECT_EQ(stored, 0);
        auto texts = watcher.Texts();
        ASSERT_EQ(texts.size(), 1u);
        EXPECT_NE(texts[0].find("MappAlloc"), std::string::npos) << texts[0];
    }
}

// --- trace ------------------------------------------------------------------------------

TEST_F(Library, TraceWritesEveryCallAsOneLine) {
    Mil& m = Lib();
    const std::string path = TempPath("orionsim_trace.txt");
    DeleteFileA(path.c_str());
    long app, sys, dig, disp, lut, img;
    {
        ScopedEnv env{{"ORIONSIM_TRACE", path.c_str()}};
        app = m.MappAlloc(kDefault, nullptr);
        m.MappControl(kErrorItem, 0);
        sys = m.MsysAlloc(kSystem, 0, 0, nullptr);
        long s2 = 0;
        m.MsysInquire(sys, 2014, &s2);
        dig = m.MdigAlloc(sys, 0, "M_PAL_RGB", kDefault, nullptr);
        m.MdigReference(dig, kWhiteRef | kBand[2], 255);
        m.MdigChannel(dig, 0x20000000 + 0x400000);
        m.MdigControl(dig, 7, 2.5);
        disp = m.MdispAlloc(sys, kDefault, "M_DEFAULT", kDefault, nullptr);
        m.MdispControl(disp, 3119, static_cast<long>(reinterpret_cast<intptr_t>("TWAIN source live preview")));
        m.MdispControl(disp, 3155, -9999);
        m.MdispZoom(disp, -2, -2);
        lut = m.MbufAllocColor(sys, 3, 256, 1, 8, kLutAttr, nullptr);
        m.MgenLutRamp(lut, 0, 0.0, 255, 127.5);
        m.MdigLut(dig, lut);
        img = m.MbufAllocColor(sys, 3, 768, 576, 8, kImageAttr, &s2);
        m.MdigHookFunction(dig, 1, reinterpret_cast<void*>(&ReadFile), nullptr);
        m.MbufSave(nullptr, img);
        m.MsysFree(sys);
        m.MappFree(app);
    }
    m.MappControl(kErrorItem, 1);  // after the trace ended: not written
    std::ostringstream e;
    e << "MappAlloc 268435456 0\n"
      << "MappControl 1073741824 0\n"
      << "MsysAlloc \"\\\\.\\M_SYSTEM_ORION\" 0 0 0\n"
      << "MsysInquire " << sys << " 2014 1\n"
      << "MdigAlloc " << sys << " 0 \"M_PAL_RGB\" 268435456 0\n"
      << "MdigReference " << dig << " -2147479643 255\n"
      << "MdigChannel " << dig << " 541065216\n"
      << "MdigControl " << dig << " 7 2.5\n"
      << "MdispAlloc " << sys << " 268435456 \"M_DEFAULT\" 268435456 0\n"
      << "MdispControl " << disp << " 3119 \"TWAIN source live preview\"\n"
      << "MdispControl " << disp << " 3155 -9999\n"
      << "MdispZoom " << disp << " -2 -2\n"
      << "MbufAllocColor " << sys << " 3 256 1 8 256 0\n"
      << "MgenLutRamp " << lut << " 0 0 255 127.5\n"
      << "MdigLut " << dig << " " << lut << "\n"
      << "MbufAllocColor " << sys << " 3 768 576 8 44 1\n"
      << "MdigHookFunction " << dig << " 1 1 0\n"
      << "MbufSave 0 " << img << "\n"
      << "MsysFree " << sys << "\n"
      << "MappFree " << app << "\n";
    EXPECT_EQ(ReadFile(path), e.str());
    DeleteFileA(path.c_str());
    m.MappControl(kErrorItem, 0);
}

// --- error reporting ----------------------------------------------------------------------

TEST_F(Library, FailuresShowTheErrorBoxWhileReportingIsOn) {
    Mil& m = Lib();
    BoxWatcher watcher;
    Board board(true);
    ASSERT_NE(board.sys, 0);
    struct Case { const char* what; std::function<void()> call; std::vector<std::string> words; };
    const Case cases[] = {
        {"refused format", [&] { EXPECT_EQ(m.MdigAlloc(board.sys, 0, "M_SECAM", kDefault, nullptr), 0); },
         {"MdigAlloc", "\"M_SECAM\"", "not supported"}},
        {"wrong descriptor", [&] { EXPECT_EQ(m.MsysAlloc("M_SYSTEM_VGA", 0, 0, nullptr), 0); },
         {"MsysAlloc", "M_SYSTEM_VGA"}},
        {"unknown id", [&] { EXPECT_EQ(m.MbufInquire(424242, 1005, nullptr), 0); }, {"MbufInquire", "424242"}},
        {"memory", [&] { EXPECT_EQ(m.MbufAllocColor(board.sys, 3, 8192, 8192, 8, kImageAttr, nullptr), 0); },
         {"MbufAllocColor", "grab memory"}},
    };
    size_t seen = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        c.call();
        auto texts = watcher.Texts();
        ASSERT_EQ(texts.size(), seen + 1) << "one box per failing call";
        for (const auto& w : c.words) EXPECT_NE(texts.back().find(w), std::string::npos) << texts.back() << " lacks " << w;
        seen = texts.size();
    }
    // Silenced: the same failures return at once and show nothing.
    m.MappControl(kErrorItem, 0);
    for (const auto& c : cases) c.call();
    Sleep(200);
    EXPECT_EQ(watcher.Texts().size(), seen);
}

}  // namespace
