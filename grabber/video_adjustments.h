// The video adjustments and the input look-up table as the digitizer holds
// them: getters ask it, setters send to it. Before the library is bound
// getters answer 0 and setters send nothing. What the user stores of them
// is the settings record's.
#pragma once

#include <cstdint>

#include "settings/input_lut.h"

// Levels are 0..255; a setter sends anything above, read as unsigned, as 255.
constexpr uint32_t ClampLevel(uint32_t level)
{
    return level > 255 ? 255 : level;
}

uint32_t GetBlackRef(uint32_t band);
uint32_t GetWhiteRef(uint32_t band);
uint32_t GetBrightness();
uint32_t GetContrast();
uint32_t GetHue();         // 0 on a monochrome board
uint32_t GetSaturation();  // 0 on a monochrome board
void SetBlackRef(uint32_t level, uint32_t band);
void SetWhiteRef(uint32_t level, uint32_t band);
void SetBrightness(uint32_t level);
void SetContrast(uint32_t level);
void SetHue(uint32_t level);         // nothing on a monochrome board
void SetSaturation(uint32_t level);  // nothing on a monochrome board

// Stored in the record and sent to the digitizer (the display's zoom to the
// live preview's display).
void SetChannel(uint32_t channel);
void SetDispZoom(int32_t zoom);

// Builds the table from the curves in force and programs the digitizer:
// 0, or 1 without look-up table or digitizer.
uint16_t ApplyInputLut(const InputLut& lut);
// Curves in their stored form ("LutValues", `size` bytes) made the table in
// force and programmed: false, with nothing changed, for bytes that are not
// curves, or a board without look-up table.
bool ApplyLutValues(const uint8_t* value, size_t size);

// The adjustments of both data paths, as levels.
struct DigitizerLevels {
    uint32_t Brightness, Contrast, Hue, Saturation;
    uint32_t Black[3], White[3];  // bands 0 to 2
};
// What the digitizer holds now.
DigitizerLevels CurrentLevels();
// Sends the levels of the data path in use, in the order the board takes
// them: saturation, hue (colour only), contrast and brightness; or the black
// and then the white references of each band the board has.
void SendLevels(const DigitizerLevels& levels);

// Pushes the stored settings into the digitizer (opening the source).
void ApplySettings();
// Resets the digitizer's adjustments of the current data path.
void ApplyDefaultReferences();
// Saves the record with the digitizer's current adjustments of the active
// data path: 0, or 1 when a write failed.
uint16_t SaveCurrentSettings();
