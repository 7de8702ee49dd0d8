// Image files the acquisition tool writes: BMP from a native transfer's
// bitmap, TIFF from memory transfer rows. Pure byte work.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A BMP file: the file header followed by the packed bitmap as the source
// delivered it (header, colour table, rows).
std::vector<uint8_t> BmpFile(const uint8_t* packedBitmap, size_t size);

// A packed bottom-up bitmap of `rows` (as for TiffFile): 8-bit grey with a
// grey table, or 24-bit blue first; rows padded to 4 bytes.
std::vector<uint8_t> BitmapFromRows(uint32_t width, uint32_t height, uint32_t samplesPerPixel,
                                    const std::vector<uint8_t>& rows);

// An uncompressed baseline TIFF of `rows` (samplesPerPixel 1 grey or 3 RGB,
// 8 bits, rows top first without padding).
std::vector<uint8_t> TiffFile(uint32_t width, uint32_t height, uint32_t samplesPerPixel,
                              const std::vector<uint8_t>& rows);

bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);
// The whole file into `bytes`: false, with `bytes` empty, when it cannot be opened.
bool ReadFileBytes(const std::string& path, std::vector<uint8_t>& bytes);
