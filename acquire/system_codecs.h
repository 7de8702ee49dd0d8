// Reading PNG and JPEG files as many Windows applications do: through the
// system's imaging decoders (the Windows Imaging Component), whichever
// wrote them.
#pragma once

#include <string>

#include "acquire/image_check.h"

// The first frame of the file at `path` as 8-bit grey (a grey file) or
// red-green-blue samples (any other). False, with `error` saying why, when
// it cannot be read.
bool DecodeWithSystemCodecs(const std::string& path, DecodedImage& image, std::string& error);
