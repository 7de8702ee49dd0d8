// Changing the video format of an open source: the one path the dialog's
// video format page and the format capability share, so that whatever a
// format change must do or reset, both do it.
#pragma once

#include <cstdint>

// Whether `format` takes the RGB input, whose sync source is the channel.
bool RgbInputFormat(const char* format);

// The channels of the RGB input: the sync comes with the green signal or
// from outside.
constexpr uint32_t SyncOnGreen = 0x40000000;
constexpr uint32_t SyncExtern = 0x01000000;
// The sync the RGB input runs with: any stored channel but external sync,
// the default included, means sync on green.
uint32_t SyncChannelInUse();

enum class FormatRefusal {
    FallBack,     // the start-up's fallback format, with its box (the dialog)
    KeepRunning,  // no box; the former format is started again as it ran
};

// What the caller does once the digitizer runs in the new format, before
// its adjustments are reset (the dialog brings its buttons, and with them
// the sync channel, in line there).
struct FormatStarted {
    void (*Run)(const char* format, void* context);
    void* Context;
};

// Restarts the digitizer in `format` (a writable buffer of 256 bytes) once
// the caller has stopped the live picture: frees it, starts it in the new
// format, runs `started`, sets the data path's adjustments to the board's
// defaults and keeps the zoom. 0 when a digitizer runs (FallBack: `format`
// says which); 2 (KeepRunning) when the board refused `format` and the
// former one runs again with its adjustments and channel (`started` not
// run); 1 when no digitizer could be started.
uint16_t RestartDigitizer(char* format, FormatRefusal refusal, const FormatStarted& started);
