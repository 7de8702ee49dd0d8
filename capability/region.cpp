#include "capability/region.h"

#include <cmath>

ImageRegion NegotiatedRegion;

RegionFit FitRegion(double left, double top, double right, double bottom, uint32_t frameWidth,
                    uint32_t frameHeight, ImageRegion& region)
{
    const double edges[4] = {left, top, right, bottom};
    double whole[4];
    bool changed = false;
    for (int i = 0; i < 4; ++i) {
        whole[i] = std::floor(edges[i] + 0.5);
        changed = changed || whole[i] != edges[i];
    }
    if (whole[2] <= whole[0] || whole[3] <= whole[1]) {
        return RegionFit::Refused;
    }
    const double limits[4] = {0, 0, static_cast<double>(frameWidth), static_cast<double>(frameHeight)};
    for (int i = 0; i < 4; ++i) {
        const double clipped = i < 2 ? std::fmax(whole[i], limits[i]) : std::fmin(whole[i], limits[i]);
        changed = changed || clipped != whole[i];
        whole[i] = clipped;
    }
    if (whole[2] <= whole[0] || whole[3] <= whole[1]) {
        return RegionFit::Refused;
    }
    region.Left = static_cast<uint32_t>(whole[0]);
    region.Top = static_cast<uint32_t>(whole[1]);
    region.Width = static_cast<uint32_t>(whole[2] - whole[0]);
    region.Height = static_cast<uint32_t>(whole[3] - whole[1]);
    return changed ? RegionFit::Changed : RegionFit::Taken;
}

ImageRegion DeliveredRegion(const ImageRegion& set, uint32_t frameWidth, uint32_t frameHeight)
{
    if (set.Width == 0 || set.Height == 0 || set.Left >= frameWidth || set.Top >= frameHeight ||
        set.Width > frameWidth - set.Left || set.Height > frameHeight - set.Top) {
        return {0, 0, frameWidth, frameHeight};
    }
    return set;
}
