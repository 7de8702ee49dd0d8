// twacquire: a TWAIN application for the console. It talks to a source
// through the real Data Source Manager, as any image-acquiring program does:
// opens the manager with a window, opens the source, negotiates, enables it,
// runs its message loop through MSG_PROCESSEVENT until the source says a
// transfer is ready, transfers every pending image and writes it to a file.
#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>

#include "acquire/box_watcher.h"
#include "acquire/dsm.h"
#include "acquire/options.h"
#include "acquire/session.h"

namespace {

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

}  // namespace

int main(int argc, char** argv)
{
    // Lines as they happen, also into a pipe.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        Usage(stderr);
        return 2;
    }
    if (options.Help) {
        Usage(stdout);
        return 0;
    }
    // The source may ask the user something; unattended, a watcher answers.
    std::unique_ptr<BoxWatcher> watcher;
    if (options.Unattended) {
        watcher = std::make_unique<BoxWatcher>();
    }
    HWND window = CreateWindowA("STATIC", "twacquire", WS_OVERLAPPED, 0, 0, 1, 1, nullptr, nullptr,
                                GetModuleHandleA(nullptr), nullptr);
    DataSourceManager dsm;
    dsm.App = ApplicationIdentity("twacquire");
    dsm.Library = options.Manager;
    // On the 2.x manager twacquire is a TWAIN 2.4 application, which takes
    // its notices through a registered callback.
    if (options.Manager == "TWAINDSM.DLL") {
        dsm.App.ProtocolMajor = 2;
        dsm.App.ProtocolMinor = 4;
        dsm.App.SupportedGroups |= DF_APP2;
    }
    std::string error;
    if (!dsm.Open(window, error)) {
        std::fprintf(stderr, "twacquire: %s\n", error.c_str());
        return 1;
    }
    const auto sources = dsm.Sources();
    if (options.List) {
        for (const TW_IDENTITY& source : sources) {
            std::printf("%s (%s)\n", source.ProductName, source.Manufacturer);
        }
        return 0;
    }
    const TW_IDENTITY* found = nullptr;
    for (const TW_IDENTITY& source : sources) {
        if (options.Source == source.ProductName) {
            found = &source;
        }
    }
    if (found == nullptr) {
        std::fprintf(stderr, "twacquire: no source named \"%s\" is installed\n", options.Source.c_str());
        return 1;
    }
    if (options.Identity) {
        PrintIdentity(*found);
        return 0;
    }
    // The output folder, with the folders above it.
    for (size_t at = options.OutDir.find_first_of("\\/", 3); ; at = options.OutDir.find_first_of("\\/", at + 1)) {
        CreateDirectoryA(options.OutDir.substr(0, at).c_str(), nullptr);
        if (at == std::string::npos) {
            break;
        }
    }
    Session session(dsm, options);
    const int status = session.Run(window);
    dsm.Close();
    DestroyWindow(window);
    return status;
}
