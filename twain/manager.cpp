// The manager's records, and the copy of a block into its allocator's.
#include "twain/manager.h"

#include <cstring>

bool TwainTwoApp = false;
TW_ENTRYPOINT ManagerEntry = {};

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
