#include "settings/source_settings.h"

SourceSettingsRecord SourceSettings = {};

uint32_t GetImageWidth()
{
    return SourceSettings.ImageWidth;
}

uint32_t GetImageHeight()
{
    return SourceSettings.ImageHeight;
}

uint32_t GetBandCount()
{
    return SourceSettings.BandCount;
}
