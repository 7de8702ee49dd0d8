// Bringing the frame grabber up and down, and the record of its library
// identifiers that every grabbing operation reads.
#pragma once

#include <cstdint>

#include "grabber/mil_binding.h"

struct MilInfoRecord {
    MilId MilApplication;  // MappAlloc
    MilId MilSystem;       // MsysAlloc; 0: not started, releases do nothing
    MilId MilDisplay;      // the live preview's display
    MilId MilDigitizer;    // the digitizer of the current video format
    MilId MilImage;        // the one image buffer of grabs, transfers and preview
    void* HostAddress;     // MilImage's pixel data, or nullptr
    // How a grabbed pixel is laid out, from the image buffer's format.
    uint8_t FourBytePixels;  // 4 bytes a pixel
    uint8_t BgrOrder;        // colour bytes blue first
};

// 1 from a start of the continuous grab (grabber/live_preview.h) until its
// stop or the digitizer's end.
extern uint32_t LiveRunning;
extern MilInfoRecord MilInfo;

// Loads the libraries, binds the entry points, allocates the application
// and the board's system, and checks the screen: 0, or 1 with everything it
// acquired released again.
uint16_t MilInitSystem();
// Starts the digitizer in `format` (a writable buffer of 256 bytes) with
// display, image buffer and board information: 0 or 1. A format the board
// refuses is replaced in `format` by "M_CCIR" (with the box telling the
// user so), or without `fallBack` answers 2 with nothing started and no box.
// 3: the digitizer runs, but memory to select the board's own pixel type or
// to store its depth was refused (the pixel type and depth stand as they were).
uint16_t MilInitDigitizer(char* format, bool fallBack = true);
void MilGetBoardInfo();
// What reads the image buffer across calls forgets it: a frame half
// delivered in strips, through the one function registered for it, the
// region set in its frame, and the live grab. Every path that starts or
// frees the digitizer (open, close, a format change) calls it, so nothing
// outlives the buffer it read.
void ForgetImageBufferUsers();
void OnImageBufferGone(void (*forget)());
void MilFreeDigitizer();
// Whether the board's library and digitizer answer (CAP_DEVICEONLINE): the
// digitizer is asked its width, with the library's own error boxes off.
bool MilBoardAnswers();
void MilFreeSystem();

// The free grab memory in kB, probed with 1 MB buffers halving down to 2 kB,
// at most 100 held.
uint32_t MeasureGrabMemoryKb();

// A buffer format (masked with 0x3F00): its name as the log line carries it
// (the four M_MONO names with a trailing blank) and the flags it sets.
struct BufferFormatInfo {
    uint32_t Code;
    const char* LogName;
    uint8_t FourBytePixels;
    uint8_t BgrOrder;
};
// nullptr for a format the source does not know.
const BufferFormatInfo* FindBufferFormat(uint32_t format);
