// The board's capabilities. Each answers from the digitizer and sends a new
// value to it at once, so what is read back is what the digitizer runs; a
// negotiated value lasts the session and is never written to the user's
// settings, and MSG_RESET goes back to what the user stored. Each is offered
// where the dialog offers the same control: brightness and contrast on the
// composite data path's page, the references on the RGB data path's, the
// channel (the sync source) with the RGB input, the format always.
//
// The four adjustments are one rule run on rows of data: TWAIN's range is
// mapped linearly onto the board's levels 0..255, and a level read back is
// answered as the value it means. Those values are counted in FIX32's own
// steps (1/65536), level k being the least value plus k steps, so that every
// value the range offers reads back exactly as sent; a value between two
// levels is taken to the nearer one and answered TWRC_CHECKSTATUS.
//
// MSG_GETDEFAULT answers what MSG_RESET makes current: the user's stored
// levels, channel and format.
#include "grabber/board_capabilities.h"

#include <cmath>
#include <cstring>

#include "capability/container.h"
#include "capability/negotiation.h"
#include "grabber/live_preview.h"
#include "grabber/startup.h"
#include "grabber/video_adjustments.h"
#include "grabber/video_format.h"
#include "settings/registry.h"
#include "settings/source_settings.h"
#include "twain/debug_log.h"
#include "twain/little_endian.h"
#include "twain/manager.h"
#include "twain/text.h"

namespace {

enum class Form { All, Current, Default };

struct LevelRow {
    double Min, Max;  // TWAIN's values of levels 0 and 255
    uint32_t (*Get)();
    void (*Set)(uint32_t level);
    void (*Restore)();       // the user's stored levels back into the digitizer
    uint32_t (*Initial)();  // the level Restore leaves (the first band's)
};

uint32_t Stored(const char* name, uint32_t fallback)
{
    uint32_t value = fallback;
    return ReadStoredDword(name, value) ? value : fallback;
}

// The references of every band the data path has, as ApplySettings sends them.
void RestoreReferences(void (*set)(uint32_t, uint32_t), const char* const (&names)[3], const uint32_t (&fields)[3])
{
    const int count = IsColor() == 1 ? 3 : 1;
    for (int band = 0; band < count; ++band) {
        set(Stored(names[band], fields[band]), Bands[band]);
    }
}

constexpr const char* WhiteNames[3] = {"WhiteRef0", "WhiteRef1", "WhiteRef2"};
constexpr const char* BlackNames[3] = {"BlackRef0", "BlackRef1", "BlackRef2"};

const LevelRow Brightness = {-1000, 1000, GetBrightness, SetBrightness,
                             [] { SetBrightness(Stored("Brightness", SourceSettings.Brightness)); },
                             [] { return Stored("Brightness", SourceSettings.Brightness); }};
const LevelRow Contrast = {-1000, 1000, GetContrast, SetContrast,
                           [] { SetContrast(Stored("Contrast", SourceSettings.Contrast)); },
                           [] { return Stored("Contrast", SourceSettings.Contrast); }};
const LevelRow Highlight = {
    0, 255, [] { return GetWhiteRef(Band0); }, [](uint32_t level) { SetWhiteRef(level, AllBands); },
    [] {
        const uint32_t fields[3] = {SourceSettings.WhiteRef0, SourceSettings.WhiteRef1, SourceSettings.WhiteRef2};
        RestoreReferences(SetWhiteRef, WhiteNames, fields);
    },
    [] { return Stored(WhiteNames[0], SourceSettings.WhiteRef0); }};
const LevelRow Shadow = {
    0, 255, [] { return GetBlackRef(Band0); }, [](uint32_t level) { SetBlackRef(level, AllBands); },
    [] {
        const uint32_t fields[3] = {SourceSettings.BlackRef0, SourceSettings.BlackRef1, SourceSettings.BlackRef2};
        RestoreReferences(SetBlackRef, BlackNames, fields);
    },
    [] { return Stored(BlackNames[0], SourceSettings.BlackRef0); }};

// A value in 1/65536, rounded to the nearest on both sides of 0:
// FloatToFix32, which truncates toward zero, would answer -1000 as -999.99998.
int64_t Steps(double value)
{
    return static_cast<int64_t>(std::floor(value * 65536.0 + 0.5));
}

uint32_t Fix32Word(int64_t steps)
{
    const auto scaled = static_cast<uint32_t>(static_cast<int32_t>(steps));
    return (scaled >> 16) | (scaled << 16);
}

int64_t LevelStep(const LevelRow& row)
{
    return Steps((row.Max - row.Min) / 255.0);
}

// The value level `level` means, in 1/65536.
int64_t LevelValue(const LevelRow& row, uint32_t level)
{
    return Steps(row.Min) + static_cast<int64_t>(ClampLevel(level)) * LevelStep(row);
}

TW_UINT16 AnswerLevel(const LevelRow& row, Form form, TW_CAPABILITY& capability)
{
    const int64_t current = LevelValue(row, row.Get());
    const int64_t initial = LevelValue(row, row.Initial());
    if (form != Form::All) {
        uint8_t item[4];
        PutU32(item, Fix32Word(form == Form::Current ? current : initial));
        return AnswerOneValue(capability, TWTY_FIX32, item);
    }
    const RangeValues range = {Fix32Word(LevelValue(row, 0)), Fix32Word(LevelValue(row, 255)),
                               Fix32Word(LevelStep(row)), Fix32Word(initial), Fix32Word(current)};
    return HandOver(capability, TWON_RANGE, MakeRange(TWTY_FIX32, range));
}

// The value an application sends, in 1/65536: a one value, or a range whose
// current value is taken (what MSG_GET handed over, sent back).
bool ReadFix32(const TW_CAPABILITY& capability, int64_t& value, TW_UINT16& refusal)
{
    refusal = TWCC_BADVALUE;
    if (capability.ConType != TWON_ONEVALUE && capability.ConType != TWON_RANGE) {
        refusal = TWCC_BADPROTOCOL;
        return false;
    }
    if (capability.hContainer == nullptr) {
        return false;
    }
    GlobalLockGuard lock(capability.hContainer);
    const size_t size = GlobalSize(capability.hContainer);
    const size_t at = capability.ConType == TWON_ONEVALUE ? 2 : 18;
    if (lock.Bytes() == nullptr || size < at + 4 || GetU16(lock.Bytes()) != TWTY_FIX32) {
        return false;
    }
    const auto whole = static_cast<int16_t>(GetU16(lock.Bytes() + at));
    value = static_cast<int64_t>(whole) * 65536 + GetU16(lock.Bytes() + at + 2);
    return true;
}

TW_UINT16 SetLevel(const LevelRow& row, const TW_CAPABILITY& capability)
{
    int64_t value = 0;
    TW_UINT16 refusal = TWCC_SUCCESS;
    if (!ReadFix32(capability, value, refusal)) {
        return RefuseCapability(refusal);
    }
    if (value < LevelValue(row, 0) || value > LevelValue(row, 255)) {
        return RefuseCapability(TWCC_BADVALUE);
    }
    // The level the first releases chose for the value (the nearest on
    // TWAIN's scale), so that a value sends the board what it always did.
    const auto level =
        static_cast<uint32_t>((value / 65536.0 - row.Min) * 255.0 / (row.Max - row.Min) + 0.5);
    row.Set(level);
    // The board holds the nearest level; the application is told that what
    // it reads back is not what it sent.
    return LevelValue(row, level) == value ? TWRC_SUCCESS : TWRC_CHECKSTATUS;
}

// The channel: the sync source of the RGB input.
constexpr TW_UINT32 Channels[] = {SyncOnGreen, SyncExtern};

// The channel MSG_RESET brings back: the user's stored one.
uint32_t StoredChannel()
{
    uint32_t stored = Channels[0];
    ReadStoredDword("Channel", stored);
    return stored;
}

TW_UINT16 AnswerChannel(Form form, TW_CAPABILITY& capability)
{
    const TW_UINT32 current = SyncChannelInUse();
    const TW_UINT32 initial = StoredChannel() == Channels[1] ? Channels[1] : Channels[0];
    if (form != Form::All) {
        const TW_UINT32 value = form == Form::Current ? current : initial;
        return AnswerOneValue(capability, TWTY_UINT32, &value);
    }
    return HandOver(capability, TWON_ENUMERATION,
                    MakeEnumeration(2, current == Channels[0] ? 0 : 1, initial == Channels[0] ? 0 : 1, TWTY_UINT32,
                                    Channels));
}

TW_UINT16 SetChannelValue(const TW_CAPABILITY& capability)
{
    if (capability.ConType != TWON_ONEVALUE) {
        return RefuseCapability(TWCC_BADPROTOCOL);
    }
    TW_UINT16 itemType = 0;
    TW_UINT32 value = 0;
    if (!ReadOneValueWord(capability.hContainer, itemType, value) || !ItemTypeCarries(itemType, TWTY_UINT32)) {
        return RefuseCapability(TWCC_BADVALUE);
    }
    // The item at its own size: an 8- or 16-bit item is not the bytes
    // behind it in the 32-bit field.
    uint8_t field[4];
    PutU32(field, value);
    value = ItemValue(field, itemType);
    if (value != Channels[0] && value != Channels[1]) {
        return RefuseCapability(TWCC_BADVALUE);
    }
    SetChannel(value);
    return TWRC_SUCCESS;
}

TW_UINT16 ResetChannel()
{
    SetChannel(StoredChannel());
    return TWRC_SUCCESS;
}

// The video format, by the names the dialog offers.
struct FormatName {
    TW_STR32 Text;
};

void PutName(FormatName& name, const char* text)
{
    std::memset(name.Text, 0, sizeof name.Text);
    CopyText(name.Text, sizeof name.Text, text);
}

// The offered name `text` stands for, compared as the board compares them;
// nullptr when the dialog offers no such format.
const char* OfferedFormat(const char* text)
{
    for (const char* name : VideoFormatNames) {
        if (lstrcmpiA(name, text) == 0) {
            return name;
        }
    }
    return nullptr;
}

// The format MSG_RESET starts: the user's stored one, M_CCIR without.
void StoredFormat(char (&stored)[256])
{
    if (!ReadStoredText("DigFormat", stored, sizeof stored) || stored[0] == '\0') {
        CopyText(stored, sizeof stored, "M_CCIR");
    }
}

TW_UINT16 AnswerFormat(Form form, TW_CAPABILITY& capability)
{
    char running[sizeof SourceSettings.DigFormat];
    CopyDigFormat(running);
    char initial[256];
    StoredFormat(initial);
    FormatName names[VideoFormatCount + 2];
    if (form != Form::All) {
        PutName(names[0], form == Form::Current ? running : initial);
        return AnswerOneValue(capability, TWTY_STR32, names[0].Text);
    }
    TW_UINT32 count = VideoFormatCount;
    for (int i = 0; i < VideoFormatCount; ++i) {
        PutName(names[i], VideoFormatNames[i]);
    }
    // A format the dialog does not offer, but the board runs or MSG_RESET
    // would start, is listed all the same.
    auto indexOf = [&](const char* name) {
        for (TW_UINT32 i = 0; i < count; ++i) {
            if (lstrcmpiA(names[i].Text, name) == 0) {
                return i;
            }
        }
        PutName(names[count], name);
        return count++;
    };
    const TW_UINT32 current = indexOf(running);
    const TW_UINT32 defaultIndex = indexOf(initial);
    return HandOver(capability, TWON_ENUMERATION, MakeEnumeration(count, current, defaultIndex, TWTY_STR32, names));
}

// Restarts the digitizer in `name` as the dialog's format page does; a
// format the board refuses leaves the former one running.
TW_UINT16 RunFormat(const char* name)
{
    char format[256];
    CopyText(format, sizeof format, name);
    MilStartLive(0);
    MilSelectDisplay(0, nullptr);
    // The RGB input takes its sync from the channel, as the page's buttons
    // send it when they show the new format.
    const FormatStarted started = {[](const char* running, void*) {
                                       if (RgbInputFormat(running)) {
                                           SetChannel(SyncChannelInUse());
                                       }
                                   },
                                   nullptr};
    switch (RestartDigitizer(format, FormatRefusal::KeepRunning, started)) {
    case 0: return TWRC_SUCCESS;
    case 2: return RefuseCapability(TWCC_BADVALUE);
    case 3: return RefuseCapability(TWCC_LOWMEMORY);
    default: return RefuseCapability(TWCC_OPERATIONERROR);
    }
}

// A one value of the name, or the enumeration MSG_GET hands out with its
// CurrentIndex on the name (what an application sends back to restore).
TW_UINT16 SetFormat(const TW_CAPABILITY& capability)
{
    if (capability.ConType != TWON_ONEVALUE && capability.ConType != TWON_ENUMERATION) {
        return RefuseCapability(TWCC_BADPROTOCOL);
    }
    char text[sizeof(TW_STR32)] = "";
    {
        GlobalLockGuard lock(capability.hContainer);
        ContainerView view;
        if (lock.Bytes() == nullptr ||
            !ParseContainer(lock.Bytes(), GlobalSize(capability.hContainer), capability.ConType, view) ||
            view.ItemType != TWTY_STR32 || view.CurrentIndex >= view.NumItems) {
            return RefuseCapability(TWCC_BADVALUE);
        }
        const TW_UINT32 index = capability.ConType == TWON_ENUMERATION ? view.CurrentIndex : 0;
        std::memcpy(text, view.Items + static_cast<size_t>(index) * sizeof(TW_STR32), sizeof text - 1);
    }
    // The format that runs already stays as it runs: a restart would put the
    // pixel type, adjustments and region back, which a restore that sends
    // every capability in turn has just set.
    char running[sizeof SourceSettings.DigFormat];
    CopyDigFormat(running);
    if (lstrcmpiA(text, running) == 0) {
        return TWRC_SUCCESS;
    }
    const char* name = OfferedFormat(text);
    if (name == nullptr) {
        return RefuseCapability(TWCC_BADVALUE);
    }
    return RunFormat(name);
}

TW_UINT16 ResetFormat()
{
    char stored[256];
    StoredFormat(stored);
    return RunFormat(stored);
}

enum class Kind { Level, Channel, Format };

struct BoardRule {
    Kind What;
    const char* Label;
    const LevelRow* Level;  // Kind::Level only
};

TW_UINT16 Answer(const BoardRule& rule, Form form, TW_CAPABILITY& capability)
{
    switch (rule.What) {
    case Kind::Level: return AnswerLevel(*rule.Level, form, capability);
    case Kind::Channel: return AnswerChannel(form, capability);
    case Kind::Format: return AnswerFormat(form, capability);
    }
    return RefuseCapability(TWCC_BUMMER);
}

TW_UINT16 Set(const BoardRule& rule, const TW_CAPABILITY& capability)
{
    switch (rule.What) {
    case Kind::Level: return SetLevel(*rule.Level, capability);
    case Kind::Channel: return SetChannelValue(capability);
    case Kind::Format: return SetFormat(capability);
    }
    return RefuseCapability(TWCC_BUMMER);
}

TW_UINT16 Reset(const BoardRule& rule)
{
    switch (rule.What) {
    case Kind::Level: rule.Level->Restore(); return TWRC_SUCCESS;
    case Kind::Channel: return ResetChannel();
    case Kind::Format: return ResetFormat();
    }
    return RefuseCapability(TWCC_BUMMER);
}

TW_UINT16 RunBoardRule(const BoardRule& rule, const Triplet& triplet)
{
    DebugLog log;
    log.Write("%s", rule.Label);
    auto& capability = *static_cast<TW_CAPABILITY*>(triplet.pData);
    TW_UINT16 result = TWRC_FAILURE;
    switch (triplet.MSG) {
    case MSG_GET:
        log.Write("MSG_GET");
        result = Answer(rule, Form::All, capability);
        break;
    case MSG_GETCURRENT:
        log.Write("MSG_GETCURRENT");
        result = Answer(rule, Form::Current, capability);
        break;
    case MSG_GETDEFAULT:
        log.Write("MSG_GETDEFAULT");
        result = Answer(rule, Form::Default, capability);
        break;
    case MSG_SET:
        log.Write("MSG_SET");
        result = Set(rule, capability);
        break;
    case MSG_RESET:
        // Hands back the value it leaves, as MSG_GET answers it (TWAIN 2:
        // as MSG_GETCURRENT does).
        log.Write("MSG_RESET");
        capability.hContainer = nullptr;
        result = Reset(rule);
        if (result == TWRC_SUCCESS) {
            result = Answer(rule, TwainTwoApp ? Form::Current : Form::All, capability);
        }
        break;
    case MSG_QUERYSUPPORT: {
        log.Write("MSG_QUERYSUPPORT");
        result = AnswerOneValue(capability, TWTY_INT32, &SupportedOperations);
        break;
    }
    default:
        result = RefuseCapability(TWCC_BADPROTOCOL);
        break;
    }
    log.Write("\n");
    return result;
}

constexpr BoardRule BrightnessRule = {Kind::Level, "\n ICAP_BRIGHTNESS (0x1101) ", &Brightness};
constexpr BoardRule ContrastRule = {Kind::Level, "\n ICAP_CONTRAST (0x1103) ", &Contrast};
constexpr BoardRule HighlightRule = {Kind::Level, "\n ICAP_HIGHLIGHT (0x110a) ", &Highlight};
constexpr BoardRule ShadowRule = {Kind::Level, "\n ICAP_SHADOW (0x1113) ", &Shadow};
constexpr BoardRule ChannelRule = {Kind::Channel, "\n CUSTCAP_CHANNEL (0x8001) ", nullptr};
constexpr BoardRule FormatRule = {Kind::Format, "\n CUSTCAP_VIDEOFORMAT (0x8002) ", nullptr};

template <const BoardRule& Rule>
TW_UINT16 BoardHandler(const Triplet& triplet)
{
    return RunBoardRule(Rule, triplet);
}

bool Running()
{
    return MilInfo.MilDigitizer != 0;
}

const BoardCapabilityRow Rows[] = {
    {ICAP_BRIGHTNESS, BoardHandler<BrightnessRule>, [] { return Running() && IsRgbDataPath() == 0; }},
    {ICAP_CONTRAST, BoardHandler<ContrastRule>, [] { return Running() && IsRgbDataPath() == 0; }},
    {ICAP_HIGHLIGHT, BoardHandler<HighlightRule>, [] { return Running() && IsRgbDataPath() != 0; }},
    {ICAP_SHADOW, BoardHandler<ShadowRule>, [] { return Running() && IsRgbDataPath() != 0; }},
    {CUSTCAP_CHANNEL, BoardHandler<ChannelRule>, [] { return Running() && RgbInputFormat(SourceSettings.DigFormat); }},
    {CUSTCAP_VIDEOFORMAT, BoardHandler<FormatRule>, Running},
};

}  // namespace

void RegisterBoardCapabilities()
{
    SetBoardCapabilities(Rows, static_cast<int>(sizeof Rows / sizeof Rows[0]));
}
