// The sequences of the twin test: states 3 to 6, null data blocks, unknown
// DATs and messages, failures followed by DAT_STATUS, closes in states 3
// and 6, odd strip buffers (one longer than the image section), strips
// whose size changes and a frame ended midway, a region and a setup saved and restored. Each
// step's structure starts filled with 0x5A
// bytes (but for what the call needs), so an answer that leaves it alone
// differs from one that writes it.
#include "tests/ds64/twin_script.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "tests/rig/app_containers.h"
#include "tests/rig/ds_rig.h"

namespace {

enum class Data { None, Identity, Ui, Cap, CapSet, CapInt32, CapBytes, CapFix32, CapName, Status, Pending, SetupMem, SetupFile,
                  Group, Info, Layout, LayoutSet, Native, Strip, Event, SetupGet, SetupSet };

struct Step {
    TW_UINT32 DG;
    TW_UINT16 DAT;
    TW_UINT16 MSG;
    Data Kind;
    uint32_t A;  // Identity: 2 opens as a TWAIN 2 application; Ui: ShowUI; Cap*: the capability;
                 // Strip: Length; Event: TWMessage;
                 // SetupSet: 0 the last block saved, 1 its last byte changed, 2 a byte short,
                 // 3 no block, 4 a block that cannot be locked (of no bytes, InfoLength the saved one's)
    uint32_t B;  // CapSet: the one value (TWTY_UINT16); CapInt32: the one value (TWTY_INT32); CapBytes: the container's size;
                 // CapFix32: the whole number; CapName: the index of a video format name
    // What the step's line must read after the triplet (nullptr: whatever
    // the 32-bit source answers). Both sources answer a closed source from
    // one table: where they agree, this says whether they are right.
    const char* Expect = nullptr;
};

struct Sequence {
    const char* Name;
    std::vector<Step> Steps;
    // Run with the trace on ("Dump" 42), its log compared too. With the
    // trace off, Twain_64.ds hands out a frame's strips after the first
    // from the image section itself.
    bool Traced = true;
};

constexpr TW_UINT32 C = DG_CONTROL;
constexpr TW_UINT32 I = DG_IMAGE;

const Step Open = {C, DAT_IDENTITY, MSG_OPENDS, Data::Identity, 0, 0};
const Step OpenAsTwainTwo = {C, DAT_IDENTITY, MSG_OPENDS, Data::Identity, 2, 0};
const Step Close = {C, DAT_IDENTITY, MSG_CLOSEDS, Data::Identity, 0, 0};
const Step Status = {C, DAT_STATUS, MSG_GET, Data::Status, 0, 0};
const Step EnableNoUi = {C, DAT_USERINTERFACE, MSG_ENABLEDS, Data::Ui, 0, 0};
const Step Memory = {C, DAT_CAPABILITY, MSG_SET, Data::CapSet, ICAP_XFERMECH, TWSX_MEMORY};

// The board's capabilities: ranges of TW_FIX32, enumerations of TW_STR32.
constexpr TW_UINT16 Channel = 0x8001, VideoFormat = 0x8002;
const char* const FormatNames[] = {"M_PAL_RGB", "M_SECAM"};
Step Get(TW_UINT16 cap, TW_UINT16 msg = MSG_GET)
{
    return {C, DAT_CAPABILITY, msg, Data::Cap, cap, 0};
}

std::vector<Sequence> AllSequences();

const std::vector<Sequence>& Sequences()
{
    static const std::vector<Sequence> sequences = AllSequences();
    return sequences;
}

std::vector<Sequence> AllSequences()
{
    std::vector<Sequence> sequences = {
        {"closed_source",
         {{C, DAT_IDENTITY, MSG_GET, Data::Identity, 0, 0}, {C, DAT_NULL, MSG_GET, Data::None, 0, 0}, Status,
          {C, DAT_CUSTOMDSDATA, MSG_GET, Data::Pending, 0, 0}, Status,
          {C, DAT_IDENTITY, MSG_GETFIRST, Data::Identity, 0, 0}, Status,
          {C, DAT_IDENTITY, MSG_USERSELECT, Data::Identity, 0, 0}, Status,
          {I, 0x0199, MSG_GET, Data::Pending, 0, 0}, Status, {4, DAT_NULL, MSG_GET, Data::None, 0, 0}, Status,
          {C, DAT_CAPABILITY, MSG_GET, Data::Cap, ICAP_PIXELTYPE, 0}, Status,
          {C, DAT_CAPABILITY, MSG_GET, Data::Cap, 0x7777, 0}, Status,
          {C, DAT_CAPABILITY, MSG_GET, Data::None, 0, 0}, Status,
          {C, DAT_PENDINGXFERS, MSG_GET, Data::Pending, 0, 0, "-> 0; 00005a5a5a5a"},  // Count 0
          {C, DAT_PENDINGXFERS, MSG_ENDXFER, Data::Pending, 0, 0},
          Status, {C, DAT_PENDINGXFERS, MSG_GET, Data::None, 0, 0}, Status,
          {C, DAT_XFERGROUP, MSG_GET, Data::Group, 0, 0, "-> 0; 02000000"},  // DG_IMAGE, all four bytes
          {C, DAT_XFERGROUP, MSG_SET, Data::Group, 0, 0}, Status,
          {C, DAT_SETUPMEMXFER, MSG_GET, Data::SetupMem, 0, 0}, Status,
          {C, DAT_SETUPFILEXFER, MSG_GET, Data::SetupFile, 0, 0}, Status,
          {C, DAT_SETUPFILEXFER, MSG_SET, Data::None, 0, 0}, Status, EnableNoUi, Status,
          {C, DAT_USERINTERFACE, MSG_ENABLEDS, Data::None, 0, 0}, Status,
          {C, DAT_USERINTERFACE, MSG_DISABLEDS, Data::Ui, 0, 0}, Status, {I, DAT_IMAGEINFO, MSG_GET, Data::Info, 0, 0},
          Status, {I, DAT_IMAGELAYOUT, MSG_GET, Data::Layout, 0, 0}, Status,
          {I, DAT_IMAGENATIVEXFER, MSG_GET, Data::Native, 0, 0}, Status,
          {I, DAT_IMAGEMEMXFER, MSG_GET, Data::Strip, 4096, 0}, Status,
          {I, DAT_IMAGEFILEXFER, MSG_GET, Data::None, 0, 0}, Status,
          {C, DAT_EVENT, MSG_PROCESSEVENT, Data::Event, MSG_XFERREADY, 0},
          {C, DAT_STATUS, MSG_GET, Data::None, 0, 0}, Close, Status, Status}},
        {"null_data_blocks",
         {Open, {C, DAT_CAPABILITY, MSG_GET, Data::Cap, ICAP_PIXELTYPE, 0},
          {C, DAT_CAPABILITY, MSG_GET, Data::None, 0, 0}, Status, {C, DAT_USERINTERFACE, MSG_ENABLEDS, Data::None, 0, 0},
          Status, {C, DAT_PENDINGXFERS, MSG_GET, Data::Pending, 0, 0}, {C, DAT_IMAGEINFO, MSG_GET, Data::None, 0, 0},
          Status, {C, DAT_STATUS, MSG_GET, Data::None, 0, 0}, {C, DAT_SETUPMEMXFER, MSG_GET, Data::None, 0, 0},
          {C, DAT_STATUS, MSG_GET, Data::None, 0, 0}, Status, {I, DAT_IMAGEINFO, MSG_GET, Data::None, 0, 0}, Status,
          {C, DAT_IDENTITY, MSG_GET, Data::None, 0, 0}, Status, Close}},
        {"unknown_while_open",
         {Open, {C, DAT_NULL, MSG_GET, Data::None, 0, 0}, Status, {C, DAT_IDENTITY, MSG_GETFIRST, Data::Identity, 0, 0},
          Status, {I, 0x0199, MSG_GET, Data::Pending, 0, 0}, Status, {4, DAT_NULL, MSG_GET, Data::None, 0, 0}, Status,
          {C, DAT_IDENTITY, MSG_GET, Data::Identity, 0, 0}, Close}},
        {"latest_failure_named",
         {Open, Memory, EnableNoUi, Open, {I, DAT_IMAGEMEMXFER, MSG_GET, Data::Strip, 16, 0}, Status, Status,
          {C, DAT_PENDINGXFERS, MSG_RESET, Data::Pending, 0, 0}, Close}},
        {"oversized_container_then_strip",
         {Open, Memory, {C, DAT_CAPABILITY, MSG_SET, Data::CapBytes, CAP_XFERCOUNT, 61441}, EnableNoUi,
          {I, DAT_IMAGEMEMXFER, MSG_GET, Data::Strip, 16, 0}, Status, Status, Close}},
        {"close_in_state_3",
         {Close, Status, Status, Open, Close, Status}},
        {"close_in_state_6",
         {Open, EnableNoUi, {C, DAT_PENDINGXFERS, MSG_GET, Data::Pending, 0, 0}, Close, Status, Status,
          {C, DAT_CAPABILITY, MSG_GET, Data::Cap, ICAP_PIXELTYPE, 0}, Status}},
        {"odd_strip_buffers",
         {Open, Memory, EnableNoUi, {I, DAT_IMAGEMEMXFER, MSG_GET, Data::Strip, 0, 0}, Status,
          {I, DAT_IMAGEMEMXFER, MSG_GET, Data::Strip, 1, 0}, Status, {I, DAT_IMAGEMEMXFER, MSG_GET, Data::None, 0, 0},
          Status, {I, DAT_IMAGEMEMXFER, MSG_GET, Data::Strip, 3 * 768, 0},
          // Longer than the image section both processes map: the rest of
          // the frame, the buffer's tail untouched.
          {I, DAT_IMAGEMEMXFER, MSG_GET, Data::Strip, 17u << 20, 0},
          {I, DAT_IMAGEMEMXFER, MSG_GET, Data::Strip, 0, 0}, Status,
          {C, DAT_PENDINGXFERS, MSG_ENDXFER, Data::Pending, 0, 0}, Status, Close}},
        // Strips of odd sizes, the size changing between strips, a frame
        // ended midway, the next frame's strips up to its last one.
        {"strips_resized_and_ended_midway",
         {Open, Memory, {C, DAT_CAPABILITY, MSG_SET, Data::CapSet, CAP_XFERCOUNT, 3}, EnableNoUi,
          {I, DAT_IMAGEMEMXFER, MSG_GET, Data::Strip, 4096, 0}, {I, DAT_IMAGEMEMXFER, MSG_GET, Data::Strip, 1537, 0},
          {I, DAT_IMAGEMEMXFER, MSG_GET, Data::Strip, 5 * 768 + 11, 0},
          {I, DAT_IMAGEMEMXFER, MSG_GET, Data::Strip, 767, 0}, Status,
          {C, DAT_PENDINGXFERS, MSG_ENDXFER, Data::Pending, 0, 0},
          // 100, 199, 5 and 271 rows, then the last row and a strip too many.
          {I, DAT_IMAGEMEMXFER, MSG_GET, Data::Strip, 100 * 768 + 1, 0},
          {I, DAT_IMAGEMEMXFER, MSG_GET, Data::Strip, 200 * 768 - 1, 0},
          {I, DAT_IMAGEMEMXFER, MSG_GET, Data::Strip, 4096, 0},
          {I, DAT_IMAGEMEMXFER, MSG_GET, Data::Strip, 272 * 768 - 1, 0},
          {I, DAT_IMAGEMEMXFER, MSG_GET, Data::Strip, 4096, 0},
          {I, DAT_IMAGEMEMXFER, MSG_GET, Data::Strip, 4096, 0}, Status,
          {C, DAT_PENDINGXFERS, MSG_ENDXFER, Data::Pending, 0, 0},
          {I, DAT_IMAGEMEMXFER, MSG_GET, Data::Strip, 4096, 0},
          {C, DAT_PENDINGXFERS, MSG_RESET, Data::Pending, 0, 0}, Status, Close}},
        {"region_and_setup",
         {Open, {C, DAT_CUSTOMDSDATA, MSG_GET, Data::SetupGet, 0, 0},
          {I, DAT_IMAGELAYOUT, MSG_SET, Data::LayoutSet, 0, 0}, {I, DAT_IMAGELAYOUT, MSG_GET, Data::Layout, 0, 0},
          {C, DAT_CUSTOMDSDATA, MSG_SET, Data::SetupSet, 1, 0}, Status,
          {C, DAT_CUSTOMDSDATA, MSG_SET, Data::SetupSet, 2, 0}, Status,
          {C, DAT_CUSTOMDSDATA, MSG_SET, Data::SetupSet, 3, 0}, Status,
          {C, DAT_CUSTOMDSDATA, MSG_SET, Data::SetupSet, 4, 0}, {C, DAT_STATUS, MSG_GET, Data::Status, 0, 0, "-> 0; 0a000000"},
          {C, DAT_CUSTOMDSDATA, MSG_SET, Data::None, 0, 0}, Status,
          {C, DAT_CUSTOMDSDATA, MSG_RESET, Data::SetupGet, 0, 0}, Status,
          {C, DAT_CUSTOMDSDATA, MSG_SET, Data::SetupSet, 0, 0}, {I, DAT_IMAGELAYOUT, MSG_GET, Data::Layout, 0, 0},
          {I, DAT_IMAGELAYOUT, MSG_SET, Data::LayoutSet, 0, 0}, {C, DAT_CUSTOMDSDATA, MSG_GET, Data::SetupGet, 0, 0},
          EnableNoUi, {C, DAT_CUSTOMDSDATA, MSG_SET, Data::SetupSet, 0, 0}, Status,
          {C, DAT_CUSTOMDSDATA, MSG_SET, Data::SetupSet, 4, 0}, {C, DAT_STATUS, MSG_GET, Data::Status, 0, 0, "-> 0; 0b000000"},
          {C, DAT_CUSTOMDSDATA, MSG_GET, Data::SetupGet, 0, 0}, {I, DAT_IMAGEINFO, MSG_GET, Data::Info, 0, 0},
          {I, DAT_IMAGENATIVEXFER, MSG_GET, Data::Native, 0, 0}, Close, Status}},
        {"board_capabilities",
         {Open, Get(CAP_SUPPORTEDCAPS), Get(ICAP_BRIGHTNESS), Get(ICAP_CONTRAST, MSG_QUERYSUPPORT),
          {C, DAT_CAPABILITY, MSG_SET, Data::CapFix32, ICAP_BRIGHTNESS, 500}, Get(ICAP_BRIGHTNESS, MSG_GETCURRENT),
          {C, DAT_CAPABILITY, MSG_SET, Data::CapFix32, ICAP_CONTRAST, 1001}, Status, Get(VideoFormat),
          Get(ICAP_HIGHLIGHT), Status, {C, DAT_CAPABILITY, MSG_SET, Data::CapName, VideoFormat, 1}, Status,
          {C, DAT_CAPABILITY, MSG_SET, Data::CapName, VideoFormat, 0}, Get(VideoFormat, MSG_GETCURRENT),
          Get(CAP_SUPPORTEDCAPS), Get(ICAP_SHADOW), {C, DAT_CAPABILITY, MSG_SET, Data::CapFix32, ICAP_HIGHLIGHT, 200},
          Get(ICAP_HIGHLIGHT, MSG_RESET), Get(Channel), Get(ICAP_BRIGHTNESS), Status, EnableNoUi,
          {C, DAT_CAPABILITY, MSG_SET, Data::CapName, VideoFormat, 0}, Status, Get(VideoFormat, MSG_RESET), Status,
          {C, DAT_PENDINGXFERS, MSG_RESET, Data::Pending, 0, 0}, {C, DAT_USERINTERFACE, MSG_DISABLEDS, Data::Ui, 0, 0}, Get(VideoFormat, MSG_RESET), Get(Channel), Close}},
        {"file_formats",
         {Open, Get(ICAP_IMAGEFILEFORMAT), Get(ICAP_JPEGQUALITY), Get(ICAP_JPEGQUALITY, MSG_QUERYSUPPORT),
          {C, DAT_CAPABILITY, MSG_SET, Data::CapSet, ICAP_IMAGEFILEFORMAT, TWFF_PNG},
          Get(ICAP_IMAGEFILEFORMAT, MSG_GETCURRENT), {C, DAT_CAPABILITY, MSG_SET, Data::CapSet, ICAP_JPEGQUALITY, 90},
          Status, Get(ICAP_JPEGQUALITY, MSG_RESET), Get(ICAP_IMAGEFILEFORMAT, MSG_RESET), Status, Close}},
        {"automatic_capture_negotiated",
         {Open, Get(CAP_AUTOMATICCAPTURE), Get(CAP_CLEARBUFFERS), Get(CAP_TIMEBETWEENCAPTURES, MSG_QUERYSUPPORT),
          {C, DAT_CAPABILITY, MSG_SET, Data::CapInt32, CAP_AUTOMATICCAPTURE, 5},
          {C, DAT_CAPABILITY, MSG_SET, Data::CapInt32, CAP_TIMEBEFOREFIRSTCAPTURE, 0xFFFFFFFF}, Status,
          {C, DAT_CAPABILITY, MSG_SET, Data::CapInt32, CAP_TIMEBETWEENCAPTURES, 200},
          {C, DAT_CAPABILITY, MSG_SET, Data::CapSet, CAP_CLEARBUFFERS, TWCB_NOCLEAR}, Get(CAP_AUTOMATICCAPTURE, MSG_GETCURRENT),
          Get(CAP_TIMEBETWEENCAPTURES, MSG_GETCURRENT), Get(CAP_CLEARBUFFERS, MSG_GETCURRENT),
          Get(CAP_AUTOMATICCAPTURE, MSG_RESET), Get(CAP_CLEARBUFFERS, MSG_RESET), Get(CAP_MAXBATCHBUFFERS), Close}},
        {"twain2_face",
         {OpenAsTwainTwo, Get(CAP_XFERCOUNT), Get(CAP_FEEDERENABLED), Get(CAP_SUPPORTEDDATS), Get(CAP_SUPPORTEDCAPS),
          Get(CAP_UICONTROLLABLE), Get(CAP_UICONTROLLABLE, MSG_QUERYSUPPORT), Get(ICAP_JPEGQUALITY),
          {C, DAT_CAPABILITY, MSG_SET, Data::CapSet, CAP_UICONTROLLABLE, 1}, Status,
          {C, DAT_CAPABILITY, MSG_SET, Data::CapSet, ICAP_PIXELTYPE, TWPT_RGB}, Get(ICAP_PIXELTYPE, MSG_RESET),
          {C, DAT_CAPABILITY, MSG_SET, Data::CapFix32, ICAP_BRIGHTNESS, 500}, Get(ICAP_BRIGHTNESS, MSG_GETDEFAULT),
          Get(ICAP_BRIGHTNESS, MSG_RESET), {C, DAT_CAPABILITY, MSG_SET, Data::CapInt32, CAP_XFERCOUNT, 2},
          {C, DAT_CAPABILITY, MSG_SET, Data::CapSet, ICAP_XFERMECH, TWSX_MEMORY},
          {C, DAT_CAPABILITY, MSG_RESETALL, Data::Cap, 0, 0, "-> 0; 00000000 container kept"},
          Get(CAP_XFERCOUNT, MSG_GETCURRENT), Get(ICAP_XFERMECH, MSG_GETCURRENT), EnableNoUi,
          {C, DAT_CAPABILITY, MSG_RESETALL, Data::Cap, 0, 0}, Status, {I, DAT_IMAGENATIVEXFER, MSG_SET, Data::Native, 0, 0},
          Status, {I, DAT_IMAGENATIVEXFER, MSG_GET, Data::Native, 0, 0},
          {C, DAT_PENDINGXFERS, MSG_ENDXFER, Data::Pending, 0, 0}, Close}},
        {"native_transfer",
         {Open, EnableNoUi, {I, DAT_IMAGEINFO, MSG_GET, Data::Info, 0, 0},
          {I, DAT_IMAGENATIVEXFER, MSG_GET, Data::Native, 0, 0}, {I, DAT_IMAGENATIVEXFER, MSG_GET, Data::Native, 0, 0},
          Status, {C, DAT_PENDINGXFERS, MSG_ENDXFER, Data::Pending, 0, 0},
          {C, DAT_USERINTERFACE, MSG_DISABLEDS, Data::Ui, 0, 0}, Status, Close, Status}},
    };
    // The strips again with the trace off: served from the section.
    for (const char* name : {"odd_strip_buffers", "strips_resized_and_ended_midway"}) {
        for (const Sequence& traced : std::vector<Sequence>(sequences)) {
            if (std::strcmp(traced.Name, name) == 0) {
                const bool odd = std::strcmp(name, "odd_strip_buffers") == 0;
                sequences.push_back({odd ? "odd_strip_buffers_untraced" : "strips_resized_and_ended_midway_untraced",
                                     traced.Steps, false});
            }
        }
    }
    return sequences;
}

std::string Hex(const void* bytes, size_t size)
{
    std::string text;
    char two[3];
    for (size_t i = 0; i < size; ++i) {
        std::snprintf(two, sizeof two, "%02x", static_cast<const uint8_t*>(bytes)[i]);
        text += two;
    }
    return text;
}

uint32_t Fnv(const uint8_t* bytes, size_t size)
{
    uint32_t hash = 2166136261u;
    for (size_t i = 0; i < size; ++i) {
        hash = (hash ^ bytes[i]) * 16777619u;
    }
    return hash;
}

// The setup block the last SetupGet step received.
std::vector<uint8_t> SavedSetup;

std::string BlockText(HGLOBAL block)
{
    if (block == nullptr) {
        return "no block";
    }
    const std::vector<uint8_t> bytes = BlockBytes(block);
    GlobalFree(block);
    char text[64];
    std::snprintf(text, sizeof text, "block %zu bytes hash %08x", bytes.size(), Fnv(bytes.data(), bytes.size()));
    return bytes.size() <= 64 ? "block " + Hex(bytes.data(), bytes.size()) : text;
}

template <typename T>
void Fill(T& structure)
{
    std::memset(&structure, 0x5A, sizeof structure);
}

// Calls one step and writes down what the application sees.
std::string RunStep(DsModule& ds, const Step& step)
{
    TW_IDENTITY identity;
    TW_USERINTERFACE ui;
    TW_CAPABILITY cap;
    TW_STATUS status;
    TW_PENDINGXFERS pending;
    TW_SETUPMEMXFER setupMem;
    TW_SETUPFILEXFER setupFile;
    TW_UINT32 group;
    TW_IMAGEINFO info;
    TW_IMAGELAYOUT layout;
    TW_HANDLE bitmap = nullptr;
    TW_IMAGEMEMXFER strip;
    TW_EVENT event;
    TW_CUSTOMDSDATA setup = {0, nullptr};
    std::vector<uint8_t> buffer(step.A + 1, 0x5A);
    void* data = nullptr;
    switch (step.Kind) {
    case Data::None: break;
    case Data::Identity:
        Fill(identity);
        if (step.MSG == MSG_OPENDS) {
            identity = TestAppIdentity(41);
            std::strcpy(identity.ProductName, "Talvenix Matrox Orion driver");
            // The application's identity goes as the origin: the rig's.
            ds.App.SupportedGroups = DG_CONTROL | DG_IMAGE | (step.A == 2 ? DF_APP2 : 0);
        }
        data = &identity;
        break;
    case Data::Ui: ui = {static_cast<TW_BOOL>(step.A), 0, nullptr}; data = &ui; break;
    case Data::Cap: cap = {static_cast<TW_UINT16>(step.A), 0, nullptr}; data = &cap; break;
    case Data::CapSet:
        cap = {static_cast<TW_UINT16>(step.A), TWON_ONEVALUE, GlobalBlock(OneValueBytes(TWTY_UINT16, step.B))};
        data = &cap;
        break;
    case Data::CapInt32:
        cap = {static_cast<TW_UINT16>(step.A), TWON_ONEVALUE, GlobalBlock(OneValueBytes(TWTY_INT32, step.B))};
        data = &cap;
        break;
    case Data::CapFix32:
        cap = {static_cast<TW_UINT16>(step.A), TWON_ONEVALUE, GlobalBlock(OneValueBytes(TWTY_FIX32, step.B & 0xFFFF))};
        data = &cap;
        break;
    case Data::CapName: {
        std::vector<uint8_t> bytes(2 + sizeof(TW_STR32), 0);
        bytes[0] = TWTY_STR32;
        std::memcpy(bytes.data() + 2, FormatNames[step.B], std::strlen(FormatNames[step.B]));
        cap = {static_cast<TW_UINT16>(step.A), TWON_ONEVALUE, GlobalBlock(bytes)};
        data = &cap;
        break;
    }
    case Data::CapBytes: {
        std::vector<uint8_t> bytes = OneValueBytes(TWTY_INT16, 1);
        bytes.resize(step.B, 0);
        cap = {static_cast<TW_UINT16>(step.A), TWON_ONEVALUE, GlobalBlock(bytes)};
        data = &cap;
        break;
    }
    case Data::Status: Fill(status); data = &status; break;
    case Data::Pending: Fill(pending); data = &pending; break;
    case Data::SetupMem: Fill(setupMem); data = &setupMem; break;
    case Data::SetupFile: Fill(setupFile); data = &setupFile; break;
    case Data::Group: Fill(group); data = &group; break;
    case Data::Info: Fill(info); data = &info; break;
    case Data::Layout: Fill(layout); data = &layout; break;
    case Data::LayoutSet:
        layout = {{{10, 0}, {20, 0}, {110, 0}, {220, 0}}, 0, 0, 0};
        data = &layout;
        break;
    case Data::SetupGet: setup = {0x5A5A5A5A, nullptr}; data = &setup; break;
    case Data::SetupSet: {
        std::vector<uint8_t> bytes = SavedSetup;
        if (step.A == 1 && !bytes.empty()) {
            bytes.back() ^= 1;
        } else if (step.A == 2 && !bytes.empty()) {
            bytes.pop_back();
        }
        // A movable block of no bytes cannot be locked.
        setup = {static_cast<TW_UINT32>(bytes.size()),
                 step.A == 3 ? nullptr : step.A == 4 ? GlobalAlloc(GMEM_MOVEABLE, 0) : GlobalBlock(bytes)};
        data = &setup;
        break;
    }
    case Data::Native: data = &bitmap; break;
    case Data::Strip:
        Fill(strip);
        strip.Memory = {TWMF_APPOWNS | TWMF_POINTER, step.A, buffer.data()};
        data = &strip;
        break;
    case Data::Event: event = {nullptr, static_cast<TW_UINT16>(step.A)}; data = &event; break;
    }
    HGLOBAL sent = step.Kind == Data::CapSet || step.Kind == Data::CapInt32 || step.Kind == Data::CapBytes || step.Kind == Data::CapFix32 ||
                           step.Kind == Data::CapName
                       ? cap.hContainer
                   : step.Kind == Data::SetupSet ? setup.hData
                                                 : nullptr;
    const TW_UINT16 result = ds.Call(step.DG, step.DAT, step.MSG, data);
    char head[96];
    std::snprintf(head, sizeof head, "DG %lx DAT %x MSG %x -> %u; ", static_cast<unsigned long>(step.DG), step.DAT,
                  step.MSG, result);
    std::string text = head;
    switch (step.Kind) {
    case Data::None: break;
    case Data::Identity: text += Hex(&identity, sizeof identity); break;
    case Data::Ui: text += Hex(&ui, 4); break;
    case Data::Cap:
    case Data::CapSet:
    case Data::CapInt32:
    case Data::CapBytes:
    case Data::CapFix32:
    case Data::CapName:
        text += Hex(&cap, 4) + " ";
        text += cap.hContainer == sent ? "container kept" : BlockText(cap.hContainer);
        GlobalFree(sent);
        break;
    case Data::Status: text += Hex(&status, sizeof status); break;
    case Data::Pending: text += Hex(&pending, sizeof pending); break;
    case Data::SetupMem: text += Hex(&setupMem, sizeof setupMem); break;
    case Data::SetupFile: text += Hex(&setupFile, sizeof setupFile); break;
    case Data::Group: text += Hex(&group, sizeof group); break;
    case Data::Info: text += Hex(&info, sizeof info); break;
    case Data::Layout:
    case Data::LayoutSet: text += Hex(&layout, sizeof layout); break;
    case Data::SetupGet:
    case Data::SetupSet:
        text += Hex(&setup.InfoLength, sizeof setup.InfoLength) + " ";
        if (step.Kind == Data::SetupGet && setup.hData != nullptr) {
            SavedSetup = BlockBytes(setup.hData);
        }
        text += setup.hData == sent ? "block kept" : BlockText(setup.hData);
        GlobalFree(sent);
        break;
    case Data::Native: text += BlockText(bitmap); break;
    case Data::Strip: {
        // Up to TheMem, which holds a pointer.
        text += Hex(&strip, offsetof(TW_IMAGEMEMXFER, Memory)) + " " + Hex(&strip.Memory, 8);
        char hash[32];
        std::snprintf(hash, sizeof hash, " buffer %08x", Fnv(buffer.data(), buffer.size()));
        text += hash;
        break;
    }
    case Data::Event: text += Hex(&event.TWMessage, sizeof event.TWMessage); break;
    }
    return text + "\n";
}

// The log's lines that differ from run to run (the time, the memory free)
// lose their figures.
std::string SteadyLog(const std::string& log)
{
    std::string steady;
    size_t from = 0;
    while (from < log.size()) {
        size_t end = log.find('\n', from);
        end = end == std::string::npos ? log.size() : end + 1;
        std::string line = log.substr(from, end - from);
        const bool varies = line.rfind("Log created ", 0) == 0 || line.find(" memory: avail") != std::string::npos;
        for (size_t i = 0; i < line.size(); ++i) {
            const bool digit = line[i] >= '0' && line[i] <= '9';
            if (!varies || !digit) {
                steady += line[i];
            } else if (i == 0 || line[i - 1] < '0' || line[i - 1] > '9') {
                steady += '#';
            }
        }
        from = end;
    }
    return steady;
}

}  // namespace

int TwinSequenceCount()
{
    return static_cast<int>(Sequences().size());
}

const char* TwinSequenceName(int index)
{
    return Sequences()[static_cast<size_t>(index)].Name;
}

bool TwinSequenceTraced(int index)
{
    return Sequences()[static_cast<size_t>(index)].Traced;
}

std::string RunTwinSequence(DsModule& ds, int index, const std::string& logPath)
{
    DeleteFileA(logPath.c_str());
    std::string transcript;
    for (const Step& step : Sequences()[static_cast<size_t>(index)].Steps) {
        const std::string line = RunStep(ds, step);
        transcript += line;
        if (step.Expect != nullptr && line.find(std::string(step.Expect) + "\n") == std::string::npos) {
            transcript += std::string(TwinExpectationMissed) + step.Expect + "\n";
        }
    }
    // Whatever state the sequence left, the next one starts closed.
    TW_IDENTITY identity = {};
    ds.Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &identity);
    const std::string log = ReadFileText(logPath);
    DeleteFileA(logPath.c_str());
    return transcript + "log:\n" + SteadyLog(log) + "\nend\n";
}
