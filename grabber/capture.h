// The frame in the image buffer and how it lies there.
#pragma once

#include "grabber/frame_layout.h"

// How the frame of the current digitizer lies in memory, and the image the
// transfers deliver of it (the pixel type negotiated).
FrameLayout CurrentFrameLayout();
// The same without the delivered image: the buffer's geometry alone.
FrameLayout CurrentFrameGeometry();
