// Capability negotiation through DS_Entry, as an application negotiates.
// Until the source can be opened here, the store is built and freed in the
// test process around each test.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "capability/container.h"
#include "capability/store.h"
#include "rig/app_containers.h"
#include "rig/ds_rig.h"
#include "rig/in_process_source.h"
#include "settings/source_settings.h"
#include "twain/condition.h"
#include "twain/debug_log.h"
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
        // The store of an open source: a closed one negotiates nothing.
        BuildCapabilityDefaults();
        SourceState = 400;
        SourceSettings.ImageWidth = 768;
        SourceSettings.ImageHeight = 576;
        // A colour board, so that the depth follows the pixel type.
        SourceSettings.BitsPerBand = 8;
        SourceSettings.BandCount = 3;
        PendingCondition = TWCC_SUCCESS;
    }
    void TearDown() override
    {
        FreeCapabilities();
        SourceState = 300;
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
    // The numbers TWAIN publishes, as an application compiled against the
    // standard's header knows them (0x100F CAP_DEVICEONLINE, 0x1014
    // CAP_ENABLEDSUIONLY), not this source's own names for them.
    const std::vector<uint32_t> expected = {0x0001, 0x0100, 0x0101, 0x0102, 0x0103, 0x1002, 0x1003,
                                            0x1007, 0x1005, 0x100E, 0x100F, 0x1014, 0x1015, 0x1111,
                                            0x1112, 0x1118, 0x1119, 0x111C, 0x111F, 0x1120, 0x112B,
                                            0x110C};
    EXPECT_EQ(list.NumItems, 22u);
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
        {CAP_ENABLEDSUIONLY, MSG_GET, TWON_ONEVALUE, TWTY_BOOL, {1}, 0},
        {CAP_ENABLEDSUIONLY, MSG_GETCURRENT, TWON_ONEVALUE, TWTY_BOOL, {1}, 0},
        {CAP_CUSTOMDSDATA, MSG_GET, TWON_ONEVALUE, TWTY_BOOL, {1}, 0},
        {ICAP_BITORDER, MSG_GET, TWON_ONEVALUE, TWTY_UINT16, {TWBO_MSBFIRST}, 0},
        {ICAP_BITORDER, MSG_GETCURRENT, TWON_ONEVALUE, TWTY_UINT16, {TWBO_MSBFIRST}, 0},
        {ICAP_BITORDER, MSG_GETDEFAULT, TWON_ONEVALUE, TWTY_UINT16, {TWBO_MSBFIRST}, 0},
        {ICAP_PHYSICALWIDTH, MSG_GET, TWON_ONEVALUE, Fix32, {Fix(768)}, 0},
        {ICAP_PHYSICALHEIGHT, MSG_GETDEFAULT, TWON_ONEVALUE, Fix32, {Fix(576)}, 0},
        {ICAP_XRESOLUTION, MSG_GET, TWON_ONEVALUE, Fix32, {Fix(300)}, 0},
        {ICAP_YRESOLUTION, MSG_GETCURRENT, TWON_ONEVALUE, Fix32, {Fix(300)}, 0},
        {ICAP_PIXELFLAVOR, MSG_GETDEFAULT, TWON_ONEVALUE, TWTY_UINT16, {TWPF_CHOCOLATE}, 0},
        {ICAP_PLANARCHUNKY, MSG_GET, TWON_ENUMERATION, TWTY_UINT16, {TWPC_CHUNKY}, 0},
        {ICAP_PLANARCHUNKY, MSG_GETDEFAULT, TWON_ONEVALUE, TWTY_UINT16, {TWPC_CHUNKY}, 0},
        {ICAP_BITDEPTH, MSG_GET, TWON_ONEVALUE, TWTY_UINT16, {8}, 0},
        {CAP_DEVICEONLINE, MSG_GET, TWON_ONEVALUE, TWTY_BOOL, {0}, 0},  // no board in this process
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

TEST_F(Negotiation, UnsupportedCapabilitiesAndMessages)
{
    // 0x1036 is CAP_CAMERAENABLED, which a frame grabber does not have.
    for (TW_UINT16 cap : {ICAP_BRIGHTNESS, static_cast<TW_UINT16>(0x8001), static_cast<TW_UINT16>(0x1036)}) {
        EXPECT_EQ(Send(cap, MSG_GET), TWRC_FAILURE) << cap;
        EXPECT_EQ(Condition(), TWCC_CAPUNSUPPORTED) << cap;
    }
    EXPECT_EQ(Send(ICAP_BRIGHTNESS, MSG_QUERYSUPPORT), TWRC_FAILURE);
    EXPECT_EQ(Condition(), TWCC_CAPUNSUPPORTED);
    for (TW_UINT16 cap : {CAP_XFERCOUNT, ICAP_PIXELTYPE, ICAP_BITORDER, ICAP_PHYSICALWIDTH}) {
        EXPECT_EQ(Send(cap, MSG_GETFIRST), TWRC_FAILURE) << cap;
        EXPECT_EQ(Condition(), TWCC_BADPROTOCOL) << cap;
    }
}

int ItemBytes(TW_UINT16 itemType)
{
    switch (itemType) {
    case TWTY_INT8:
    case TWTY_UINT8: return 1;
    case TWTY_INT32:
    case TWTY_UINT32:
    case TWTY_FIX32: return 4;
    default: return 2;
    }
}

// Every supported capability walked as a conformance check walks it:
// MSG_QUERYSUPPORT first, then each of the five operations, of which exactly
// the reported ones succeed. MSG_SET takes back the value the capability
// holds; an offered value other than the current one becomes current; a
// value outside the ones offered is refused (TWCC_BADVALUE) and changes
// nothing, except where the capability stores what it is sent. MSG_RESET
// hands back the value it leaves, as MSG_GET answers it.
TEST_F(Negotiation, EveryCapabilityDoesExactlyWhatItsQuerySupportReports)
{
    ASSERT_EQ(Send(CAP_SUPPORTEDCAPS, MSG_GET), TWRC_SUCCESS);
    const ListSeen supported = ReadArrayBlock(cap_.hContainer, 2);
    ASSERT_GE(supported.NumItems, 18u);
    const std::vector<uint32_t> storesAsSent = {CAP_XFERCOUNT, CAP_FEEDERENABLED, CAP_FEEDERLOADED, CAP_AUTOFEED};
    const TW_INT32 all = TWQC_GET | TWQC_GETCURRENT | TWQC_GETDEFAULT | TWQC_SET | TWQC_RESET;
    struct Operation {
        TW_UINT16 msg;
        TW_INT32 flag;
    };
    const Operation queries[] = {
        {MSG_GET, TWQC_GET}, {MSG_GETCURRENT, TWQC_GETCURRENT}, {MSG_GETDEFAULT, TWQC_GETDEFAULT}};
    for (uint32_t id : supported.Items) {
        const auto cap = static_cast<TW_UINT16>(id);
        SCOPED_TRACE(testing::Message() << "cap 0x" << std::hex << cap);
        BuildCapabilityDefaults();
        PendingCondition = TWCC_SUCCESS;
        ASSERT_EQ(Send(cap, MSG_QUERYSUPPORT), TWRC_SUCCESS);
        ASSERT_EQ(cap_.ConType, TWON_ONEVALUE);
        const OneValueSeen support = ReadOneValueBlock(cap_.hContainer);
        EXPECT_EQ(support.ItemType, TWTY_INT32);
        const auto flags = static_cast<TW_INT32>(support.Item);
        EXPECT_EQ(flags, all) << "every capability answers all five operations";

        for (const Operation& query : queries) {
            EXPECT_EQ(Send(cap, query.msg) == TWRC_SUCCESS, (flags & query.flag) != 0) << "msg " << query.msg;
        }
        // What the capability holds: MSG_GET's container and its values, and
        // the container MSG_GETCURRENT hands over.
        TW_UINT16 heldKind = 0;
        std::vector<uint8_t> held;
        TW_UINT16 itemType = 0;
        std::vector<uint32_t> items;
        uint32_t currentItem = 0;
        if (Send(cap, MSG_GET) == TWRC_SUCCESS) {
            heldKind = cap_.ConType;
            held = BlockBytes(cap_.hContainer);
            if (heldKind == TWON_ONEVALUE) {
                const OneValueSeen one = ReadOneValueBlock(cap_.hContainer);
                itemType = one.ItemType;
                items = {one.Item};
            } else {
                itemType = static_cast<TW_UINT16>(held.at(0) | (held.at(1) << 8));
                const ListSeen list = heldKind == TWON_ENUMERATION
                                          ? ReadEnumerationBlock(cap_.hContainer, ItemBytes(itemType))
                                          : ReadArrayBlock(cap_.hContainer, ItemBytes(itemType));
                items = list.Items;
                currentItem = list.Items.at(list.CurrentIndex);
            }
        }
        TW_UINT16 currentKind = TWON_ONEVALUE;
        std::vector<uint8_t> current = OneValueBytes(TWTY_UINT16, 0);
        if (Send(cap, MSG_GETCURRENT) == TWRC_SUCCESS) {
            currentKind = cap_.ConType;
            current = BlockBytes(cap_.hContainer);
        }
        auto holdsAsBefore = [&] {
            ASSERT_EQ(Send(cap, MSG_GET), TWRC_SUCCESS);
            EXPECT_EQ(BlockBytes(cap_.hContainer), held);
        };

        EXPECT_EQ(Set(cap, currentKind, current) == TWRC_SUCCESS, (flags & TWQC_SET) != 0) << "the value held";
        if ((flags & TWQC_SET) != 0) {
            EXPECT_EQ(Condition(), TWCC_SUCCESS);
            holdsAsBefore();
            EXPECT_EQ(Set(cap, heldKind, held), TWRC_SUCCESS) << "what MSG_GET handed over";
            holdsAsBefore();
            ASSERT_FALSE(items.empty());
            const uint32_t outside = *std::max_element(items.begin(), items.end()) + 1;
            const bool storedAsSent =
                std::find(storesAsSent.begin(), storesAsSent.end(), cap) != storesAsSent.end();
            if (storedAsSent) {
                EXPECT_EQ(Set(cap, TWON_ONEVALUE, OneValueBytes(itemType, outside)), TWRC_SUCCESS);
                EXPECT_EQ(Current(cap).Item, outside);
            } else {
                EXPECT_EQ(Set(cap, TWON_ONEVALUE, OneValueBytes(itemType, outside)), TWRC_FAILURE) << outside;
                EXPECT_EQ(Condition(), TWCC_BADVALUE);
                holdsAsBefore();
            }
            // Another value of the ones an enumeration offers.
            for (uint32_t item : items) {
                if (heldKind == TWON_ENUMERATION && item != currentItem) {
                    EXPECT_EQ(Set(cap, TWON_ONEVALUE, OneValueBytes(itemType, item)), TWRC_SUCCESS) << item;
                    EXPECT_EQ(Current(cap).Item, item);
                    break;
                }
            }
        } else {
            EXPECT_EQ(Set(cap, TWON_ONEVALUE, OneValueBytes(TWTY_UINT16, 1)), TWRC_FAILURE);
        }

        // After whatever was set, MSG_RESET brings back and hands over what
        // MSG_GET answered first.
        const TW_UINT16 reset = Send(cap, MSG_RESET);
        EXPECT_EQ(reset == TWRC_SUCCESS, (flags & TWQC_RESET) != 0);
        if (reset == TWRC_SUCCESS) {
            EXPECT_EQ(cap_.ConType, heldKind);
            EXPECT_EQ(BlockBytes(cap_.hContainer), held);
            holdsAsBefore();
        } else {
            EXPECT_EQ(cap_.hContainer, nullptr);
        }
        EXPECT_EQ(Condition(), TWCC_SUCCESS) << "nothing that succeeded reported a condition";
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
        {"pixel type BW is not offered", ICAP_PIXELTYPE, TWON_ONEVALUE, OneValueBytes(TWTY_UINT16, TWPT_BW),
         TWRC_FAILURE, TWCC_BADVALUE, TWPT_GRAY},
        {"pixel types with BW", ICAP_PIXELTYPE, TWON_ENUMERATION,
         EnumerationBytes(TWTY_UINT16, 2, {TWPT_GRAY, TWPT_BW}, 1, 0), TWRC_FAILURE, TWCC_BADVALUE, TWPT_GRAY},
        {"pixel types narrowed to RGB", ICAP_PIXELTYPE, TWON_ENUMERATION,
         EnumerationBytes(TWTY_UINT16, 2, {TWPT_RGB}, 0, 0), TWRC_SUCCESS, TWCC_SUCCESS, TWPT_RGB},
        {"pixel type as an array", ICAP_PIXELTYPE, TWON_ARRAY, ArrayBytes(TWTY_UINT16, 2, {1}), TWRC_FAILURE,
         TWCC_BADPROTOCOL, TWPT_GRAY},
        {"pixel type as a string", ICAP_PIXELTYPE, TWON_ONEVALUE, OneValueBytes(TWTY_STR32, TWPT_RGB),
         TWRC_FAILURE, TWCC_BADVALUE, TWPT_GRAY},
        {"pixel type as a 32-bit integer", ICAP_PIXELTYPE, TWON_ONEVALUE, OneValueBytes(TWTY_INT32, TWPT_RGB),
         TWRC_SUCCESS, TWCC_SUCCESS, TWPT_RGB},
        {"pixel type as a boolean", ICAP_PIXELTYPE, TWON_ONEVALUE, OneValueBytes(TWTY_BOOL, TWPT_GRAY),
         TWRC_FAILURE, TWCC_BADVALUE, TWPT_GRAY},
        {"pixel types as strings", ICAP_PIXELTYPE, TWON_ENUMERATION,
         EnumerationBytes(TWTY_STR32, 4, {TWPT_RGB}, 0, 0), TWRC_FAILURE, TWCC_BADVALUE, TWPT_GRAY},
        {"xfermech as a string", ICAP_XFERMECH, TWON_ONEVALUE, OneValueBytes(TWTY_STR32, TWSX_MEMORY),
         TWRC_FAILURE, TWCC_BADVALUE, TWSX_NATIVE},
        {"file format as a string", ICAP_IMAGEFILEFORMAT, TWON_ONEVALUE, OneValueBytes(TWTY_STR32, TWFF_BMP),
         TWRC_FAILURE, TWCC_BADVALUE, TWFF_TIFF},
        {"compression as a string", ICAP_COMPRESSION, TWON_ONEVALUE, OneValueBytes(TWTY_STR32, TWCP_NONE),
         TWRC_FAILURE, TWCC_BADVALUE, TWCP_NONE},
        {"units as a string", ICAP_UNITS, TWON_ONEVALUE, OneValueBytes(TWTY_STR32, TWUN_PIXELS), TWRC_FAILURE,
         TWCC_BADVALUE, TWUN_PIXELS},
        {"planar chunky as a string", ICAP_PLANARCHUNKY, TWON_ONEVALUE, OneValueBytes(TWTY_STR32, TWPC_CHUNKY),
         TWRC_FAILURE, TWCC_BADVALUE, TWPC_CHUNKY},
        {"device online as sent", CAP_DEVICEONLINE, TWON_ONEVALUE, OneValueBytes(TWTY_BOOL, 0), TWRC_SUCCESS,
         TWCC_SUCCESS, 0},
        {"device online forced on", CAP_DEVICEONLINE, TWON_ONEVALUE, OneValueBytes(TWTY_BOOL, 1), TWRC_FAILURE,
         TWCC_BADVALUE, 0},
        {"xfermech memory", ICAP_XFERMECH, TWON_ONEVALUE, OneValueBytes(TWTY_UINT16, TWSX_MEMORY), TWRC_SUCCESS,
         TWCC_SUCCESS, TWSX_MEMORY},
        {"xfermech empty enumeration", ICAP_XFERMECH, TWON_ENUMERATION,
         EnumerationBytes(TWTY_UINT16, 2, {}, 0, 0), TWRC_FAILURE, TWCC_BADVALUE, TWSX_NATIVE},
        {"xfermech 3 is not offered", ICAP_XFERMECH, TWON_ONEVALUE, OneValueBytes(TWTY_UINT16, 3), TWRC_FAILURE,
         TWCC_BADVALUE, TWSX_NATIVE},
        {"compression none", ICAP_COMPRESSION, TWON_ONEVALUE, OneValueBytes(TWTY_UINT16, TWCP_NONE),
         TWRC_SUCCESS, TWCC_SUCCESS, TWCP_NONE},
        {"compression jpeg", ICAP_COMPRESSION, TWON_ONEVALUE, OneValueBytes(TWTY_UINT16, TWCP_JPEG),
         TWRC_FAILURE, TWCC_BADVALUE, TWCP_NONE},
        {"compression enumeration of none", ICAP_COMPRESSION, TWON_ENUMERATION,
         EnumerationBytes(TWTY_UINT16, 2, {0}, 0, 0), TWRC_SUCCESS, TWCC_SUCCESS, TWCP_NONE},
        {"compression enumeration with jpeg", ICAP_COMPRESSION, TWON_ENUMERATION,
         EnumerationBytes(TWTY_UINT16, 2, {0, TWCP_JPEG}, 0, 0), TWRC_FAILURE, TWCC_BADVALUE, TWCP_NONE},
        {"compression as a range", ICAP_COMPRESSION, TWON_RANGE, OneValueBytes(TWTY_UINT16, 0), TWRC_FAILURE,
         TWCC_BADPROTOCOL, TWCP_NONE},
        {"units pixels", ICAP_UNITS, TWON_ONEVALUE, OneValueBytes(TWTY_UINT16, TWUN_PIXELS), TWRC_SUCCESS,
         TWCC_SUCCESS, TWUN_PIXELS},
        {"units inches", ICAP_UNITS, TWON_ONEVALUE, OneValueBytes(TWTY_UINT16, TWUN_INCHES), TWRC_FAILURE,
         TWCC_BADVALUE, TWUN_PIXELS},
        {"pixel flavor enumeration of both", ICAP_PIXELFLAVOR, TWON_ENUMERATION,
         EnumerationBytes(TWTY_UINT16, 2, {0, 1}, 0, 0), TWRC_FAILURE, TWCC_BADVALUE, TWPF_CHOCOLATE},
        {"pixel flavor vanilla", ICAP_PIXELFLAVOR, TWON_ONEVALUE, OneValueBytes(TWTY_UINT16, 1), TWRC_FAILURE,
         TWCC_BADVALUE, TWPF_CHOCOLATE},
        {"feeder flag stored as sent", CAP_FEEDERENABLED, TWON_ONEVALUE, OneValueBytes(TWTY_UINT16, 7),
         TWRC_SUCCESS, TWCC_SUCCESS, 7},
        {"feeder flag as enumeration", CAP_AUTOFEED, TWON_ENUMERATION, EnumerationBytes(TWTY_BOOL, 2, {1}, 0, 0),
         TWRC_FAILURE, TWCC_BADPROTOCOL, 0},
        {"transfer count", CAP_XFERCOUNT, TWON_ONEVALUE, OneValueBytes(TWTY_INT16, 0xFFFF), TWRC_SUCCESS,
         TWCC_SUCCESS, 0xFFFF},
        {"transfer count unsigned", CAP_XFERCOUNT, TWON_ONEVALUE, OneValueBytes(TWTY_UINT32, 3), TWRC_SUCCESS,
         TWCC_BADPROTOCOL, 3},
        {"transfer count unsigned any number", CAP_XFERCOUNT, TWON_ONEVALUE, OneValueBytes(TWTY_UINT32, 0xFFFFFFFF),
         TWRC_SUCCESS, TWCC_BADPROTOCOL, 0xFFFF},
        {"transfer count unsigned beyond 16 bits", CAP_XFERCOUNT, TWON_ONEVALUE, OneValueBytes(TWTY_UINT32, 0x8000),
         TWRC_FAILURE, TWCC_BADVALUE, 0},
        {"transfer count -2", CAP_XFERCOUNT, TWON_ONEVALUE, OneValueBytes(TWTY_INT16, 0xFFFE), TWRC_FAILURE,
         TWCC_BADVALUE, 0},
        {"transfer count 32-bit signed", CAP_XFERCOUNT, TWON_ONEVALUE, OneValueBytes(TWTY_INT32, 3),
         TWRC_FAILURE, TWCC_BADPROTOCOL, 0},
        {"transfer count enumeration", CAP_XFERCOUNT, TWON_ENUMERATION,
         EnumerationBytes(TWTY_INT16, 2, {1}, 0, 0), TWRC_FAILURE, TWCC_BADPROTOCOL, 0},
        {"x resolution 200", ICAP_XRESOLUTION, TWON_ONEVALUE, OneValueBytes(TWTY_FIX32, 200), TWRC_FAILURE,
         TWCC_BADVALUE, Fix(300)},
        {"y resolution 300", ICAP_YRESOLUTION, TWON_ONEVALUE, OneValueBytes(TWTY_FIX32, Fix(300)), TWRC_SUCCESS,
         TWCC_SUCCESS, Fix(300)},
        {"bit depth", ICAP_BITDEPTH, TWON_ONEVALUE, OneValueBytes(TWTY_UINT16, 24), TWRC_FAILURE,
         TWCC_BADVALUE, 8},
        {"planar", ICAP_PLANARCHUNKY, TWON_ONEVALUE, OneValueBytes(TWTY_UINT16, TWPC_PLANAR), TWRC_FAILURE,
         TWCC_BADVALUE, TWPC_CHUNKY},
        {"physical width", ICAP_PHYSICALWIDTH, TWON_ONEVALUE, OneValueBytes(TWTY_FIX32, 5), TWRC_FAILURE,
         TWCC_BADVALUE, Fix(768)},
        {"bit order MSB first", ICAP_BITORDER, TWON_ONEVALUE, OneValueBytes(TWTY_UINT16, TWBO_MSBFIRST),
         TWRC_SUCCESS, TWCC_SUCCESS, TWBO_MSBFIRST},
        {"bit order LSB first", ICAP_BITORDER, TWON_ONEVALUE, OneValueBytes(TWTY_UINT16, 0), TWRC_FAILURE,
         TWCC_BADVALUE, TWBO_MSBFIRST},
        {"settings-only enabling off", CAP_ENABLEDSUIONLY, TWON_ONEVALUE, OneValueBytes(TWTY_BOOL, 0),
         TWRC_FAILURE, TWCC_BADVALUE, 1},
        {"ui controllable", CAP_UICONTROLLABLE, TWON_ONEVALUE, OneValueBytes(TWTY_BOOL, 0), TWRC_FAILURE,
         TWCC_BADVALUE, 1},
        {"supported caps cut short", CAP_SUPPORTEDCAPS, TWON_ARRAY, ArrayBytes(TWTY_UINT16, 2, {1}), TWRC_FAILURE,
         TWCC_BADVALUE, 0},
        {"supported caps as one value", CAP_SUPPORTEDCAPS, TWON_ONEVALUE, OneValueBytes(TWTY_UINT16, 1),
         TWRC_FAILURE, TWCC_BADVALUE, 0},
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
        if (row.cap == CAP_XFERCOUNT) {
            EXPECT_EQ(Current(row.cap).ItemType, TWTY_INT16) << "whatever type the count was sent in";
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
    ASSERT_EQ(cap_.ConType, TWON_ENUMERATION) << "a reset hands the value back";
    EXPECT_EQ(ReadEnumerationBlock(cap_.hContainer, 2).CurrentIndex, 0u);
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

    // A fixed value has no default to go back to: the depth the digitizer
    // start-up stored stays.
    const TW_UINT16 colour = 24;
    ASSERT_TRUE(StoreCapability(ICAP_BITDEPTH, TWON_ONEVALUE, MakeOneValue(TWTY_UINT16, &colour)));
    ASSERT_EQ(Send(ICAP_BITDEPTH, MSG_RESET), TWRC_SUCCESS);
    EXPECT_EQ(ReadOneValueBlock(cap_.hContainer).Item, 24u);
    EXPECT_EQ(Current(ICAP_BITDEPTH).Item, 24u);
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
    ASSERT_EQ(Set(ICAP_PIXELTYPE, TWON_ENUMERATION, EnumerationBytes(TWTY_UINT16, 2, {TWPT_RGB, TWPT_GRAY}, 1, 0)),
              TWRC_SUCCESS);
    ASSERT_EQ(Send(ICAP_PIXELTYPE, MSG_GET), TWRC_SUCCESS);
    const ListSeen seen = ReadEnumerationBlock(cap_.hContainer, 2);
    EXPECT_EQ(seen.Items, (std::vector<uint32_t>{TWPT_RGB, TWPT_GRAY}));
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

// Frames are sized 0 bytes, so an enumeration of them carries no value, not
// even the 0 that would pass for TWSX_NATIVE.
TEST_F(Negotiation, FramesCarryNoValue)
{
    for (TW_UINT16 cap : {ICAP_PIXELTYPE, ICAP_XFERMECH, ICAP_COMPRESSION}) {
        ASSERT_EQ(Send(cap, MSG_GET), TWRC_SUCCESS);
        const std::vector<uint8_t> before = BlockBytes(cap_.hContainer);
        EXPECT_EQ(Set(cap, TWON_ENUMERATION, EnumerationBytes(TWTY_FRAME, 0, {0, 0}, 1, 0)), TWRC_FAILURE) << cap;
        EXPECT_EQ(Condition(), TWCC_BADVALUE);
        ASSERT_EQ(Send(cap, MSG_GET), TWRC_SUCCESS);
        EXPECT_EQ(BlockBytes(cap_.hContainer), before);
    }
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
    EXPECT_EQ(Current(ICAP_BITDEPTH).Item, 24u) << "three bands of 8 bits";
    ASSERT_EQ(Send(ICAP_PIXELTYPE, MSG_RESET), TWRC_SUCCESS);
    EXPECT_EQ(Current(ICAP_PIXELTYPE).Item, TWPT_GRAY);
    EXPECT_EQ(Current(ICAP_BITDEPTH).Item, 8u) << "grey is 8 bits";
}

TEST_F(Negotiation, ImageFileFormatOffersTiffAndBmp)
{
    ASSERT_EQ(Send(ICAP_IMAGEFILEFORMAT, MSG_GET), TWRC_SUCCESS);
    ASSERT_EQ(cap_.ConType, TWON_ENUMERATION);
    const ListSeen offered = ReadEnumerationBlock(cap_.hContainer, 2);
    EXPECT_EQ(offered.Items, (std::vector<uint32_t>{TWFF_TIFF, TWFF_BMP}));
    EXPECT_EQ(offered.CurrentIndex, 0u);
    EXPECT_EQ(offered.DefaultIndex, 0u);
    ASSERT_EQ(Set(ICAP_IMAGEFILEFORMAT, TWON_ONEVALUE, OneValueBytes(TWTY_UINT16, TWFF_BMP)), TWRC_SUCCESS);
    EXPECT_EQ(Current(ICAP_IMAGEFILEFORMAT).Item, TWFF_BMP);
    ASSERT_EQ(Send(ICAP_IMAGEFILEFORMAT, MSG_GETDEFAULT), TWRC_SUCCESS);
    EXPECT_EQ(ReadOneValueBlock(cap_.hContainer).Item, TWFF_TIFF);
    ASSERT_EQ(Send(ICAP_IMAGEFILEFORMAT, MSG_RESET), TWRC_SUCCESS);
    EXPECT_EQ(Current(ICAP_IMAGEFILEFORMAT).Item, TWFF_TIFF);
}

TEST_F(Negotiation, ExhaustedGlobalMemoryFailsQueriesForLowMemory)
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
    EXPECT_EQ(pending, TWCC_LOWMEMORY);
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
    Send(ICAP_BITORDER, MSG_GETFIRST);
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
        "\r\n ICAP_BITORDER (0x111c)MSG_QUERYSUPPORT\r\n"
        "Dispatching DG_CONTROL / DAT_1 / MSG_4 \r\n"
        "\r\n ICAP_BITORDER (0x111c)" + report + "Bad protocol error."
        "Dispatching DG_CONTROL / DAT_1 / MSG_6 \r\n"
        "\r\n ICAP_PHYSICALWIDTH (0x1111) MSG_SETMSG_RESET" + report + "Bad value error.\r\n"
        "Dispatching DG_CONTROL / DAT_1 / MSG_1 \r\n"
        "\r\n ICAP_PHYSICALHEIGHT (0x1112) MSG_GETMSG_GETCURRENTMSG_GETDEFAULT\r\n"
        "Dispatching DG_CONTROL / DAT_1 / MSG_6 \r\n"
        "\r\n ICAP_XRESOLUTION (0x1118) MSG_SETMSG_RESET" + report + "Bad value error.\r\n"
        "Dispatching DG_CONTROL / DAT_1 / MSG_6 \r\n"
        "\r\n CAP_XFERCOUNT (0x0001) MSG_SETtying to cast illegal value from app, Bad protocol error.\r\n"
        "Dispatching DG_CONTROL / DAT_1 / MSG_7 \r\n"
        "\r\n CAP_SUPPORTEDCAPS (0x1005) MSG_RESETMSG_SET\r\n"
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
