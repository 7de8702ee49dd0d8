// Grabbing one frame into the image buffer.
#pragma once

#include "grabber/frame_layout.h"

// One frame, complete in MilInfo.MilImage when this returns.
void MilGrabFrame();

// How the frame of the current digitizer lies in memory, and the image the
// transfers deliver of it (the pixel type negotiated).
FrameLayout CurrentFrameLayout();
// The same without the delivered image: the buffer's geometry alone.
FrameLayout CurrentFrameGeometry();
