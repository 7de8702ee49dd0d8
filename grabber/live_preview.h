// The live picture of the settings dialog: the image buffer shown in a window
// and the digitizer grabbing into it continuously. The board library draws
// every frame on a thread of its own; nothing here runs per frame.
#pragma once

#include <windows.h>

#include <cstdint>

#include "grabber/startup.h"

// 1 while MilImage is shown through MilDisplay.
extern uint32_t DisplaySelected;
// 0 until the continuous grab was started once, then 1 for good.
extern uint32_t LiveMode;
// LiveRunning, 1 from a start of the continuous grab until its stop, is the
// digitizer's (grabber/startup.h): freeing the digitizer halts the grab.

// request -1 asks, 0 detaches, 1 attaches to `window` (nullptr: the library's
// own window). Answers DisplaySelected after the call.
uint32_t MilSelectDisplay(int32_t request, HWND window);

// Non-zero starts the continuous grab into MilImage, 0 stops it. Answers 0.
uint32_t MilStartLive(uint32_t start);
