#include "grabber/capture.h"

#include "capability/negotiation.h"
#include "capability/region.h"
#include "grabber/mil_binding.h"
#include "grabber/startup.h"
#include "settings/source_settings.h"

FrameLayout CurrentFrameGeometry()
{
    FrameLayout layout;
    layout.Width = GetImageWidth();
    layout.Height = GetImageHeight();
    layout.BandCount = GetBandCount();
    layout.BitsPerBand = SourceSettings.BitsPerBand;
    layout.FourBytePixels = MilInfo.FourBytePixels != 0;
    layout.BgrOrder = MilInfo.BgrOrder != 0;
    layout.Color = SourceSettings.Color != 0;
    return layout;
}

FrameLayout CurrentFrameLayout()
{
    FrameLayout layout = CurrentFrameGeometry();
    // The image delivered is the pixel type negotiated, whatever the buffer holds.
    layout.Samples = PixelTypeSamples();
    const ImageRegion region = DeliveredRegion(NegotiatedRegion, layout.Width, layout.Height);
    layout.FrameWidth = layout.Width;
    layout.FrameHeight = layout.Height;
    layout.Left = region.Left;
    layout.Top = region.Top;
    layout.Width = region.Width;
    layout.Height = region.Height;
    return layout;
}
