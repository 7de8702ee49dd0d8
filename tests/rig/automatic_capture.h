// The table of automatic capture (schedules, averaged frames, buffers full,
// held images kept or cleared), run by each source's test program through
// the calls it makes to its source.
#pragma once

#include <windows.h>

#include <functional>

#include "twain/twain_types.h"

struct CaptureApplication {
    std::function<TW_UINT16(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, void* data)> Call;
    std::function<bool()> Open;  // MSG_OPENDS succeeded
    std::function<void()> Close;
    // The notices the manager has passed on to the application so far.
    std::function<int()> Notices;
};

void RunAutomaticCaptureTable(const CaptureApplication& app);
