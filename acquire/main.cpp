// twacquire: a TWAIN application for the console. It talks to the sources
// through the real Data Source Manager, as any image-acquiring program does.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "acquire/dsm.h"

namespace {

void Usage()
{
    std::printf(
        "usage: twacquire [--list] [--identity [NAME]]\n"
        "  --list             list the sources the Data Source Manager finds\n"
        "  --identity [NAME]  print the identity of the source NAME\n"
        "                     (default: Talvenix Matrox Orion driver)\n");
}

void PrintIdentity(const TW_IDENTITY& identity)
{
    std::printf("ProductName:     %s\n", identity.ProductName);
    std::printf("Manufacturer:    %s\n", identity.Manufacturer);
    std::printf("ProductFamily:   %s\n", identity.ProductFamily);
    std::printf("Version:         %u.%u \"%s\" (language %u, country %u)\n", identity.Version.MajorNum,
                identity.Version.MinorNum, identity.Version.Info, identity.Version.Language,
                identity.Version.Country);
    std::printf("Protocol:        %u.%u\n", identity.ProtocolMajor, identity.ProtocolMinor);
    std::printf("SupportedGroups: 0x%lx\n", static_cast<unsigned long>(identity.SupportedGroups));
}

TW_IDENTITY ApplicationIdentity()
{
    TW_IDENTITY app = {};
    app.Version.MajorNum = 1;
    app.Version.Language = TWLG_USA;
    app.Version.Country = TWCY_USA;
    std::strcpy(app.Version.Info, "1.0");
    app.ProtocolMajor = 1;
    app.ProtocolMinor = 9;
    app.SupportedGroups = DG_CONTROL | DG_IMAGE;
    std::strcpy(app.Manufacturer, "Talvenix");
    std::strcpy(app.ProductFamily, "Tools");
    std::strcpy(app.ProductName, "twacquire");
    return app;
}

}  // namespace

int main(int argc, char** argv)
{
    bool list = false;
    bool identity = false;
    std::string name = "Talvenix Matrox Orion driver";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--list") {
            list = true;
        } else if (arg == "--identity") {
            identity = true;
            if (i + 1 < argc && argv[i + 1][0] != '-') {
                name = argv[++i];
            }
        } else {
            Usage();
            return arg == "--help" ? 0 : 2;
        }
    }
    if (!list && !identity) {
        Usage();
        return 2;
    }

    HWND window = CreateWindowA("STATIC", "twacquire", WS_OVERLAPPED, 0, 0, 1, 1, nullptr, nullptr,
                                GetModuleHandleA(nullptr), nullptr);
    DataSourceManager dsm;
    dsm.App = ApplicationIdentity();
    std::string error;
    if (!dsm.Open(window, error)) {
        std::fprintf(stderr, "twacquire: %s\n", error.c_str());
        return 1;
    }
    const auto sources = dsm.Sources();
    if (list) {
        for (const TW_IDENTITY& source : sources) {
            std::printf("%s (%s)\n", source.ProductName, source.Manufacturer);
        }
    }
    if (identity) {
        for (const TW_IDENTITY& source : sources) {
            if (name == source.ProductName) {
                PrintIdentity(source);
                return 0;
            }
        }
        std::fprintf(stderr, "twacquire: no source named \"%s\" is installed\n", name.c_str());
        return 1;
    }
    return 0;
}
