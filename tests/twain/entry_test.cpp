// DS_Entry of the built module, as a Data Source Manager calls it.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "rig/app_containers.h"
#include "rig/ds_rig.h"
#include "rig/message_box_watcher.h"

namespace {

class EntryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetSourceRegistry();
        DeleteSourceLog();
    }
};

TEST_F(EntryTest, IdentityBeforeAnyOpenIsTheDefaults)
{
    DsModule ds;
    TW_IDENTITY identity;
    std::memset(&identity, 0xCC, sizeof identity);
    ASSERT_EQ(ds.Call(DG_CONTROL, DAT_IDENTITY, MSG_GET, &identity), TWRC_SUCCESS);
    EXPECT_EQ(identity.Id, 0u);
    EXPECT_EQ(identity.Version.MajorNum, 1);
    EXPECT_EQ(identity.Version.MinorNum, 0);
    EXPECT_EQ(identity.Version.Language, TWLG_USA);
    EXPECT_EQ(identity.Version.Country, TWCY_USA);
    EXPECT_STREQ(identity.Version.Info, "Version 1.00");
    // TWAIN 2.4 to the applications that speak it (the face is chosen at the open).
    EXPECT_EQ(identity.ProtocolMajor, 2);
    EXPECT_EQ(identity.ProtocolMinor, 4);
    EXPECT_EQ(identity.SupportedGroups, DG_CONTROL | DG_IMAGE | DF_DS2);
    EXPECT_STREQ(identity.Manufacturer, "Talvenix, Ing. Buro Quellmar");
    EXPECT_STREQ(identity.ProductFamily, "TWAIN");
    EXPECT_STREQ(identity.ProductName, "Talvenix Matrox Orion driver");
    // The manager enumerates with whatever origin it has, even none.
    TW_IDENTITY again = {};
    EXPECT_EQ(ds.CallAs(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GET, &again), TWRC_SUCCESS);
    EXPECT_EQ(std::memcmp(&again, &identity, sizeof identity), 0);
}

TEST_F(EntryTest, IdentityMessagesNotServedFailWithBadProtocol)
{
    DsModule ds;
    for (TW_UINT16 msg : {MSG_GETDEFAULT, MSG_GETFIRST, MSG_GETNEXT, MSG_USERSELECT, MSG_SET}) {
        SCOPED_TRACE(msg);
        TW_IDENTITY identity = {};
        EXPECT_EQ(ds.Call(DG_CONTROL, DAT_IDENTITY, msg, &identity), TWRC_FAILURE);
        EXPECT_EQ(ds.Status(), TWCC_BADPROTOCOL);
    }
}

TEST_F(EntryTest, ProcessEventIsAnEventOnlyForDatEvent)
{
    DsModule ds;
    MSG message = {};
    TW_EVENT event = {&message, 0x1234};
    EXPECT_EQ(ds.Call(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event), TWRC_NOTDSEVENT);
    EXPECT_EQ(event.TWMessage, MSG_NULL);
    // A manager that passes no event block gets no crash.
    EXPECT_EQ(ds.Call(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, nullptr), TWRC_NOTDSEVENT);
    // Another type's block is not an event: refused, and never written into
    // (a 4-byte block would otherwise take a write past its end).
    const struct {
        TW_UINT32 dg;
        TW_UINT16 dat;
    } pairs[] = {{DG_IMAGE, DAT_IMAGEINFO}, {DG_CONTROL, DAT_CAPABILITY}, {DG_CONTROL, DAT_XFERGROUP},
                 {DG_AUDIO, DAT_NULL},      {77, 0x4242}};
    for (const auto& pair : pairs) {
        SCOPED_TRACE(pair.dat);
        event = {&message, 0x1234};
        EXPECT_EQ(ds.Call(pair.dg, pair.dat, MSG_PROCESSEVENT, &event), TWRC_FAILURE);
        EXPECT_EQ(event.pEvent, &message);
        EXPECT_EQ(event.TWMessage, 0x1234);
    }
}

TEST_F(EntryTest, UnknownDataTypeFailsWithBadProtocol)
{
    DsModule ds;
    TW_UINT32 data[64] = {};
    EXPECT_EQ(ds.Call(DG_CONTROL, DAT_PARENT, MSG_GET, data), TWRC_FAILURE);
    EXPECT_EQ(ds.Status(), TWCC_BADPROTOCOL);
    EXPECT_EQ(ds.Call(DG_IMAGE, 0x0199, MSG_GET, data), TWRC_FAILURE);
    EXPECT_EQ(ds.Status(), TWCC_BADPROTOCOL);
    // The code is read once: a second status is success again.
    EXPECT_EQ(ds.Status(), TWCC_SUCCESS);
}


// Whether a triplet moves the source between states: those are walked,
// refusals included, by the transfer tests' state table.
bool ChangesState(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg)
{
    if (dg == DG_CONTROL) {
        return (dat == DAT_IDENTITY && (msg == MSG_OPENDS || msg == MSG_CLOSEDS)) || dat == DAT_USERINTERFACE ||
               (dat == DAT_PENDINGXFERS && (msg == MSG_ENDXFER || msg == MSG_RESET));
    }
    return dg == DG_IMAGE && msg == MSG_GET && (dat == 0x0103 || dat == 0x0104 || dat == 0x0105);
}

// Every refusal the source can produce leaves a condition code for
// DAT_STATUS: triplets of every data group, data type and message, known or
// not, without data and with a zeroed block, in states 3, 4, 6 and 7 (a
// memory transfer under way); every capability listed and some that are not,
// by every message, set with every kind of container and item type, before
// and after enabling; and the answers that cannot be built when memory runs
// out.
TEST_F(EntryTest, EveryRefusalNamesItsCondition)
{
    MessageBoxWatcher watcher({"Talvenix TWAIN DS", "Talvenix TWAIN driver error message"});
    SetEnvironmentVariableA("ORIONSIM_FRAME_MS", "0");
    DsModule ds;
    TW_IDENTITY identity = {};
    int refusals = 0;
    auto expectNamed = [&](TW_UINT16 rc, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, const char* what) {
        if (rc == TWRC_FAILURE) {
            ++refusals;
            EXPECT_NE(ds.Status(), TWCC_SUCCESS)
                << "DG " << dg << " DAT 0x" << std::hex << dat << " MSG 0x" << msg << std::dec << ": " << what;
        }
    };
    const TW_UINT32 groups[] = {DG_CONTROL, DG_IMAGE, DG_AUDIO, 0x0100};
    const TW_UINT16 types[] = {DAT_NULL, 0x0001, 0x0002, 0x0003, 0x0005, 0x0006, 0x0007, 0x0008, 0x0009, 0x000A,
                               DAT_CUSTOMDSDATA, 0x0101, 0x0102, 0x0103, 0x0104, 0x0105, 0x0199, 0x0201};
    const TW_UINT16 messages[] = {0x0001, 0x0002, 0x0003, 0x0004, 0x0005, 0x0006, 0x0007, 0x0008, 0x0601, 0x07FF};
    // Capabilities: a container of each kind and item type.
    std::vector<std::pair<TW_UINT16, std::vector<uint8_t>>> containers = {
        {TWON_ONEVALUE, {}},
        {TWON_ONEVALUE, {1, 0, 5}},
        {TWON_ENUMERATION, EnumerationBytes(TWTY_UINT16, 2, {1, 2}, 0, 0)},
        {TWON_ENUMERATION, EnumerationBytes(TWTY_UINT16, 2, {}, 0, 0)},
        {TWON_ARRAY, ArrayBytes(TWTY_UINT16, 2, {1, 2})},
        {TWON_RANGE, OneValueBytes(TWTY_UINT16, 1)},
        {99, OneValueBytes(TWTY_UINT16, 1)},
    };
    for (TW_UINT16 itemType = 0; itemType <= 13; ++itemType) {
        for (uint32_t item : {0u, 2u, 0xFFFEu, 0xFFFFFFFFu}) {
            containers.push_back({TWON_ONEVALUE, OneValueBytes(itemType, item)});
        }
    }
    auto walkCapabilities = [&](bool enabled) {
        TW_CAPABILITY listed = {CAP_SUPPORTEDCAPS, 0, nullptr};
        ASSERT_EQ(ds.Call(DG_CONTROL, DAT_CAPABILITY, MSG_GET, &listed), TWRC_SUCCESS);
        std::vector<uint32_t> caps = ReadArrayBlock(listed.hContainer, 2).Items;
        GlobalFree(listed.hContainer);
        caps.insert(caps.end(), {ICAP_BRIGHTNESS, 0x8001, 0});
        for (uint32_t id : caps) {
            for (TW_UINT16 msg : messages) {
                TW_CAPABILITY cap = {static_cast<TW_UINT16>(id), 0, nullptr};
                if (msg != MSG_SET) {
                    expectNamed(ds.Call(DG_CONTROL, DAT_CAPABILITY, msg, &cap), DG_CONTROL, id, msg, "capability");
                    GlobalFree(cap.hContainer);
                    continue;
                }
                for (const auto& container : containers) {
                    HGLOBAL block = container.second.empty() ? nullptr : GlobalBlock(container.second);
                    cap = {static_cast<TW_UINT16>(id), container.first, block};
                    const TW_UINT16 rc = ds.Call(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &cap);
                    expectNamed(rc, DG_CONTROL, id, msg, enabled ? "capability set, enabled" : "capability set");
                    GlobalFree(block);
                }
            }
        }
    };

    for (int state : {3, 4, 6, 7}) {
        SCOPED_TRACE(testing::Message() << "state " << state);
        if (state >= 4) {
            ASSERT_EQ(ds.Call(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &identity), TWRC_SUCCESS);
        }
        if (state >= 6) {
            TW_USERINTERFACE ui = {0, 0, nullptr};
            ASSERT_EQ(ds.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui), TWRC_SUCCESS);
        }
        std::vector<uint8_t> strip(4096);
        if (state == 7) {
            TW_IMAGEMEMXFER xfer = {};
            xfer.Memory = {TWMF_APPOWNS | TWMF_POINTER, 4096, strip.data()};
            ASSERT_EQ(ds.Call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &xfer), TWRC_SUCCESS);
        }
        ds.Status();
        for (TW_UINT32 dg : groups) {
            for (TW_UINT16 dat : types) {
                for (TW_UINT16 msg : messages) {
                    if (ChangesState(dg, dat, msg)) {
                        continue;
                    }
                    expectNamed(ds.Call(dg, dat, msg, nullptr), dg, dat, msg, "no data");
                    alignas(8) uint8_t block[1024] = {};
                    expectNamed(ds.Call(dg, dat, msg, block), dg, dat, msg, "zeroed block");
                }
            }
        }
        if (state == 4 || state == 6) {
            walkCapabilities(state == 6);
        }
        if (state == 4) {
            // Answers that need memory the process no longer has.
            std::vector<HGLOBAL> held = HoldEveryMovableHandle();
            for (TW_UINT16 id : {CAP_SUPPORTEDCAPS, ICAP_PIXELTYPE, ICAP_XFERMECH, ICAP_PHYSICALWIDTH, ICAP_BITORDER}) {
                for (TW_UINT16 msg : {MSG_GET, MSG_GETCURRENT, MSG_GETDEFAULT, MSG_RESET, MSG_QUERYSUPPORT}) {
                    TW_CAPABILITY cap = {id, 0, nullptr};
                    const TW_UINT16 rc = ds.Call(DG_CONTROL, DAT_CAPABILITY, msg, &cap);
                    const TW_UINT16 condition = ds.Status();
                    if (rc == TWRC_FAILURE) {
                        ++refusals;
                        EXPECT_EQ(condition, TWCC_LOWMEMORY) << "cap 0x" << std::hex << id << " msg 0x" << msg;
                    }
                    GlobalFree(cap.hContainer);
                }
            }
            ReleaseHandles(held);
        }
        ds.Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &identity);
    }
    EXPECT_GT(refusals, 3000) << "the walk refuses something";
    SetEnvironmentVariableA("ORIONSIM_FRAME_MS", nullptr);
}

TEST_F(EntryTest, StatusReportsTheLastFailureOnce)
{
    DsModule ds;
    TW_IDENTITY identity = {};
    TW_UINT32 data[64] = {};
    ASSERT_EQ(ds.Call(DG_CONTROL, DAT_PARENT, MSG_GET, data), TWRC_FAILURE);  // BADPROTOCOL
    ASSERT_EQ(ds.Call(DG_CONTROL, DAT_IDENTITY, MSG_GET, nullptr), TWRC_FAILURE);   // BADVALUE
    EXPECT_EQ(ds.Status(), TWCC_BADVALUE);
    EXPECT_EQ(ds.Status(), TWCC_SUCCESS);
    ASSERT_EQ(ds.Call(DG_CONTROL, DAT_IDENTITY, MSG_GET, &identity), TWRC_SUCCESS);
    EXPECT_EQ(ds.Status(), TWCC_SUCCESS) << "success leaves the code alone";

    // A status request with the wrong message fails and leaves BADPROTOCOL.
    TW_STATUS status = {0x7777, 0x7777};
    EXPECT_EQ(ds.Call(DG_CONTROL, DAT_STATUS, MSG_GETCURRENT, &status), TWRC_FAILURE);
    EXPECT_EQ(status.ConditionCode, 0x7777) << "block untouched";
    EXPECT_EQ(ds.Status(), TWCC_BADPROTOCOL);
}

TEST_F(EntryTest, NullDataBlocksAreRefusedNotDereferenced)
{
    DsModule ds;
    // A status request without a block cannot take the pending code, and
    // must not replace it either.
    TW_UINT32 data[64] = {};
    ASSERT_EQ(ds.Call(DG_CONTROL, DAT_PARENT, MSG_GET, data), TWRC_FAILURE);
    EXPECT_EQ(ds.Call(DG_CONTROL, DAT_STATUS, MSG_GET, nullptr), TWRC_FAILURE);
    EXPECT_EQ(ds.Status(), TWCC_BADPROTOCOL);
    EXPECT_EQ(ds.Call(DG_CONTROL, DAT_STATUS, MSG_GET, nullptr), TWRC_FAILURE);
    EXPECT_EQ(ds.Status(), TWCC_BADVALUE) << "with nothing pending, its own code";
    EXPECT_EQ(ds.Call(DG_CONTROL, DAT_CAPABILITY, MSG_GET, nullptr), TWRC_FAILURE);
    EXPECT_EQ(ds.Status(), TWCC_BADVALUE);
    EXPECT_EQ(ds.CallAs(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GET, nullptr), TWRC_FAILURE);
    EXPECT_EQ(ds.Status(), TWCC_BADVALUE);
}

TEST_F(EntryTest, CurrentDirectoryIsUnchangedWithTheFileLog)
{
    SetDumpMode(42);
    DsModule ds;
    char before[MAX_PATH] = "";
    GetCurrentDirectoryA(sizeof before, before);
    char temp[MAX_PATH] = "";
    GetTempPathA(sizeof temp, temp);
    ASSERT_TRUE(SetCurrentDirectoryA(temp));
    char inTemp[MAX_PATH] = "";
    GetCurrentDirectoryA(sizeof inTemp, inTemp);
    TW_IDENTITY identity = {};
    TW_UINT32 data[64] = {};
    ds.Call(DG_CONTROL, DAT_IDENTITY, MSG_GET, &identity);
    ds.Call(DG_CONTROL, DAT_PARENT, MSG_GET, data);
    char after[MAX_PATH] = "";
    GetCurrentDirectoryA(sizeof after, after);
    EXPECT_STREQ(after, inTemp);
    SetCurrentDirectoryA(before);
    EXPECT_TRUE(FileExists(SourceLogPath())) << "the log lies beside the module";
}

TEST_F(EntryTest, FileLogRecordsDispatchAndConditions)
{
    SetDumpMode(42);
    DsModule ds;
    TW_IDENTITY identity = {};
    TW_UINT32 data[64] = {};
    ds.Call(DG_CONTROL, DAT_IDENTITY, MSG_GET, &identity);
    ds.Call(DG_CONTROL, DAT_PARENT, MSG_GET, data);
    ds.Call(DG_IMAGE, 0x0199, 0x0abc, data);
    ds.Call(DG_AUDIO, 0x0201, MSG_GET, data);
    MSG message = {};
    TW_EVENT event = {&message, 0};
    ds.Call(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event);  // never logged
    ds.Status();
    const std::string expected =
        "Dispatching DG_CONTROL / DAT_3 / MSG_1 \r\n"
        "Dispatching DG_CONTROL / DAT_4 / MSG_1 \r\n"
        "General failure in dispatcher of DG_CONTROL or DG_IMAGE.   Bad protocol error."
        "Dispatching DG_IMAGE / DAT_199 / MSG_abc \r\n"
        "General failure in dispatcher of DG_CONTROL or DG_IMAGE.   Bad protocol error."
        "Dispatching nothing, bad protocol (or DG_AUDIO) \r\nBad protocol error."
        "Dispatching DG_CONTROL / DAT_8 / MSG_1 \r\n";
    EXPECT_EQ(ReadFileText(SourceLogPath()), expected);

    // A second run appends.
    ds.Reload();
    ds.Call(DG_CONTROL, DAT_IDENTITY, MSG_GET, &identity);
    EXPECT_EQ(ReadFileText(SourceLogPath()), expected + "Dispatching DG_CONTROL / DAT_3 / MSG_1 \r\n");
}

TEST_F(EntryTest, OnlyDumpValues42And66WriteTheFile)
{
    const struct {
        DWORD dump;
        bool file;
    } rows[] = {{42, true}, {66, false}, {1, false}, {0, false}, {43, false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.dump);
        DeleteSourceLog();
        SetDumpMode(row.dump);
        DsModule ds;
        TW_UINT32 data[64] = {};
        ds.Call(DG_CONTROL, DAT_PARENT, MSG_GET, data);
        EXPECT_EQ(FileExists(SourceLogPath()), row.file);
    }
    // No key at all: nothing either.
    DeleteSourceLog();
    ResetSourceRegistry();
    DsModule ds;
    TW_UINT32 data[64] = {};
    ds.Call(DG_CONTROL, DAT_PARENT, MSG_GET, data);
    EXPECT_FALSE(FileExists(SourceLogPath()));
}

TEST_F(EntryTest, DumpModeIsReadAtLoadOnly)
{
    SetDumpMode(0);
    DsModule ds;
    SetDumpMode(42);
    TW_UINT32 data[64] = {};
    ds.Call(DG_CONTROL, DAT_PARENT, MSG_GET, data);
    EXPECT_FALSE(FileExists(SourceLogPath()));
    ds.Reload();
    ds.Call(DG_CONTROL, DAT_PARENT, MSG_GET, data);
    EXPECT_TRUE(FileExists(SourceLogPath()));
}

TEST_F(EntryTest, DumpOfAnotherRegistryTypeTakesItsFirstFourBytes)
{
    const BYTE binary[6] = {42, 0, 0, 0, 9, 9};
    WriteRegistryValue("SOFTWARE\\Talvenix\\Twain\\", "Dump", REG_BINARY, binary, sizeof binary);
    DsModule ds;
    TW_UINT32 data[64] = {};
    ds.Call(DG_CONTROL, DAT_PARENT, MSG_GET, data);
    EXPECT_TRUE(FileExists(SourceLogPath()));
}

}  // namespace
