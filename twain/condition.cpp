#include "twain/condition.h"

#include "twain/debug_log.h"
#include "twain/manager.h"
#include "twain/source.h"

TW_UINT16 PendingCondition = TWCC_SUCCESS;

const char* ConditionText(int code)
{
    switch (code) {
    case TWCC_SUCCESS: return "Success message from detailed error request ??";
    case TWCC_BUMMER: return "Bummer error.";
    case TWCC_LOWMEMORY: return "Low Memory Condition encountered, free up some memory and try again.";
    case TWCC_NODS: return "No Data Source found error.";
    case TWCC_MAXCONNECTIONS: return "Source is connected to max possible apps.";
    case TWCC_OPERATIONERROR: return "An operation error just occurred.";
    case TWCC_BADCAP: return "Bad capabilities error.";
    case TWCC_BADPROTOCOL: return "Bad protocol error.";
    case TWCC_BADVALUE: return "Bad value error.";
    case TWCC_SEQERROR: return "DG DAT MSG is out of expected sequence.";
    case TWCC_BADDEST: return "Unknown destination Application/Source in DSM_Entry";
    case TWCC_CAPUNSUPPORTED: return "Capability not supported by data source";
    case TWCC_CAPBADOPERATION: return " Operation not supported by capability ";
    case TWCC_CAPSEQERROR: return "Capability has dependancy on other capability";
    case TWCC_CHECKDEVICEONLINE: return "The device went offline prior to or during this operation";
    default: return "Unknown Error value in condition code.";
    }
}

void ReportCondition(const char* context, int code)
{
    DebugLog log;
    PendingCondition = static_cast<TW_UINT16>(code);
    log.Write("%s%s", context, ConditionText(code));
}

TW_UINT16 FailWith(const char* context, int code)
{
    ReportCondition(context, code);
    return TWRC_FAILURE;
}

TW_UINT16 HandleStatus(const Triplet& triplet)
{
    if (triplet.MSG != MSG_GET) {
        return FailWith("General failure in response to DAT_STATUS.  ", TWCC_BADPROTOCOL);
    }
    if (triplet.pData == nullptr) {
        // Nothing to write the code into: the code of the earlier failure
        // stays pending for a proper call, not replaced by this one's; with
        // none pending, this failure names its own.
        if (PendingCondition == TWCC_SUCCESS) {
            return FailWith("General failure in response to DAT_STATUS.  ", TWCC_BADVALUE);
        }
        DebugLog().Write("General failure in response to DAT_STATUS.  %s", ConditionText(TWCC_BADVALUE));
        return TWRC_FAILURE;
    }
    auto* status = static_cast<TW_STATUS*>(triplet.pData);
    status->ConditionCode = PendingCondition;
    status->Reserved = 0;
    PendingCondition = TWCC_SUCCESS;
    return TWRC_SUCCESS;
}

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

DsmEntryProc GetDsmEntry()
{
    // A 2.x manager that gave its entry point takes the notices through it,
    // whatever its module is called.
    if (ManagerEntry.DSM_Entry != nullptr) {
        return ManagerEntry.DSM_Entry;
    }
    // An application on the 2.x manager loaded us through it, and that
    // manager expects the notices itself: reaching it through TWAIN_32.DLL
    // depends on it intercepting that lookup, which not every system allows.
    if (HMODULE twainDsm = GetModuleHandleA("TWAINDSM.DLL")) {
        if (FARPROC entry = GetProcAddress(twainDsm, "DSM_Entry")) {
            return reinterpret_cast<DsmEntryProc>(reinterpret_cast<void (*)()>(entry));
        }
    }
    // The manager is loaded in the application already; this only takes a
    // reference, which the application's own keeps alive anyway.
    HMODULE dsm = GetModuleHandleA("TWAIN_32.DLL");
    if (dsm == nullptr) {
        dsm = LoadLibraryA("TWAIN_32.DLL");
    }
    if (dsm == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<DsmEntryProc>(
        reinterpret_cast<void (*)()>(GetProcAddress(dsm, "DSM_Entry")));
}

TW_UINT16 NotifyXferReady()
{
    DsmEntryProc dsmEntry = GetDsmEntry();
    if (dsmEntry == nullptr) {
        return 0;
    }
    // The application may start transferring from inside the call.
    SourceState = 600;
    CloseRequestedWhilePending = false;
    if (PendingTransfers == 0) {
        PendingTransfers = EnabledTransferCount;
    }
    return dsmEntry(&SourceIdentity, &AppIdentity, DG_CONTROL, DAT_NULL, MSG_XFERREADY, nullptr);
}

void NotifyCloseDsRequest()
{
    DsmEntryProc dsmEntry = GetDsmEntry();
    if (dsmEntry == nullptr) {
        return;
    }
    const bool pending = SourceState == 600;
    dsmEntry(&SourceIdentity, &AppIdentity, DG_CONTROL, DAT_NULL, MSG_CLOSEDSREQ, nullptr);
    // State 5 at once, for applications that answer with MSG_DISABLEDS;
    // those that first end the pending transfers still may.
    SourceState = 500;
    CloseRequestedWhilePending = CloseRequestedWhilePending || pending;
}

void NotifyCloseDsOk()
{
    DsmEntryProc dsmEntry = GetDsmEntry();
    if (dsmEntry == nullptr) {
        return;
    }
    // A manager that knows no MSG_CLOSEDSOK (Wine's refuses it) would leave
    // the application waiting: it hears the close request instead, which
    // ends the setup just as well, the settings kept.
    if (dsmEntry(&SourceIdentity, &AppIdentity, DG_CONTROL, DAT_NULL, MSG_CLOSEDSOK, nullptr) != TWRC_SUCCESS) {
        NotifyCloseDsRequest();
    }
}
