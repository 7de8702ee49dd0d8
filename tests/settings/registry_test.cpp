// Registry persistence through Wine's registry: first use, stale and
// damaged keys, and saving on each data path.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "grabber/board_fixture.h"
#include "grabber/startup.h"
#include "grabber/video_adjustments.h"
#include "rig/ds_rig.h"
#include "settings/input_lut.h"
#include "settings/registry.h"
#include "settings/source_settings.h"

namespace {

using Registry = BoardTest;
using Bytes = std::vector<uint8_t>;

struct StoredValue {
    DWORD Type = 0;
    Bytes Data;
};

std::map<std::string, StoredValue> ReadKey(const char* path)
{
    std::map<std::string, StoredValue> values;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return values;
    }
    for (DWORD index = 0;; ++index) {
        char name[256];
        DWORD nameSize = sizeof name;
        BYTE data[2048];
        DWORD dataSize = sizeof data;
        DWORD type = 0;
        if (RegEnumValueA(key, index, name, &nameSize, nullptr, &type, data, &dataSize) != ERROR_SUCCESS) {
            break;
        }
        // Text may come back with or without its terminator.
        if (type == REG_SZ && dataSize > 0 && data[dataSize - 1] == 0) {
            --dataSize;
        }
        values[name] = {type, Bytes(data, data + dataSize)};
    }
    RegCloseKey(key);
    return values;
}

Bytes Dword(uint32_t value)
{
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 24)};
}

// The key as the defaults leave it.
std::map<std::string, StoredValue> DefaultKey()
{
    std::map<std::string, StoredValue> key;
    key["DigFormat"] = {REG_SZ, Bytes{'M', '_', 'C', 'C', 'I', 'R'}};
    for (const char* name : {"WhiteRef0", "WhiteRef1", "WhiteRef2"}) {
        key[name] = {REG_DWORD, Dword(255)};
    }
    for (const char* name : {"BlackRef0", "BlackRef1", "BlackRef2", "ExtWindow", "Preview", "LutType"}) {
        key[name] = {REG_DWORD, Dword(0)};
    }
    for (const char* name : {"Brightness", "Contrast", "Hue", "Saturation"}) {
        key[name] = {REG_DWORD, Dword(128)};
    }
    key["Channel"] = {REG_DWORD, Dword(0x20000000)};
    key["DispZoom"] = {REG_DWORD, Dword(1)};
    key["LutValues"] = {REG_BINARY, Bytes{0, 0, 0, 3, 0, 0, 0x80, 0x80, 0xFF, 0xFF}};
    return key;
}

void ExpectKey(const std::map<std::string, StoredValue>& actual, const std::map<std::string, StoredValue>& expected)
{
    EXPECT_EQ(actual.size(), expected.size());
    for (const auto& [name, value] : expected) {
        SCOPED_TRACE(name);
        auto found = actual.find(name);
        ASSERT_NE(found, actual.end());
        EXPECT_EQ(found->second.Type, value.Type);
        EXPECT_EQ(found->second.Data, value.Data);
    }
}

const std::vector<std::string> DefaultReadLines = {
    "DigFormat = M_CCIR \n", "WhiteRef0 = 255 \n",  "WhiteRef1 = 255 \n",  "WhiteRef2 = 255 \n",
    "BlackRef0 = 0 \n",      "BlackRef1 = 0 \n",    "BlackRef2 = 0 \n",    "Brightness = 128 \n",
    "Contrast = 128 \n",     "Hue = 128 \n",        "Saturation = 128 \n", "Channel = 0x20000000 \n",
    "DispZoom = 1 \n",       "ExtWindow = 0 \n",    "Preview = 0 \n",      "LutType = 0 \n"};

void ExpectEachOnce(const std::string& log, const std::vector<std::string>& lines)
{
    for (const std::string& line : lines) {
        EXPECT_EQ(Count(log, line), 1u) << line << "\nin:\n" << log;
    }
}

TEST_F(Registry, FirstUseCreatesTheDefaultsAndReadsThem)
{
    SourceSettings.Brightness = 7;
    EXPECT_EQ(ReadSettings(), 0);
    const auto boxes = SourceBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].Caption, DsCaption);
    EXPECT_EQ(boxes[0].Text, "Error reading the registry, creating new default values");
    ExpectKey(ReadKey(SettingsKeyPath), DefaultKey());
    const auto base = ReadKey("SOFTWARE\\Talvenix\\Twain\\");
    ASSERT_EQ(base.count("Dump"), 1u);
    EXPECT_EQ(base.at("Dump").Data, Dword(0));
    const std::string log = Log();
    const std::string dashes(52, '-');
    ExpectInOrder(log, {dashes + "\n", "Dumping Registry settings\n", dashes + "\n",
                        "Talvenix TWAIN DS: no access to HKEY_CURRENT_USER...Twain, creating new default values \n"});
    ExpectEachOnce(log, DefaultReadLines);
    EXPECT_EQ(SourceSettings.Brightness, 128u);
    EXPECT_STREQ(SourceSettings.DigFormat, "M_CCIR");
    EXPECT_EQ(SourceSettings.LutHeader, 0x03000000u);
    EXPECT_EQ(Bytes(SourceSettings.LutNodes, SourceSettings.LutNodes + 6), (Bytes{0, 0, 128, 128, 255, 255}));
}

TEST_F(Registry, WrongValueCountsAreWipedAndRecreated)
{
    struct Row {
        const char* Name;
        int Extra;  // values beyond the defaults; -1 for an empty key
        int Count;
    };
    for (const Row& row : {Row{"empty key", -1, 0}, Row{"18 values", 1, 18}, Row{"16 values", -2, 16}}) {
        SCOPED_TRACE(row.Name);
        ResetSourceRegistry();
        ClearLogAndTrace();
        watcher_->Clear();
        if (row.Extra == -1) {
            HKEY key = nullptr;
            ASSERT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, SettingsKeyPath, &key), ERROR_SUCCESS);
            RegCloseKey(key);
        } else {
            ASSERT_EQ(CreateDefaultSettings(), 0);
            const DWORD one = 1;
            if (row.Extra == 1) {
                WriteRegistryValue(SettingsKeyPath, "Extra", REG_DWORD, &one, sizeof one);
            } else {
                HKEY key = nullptr;
                ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, SettingsKeyPath, 0, KEY_WRITE, &key), ERROR_SUCCESS);
                RegDeleteValueA(key, "Hue");
                RegCloseKey(key);
            }
        }
        ClearLogAndTrace();
        EXPECT_EQ(ReadSettings(), 0);
        const auto boxes = SourceBoxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].Text, "New TWAIN driver with new registry settings, creating new default values");
        ExpectKey(ReadKey(SettingsKeyPath), DefaultKey());
        ExpectInOrder(Log(), {"Talvenix TWAIN DS: number of entries (" + std::to_string(row.Count) +
                                  ") do not match, delete old and create new default values \n",
                              "DigFormat = M_CCIR \n"});
        ExpectEachOnce(Log(), DefaultReadLines);
    }
}

TEST_F(Registry, UnknownOrDamagedEntriesAreReadThenDefaultsRecreated)
{
    struct Row {
        const char* Name;
        const char* Value;
        DWORD Type;
        Bytes Data;
        const char* Line;
    };
    const Row rows[] = {
        {"Brightness as text", "Brightness", REG_SZ, Bytes{'9', 0}, "unknown REG_SZ entry 'Brightness' in registry found \n"},
        {"Contrast of 2 bytes", "Contrast", REG_DWORD, Bytes{5, 0}, "unknown REG_DWORD entry 'Contrast' in registry found \n"},
        {"LutValues one node short", "LutValues", REG_BINARY, Bytes{0, 0, 0, 3, 0, 0, 128, 128},
         "unknown REG_BINARY entry LutValues in registry found \n"},
        {"LutValues one byte long", "LutValues", REG_BINARY, Bytes{0, 0, 0, 1, 0, 0, 7},
         "unknown REG_BINARY entry LutValues in registry found \n"},
        {"DigFormat as binary", "DigFormat", REG_BINARY, Bytes{'M'}, "unknown REG_BINARY entry DigFormat in registry found \n"},
        {"Hue as a multi-string", "Hue", REG_MULTI_SZ, Bytes{'a', 0, 0}, "unknown REG_xxx entry in registry found \n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Name);
        ResetSourceRegistry();
        ASSERT_EQ(CreateDefaultSettings(), 0);
        // The replaced value keeps the count at 17.
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, SettingsKeyPath, 0, KEY_WRITE, &key), ERROR_SUCCESS);
        RegDeleteValueA(key, row.Value);
        RegCloseKey(key);
        WriteRegistryValue(SettingsKeyPath, row.Value, row.Type, row.Data.data(), static_cast<DWORD>(row.Data.size()));
        SetLutNodes(0, nullptr, 0);
        ClearLogAndTrace();
        watcher_->Clear();
        EXPECT_EQ(ReadSettings(), 0);
        const auto boxes = SourceBoxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].Text, "Talvenix Error reading the registry, creating new default values");
        ExpectInOrder(Log(), {row.Line, "Talvenix TWAIN DS: reading an unknown entry in registry, creating new "
                                        "default values"});
        ExpectKey(ReadKey(SettingsKeyPath), DefaultKey());
        if (std::strcmp(row.Value, "LutValues") == 0) {
            EXPECT_EQ(SourceSettings.LutHeader, 0u) << "a damaged value is not read";
        }
    }
}

TEST_F(Registry, ValuesAreReadWithoutRangeChecks)
{
    ASSERT_EQ(CreateDefaultSettings(), 0);
    const DWORD brightness = 1000;
    WriteRegistryValue(SettingsKeyPath, "Brightness", REG_DWORD, &brightness, sizeof brightness);
    const std::string longFormat(300, 'F');
    // Stored without terminator and longer than the field: cut to 255.
    WriteRegistryValue(SettingsKeyPath, "DigFormat", REG_SZ, longFormat.data(), static_cast<DWORD>(longFormat.size()));
    const uint8_t lut[] = {0x03, 0x02, 0x02, 0x00, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7};
    WriteRegistryValue(SettingsKeyPath, "LutValues", REG_BINARY, lut, sizeof lut);
    ClearLogAndTrace();
    EXPECT_EQ(ReadSettings(), 0);
    EXPECT_TRUE(SourceBoxes().empty());
    EXPECT_EQ(SourceSettings.Brightness, 1000u);
    EXPECT_EQ(std::string(SourceSettings.DigFormat), std::string(255, 'F'));
    EXPECT_EQ(SourceSettings.LutHeader, 0x00020203u);
    EXPECT_EQ(Bytes(SourceSettings.LutNodes, SourceSettings.LutNodes + 14), Bytes(lut + 4, lut + 18));
    ExpectEachOnce(Log(), {"Brightness = 1000 \n", "DigFormat = " + std::string(255, 'F') + " \n"});
}

class Saving : public BoardTest {
protected:
    void Open(const char* format)
    {
        ASSERT_EQ(CreateDefaultSettings(), 0);
        ASSERT_EQ(MilInitSystem(), 0);
        ASSERT_EQ(ReadSettings(), 0);
        char buffer[256];
        std::strcpy(buffer, format);
        ASSERT_EQ(MilInitDigitizer(buffer), 0);
        ApplySettings();
        ClearLogAndTrace();
    }
};

TEST_F(Saving, RgbPathSavesReferencesAndLeavesTheBrightnessGroup)
{
    Open("M_PAL_RGB");
    SetWhiteRef(201, Band0);
    SetWhiteRef(202, Band1);
    SetWhiteRef(203, Band2);
    SetBlackRef(11, Band0);
    SetBlackRef(12, Band1);
    SetBlackRef(13, Band2);
    SetBrightness(3);
    SetDispZoom(2);
    EXPECT_EQ(SaveCurrentSettings(), 0);
    auto expected = DefaultKey();
    expected["DigFormat"].Data = Bytes{'M', '_', 'P', 'A', 'L', '_', 'R', 'G', 'B'};
    expected["WhiteRef0"].Data = Dword(201);
    expected["WhiteRef1"].Data = Dword(202);
    expected["WhiteRef2"].Data = Dword(203);
    expected["BlackRef0"].Data = Dword(11);
    expected["BlackRef1"].Data = Dword(12);
    expected["BlackRef2"].Data = Dword(13);
    expected["DispZoom"].Data = Dword(2);
    ExpectKey(ReadKey(SettingsKeyPath), expected);
    EXPECT_EQ(Log(), LogText("Talvenix TWAIN DS: Saving current settings \n"));
    EXPECT_TRUE(SourceBoxes().empty());
}

TEST_F(Saving, CompositePathSavesTheBrightnessGroupAndPerChannelCurves)
{
    Open("M_CCIR");
    SetBrightness(10);
    SetContrast(20);
    SetWhiteRef(1, Band0);
    // Per-band curves in force: red, green and blue are stored apart.
    CurrentInputLut->SelectChannel(LutRed);
    CurrentInputLut->LoadNodes(0x00000200, 0, Bytes{0, 255, 255, 0}.data());
    EXPECT_EQ(SaveCurrentSettings(), 0);
    auto expected = DefaultKey();
    expected["Brightness"].Data = Dword(10);
    expected["Contrast"].Data = Dword(20);
    expected["Hue"].Data = Dword(0);  // a monochrome board
    expected["Saturation"].Data = Dword(0);
    expected["LutValues"].Data = Bytes{0x03, 0x02, 0x03, 0x00, 0, 0, 128, 128, 255, 255, 0, 255, 255, 0,
                                       0,    0,    128,  128,  255, 255};
    ExpectKey(ReadKey(SettingsKeyPath), expected);
}

TEST_F(Saving, SharedCurveIsSavedInTheSharedFormEvenIfBandsDiffer)
{
    Open("M_PAL");
    CurrentInputLut->SelectChannel(LutRed);
    CurrentInputLut->LoadNodes(0x00010101, 0, Bytes{1, 1, 2, 2, 3, 3}.data());
    CurrentInputLut->SelectChannel(LutShared);
    EXPECT_EQ(SaveCurrentSettings(), 0);
    EXPECT_EQ(ReadKey(SettingsKeyPath)["LutValues"].Data, (Bytes{0, 0, 0, 3, 0, 0, 128, 128, 255, 255}));
}

TEST_F(Saving, FullCurvesAreStored)
{
    Open("M_PAL");
    CurrentInputLut->SelectChannel(LutShared);
    CurrentInputLut->LoadNodes(0x02000000, 0, Bytes{0, 0, 255, 255}.data());
    for (int i = 0; i < 253; ++i) {
        CurrentInputLut->AppendNode(LutShared, 255, 255);
    }
    EXPECT_EQ(SaveCurrentSettings(), 0);
    const Bytes stored = ReadKey(SettingsKeyPath)["LutValues"].Data;
    ASSERT_EQ(stored.size(), 4u + 2 * 255);
    EXPECT_EQ(stored[3], 255);
    EXPECT_TRUE(SourceBoxes().empty());
}

}  // namespace
