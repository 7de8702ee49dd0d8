// Changing the video format of an open source: the one path the dialog's
// video format page and the format capability share, so that whatever a
// format change must do or reset, both do it.
#pragma once

#include <windows.h>

#include <cstdint>

#include "capability/region.h"
#include "grabber/video_adjustments.h"
#include "settings/lut_form.h"
#include "twain/twain_types.h"

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
// says which); 1 when no digitizer could be started. KeepRunning changes
// all or nothing: 2 when the board refused `format`, 3 when memory was
// refused; the session is then as it was (`started` not run).
uint16_t RestartDigitizer(char* format, FormatRefusal refusal, const FormatStarted& started);

// What of the session a format change touches, held before a change that
// must be made whole or not at all: the format, the levels and curves in
// the digitizer, the channel, the negotiated pixel type with its depth, and
// the region. The held containers are the holder's until put back.
struct HeldSession {
    HeldSession() = default;
    ~HeldSession();
    HeldSession(const HeldSession&) = delete;
    HeldSession& operator=(const HeldSession&) = delete;

    char Format[256] = {};
    DigitizerLevels Levels = {};
    uint32_t Channel = 0;
    uint8_t Lut[MaxLutValueBytes] = {};
    size_t LutBytes = 0;
    ImageRegion Region;
    HGLOBAL PixelType = nullptr;
    TW_UINT16 PixelTypeKind = 0;
    HGLOBAL BitDepth = nullptr;
    TW_UINT16 BitDepthKind = 0;
};

// 0, or 1 when memory for the copies was refused (nothing held).
uint16_t HoldSession(HeldSession& held);
// The session as held, the former format started again if another one runs
// (or none): 0, or 1 when no digitizer could be started.
uint16_t PutBackSession(HeldSession& held);

// RestartDigitizer with KeepRunning, for a caller that holds the session
// already (and puts it back itself should a later step of its change fail).
uint16_t RestartDigitizer(char* format, HeldSession& held, const FormatStarted& started);
