#include "settings/registry.h"

#include <windows.h>

#include <cstddef>
#include <cstring>

#include "settings/input_lut.h"
#include "settings/lut_form.h"
#include "settings/source_settings.h"
#include "twain/allocation.h"
#include "twain/debug_log.h"
#include "twain/source.h"
#include "twain/text.h"

namespace {

constexpr const char* Caption = "Talvenix TWAIN DS";
constexpr const char* ReadingErrorText = "Error reading the registry, creating new default values";
constexpr const char* DefaultsErrorText = "Error occured creating registry defaults";

// Closes the key at every exit.
class RegistryKey {
public:
    RegistryKey() = default;
    ~RegistryKey()
    {
        if (key_ != nullptr) {
            RegCloseKey(key_);
        }
    }
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    LONG Open(const char* path)
    {
        Close();
        return RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, KEY_READ | KEY_WRITE, &key_);
    }
    LONG Create(const char* path)
    {
        Close();
        return RegCreateKeyA(HKEY_CURRENT_USER, path, &key_);
    }
    void Close()
    {
        if (key_ != nullptr) {
            RegCloseKey(key_);
            key_ = nullptr;
        }
    }
    HKEY Get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

void ShowBox(const char* text)
{
    MessageBoxA(nullptr, text, Caption, MB_OK);
}

// The REG_DWORD values and the fields they fill.
struct DwordValue {
    const char* Name;
    size_t Offset;
};
constexpr DwordValue DwordValues[] = {
    {"BlackRef0", offsetof(SourceSettingsRecord, BlackRef0)},
    {"BlackRef1", offsetof(SourceSettingsRecord, BlackRef1)},
    {"BlackRef2", offsetof(SourceSettingsRecord, BlackRef2)},
    {"WhiteRef0", offsetof(SourceSettingsRecord, WhiteRef0)},
    {"WhiteRef1", offsetof(SourceSettingsRecord, WhiteRef1)},
    {"WhiteRef2", offsetof(SourceSettingsRecord, WhiteRef2)},
    {"Contrast", offsetof(SourceSettingsRecord, Contrast)},
    {"Brightness", offsetof(SourceSettingsRecord, Brightness)},
    {"Hue", offsetof(SourceSettingsRecord, Hue)},
    {"Saturation", offsetof(SourceSettingsRecord, Saturation)},
    {"LutType", offsetof(SourceSettingsRecord, LutType)},
    {"ExtWindow", offsetof(SourceSettingsRecord, ExtWindow)},
    {"Preview", offsetof(SourceSettingsRecord, Preview)},
    {"Channel", offsetof(SourceSettingsRecord, Channel)},
    {"DispZoom", offsetof(SourceSettingsRecord, DispZoom)},
};

struct KeyInfo {
    DWORD Values = 0;
    DWORD LongestName = 0;
    DWORD LongestData = 0;
};

LONG QueryKeyInfo(HKEY key, KeyInfo& info)
{
    return RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &info.Values,
                            &info.LongestName, &info.LongestData, nullptr, nullptr);
}

// Buffers for enumerating the key's values, one byte longer than the
// longest name and data so a text can always be terminated.
struct ValueBuffers {
    explicit ValueBuffers(const KeyInfo& info)
        : NameCapacity(info.LongestName + 1),
          DataCapacity(info.LongestData + 1),
          Name(AllocateArray<char>(NameCapacity)),
          Data(AllocateArray<BYTE>(DataCapacity))
    {
    }
    bool Valid() const { return Name != nullptr && Data != nullptr; }

    DWORD NameCapacity;
    DWORD DataCapacity;
    OwnedArray<char> Name;
    OwnedArray<BYTE> Data;
};

void DeleteAllValues(HKEY key, const KeyInfo& info)
{
    ValueBuffers buffers(info);
    if (!buffers.Valid()) {
        return;
    }
    for (DWORD index = info.Values; index-- > 0;) {
        DWORD nameSize = buffers.NameCapacity;
        if (RegEnumValueA(key, index, buffers.Name.get(), &nameSize, nullptr, nullptr, nullptr, nullptr) ==
            ERROR_SUCCESS) {
            RegDeleteValueA(key, buffers.Name.get());
        }
    }
}

// Reads one enumerated value into the record; false for a value this
// source does not write (or one whose data it would not have written).
bool StoreValue(DebugLog& log, const char* name, DWORD type, const BYTE* data, DWORD size)
{
    switch (type) {
    case REG_SZ: {
        if (std::strcmp(name, "DigFormat") != 0) {
            log.Write("unknown REG_SZ entry '%s' in registry found \n", name);
            return false;
        }
        // Stored with or without its terminator; never read past the data.
        char text[256];
        size_t length = 0;
        while (length < size && length < sizeof text - 1 && data[length] != 0) {
            text[length] = static_cast<char>(data[length]);
            ++length;
        }
        text[length] = '\0';
        SetDigFormat(text);
        log.Write("DigFormat = %s \n", SourceSettings.DigFormat);
        return true;
    }
    case REG_BINARY: {
        uint32_t header = 0;
        const uint8_t* nodes = nullptr;
        size_t nodeBytes = 0;
        if (std::strcmp(name, "LutValues") != 0 || !ParseLutValues(data, size, header, nodes, nodeBytes)) {
            log.Write("unknown REG_BINARY entry %s in registry found \n", name);
            return false;
        }
        SetLutNodes(header, nodes, static_cast<uint32_t>(nodeBytes / 2));
        return true;
    }
    case REG_DWORD:
        for (const DwordValue& value : DwordValues) {
            if (std::strcmp(name, value.Name) != 0) {
                continue;
            }
            if (size != 4) {
                break;
            }
            uint32_t word = 0;
            std::memcpy(&word, data, 4);
            std::memcpy(reinterpret_cast<char*>(&SourceSettings) + value.Offset, &word, 4);
            if (std::strcmp(name, "Channel") == 0) {
                log.Write("Channel = 0x%x \n", word);
            } else {
                log.Write("%s = %d \n", name, static_cast<int>(word));
            }
            return true;
        }
        log.Write("unknown REG_DWORD entry '%s' in registry found \n", name);
        return false;
    default:
        log.Write("unknown REG_xxx entry in registry found \n");
        return false;
    }
}

LONG WriteDword(HKEY key, const char* name, uint32_t value)
{
    return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

LONG WriteBinary(HKEY key, const char* name, const uint8_t* data, size_t size)
{
    return RegSetValueExA(key, name, 0, REG_BINARY, data, static_cast<DWORD>(size));
}

}  // namespace

uint16_t ReadSettings()
{
    DebugLog log;
    log.Write("----------------------------------------------------\n");
    log.Write("Dumping Registry settings\n");
    log.Write("----------------------------------------------------\n");

    RegistryKey key;
    if (key.Open(SettingsKeyPath) != ERROR_SUCCESS) {
        log.Write("Talvenix TWAIN DS: no access to HKEY_CURRENT_USER...Twain, creating new default values \n");
        ShowBox(ReadingErrorText);
        CreateDefaultSettings();
        if (key.Open(SettingsKeyPath) != ERROR_SUCCESS) {
            log.Write("Talvenix TWAIN DS: still !?! no access to HKEY_CURRENT_USER...Twain, creating new default "
                      "values \n");
            ShowBox("Still not able to set values in the registry!");
            return 1;
        }
    }

    KeyInfo info;
    if (QueryKeyInfo(key.Get(), info) != ERROR_SUCCESS) {
        log.Write("Talvenix TWAIN DS: no access number of entries in registry, creating new default values \n");
        ShowBox(ReadingErrorText);
        CreateDefaultSettings();
        // A key that cannot be queried cannot be read either.
        if (QueryKeyInfo(key.Get(), info) != ERROR_SUCCESS) {
            return 1;
        }
    }

    if (info.Values != SettingsValueCount) {
        log.Write("Talvenix TWAIN DS: number of entries (%d) do not match, delete old and create new default values \n",
                  static_cast<int>(info.Values));
        DeleteAllValues(key.Get(), info);
        ShowBox("New TWAIN driver with new registry settings, creating new default values");
        CreateDefaultSettings();
        if (QueryKeyInfo(key.Get(), info) != ERROR_SUCCESS) {
            return 1;
        }
    }

    ValueBuffers buffers(info);
    if (!buffers.Valid()) {
        return 1;
    }
    bool unknownEntry = false;
    for (DWORD index = 0; index < info.Values; ++index) {
        DWORD nameSize = buffers.NameCapacity;
        DWORD dataSize = buffers.DataCapacity;
        DWORD type = 0;
        if (RegEnumValueA(key.Get(), index, buffers.Name.get(), &nameSize, nullptr, &type, buffers.Data.get(),
                          &dataSize) != ERROR_SUCCESS) {
            log.Write("Talvenix TWAIN DS: enumerating values in registry not possible, creating new default values \n");
            ShowBox(ReadingErrorText);
            CreateDefaultSettings();
            continue;
        }
        if (!StoreValue(log, buffers.Name.get(), type, buffers.Data.get(), dataSize)) {
            unknownEntry = true;
        }
    }
    key.Close();

    if (unknownEntry) {
        log.Write("Talvenix TWAIN DS: reading an unknown entry in registry, creating new default values");
        ShowBox("Talvenix Error reading the registry, creating new default values");
        return CreateDefaultSettings();
    }
    return 0;
}

uint16_t CreateDefaultSettings()
{
    DebugLog log;
    RegistryKey key;
    if (key.Create(BaseKeyPath) != ERROR_SUCCESS) {
        log.Write("Talvenix TWAIN DS: no access to HKEY_CURRENT_USER ...Dump registry key");
        ShowBox(DefaultsErrorText);
        return 1;
    }
    // Defaults switch the log off for the next load of the source.
    WriteDword(key.Get(), "Dump", 0);
    key.Close();
    if (key.Create(SettingsKeyPath) != ERROR_SUCCESS) {
        log.Write("Talvenix TWAIN DS: no access to HKEY_CURRENT_USER ...Twain registry key");
        ShowBox(DefaultsErrorText);
        return 1;
    }
    key.Close();
    WriteSettings(SettingsKeyPath, 0);
    return 0;
}

uint16_t WriteSettings(const char* path, int saveCurrent)
{
    DebugLog log;
    RegistryKey key;
    LONG errors = key.Create(path);
    if (errors != ERROR_SUCCESS) {
        log.Write("Talvenix TWAIN DS: not possible to create subkey in registry");
        ShowBox(DefaultsErrorText);
    }
    HKEY k = key.Get();
    SourceSettingsRecord& s = SourceSettings;

    if (!saveCurrent) {
        SetDigFormat("M_CCIR");
    }
    errors |= RegSetValueExA(k, "DigFormat", 0, REG_SZ, reinterpret_cast<const BYTE*>(s.DigFormat),
                             static_cast<DWORD>(std::strlen(s.DigFormat)));

    if (saveCurrent && s.RgbDataPath == 1) {
        errors |= WriteDword(k, "WhiteRef0", s.WhiteRef0);
        errors |= WriteDword(k, "WhiteRef1", s.WhiteRef1);
        errors |= WriteDword(k, "WhiteRef2", s.WhiteRef2);
        errors |= WriteDword(k, "BlackRef0", s.BlackRef0);
        errors |= WriteDword(k, "BlackRef1", s.BlackRef1);
        errors |= WriteDword(k, "BlackRef2", s.BlackRef2);
    } else if (saveCurrent) {
        errors |= WriteDword(k, "Brightness", s.Brightness);
        errors |= WriteDword(k, "Contrast", s.Contrast);
        errors |= WriteDword(k, "Hue", s.Hue);
        errors |= WriteDword(k, "Saturation", s.Saturation);
    } else {
        s.WhiteRef0 = s.WhiteRef1 = s.WhiteRef2 = 255;
        errors |= WriteDword(k, "WhiteRef0", 255);
        errors |= WriteDword(k, "WhiteRef1", 255);
        errors |= WriteDword(k, "WhiteRef2", 255);
        s.BlackRef0 = s.BlackRef1 = s.BlackRef2 = 0;
        errors |= WriteDword(k, "BlackRef0", 0);
        errors |= WriteDword(k, "BlackRef1", 0);
        errors |= WriteDword(k, "BlackRef2", 0);
        s.Brightness = s.Contrast = s.Hue = s.Saturation = 128;
        errors |= WriteDword(k, "Brightness", 128);
        errors |= WriteDword(k, "Contrast", 128);
        errors |= WriteDword(k, "Hue", 128);
        errors |= WriteDword(k, "Saturation", 128);
        s.Channel = 0x20000000;
    }
    errors |= WriteDword(k, "Channel", s.Channel);
    if (!saveCurrent) {
        s.DispZoom = 1;
        s.ExtWindow = 0;
        s.Preview = 0;
    }
    errors |= WriteDword(k, "DispZoom", static_cast<uint32_t>(s.DispZoom));
    errors |= WriteDword(k, "ExtWindow", s.ExtWindow);
    errors |= WriteDword(k, "Preview", s.Preview);

    if (!saveCurrent) {
        errors |= WriteBinary(k, "LutValues", DefaultLutValues, sizeof DefaultLutValues);
        errors |= WriteDword(k, "LutType", 0);
    } else if (s.LutAvailable == 1 && CurrentInputLut != nullptr) {
        uint8_t value[MaxLutValueBytes];
        errors |= WriteBinary(k, "LutValues", value, CurrentLutValues(value));
        errors |= WriteDword(k, "LutType", 0);
    }
    key.Close();

    if (errors != ERROR_SUCCESS) {
        log.Write("Talvenix TWAIN DS: Error occured creating registry entries");
        ShowBox("Error occured creating an registry entries");
        return 1;
    }
    return 0;
}

size_t CurrentLutValues(uint8_t* value)
{
    if (CurrentInputLut == nullptr) {
        return 0;
    }
    const InputLut& lut = *CurrentInputLut;
    if (lut.ActiveChannel() == LutShared) {
        const CurveBytes shared = lut.GetNodes(LutShared);
        return EncodeLutValues(SharedLutForm(static_cast<uint32_t>(shared.Size / 2)), shared.Bytes, shared.Size,
                               value);
    }
    uint8_t nodes[MaxLutValueBytes - 4];
    size_t size = 0;
    uint32_t counts[3] = {};
    for (int32_t channel : {LutRed, LutGreen, LutBlue}) {
        const CurveBytes curve = lut.GetNodes(channel);
        counts[channel] = static_cast<uint32_t>(curve.Size / 2);
        std::memcpy(nodes + size, curve.Bytes, curve.Size);
        size += curve.Size;
    }
    return EncodeLutValues(PerChannelLutForm(counts[0], counts[1], counts[2]), nodes, size, value);
}

namespace {

// One stored value of `type`, at most `size` bytes, into `data`; `size`
// becomes the bytes read.
bool ReadStored(const char* name, DWORD type, void* data, DWORD& size)
{
    RegistryKey key;
    DWORD found = 0;
    return key.Open(SettingsKeyPath) == ERROR_SUCCESS &&
           RegQueryValueExA(key.Get(), name, nullptr, &found, static_cast<BYTE*>(data), &size) == ERROR_SUCCESS &&
           found == type;
}

}  // namespace

bool ReadStoredDword(const char* name, uint32_t& value)
{
    DWORD data = 0;
    DWORD size = sizeof data;
    if (!ReadStored(name, REG_DWORD, &data, size) || size != sizeof data) {
        return false;
    }
    value = data;
    return true;
}

bool ReadStoredText(const char* name, char* text, uint32_t size)
{
    char data[256] = "";
    DWORD bytes = sizeof data - 1;
    if (size == 0 || !ReadStored(name, REG_SZ, data, bytes)) {
        return false;
    }
    data[bytes < sizeof data ? bytes : sizeof data - 1] = '\0';
    CopyText(text, size, data);
    return true;
}
