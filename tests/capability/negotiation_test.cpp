// Capability negotiation through DS_Entry, as an application negotiates.
// Until the source can be opened here, the store is built and freed in the
// test process around each test.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "capability/store.h"
#include "diag/debug_log.h"
#include "rig/app_containers.h"
#include "rig/ds_rig.h"
#include "rig/in_process_source.h"
#include "settings/source_settings.h"
#include "twain/condition.h"
#include "twain/source.h"

extern "C" TW_UINT16 __stdcall DS_Entry(pTW_IDENTITY, TW_UINT32, TW_UINT16, TW_UINT16, TW_MEMREF);

namespace {

constexpr TW_UINT16 Fix32 = TWTY_FIX32;
constexpr uint32_t Fix(int whole)
{
    return static_cast<uint32_t>(whole) & 0xFFFF;
}

class Negotiation : public ::testing::Test {
protected:
    void SetUp() override
    {
        BuildCapabilityDefaults();
        SourceSettings.ImageWidth = 768;
        SourceSettings.ImageHeight = 576;
        PendingCondition = TWCC_SUCCESS;
    }
    void TearDown() override
    {
        FreeCapabilities();
        DumpMode = 0;
    }

    // Sends one capability message; `container` (if any) is the application's
    // and is freed here afterwards, the answer's container stays in `cap_`.
    TW_UINT16 Send(TW_UINT16 cap, TW_UINT16 msg, TW_UINT16 conType = 0, HGLOBAL container = nullptr)
    {
        ReleaseAnswer();
        cap_ = {cap, conType, container};
        TW_UINT16 rc = DS_Entry(&app_, DG_CONTROL, DAT_CAPABILITY, msg, &cap_);
        if (container != nullptr) {
            GlobalFree(container);
            if (cap_.hContainer == container) {
                cap_.hContainer = nullptr;
            }
        }
        return rc;
    }
    TW_UINT16 Set(TW_UINT16 cap, TW_UINT16 conType, const std::vector<uint8_t>& bytes)
    {
        return Send(cap, MSG_SET, conType, GlobalBlock(bytes));
    }
    TW_UINT16 Condition()
    {
        TW_STATUS status = {};
        EXPECT_EQ(DS_Entry(&app_, DG_CONTROL, DAT_STATUS, MSG_GET, &status), TWRC_SUCCESS);
        return status.ConditionCode;
    }
    OneValueSeen Current(TW_UINT16 cap)
    {
        EXPECT_EQ(Send(cap, MSG_GETCURRENT), TWRC_SUCCESS) << "cap " << cap;
        EXPECT_EQ(cap_.ConType, TWON_ONEVALUE);
        return ReadOneValueBlock(cap_.hContainer);
    }
    void ReleaseAnswer()
    {
        if (cap_.hContainer != nullptr) {
            GlobalFree(cap_.hContainer);
            cap_.hContainer = nullptr;
        }
    }
    ~Negotiation() override { ReleaseAnswer(); }

    TW_IDENTITY app_ = TestAppIdentity();
    TW_CAPABILITY cap_ = {};
};

TEST_F(Negotiation, SupportedCapabilitiesInTableOrder)
{
    ASSERT_EQ(Send(CAP_SUPPORTEDCAPS, MSG_GET), TWRC_SUCCESS);
    EXPECT_EQ(cap_.ConType, TWON_ARRAY);
    const ListSeen list = ReadArrayBlock(cap_.hContainer, 2);
    EXPECT_EQ(list.ItemType, TWTY_UINT16);
    const std::vector<uint32_t> expected = {0x0001, 0x0100, 0x0101, 0x0102, 0x0103, 0x1002,
                                            0x1003, 0x1007, 0x1005, 0x100E, 0x1111, 0x1112,
                                            0x1118, 0x1119, 0x111C, 0x111F, 0x1120, 0x112B};
    EXPECT_EQ(list.NumItems, 18u);
    EXPECT_EQ(list.Items, expected);
}

// What each query answers with the defaults, read as an application reads it.
TEST_F(Negotiation, QueriesAnswerTheDefaults)
{
    struct Row {
        TW_UINT16 cap;
        TW_UINT16 msg;
        TW_UINT16 conType;
        TW_UINT16 itemType;
        std::vector<uint32_t> items;  // one value: its Item; lists: the items
        uint32_t current;             // enumerations
    };
    const Row rows[] = {
        {CAP_XFERCOUNT, MSG_GET, TWON_ONEVALUE, TWTY_INT16, {0}, 0},
        {CAP_XFERCOUNT, MSG_GETDEFAULT, TWON_ONEVALUE, TWTY_INT16, {0}, 0},
        {ICAP_COMPRESSION, MSG_GET, TWON_ENUMERATION, TWTY_UINT16, {TWCP_NONE}, 0},
        {ICAP_COMPRESSION, MSG_GETCURRENT, TWON_ONEVALUE, TWTY_UINT16, {TWCP_NONE}, 0},
        {ICAP_PIXELTYPE, MSG_GET, TWON_ENUMERATION, TWTY_UINT16, {TWPT_GRAY, TWPT_RGB}, 0},
        {ICAP_PIXELTYPE, MSG_GETDEFAULT, TWON_ONEVALUE, TWTY_UINT16, {TWPT_GRAY}, 0},
        {ICAP_UNITS, MSG_GET, TWON_ENUMERATION, TWTY_UINT16, {TWUN_PIXELS}, 0},
        {ICAP_UNITS, MSG_GETDEFAULT, TWON_ONEVALUE, TWTY_UINT16, {TWUN_PIXELS}, 0},
        {ICAP_XFERMECH, MSG_GET, TWON_ENUMERATION, TWTY_UINT16, {TWSX_NATIVE, TWSX_FILE, TWSX_MEMORY}, 0},
        {ICAP_XFERMECH, MSG_GETCURRENT, TWON_ONEVALUE, TWTY_UINT16, {TWSX_NATIVE}, 0},
        {CAP_FEEDERENABLED, MSG_GET, TWON_ONEVALUE, TWTY_BOOL, {0}, 0},
        {CAP_FEEDERLOADED, MSG_GETDEFAULT, TWON_ONEVALUE, TWTY_BOOL, {1}, 0},
        {CAP_AUTOFEED, MSG_GETCURRENT, TWON_ONEVALUE, TWTY_BOOL, {0}, 0},
        {CAP_UICONTROLLABLE, MSG_GETDEFAULT, TWON_ONEVALUE, TWTY_BOOL, {1}, 0},
        {ICAP_PHYSICALWIDTH, MSG_GET, TWON_ONEVALUE, Fix32, {Fix(768)}, 0},
        {ICAP_PHYSICALHEIGHT, MSG_GETDEFAULT, TWON_ONEVALUE, Fix32, {Fix(576)}, 0},
        {ICAP_XRESOLUTION, MSG_GET, TWON_ONEVALUE, Fix32, {Fix(300)}, 0},
        {ICAP_YRESOLUTION, MSG_GETCURRENT, TWON_ONEVALUE, Fix32, {Fix(300)}, 0},
        {ICAP_PIXELFLAVOR, MSG_GETDEFAULT, TWON_ONEVALUE, TWTY_UINT16, {TWPF_CHOCOLATE}, 0},
        {ICAP_PLANARCHUNKY, MSG_GET, TWON_ENUMERATION, TWTY_UINT16, {TWPC_CHUNKY}, 0},
        {ICAP_PLANARCHUNKY, MSG_GETDEFAULT, TWON_ONEVALUE, TWTY_UINT16, {TWPC_CHUNKY}, 0},
        {ICAP_BITDEPTH, MSG_GET, TWON_ONEVALUE, TWTY_UINT16, {8}, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "cap 0x" << std::hex << row.cap << " msg " << row.msg);
        ASSERT_EQ(Send(row.cap, row.msg), TWRC_SUCCESS);
        EXPECT_EQ(cap_.ConType, row.conType);
        if (row.conType == TWON_ONEVALUE) {
            const OneValueSeen seen = ReadOneValueBlock(cap_.hContainer);
            EXPECT_EQ(seen.ItemType, row.itemType);
            EXPECT_EQ(seen.Item, row.items[0]);
        } else {
            const ListSeen seen = ReadEnumerationBlock(cap_.hContainer, 2);
            EXPECT_EQ(seen.ItemType, row.itemType);
            EXPECT_EQ(seen.Items, row.items);
            EXPECT_EQ(seen.CurrentIndex, row.current);
            EXPECT_EQ(seen.DefaultIndex, 0u);
        }
    }
}

TEST_F(Negotiation, BitOrderFailsEveryMessageWithoutReport)
{
    PendingCondition = TWCC_SEQERROR;
    for (TW_UINT16 msg : {MSG_GET, MSG_GETCURRENT, MSG_GETDEFAULT, MSG_RESET}) {
        EXPECT_EQ(Send(ICAP_BITORDER, msg), TWRC_FAILURE) << msg;
        EXPECT_EQ(cap_.hContainer, nullptr);
    }
    EXPECT_EQ(Set(ICAP_BITORDER, TWON_ONEVALUE, OneValueBytes(TWTY_UINT16, 0)), TWRC_FAILURE);
    EXPECT_EQ(Condition(), TWCC_SEQERROR) << "the condition pending before";
}

TEST_F(Negotiation, UnsupportedCapabilitiesAndMessages)
{
    for (TW_UINT16 cap : {ICAP_IMAGEFILEFORMAT, ICAP_BRIGHTNESS, static_cast<TW_UINT16>(0x8001)}) {
        EXPECT_EQ(Send(cap, MSG_GET), TWRC_FAILURE) << cap;
        EXPECT_EQ(Condition(), TWCC_CAPUNSUPPORTED) << cap;
    }
    for (TW_UINT16 cap : {CAP_XFERCOUNT, ICAP_PIXELTYPE, ICAP_BITORDER, ICAP_PHYSICALWIDTH}) {
        EXPECT_EQ(Send(cap, MSG_QUERYSUPPORT), TWRC_FAILURE) << cap;
        EXPECT_EQ(Condition(), TWCC_BADPROTOCOL) << cap;
    }
}

TEST_F(Negotiation, SettingsAcceptedAndRefused)
{
    struct Row {
        const char* what;
        TW_UINT16 cap;
        TW_UINT16 conType;
        std::vector<uint8_t> bytes;
        TW_UINT16 rc;
        TW_UINT16 condition;
        uint32_t currentAfter;
    };
    const Row rows[] = {
        {"pixel type RGB", ICAP_PIXELTYPE, TWON_ONEVALUE, OneValueBytes(TWTY_UINT16, TWPT_RGB), TWRC_SUCCESS,
         TWCC_SUCCESS, TWPT_RGB},
        {"pixel type BW is not listed", ICAP_PIXELTYPE, TWON_ONEVALUE, OneValueBytes(TWTY_UINT16, TWPT_BW),
         TWRC_SUCCESS, TWCC_SUCCESS, TWPT_GRAY},
        {"pixel type as an array", ICAP_PIXELTYPE, TWON_ARRAY, ArrayBytes(TWTY_UINT16, 2, {1}), TWRC_FAILURE,
         TWCC_BADPROTOCOL, TWPT_GRAY},
        {"xfermech memory", ICAP_XFERMECH, TWON_ONEVALUE, OneValueBytes(TWTY_UINT16, TWSX_MEMORY), TWRC_SUCCESS,
         TWCC_SUCCESS, TWSX_MEMORY},
        {"xfermech empty enumeration", ICAP_XFERMECH, TWON_ENUMERATION,
         EnumerationBytes(TWTY_UINT16, 2, {}, 0, 0), TWRC_FAILURE, TWCC_BADVALUE, TWSX_NATIVE},
        {"compression none", ICAP_COMPRESSION, TWON_ONEVALUE, OneValueBytes(TWTY_UINT16, TWCP_NONE),
         TWRC_SUCCESS, TWCC_SUCCESS, TWCP_NONE},
        {"compression jpeg", ICAP_COMPRESSION, TWON_ONEVALUE, OneValueBytes(TWTY_UINT16, TWCP_JPEG),
         TWRC_FAILURE, TWCC_CAPUNSUPPORTED, TWCP_NONE},
        {"compression enumeration", ICAP_COMPRESSION, TWON_ENUMERATION,
         EnumerationBytes(TWTY_UINT16, 2, {0}, 0, 0), TWRC_FAILURE, TWCC_CAPUNSUPPORTED, TWCP_NONE},
        {"units pixels", ICAP_UNITS, TWON_ONEVALUE, OneValueBytes(TWTY_UINT16, TWUN_PIXELS), TWRC_SUCCESS,
         TWCC_SUCCESS, TWUN_PIXELS},
        {"units inches", ICAP_UNITS, TWON_ONEVALUE, OneValueBytes(TWTY_UINT16, TWUN_INCHES), TWRC_FAILURE,
         TWCC_CAPUNSUPPORTED, TWUN_PIXELS},
        {"pixel flavor enumeration", ICAP_PIXELFLAVOR, TWON_ENUMERATION,
         EnumerationBytes(TWTY_UINT16, 2, {0}, 0, 0), TWRC_FAILURE, TWCC_BADPROTOCOL, TWPF_CHOCOLATE},
        {"pixel flavor vanilla", ICAP_PIXELFLAVOR, TWON_ONEVALUE, OneValueBytes(TWTY_UINT16, 1), TWRC_FAILURE,
         TWCC_CAPUNSUPPORTED, TWPF_CHOCOLATE},
        {"feeder flag stored as sent", CAP_FEEDERENABLED, TWON_ONEVALUE, OneValueBytes(TWTY_UINT16, 7),
         TWRC_SUCCESS, TWCC_SUCCESS, 7},
        {"feeder flag as enumeration", CAP_AUTOFEED, TWON_ENUMERATION, EnumerationBytes(TWTY_BOOL, 2, {1}, 0, 0),
         TWRC_FAILURE, TWCC_BADPROTOCOL, 0},
        {"transfer count", CAP_XFERCOUNT, TWON_ONEVALUE, OneValueBytes(TWTY_INT16, 0xFFFF), TWRC_SUCCESS,
         TWCC_SUCCESS, 0xFFFF},
        {"transfer count unsigned", CAP_XFERCOUNT, TWON_ONEVALUE, OneValueBytes(TWTY_UINT32, 3), TWRC_SUCCESS,
         TWCC_BADPROTOCOL, 3},
        {"transfer count 32-bit signed", CAP_XFERCOUNT, TWON_ONEVALUE, OneValueBytes(TWTY_INT32, 3),
         TWRC_FAILURE, TWCC_SUCCESS, 0},
        {"transfer count enumeration", CAP_XFERCOUNT, TWON_ENUMERATION,
         EnumerationBytes(TWTY_INT16, 2, {1}, 0, 0), TWRC_FAILURE, TWCC_BADPROTOCOL, 0},
        {"x resolution", ICAP_XRESOLUTION, TWON_ONEVALUE, OneValueBytes(TWTY_FIX32, 200), TWRC_FAILURE,
         TWCC_CAPUNSUPPORTED, Fix(300)},
        {"bit depth", ICAP_BITDEPTH, TWON_ONEVALUE, OneValueBytes(TWTY_UINT16, 24), TWRC_FAILURE,
         TWCC_BADPROTOCOL, 8},
        {"planar", ICAP_PLANARCHUNKY, TWON_ONEVALUE, OneValueBytes(TWTY_UINT16, TWPC_PLANAR), TWRC_FAILURE,
         TWCC_BADPROTOCOL, TWPC_CHUNKY},
        {"physical width", ICAP_PHYSICALWIDTH, TWON_ONEVALUE, OneValueBytes(TWTY_FIX32, 5), TWRC_FAILURE,
         TWCC_BADPROTOCOL, Fix(768)},
        {"ui controllable", CAP_UICONTROLLABLE, TWON_ONEVALUE, OneValueBytes(TWTY_BOOL, 0), TWRC_FAILURE,
         TWCC_BADPROTOCOL, 1},
        {"supported caps", CAP_SUPPORTEDCAPS, TWON_ARRAY, ArrayBytes(TWTY_UINT16, 2, {1}), TWRC_FAILURE,
         TWCC_BADPROTOCOL, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        BuildCapabilityDefaults();
        PendingCondition = TWCC_SUCCESS;
        EXPECT_EQ(Set(row.cap, row.conType, row.bytes), row.rc);
        EXPECT_EQ(Condition(), row.condition);
        if (row.cap != CAP_SUPPORTEDCAPS) {
            EXPECT_EQ(Current(row.cap).Item, row.currentAfter);
        }
    }
}

TEST_F(Negotiation, SelectionChangesCurrentNotDefaultAndResetRestores)
{
    ASSERT_EQ(Set(ICAP_XFERMECH, TWON_ONEVALUE, OneValueBytes(TWTY_UINT16, TWSX_MEMORY)), TWRC_SUCCESS);
    EXPECT_EQ(Current(ICAP_XFERMECH).Item, TWSX_MEMORY);
    ASSERT_EQ(Send(ICAP_XFERMECH, MSG_GETDEFAULT), TWRC_SUCCESS);
    EXPECT_EQ(ReadOneValueBlock(cap_.hContainer).Item, TWSX_NATIVE);
    ASSERT_EQ(Send(ICAP_XFERMECH, MSG_RESET), TWRC_SUCCESS);
    EXPECT_EQ(cap_.hContainer, nullptr) << "a reset hands nothing over";
    EXPECT_EQ(Current(ICAP_XFERMECH).Item, TWSX_NATIVE);

    // Resets of the one values bring back the defaults, not what was set.
    ASSERT_EQ(Set(CAP_XFERCOUNT, TWON_ONEVALUE, OneValueBytes(TWTY_UINT32, 9)), TWRC_SUCCESS);
    ASSERT_EQ(Send(CAP_XFERCOUNT, MSG_RESET), TWRC_SUCCESS);
    const OneValueSeen count = Current(CAP_XFERCOUNT);
    EXPECT_EQ(count.ItemType, TWTY_INT16);
    EXPECT_EQ(count.Item, 0u);
    ASSERT_EQ(Set(CAP_FEEDERLOADED, TWON_ONEVALUE, OneValueBytes(TWTY_BOOL, 0)), TWRC_SUCCESS);
    ASSERT_EQ(Send(CAP_FEEDERLOADED, MSG_RESET), TWRC_SUCCESS);
    EXPECT_EQ(Current(CAP_FEEDERLOADED).Item, 1u);

    for (TW_UINT16 cap : {ICAP_COMPRESSION, CAP_SUPPORTEDCAPS, ICAP_BITDEPTH, ICAP_PHYSICALHEIGHT}) {
        EXPECT_EQ(Send(cap, MSG_RESET), TWRC_FAILURE) << cap;
        EXPECT_EQ(Condition(), TWCC_BADPROTOCOL) << cap;
    }
    EXPECT_EQ(Send(ICAP_YRESOLUTION, MSG_RESET), TWRC_FAILURE);
    EXPECT_EQ(Condition(), TWCC_CAPUNSUPPORTED);
}

TEST_F(Negotiation, OneValueDefaultAnswersWhatWasSet)
{
    ASSERT_EQ(Set(CAP_FEEDERENABLED, TWON_ONEVALUE, OneValueBytes(TWTY_UINT16, 7)), TWRC_SUCCESS);
    ASSERT_EQ(Send(CAP_FEEDERENABLED, MSG_GETDEFAULT), TWRC_SUCCESS);
    const OneValueSeen seen = ReadOneValueBlock(cap_.hContainer);
    EXPECT_EQ(seen.ItemType, TWTY_UINT16);
    EXPECT_EQ(seen.Item, 7u);
}

TEST_F(Negotiation, AnEnumerationIsStoredExactlyAsSent)
{
    ASSERT_EQ(Set(ICAP_PIXELTYPE, TWON_ENUMERATION, EnumerationBytes(TWTY_UINT16, 2, {TWPT_BW, TWPT_GRAY}, 1, 0)),
              TWRC_SUCCESS);
    ASSERT_EQ(Send(ICAP_PIXELTYPE, MSG_GET), TWRC_SUCCESS);
    const ListSeen seen = ReadEnumerationBlock(cap_.hContainer, 2);
    EXPECT_EQ(seen.Items, (std::vector<uint32_t>{TWPT_BW, TWPT_GRAY}));
    EXPECT_EQ(seen.CurrentIndex, 1u);
    EXPECT_EQ(seen.DefaultIndex, 0u);
    EXPECT_EQ(Current(ICAP_PIXELTYPE).Item, TWPT_GRAY);
    // A widened type becomes the capability's item type.
    ASSERT_EQ(Set(ICAP_XFERMECH, TWON_ENUMERATION, EnumerationBytes(TWTY_UINT32, 4, {2, 0}, 0, 1)),
              TWRC_SUCCESS);
    const OneValueSeen current = Current(ICAP_XFERMECH);
    EXPECT_EQ(current.ItemType, TWTY_UINT32);
    EXPECT_EQ(current.Item, 2u);
    ASSERT_EQ(Set(ICAP_XFERMECH, TWON_ONEVALUE, OneValueBytes(TWTY_UINT16, 0)), TWRC_SUCCESS);
    EXPECT_EQ(Current(ICAP_XFERMECH).Item, 0u) << "a one value selects among 32-bit items too";
}

TEST_F(Negotiation, DamagedApplicationContainersAreRefusedAndNothingStored)
{
    struct Row {
        const char* what;
        TW_UINT16 cap;
        TW_UINT16 conType;
        std::vector<uint8_t> bytes;
    };
    std::vector<uint8_t> shortEnumeration = EnumerationBytes(TWTY_UINT16, 2, {1, 2}, 0, 0);
    shortEnumeration.resize(shortEnumeration.size() - 2);
    const Row rows[] = {
        {"enumeration announced on a one-value block", ICAP_PIXELTYPE, TWON_ENUMERATION,
         OneValueBytes(TWTY_UINT16, 2)},
        {"items beyond the block", ICAP_XFERMECH, TWON_ENUMERATION, shortEnumeration},
        {"current index beyond the items", ICAP_PIXELTYPE, TWON_ENUMERATION,
         EnumerationBytes(TWTY_UINT16, 2, {1, 2}, 2, 0)},
        {"default index beyond the items", ICAP_XFERMECH, TWON_ENUMERATION,
         EnumerationBytes(TWTY_UINT16, 2, {0}, 0, 5)},
        {"one value of 4 bytes", CAP_XFERCOUNT, TWON_ONEVALUE, {1, 0, 5, 0}},
        {"one value of 2 bytes", ICAP_PIXELTYPE, TWON_ONEVALUE, {4, 0}},
        {"flag of 3 bytes", CAP_AUTOFEED, TWON_ONEVALUE, {6, 0, 1}},
        {"fixed value of 5 bytes", ICAP_UNITS, TWON_ONEVALUE, {4, 0, 5, 0, 0}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        BuildCapabilityDefaults();
        ASSERT_EQ(Send(row.cap, MSG_GET), TWRC_SUCCESS);
        const std::vector<uint8_t> before = BlockBytes(cap_.hContainer);
        EXPECT_EQ(Set(row.cap, row.conType, row.bytes), TWRC_FAILURE);
        EXPECT_EQ(Condition(), TWCC_BADVALUE);
        ASSERT_EQ(Send(row.cap, MSG_GET), TWRC_SUCCESS);
        EXPECT_EQ(BlockBytes(cap_.hContainer), before);
    }
    EXPECT_EQ(Send(ICAP_PIXELTYPE, MSG_SET, TWON_ONEVALUE, nullptr), TWRC_FAILURE);
    EXPECT_EQ(Condition(), TWCC_BADVALUE);
    // A handle already freed by the application does not lock.
    HGLOBAL freed = GlobalBlock(OneValueBytes(TWTY_UINT16, 2));
    GlobalFree(freed);
    TW_CAPABILITY capability = {ICAP_PIXELTYPE, TWON_ONEVALUE, freed};
    EXPECT_EQ(DS_Entry(&app_, DG_CONTROL, DAT_CAPABILITY, MSG_SET, &capability), TWRC_FAILURE);
    EXPECT_EQ(Condition(), TWCC_BADVALUE);
}

TEST_F(Negotiation, FramesNeverMatchASelection)
{
    ASSERT_EQ(Set(ICAP_PIXELTYPE, TWON_ENUMERATION, EnumerationBytes(TWTY_FRAME, 0, {0, 0}, 1, 0)), TWRC_SUCCESS);
    EXPECT_EQ(Set(ICAP_PIXELTYPE, TWON_ONEVALUE, OneValueBytes(TWTY_UINT16, 0)), TWRC_SUCCESS);
    ASSERT_EQ(Send(ICAP_PIXELTYPE, MSG_GET), TWRC_SUCCESS);
    EXPECT_EQ(ReadEnumerationBlock(cap_.hContainer, 0).CurrentIndex, 1u);
}

TEST_F(Negotiation, NoStoreBeforeTheSourceIsOpened)
{
    FreeCapabilities();
    EXPECT_EQ(Send(CAP_XFERCOUNT, MSG_GET), TWRC_FAILURE);
    EXPECT_EQ(cap_.hContainer, nullptr);
    EXPECT_EQ(Condition(), TWCC_SEQERROR);
    EXPECT_EQ(Set(ICAP_PIXELTYPE, TWON_ONEVALUE, OneValueBytes(TWTY_UINT16, 2)), TWRC_FAILURE);
    EXPECT_EQ(Condition(), TWCC_SEQERROR);
    FreeCapabilities();  // freeing an absent store does nothing
}

TEST_F(Negotiation, PixelTypeResetMakesGrayCurrent)
{
    ASSERT_EQ(Set(ICAP_PIXELTYPE, TWON_ONEVALUE, OneValueBytes(TWTY_UINT16, TWPT_RGB)), TWRC_SUCCESS);
    ASSERT_EQ(Send(ICAP_PIXELTYPE, MSG_RESET), TWRC_SUCCESS);
    EXPECT_EQ(Current(ICAP_PIXELTYPE).Item, TWPT_GRAY);
    EXPECT_EQ(Current(ICAP_BITDEPTH).Item, 8u) << "the pixel type does not change the depth";
}

TEST_F(Negotiation, ExhaustedGlobalMemoryFailsQueriesWithoutReport)
{
    std::vector<HGLOBAL> held = HoldEveryMovableHandle();
    PendingCondition = TWCC_SEQERROR;
    cap_ = {CAP_SUPPORTEDCAPS, 0, reinterpret_cast<HGLOBAL>(1)};
    EXPECT_EQ(DS_Entry(&app_, DG_CONTROL, DAT_CAPABILITY, MSG_GET, &cap_), TWRC_FAILURE);
    EXPECT_EQ(cap_.hContainer, nullptr);
    cap_ = {ICAP_PHYSICALWIDTH, 0, nullptr};
    EXPECT_EQ(DS_Entry(&app_, DG_CONTROL, DAT_CAPABILITY, MSG_GETCURRENT, &cap_), TWRC_FAILURE);
    EXPECT_EQ(cap_.hContainer, nullptr);
    cap_ = {ICAP_XFERMECH, 0, nullptr};
    EXPECT_EQ(DS_Entry(&app_, DG_CONTROL, DAT_CAPABILITY, MSG_RESET, &cap_), TWRC_FAILURE);
    const TW_UINT16 pending = PendingCondition;
    ReleaseHandles(held);
    EXPECT_EQ(pending, TWCC_SEQERROR) << "no report when memory runs out";
    EXPECT_EQ(Current(ICAP_XFERMECH).Item, TWSX_NATIVE) << "the store survived";
}

class NegotiationLog : public Negotiation {
protected:
    void SetUp() override
    {
        Negotiation::SetUp();
        path_ = LogToTemporaryFolder();
    }
    void TearDown() override
    {
        Negotiation::TearDown();
        DeleteFileA(path_.c_str());
    }
    std::string path_;
};

TEST_F(NegotiationLog, LabelsMessageNamesAndReports)
{
    Send(CAP_XFERCOUNT, MSG_GETDEFAULT);
    Send(ICAP_BITORDER, MSG_GET);
    Send(ICAP_BITORDER, MSG_QUERYSUPPORT);
    Set(ICAP_PHYSICALWIDTH, TWON_ONEVALUE, OneValueBytes(TWTY_FIX32, 1));
    Send(ICAP_PHYSICALHEIGHT, MSG_GET);
    Set(ICAP_XRESOLUTION, TWON_ONEVALUE, OneValueBytes(TWTY_FIX32, 1));
    Set(CAP_XFERCOUNT, TWON_ONEVALUE, OneValueBytes(TWTY_UINT32, 2));
    Send(CAP_SUPPORTEDCAPS, MSG_RESET);
    Send(CAP_UICONTROLLABLE, MSG_SET);
    const std::string report = "General failure in DG_CONTROL / DAT_CAPABILITY / ... triple\r\n";
    const std::string expected =
        "Dispatching DG_CONTROL / DAT_1 / MSG_3 \r\n"
        "\r\n CAP_XFERCOUNT (0x0001) MSG_GETDEFAULTMSG_GETCURRENTMSG_GET\r\n"
        "Dispatching DG_CONTROL / DAT_1 / MSG_1 \r\n"
        "\r\n ICAP_BITORDER (0x111c)MSG_GET\r\n"
        "Dispatching DG_CONTROL / DAT_1 / MSG_8 \r\n"
        "\r\n ICAP_BITORDER (0x111c)" + report + "Bad protocol error."
        "Dispatching DG_CONTROL / DAT_1 / MSG_6 \r\n"
        "\r\n ICAP_PHYSICALWIDTH (0x1111) MSG_SETMSG_RESET" + report + "Bad protocol error."
        "Dispatching DG_CONTROL / DAT_1 / MSG_1 \r\n"
        "\r\n ICAP_PHYSICALHEIGHT (0x1112) MSG_GETMSG_GETCURRENTMSG_GETDEFAULT\r\n"
        "Dispatching DG_CONTROL / DAT_1 / MSG_6 \r\n"
        "\r\n ICAP_XRESOLUTION (0x1118) MSG_SETMSG_RESET" + report + "Capability not supported by data source\r\n"
        "Dispatching DG_CONTROL / DAT_1 / MSG_6 \r\n"
        "\r\n CAP_XFERCOUNT (0x0001) MSG_SETtying to cast illegal value from app, Bad protocol error.\r\n"
        "Dispatching DG_CONTROL / DAT_1 / MSG_7 \r\n"
        "\r\n CAP_SUPPORTEDCAPS (0x1005) MSG_RESETMSG_SET" + report + "Bad protocol error.\r\n"
        "Dispatching DG_CONTROL / DAT_1 / MSG_6 \r\n"
        "\r\n CAP_UICONTROLLABLE (0x100e) MSG_SETMSG_RESET" + report + "Bad protocol error.\r\n";
    EXPECT_EQ(ReadFileText(path_), expected);
}

TEST_F(Negotiation, NoGlobalMemoryGrowsOverThousandsOfRounds)
{
    auto round = [this] {
        BuildCapabilityDefaults();
        Send(CAP_SUPPORTEDCAPS, MSG_GET);
        Send(ICAP_XFERMECH, MSG_GETCURRENT);
        Set(ICAP_PIXELTYPE, TWON_ENUMERATION, EnumerationBytes(TWTY_UINT16, 2, {1, 2}, 1, 0));
        Set(ICAP_PIXELTYPE, TWON_ONEVALUE, OneValueBytes(TWTY_UINT16, 1));
        Set(CAP_XFERCOUNT, TWON_ONEVALUE, OneValueBytes(TWTY_INT16, 3));
        Send(ICAP_XFERMECH, MSG_RESET);
        Send(ICAP_PHYSICALWIDTH, MSG_GET);
        ReleaseAnswer();
        FreeCapabilities();
    };
    for (int i = 0; i < 300; ++i) {
        round();
    }
    const size_t before = HeapBytesInUse();
    ASSERT_GT(before, 0u) << "the heap walk sees nothing";
    for (int i = 0; i < 5000; ++i) {
        round();
    }
    const size_t after = HeapBytesInUse();
    // A leak of one 6-byte container a round would be 30000 bytes and more.
    EXPECT_LT(after, before + 4096) << "before " << before << ", after " << after;
}

}  // namespace
