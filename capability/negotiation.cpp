#include "capability/negotiation.h"

#include "capability/container.h"
#include "twain/condition.h"

const char* const CapabilityContext = "General failure in DG_CONTROL / DAT_CAPABILITY / ... triple\n";

TW_UINT16 HandOver(TW_CAPABILITY& capability, TW_UINT16 conType, HGLOBAL container)
{
    capability.hContainer = container;
    if (container == nullptr) {
        return RefuseCapability(TWCC_LOWMEMORY);
    }
    capability.ConType = conType;
    return TWRC_SUCCESS;
}

namespace {

TW_UINT16 AnswerItem(TW_CAPABILITY& capability, bool current)
{
    CapabilityItem item;
    const bool found = current ? GetCurrentItem(capability.Cap, item) : GetDefaultItem(capability.Cap, item);
    if (!found) {
        capability.hContainer = nullptr;
        return RefuseCapability(TWCC_BUMMER);
    }
    return AnswerOneValue(capability, item.ItemType, item.Bytes);
}

}  // namespace

TW_UINT16 RefuseCapability(TW_UINT16 code)
{
    return FailWith(CapabilityContext, code);
}

TW_UINT16 AnswerCopy(TW_CAPABILITY& capability)
{
    const CapabilityEntry* entry = FindCapability(capability.Cap);
    if (entry == nullptr) {
        capability.hContainer = nullptr;
        return RefuseCapability(TWCC_BUMMER);
    }
    return HandOver(capability, entry->ConType, CopyCapability(capability.Cap));
}

TW_UINT16 AnswerCurrent(TW_CAPABILITY& capability)
{
    return AnswerItem(capability, true);
}

TW_UINT16 AnswerDefault(TW_CAPABILITY& capability)
{
    return AnswerItem(capability, false);
}

TW_UINT16 AnswerOneValue(TW_CAPABILITY& capability, TW_UINT16 itemType, const void* item)
{
    return HandOver(capability, TWON_ONEVALUE, MakeOneValue(itemType, item));
}

namespace {

// The index of the first item of `list` that is `value`; false when none is
// (items of no size, frames and unknown types, compare equal to nothing).
bool FindItem(const ContainerCopy& list, TW_UINT32 value, TW_UINT32& index)
{
    const TW_UINT32 size = ItemSize(list.ItemType);
    for (index = 0; size != 0 && index < list.NumItems; ++index) {
        if (ItemValue(list.Items.get() + static_cast<size_t>(index) * size, list.ItemType) == value) {
            return true;
        }
    }
    return false;
}

}  // namespace

TW_UINT16 EnumerationOffers(TW_UINT16 cap, TW_UINT32 value)
{
    const CapabilityEntry* entry = FindCapability(cap);
    if (entry == nullptr || entry->ConType != TWON_ENUMERATION) {
        return TWCC_SUCCESS;
    }
    ContainerCopy stored;
    if (!ReadEnumeration(entry->Container, stored)) {
        return TWCC_LOWMEMORY;
    }
    TW_UINT32 index = 0;
    return FindItem(stored, value, index) ? TWCC_SUCCESS : TWCC_BADVALUE;
}

TW_UINT16 SelectEnumerationItem(const TW_CAPABILITY& capability)
{
    const CapabilityEntry* entry = FindCapability(capability.Cap);
    if (entry == nullptr || entry->ConType != TWON_ENUMERATION || capability.ConType != TWON_ONEVALUE) {
        return RefuseCapability(TWCC_BUMMER);
    }
    // The application's Item is taken as one 32-bit value, whatever its type.
    TW_UINT16 wantedType = 0;
    TW_UINT32 value = 0;
    if (!ReadOneValueWord(capability.hContainer, wantedType, value)) {
        return RefuseCapability(TWCC_BADVALUE);
    }

    ContainerCopy stored;
    if (!ReadEnumeration(entry->Container, stored)) {
        return RefuseCapability(TWCC_LOWMEMORY);
    }
    if (!ItemTypeCarries(wantedType, stored.ItemType)) {
        return RefuseCapability(TWCC_BADVALUE);
    }
    TW_UINT32 index = 0;
    if (!FindItem(stored, value, index)) {
        // A value the capability does not offer: accepting it while nothing
        // changes would tell the application it got what it asked for.
        return RefuseCapability(TWCC_BADVALUE);
    }
    if (index != stored.CurrentIndex) {
        HGLOBAL updated =
            MakeEnumeration(stored.NumItems, index, stored.DefaultIndex, stored.ItemType, stored.Items.get());
        if (updated == nullptr) {
            return RefuseCapability(TWCC_LOWMEMORY);
        }
        StoreCapability(capability.Cap, TWON_ENUMERATION, updated);
    }
    return TWRC_SUCCESS;
}

TW_UINT16 StoreAppContainer(const TW_CAPABILITY& capability)
{
    if (capability.ConType != TWON_ENUMERATION && capability.ConType != TWON_ONEVALUE) {
        return RefuseCapability(TWCC_BADPROTOCOL);
    }
    ContainerCopy copy;
    if (!ReadContainer(capability.hContainer, capability.ConType, copy)) {
        return RefuseCapability(TWCC_BADVALUE);
    }
    // An enumeration must point at items it has: current and default answers
    // read them later.
    if (capability.ConType == TWON_ENUMERATION &&
        (copy.NumItems == 0 || copy.CurrentIndex >= copy.NumItems || copy.DefaultIndex >= copy.NumItems)) {
        return RefuseCapability(TWCC_BADVALUE);
    }
    HGLOBAL container = MakeContainer(capability.ConType, copy);
    if (container == nullptr) {
        return RefuseCapability(TWCC_LOWMEMORY);
    }
    if (!StoreCapability(capability.Cap, capability.ConType, container)) {
        GlobalFree(container);
        return RefuseCapability(TWCC_LOWMEMORY);
    }
    return TWRC_SUCCESS;
}
