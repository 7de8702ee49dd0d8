// Automatic capture as numbers: when each image of a schedule is due, which
// video frame it comes from, and the held frames as a ring of buffers with
// the counts DAT_PENDINGXFERS answers from. Pure arithmetic, no platform
// calls, so the clock thread and the transfers agree on one reading of it and
// it can be checked exhaustively.
#pragma once

#include <cstdint>

// What the application negotiated: images to capture, milliseconds before
// the first and between two.
struct CaptureSchedule {
    uint32_t Count = 0;
    uint32_t FirstMs = 0;
    uint32_t BetweenMs = 0;
};

// Microseconds after the enable at which image `image` (from 0) is due.
uint64_t ScheduledTimeUs(const CaptureSchedule& schedule, uint32_t image);
// The video frame (the enable's is 0) image `image` is captured from: the
// first that starts at or after its time.
uint64_t ScheduledFrame(const CaptureSchedule& schedule, uint32_t image, uint32_t framePeriodUs);

// The frames held between capture and transfer. Images are captured and
// delivered in order, so the ring's slots follow from the counts alone:
// the next capture goes to slot Captured % Capacity, the next transfer comes
// from Delivered % Capacity.
struct BatchCounts {
    uint32_t Count = 0;      // images the schedule captures
    uint32_t Capacity = 0;   // buffers
    uint32_t Captured = 0;
    uint32_t Delivered = 0;  // handed over, or cleared unread
    uint32_t Missed = 0;     // due while every buffer was full
};

uint32_t HeldImages(const BatchCounts& batch);
// DAT_PENDINGXFERS: captured and still held, and still to come. A missed
// image is no longer counted.
uint32_t PendingImages(const BatchCounts& batch);
// Every image of the schedule captured or missed: the clock has no more work.
bool ScheduleDone(const BatchCounts& batch);
// An image is due: true when a buffer takes it (its slot is NextCaptureSlot
// before the call), false when every buffer is full and it is counted missed.
bool AdmitDueImage(BatchCounts& batch);
uint32_t NextCaptureSlot(const BatchCounts& batch);
uint32_t NextDeliverySlot(const BatchCounts& batch);
// The schedule stops (the source is disabled): nothing more is to come, and
// the held images are cleared unless `keepHeld`.
void EndSchedule(BatchCounts& batch, bool keepHeld);
