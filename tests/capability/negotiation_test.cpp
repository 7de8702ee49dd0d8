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
#include "capability/negotiation.h"
#include "capability/region.h"
#include "capability/store.h"
#include "grabber/board_capabilities.h"
#include "grabber/board_fixture.h"
#include "grabber/startup.h"
#include "settings/registry.h"
#include "rig/app_containers.h"
#include "rig/ds_rig.h"
#include "rig/in_process_source.h"
#include "settings/source_settings.h"
#include "source/dispatch.h"
#include "twain/condition.h"
#include "twain/debug_log.h"
#include "twain/manager.h"
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
        RegisterSupportedDats();
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
        TwainTwoApp = false;
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
                                            0x110C, 0x1153, 0x101A, 0x101B, 0x101C, 0x101D, 0x101E, 0x8003, 0x102F};
    EXPECT_EQ(list.NumItems, 30u);
    EXPECT_EQ(list.Items, expected);
}

// Automatic capture is off until the application sets a count; the count
// and the two times are non-negative 32-bit values, the clearing of held
// frames one of three, the frames held 1 up to what memory allows (never
// 2^31 frames of 1.7 MB). Each value is read back as set; a refused one
// changes nothing.
TEST_F(Negotiation, AutomaticCaptureValuesAreReadBackAsSet)
{
    const struct {
        TW_UINT16 cap;
        TW_UINT16 itemType;
        uint32_t item;
        TW_UINT16 rc;
    } rows[] = {
        {CAP_AUTOMATICCAPTURE, TWTY_INT32, 5, TWRC_SUCCESS},
        {CAP_AUTOMATICCAPTURE, TWTY_INT32, 0xFFFFFFFF, TWRC_FAILURE},
        {CAP_AUTOMATICCAPTURE, TWTY_INT16, 5, TWRC_FAILURE},
        {CAP_AUTOMATICCAPTURE, TWTY_INT32, 0, TWRC_SUCCESS},
        {CAP_TIMEBEFOREFIRSTCAPTURE, TWTY_INT32, 1000, TWRC_SUCCESS},
        {CAP_TIMEBEFOREFIRSTCAPTURE, TWTY_INT32, 0x80000000, TWRC_FAILURE},
        {CAP_TIMEBETWEENCAPTURES, TWTY_INT32, 200, TWRC_SUCCESS},
        {CAP_TIMEBETWEENCAPTURES, TWTY_UINT32, 200, TWRC_FAILURE},
        {CAP_CLEARBUFFERS, TWTY_UINT16, TWCB_NOCLEAR, TWRC_SUCCESS},
        {CAP_CLEARBUFFERS, TWTY_UINT16, 3, TWRC_FAILURE},
        {CAP_CLEARBUFFERS, TWTY_UINT16, TWCB_CLEAR, TWRC_SUCCESS},
        {CAP_MAXBATCHBUFFERS, TWTY_UINT32, 8, TWRC_SUCCESS},
        {CAP_MAXBATCHBUFFERS, TWTY_UINT32, 0, TWRC_FAILURE},
        {CAP_MAXBATCHBUFFERS, TWTY_UINT32, 0x7FFFFFFF, TWRC_FAILURE},
        {CAP_MAXBATCHBUFFERS, TWTY_INT32, 4, TWRC_FAILURE},
        {CUSTCAP_AVERAGEFRAMES, TWTY_UINT16, 64, TWRC_SUCCESS},
        {CUSTCAP_AVERAGEFRAMES, TWTY_UINT16, 65, TWRC_FAILURE},
        {CUSTCAP_AVERAGEFRAMES, TWTY_UINT16, 0, TWRC_FAILURE},
        {CUSTCAP_AVERAGEFRAMES, TWTY_UINT32, 8, TWRC_FAILURE},
        {CUSTCAP_AVERAGEFRAMES, TWTY_UINT16, 0xABCD0008, TWRC_SUCCESS},  // only its first two bytes count
        {CAP_EXTIMAGEINFO, TWTY_BOOL, 1, TWRC_SUCCESS},
        {CAP_EXTIMAGEINFO, TWTY_BOOL, 2, TWRC_FAILURE},
        {CAP_EXTIMAGEINFO, TWTY_UINT16, 0, TWRC_FAILURE},
    };
    for (TW_UINT16 cap : {CAP_AUTOMATICCAPTURE, CAP_TIMEBEFOREFIRSTCAPTURE, CAP_TIMEBETWEENCAPTURES, CAP_CLEARBUFFERS}) {
        EXPECT_EQ(Current(cap).Item, 0u) << "cap " << cap;
    }
    EXPECT_EQ(Current(CAP_MAXBATCHBUFFERS).Item, 1u);
    EXPECT_EQ(Current(CUSTCAP_AVERAGEFRAMES).Item, 1u);
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << "cap 0x" << std::hex << row.cap << " item " << row.item);
        const uint32_t before = Current(row.cap).Item;
        EXPECT_EQ(Set(row.cap, TWON_ONEVALUE, OneValueBytes(row.itemType, row.item)), row.rc);
        EXPECT_EQ(Condition(), row.rc == TWRC_SUCCESS ? TWCC_SUCCESS : TWCC_BADVALUE);
        const OneValueSeen now = Current(row.cap);
        const bool twoBytes = row.itemType == TWTY_UINT16 || row.itemType == TWTY_BOOL;
        EXPECT_EQ(now.Item, row.rc != TWRC_SUCCESS ? before : twoBytes ? row.item & 0xFFFF : row.item);
        EXPECT_EQ(now.ItemType, row.cap == CAP_EXTIMAGEINFO                                   ? TWTY_BOOL
                                : row.cap == CAP_CLEARBUFFERS || row.cap == CUSTCAP_AVERAGEFRAMES ? TWTY_UINT16
                                : row.cap == CAP_MAXBATCHBUFFERS ? TWTY_UINT32
                                                                 : TWTY_INT32);
    }
    // Negotiation ends at the enable, as for every other capability.
    SourceState = 500;
    EXPECT_EQ(Set(CAP_AUTOMATICCAPTURE, TWON_ONEVALUE, OneValueBytes(TWTY_INT32, 3)), TWRC_FAILURE);
    EXPECT_EQ(Condition(), TWCC_SEQERROR);
    SourceState = 400;
    EXPECT_EQ(Current(CAP_AUTOMATICCAPTURE).Item, 0u);
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

// Every supported capability walked as a conformance check walks it, by a
// 1.x and by a TWAIN 2 application: MSG_QUERYSUPPORT first, then each of the
// five operations, of which exactly the reported ones succeed (a 1.x
// application still has the value a read-only capability holds accepted, as
// it always had; a TWAIN 2 one is told the operation is not the
// capability's). MSG_SET takes back the value the capability holds and
// what MSG_GET handed over; an offered value other than the current one
// becomes current; a value outside the ones offered is refused
// (TWCC_BADVALUE) and changes nothing, except where the capability stores
// what it is sent. MSG_RESET hands back the value it leaves, as MSG_GET
// answers it (TWAIN 2: as MSG_GETCURRENT does). TWAIN 2's MSG_GET hands the
// values the application may choose: no one value but the transfer count.
TEST_F(Negotiation, EveryCapabilityDoesExactlyWhatItsQuerySupportReports)
{
    const std::vector<uint32_t> readOnly = {CAP_SUPPORTEDCAPS,  CAP_SUPPORTEDDATS,      CAP_DEVICEONLINE,
                                            CAP_UICONTROLLABLE, CAP_ENABLEDSUIONLY,     CAP_CUSTOMDSDATA,
                                            CAP_FEEDERLOADED,   ICAP_PHYSICALWIDTH,     ICAP_PHYSICALHEIGHT,
                                            ICAP_XNATIVERESOLUTION, ICAP_YNATIVERESOLUTION};
    const std::vector<uint32_t> storesAsSent = {CAP_XFERCOUNT, CAP_FEEDERENABLED, CAP_AUTOFEED, ICAP_JPEGQUALITY,
                                               CAP_AUTOMATICCAPTURE, CAP_TIMEBEFOREFIRSTCAPTURE, CAP_TIMEBETWEENCAPTURES,
                                               CAP_MAXBATCHBUFFERS, CUSTCAP_AVERAGEFRAMES, CAP_EXTIMAGEINFO};
    auto listed = [](const std::vector<uint32_t>& list, uint32_t cap) {
        return std::find(list.begin(), list.end(), cap) != list.end();
    };
    const TW_INT32 all = TWQC_GET | TWQC_GETCURRENT | TWQC_GETDEFAULT | TWQC_SET | TWQC_RESET;
    struct Operation {
        TW_UINT16 msg;
        TW_INT32 flag;
    };
    const Operation queries[] = {
        {MSG_GET, TWQC_GET}, {MSG_GETCURRENT, TWQC_GETCURRENT}, {MSG_GETDEFAULT, TWQC_GETDEFAULT}};
    for (bool twainTwo : {false, true}) {
        SCOPED_TRACE(twainTwo ? "TWAIN 2 application" : "1.x application");
        TwainTwoApp = twainTwo;
        BuildCapabilityDefaults();
        ASSERT_EQ(Send(CAP_SUPPORTEDCAPS, MSG_GET), TWRC_SUCCESS);
        const ListSeen supported = ReadArrayBlock(cap_.hContainer, 2);
        ASSERT_GE(supported.NumItems, 18u);
        EXPECT_EQ(listed(supported.Items, CAP_SUPPORTEDDATS), twainTwo);
        for (uint32_t id : supported.Items) {
            const auto cap = static_cast<TW_UINT16>(id);
            SCOPED_TRACE(testing::Message() << "cap 0x" << std::hex << cap);
            const bool fixedForApp = listed(readOnly, cap);
            BuildCapabilityDefaults();
            PendingCondition = TWCC_SUCCESS;
            ASSERT_EQ(Send(cap, MSG_QUERYSUPPORT), TWRC_SUCCESS);
            ASSERT_EQ(cap_.ConType, TWON_ONEVALUE);
            const OneValueSeen support = ReadOneValueBlock(cap_.hContainer);
            EXPECT_EQ(support.ItemType, TWTY_INT32);
            const auto flags = static_cast<TW_INT32>(support.Item);
            EXPECT_EQ(flags, fixedForApp ? (TWQC_GET | TWQC_GETCURRENT | TWQC_GETDEFAULT) : all);

            for (const Operation& query : queries) {
                EXPECT_EQ(Send(cap, query.msg) == TWRC_SUCCESS, (flags & query.flag) != 0) << "msg " << query.msg;
            }
            // What the capability holds: MSG_GET's container and its values
            // (a range's current one), and the container MSG_GETCURRENT
            // hands over.
            TW_UINT16 heldKind = 0;
            std::vector<uint8_t> held;
            TW_UINT16 itemType = 0;
            std::vector<uint32_t> items;
            uint32_t currentItem = 0;
            if (Send(cap, MSG_GET) == TWRC_SUCCESS) {
                heldKind = cap_.ConType;
                held = BlockBytes(cap_.hContainer);
                itemType = static_cast<TW_UINT16>(held.at(0) | (held.at(1) << 8));
                if (heldKind == TWON_ONEVALUE) {
                    items = {ReadOneValueBlock(cap_.hContainer).Item};
                } else if (heldKind == TWON_RANGE) {
                    ASSERT_GE(held.size(), 22u);
                    currentItem = held[18] | (held[19] << 8) | (held[20] << 16) | (static_cast<uint32_t>(held[21]) << 24);
                    items = {currentItem};
                } else {
                    const ListSeen list = heldKind == TWON_ENUMERATION
                                              ? ReadEnumerationBlock(cap_.hContainer, ItemBytes(itemType))
                                              : ReadArrayBlock(cap_.hContainer, ItemBytes(itemType));
                    items = list.Items;
                    currentItem = list.Items.at(list.CurrentIndex);
                }
            }
            if (twainTwo) {
                EXPECT_EQ(heldKind == TWON_ONEVALUE, cap == CAP_XFERCOUNT);
                if (itemType == TWTY_BOOL && !fixedForApp) {
                    EXPECT_EQ(items, (std::vector<uint32_t>{0, 1})) << "a boolean offers both values";
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

            if (cap == CAP_XFERCOUNT && !twainTwo) {
                // The 1.x default of 0 transfers is nothing an application may ask for.
                EXPECT_EQ(Set(cap, currentKind, current), TWRC_FAILURE);
                EXPECT_EQ(Condition(), TWCC_BADVALUE);
            } else {
                EXPECT_EQ(Set(cap, currentKind, current) == TWRC_SUCCESS, (flags & TWQC_SET) != 0 || !twainTwo)
                    << "the value held";
                EXPECT_EQ(Condition(), (flags & TWQC_SET) != 0 || !twainTwo ? TWCC_SUCCESS : TWCC_CAPBADOPERATION);
            }
            if ((flags & TWQC_SET) != 0) {
                holdsAsBefore();
                EXPECT_EQ(Set(cap, heldKind, held), cap == CAP_XFERCOUNT && !twainTwo ? TWRC_FAILURE : TWRC_SUCCESS)
                    << "what MSG_GET handed over";
                PendingCondition = TWCC_SUCCESS;
                holdsAsBefore();
                ASSERT_FALSE(items.empty());
                const uint32_t outside =
                    cap == CAP_XFERCOUNT ? 5 : *std::max_element(items.begin(), items.end()) + 1;
                const bool taken = listed(storesAsSent, cap) && !(itemType == TWTY_BOOL && outside > 1);
                if (taken) {
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
                const uint32_t outside = *std::max_element(items.begin(), items.end()) + 1;
                EXPECT_EQ(Set(cap, TWON_ONEVALUE, OneValueBytes(itemType, outside)), TWRC_FAILURE);
                EXPECT_EQ(Condition(), twainTwo ? TWCC_CAPBADOPERATION : TWCC_BADVALUE);
            }

            // After whatever was set, MSG_RESET brings back and hands over
            // what MSG_GET answered first (TWAIN 2: MSG_GETCURRENT).
            const TW_UINT16 reset = Send(cap, MSG_RESET);
            EXPECT_EQ(reset == TWRC_SUCCESS, (flags & TWQC_RESET) != 0 || !twainTwo);
            if (reset == TWRC_SUCCESS) {
                EXPECT_EQ(cap_.ConType, twainTwo ? currentKind : heldKind);
                EXPECT_EQ(BlockBytes(cap_.hContainer), twainTwo ? current : held);
                holdsAsBefore();
            } else {
                EXPECT_EQ(cap_.hContainer, nullptr);
                EXPECT_EQ(Condition(), TWCC_CAPBADOPERATION);
            }
            EXPECT_EQ(Condition(), TWCC_SUCCESS) << "nothing that succeeded reported a condition";
        }
    }
}

// A TWAIN 2 application measures in inches (TWAIN's power-on unit) or
// pixels; the physical size follows the unit at the image's resolution,
// which the native resolutions answer. A 1.x application has pixels alone.
TEST_F(Negotiation, TwainTwoUnitsAreInchesOrPixels)
{
    TwainTwoApp = true;
    BuildCapabilityDefaults();
    ASSERT_EQ(Send(ICAP_UNITS, MSG_GET), TWRC_SUCCESS);
    const ListSeen units = ReadEnumerationBlock(cap_.hContainer, 2);
    EXPECT_EQ(units.Items, (std::vector<uint32_t>{TWUN_INCHES, TWUN_PIXELS}));
    EXPECT_EQ(units.CurrentIndex, 0u);
    EXPECT_EQ(units.DefaultIndex, 0u);
    auto fix32 = [](uint32_t item) { return static_cast<int16_t>(item & 0xFFFF) + (item >> 16) / 65536.0; };
    EXPECT_NEAR(fix32(Current(ICAP_PHYSICALWIDTH).Item), 768 / 300.0, 1e-4) << "inches at 300 dpi";
    EXPECT_NEAR(fix32(Current(ICAP_PHYSICALHEIGHT).Item), 576 / 300.0, 1e-4);
    EXPECT_EQ(Current(ICAP_XNATIVERESOLUTION).Item, Fix(300));
    EXPECT_EQ(Current(ICAP_YNATIVERESOLUTION).Item, Fix(300));
    ASSERT_EQ(Set(ICAP_UNITS, TWON_ONEVALUE, OneValueBytes(TWTY_UINT16, TWUN_PIXELS)), TWRC_SUCCESS);
    EXPECT_EQ(Current(ICAP_PHYSICALWIDTH).Item, Fix(768));
    EXPECT_EQ(Set(ICAP_UNITS, TWON_ONEVALUE, OneValueBytes(TWTY_UINT16, 1)), TWRC_FAILURE) << "centimetres";
    EXPECT_EQ(Condition(), TWCC_BADVALUE);
    EXPECT_EQ(Set(ICAP_XNATIVERESOLUTION, TWON_ONEVALUE, OneValueBytes(TWTY_FIX32, Fix(300))), TWRC_FAILURE);
    EXPECT_EQ(Condition(), TWCC_CAPBADOPERATION);
    ASSERT_EQ(Send(ICAP_UNITS, MSG_RESET), TWRC_SUCCESS);
    EXPECT_EQ(ReadOneValueBlock(cap_.hContainer).Item, TWUN_INCHES);

    TwainTwoApp = false;
    BuildCapabilityDefaults();
    EXPECT_EQ(Current(ICAP_PHYSICALWIDTH).Item, Fix(768));
    EXPECT_EQ(Send(ICAP_XNATIVERESOLUTION, MSG_GET), TWRC_FAILURE);
    EXPECT_EQ(Condition(), TWCC_CAPUNSUPPORTED);
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
        {"pixel types as numbers of the same bytes", ICAP_PIXELTYPE, TWON_ENUMERATION,
         EnumerationBytes(TWTY_FIX32, 4, {TWPT_RGB}, 0, 0), TWRC_FAILURE, TWCC_BADVALUE, TWPT_GRAY},
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
        {"feeder flag not a boolean", CAP_FEEDERENABLED, TWON_ONEVALUE, OneValueBytes(TWTY_UINT16, 1),
         TWRC_FAILURE, TWCC_BADVALUE, 0},
        {"feeder flag 2", CAP_FEEDERENABLED, TWON_ONEVALUE, OneValueBytes(TWTY_BOOL, 2), TWRC_FAILURE,
         TWCC_BADVALUE, 0},
        {"feeder flag true", CAP_AUTOFEED, TWON_ONEVALUE, OneValueBytes(TWTY_BOOL, 1), TWRC_SUCCESS, TWCC_SUCCESS,
         1},
        {"feeder loaded is the device's to say", CAP_FEEDERLOADED, TWON_ONEVALUE, OneValueBytes(TWTY_BOOL, 0),
         TWRC_FAILURE, TWCC_BADVALUE, 1},
        {"feeder flag as enumeration", CAP_AUTOFEED, TWON_ENUMERATION, EnumerationBytes(TWTY_BOOL, 2, {1}, 0, 0),
         TWRC_FAILURE, TWCC_BADPROTOCOL, 0},
        {"transfer count", CAP_XFERCOUNT, TWON_ONEVALUE, OneValueBytes(TWTY_INT16, 0xFFFF), TWRC_SUCCESS,
         TWCC_SUCCESS, 0xFFFF},
        {"transfer count unsigned", CAP_XFERCOUNT, TWON_ONEVALUE, OneValueBytes(TWTY_UINT32, 3), TWRC_SUCCESS,
         TWCC_SUCCESS, 3},
        {"transfer count unsigned cannot say any number", CAP_XFERCOUNT, TWON_ONEVALUE,
         OneValueBytes(TWTY_UINT32, 0xFFFFFFFF), TWRC_FAILURE, TWCC_BADVALUE, 0},
        {"transfer count 0", CAP_XFERCOUNT, TWON_ONEVALUE, OneValueBytes(TWTY_INT16, 0), TWRC_FAILURE,
         TWCC_BADVALUE, 0},
        {"transfer count 32767", CAP_XFERCOUNT, TWON_ONEVALUE, OneValueBytes(TWTY_INT16, 0x7FFF), TWRC_SUCCESS,
         TWCC_SUCCESS, 0x7FFF},
        {"transfer count as a boolean", CAP_XFERCOUNT, TWON_ONEVALUE, OneValueBytes(TWTY_BOOL, 1), TWRC_FAILURE,
         TWCC_BADVALUE, 0},
        {"transfer count unsigned beyond 16 bits", CAP_XFERCOUNT, TWON_ONEVALUE, OneValueBytes(TWTY_UINT32, 0x8000),
         TWRC_FAILURE, TWCC_BADVALUE, 0},
        {"transfer count -2", CAP_XFERCOUNT, TWON_ONEVALUE, OneValueBytes(TWTY_INT16, 0xFFFE), TWRC_FAILURE,
         TWCC_BADVALUE, 0},
        {"transfer count 32-bit signed", CAP_XFERCOUNT, TWON_ONEVALUE, OneValueBytes(TWTY_INT32, 3),
         TWRC_SUCCESS, TWCC_SUCCESS, 3},
        {"transfer count 32-bit beyond 16 bits", CAP_XFERCOUNT, TWON_ONEVALUE, OneValueBytes(TWTY_INT32, 0x8000),
         TWRC_FAILURE, TWCC_BADVALUE, 0},
        {"transfer count enumeration", CAP_XFERCOUNT, TWON_ENUMERATION,
         EnumerationBytes(TWTY_INT16, 2, {1}, 0, 0), TWRC_FAILURE, TWCC_BADPROTOCOL, 0},
        {"x resolution 200", ICAP_XRESOLUTION, TWON_ONEVALUE, OneValueBytes(TWTY_FIX32, 200), TWRC_FAILURE,
         TWCC_BADVALUE, Fix(300)},
        {"y resolution 300", ICAP_YRESOLUTION, TWON_ONEVALUE, OneValueBytes(TWTY_FIX32, Fix(300)), TWRC_SUCCESS,
         TWCC_SUCCESS, Fix(300)},
        {"y resolution as an integer of the same bytes", ICAP_YRESOLUTION, TWON_ONEVALUE,
         OneValueBytes(TWTY_UINT32, Fix(300)), TWRC_FAILURE, TWCC_BADVALUE, Fix(300)},
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
    ASSERT_EQ(Set(CAP_FEEDERENABLED, TWON_ONEVALUE, OneValueBytes(TWTY_BOOL, 1)), TWRC_SUCCESS);
    ASSERT_EQ(Send(CAP_FEEDERENABLED, MSG_RESET), TWRC_SUCCESS);
    EXPECT_EQ(Current(CAP_FEEDERENABLED).Item, 0u);

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
    ASSERT_EQ(Set(CAP_FEEDERENABLED, TWON_ONEVALUE, OneValueBytes(TWTY_BOOL, 1)), TWRC_SUCCESS);
    ASSERT_EQ(Send(CAP_FEEDERENABLED, MSG_GETDEFAULT), TWRC_SUCCESS);
    const OneValueSeen seen = ReadOneValueBlock(cap_.hContainer);
    EXPECT_EQ(seen.ItemType, TWTY_BOOL);
    EXPECT_EQ(seen.Item, 1u);
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

// TIFF and BMP first, as the first releases offered them, then the
// formats written by the system's encoders.
TEST_F(Negotiation, ImageFileFormatOffersEveryFormatWritten)
{
    ASSERT_EQ(Send(ICAP_IMAGEFILEFORMAT, MSG_GET), TWRC_SUCCESS);
    ASSERT_EQ(cap_.ConType, TWON_ENUMERATION);
    const ListSeen offered = ReadEnumerationBlock(cap_.hContainer, 2);
    EXPECT_EQ(offered.Items, (std::vector<uint32_t>{TWFF_TIFF, TWFF_BMP, TWFF_PNG, TWFF_JFIF, TWFF_TIFFMULTI}));
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
    Set(CAP_XFERCOUNT, TWON_ONEVALUE, OneValueBytes(TWTY_INT16, 0));
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
        "\r\n CAP_XFERCOUNT (0x0001) MSG_SET" + report + "Bad value error.\r\n"
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
        // The TWAIN 2 answers' own containers: choices offered, chosen
        // values taken back, a reset answered as the current value.
        TwainTwoApp = true;
        Send(CAP_FEEDERENABLED, MSG_GET);
        Set(CAP_AUTOFEED, TWON_ENUMERATION, EnumerationBytes(TWTY_BOOL, 2, {0, 1}, 1, 0));
        Send(ICAP_XFERMECH, MSG_RESET);
        TwainTwoApp = false;
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

namespace {

// The board's capabilities against the simulated library: what each sends
// is read in the library's own trace, what it answers is checked against the
// levels the library reports.
class BoardNegotiation : public BoardTest {
protected:
    void SetUp() override
    {
        BoardTest::SetUp();
        // A format the board refuses, read when the system is allocated.
        SetBoardEnv("ORIONSIM_REJECT_FORMATS", "M_NTSC");
        RegisterBoardCapabilities();
        OpenBoard();
        boxesAtOpen_ = SourceBoxes().size();
        SourceState = 400;
        PendingCondition = TWCC_SUCCESS;
        ClearLogAndTrace();
    }
    void TearDown() override
    {
        Release();
        SourceState = 300;
        SetBoardEnv("ORIONSIM_REJECT_FORMATS", nullptr);
        BoardTest::TearDown();
    }
    void Release()
    {
        if (cap_.hContainer != nullptr) {
            GlobalFree(cap_.hContainer);
            cap_.hContainer = nullptr;
        }
    }
    TW_UINT16 Send(TW_UINT16 cap, TW_UINT16 msg, std::vector<uint8_t> bytes = {}, TW_UINT16 conType = TWON_ONEVALUE)
    {
        Release();
        HGLOBAL sent = bytes.empty() ? nullptr : GlobalBlock(bytes);
        cap_ = {cap, static_cast<TW_UINT16>(sent != nullptr ? conType : 0), sent};
        const TW_UINT16 rc = DS_Entry(&app_, DG_CONTROL, DAT_CAPABILITY, msg, &cap_);
        if (sent != nullptr) {
            GlobalFree(sent);
            cap_.hContainer = cap_.hContainer == sent ? nullptr : cap_.hContainer;
        }
        return rc;
    }
    TW_UINT16 Condition()
    {
        TW_STATUS status = {};
        DS_Entry(&app_, DG_CONTROL, DAT_STATUS, MSG_GET, &status);
        return status.ConditionCode;
    }
    std::vector<uint32_t> Supported()
    {
        EXPECT_EQ(Send(CAP_SUPPORTEDCAPS, MSG_GET), TWRC_SUCCESS);
        return ReadArrayBlock(cap_.hContainer, 2).Items;
    }
    bool Lists(TW_UINT16 cap) { const auto ids = Supported(); return std::count(ids.begin(), ids.end(), cap) == 1; }
    // The five fields of the TW_RANGE answered, as numbers.
    std::vector<double> Range(TW_UINT16 cap)
    {
        EXPECT_EQ(Send(cap, MSG_GET), TWRC_SUCCESS);
        EXPECT_EQ(cap_.ConType, TWON_RANGE);
        const std::vector<uint8_t> bytes = BlockBytes(cap_.hContainer);
        EXPECT_GE(bytes.size(), 22u);
        EXPECT_EQ(bytes.at(0), TWTY_FIX32);
        std::vector<double> fields;
        for (size_t at = 2; at + 4 <= 22; at += 4) {
            fields.push_back(Fix32Value(static_cast<uint32_t>(bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 |
                                                              bytes[at + 3] << 24)));
        }
        return fields;
    }
    static double Fix32Value(uint32_t item)
    {
        return static_cast<int16_t>(item & 0xFFFF) + (item >> 16) / 65536.0;
    }
    static std::vector<uint8_t> Fix32(double value)
    {
        const auto scaled = static_cast<int32_t>(value * 65536.0 + (value < 0 ? -0.5 : 0.5));
        return OneValueBytes(TWTY_FIX32, static_cast<uint32_t>(scaled >> 16 & 0xFFFF) |
                                             static_cast<uint32_t>(scaled & 0xFFFF) << 16);
    }
    static std::vector<uint8_t> Name(const char* text)
    {
        std::vector<uint8_t> bytes(2 + 34, 0);
        bytes[0] = TWTY_STR32;
        std::memcpy(bytes.data() + 2, text, std::strlen(text));
        return bytes;
    }
    std::string Reference(long item, long level) const
    {
        return Call("MdigReference", {MilInfo.MilDigitizer, item, level});
    }
    static uint32_t Stored(const char* name)
    {
        uint32_t value = 0xDEAD;
        ReadStoredDword(name, value);
        return value;
    }

    bool NoNewBoxes() const { return SourceBoxes().size() == boxesAtOpen_ && LibraryBoxes().empty(); }

    TW_IDENTITY app_ = TestAppIdentity();
    TW_CAPABILITY cap_ = {};
    size_t boxesAtOpen_ = 0;  // the first use's registry box
};

constexpr TW_UINT16 Channel = 0x8001, VideoFormat = 0x8002;
constexpr long AllReferences = static_cast<long>(0xEF200000u);

// Brightness and contrast on the composite path of M_CCIR: TWAIN's -1000..1000
// onto the levels 0..255, read back as the value the level means.
TEST_F(BoardNegotiation, AdjustmentsMapOntoTheLevelsTheDigitizerIsSent)
{
    EXPECT_TRUE(Lists(ICAP_BRIGHTNESS) && Lists(ICAP_CONTRAST) && Lists(VideoFormat));
    EXPECT_FALSE(Lists(ICAP_HIGHLIGHT) || Lists(ICAP_SHADOW) || Lists(Channel));
    // The levels counted in FIX32's steps: level k is the least value plus
    // k whole steps, the default the level MSG_RESET brings back.
    const std::vector<double> range = Range(ICAP_BRIGHTNESS);
    const double step = 514008 / 65536.0;  // 2000 / 255 to the nearest 1/65536
    EXPECT_EQ(range[0], -1000.0);
    EXPECT_EQ(range[2], step);
    EXPECT_EQ(range[1], -1000 + 255 * step);
    EXPECT_EQ(range[3], -1000 + 128 * step) << "the stored level 128";
    EXPECT_EQ(range[4], -1000 + 128 * step) << "the board's level 128 at open";
    ASSERT_EQ(Send(ICAP_BRIGHTNESS, MSG_GETDEFAULT), TWRC_SUCCESS);
    EXPECT_EQ(Fix32Value(ReadOneValueBlock(cap_.hContainer).Item), range[3]);

    struct Row {
        TW_UINT16 cap;
        double value;
        long item;   // 0: refused, nothing sent
        long level;
        TW_UINT16 rc;  // TWRC_CHECKSTATUS: the board took the nearest level
    };
    const Row rows[] = {
        {ICAP_BRIGHTNESS, 0, 4008, 128, TWRC_CHECKSTATUS},
        {ICAP_BRIGHTNESS, -1000, 4008, 0, TWRC_SUCCESS},
        {ICAP_BRIGHTNESS, 1000, 4008, 255, TWRC_CHECKSTATUS},
        {ICAP_BRIGHTNESS, 500, 4008, 191, TWRC_CHECKSTATUS},
        {ICAP_BRIGHTNESS, -212.55, 4008, 100, TWRC_CHECKSTATUS},
        {ICAP_BRIGHTNESS, -1000 + 100 * step, 4008, 100, TWRC_SUCCESS},
        {ICAP_CONTRAST, -250.5, 4009, 96, TWRC_CHECKSTATUS},
        {ICAP_CONTRAST, 3.9, 4009, 128, TWRC_CHECKSTATUS},
        {ICAP_CONTRAST, -1000 + 255 * step, 4009, 255, TWRC_SUCCESS},
        {ICAP_BRIGHTNESS, 1000.5, 0, 0, TWRC_FAILURE},
        {ICAP_CONTRAST, -1001, 0, 0, TWRC_FAILURE},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "cap 0x" << std::hex << row.cap << std::dec << " value " << row.value);
        ClearLogAndTrace();
        if (row.item == 0) {
            EXPECT_EQ(Send(row.cap, MSG_SET, Fix32(row.value)), TWRC_FAILURE);
            EXPECT_EQ(Condition(), TWCC_BADVALUE);
            EXPECT_TRUE(Trace().empty());
            continue;
        }
        ASSERT_EQ(Send(row.cap, MSG_SET, Fix32(row.value)), row.rc);
        EXPECT_EQ(Condition(), TWCC_SUCCESS);
        EXPECT_EQ(Trace(), std::vector<std::string>{Reference(row.item, row.level)});
        ASSERT_EQ(Send(row.cap, MSG_GETCURRENT), TWRC_SUCCESS);
        const OneValueSeen seen = ReadOneValueBlock(cap_.hContainer);
        EXPECT_EQ(seen.ItemType, TWTY_FIX32);
        EXPECT_EQ(Fix32Value(seen.Item), -1000 + row.level * step);
        EXPECT_EQ(Mil.MdigInquire(MilInfo.MilDigitizer, row.item, nullptr), row.level);
    }
    // Every value the range offers is held as sent.
    for (int k = 0; k <= 255; k += 17) {
        SCOPED_TRACE(k);
        ASSERT_EQ(Send(ICAP_BRIGHTNESS, MSG_SET, Fix32(range[0] + k * range[2])), TWRC_SUCCESS);
        ASSERT_EQ(Send(ICAP_BRIGHTNESS, MSG_GETCURRENT), TWRC_SUCCESS);
        EXPECT_EQ(Fix32Value(ReadOneValueBlock(cap_.hContainer).Item), range[0] + k * range[2]);
    }
    // Nothing negotiated reached the user's settings; MSG_RESET goes back to them.
    EXPECT_EQ(Stored("Brightness"), 128u);
    const DWORD stored = 77;
    WriteRegistryValue(SettingsKeyPath, "Brightness", REG_DWORD, &stored, sizeof stored);
    ASSERT_EQ(Send(ICAP_BRIGHTNESS, MSG_GETDEFAULT), TWRC_SUCCESS);
    const uint32_t initial = ReadOneValueBlock(cap_.hContainer).Item;
    EXPECT_EQ(Fix32Value(initial), -1000 + 77 * step) << "the default is what MSG_RESET makes current";
    ClearLogAndTrace();
    ASSERT_EQ(Send(ICAP_BRIGHTNESS, MSG_RESET), TWRC_SUCCESS);
    EXPECT_EQ(Trace(), (std::vector<std::string>{Reference(4008, 77), Call("MdigInquire", {MilInfo.MilDigitizer, 4008, 0})}));
    EXPECT_EQ(cap_.ConType, TWON_RANGE);
    EXPECT_EQ(Range(ICAP_BRIGHTNESS)[4], -1000 + 77 * step);
    ASSERT_EQ(Send(ICAP_BRIGHTNESS, MSG_GETCURRENT), TWRC_SUCCESS);
    EXPECT_EQ(ReadOneValueBlock(cap_.hContainer).Item, initial);
    ASSERT_EQ(Send(ICAP_CONTRAST, MSG_QUERYSUPPORT), TWRC_SUCCESS);
    EXPECT_EQ(static_cast<TW_INT32>(ReadOneValueBlock(cap_.hContainer).Item),
              TWQC_GET | TWQC_GETCURRENT | TWQC_GETDEFAULT | TWQC_SET | TWQC_RESET);

    // Only in state 4; questions in every state.
    for (LONG state : {500L, 600L}) {
        SourceState = state;
        ClearLogAndTrace();
        EXPECT_EQ(Send(ICAP_BRIGHTNESS, MSG_SET, Fix32(0)), TWRC_FAILURE);
        EXPECT_EQ(Condition(), TWCC_SEQERROR);
        EXPECT_EQ(Send(VideoFormat, MSG_RESET), TWRC_FAILURE);
        EXPECT_EQ(Condition(), TWCC_SEQERROR);
        EXPECT_EQ(Send(ICAP_BRIGHTNESS, MSG_GETCURRENT), TWRC_SUCCESS);
        EXPECT_TRUE(Trace().size() == 1 && Trace()[0].rfind("MdigInquire", 0) == 0) << "asked, nothing sent";
    }
    SourceState = 400;
    EXPECT_EQ(Send(ICAP_HIGHLIGHT, MSG_GET), TWRC_FAILURE) << "not on the composite path";
    EXPECT_EQ(Condition(), TWCC_CAPUNSUPPORTED);
    EXPECT_TRUE(NoNewBoxes());
}

// The format restarts the digitizer as the dialog does; the RGB path then
// offers the references and the channel instead of brightness and contrast.
TEST_F(BoardNegotiation, FormatRestartsTheDigitizerAndTheDataPathChoosesTheAdjustments)
{
    ASSERT_EQ(Send(VideoFormat, MSG_GET), TWRC_SUCCESS);
    ASSERT_EQ(cap_.ConType, TWON_ENUMERATION);
    const std::vector<uint8_t> list = BlockBytes(cap_.hContainer);
    ASSERT_GE(list.size(), 14u + 8 * 34);
    EXPECT_EQ(list[0], TWTY_STR32);
    EXPECT_EQ(list[2], 8);  // NumItems
    EXPECT_STREQ(reinterpret_cast<const char*>(list.data() + 14 + list[6] * 34), "M_CCIR") << "current";
    EXPECT_STREQ(reinterpret_cast<const char*>(list.data() + 14 + 4 * 34), "M_PAL_RGB");

    // The running format sent back, as a one value or as the list MSG_GET
    // handed out: nothing restarts, the session's pixel type stays.
    ASSERT_EQ(Send(ICAP_PIXELTYPE, MSG_SET, OneValueBytes(TWTY_UINT16, TWPT_RGB)), TWRC_SUCCESS);
    ClearLogAndTrace();
    EXPECT_EQ(Send(VideoFormat, MSG_SET, Name("M_CCIR")), TWRC_SUCCESS);
    EXPECT_EQ(Send(VideoFormat, MSG_SET, list, TWON_ENUMERATION), TWRC_SUCCESS);
    EXPECT_EQ(Condition(), TWCC_SUCCESS);
    EXPECT_TRUE(Trace().empty());
    ASSERT_EQ(Send(ICAP_PIXELTYPE, MSG_GETCURRENT), TWRC_SUCCESS);
    EXPECT_EQ(ReadOneValueBlock(cap_.hContainer).Item, TWPT_RGB);
    ASSERT_EQ(Send(VideoFormat, MSG_GETDEFAULT), TWRC_SUCCESS);
    const std::vector<uint8_t> initialFormat = BlockBytes(cap_.hContainer);

    // The list with another current item chooses that one.
    std::vector<uint8_t> choice = list;
    choice[6] = 4;  // M_PAL_RGB
    ClearLogAndTrace();
    ASSERT_EQ(Send(VideoFormat, MSG_SET, choice, TWON_ENUMERATION), TWRC_SUCCESS);
    EXPECT_EQ(std::string(SourceSettings.DigFormat), "M_PAL_RGB");
    ASSERT_EQ(Send(VideoFormat, MSG_SET, Name("M_CCIR")), TWRC_SUCCESS);
    choice[6] = 8;  // beyond the items
    EXPECT_EQ(Send(VideoFormat, MSG_SET, choice, TWON_ENUMERATION), TWRC_FAILURE);
    EXPECT_EQ(Condition(), TWCC_BADVALUE);

    ClearLogAndTrace();
    ASSERT_EQ(Send(VideoFormat, MSG_SET, Name("m_pal_rgb")), TWRC_SUCCESS);
    const std::vector<std::string> restart = Trace();
    EXPECT_TRUE(std::any_of(restart.begin(), restart.end(),
                            [](const std::string& line) { return line.find("\"M_PAL_RGB\"") != std::string::npos; }));
    EXPECT_EQ(std::string(SourceSettings.DigFormat), "M_PAL_RGB");
    EXPECT_EQ(GetBandCount(), 3u);
    ASSERT_EQ(Send(VideoFormat, MSG_GETCURRENT), TWRC_SUCCESS);
    std::vector<uint8_t> name = Name("M_PAL_RGB");
    name.resize(name.size() + 4, 0);  // the block's four bytes behind the item
    EXPECT_EQ(BlockBytes(cap_.hContainer), name) << "the name padded with zeros, every byte written";
    EXPECT_TRUE(Lists(ICAP_HIGHLIGHT) && Lists(ICAP_SHADOW) && Lists(Channel));
    EXPECT_FALSE(Lists(ICAP_BRIGHTNESS) || Lists(ICAP_CONTRAST));
    EXPECT_EQ(Send(ICAP_BRIGHTNESS, MSG_SET, Fix32(0)), TWRC_FAILURE);
    EXPECT_EQ(Condition(), TWCC_CAPUNSUPPORTED);

    struct Row {
        TW_UINT16 cap;
        std::vector<uint8_t> sent;
        std::vector<std::string> calls;  // empty: refused with TWCC_BADVALUE
        TW_UINT16 rc = TWRC_SUCCESS;     // when taken: TWRC_CHECKSTATUS for the nearest level
    };
    const long dig = MilInfo.MilDigitizer;
    const Row rows[] = {
        {ICAP_HIGHLIGHT, Fix32(200), {Reference(AllReferences | 4005, 200)}},
        {ICAP_SHADOW, Fix32(10.6), {Reference(AllReferences | 4003, 11)}, TWRC_CHECKSTATUS},
        {ICAP_SHADOW, Fix32(255.5), {}},
        {ICAP_HIGHLIGHT, Fix32(-1), {}},
        {ICAP_HIGHLIGHT, OneValueBytes(TWTY_UINT16, 200), {}},
        {Channel, OneValueBytes(TWTY_UINT32, 0x01000000), {Call("MdigChannel", {dig, 0x01400000})}},
        {Channel, OneValueBytes(TWTY_UINT32, 5), {}},
        // A 1- or 2-byte item is the bytes of its type, not those behind them.
        {Channel, OneValueBytes(TWTY_UINT16, 0x40000000), {}},
        {Channel, OneValueBytes(TWTY_UINT8, 0x01000000), {}},
        {Channel, OneValueBytes(TWTY_INT8, 0x40000000), {}},
        {VideoFormat, Name("M_SECAM"), {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "cap 0x" << std::hex << row.cap);
        ClearLogAndTrace();
        const TW_UINT16 rc = Send(row.cap, MSG_SET, row.sent);
        EXPECT_EQ(rc, row.calls.empty() ? TWRC_FAILURE : row.rc);
        if (row.calls.empty()) {
            EXPECT_EQ(Condition(), TWCC_BADVALUE);
        }
        EXPECT_EQ(Trace(), row.calls);
    }
    ASSERT_EQ(Send(ICAP_HIGHLIGHT, MSG_GETCURRENT), TWRC_SUCCESS);
    EXPECT_EQ(Fix32Value(ReadOneValueBlock(cap_.hContainer).Item), 200.0);
    ASSERT_EQ(Send(Channel, MSG_GETCURRENT), TWRC_SUCCESS);
    EXPECT_EQ(ReadOneValueBlock(cap_.hContainer).Item, 0x01000000u);
    ASSERT_EQ(Send(Channel, MSG_GET), TWRC_SUCCESS);
    const ListSeen channels = ReadEnumerationBlock(cap_.hContainer, 4);
    EXPECT_EQ(channels.Items, (std::vector<uint32_t>{0x40000000, 0x01000000}));
    EXPECT_EQ(channels.CurrentIndex, 1u) << "the channel in use";

    // A format the board refuses: no box, the former format runs on with
    // its adjustments and channel, and the session's region and pixel type.
    NegotiatedRegion = {10, 20, 100, 200};
    ASSERT_EQ(Send(ICAP_PIXELTYPE, MSG_SET, OneValueBytes(TWTY_UINT16, TWPT_GRAY)), TWRC_SUCCESS);
    ClearLogAndTrace();
    EXPECT_EQ(Send(VideoFormat, MSG_SET, Name("M_NTSC")), TWRC_FAILURE);
    EXPECT_EQ(Condition(), TWCC_BADVALUE);
    EXPECT_EQ(std::string(SourceSettings.DigFormat), "M_PAL_RGB");
    EXPECT_EQ(NegotiatedRegion.Width, 100u);
    EXPECT_EQ(NegotiatedRegion.Top, 20u);
    ASSERT_EQ(Send(ICAP_PIXELTYPE, MSG_GETCURRENT), TWRC_SUCCESS);
    EXPECT_EQ(ReadOneValueBlock(cap_.hContainer).Item, TWPT_GRAY);
    ASSERT_EQ(Send(ICAP_BITDEPTH, MSG_GETCURRENT), TWRC_SUCCESS);
    EXPECT_EQ(ReadOneValueBlock(cap_.hContainer).Item, 8u) << "the grey depth";
    ASSERT_NE(MilInfo.MilDigitizer, 0);
    for (long band : {0x20000000L, 0x40000000L, static_cast<long>(0x80000000u)}) {
        EXPECT_EQ(Mil.MdigInquire(MilInfo.MilDigitizer, band | 4005, nullptr), 200) << band;
        EXPECT_EQ(Mil.MdigInquire(MilInfo.MilDigitizer, band | 4003, nullptr), 11) << band;
    }
    const std::vector<std::string> after = Trace();
    EXPECT_NE(std::find(after.begin(), after.end(), Call("MdigChannel", {MilInfo.MilDigitizer, 0x01400000})),
              after.end());
    EXPECT_TRUE(NoNewBoxes());

    // MSG_RESET: the user's stored channel (green), not the negotiated one.
    ClearLogAndTrace();
    ASSERT_EQ(Send(Channel, MSG_RESET), TWRC_SUCCESS);
    const std::vector<std::string> reset = Trace();
    EXPECT_TRUE(!reset.empty() && reset[0] == Call("MdigChannel", {MilInfo.MilDigitizer, 0x20000000 + 0x00400000}));
    EXPECT_EQ(ReadEnumerationBlock(cap_.hContainer, 4).CurrentIndex, 0u);
    ASSERT_EQ(Send(Channel, MSG_GETCURRENT), TWRC_SUCCESS);
    EXPECT_EQ(ReadOneValueBlock(cap_.hContainer).Item, 0x40000000u);

    // MSG_RESET: the user's stored references of each band, then format.
    ClearLogAndTrace();
    ASSERT_EQ(Send(ICAP_HIGHLIGHT, MSG_RESET), TWRC_SUCCESS);
    const long d = MilInfo.MilDigitizer;
    EXPECT_EQ(Trace(), (std::vector<std::string>{Call("MdigReference", {d, 0x20000000 | 4005, 255}),
                                                 Call("MdigReference", {d, 0x40000000 | 4005, 255}),
                                                 Call("MdigReference", {d, static_cast<long>(0x80000000u) | 4005, 255}),
                                                 Call("MdigInquire", {d, 0x20000000 | 4005, 0})}));
    ASSERT_EQ(Send(VideoFormat, MSG_RESET), TWRC_SUCCESS);
    EXPECT_EQ(cap_.ConType, TWON_ENUMERATION);
    EXPECT_EQ(std::string(SourceSettings.DigFormat), "M_CCIR");
    ASSERT_EQ(Send(VideoFormat, MSG_GETCURRENT), TWRC_SUCCESS);
    EXPECT_EQ(BlockBytes(cap_.hContainer), initialFormat) << "the default was what MSG_RESET makes current";
    EXPECT_EQ(Stored("Channel"), 0x20000000u) << "the negotiated channel stays out of the registry";
    EXPECT_TRUE(Lists(ICAP_BRIGHTNESS) && !Lists(Channel));
}

// A format of the user's that the board runs but the dialog does not offer
// (a camera's own): listed after the offered ones as the current one.
TEST_F(BoardNegotiation, ARunningFormatTheDialogDoesNotOfferIsTheCurrentItem)
{
    MilFreeSystem();
    SetBoardEnv("ORIONSIM_MORE_FORMATS", "M_CAMERA");
    WriteRegistryValue(SettingsKeyPath, "DigFormat", REG_SZ, "M_CAMERA", 8);
    OpenBoard();
    ASSERT_EQ(std::string(SourceSettings.DigFormat), "M_CAMERA");
    ASSERT_EQ(Send(VideoFormat, MSG_GET), TWRC_SUCCESS);
    const std::vector<uint8_t> list = BlockBytes(cap_.hContainer);
    ASSERT_GE(list.size(), 14u + 9 * 34);
    EXPECT_EQ(list[2], 9);  // NumItems
    ASSERT_EQ(list[6], 8);  // CurrentIndex
    EXPECT_STREQ(reinterpret_cast<const char*>(list.data() + 14 + 8 * 34), "M_CAMERA");
    ClearLogAndTrace();
    EXPECT_EQ(Send(VideoFormat, MSG_SET, list, TWON_ENUMERATION), TWRC_SUCCESS) << "the running one, sent back";
    EXPECT_TRUE(Trace().empty());
    std::vector<uint8_t> choice = list;
    choice[6] = 0;
    ASSERT_EQ(Send(VideoFormat, MSG_SET, choice, TWON_ENUMERATION), TWRC_SUCCESS);
    EXPECT_EQ(std::string(SourceSettings.DigFormat), "M_CCIR");
    EXPECT_EQ(Send(VideoFormat, MSG_SET, Name("M_CAMERA")), TWRC_FAILURE) << "not a format to choose";
    EXPECT_EQ(Condition(), TWCC_BADVALUE);
}

}  // namespace
