#include "acquire/dsm.h"

#include <cstdio>
#include <cstring>

namespace {

// Wine's manager takes the MSG_OPENDSM argument as the window handle itself,
// where the TWAIN standard (and the 2.x manager) passes a pointer to it.
bool RunningOnWine()
{
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace

DataSourceManager::~DataSourceManager()
{
    Close();
}

bool DataSourceManager::Open(HWND window, std::string& error)
{
    library_ = LoadLibraryA(Library.c_str());
    if (library_ == nullptr) {
        error = "the TWAIN Data Source Manager (" + Library + ") is not installed";
        return false;
    }
    entry_ = reinterpret_cast<DsmEntryProc>(reinterpret_cast<void (*)()>(GetProcAddress(library_, "DSM_Entry")));
    if (entry_ == nullptr) {
        error = Library + " has no DSM_Entry";
        return false;
    }
    window_ = window;
    handleAsParent_ = RunningOnWine() && Library == "TWAIN_32.DLL";
    TW_MEMREF parent = handleAsParent_ ? static_cast<TW_MEMREF>(window_) : static_cast<TW_MEMREF>(&window_);
    const TW_UINT16 rc = entry_(&App, nullptr, DG_CONTROL, DAT_PARENT, MSG_OPENDSM, parent);
    if (rc != TWRC_SUCCESS) {
        error = std::string("the Data Source Manager refused MSG_OPENDSM (") + ConditionName(Condition(nullptr)) +
                ")";
        return false;
    }
    open_ = true;
    return true;
}

void DataSourceManager::Close()
{
    if (open_) {
        TW_MEMREF parent = handleAsParent_ ? static_cast<TW_MEMREF>(window_) : static_cast<TW_MEMREF>(&window_);
        entry_(&App, nullptr, DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, parent);
        open_ = false;
    }
    if (library_ != nullptr) {
        FreeLibrary(library_);
        library_ = nullptr;
        entry_ = nullptr;
    }
}

TW_UINT16 DataSourceManager::Call(pTW_IDENTITY dest, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data)
{
    return entry_ != nullptr ? entry_(&App, dest, dg, dat, msg, data) : TWRC_FAILURE;
}

TW_UINT16 DataSourceManager::Condition(pTW_IDENTITY dest)
{
    TW_STATUS status = {};
    if (Call(dest, DG_CONTROL, DAT_STATUS, MSG_GET, &status) != TWRC_SUCCESS) {
        return TWCC_BUMMER;
    }
    return status.ConditionCode;
}

std::vector<TW_IDENTITY> DataSourceManager::Sources()
{
    std::vector<TW_IDENTITY> sources;
    TW_IDENTITY identity = {};
    TW_UINT16 rc = Call(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETFIRST, &identity);
    while (rc == TWRC_SUCCESS) {
        sources.push_back(identity);
        std::memset(&identity, 0, sizeof identity);
        rc = Call(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETNEXT, &identity);
    }
    return sources;
}

TW_IDENTITY ApplicationIdentity(const char* productName, TW_UINT32 id)
{
    TW_IDENTITY app = {};
    app.Id = id;
    app.Version.MajorNum = 1;
    app.Version.Language = TWLG_USA;
    app.Version.Country = TWCY_USA;
    std::strcpy(app.Version.Info, "1.0");
    app.ProtocolMajor = 1;
    app.ProtocolMinor = 9;
    app.SupportedGroups = DG_CONTROL | DG_IMAGE;
    std::strcpy(app.Manufacturer, "Talvenix");
    std::strcpy(app.ProductFamily, "Tools");
    std::snprintf(app.ProductName, sizeof app.ProductName, "%s", productName);
    return app;
}

const char* ConditionName(TW_UINT16 code)
{
    switch (code) {
    case TWCC_SUCCESS: return "TWCC_SUCCESS";
    case TWCC_BUMMER: return "TWCC_BUMMER";
    case TWCC_LOWMEMORY: return "TWCC_LOWMEMORY";
    case TWCC_NODS: return "TWCC_NODS";
    case TWCC_MAXCONNECTIONS: return "TWCC_MAXCONNECTIONS";
    case TWCC_OPERATIONERROR: return "TWCC_OPERATIONERROR";
    case TWCC_BADCAP: return "TWCC_BADCAP";
    case TWCC_BADPROTOCOL: return "TWCC_BADPROTOCOL";
    case TWCC_BADVALUE: return "TWCC_BADVALUE";
    case TWCC_SEQERROR: return "TWCC_SEQERROR";
    case TWCC_BADDEST: return "TWCC_BADDEST";
    case TWCC_CAPUNSUPPORTED: return "TWCC_CAPUNSUPPORTED";
    case TWCC_CAPBADOPERATION: return "TWCC_CAPBADOPERATION";
    case TWCC_CAPSEQERROR: return "TWCC_CAPSEQERROR";
    case TWCC_DENIED: return "TWCC_DENIED";
    case TWCC_CHECKDEVICEONLINE: return "TWCC_CHECKDEVICEONLINE";
    default: return "unknown condition";
    }
}
