#include "grabber/capture_schedule.h"

uint64_t ScheduledTimeUs(const CaptureSchedule& schedule, uint32_t image)
{
    return (static_cast<uint64_t>(schedule.FirstMs) + static_cast<uint64_t>(image) * schedule.BetweenMs) * 1000;
}

uint64_t ScheduledFrame(const CaptureSchedule& schedule, uint32_t image, uint32_t framePeriodUs)
{
    if (framePeriodUs == 0) {
        return 0;
    }
    return (ScheduledTimeUs(schedule, image) + framePeriodUs - 1) / framePeriodUs;
}

uint32_t HeldImages(const BatchCounts& batch)
{
    return batch.Captured - batch.Delivered;
}

uint32_t PendingImages(const BatchCounts& batch)
{
    return batch.Count - batch.Delivered - batch.Missed;
}

bool ScheduleDone(const BatchCounts& batch)
{
    return batch.Captured + batch.Missed >= batch.Count;
}

bool AdmitDueImage(BatchCounts& batch)
{
    if (ScheduleDone(batch)) {
        return false;
    }
    if (HeldImages(batch) >= batch.Capacity) {
        ++batch.Missed;
        return false;
    }
    ++batch.Captured;
    return true;
}

uint32_t NextCaptureSlot(const BatchCounts& batch)
{
    return batch.Capacity != 0 ? batch.Captured % batch.Capacity : 0;
}

uint32_t NextDeliverySlot(const BatchCounts& batch)
{
    return batch.Capacity != 0 ? batch.Delivered % batch.Capacity : 0;
}

void EndSchedule(BatchCounts& batch, bool keepHeld)
{
    batch.Count = batch.Captured + batch.Missed;
    if (!keepHeld) {
        batch.Delivered = batch.Captured;
    }
}
