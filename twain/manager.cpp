#include "twain/manager.h"

#include <cstring>

#include "twain/condition.h"
#include "twain/source.h"

bool TwainTwoApp = false;
TW_ENTRYPOINT ManagerEntry = {};

TW_UINT16 HandleEntryPoint(const Triplet& triplet)
{
    const char* const context = "General failure in response to DAT_ENTRYPOINT.  ";
    auto* entry = static_cast<TW_ENTRYPOINT*>(triplet.pData);
    switch (triplet.MSG) {
    case MSG_SET:
        // The manager sends it before MSG_OPENDS reaches us, or right after.
        if (SourceState > 400) {
            return FailWith(context, TWCC_SEQERROR);
        }
        if (entry == nullptr || entry->DSM_Entry == nullptr) {
            return FailWith(context, TWCC_BADVALUE);
        }
        ManagerEntry = *entry;
        ManagerEntry.Size = sizeof ManagerEntry;
        // Memory functions come all four or not at all.
        if (entry->DSM_MemAllocate == nullptr || entry->DSM_MemFree == nullptr || entry->DSM_MemLock == nullptr ||
            entry->DSM_MemUnlock == nullptr) {
            ManagerEntry.DSM_MemAllocate = nullptr;
            ManagerEntry.DSM_MemFree = nullptr;
            ManagerEntry.DSM_MemLock = nullptr;
            ManagerEntry.DSM_MemUnlock = nullptr;
        }
        return TWRC_SUCCESS;
    case MSG_GET:
        if (entry == nullptr) {
            return FailWith(context, TWCC_BADVALUE);
        }
        if (ManagerEntry.DSM_Entry == nullptr) {
            return FailWith(context, TWCC_SEQERROR);
        }
        *entry = ManagerEntry;
        return TWRC_SUCCESS;
    default:
        return FailWith(context, TWCC_BADPROTOCOL);
    }
}

void ForgetManagerEntry()
{
    ManagerEntry = TW_ENTRYPOINT{};
    TwainTwoApp = false;
}

HGLOBAL HandToApplication(HGLOBAL block)
{
    if (block == nullptr || ManagerEntry.DSM_MemAllocate == nullptr) {
        return block;
    }
    const SIZE_T size = GlobalSize(block);
    TW_HANDLE handed = ManagerEntry.DSM_MemAllocate(static_cast<TW_UINT32>(size));
    if (handed == nullptr) {
        GlobalFree(block);
        return nullptr;
    }
    void* to = ManagerEntry.DSM_MemLock(handed);
    void* from = GlobalLock(block);
    if (to == nullptr || from == nullptr) {
        if (from != nullptr) {
            GlobalUnlock(block);
        }
        if (to != nullptr) {
            ManagerEntry.DSM_MemUnlock(handed);
        }
        ManagerEntry.DSM_MemFree(handed);
        GlobalFree(block);
        return nullptr;
    }
    std::memcpy(to, from, size);
    GlobalUnlock(block);
    ManagerEntry.DSM_MemUnlock(handed);
    GlobalFree(block);
    return static_cast<HGLOBAL>(handed);
}
