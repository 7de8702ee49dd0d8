#include "capability/store.h"

#include <cstring>

#include "capability/container.h"
#include "twain/little_endian.h"
#include "twain/manager.h"

namespace {

// More than the defaults ever create; no capability outside the table is
// ever stored.
constexpr int MaxEntries = 31;

struct Store {
    bool Exists = false;
    int Count = 0;
    CapabilityEntry Entries[MaxEntries] = {};
} TheStore;

void ReleaseEntries()
{
    for (int i = 0; i < TheStore.Count; ++i) {
        GlobalFree(TheStore.Entries[i].Container);
        TheStore.Entries[i] = CapabilityEntry{};
    }
    TheStore.Count = 0;
}

// One row of the defaults: the container each capability starts with.
struct DefaultEntry {
    TW_UINT16 Cap;
    TW_UINT16 ConType;
    TW_UINT16 ItemType;
    TW_UINT32 NumItems;
    TW_UINT16 Items[5];
    TW_UINT32 CurrentIndex;
};

constexpr TW_UINT16 True = 1;
constexpr TW_UINT16 False = 0;

// In the order the store is built.
const DefaultEntry Defaults[] = {
    {ICAP_UNITS, TWON_ENUMERATION, TWTY_UINT16, 1, {TWUN_PIXELS}, 0},
    {ICAP_XFERMECH, TWON_ENUMERATION, TWTY_UINT16, 3, {TWSX_NATIVE, TWSX_FILE, TWSX_MEMORY}, 0},
    {ICAP_PIXELFLAVOR, TWON_ONEVALUE, TWTY_UINT16, 1, {TWPF_CHOCOLATE}, 0},
    {ICAP_PIXELTYPE, TWON_ENUMERATION, TWTY_UINT16, 2, {TWPT_GRAY, TWPT_RGB}, 0},
    // 0 as the first releases had it (a TWAIN 2 application gets TWAIN's -1).
    {CAP_XFERCOUNT, TWON_ONEVALUE, TWTY_INT16, 1, {0}, 0},
    {ICAP_COMPRESSION, TWON_ENUMERATION, TWTY_UINT16, 1, {TWCP_NONE}, 0},
    // The two of the first releases first, in their order: an application
    // that takes the list's head gets what it always got.
    {ICAP_IMAGEFILEFORMAT, TWON_ENUMERATION, TWTY_UINT16, 5, {TWFF_TIFF, TWFF_BMP, TWFF_PNG, TWFF_JFIF, TWFF_TIFFMULTI}, 0},
    {ICAP_JPEGQUALITY, TWON_ONEVALUE, TWTY_INT16, 1, {75}, 0},
    {ICAP_BITDEPTH, TWON_ONEVALUE, TWTY_UINT16, 1, {8}, 0},
    {ICAP_PLANARCHUNKY, TWON_ENUMERATION, TWTY_UINT16, 1, {TWPC_CHUNKY}, 0},
    {ICAP_XRESOLUTION, TWON_ONEVALUE, TWTY_FIX32, 1, {0}, 0},
    {ICAP_YRESOLUTION, TWON_ONEVALUE, TWTY_FIX32, 1, {0}, 0},
    {CAP_AUTOFEED, TWON_ONEVALUE, TWTY_BOOL, 1, {False}, 0},
    {CAP_FEEDERLOADED, TWON_ONEVALUE, TWTY_BOOL, 1, {True}, 0},
    {CAP_FEEDERENABLED, TWON_ONEVALUE, TWTY_BOOL, 1, {False}, 0},
    {CAP_UICONTROLLABLE, TWON_ONEVALUE, TWTY_BOOL, 1, {True}, 0},
    {CAP_ENABLEDSUIONLY, TWON_ONEVALUE, TWTY_BOOL, 1, {True}, 0},
    // DAT_CUSTOMDSDATA saves and restores the user's whole setup.
    {CAP_CUSTOMDSDATA, TWON_ONEVALUE, TWTY_BOOL, 1, {True}, 0},
    {ICAP_BITORDER, TWON_ONEVALUE, TWTY_UINT16, 1, {TWBO_MSBFIRST}, 0},
    // Answered from the capability table itself; the entry keeps its place.
    {CAP_SUPPORTEDCAPS, TWON_ARRAY, TWTY_UINT16, 0, {}, 0},
    // Automatic capture: off, and when it is set, no wait before the first
    // frame nor between frames until the application asks for one.
    {CAP_AUTOMATICCAPTURE, TWON_ONEVALUE, TWTY_INT32, 1, {0}, 0},
    {CAP_TIMEBEFOREFIRSTCAPTURE, TWON_ONEVALUE, TWTY_INT32, 1, {0}, 0},
    {CAP_TIMEBETWEENCAPTURES, TWON_ONEVALUE, TWTY_INT32, 1, {0}, 0},
    {CAP_CLEARBUFFERS, TWON_ENUMERATION, TWTY_UINT16, 3, {TWCB_AUTO, TWCB_CLEAR, TWCB_NOCLEAR}, 0},
    // Frames held for the application: as many as it asks, up to what memory
    // allows for the frame size at the enable.
    {CAP_MAXBATCHBUFFERS, TWON_ONEVALUE, TWTY_UINT32, 1, {1}, 0},
    {CUSTCAP_AVERAGEFRAMES, TWON_ONEVALUE, TWTY_UINT16, 1, {1}, 0},
    {CAP_EXTIMAGEINFO, TWON_ONEVALUE, TWTY_BOOL, 1, {False}, 0},
};

// The transfer layer's answer to whether its encoders can be had; without
// them only the board library's TIFF is written.
bool (*EncoderProbe)() = nullptr;

HGLOBAL MakeDefault(const DefaultEntry& entry)
{
    if (entry.Cap == ICAP_IMAGEFILEFORMAT && EncoderProbe != nullptr && !EncoderProbe()) {
        return MakeEnumeration(1, 0, 0, entry.ItemType, entry.Items);
    }
    switch (entry.ConType) {
    case TWON_ONEVALUE:
        if (entry.ItemType == TWTY_FIX32) {
            const TW_FIX32 resolution = FloatToFix32(300.0);
            return MakeOneValue(TWTY_FIX32, &resolution);
        }
        if (entry.Cap == CAP_XFERCOUNT && TwainTwoApp) {
            const TW_INT16 anyNumber = -1;
            return MakeOneValue(TWTY_INT16, &anyNumber);
        }
        if (ItemSize(entry.ItemType) == 4) {
            // The row holds 16-bit items; a 32-bit one value starts from its widened first.
            const TW_UINT32 wide = entry.Items[0];
            return MakeOneValue(entry.ItemType, &wide);
        }
        return MakeOneValue(entry.ItemType, &entry.Items[0]);
    case TWON_ENUMERATION:
        if (entry.Cap == ICAP_UNITS && TwainTwoApp) {
            // TWAIN's power-on unit first: a TWAIN 2 application measures
            // in inches (at the image's resolution) or pixels.
            const TW_UINT16 units[2] = {TWUN_INCHES, TWUN_PIXELS};
            return MakeEnumeration(2, 0, 0, entry.ItemType, units);
        }
        return MakeEnumeration(entry.NumItems, entry.CurrentIndex, 0, entry.ItemType, entry.Items);
    default:
        return MakeArray(0, entry.ItemType, entry.Items);
    }
}

bool ReadItem(TW_UINT16 cap, bool current, CapabilityItem& item)
{
    item = CapabilityItem{};
    const CapabilityEntry* entry = FindCapability(cap);
    if (entry == nullptr || entry->Container == nullptr) {
        return false;
    }
    // Read in place: the transfers ask for the pixel type at every strip.
    GlobalLockGuard lock(entry->Container);
    ContainerView view;
    if (lock.Bytes() == nullptr || !ParseContainer(lock.Bytes(), GlobalSize(entry->Container), entry->ConType, view)) {
        return false;
    }
    const TW_UINT32 size = ItemSize(view.ItemType);
    TW_UINT32 index = 0;
    if (entry->ConType == TWON_ENUMERATION) {
        index = current ? view.CurrentIndex : view.DefaultIndex;
    }
    if (entry->ConType == TWON_ARRAY || index >= view.NumItems) {
        return false;
    }
    item.ItemType = view.ItemType;
    if (size != 0 && size <= sizeof item.Bytes) {
        std::memcpy(item.Bytes, view.Items + static_cast<size_t>(index) * size, size);
    }
    return true;
}

}  // namespace

TW_UINT32 CapabilityItem::AsUInt32() const
{
    return ItemValue(Bytes, ItemType);
}

TW_INT16 CapabilityItem::AsInt16() const
{
    return static_cast<TW_INT16>(GetU16(Bytes));
}

void SetEncoderProbe(bool (*probe)())
{
    EncoderProbe = probe;
}

bool CapabilityStoreExists()
{
    return TheStore.Exists;
}

uint16_t BuildCapabilityDefaults()
{
    ReleaseEntries();
    TheStore.Exists = true;
    for (const DefaultEntry& entry : Defaults) {
        HGLOBAL container = MakeDefault(entry);
        if (container == nullptr) {
            return 1;
        }
        if (!StoreCapability(entry.Cap, entry.ConType, container)) {
            GlobalFree(container);
            return 1;
        }
    }
    return 0;
}

void FreeCapabilities()
{
    ReleaseEntries();
    TheStore.Exists = false;
}

const CapabilityEntry* FindCapability(TW_UINT16 cap)
{
    for (int i = 0; i < TheStore.Count; ++i) {
        if (TheStore.Entries[i].Cap == cap) {
            return &TheStore.Entries[i];
        }
    }
    return nullptr;
}

bool ExchangeCapability(TW_UINT16 cap, TW_UINT16 conType, HGLOBAL container, CapabilityEntry& former)
{
    former = CapabilityEntry{cap, 0, nullptr};
    if (!TheStore.Exists) {
        return false;
    }
    for (int i = 0; i < TheStore.Count; ++i) {
        CapabilityEntry& entry = TheStore.Entries[i];
        if (entry.Cap == cap) {
            former = entry;
            entry.ConType = conType;
            entry.Container = container;
            return true;
        }
    }
    if (TheStore.Count == MaxEntries) {
        return false;
    }
    TheStore.Entries[TheStore.Count++] = CapabilityEntry{cap, conType, container};
    return true;
}

bool StoreCapability(TW_UINT16 cap, TW_UINT16 conType, HGLOBAL container)
{
    CapabilityEntry former = {};
    if (!ExchangeCapability(cap, conType, container, former)) {
        return false;
    }
    if (former.Container != nullptr && former.Container != container) {
        GlobalFree(former.Container);
    }
    return true;
}

bool OverwriteOneValue(TW_UINT16 cap, TW_UINT16 itemType, const void* item)
{
    const CapabilityEntry* entry = FindCapability(cap);
    if (entry == nullptr || entry->ConType != TWON_ONEVALUE || entry->Container == nullptr ||
        GlobalSize(entry->Container) < OneValueBlockSize(itemType)) {
        return false;
    }
    GlobalLockGuard lock(entry->Container);
    if (lock.Bytes() == nullptr) {
        return false;
    }
    WriteOneValue(lock.Bytes(), itemType, item);
    return true;
}

HGLOBAL CopyCapability(TW_UINT16 cap)
{
    const CapabilityEntry* entry = FindCapability(cap);
    if (entry == nullptr) {
        return nullptr;
    }
    ContainerCopy copy;
    if (!ReadContainer(entry->Container, entry->ConType, copy)) {
        return nullptr;
    }
    return MakeContainer(entry->ConType, copy);
}

bool GetCurrentItem(TW_UINT16 cap, CapabilityItem& item)
{
    return ReadItem(cap, true, item);
}

bool GetDefaultItem(TW_UINT16 cap, CapabilityItem& item)
{
    return ReadItem(cap, false, item);
}

HGLOBAL MakeDefaultContainer(TW_UINT16 cap, TW_UINT16& conType)
{
    for (const DefaultEntry& entry : Defaults) {
        if (entry.Cap == cap) {
            conType = entry.ConType;
            return MakeDefault(entry);
        }
    }
    return nullptr;
}

bool RestoreDefaultCapability(TW_UINT16 cap)
{
    TW_UINT16 conType = 0;
    HGLOBAL container = MakeDefaultContainer(cap, conType);
    if (container == nullptr) {
        return false;
    }
    if (!StoreCapability(cap, conType, container)) {
        GlobalFree(container);
        return false;
    }
    return true;
}
