// What loading, opening and starting leave behind: an application may load
// and unload the source, open and close it, and the user may restart the
// digitizer, thousands of times in one process. Every round must give back
// its heap blocks, thread-local-storage slots and handles.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>

#include "grabber/startup.h"
#include "rig/ds_rig.h"
#include "rig/in_process_source.h"
#include "rig/message_box_watcher.h"
#include "twain/source.h"

namespace {

// The heap settles after the first few rounds (the loader's and the C
// runtime's first-use blocks); from then on a round must add nothing.
constexpr int WarmUpRounds = 30;

struct Counters {
    size_t HeapBytes;
    DWORD TlsIndex;
    DWORD Handles;
};

Counters Measure()
{
    return {HeapBytesInUse(), NextTlsIndex(), OpenHandleCount()};
}

void ExpectUnchanged(const Counters& before, const Counters& after, int rounds)
{
    EXPECT_LE(after.TlsIndex, before.TlsIndex) << "slots taken in " << rounds << " rounds";
    // Wine opens a handle of its own now and then; one left per round would
    // be hundreds.
    EXPECT_LE(after.Handles, before.Handles + 4) << "handles left open in " << rounds << " rounds";
    // Wine's own blocks come and go by a few hundred bytes over the run (512
    // seen over 300 rounds); a block lost every round adds at least 8 bytes
    // a round, twice what is allowed here.
    EXPECT_LE(after.HeapBytes, before.HeapBytes + 4 * static_cast<size_t>(rounds)) << "heap bytes before " << before.HeapBytes << ", after "
                                                 << after.HeapBytes << " (" << rounds << " rounds)";
}

TEST(Lifetime, EachShippedModuleLoadsAndUnloadsLeavingNothing)
{
    for (const char* name : {"Twain_32.ds", "MIL.DLL", "MILORION.DLL"}) {
        SCOPED_TRACE(name);
        const std::string path = ExeDirectory() + "\\" + name;
        auto round = [&path] {
            HMODULE module = LoadLibraryA(path.c_str());
            if (module == nullptr) {
                return false;
            }
            return FreeLibrary(module) != 0;
        };
        for (int i = 0; i < WarmUpRounds; ++i) {
            ASSERT_TRUE(round());
        }
        const Counters before = Measure();
        // More than Wine's 1088 slots, had every load taken one.
        constexpr int Rounds = 1500;
        for (int i = 0; i < Rounds; ++i) {
            ASSERT_TRUE(round()) << "load " << i << ", error " << GetLastError();
        }
        ExpectUnchanged(before, Measure(), Rounds);
    }
}

TEST(Lifetime, TwoThousandOpensAndClosesOfOneLoadedSource)
{
    // The first open finds no settings and says so in a box.
    MessageBoxWatcher watcher;
    ResetSourceRegistry();
    DsModule ds;
    TW_IDENTITY identity = {};
    std::strcpy(identity.ProductName, "Talvenix Matrox Orion driver");
    // Every open loads the board libraries and every close frees them: what
    // they leave is left by the session.
    auto openClose = [&ds, &identity](int i) {
        identity.Id = 5;
        ASSERT_EQ(ds.Call(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &identity), TWRC_SUCCESS)
            << "open " << i << ", condition " << ds.Status();
        ASSERT_EQ(ds.Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &identity), TWRC_SUCCESS) << "close " << i;
    };
    for (int i = 0; i < WarmUpRounds; ++i) {
        openClose(i);
    }
    const Counters before = Measure();
    constexpr int Rounds = 2000;
    for (int i = 0; i < Rounds && !HasFatalFailure(); ++i) {
        openClose(i);
    }
    ExpectUnchanged(before, Measure(), Rounds);
    ResetSourceRegistry();
}

// With the board libraries held loaded, a block lost per start-up or per
// open is not hidden among the libraries' own load and unload.
TEST(Lifetime, DigitizerStartUpsAndOpensKeepTheHeapFlat)
{
    MessageBoxWatcher watcher;
    ResetSourceRegistry();
    HMODULE mil = LoadLibraryA("MIL.DLL");
    HMODULE grabber = LoadLibraryA("MILORION.DLL");
    ASSERT_NE(mil, nullptr);
    ASSERT_NE(grabber, nullptr);
    {
        DsModule ds;
        TW_IDENTITY identity = {};
        auto openClose = [&ds, &identity] {
            identity.Id = 5;
            return ds.Call(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &identity) == TWRC_SUCCESS &&
                   ds.Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &identity) == TWRC_SUCCESS;
        };
        for (int i = 0; i < WarmUpRounds; ++i) {
            ASSERT_TRUE(openClose());
        }
        const Counters before = Measure();
        for (int i = 0; i < 300; ++i) {
            ASSERT_TRUE(openClose()) << "round " << i;
        }
        ExpectUnchanged(before, Measure(), 300);
    }

    // Format changes restart the digitizer alone, grey and colour in turn.
    InProcessSource source;
    StartInProcessSource(source, "talvenix-lifetime");
    DumpMode = 0;
    ASSERT_EQ(MilInitSystem(), 0);
    auto startUp = [](int i) {
        char format[256];
        std::strcpy(format, i % 2 == 0 ? "M_CCIR" : "M_PAL");
        MilFreeDigitizer();
        return MilInitDigitizer(format) == 0 && MilInfo.HostAddress != nullptr;
    };
    for (int i = 0; i < WarmUpRounds; ++i) {
        ASSERT_TRUE(startUp(i));
    }
    const Counters before = Measure();
    for (int i = 0; i < 300; ++i) {
        ASSERT_TRUE(startUp(i)) << "start-up " << i;
    }
    ExpectUnchanged(before, Measure(), 300);
    MilFreeSystem();
    StopInProcessSource(source);
    FreeLibrary(grabber);
    FreeLibrary(mil);
}

}  // namespace
