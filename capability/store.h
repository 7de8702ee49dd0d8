// The capability store: one container per capability while the source is
// open, the only place capability values live.
#pragma once

#include <windows.h>

#include <cstdint>

#include "twain/twain_types.h"

// The source's own capability of averaged frames: each image the rounded
// mean of 1 to 64 consecutive frames (TWTY_UINT16, default 1).
constexpr TW_UINT16 CUSTCAP_AVERAGEFRAMES = CAP_CUSTOMBASE + 3;  // 0x8003

struct CapabilityEntry {
    TW_UINT16 Cap;
    TW_UINT16 ConType;  // TWON_ARRAY, TWON_ENUMERATION or TWON_ONEVALUE
    HGLOBAL Container;  // owned by the entry
};

// One item of a capability; items are never wider than 4 bytes.
struct CapabilityItem {
    TW_UINT16 ItemType = 0;
    TW_UINT8 Bytes[4] = {};

    TW_UINT32 AsUInt32() const;  // the item's bytes widened without sign
    TW_INT16 AsInt16() const;    // the first two bytes as a signed number
};

// True from BuildCapabilityDefaults until FreeCapabilities.
bool CapabilityStoreExists();

// Whether the file encoders can be had: ICAP_IMAGEFILEFORMAT offers TIFF
// alone when the registered probe says no. Registered by the layer that
// writes the files; without a probe every format is offered.
void SetEncoderProbe(bool (*probe)());

// (Re)creates the store with the default entries: 0, or 1 when memory for
// one of them is refused (the store is then incomplete, and a session
// cannot be opened on it).
uint16_t BuildCapabilityDefaults();
void FreeCapabilities();

// The stored entry of `cap`, or nullptr.
const CapabilityEntry* FindCapability(TW_UINT16 cap);

// The store takes the container; an entry's former container is freed.
// Answers false (and frees nothing of the caller's) when there is no store
// or no room for another entry; the caller keeps `container` then.
bool StoreCapability(TW_UINT16 cap, TW_UINT16 conType, HGLOBAL container);

// StoreCapability that hands the former container (nullptr when there was
// none) and its kind back in `former` instead of freeing it: the caller
// frees it, or puts it back with a second call. False as StoreCapability.
bool ExchangeCapability(TW_UINT16 cap, TW_UINT16 conType, HGLOBAL container, CapabilityEntry& former);

// Writes `item` into the stored one value of `cap` where it stands, with
// no allocation that could be refused. False (nothing written) when `cap`
// is not stored as a one value with room for an item of `itemType`.
bool OverwriteOneValue(TW_UINT16 cap, TW_UINT16 itemType, const void* item);

// A new container equal to the stored one, or nullptr.
HGLOBAL CopyCapability(TW_UINT16 cap);

// The item at CurrentIndex (DefaultIndex) of an enumeration, or a one value's
// item. False when the capability has no entry or the entry cannot be read.
bool GetCurrentItem(TW_UINT16 cap, CapabilityItem& item);
bool GetDefaultItem(TW_UINT16 cap, CapabilityItem& item);

// The container of `cap` as the defaults have it, and its kind. nullptr
// when `cap` has no default or memory is exhausted.
HGLOBAL MakeDefaultContainer(TW_UINT16 cap, TW_UINT16& conType);

// The entry of `cap` back to its default container; false when there is no
// store or no memory (the entry is kept then).
bool RestoreDefaultCapability(TW_UINT16 cap);
