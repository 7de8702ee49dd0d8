// Condition codes for DAT_STATUS, and the notices the source sends to the
// application through the Data Source Manager.
#pragma once

#include "twain/triplet.h"

extern TW_UINT16 PendingCondition;

// Records the code for the next DAT_STATUS and logs the context text
// followed directly by the code's fixed text.
void ReportCondition(const char* context, int code);

// ReportCondition, then the failure the handler answers with.
TW_UINT16 FailWith(const char* context, int code);

// The fixed text of a condition code.
const char* ConditionText(int code);

TW_UINT16 HandleStatus(const Triplet& triplet);

typedef TW_UINT16(__stdcall* DsmEntryProc)(pTW_IDENTITY pOrigin, pTW_IDENTITY pDest, TW_UINT32 DG,
                                           TW_UINT16 DAT, TW_UINT16 MSG, TW_MEMREF pData);

// DAT_ENTRYPOINT: MSG_SET keeps the manager's entry points (state 3 or 4)
// for the notices and the handles (twain/manager.h), MSG_GET answers them.
TW_UINT16 HandleEntryPoint(const Triplet& triplet);

// DSM_Entry of the manager already loaded in the application, or none.
DsmEntryProc GetDsmEntry();

// State 6, then MSG_XFERREADY. Returns the manager's code, 0 without manager.
TW_UINT16 NotifyXferReady();

// MSG_CLOSEDSREQ, then state 5.
void NotifyCloseDsRequest();

// MSG_CLOSEDSOK: the settings-only dialog was closed with OK. State 5 stays
// until the application disables the source. A manager that refuses it
// gets MSG_CLOSEDSREQ instead.
void NotifyCloseDsOk();
