// The entry point's filters, the log writer and the condition texts, driven
// in the test process on the source's own objects (its records can be set
// up directly here).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "rig/ds_rig.h"
#include "rig/in_process_source.h"
#include "twain/condition.h"
#include "twain/debug_log.h"
#include "twain/source.h"

extern "C" TW_UINT16 __stdcall DS_Entry(pTW_IDENTITY, TW_UINT32, TW_UINT16, TW_UINT16, TW_MEMREF);

namespace {

// Points the in-process log at a fresh file in the temporary folder.
class InProcessLog : public ::testing::Test {
protected:
    void SetUp() override
    {
        path_ = LogToTemporaryFolder();
    }
    void TearDown() override
    {
        DumpMode = 0;
        AppIdentity.Id = 0;
        DeleteFileA(path_.c_str());
    }
    std::string Log() const { return ReadFileText(path_); }
    std::string path_;
};

TEST_F(InProcessLog, WriterAddsNothingAndKeepsPercentSigns)
{
    {
        DebugLog log;
        log.Write("a").Write("%s", "C:\\100%\\%d%s").Write("%d\n", 7);
    }
    EXPECT_EQ(Log(), "aC:\\100%\\%d%s7\r\n");
}

TEST_F(InProcessLog, LongMessagesAreCutTo511Characters)
{
    const std::string longText(600, 'x');
    DebugLog().Write("%s", longText.c_str());
    EXPECT_EQ(Log(), std::string(511, 'x'));
    DeleteFileA(path_.c_str());
    const std::string exact(511, 'y');
    DebugLog().Write("%s", exact.c_str());
    EXPECT_EQ(Log(), exact);
}

TEST_F(InProcessLog, NestedWritersKeepTheOrderOfWrites)
{
    DebugLog outer;
    outer.Write("1 ");
    {
        DebugLog inner;
        inner.Write("2 ");
        outer.Write("3 ");
        inner.Write("4 ");
    }
    outer.Write("5");
    EXPECT_EQ(Log(), "1 2 3 4 5");
}

TEST_F(InProcessLog, NoFileForOtherModesAndAnUnwritableFolder)
{
    for (DWORD mode : {0ul, 1ul, DumpToDebugger}) {
        DumpMode = mode;
        DebugLog().Write("text");
        EXPECT_FALSE(FileExists(path_)) << mode;
    }
    DumpMode = DumpToFile;
    std::strcpy(ModuleDirectory, "Z:\\no\\such\\folder");
    DebugLog().Write("lost, but no harm");
    SUCCEED();
}

TEST_F(InProcessLog, ConditionTextsByCode)
{
    const struct {
        int code;
        const char* text;
    } rows[] = {
        {0, "Success message from detailed error request ??"},
        {1, "Bummer error."},
        {2, "Low Memory Condition encountered, free up some memory and try again."},
        {3, "No Data Source found error."},
        {4, "Source is connected to max possible apps."},
        {5, "An operation error just occurred."},
        {6, "Bad capabilities error."},
        {9, "Bad protocol error."},
        {10, "Bad value error."},
        {11, "DG DAT MSG is out of expected sequence."},
        {12, "Unknown destination Application/Source in DSM_Entry"},
        {13, "Capability not supported by data source"},
        {14, " Operation not supported by capability "},
        {15, "Capability has dependancy on other capability"},
        {23, "The device went offline prior to or during this operation"},
        {7, "Unknown Error value in condition code."},
        {8, "Unknown Error value in condition code."},
        {16, "Unknown Error value in condition code."},
        {22, "Unknown Error value in condition code."},
        {24, "Unknown Error value in condition code."},
        {-1, "Unknown Error value in condition code."},
    };
    std::string expected;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.code);
        ReportCondition("ctx: ", row.code);
        EXPECT_EQ(PendingCondition, static_cast<TW_UINT16>(row.code));
        expected += std::string("ctx: ") + row.text;
    }
    EXPECT_EQ(Log(), expected);
}

TEST_F(InProcessLog, OriginFilterAdmitsOnlyTheConnectedApplication)
{
    AppIdentity.Id = 5;
    PendingCondition = TWCC_SUCCESS;
    TW_IDENTITY other = TestAppIdentity(6);
    TW_IDENTITY identity;
    std::memset(&identity, 0xAB, sizeof identity);
    const TW_IDENTITY untouched = identity;
    EXPECT_EQ(DS_Entry(&other, DG_CONTROL, DAT_IDENTITY, MSG_GET, &identity), TWRC_SUCCESS);
    EXPECT_EQ(std::memcmp(&identity, &untouched, sizeof identity), 0) << "pData untouched";
    // A second application's open is ignored, not refused.
    EXPECT_EQ(DS_Entry(&other, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &identity), TWRC_SUCCESS);
    EXPECT_EQ(DS_Entry(&other, 99, 0x4242, MSG_GET, nullptr), TWRC_SUCCESS);
    EXPECT_EQ(DS_Entry(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GET, &identity), TWRC_SUCCESS);
    EXPECT_EQ(PendingCondition, TWCC_SUCCESS);
    EXPECT_FALSE(FileExists(path_)) << "nothing logged for filtered calls";

    TW_IDENTITY connected = TestAppIdentity(5);
    EXPECT_EQ(DS_Entry(&connected, DG_CONTROL, DAT_IDENTITY, MSG_GET, &identity), TWRC_SUCCESS);
    EXPECT_STREQ(identity.ProductName, SourceIdentity.ProductName);
    EXPECT_EQ(Log(), "Dispatching DG_CONTROL / DAT_3 / MSG_1 \r\n");
}

}  // namespace
