#include "grabber/capture.h"

#include "capability/negotiation.h"
#include "grabber/mil_binding.h"
#include "grabber/startup.h"
#include "settings/source_settings.h"

void MilGrabFrame()
{
    Mil.MdigGrab(MilInfo.MilDigitizer, MilInfo.MilImage);
}

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
    return layout;
}
