// Image files the acquisition tool writes: BMP from a native transfer's
// bitmap, TIFF from memory transfer rows. Pure byte work.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A BMP file: the file header followed by the packed bitmap as the source
// delivered it (header, colour table, rows).
std::vector<uint8_t> BmpFile(const uint8_t* packedBitmap, size_t size);

// An uncompressed baseline TIFF of `rows` (samplesPerPixel 1 grey or 3 RGB,
// 8 bits, rows top first without padding).
std::vector<uint8_t> TiffFile(uint32_t width, uint32_t height, uint32_t samplesPerPixel,
                              const std::vector<uint8_t>& rows);

bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);
