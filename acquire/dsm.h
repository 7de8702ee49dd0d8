// The application side of TWAIN: the Data Source Manager, loaded at run time.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "twain/twain_types.h"

typedef TW_UINT16(__stdcall* DsmEntryProc)(pTW_IDENTITY, pTW_IDENTITY, TW_UINT32, TW_UINT16, TW_UINT16,
                                           TW_MEMREF);

class DataSourceManager {
public:
    DataSourceManager() = default;
    ~DataSourceManager();
    DataSourceManager(const DataSourceManager&) = delete;
    DataSourceManager& operator=(const DataSourceManager&) = delete;

    // Loads the manager (`Library`) and opens it with `window`.
    bool Open(HWND window, std::string& error);
    void Close();

    // Calls the manager (dest none) or a source.
    TW_UINT16 Call(pTW_IDENTITY dest, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data);

    // DAT_STATUS of the manager (dest none) or of a source.
    TW_UINT16 Condition(pTW_IDENTITY dest);

    std::vector<TW_IDENTITY> Sources();

    TW_IDENTITY App = {};
    // TWAIN_32.DLL, or TWAINDSM.DLL: the 2.x manager, built for 32 and 64 bits.
    std::string Library = "TWAIN_32.DLL";

private:
    HMODULE library_ = nullptr;
    DsmEntryProc entry_ = nullptr;
    bool open_ = false;
    HWND window_ = nullptr;
    bool handleAsParent_ = false;  // Wine's own TWAIN_32.DLL
};

// The identity of one of our tools as a TWAIN application.
TW_IDENTITY ApplicationIdentity(const char* productName, TW_UINT32 id = 0);

// Name of a TWAIN condition code, for messages.
const char* ConditionName(TW_UINT16 code);
