// The user's settings in the per-user registry: read at open, defaults on
// first use or when the key does not hold exactly what this source writes,
// saved on the user's request.
#pragma once

#include <cstddef>
#include <cstdint>

// The settings key below the base key.
constexpr const char* SettingsKeyPath = "SOFTWARE\\Talvenix\\Twain\\Orion";

// Values the settings key holds, no more, no fewer.
constexpr uint32_t SettingsValueCount = 17;

// 0, or 1 when the key cannot be opened or queried even after the defaults
// were created, or the defaults cannot be recreated after an unknown entry.
uint16_t ReadSettings();
// The base key with "Dump" = 0 and the settings key with every default:
// 0, or 1 when a key cannot be created.
uint16_t CreateDefaultSettings();
// saveCurrent 1: the record, with the adjustments of the active data path
// only; 0: the defaults. 0, or 1 when a write failed.
uint16_t WriteSettings(const char* path, int saveCurrent);

// The curves of the board's table in force in their stored form
// ("LutValues") into `value` (MaxLutValueBytes): the bytes written, 0
// without a table.
size_t CurrentLutValues(uint8_t* value);

// One value of the user's stored settings, read afresh (a session's
// negotiated values are never written there): false when the key or the
// value of that type cannot be read. A text is cut to `size` with its end.
bool ReadStoredDword(const char* name, uint32_t& value);
bool ReadStoredText(const char* name, char* text, uint32_t size);
