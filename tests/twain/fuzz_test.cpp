// Generated triplet sequences against the built module, as a hostile
// application would send them: every state, malformed containers, null and
// foreign origins, odd memory buffers by pointer and by handle, names
// without terminator. Every block handed over ends at a no-access page, so a
// read or write past a structure faults. After each call the invariants
// hold: return codes in range, a failure leaves a condition code and the
// state where it was, the state follows the TWAIN state model, returned
// containers are well formed and freeable, strips add up to exactly the
// image, and pixels equal the simulated board's pattern (red or grey = x,
// green = y, blue = x + y, mod 256) where a transfer completes in the
// buffer's natural pixel type. Some calls run out of memory (one of the
// module's allocations refused): they may fail where they would have
// succeeded, but only as any failure does.
//
// Each batch runs in a child process (this program, filtered to the batch
// test, seed in the environment) that prints every triplet before sending
// it, so a crash is reported with its seed and the last triplets.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "rig/app_containers.h"
#include "rig/ds_rig.h"
#include "rig/message_box_watcher.h"

namespace {

// About a minute of the suite: a batch takes 2 to 4 s.
constexpr int Batches = 15;
constexpr int CallsPerBatch = 1000;
const char* const SeedVariable = "TALVENIX_FUZZ_SEED";
const char* const SettingsKey = "SOFTWARE\\Talvenix\\Twain\\Orion";

// Blocks that end where a no-access page begins.
class GuardedArena {
public:
    GuardedArena() = default;
    ~GuardedArena() { Release(); }
    GuardedArena(const GuardedArena&) = delete;
    GuardedArena& operator=(const GuardedArena&) = delete;

    uint8_t* Block(size_t size)
    {
        const size_t page = 4096;
        const size_t data = (size + page - 1) / page * page;
        auto* base = static_cast<uint8_t*>(VirtualAlloc(nullptr, data + page, MEM_COMMIT, PAGE_READWRITE));
        if (base == nullptr) {
            ADD_FAILURE() << "VirtualAlloc of " << size;
            return nullptr;
        }
        DWORD old = 0;
        VirtualProtect(base + data, page, PAGE_NOACCESS, &old);
        regions_.push_back(base);
        return base + data - size;
    }
    void Release()
    {
        for (void* region : regions_) {
            VirtualFree(region, 0, MEM_RELEASE);
        }
        regions_.clear();
    }

private:
    std::vector<void*> regions_;
};

struct TripletKind {
    TW_UINT32 DG;
    TW_UINT16 DAT;
    TW_UINT16 MSG;
    int Weight;
};

const TripletKind Kinds[] = {
    {DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, 6},         {DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, 3},
    {DG_CONTROL, DAT_IDENTITY, MSG_GET, 2},            {DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, 8},
    {DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDSUIONLY, 1}, {DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, 4},
    {DG_CONTROL, DAT_CAPABILITY, MSG_GET, 4},          {DG_CONTROL, DAT_CAPABILITY, MSG_GETCURRENT, 3},
    {DG_CONTROL, DAT_CAPABILITY, MSG_GETDEFAULT, 2},   {DG_CONTROL, DAT_CAPABILITY, MSG_SET, 6},
    {DG_CONTROL, DAT_CAPABILITY, MSG_RESET, 2},        {DG_CONTROL, DAT_CAPABILITY, MSG_QUERYSUPPORT, 1},
    {DG_CONTROL, DAT_STATUS, MSG_GET, 2},              {DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, 2},
    {DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, 8},    {DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, 3},
    {DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, 2},        {DG_CONTROL, DAT_SETUPFILEXFER, MSG_GET, 1},
    {DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, 2},       {DG_CONTROL, DAT_XFERGROUP, MSG_GET, 1},
    {DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, 2},      {DG_IMAGE, DAT_IMAGEINFO, MSG_GET, 3},
    {DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, 2},           {DG_IMAGE, DAT_IMAGELAYOUT, MSG_SET, 1},
    {DG_IMAGE, DAT_IMAGELAYOUT, MSG_RESET, 1},
    {DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, 8},       {DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, 16},
    {DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, 2},         {DG_IMAGE, DAT_IMAGEINFO, MSG_PROCESSEVENT, 1},
    {DG_CONTROL, DAT_XFERGROUP, MSG_PROCESSEVENT, 1},
};

const TW_UINT16 Capabilities[] = {CAP_XFERCOUNT, ICAP_COMPRESSION, ICAP_PIXELTYPE, ICAP_UNITS, ICAP_XFERMECH,
                                  CAP_SUPPORTEDCAPS, CAP_UICONTROLLABLE, ICAP_BRIGHTNESS, ICAP_IMAGEFILEFORMAT,
                                  ICAP_PHYSICALWIDTH, ICAP_XRESOLUTION, ICAP_BITORDER, 0x1234};

// Bytes of one item of each type, 0 for types that are not items.
int ItemSize(TW_UINT16 type)
{
    const int sizes[] = {1, 2, 4, 1, 2, 4, 2, 4, 16, 34, 66, 130, 256};
    return type < 13 ? sizes[type] : 0;
}

uint32_t Read32(const uint8_t* p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

class Batch {
public:
    Batch(uint32_t seed, bool colourBoard) : random_(seed), colourBoard_(colourBoard)
    {
        app_ = TestAppIdentity(1);
        foreign_ = TestAppIdentity(2);
    }

    void Run(int calls)
    {
        for (int i = 0; i < calls && !::testing::Test::HasFatalFailure(); ++i) {
            Step(i);
            arena_.Release();
        }
        if (state_ >= 4) {
            TW_IDENTITY identity = {};
            CallAs(connected_, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &identity);
        }
    }

private:
    uint32_t Next(uint32_t bound) { return bound == 0 ? 0 : random_() % bound; }
    bool Chance(int percent) { return Next(100) < static_cast<uint32_t>(percent); }

    TW_UINT16 CallAs(TW_IDENTITY* origin, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, void* data)
    {
        return ds_.CallAs(origin, dg, dat, msg, data);
    }

    // A block of `size` bytes ending at the guard page: random bytes, or the
    // caller's `init` when given.
    template <typename T>
    T* Guarded(const T* init = nullptr)
    {
        auto* block = arena_.Block(sizeof(T));
        if (init != nullptr) {
            std::memcpy(block, init, sizeof(T));
        } else {
            for (size_t i = 0; i < sizeof(T); ++i) {
                block[i] = static_cast<uint8_t>(random_());
            }
        }
        return reinterpret_cast<T*>(block);
    }

    HGLOBAL RandomContainer()
    {
        switch (Next(4)) {
        case 0:
            return nullptr;
        case 1: {
            std::vector<uint8_t> bytes(Next(24));
            for (uint8_t& b : bytes) {
                b = static_cast<uint8_t>(random_());
            }
            return bytes.empty() ? GlobalAlloc(GMEM_MOVEABLE, 0) : GlobalBlock(bytes);
        }
        case 2:
            return GlobalBlock(EnumerationBytes(static_cast<TW_UINT16>(Next(14)), 2, {1, 2, 0},
                                                Next(4), Next(4)));
        default:
            return GlobalBlock(OneValueBytes(static_cast<TW_UINT16>(Next(2) == 0 ? TWTY_UINT16 : TWTY_INT16),
                                             Next(2) == 0 ? Next(4) : random_()));
        }
    }

    // A container the source handed over: its header and items lie inside
    // the block, and the block frees.
    void CheckContainer(TW_UINT16 conType, HGLOBAL container)
    {
        ASSERT_NE(container, nullptr);
        const std::vector<uint8_t> bytes = BlockBytes(container);
        ASSERT_GE(bytes.size(), 6u);
        const TW_UINT16 type = bytes[0] | (bytes[1] << 8);
        ASSERT_GT(ItemSize(type), 0) << "item type " << type;
        if (conType == TWON_ENUMERATION || conType == TWON_ARRAY) {
            const size_t header = conType == TWON_ENUMERATION ? 14 : 6;
            ASSERT_GE(bytes.size(), header);
            const uint32_t items = Read32(&bytes[2]);
            EXPECT_LE(header + static_cast<size_t>(items) * ItemSize(type), bytes.size());
            if (conType == TWON_ENUMERATION) {
                EXPECT_LT(Read32(&bytes[6]), items);
                EXPECT_LT(Read32(&bytes[10]), items);
            }
        } else if (conType == TWON_RANGE) {
            EXPECT_GE(bytes.size(), 22u) << "item type and five values";  // ICAP_BRIGHTNESS
        } else {
            EXPECT_EQ(conType, TWON_ONEVALUE);
        }
        EXPECT_EQ(GlobalFree(container), nullptr);
    }

    // The pattern's pixel at x, y as red, green, blue.
    static void Pattern(uint32_t x, uint32_t y, uint8_t rgb[3])
    {
        rgb[0] = static_cast<uint8_t>(x);
        rgb[1] = static_cast<uint8_t>(y);
        rgb[2] = static_cast<uint8_t>(x + y);
    }

    // The pattern is what the buffer holds; another pixel type may be a
    // conversion of it.
    bool NaturalPixelType(const TW_IMAGEINFO& info) const
    {
        return info.PixelType == (colourBoard_ ? TWPT_RGB : TWPT_GRAY) &&
               info.SamplesPerPixel == (colourBoard_ ? 3 : 1);
    }

    bool ImageInfo(TW_IMAGEINFO& info)
    {
        return CallAs(connected_, DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info) == TWRC_SUCCESS;
    }

    // A bitmap read as applications read it: through its header.
    void CheckBitmap(HGLOBAL bitmap)
    {
        TW_IMAGEINFO info = {};
        ASSERT_TRUE(ImageInfo(info));
        const std::vector<uint8_t> dib = BlockBytes(bitmap);
        EXPECT_EQ(GlobalFree(bitmap), nullptr);
        ASSERT_GE(dib.size(), 40u);
        const auto width = static_cast<int32_t>(Read32(&dib[4]));
        const auto height = static_cast<int32_t>(Read32(&dib[8]));
        const uint32_t bits = dib[14] | (dib[15] << 8);
        const uint32_t clrUsed = Read32(&dib[32]);
        EXPECT_EQ(Read32(&dib[0]), 40u);
        EXPECT_EQ(width, info.ImageWidth);
        EXPECT_EQ(height < 0 ? -height : height, info.ImageLength);
        ASSERT_TRUE(bits == 8 || bits == 24 || bits == 32) << bits;
        const uint32_t colours = clrUsed != 0 ? clrUsed : (bits == 8 ? 256 : 0);
        const size_t stride = (static_cast<size_t>(width) * bits / 8 + 3) & ~static_cast<size_t>(3);
        const size_t rows = static_cast<size_t>(height < 0 ? -height : height);
        const size_t pixels = 40 + colours * 4;
        ASSERT_GE(dib.size(), pixels + stride * rows);
        if (!NaturalPixelType(info) || (bits == 8) != (info.SamplesPerPixel == 1)) {
            return;
        }
        for (size_t row = 0; row < rows; row += 37) {
            const auto y = static_cast<uint32_t>(height < 0 ? row : rows - 1 - row);
            for (uint32_t x = 0; x < static_cast<uint32_t>(width); x += 53) {
                uint8_t rgb[3];
                Pattern(x, y, rgb);
                const uint8_t* p = &dib[pixels + row * stride + x * bits / 8];
                // Colour pixels lie blue first, 3 or 4 bytes each.
                const bool same = bits == 8 ? p[0] == rgb[0] : p[0] == rgb[2] && p[1] == rgb[1] && p[2] == rgb[0];
                ASSERT_TRUE(same) << "bitmap pixel " << x << "," << y;
            }
        }
    }

    // One strip: it continues the frame, lies inside the buffer, and at the
    // end the strips add up to exactly the image.
    void CheckStrip(TW_UINT16 rc, const TW_IMAGEMEMXFER& xfer, const uint8_t* buffer, uint32_t capacity)
    {
        TW_IMAGEINFO info = {};
        ASSERT_TRUE(ImageInfo(info));
        ASSERT_GT(xfer.BytesPerRow, 0u);
        EXPECT_EQ(xfer.YOffset, stripRows_) << "strips continue the frame";
        EXPECT_EQ(xfer.BytesWritten, xfer.Rows * xfer.BytesPerRow);
        EXPECT_LE(xfer.BytesWritten, capacity);
        EXPECT_EQ(xfer.Columns, static_cast<TW_UINT32>(info.ImageWidth));
        if (NaturalPixelType(info) && xfer.BytesPerRow == xfer.Columns * info.SamplesPerPixel) {
            for (uint32_t row = 0; row < xfer.Rows; row += 11) {
                const uint32_t x = (row * 29) % xfer.Columns;
                uint8_t rgb[3];
                Pattern(x, xfer.YOffset + row, rgb);
                const uint8_t* p = buffer + row * xfer.BytesPerRow + x * info.SamplesPerPixel;
                for (int s = 0; s < info.SamplesPerPixel; ++s) {
                    ASSERT_EQ(p[s], rgb[s]) << "strip sample " << x << "," << xfer.YOffset + row;
                }
            }
        }
        stripRows_ += xfer.Rows;
        if (rc == TWRC_XFERDONE) {
            EXPECT_EQ(stripRows_, static_cast<TW_UINT32>(info.ImageLength)) << "strips add up to the image";
            stripRows_ = 0;
        }
    }

    void* MakeData(const TripletKind& kind, std::vector<HGLOBAL>& owned, uint32_t& capacity, uint8_t*& strip)
    {
        if (Chance(8)) {
            return nullptr;
        }
        switch (kind.DAT) {
        case DAT_IDENTITY: {
            TW_IDENTITY identity = app_;
            if (Chance(30)) {
                std::memset(identity.ProductName, 'x', sizeof identity.ProductName);  // no terminator
            }
            return Guarded(&identity);
        }
        case DAT_USERINTERFACE: {
            TW_USERINTERFACE ui = {static_cast<TW_BOOL>(Chance(4) ? 1 + Next(3) : 0), 0, nullptr};
            return Guarded(&ui);
        }
        case DAT_CAPABILITY: {
            TW_CAPABILITY cap = {Capabilities[Next(std::size(Capabilities))],
                                 static_cast<TW_UINT16>(Chance(80) ? TWON_ONEVALUE + Next(2) - 1 : random_()), nullptr};
            if (kind.MSG == MSG_SET) {
                cap.ConType = Chance(70) ? TWON_ONEVALUE : static_cast<TW_UINT16>(3 + Next(4));
                cap.hContainer = RandomContainer();
                owned.push_back(cap.hContainer);
            }
            return Guarded(&cap);
        }
        case DAT_PENDINGXFERS:
            return Guarded<TW_PENDINGXFERS>();
        case DAT_SETUPFILEXFER: {
            TW_SETUPFILEXFER setup = {};
            if (Chance(50)) {
                std::snprintf(setup.FileName, sizeof setup.FileName, "%s\\talvenix-fuzz-%u.tif", TempFolder().c_str(),
                              Next(3));
            } else {
                std::memset(setup.FileName, 'a' + static_cast<int>(Next(3)), sizeof setup.FileName);
            }
            return Guarded(&setup);
        }
        case DAT_EVENT: {
            TW_EVENT event = {nullptr, 0};
            if (Chance(50)) {
                MSG message = {nullptr, WM_USER + Next(10), 0, 0, 0, {0, 0}};
                event.pEvent = Guarded(&message);
            }
            return Guarded(&event);
        }
        case DAT_IMAGEMEMXFER: {
            TW_IMAGEMEMXFER xfer = {};
            const uint32_t sizes[] = {0, 1, 16, 767, 768, 2304, 4096, 100000, 442368, 1327104, 2000000};
            capacity = sizes[Next(std::size(sizes))];
            if (Chance(25)) {
                HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, capacity);
                owned.push_back(block);
                xfer.Memory = {TWMF_APPOWNS | TWMF_HANDLE, capacity + (Chance(50) ? Next(5000) : 0), block};
                strip = nullptr;
            } else {
                strip = capacity != 0 ? arena_.Block(capacity) : nullptr;
                xfer.Memory = {TWMF_APPOWNS | TWMF_POINTER, capacity, strip};
            }
            return Guarded(&xfer);
        }
        case DAT_IMAGENATIVEXFER:
            return Guarded<TW_HANDLE>();
        case DAT_IMAGEFILEXFER:
            return nullptr;
        case DAT_IMAGEINFO:
            return Guarded<TW_IMAGEINFO>();
        case DAT_IMAGELAYOUT:
            return Guarded<TW_IMAGELAYOUT>();
        case DAT_SETUPMEMXFER:
            return Guarded<TW_SETUPMEMXFER>();
        default:
            return Guarded<TW_UINT32>();
        }
    }

    const TripletKind& PickKind()
    {
        static const int total = [] {
            int sum = 0;
            for (const TripletKind& kind : Kinds) {
                sum += kind.Weight;
            }
            return sum;
        }();
        int pick = static_cast<int>(Next(static_cast<uint32_t>(total)));
        for (const TripletKind& kind : Kinds) {
            pick -= kind.Weight;
            if (pick < 0) {
                return kind;
            }
        }
        return Kinds[0];
    }

    // Half the calls move on from the state the model is in, so that every
    // state, transfers included, gets its share of the rest.
    TripletKind Onward()
    {
        switch (state_) {
        case 3: return {DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, 0};
        case 4: return {DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, 0};
        case 5: return {DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, 0};
        case 6: return {DG_IMAGE, Chance(60) ? DAT_IMAGEMEMXFER : DAT_IMAGENATIVEXFER, MSG_GET, 0};
        default:
            if (memoryUnderWay_ && Chance(70)) {
                return {DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, 0};
            }
            return {DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, 0};
        }
    }

    void Step(int index)
    {
        TripletKind kind = Chance(50) ? Onward() : PickKind();
        if (Chance(3)) {
            kind = {Next(5), static_cast<TW_UINT16>(Next(0x110)), static_cast<TW_UINT16>(Next(0x800)), 0};
        }
        const uint32_t originPick = Next(20);
        TW_IDENTITY* origin = originPick == 0 ? nullptr : originPick == 1 ? &foreign_ : connected_;
        std::vector<HGLOBAL> owned;
        uint32_t capacity = 0;
        uint8_t* strip = nullptr;
        void* data = MakeData(kind, owned, capacity, strip);
        const long refused = Chance(5) ? 1 + static_cast<long>(Next(8)) : 0;
        std::printf("%d: origin %s DG %lu DAT 0x%x MSG 0x%x data %s state %d allocation refused %ld\n", index,
                    origin == nullptr ? "null" : origin == &foreign_ ? "foreign" : "app",
                    static_cast<unsigned long>(kind.DG), kind.DAT, kind.MSG, data == nullptr ? "null" : "block",
                    state_, refused);
        std::fflush(stdout);
        ++calls_;

        const bool filtered = state_ >= 4 && (origin == nullptr || origin->Id != connected_->Id);
        allocations_.Refuse(refused);
        const TW_UINT16 rc = CallAs(origin, kind.DG, kind.DAT, kind.MSG, data);
        const bool starved = refused != 0 && allocations_.Count() >= refused;
        allocations_.Refuse(0);
        ASSERT_LE(rc, TWRC_ENDOFLIST) << "return code";
        if (filtered) {
            EXPECT_EQ(rc, TWRC_SUCCESS) << "calls of others are ignored";
        } else {
            Follow(kind, origin, data, rc, capacity, strip, starved);
        }
        for (HGLOBAL block : owned) {
            GlobalFree(block);
        }
    }

    // The state model: which triplets may succeed in which state, and where
    // they lead.
    void Follow(const TripletKind& kind, TW_IDENTITY* origin, void* data, TW_UINT16 rc, uint32_t capacity,
                uint8_t* strip, bool starved)
    {
        const int before = state_;
        const bool control = kind.DG == DG_CONTROL;
        const bool image = kind.DG == DG_IMAGE;
        if (kind.MSG == MSG_PROCESSEVENT && control && kind.DAT == DAT_EVENT) {
            EXPECT_TRUE(rc == TWRC_NOTDSEVENT || rc == TWRC_DSEVENT) << rc;
            return;
        }
        if (rc == TWRC_FAILURE) {
            TW_STATUS status = {0xFFFF, 0xFFFF};
            ASSERT_EQ(CallAs(origin != nullptr ? origin : connected_, DG_CONTROL, DAT_STATUS, MSG_GET, &status),
                      TWRC_SUCCESS);
            EXPECT_NE(status.ConditionCode, TWCC_SUCCESS) << "a failure names its condition";
        }
        // Negotiation ends when the source is enabled; in state 7 the file
        // of the transfer under way is taken.
        const bool setting = kind.MSG == MSG_SET || kind.MSG == MSG_RESET;
        const bool negotiates =
            setting && ((control && kind.DAT == DAT_CAPABILITY) || (image && kind.DAT == DAT_IMAGELAYOUT));
        if (negotiates && before >= 5) {
            EXPECT_EQ(rc, TWRC_FAILURE) << "negotiation while enabled";
        }
        if (control && kind.DAT == DAT_SETUPFILEXFER && kind.MSG == MSG_SET && before == 7) {
            EXPECT_EQ(rc, TWRC_FAILURE) << "a file named in state 7";
        }
        // Out of memory, any call may fail, and then changes nothing: the
        // model stays where it was, and the calls that follow check that
        // the source did too.
        if (starved && rc == TWRC_FAILURE) {
            return;
        }
        if (control && kind.DAT == DAT_IDENTITY && kind.MSG == MSG_OPENDS) {
            EXPECT_EQ(rc == TWRC_SUCCESS, before == 3 && origin != nullptr && data != nullptr) << "open";
            if (rc == TWRC_SUCCESS) {
                state_ = 4;
                connected_ = origin;
                stripRows_ = 0;
                memoryUnderWay_ = false;
            }
        } else if (control && kind.DAT == DAT_IDENTITY && kind.MSG == MSG_CLOSEDS) {
            EXPECT_EQ(rc, TWRC_SUCCESS) << "close";
            state_ = 3;
            connected_ = &app_;
            stripRows_ = 0;
            memoryUnderWay_ = false;
        } else if (control && kind.DAT == DAT_USERINTERFACE &&
                   (kind.MSG == MSG_ENABLEDS || kind.MSG == MSG_ENABLEDSUIONLY)) {
            EXPECT_EQ(rc == TWRC_SUCCESS, before == 4 && data != nullptr) << "enable";
            if (rc == TWRC_SUCCESS) {
                const bool ui = kind.MSG == MSG_ENABLEDSUIONLY || static_cast<TW_USERINTERFACE*>(data)->ShowUI != 0;
                state_ = ui ? 5 : 6;
            }
        } else if (control && kind.DAT == DAT_USERINTERFACE && kind.MSG == MSG_DISABLEDS) {
            EXPECT_EQ(rc == TWRC_SUCCESS, before == 5) << "disable";
            if (rc == TWRC_SUCCESS) {
                state_ = 4;
            }
        } else if (control && kind.DAT == DAT_PENDINGXFERS && kind.MSG == MSG_ENDXFER) {
            EXPECT_EQ(rc == TWRC_SUCCESS, (before == 6 || before == 7) && data != nullptr) << "end of transfer";
            if (rc == TWRC_SUCCESS) {
                const auto count = static_cast<TW_INT16>(static_cast<TW_PENDINGXFERS*>(data)->Count);
                EXPECT_GE(count, -1) << "no count below any number";
                state_ = count == -1 || count > 0 ? 6 : 5;
                stripRows_ = 0;
                memoryUnderWay_ = false;
            }
        } else if (control && kind.DAT == DAT_PENDINGXFERS && kind.MSG == MSG_RESET) {
            EXPECT_EQ(rc == TWRC_SUCCESS, before == 6 && data != nullptr) << "reset";
            if (rc == TWRC_SUCCESS) {
                state_ = 5;
                stripRows_ = 0;
                memoryUnderWay_ = false;
            }
        } else if (image && (kind.DAT == DAT_IMAGENATIVEXFER || kind.DAT == DAT_IMAGEFILEXFER ||
                             kind.DAT == DAT_IMAGEMEMXFER) && kind.MSG == MSG_GET) {
            // A transfer starts in state 6; in state 7 only the strips of
            // the memory transfer under way continue it.
            const bool nextStrip = before == 7 && memoryUnderWay_ && kind.DAT == DAT_IMAGEMEMXFER;
            if (before != 6 && !nextStrip) {
                EXPECT_EQ(rc, TWRC_FAILURE) << "a transfer outside state 6";
                return;
            }
            EXPECT_TRUE(rc == TWRC_FAILURE || rc == TWRC_XFERDONE ||
                        (rc == TWRC_SUCCESS && kind.DAT == DAT_IMAGEMEMXFER)) << rc;
            if (rc != TWRC_FAILURE) {
                state_ = 7;
                memoryUnderWay_ = rc == TWRC_SUCCESS;
            }
            if (kind.DAT == DAT_IMAGENATIVEXFER && rc == TWRC_XFERDONE) {
                CheckBitmap(*static_cast<TW_HANDLE*>(data));
            }
            if (kind.DAT == DAT_IMAGEMEMXFER && rc != TWRC_FAILURE) {
                const auto* xfer = static_cast<const TW_IMAGEMEMXFER*>(data);
                std::vector<uint8_t> copy;
                const uint8_t* bytes = strip;
                if (strip == nullptr) {
                    copy = BlockBytes(static_cast<HGLOBAL>(xfer->Memory.TheMem));
                    bytes = copy.data();
                }
                CheckStrip(rc, *xfer, bytes, capacity);
            }
        } else if (control && kind.DAT == DAT_CAPABILITY && rc == TWRC_SUCCESS &&
                   (kind.MSG == MSG_GET || kind.MSG == MSG_GETCURRENT || kind.MSG == MSG_GETDEFAULT)) {
            const auto* cap = static_cast<const TW_CAPABILITY*>(data);
            CheckContainer(cap->ConType, cap->hContainer);
        }
        if (rc == TWRC_FAILURE) {
            EXPECT_EQ(state_, before) << "a failure changes no state";
        }
    }

    std::mt19937 random_;
    bool colourBoard_;
    GuardedArena arena_;
    MessageBoxWatcher watcher_{{"Imaging library error"}};
    DsModule ds_;
    RefusedAllocation allocations_{ds_.Handle()};
    TW_IDENTITY app_ = {};
    TW_IDENTITY foreign_ = {};
    TW_IDENTITY* connected_ = &app_;
    int state_ = 3;
    uint32_t stripRows_ = 0;  // rows of the frame under way delivered so far
    bool memoryUnderWay_ = false;  // strips of a memory transfer still to come

public:
    int calls_ = 0;
};

// One batch, run only as the child of the test below.
TEST(Fuzz, Batch)
{
    char seedText[32] = "";
    if (GetEnvironmentVariableA(SeedVariable, seedText, sizeof seedText) == 0) {
        GTEST_SKIP() << "run by Fuzz.GeneratedSequences";
    }
    const uint32_t seed = static_cast<uint32_t>(std::strtoul(seedText, nullptr, 10));
    // The first open finds no settings and says so in a box.
    MessageBoxWatcher watcher;
    ResetSourceRegistry();
    SetEnvironmentVariableA("ORIONSIM_PATTERN", "gradient");
    SetEnvironmentVariableA("ORIONSIM_FRAME_MS", "0");
    // Odd seeds run the colour board with 4-byte pixels.
    if (seed % 2 == 1) {
        SetEnvironmentVariableA("ORIONSIM_BUFFER_FORMAT", "M_BGR32");
        DsModule setUp;
        TW_IDENTITY identity = {};
        ASSERT_EQ(setUp.Call(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &identity), TWRC_SUCCESS);
        setUp.Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &identity);
        WriteRegistryValue(SettingsKey, "DigFormat", REG_SZ, "M_PAL", 5);
    }
    Batch batch(seed, seed % 2 == 1);
    batch.Run(CallsPerBatch);
    std::printf("fuzz: %d calls with seed %u\n", batch.calls_, seed);
    ResetSourceRegistry();
}

TEST(Fuzz, GeneratedSequences)
{
    char exe[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, exe, sizeof exe);
    const std::string output = TempFolder() + "\\talvenix-fuzz.txt";
    int calls = 0;
    for (int seed = 1; seed <= Batches; ++seed) {
        SetEnvironmentVariableA(SeedVariable, std::to_string(seed).c_str());
        CapturedProcess child(output);
        ASSERT_TRUE(child.Start(std::string("\"") + exe + "\" --gtest_filter=Fuzz.Batch --gtest_color=no"));
        const DWORD code = child.Wait(120000);
        const std::string text = child.Output();
        const size_t done = text.find("fuzz: ");
        const bool passed = code == 0 && done != std::string::npos && text.find("[  PASSED  ] 1 test") != std::string::npos &&
                            text.find("[  FAILED  ]") == std::string::npos;
        if (done != std::string::npos) {
            calls += std::atoi(text.c_str() + done + 6);
        }
        // What the batch printed last: the triplets before a crash, or the
        // failures with the triplet they followed.
        EXPECT_TRUE(passed) << "seed " << seed << ", exit code " << code << ":\n"
                            << text.substr(text.size() > 6000 ? text.size() - 6000 : 0);
    }
    SetEnvironmentVariableA(SeedVariable, nullptr);
    DeleteFileA(output.c_str());
    std::printf("fuzz: %d calls in %d batches\n", calls, Batches);
}

}  // namespace
