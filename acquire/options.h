// twacquire's command line: the options, their defaults and the usage text.
#pragma once

#include <cstdio>
#include <string>

#include "twain/twain_types.h"

const char* const DefaultSource = "Talvenix Matrox Orion driver";

struct Options {
    bool List = false;
    bool Identity = false;
    std::string Source = DefaultSource;
    TW_UINT16 Mechanism = TWSX_NATIVE;
    int Count = 1;           // CAP_XFERCOUNT; -1: until stopped
    bool CountGiven = false; // without --count, --frames N transfers N images
    int StopAfter = 0;       // with -1: MSG_RESET after this many images
    int PixelType = -1;      // TWPT_GRAY, TWPT_RGB, or the source's choice
    bool ShowUi = false;
    bool SetupOnly = false;  // MSG_ENABLEDSUIONLY: the dialog for settings only, no transfer
    std::string OutDir = ".";
    std::string Format = "";  // bmp or tiff: the files written; for a file transfer, the format asked for,
                              // png, jpeg and tiffmulti as well
    int Quality = -1;         // ICAP_JPEGQUALITY; -1: as the source has it
    long Frames = 0;          // CAP_AUTOMATICCAPTURE: images the source captures on its own clock; 0 off
    long EveryMs = 0;         // CAP_TIMEBETWEENCAPTURES
    long DelayMs = 0;         // CAP_TIMEBEFOREFIRSTCAPTURE
    long Average = 0;         // CUSTCAP_AVERAGEFRAMES: frames averaged per image; 0: as the source has it
    TW_UINT32 StripBytes = 0;  // memory transfer buffer; 0: the source's preferred size
    bool Unattended = false;
    int TimeoutSeconds = 60;
    bool TimeoutGiven = false;
    bool Check = false;  // compare each image with the simulated board's pattern
    bool RegionGiven = false;
    long Region[4] = {};     // --region: left, top, width, height in pixels
    std::string SaveSetup;   // --save-setup: DAT_CUSTOMDSDATA into this file at the end
    std::string LoadSetup;   // --load-setup: DAT_CUSTOMDSDATA from this file after the open
    std::string Manager = "TWAIN_32.DLL";  // or TWAINDSM.DLL, the 2.x manager
    // The board's set-up, negotiated before anything else (a video format
    // restarts the digitizer and resets the adjustments).
    std::string VideoFormat = "";  // CUSTCAP_VIDEOFORMAT (0x8002); empty: as it is
    long Channel = -1;             // CUSTCAP_CHANNEL (0x8001); -1: as it is
    bool HasBrightness = false;    // ICAP_BRIGHTNESS, -1000..1000
    long Brightness = 0;
    bool HasContrast = false;      // ICAP_CONTRAST, -1000..1000
    long Contrast = 0;
    bool Help = false;
};

void Usage(FILE* out);
// Fills `options` from the command line; a bad option is refused with a line naming it.
bool ParseOptions(int argc, char** argv, Options& options);
