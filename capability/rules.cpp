// The rule of every negotiable capability, and the table that routes a
// capability id to it. Each rule is a row of data run by one interpreter, so
// the rules differ only where their answers differ.
#include <algorithm>

#include "capability/container.h"
#include "capability/negotiation.h"
#include "settings/source_settings.h"
#include "twain/condition.h"
#include "twain/debug_log.h"
#include "twain/little_endian.h"
#include "twain/manager.h"
#include "twain/source.h"

namespace {

// Initial: the container the capability starts with (a one value's default,
// which the stored value no longer tells once it is set).
enum class Query { Copy, Current, Default, Initial, Width, Height, NativeX, NativeY, Online, Supported,
                   SupportedDats };

enum class Setting {
    Choice,    // one value selects among the items, enumeration replaces them
    Fixed,     // the value never changes: only the value held is accepted
    Bool,      // one TWTY_BOOL value, 0 or 1
    Count,     // the transfer count
    Level,     // one signed value within a range, stored as sent
    Restore,   // MSG_RESET: back to the default container
    Unit,      // TWAIN 2: Choice and Restore; 1.x: Fixed (pixels only)
};

struct CapabilityRule {
    TW_UINT16 Cap;
    const char* Label;
    // Message names logged for MSG_GET, MSG_GETCURRENT, MSG_GETDEFAULT, MSG_SET, MSG_RESET.
    const char* Names[5];
    Query Get, GetCurrent, GetDefault;
    Setting Set;
    Setting Reset;      // Restore or Fixed (nothing to restore)
    bool QuietUnknown;  // no closing "\n" after a message the rule does not know
    // A level's bounds; its item type is the one its default holds.
    TW_INT32 Least = 0;
    TW_INT32 Most = 0;
    TW_INT32 (*MostNow)() = nullptr;  // a bound that depends on the machine, asked at each MSG_SET
};

#define GET "MSG_GET"
#define CUR "MSG_GETCURRENT"
#define DEF "MSG_GETDEFAULT"
#define SET "MSG_SET"
#define RST "MSG_RESET"

constexpr CapabilityRule XferCountRule = {CAP_XFERCOUNT, "\n CAP_XFERCOUNT (0x0001) ",
    {GET, CUR GET, DEF CUR GET, SET, RST}, Query::Current, Query::Current, Query::Current,
    Setting::Count, Setting::Restore, false};
constexpr CapabilityRule CompressionRule = {ICAP_COMPRESSION, "\n ICAP_COMPRESSION (0x0100) ",
    {GET, CUR, DEF CUR, SET, RST}, Query::Copy, Query::Current, Query::Default,
    Setting::Fixed, Setting::Fixed, false};
constexpr CapabilityRule PixelTypeRule = {ICAP_PIXELTYPE, "\n ICAP_PIXELTYPE (0x0101) ",
    {GET, CUR, DEF, SET, RST}, Query::Copy, Query::Current, Query::Default,
    Setting::Choice, Setting::Restore, false};
constexpr CapabilityRule UnitsRule = {ICAP_UNITS, "\n ICAP_UNITS (0x0102) ",
    {GET, CUR, DEF CUR, SET, RST}, Query::Copy, Query::Current, Query::Default,
    Setting::Unit, Setting::Unit, false};
constexpr CapabilityRule XferMechRule = {ICAP_XFERMECH, "\n ICAP_XFERMECH (0x0103) ",
    {GET, CUR, DEF, SET, RST}, Query::Copy, Query::Current, Query::Default,
    Setting::Choice, Setting::Restore, false};
constexpr CapabilityRule FeederEnabledRule = {CAP_FEEDERENABLED, "\n CAP_FEEDERENABLED (0x1002) ",
    {GET, CUR GET, DEF CUR GET, SET, RST}, Query::Current, Query::Current, Query::Current,
    Setting::Bool, Setting::Restore, false};
// Whether paper waits in the feeder is the device's to say: a frame grabber
// always has its next frame.
constexpr CapabilityRule FeederLoadedRule = {CAP_FEEDERLOADED, "\n CAP_FEEDERLOADED (0x1003) ",
    {GET, CUR GET, DEF CUR GET, SET, RST}, Query::Current, Query::Current, Query::Current,
    Setting::Fixed, Setting::Fixed, false};
constexpr CapabilityRule AutoFeedRule = {CAP_AUTOFEED, "\n CAP_AUTOFEED (0x1007) ",
    {GET, CUR GET, DEF CUR GET, SET, RST}, Query::Current, Query::Current, Query::Current,
    Setting::Bool, Setting::Restore, false};
constexpr CapabilityRule SupportedCapsRule = {CAP_SUPPORTEDCAPS, "\n CAP_SUPPORTEDCAPS (0x1005) ",
    {GET, CUR GET, DEF CUR GET, SET, RST SET}, Query::Supported, Query::Supported, Query::Supported,
    Setting::Fixed, Setting::Fixed, false};
constexpr CapabilityRule UiControllableRule = {CAP_UICONTROLLABLE, "\n CAP_UICONTROLLABLE (0x100e) ",
    {GET, CUR GET, DEF CUR GET, SET RST, RST}, Query::Copy, Query::Copy, Query::Copy,
    Setting::Fixed, Setting::Fixed, false};
constexpr CapabilityRule DeviceOnlineRule = {CAP_DEVICEONLINE, "\n CAP_DEVICEONLINE (0x100f) ",
    {GET, CUR, DEF, SET, RST}, Query::Online, Query::Online, Query::Online,
    Setting::Fixed, Setting::Fixed, false};
constexpr CapabilityRule PhysicalWidthRule = {ICAP_PHYSICALWIDTH, "\n ICAP_PHYSICALWIDTH (0x1111) ",
    {GET CUR DEF, CUR DEF, DEF, SET RST, RST}, Query::Width, Query::Width, Query::Width,
    Setting::Fixed, Setting::Fixed, true};
constexpr CapabilityRule PhysicalHeightRule = {ICAP_PHYSICALHEIGHT, "\n ICAP_PHYSICALHEIGHT (0x1112) ",
    {GET CUR DEF, CUR DEF, DEF, SET RST, RST}, Query::Height, Query::Height, Query::Height,
    Setting::Fixed, Setting::Fixed, true};
constexpr CapabilityRule XResolutionRule = {ICAP_XRESOLUTION, "\n ICAP_XRESOLUTION (0x1118) ",
    {GET, CUR DEF GET, DEF GET, SET RST, RST}, Query::Copy, Query::Copy, Query::Copy,
    Setting::Fixed, Setting::Fixed, true};
constexpr CapabilityRule YResolutionRule = {ICAP_YRESOLUTION, "\n ICAP_YRESOLUTION (0x1119) ",
    {GET, CUR DEF GET, DEF GET, SET RST, RST}, Query::Copy, Query::Copy, Query::Copy,
    Setting::Fixed, Setting::Fixed, true};
constexpr CapabilityRule EnableUiOnlyRule = {CAP_ENABLEDSUIONLY, "\n CAP_ENABLEDSUIONLY (0x1014) ",
    {GET, CUR GET, DEF CUR GET, SET, RST}, Query::Copy, Query::Copy, Query::Copy,
    Setting::Fixed, Setting::Fixed, false};
constexpr CapabilityRule CustomDsDataRule = {CAP_CUSTOMDSDATA, "\n CAP_CUSTOMDSDATA (0x1015) ",
    {GET, CUR GET, DEF CUR GET, SET, RST}, Query::Copy, Query::Copy, Query::Copy,
    Setting::Fixed, Setting::Fixed, false};
constexpr CapabilityRule BitOrderRule = {ICAP_BITORDER, "\n ICAP_BITORDER (0x111c)",
    {GET, CUR, DEF, SET, RST}, Query::Copy, Query::Copy, Query::Copy,
    Setting::Fixed, Setting::Fixed, true};
constexpr CapabilityRule PixelFlavorRule = {ICAP_PIXELFLAVOR, "\n ICAP_PIXELFLAVOR (0x111f) ",
    {GET, CUR GET, DEF CUR GET, SET, RST}, Query::Copy, Query::Copy, Query::Copy,
    Setting::Fixed, Setting::Fixed, false};
constexpr CapabilityRule PlanarChunkyRule = {ICAP_PLANARCHUNKY, "\n ICAP_PLANARCHUNKY (0x1120) ",
    {GET, CUR, DEF CUR, SET RST, RST}, Query::Copy, Query::Current, Query::Default,
    Setting::Fixed, Setting::Fixed, false};
constexpr CapabilityRule BitDepthRule = {ICAP_BITDEPTH, "\n ICAP_BITDEPTH (0x112b) ",
    {GET, CUR GET, DEF CUR GET, SET RST, RST}, Query::Current, Query::Current, Query::Current,
    Setting::Fixed, Setting::Fixed, false};
constexpr CapabilityRule ImageFileFormatRule = {ICAP_IMAGEFILEFORMAT, "\n ICAP_IMAGEFILEFORMAT (0x110c) ",
    {GET, CUR, DEF, SET, RST}, Query::Copy, Query::Current, Query::Default,
    Setting::Choice, Setting::Restore, false};
// 0 to 100, or one of the named levels low, medium and high (-3 to -1).
constexpr CapabilityRule JpegQualityRule = {ICAP_JPEGQUALITY, "\n ICAP_JPEGQUALITY (0x1153) ",
    {GET, CUR, DEF, SET, RST}, Query::Current, Query::Current, Query::Initial,
    Setting::Level, Setting::Restore, false, TWJQ_LOW, 100};
// Automatic capture: how many images, and when (milliseconds). A day of
// frames a second is well inside the bounds; a negative count or time means
// nothing.
constexpr CapabilityRule AutomaticCaptureRule = {CAP_AUTOMATICCAPTURE, "\n CAP_AUTOMATICCAPTURE (0x101a) ",
    {GET, CUR, DEF, SET, RST}, Query::Current, Query::Current, Query::Initial,
    Setting::Level, Setting::Restore, false, 0, 0x7FFFFFFF};
constexpr CapabilityRule TimeBeforeFirstRule = {CAP_TIMEBEFOREFIRSTCAPTURE, "\n CAP_TIMEBEFOREFIRSTCAPTURE (0x101b) ",
    {GET, CUR, DEF, SET, RST}, Query::Current, Query::Current, Query::Initial,
    Setting::Level, Setting::Restore, false, 0, 0x7FFFFFFF};
constexpr CapabilityRule TimeBetweenRule = {CAP_TIMEBETWEENCAPTURES, "\n CAP_TIMEBETWEENCAPTURES (0x101c) ",
    {GET, CUR, DEF, SET, RST}, Query::Current, Query::Current, Query::Initial,
    Setting::Level, Setting::Restore, false, 0, 0x7FFFFFFF};
// Frames the image buffers may hold: each is a whole frame of the current
// format, and together they take at most half the memory and half the
// address space still free (the application and its transfers need the
// rest).
TW_INT32 MostBatchBuffers()
{
    const uint64_t frame = static_cast<uint64_t>(GetImageWidth()) * GetImageHeight() * (GetBandCount() == 3 ? 4 : 1);
    MEMORYSTATUSEX memory = {};
    memory.dwLength = sizeof memory;
    if (frame == 0 || !GlobalMemoryStatusEx(&memory)) {
        return 1;
    }
    const uint64_t room = std::min(memory.ullAvailPhys, memory.ullAvailVirtual) / 2 / frame;
    return static_cast<TW_INT32>(std::max<uint64_t>(1, std::min<uint64_t>(room, 10000)));
}

constexpr CapabilityRule MaxBatchBuffersRule = {CAP_MAXBATCHBUFFERS, "\n CAP_MAXBATCHBUFFERS (0x101e) ",
    {GET, CUR, DEF, SET, RST}, Query::Current, Query::Current, Query::Initial,
    Setting::Level, Setting::Restore, false, 1, 0, MostBatchBuffers};
constexpr CapabilityRule AverageFramesRule = {CUSTCAP_AVERAGEFRAMES, "\n CUSTCAP_AVERAGEFRAMES (0x8003) ",
    {GET, CUR, DEF, SET, RST}, Query::Current, Query::Current, Query::Initial,
    Setting::Level, Setting::Restore, false, 1, 64};
// Whether the application asks DAT_EXTIMAGEINFO (answered either way).
constexpr CapabilityRule ExtImageInfoRule = {CAP_EXTIMAGEINFO, "\n CAP_EXTIMAGEINFO (0x102f) ",
    {GET, CUR, DEF, SET, RST}, Query::Current, Query::Current, Query::Initial,
    Setting::Bool, Setting::Restore, false};
constexpr CapabilityRule ClearBuffersRule = {CAP_CLEARBUFFERS, "\n CAP_CLEARBUFFERS (0x101d) ",
    {GET, CUR, DEF, SET, RST}, Query::Copy, Query::Current, Query::Default,
    Setting::Choice, Setting::Restore, false};
// The resolution the board delivers, in dots per inch; TWAIN 2 applications only.
constexpr CapabilityRule XNativeResolutionRule = {ICAP_XNATIVERESOLUTION, "\n ICAP_XNATIVERESOLUTION (0x1116) ",
    {GET, CUR, DEF, SET, RST}, Query::NativeX, Query::NativeX, Query::NativeX,
    Setting::Fixed, Setting::Fixed, false};
constexpr CapabilityRule YNativeResolutionRule = {ICAP_YNATIVERESOLUTION, "\n ICAP_YNATIVERESOLUTION (0x1117) ",
    {GET, CUR, DEF, SET, RST}, Query::NativeY, Query::NativeY, Query::NativeY,
    Setting::Fixed, Setting::Fixed, false};
// The DG/DAT pairs the source answers; TWAIN 2 applications only.
constexpr CapabilityRule SupportedDatsRule = {CAP_SUPPORTEDDATS, "\n CAP_SUPPORTEDDATS (0x1134) ",
    {GET, CUR, DEF, SET, RST}, Query::SupportedDats, Query::SupportedDats, Query::SupportedDats,
    Setting::Fixed, Setting::Fixed, false};

#undef GET
#undef CUR
#undef DEF
#undef SET
#undef RST


// The board lies above negotiation: it registers its probe here.
bool (*DeviceOnlineProbe)() = nullptr;

const BoardCapabilityRow* BoardRows = nullptr;
// The board's video format (its layer names it CUSTCAP_VIDEOFORMAT).
constexpr TW_UINT16 VideoFormatCap = CAP_CUSTOMBASE + 2;
int BoardRowCount = 0;

// Registered by the entry's layer, which owns the dispatch tables.
const TW_UINT32* SupportedDats = nullptr;
int SupportedDatCount = 0;

// What an application may only read: MSG_QUERYSUPPORT offers no MSG_SET
// nor MSG_RESET for them, and a TWAIN 2 application that sends one is told
// the capability does not do that operation. A 1.x application still has
// the value held accepted, as it always had.
constexpr TW_UINT16 ReadOnlyCaps[] = {CAP_SUPPORTEDCAPS,      CAP_SUPPORTEDDATS,     CAP_DEVICEONLINE,
                                      CAP_UICONTROLLABLE,     CAP_ENABLEDSUIONLY,    CAP_CUSTOMDSDATA,
                                      CAP_FEEDERLOADED,       ICAP_PHYSICALWIDTH,    ICAP_PHYSICALHEIGHT,
                                      ICAP_XNATIVERESOLUTION, ICAP_YNATIVERESOLUTION};

bool ReadOnly(TW_UINT16 cap)
{
    return std::find(std::begin(ReadOnlyCaps), std::end(ReadOnlyCaps), cap) != std::end(ReadOnlyCaps);
}

const BoardCapabilityRow* OfferedBoardRow(TW_UINT16 cap)
{
    for (int i = 0; i < BoardRowCount; ++i) {
        if (BoardRows[i].Cap == cap) {
            return BoardRows[i].Offered() ? &BoardRows[i] : nullptr;
        }
    }
    return nullptr;
}

// The table's capabilities, then those of the board the running digitizer
// offers: the list changes with the video format's data path.
TW_UINT16 AnswerSupported(TW_CAPABILITY& capability)
{
    TW_UINT16 table[SupportedCapabilityCount];
    SupportedCapabilityIds(table);
    TW_UINT16 ids[SupportedCapabilityCount + 3 + MaxBoardCapabilities];
    std::copy(table, table + SupportedCapabilityCount, ids);
    int count = SupportedCapabilityCount;
    if (TwainTwoApp) {
        for (TW_UINT16 cap : {CAP_SUPPORTEDDATS, ICAP_XNATIVERESOLUTION, ICAP_YNATIVERESOLUTION}) {
            ids[count++] = cap;
        }
    }
    for (int i = 0; i < BoardRowCount; ++i) {
        if (BoardRows[i].Offered()) {
            ids[count++] = BoardRows[i].Cap;
        }
    }
    capability.hContainer = MakeArray(static_cast<TW_UINT32>(count), TWTY_UINT16, ids);
    if (capability.hContainer == nullptr) {
        return RefuseCapability(TWCC_LOWMEMORY);
    }
    capability.ConType = TWON_ARRAY;
    return TWRC_SUCCESS;
}

TW_UINT16 AnswerQuery(Query form, TW_CAPABILITY& capability)
{
    switch (form) {
    case Query::Copy: return AnswerCopy(capability);
    case Query::Current: return AnswerCurrent(capability);
    case Query::Default: return AnswerDefault(capability);
    case Query::Initial: {
        TW_UINT16 conType = 0;
        HGLOBAL initial = MakeDefaultContainer(capability.Cap, conType);
        return HandOver(capability, conType, initial);
    }
    case Query::Width:
    case Query::Height: {
        // In the current unit: pixels (a 1.x application's only one), or
        // inches at the image's resolution.
        const TW_UINT32 pixels = form == Query::Width ? GetImageWidth() : GetImageHeight();
        const TW_FIX32 size = FloatToFix32(pixels / PixelsPerUnit(form == Query::Height));
        return AnswerOneValue(capability, TWTY_FIX32, &size);
    }
    case Query::NativeX:
    case Query::NativeY: {
        CapabilityItem resolution;
        if (!GetCurrentItem(form == Query::NativeX ? ICAP_XRESOLUTION : ICAP_YRESOLUTION, resolution)) {
            capability.hContainer = nullptr;
            return RefuseCapability(TWCC_BUMMER);
        }
        return AnswerOneValue(capability, resolution.ItemType, resolution.Bytes);
    }
    case Query::Online: {
        // Asked of the board each time: an application checks it before
        // it relies on the device, and after a failure to tell why.
        const TW_BOOL online = DeviceOnlineProbe != nullptr && DeviceOnlineProbe() ? 1 : 0;
        return AnswerOneValue(capability, TWTY_BOOL, &online);
    }
    case Query::Supported: return AnswerSupported(capability);
    case Query::SupportedDats:
        return HandOver(capability, TWON_ARRAY,
                        MakeArray(static_cast<TW_UINT32>(SupportedDatCount), TWTY_UINT32, SupportedDats));
    }
    return RefuseCapability(TWCC_BUMMER);
}

// True when every value of the application's enumeration is one the source
// offers at all, that is one of its default items: an application may narrow
// the list and widen it again, never to values the source does not have.
bool OffersAll(TW_UINT16 cap, const ContainerValues& wanted, TW_UINT16& refusal)
{
    TW_UINT16 conType = 0;
    HGLOBAL defaults = MakeDefaultContainer(cap, conType);
    ContainerValues offered;
    const bool read = defaults != nullptr && ReadValues(defaults, conType, offered);
    if (defaults != nullptr) {
        GlobalFree(defaults);
    }
    if (!read) {
        refusal = TWCC_LOWMEMORY;
        return false;
    }
    if (!ItemTypeCarries(wanted.ItemType, offered.ItemType)) {
        refusal = TWCC_BADVALUE;
        return false;
    }
    for (TW_UINT32 i = 0; i < wanted.Count; ++i) {
        if (!offered.Holds(wanted.Values[i])) {
            refusal = TWCC_BADVALUE;
            return false;
        }
    }
    return true;
}

TW_UINT16 SetChoice(const TW_CAPABILITY& capability)
{
    const CapabilityEntry* entry = FindCapability(capability.Cap);
    if (entry == nullptr || entry->ConType == TWON_ONEVALUE) {
        return RefuseCapability(TWCC_BUMMER);
    }
    if (capability.ConType == TWON_ONEVALUE) {
        return SelectEnumerationItem(capability);
    }
    if (capability.ConType != TWON_ENUMERATION) {
        return RefuseCapability(TWCC_BADPROTOCOL);
    }
    ContainerValues wanted;
    if (!ReadValues(capability.hContainer, TWON_ENUMERATION, wanted) || wanted.Count == 0) {
        return RefuseCapability(TWCC_BADVALUE);
    }
    TW_UINT16 refusal = TWCC_SUCCESS;
    if (!OffersAll(capability.Cap, wanted, refusal)) {
        return RefuseCapability(refusal);
    }
    return StoreAppContainer(capability);
}

// A fixed capability accepts what it holds, in whatever container carries
// the same values (a one value of its single item, the list MSG_GET handed
// over); that is what conformance checks and applications send back.
TW_UINT16 SetFixed(const CapabilityRule& rule, const TW_CAPABILITY& capability)
{
    if (capability.ConType != TWON_ONEVALUE && capability.ConType != TWON_ENUMERATION &&
        capability.ConType != TWON_ARRAY) {
        return RefuseCapability(TWCC_BADPROTOCOL);
    }
    ContainerValues wanted;
    if (!ReadValues(capability.hContainer, capability.ConType, wanted)) {
        return RefuseCapability(TWCC_BADVALUE);
    }
    TW_CAPABILITY held = {capability.Cap, 0, nullptr};
    if (AnswerQuery(rule.Get, held) != TWRC_SUCCESS) {
        return TWRC_FAILURE;
    }
    ContainerValues holds;
    const bool read = ReadValues(held.hContainer, held.ConType, holds);
    GlobalFree(held.hContainer);
    if (!read) {
        return RefuseCapability(TWCC_LOWMEMORY);
    }
    if (!ItemTypeCarries(wanted.ItemType, holds.ItemType)) {
        return RefuseCapability(TWCC_BADVALUE);
    }
    return wanted.SameAs(holds) ? TWRC_SUCCESS : RefuseCapability(TWCC_BADVALUE);
}

// A boolean flag: TWTY_BOOL, FALSE or TRUE; the item's upper bytes are
// not the boolean's.
TW_UINT16 SetBool(const TW_CAPABILITY& capability)
{
    if (capability.ConType != TWON_ONEVALUE) {
        return RefuseCapability(TWCC_BADPROTOCOL);
    }
    TW_UINT16 itemType = 0;
    TW_UINT32 item = 0;
    if (!ReadOneValueWord(capability.hContainer, itemType, item)) {
        return RefuseCapability(TWCC_BADVALUE);
    }
    if (itemType != TWTY_BOOL || (item & 0xFFFF) > 1) {
        return RefuseCapability(TWCC_BADVALUE);
    }
    return StoreAppContainer(capability);
}

// The count an integer item of `itemType` carries, by its own size and sign;
// false for an item that is no integer.
bool IntegerItem(TW_UINT16 itemType, TW_UINT32 item, int64_t& value)
{
    switch (itemType) {
    case TWTY_INT8: value = static_cast<TW_INT8>(item & 0xFF); return true;
    case TWTY_INT16: value = static_cast<TW_INT16>(item & 0xFFFF); return true;
    case TWTY_INT32: value = static_cast<TW_INT32>(item); return true;
    case TWTY_UINT8: value = item & 0xFF; return true;
    case TWTY_UINT16: value = item & 0xFFFF; return true;
    case TWTY_UINT32: value = item; return true;
    default: return false;
    }
}

TW_UINT16 SetCount(const TW_CAPABILITY& capability)
{
    if (capability.ConType != TWON_ONEVALUE) {
        return RefuseCapability(TWCC_BADPROTOCOL);
    }
    TW_UINT16 itemType = 0;
    TW_UINT32 item = 0;
    if (!ReadOneValueWord(capability.hContainer, itemType, item)) {
        return RefuseCapability(TWCC_BADVALUE);
    }
    // -1 is "any number", else 1 to 32767 images; an unsigned item cannot
    // say -1 (0xFFFFFFFF is a count far beyond), and no transfer at all is
    // nothing to enable for.
    int64_t count = 0;
    if (!IntegerItem(itemType, item, count) || (count != -1 && (count < 1 || count > 0x7FFF))) {
        return RefuseCapability(TWCC_BADVALUE);
    }
    // The capability stays the 16-bit signed one value its answers have
    // always been, whatever type the count came in.
    const auto value = static_cast<TW_INT16>(count);
    HGLOBAL container = MakeOneValue(TWTY_INT16, &value);
    if (container == nullptr) {
        return RefuseCapability(TWCC_LOWMEMORY);
    }
    if (!StoreCapability(CAP_XFERCOUNT, TWON_ONEVALUE, container)) {
        GlobalFree(container);
        return RefuseCapability(TWCC_LOWMEMORY);
    }
    return TWRC_SUCCESS;
}

// A level: one signed value of the item type its default holds, within the
// rule's bounds (the JPEG quality, the automatic capture's count and times).
TW_UINT16 SetLevel(const CapabilityRule& rule, const TW_CAPABILITY& capability)
{
    if (capability.ConType != TWON_ONEVALUE) {
        return RefuseCapability(TWCC_BADPROTOCOL);
    }
    CapabilityItem initial;
    if (!GetDefaultItem(rule.Cap, initial)) {
        return RefuseCapability(TWCC_BUMMER);
    }
    TW_UINT16 itemType = 0;
    TW_UINT32 item = 0;
    if (!ReadOneValueWord(capability.hContainer, itemType, item) || itemType != initial.ItemType) {
        return RefuseCapability(TWCC_BADVALUE);
    }
    // A 2-byte item is its first two bytes, whatever the application left
    // behind them. A count held unsigned (the batch buffers) is compared as
    // one; past 2^31 it is refused as a negative would be.
    if (ItemSize(itemType) == 2) {
        item &= 0xFFFF;
    }
    const TW_INT32 value = itemType == TWTY_INT16 ? static_cast<TW_INT16>(item) : static_cast<TW_INT32>(item);
    const TW_INT32 most = rule.MostNow != nullptr ? rule.MostNow() : rule.Most;
    if (value < rule.Least || value > most) {
        return RefuseCapability(TWCC_BADVALUE);
    }
    HGLOBAL container = MakeOneValue(itemType, &item);
    if (container == nullptr) {
        return RefuseCapability(TWCC_LOWMEMORY);
    }
    if (!StoreCapability(capability.Cap, TWON_ONEVALUE, container)) {
        GlobalFree(container);
        return RefuseCapability(TWCC_LOWMEMORY);
    }
    return TWRC_SUCCESS;
}

// MSG_RESET hands the value it leaves back, in the container MSG_GET
// answers. All or nothing: a reset whose answer cannot be handed over puts
// the former value back.
TW_UINT16 Reset(const CapabilityRule& rule, TW_CAPABILITY& capability)
{
    if (rule.Reset != Setting::Restore && !(rule.Reset == Setting::Unit && TwainTwoApp)) {
        return AnswerQuery(rule.Get, capability);
    }
    TW_UINT16 conType = 0;
    HGLOBAL restored = MakeDefaultContainer(rule.Cap, conType);
    CapabilityEntry former = {};
    if (restored == nullptr || !ExchangeCapability(rule.Cap, conType, restored, former)) {
        if (restored != nullptr) {
            GlobalFree(restored);
        }
        capability.hContainer = nullptr;
        return RefuseCapability(TWCC_LOWMEMORY);
    }
    const TW_UINT16 answered = AnswerQuery(rule.Get, capability);
    CapabilityEntry discarded = former;
    if (answered != TWRC_SUCCESS) {
        ExchangeCapability(rule.Cap, former.ConType, former.Container, discarded);
    }
    if (discarded.Container != nullptr) {
        GlobalFree(discarded.Container);
    }
    return answered;
}

// The value a TWAIN 2 application chose in the enumeration or range MSG_GET
// handed it, as a one value; nullptr when the container does not read.
HGLOBAL ChosenValue(const TW_CAPABILITY& capability)
{
    if (capability.hContainer == nullptr) {
        return nullptr;
    }
    GlobalLockGuard lock(capability.hContainer);
    const size_t size = GlobalSize(capability.hContainer);
    if (lock.Bytes() == nullptr) {
        return nullptr;
    }
    if (capability.ConType == TWON_RANGE) {
        constexpr size_t CurrentAt = 18;  // after the type, least, most, step and default
        return size >= CurrentAt + 4 ? MakeOneValue(GetU16(lock.Bytes()), lock.Bytes() + CurrentAt) : nullptr;
    }
    ContainerView view;
    if (!ParseContainer(lock.Bytes(), size, TWON_ENUMERATION, view) || view.CurrentIndex >= view.NumItems ||
        ItemSize(view.ItemType) == 0 || ItemSize(view.ItemType) > 4) {
        return nullptr;
    }
    return MakeOneValue(view.ItemType, view.Items + static_cast<size_t>(view.CurrentIndex) * ItemSize(view.ItemType));
}

TW_UINT16 Set(const CapabilityRule& rule, const TW_CAPABILITY& capability)
{
    // What MSG_GET handed a TWAIN 2 application comes back as it went out.
    const bool single = rule.Set == Setting::Bool || rule.Set == Setting::Count || rule.Set == Setting::Level;
    if (TwainTwoApp && single && (capability.ConType == TWON_ENUMERATION || capability.ConType == TWON_RANGE)) {
        const TW_CAPABILITY chosen = {capability.Cap, TWON_ONEVALUE, ChosenValue(capability)};
        if (chosen.hContainer == nullptr) {
            return RefuseCapability(TWCC_BADVALUE);
        }
        const TW_UINT16 result = Set(rule, chosen);
        GlobalFree(chosen.hContainer);
        return result;
    }
    switch (rule.Set) {
    case Setting::Choice: return SetChoice(capability);
    case Setting::Fixed: return SetFixed(rule, capability);
    case Setting::Bool: return SetBool(capability);
    case Setting::Count: return SetCount(capability);
    case Setting::Level: return SetLevel(rule, capability);
    case Setting::Unit: return TwainTwoApp ? SetChoice(capability) : SetFixed(rule, capability);
    case Setting::Restore: break;
    }
    return RefuseCapability(TWCC_BADPROTOCOL);
}

// What MSG_GET hands a TWAIN 2 application: the values it may choose. A
// boolean it may set is offered as both values, a level as its range, a
// value it only reads as an enumeration of that one value; lists stay as
// they are. `capability` holds the one value the query answered.
TW_UINT16 OfferChoices(const CapabilityRule& rule, TW_CAPABILITY& capability)
{
    ContainerCopy one;
    const bool read = ReadOneValue(capability.hContainer, one);
    GlobalFree(capability.hContainer);
    capability.hContainer = nullptr;
    if (!read) {
        return RefuseCapability(TWCC_LOWMEMORY);
    }
    const TW_UINT32 size = ItemSize(one.ItemType);
    const TW_UINT32 value = size != 0 ? ItemValue(one.Items.get(), one.ItemType) : 0;
    if (one.ItemType == TWTY_BOOL && !ReadOnly(rule.Cap)) {
        const TW_BOOL both[2] = {0, 1};
        CapabilityItem initial;
        const TW_UINT32 defaultIndex = GetDefaultItem(rule.Cap, initial) && initial.AsUInt32() != 0 ? 1 : 0;
        return HandOver(capability, TWON_ENUMERATION,
                        MakeEnumeration(2, value != 0 ? 1 : 0, defaultIndex, TWTY_BOOL, both));
    }
    if (rule.Set == Setting::Level && size != 0) {
        CapabilityItem initial;
        GetDefaultItem(rule.Cap, initial);
        const TW_INT32 most = rule.MostNow != nullptr ? rule.MostNow() : rule.Most;
        const RangeValues range = {static_cast<TW_UINT32>(rule.Least), static_cast<TW_UINT32>(most), 1,
                                   ItemValue(initial.Bytes, one.ItemType), value};
        return HandOver(capability, TWON_RANGE, MakeRange(one.ItemType, range));
    }
    if (rule.Set == Setting::Count) {
        return HandOver(capability, TWON_ONEVALUE, MakeOneValue(one.ItemType, one.Items.get()));
    }
    return HandOver(capability, TWON_ENUMERATION, MakeEnumeration(1, 0, 0, one.ItemType, one.Items.get()));
}

TW_UINT16 RunRule(const CapabilityRule& rule, const Triplet& triplet)
{
    DebugLog log;
    log.Write("%s", rule.Label);
    auto& capability = *static_cast<TW_CAPABILITY*>(triplet.pData);
    TW_UINT16 result = TWRC_FAILURE;
    bool closeLine = true;
    // A TWAIN 2 application is told that a value it may only read is not
    // set nor reset.
    const bool refusedToTwainTwo = TwainTwoApp && ReadOnly(rule.Cap);
    switch (triplet.MSG) {
    case MSG_GET:
        log.Write("%s", rule.Names[0]);
        result = AnswerQuery(rule.Get, capability);
        if (result == TWRC_SUCCESS && TwainTwoApp && capability.ConType == TWON_ONEVALUE) {
            result = OfferChoices(rule, capability);
        }
        break;
    case MSG_GETCURRENT:
        log.Write("%s", rule.Names[1]);
        result = AnswerQuery(rule.GetCurrent, capability);
        break;
    case MSG_GETDEFAULT:
        log.Write("%s", rule.Names[2]);
        result = AnswerQuery(rule.GetDefault, capability);
        break;
    case MSG_SET:
        log.Write("%s", rule.Names[3]);
        result = refusedToTwainTwo ? RefuseCapability(TWCC_CAPBADOPERATION) : Set(rule, capability);
        break;
    case MSG_RESET:
        log.Write("%s", rule.Names[4]);
        if (refusedToTwainTwo) {
            capability.hContainer = nullptr;
            result = RefuseCapability(TWCC_CAPBADOPERATION);
            break;
        }
        result = Reset(rule, capability);
        // TWAIN 2 answers the value the reset leaves, as MSG_GETCURRENT does.
        if (result == TWRC_SUCCESS && TwainTwoApp) {
            GlobalFree(capability.hContainer);
            capability.hContainer = nullptr;
            result = AnswerQuery(rule.GetCurrent, capability);
        }
        break;
    case MSG_QUERYSUPPORT: {
        log.Write("MSG_QUERYSUPPORT");
        const TW_INT32 flags = ReadOnly(rule.Cap) ? ReadOnlyOperations : SupportedOperations;
        result = AnswerOneValue(capability, TWTY_INT32, &flags);
        break;
    }
    default:
        result = RefuseCapability(TWCC_BADPROTOCOL);
        closeLine = !rule.QuietUnknown;
        break;
    }
    if (closeLine) {
        log.Write("\n");
    }
    return result;
}

template <const CapabilityRule& Rule>
TW_UINT16 RuleHandler(const Triplet& triplet)
{
    return RunRule(Rule, triplet);
}

struct CapabilityRow {
    TW_UINT16 Cap;
    TripletHandler Handler;
    const CapabilityRule* Rule;
};

// In this order the supported capabilities are listed.
const CapabilityRow CapabilityTable[SupportedCapabilityCount] = {
    {CAP_XFERCOUNT, RuleHandler<XferCountRule>, &XferCountRule},
    {ICAP_COMPRESSION, RuleHandler<CompressionRule>, &CompressionRule},
    {ICAP_PIXELTYPE, HandlePixelType, &PixelTypeRule},
    {ICAP_UNITS, RuleHandler<UnitsRule>, &UnitsRule},
    {ICAP_XFERMECH, RuleHandler<XferMechRule>, &XferMechRule},
    {CAP_FEEDERENABLED, RuleHandler<FeederEnabledRule>, &FeederEnabledRule},
    {CAP_FEEDERLOADED, RuleHandler<FeederLoadedRule>, &FeederLoadedRule},
    {CAP_AUTOFEED, RuleHandler<AutoFeedRule>, &AutoFeedRule},
    {CAP_SUPPORTEDCAPS, RuleHandler<SupportedCapsRule>, &SupportedCapsRule},
    {CAP_UICONTROLLABLE, RuleHandler<UiControllableRule>, &UiControllableRule},
    {CAP_DEVICEONLINE, RuleHandler<DeviceOnlineRule>, &DeviceOnlineRule},
    {CAP_ENABLEDSUIONLY, RuleHandler<EnableUiOnlyRule>, &EnableUiOnlyRule},
    {CAP_CUSTOMDSDATA, RuleHandler<CustomDsDataRule>, &CustomDsDataRule},
    {ICAP_PHYSICALWIDTH, RuleHandler<PhysicalWidthRule>, &PhysicalWidthRule},
    {ICAP_PHYSICALHEIGHT, RuleHandler<PhysicalHeightRule>, &PhysicalHeightRule},
    {ICAP_XRESOLUTION, RuleHandler<XResolutionRule>, &XResolutionRule},
    {ICAP_YRESOLUTION, RuleHandler<YResolutionRule>, &YResolutionRule},
    {ICAP_BITORDER, RuleHandler<BitOrderRule>, &BitOrderRule},
    {ICAP_PIXELFLAVOR, RuleHandler<PixelFlavorRule>, &PixelFlavorRule},
    {ICAP_PLANARCHUNKY, RuleHandler<PlanarChunkyRule>, &PlanarChunkyRule},
    {ICAP_BITDEPTH, RuleHandler<BitDepthRule>, &BitDepthRule},
    {ICAP_IMAGEFILEFORMAT, RuleHandler<ImageFileFormatRule>, &ImageFileFormatRule},
    {ICAP_JPEGQUALITY, RuleHandler<JpegQualityRule>, &JpegQualityRule},
    {CAP_AUTOMATICCAPTURE, RuleHandler<AutomaticCaptureRule>, &AutomaticCaptureRule},
    {CAP_TIMEBEFOREFIRSTCAPTURE, RuleHandler<TimeBeforeFirstRule>, &TimeBeforeFirstRule},
    {CAP_TIMEBETWEENCAPTURES, RuleHandler<TimeBetweenRule>, &TimeBetweenRule},
    {CAP_CLEARBUFFERS, RuleHandler<ClearBuffersRule>, &ClearBuffersRule},
    {CAP_MAXBATCHBUFFERS, RuleHandler<MaxBatchBuffersRule>, &MaxBatchBuffersRule},
    {CUSTCAP_AVERAGEFRAMES, RuleHandler<AverageFramesRule>, &AverageFramesRule},
    {CAP_EXTIMAGEINFO, RuleHandler<ExtImageInfoRule>, &ExtImageInfoRule},
};

// Capabilities only a TWAIN 2 application is offered, listed after the table's.
const CapabilityRow TwainTwoTable[] = {
    {CAP_SUPPORTEDDATS, RuleHandler<SupportedDatsRule>, &SupportedDatsRule},
    {ICAP_XNATIVERESOLUTION, RuleHandler<XNativeResolutionRule>, &XNativeResolutionRule},
    {ICAP_YNATIVERESOLUTION, RuleHandler<YNativeResolutionRule>, &YNativeResolutionRule},
};

// Runs MSG_RESET of `handler` for its effect; the answer is dropped. False
// when the reset failed (it reported why).
bool ResetThrough(TW_UINT16 cap, TripletHandler handler, const Triplet& triplet)
{
    TW_CAPABILITY capability = {cap, 0, nullptr};
    const Triplet reset = {triplet.pOrigin, DG_CONTROL, DAT_CAPABILITY, MSG_RESET, &capability};
    if (handler(reset) != TWRC_SUCCESS) {
        return false;
    }
    if (capability.hContainer != nullptr) {
        GlobalFree(capability.hContainer);
    }
    return true;
}

// MSG_RESETALL: every capability the application may set back to its
// default. The video format first: it decides which adjustments the board
// offers, and a format restart sets them anew.
TW_UINT16 ResetAll(const Triplet& triplet)
{
    DebugLog().Write("\n DAT_CAPABILITY MSG_RESETALL\n");
    if (!CapabilityStoreExists() || SourceState != 400) {
        return RefuseCapability(TWCC_SEQERROR);
    }
    bool all = true;
    for (int i = 0; i < BoardRowCount; ++i) {
        if (BoardRows[i].Cap == VideoFormatCap && BoardRows[i].Offered()) {
            all = ResetThrough(BoardRows[i].Cap, BoardRows[i].Handler, triplet) && all;
        }
    }
    for (const CapabilityRow& row : CapabilityTable) {
        if (row.Rule->Reset == Setting::Restore || row.Rule->Reset == Setting::Unit) {
            all = ResetThrough(row.Cap, row.Handler, triplet) && all;
        }
    }
    for (int i = 0; i < BoardRowCount; ++i) {
        if (BoardRows[i].Cap != VideoFormatCap && BoardRows[i].Offered()) {
            all = ResetThrough(BoardRows[i].Cap, BoardRows[i].Handler, triplet) && all;
        }
    }
    // A reset that failed reported why.
    return all ? TWRC_SUCCESS : TWRC_FAILURE;
}

}  // namespace

TW_UINT16 HandlePixelType(const Triplet& triplet)
{
    const TW_UINT16 result = RunRule(PixelTypeRule, triplet);
    // The image delivered follows the pixel type, and so does its depth:
    // whatever the call answered, the depth is the one of the pixel type
    // that stands.
    if (triplet.MSG == MSG_SET || triplet.MSG == MSG_RESET) {
        StoreDeliveredBitDepth();
    }
    return result;
}

double PixelsPerUnit(bool down)
{
    CapabilityItem unit;
    CapabilityItem resolution;
    if (!GetCurrentItem(ICAP_UNITS, unit) || unit.AsUInt32() != TWUN_INCHES ||
        !GetCurrentItem(down ? ICAP_YRESOLUTION : ICAP_XRESOLUTION, resolution)) {
        return 1.0;
    }
    const TW_UINT32 word = resolution.AsUInt32();
    const double dotsPerInch = static_cast<TW_INT16>(word & 0xFFFF) + (word >> 16) / 65536.0;
    return dotsPerInch > 0 ? dotsPerInch : 1.0;
}

uint32_t AveragedFrames()
{
    CapabilityItem frames;
    const uint32_t count = GetCurrentItem(CUSTCAP_AVERAGEFRAMES, frames) ? frames.AsUInt32() & 0xFFFF : 1;
    return count >= 1 && count <= 64 ? count : 1;
}

uint32_t PixelTypeSamples()
{
    CapabilityItem pixelType;
    if (!GetCurrentItem(ICAP_PIXELTYPE, pixelType)) {
        return 0;
    }
    switch (pixelType.AsUInt32()) {
    case TWPT_GRAY: return 1;
    case TWPT_RGB: return 3;
    default: return 0;
    }
}

uint16_t StoreDeliveredBitDepth()
{
    if (SourceSettings.BitsPerBand == 0) {
        return 0;
    }
    const uint32_t samples = PixelTypeSamples();
    const TW_UINT16 depth = static_cast<TW_UINT16>(SourceSettings.BitsPerBand * (samples != 0 ? samples : GetBandCount()));
    // In place where the depth is stored already: nothing can refuse it
    // then, and the pixel type never stands with another type's depth.
    if (OverwriteOneValue(ICAP_BITDEPTH, TWTY_UINT16, &depth)) {
        return 0;
    }
    HGLOBAL container = MakeOneValue(TWTY_UINT16, &depth);
    if (container == nullptr) {
        return 1;
    }
    // Without a store (a digitizer started outside a session) there is no
    // capability to update.
    if (!StoreCapability(ICAP_BITDEPTH, TWON_ONEVALUE, container)) {
        GlobalFree(container);
    }
    return 0;
}

void SetDeviceOnlineProbe(bool (*probe)())
{
    DeviceOnlineProbe = probe;
}

void SetBoardCapabilities(const BoardCapabilityRow* rows, int count)
{
    BoardRows = rows;
    BoardRowCount = count < MaxBoardCapabilities ? count : MaxBoardCapabilities;
}

void SetSupportedDats(const TW_UINT32* pairs, int count)
{
    SupportedDats = pairs;
    SupportedDatCount = count;
}

void SupportedCapabilityIds(TW_UINT16 (&ids)[SupportedCapabilityCount])
{
    for (int i = 0; i < SupportedCapabilityCount; ++i) {
        ids[i] = CapabilityTable[i].Cap;
    }
}

TW_UINT16 HandleCapability(const Triplet& triplet)
{
    auto* capability = static_cast<TW_CAPABILITY*>(triplet.pData);
    if (capability == nullptr) {
        return RefuseCapability(TWCC_BADVALUE);
    }
    // TWAIN 2's reset of them all names no capability.
    if (triplet.MSG == MSG_RESETALL && TwainTwoApp) {
        return ResetAll(triplet);
    }
    TripletHandler handler = nullptr;
    for (const CapabilityRow& row : CapabilityTable) {
        if (row.Cap == capability->Cap) {
            handler = row.Handler;
        }
    }
    for (const CapabilityRow& row : TwainTwoTable) {
        if (TwainTwoApp && row.Cap == capability->Cap) {
            handler = row.Handler;
        }
    }
    if (handler == nullptr) {
        const BoardCapabilityRow* board = OfferedBoardRow(capability->Cap);
        handler = board != nullptr ? board->Handler : nullptr;
    }
    if (handler != nullptr) {
        // The store lives from MSG_OPENDS to MSG_CLOSEDS; before that there
        // is nothing to negotiate.
        if (!CapabilityStoreExists()) {
            return RefuseCapability(TWCC_SEQERROR);
        }
        // Negotiation ends when the source is enabled: the image announced
        // in state 5 or 6 is the image transferred. Questions stay answered.
        if ((triplet.MSG == MSG_SET || triplet.MSG == MSG_RESET) && SourceState >= 500) {
            return RefuseCapability(TWCC_SEQERROR);
        }
        const TW_UINT16 result = handler(triplet);
        // What the application receives comes from its manager's allocator
        // where it gave one.
        if (result == TWRC_SUCCESS && triplet.MSG != MSG_SET && capability->hContainer != nullptr) {
            capability->hContainer = HandToApplication(capability->hContainer);
            if (capability->hContainer == nullptr) {
                return RefuseCapability(TWCC_LOWMEMORY);
            }
        }
        return result;
    }
    return RefuseCapability(TWCC_CAPUNSUPPORTED);
}
