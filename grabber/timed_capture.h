// Frames on the source's own clock: automatic capture grabs the images of a
// schedule on a thread of its own into held buffers, which the transfers
// then take in order at the application's pace; every grab (scheduled or
// not) may average consecutive frames; and each image carries the video
// frame and the moment it was captured.
#pragma once

#include <windows.h>

#include <cstdint>

#include "grabber/capture_schedule.h"

// When an image was captured: the video frame it came from, counted from
// the enabling's first grab (frame 0) at one per frame period, the
// milliseconds since the enable, and the time of day (UTC). For an average,
// those of its first frame.
struct FrameStamp {
    uint64_t FrameNumber = 0;
    uint32_t MsSinceEnable = 0;
    FILETIME Time = {};
};

// The image the last transfer took.
extern FrameStamp DeliveredStamp;

// A new enabling: its frame clock starts again at its first grab.
void StartFrameClock();

// What automatic capture is asked to do.
struct TimedCapturePlan {
    CaptureSchedule Schedule;
    uint32_t Buffers = 1;   // frames that may be held at once
    uint32_t Average = 1;   // frames averaged per image
    bool ClearHeld = true;  // frames kept by the last enabling are dropped
};

// The plan the capabilities negotiated; false when automatic capture is off.
bool NegotiatedCapturePlan(TimedCapturePlan& plan);

// Starts the schedule from the enabling thread; the first image held is
// announced by NotifyXferReady from that thread's message loop. Frames a
// previous schedule left held (and not cleared) come first. 0, or 1 when
// memory for the buffers or the thread was refused (nothing started).
uint16_t StartTimedCapture(const TimedCapturePlan& plan);
// Ends the schedule and waits for its thread; held frames stay for the next
// enabling when `keepHeld`, else they are dropped with their buffers.
void StopTimedCapture(bool keepHeld);
// A schedule started and not stopped: the transfers take its frames.
bool TimedCaptureRunning();
// DAT_PENDINGXFERS while it runs: held images and images still to come.
uint32_t TimedPendingImages();

// The next image for a transfer in the image buffer: the next held image
// of a running schedule (waiting for it while it is to come), else a grab
// of the configured number of frames. 0; 1 when memory for the average was
// refused; 2 when the schedule has no image left to give.
uint16_t TakeNextImage();
