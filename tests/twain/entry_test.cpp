// DS_Entry of the built module, as a Data Source Manager calls it.
#include <gtest/gtest.h>

#include <cstring>

#include "rig/ds_rig.h"

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
    EXPECT_EQ(identity.ProtocolMajor, 1);
    EXPECT_EQ(identity.ProtocolMinor, 8);
    EXPECT_EQ(identity.SupportedGroups, DG_CONTROL | DG_IMAGE);
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
    EXPECT_EQ(ds.Call(DG_CONTROL, DAT_CUSTOMDSDATA, MSG_GET, data), TWRC_FAILURE);
    EXPECT_EQ(ds.Status(), TWCC_BADPROTOCOL);
    EXPECT_EQ(ds.Call(DG_IMAGE, 0x0199, MSG_GET, data), TWRC_FAILURE);
    EXPECT_EQ(ds.Status(), TWCC_BADPROTOCOL);
    // The code is read once: a second status is success again.
    EXPECT_EQ(ds.Status(), TWCC_SUCCESS);
}

TEST_F(EntryTest, OtherDataGroupsFailAndLeaveTheConditionPending)
{
    DsModule ds;
    TW_UINT32 data[64] = {};
    ASSERT_EQ(ds.Call(DG_CONTROL, DAT_CUSTOMDSDATA, MSG_GET, data), TWRC_FAILURE);
    EXPECT_EQ(ds.Call(DG_AUDIO, 0x0201, MSG_GET, data), TWRC_FAILURE);
    EXPECT_EQ(ds.Call(0x0100, DAT_STATUS, MSG_GET, data), TWRC_FAILURE);
    EXPECT_EQ(ds.Status(), TWCC_BADPROTOCOL) << "the condition pending before DG_AUDIO";
}

TEST_F(EntryTest, StatusReportsTheLastFailureOnce)
{
    DsModule ds;
    TW_IDENTITY identity = {};
    TW_UINT32 data[64] = {};
    ASSERT_EQ(ds.Call(DG_CONTROL, DAT_CUSTOMDSDATA, MSG_GET, data), TWRC_FAILURE);  // BADPROTOCOL
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
    ASSERT_EQ(ds.Call(DG_CONTROL, DAT_CUSTOMDSDATA, MSG_GET, data), TWRC_FAILURE);
    EXPECT_EQ(ds.Call(DG_CONTROL, DAT_STATUS, MSG_GET, nullptr), TWRC_FAILURE);
    EXPECT_EQ(ds.Status(), TWCC_BADPROTOCOL);
    EXPECT_EQ(ds.Call(DG_CONTROL, DAT_STATUS, MSG_GET, nullptr), TWRC_FAILURE);
    EXPECT_EQ(ds.Status(), TWCC_SUCCESS);
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
    ds.Call(DG_CONTROL, DAT_CUSTOMDSDATA, MSG_GET, data);
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
    ds.Call(DG_CONTROL, DAT_CUSTOMDSDATA, MSG_GET, data);
    ds.Call(DG_IMAGE, 0x0199, 0x0abc, data);
    ds.Call(DG_AUDIO, 0x0201, MSG_GET, data);
    MSG message = {};
    TW_EVENT event = {&message, 0};
    ds.Call(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event);  // never logged
    ds.Status();
    const std::string expected =
        "Dispatching DG_CONTROL / DAT_3 / MSG_1 \r\n"
        "Dispatching DG_CONTROL / DAT_c / MSG_1 \r\n"
        "General failure in dispatcher of DG_CONTROL or DG_IMAGE.   Bad protocol error."
        "Dispatching DG_IMAGE / DAT_199 / MSG_abc \r\n"
        "General failure in dispatcher of DG_CONTROL or DG_IMAGE.   Bad protocol error."
        "Dispatching nothing, bad protocol (or DG_AUDIO) \r\n"
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
        ds.Call(DG_CONTROL, DAT_CUSTOMDSDATA, MSG_GET, data);
        EXPECT_EQ(FileExists(SourceLogPath()), row.file);
    }
    // No key at all: nothing either.
    DeleteSourceLog();
    ResetSourceRegistry();
    DsModule ds;
    TW_UINT32 data[64] = {};
    ds.Call(DG_CONTROL, DAT_CUSTOMDSDATA, MSG_GET, data);
    EXPECT_FALSE(FileExists(SourceLogPath()));
}

TEST_F(EntryTest, DumpModeIsReadAtLoadOnly)
{
    SetDumpMode(0);
    DsModule ds;
    SetDumpMode(42);
    TW_UINT32 data[64] = {};
    ds.Call(DG_CONTROL, DAT_CUSTOMDSDATA, MSG_GET, data);
    EXPECT_FALSE(FileExists(SourceLogPath()));
    ds.Reload();
    ds.Call(DG_CONTROL, DAT_CUSTOMDSDATA, MSG_GET, data);
    EXPECT_TRUE(FileExists(SourceLogPath()));
}

TEST_F(EntryTest, DumpOfAnotherRegistryTypeTakesItsFirstFourBytes)
{
    const BYTE binary[6] = {42, 0, 0, 0, 9, 9};
    WriteRegistryValue("SOFTWARE\\Talvenix\\Twain\\", "Dump", REG_BINARY, binary, sizeof binary);
    DsModule ds;
    TW_UINT32 data[64] = {};
    ds.Call(DG_CONTROL, DAT_CUSTOMDSDATA, MSG_GET, data);
    EXPECT_TRUE(FileExists(SourceLogPath()));
}

}  // namespace
