// Grabbing one frame into the image buffer.
#pragma once

// One frame, complete in MilInfo.MilImage when this returns.
void MilGrabFrame();
