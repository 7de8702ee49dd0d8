// The region of interest an application negotiates with DAT_IMAGELAYOUT: a
// rectangle of whole pixels within the digitizer's frame, delivered by every
// transfer instead of the whole frame. Pure arithmetic, no platform calls.
#pragma once

#include <cstdint>

struct ImageRegion {
    uint32_t Left = 0;
    uint32_t Top = 0;
    uint32_t Width = 0;  // 0: no region, the whole frame
    uint32_t Height = 0;
};

// The region set for the session. Every start or release of the digitizer
// forgets it (a new format has another frame).
extern ImageRegion NegotiatedRegion;

enum class RegionFit {
    Taken,    // the frame asked for, exactly
    Changed,  // rounded to whole pixels or clipped to the frame
    Refused,  // empty, or entirely outside the frame
};

// A frame in pixels (left, top, right, bottom, fractions allowed) rounded to
// the nearest whole pixels and clipped to a frame of `frameWidth` x
// `frameHeight`; `region` is written only when the answer is not Refused.
RegionFit FitRegion(double left, double top, double right, double bottom, uint32_t frameWidth,
                    uint32_t frameHeight, ImageRegion& region);

// The part of a `frameWidth` x `frameHeight` frame delivered: the region set
// when it lies within that frame, else the whole frame.
ImageRegion DeliveredRegion(const ImageRegion& set, uint32_t frameWidth, uint32_t frameHeight);
