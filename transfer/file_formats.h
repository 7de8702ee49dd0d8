// The byte work around the files the encoders write (transfer/image_codecs.h)
// that the encoders do not do: the samples in the order they take, the
// quality a JPEG is asked for, the size a BMP says it has, the joining of
// single-page TIFFs into a multi-page one, and the resolution of a TIFF the
// imaging library saved itself. Pure byte work.
#pragma once

#include <cstddef>
#include <cstdint>

// Red and blue of `pixels` 3-byte pixels exchanged in place: the sample
// stream's red-first pixels become the encoders' blue-first ones.
void SwapRedAndBlue(uint8_t* samples, size_t pixels);

// TWAIN's named JPEG levels (ICAP_JPEGQUALITY, besides 0 to 100) and the
// quality in percent each stands for.
constexpr int16_t TwainJpegLow = -3, TwainJpegMedium = -2, TwainJpegHigh = -1;
constexpr int16_t DefaultJpegQuality = 75;
int JpegQualityPercent(int16_t quality);

// A BMP file's header says the file's size at offset 2: some encoders
// leave the colour table out of it, and readers that check it refuse the
// file. Sets it in the `header` (at least 6 bytes) to `fileSize`; false when
// it said so already.
bool SetBmpFileSize(uint8_t* header, uint32_t fileSize);

// A multi-page TIFF is built a page at a time from single-page files: the
// first page is written as it is, each later one is moved to the end of the
// file and linked from the directory before it, so the file on disk is a
// whole multi-page TIFF after every page.
//
// Where the first directory of a little-endian TIFF lies (`directory`) and
// where its link to the next directory is (`link`); false when the file has
// no whole first directory.
bool TiffFirstDirectory(const uint8_t* file, size_t size, uint32_t& directory, uint32_t& link);
// Prepares a single-page TIFF for being written `shift` bytes further into
// a file than its own offsets say: every offset of its first directory (the
// values that lie outside it, the strip and tile offsets) grows by `shift`.
// False, with the file unchanged, when it has a pointer to other
// directories, a value outside the file or offsets that would overflow.
bool ShiftTiffPage(uint8_t* file, size_t size, uint32_t shift);

// Sets the resolution of a little-endian TIFF another writer made (the
// imaging library's save) to the image's, in inches: the XResolution and
// YResolution rationals of its first directory and its ResolutionUnit.
// Answers how many bytes from the file's start hold every change (what must
// be written back); 0, with nothing changed, when the file has no such
// rationals.
size_t SetTiffResolution(uint8_t* file, size_t size);

// Gives a little-endian TIFF its capture time as the DateTime tag
// ("YYYY:MM:DD HH:MM:SS", `text` of 19 characters): a new first directory,
// the old one's entries with DateTime in tag order and the old one's link,
// is appended with the text after it, and the header points at it (the old
// directory stays behind unread). Writes what goes at the file's end into
// `tail` and answers its size, with `directory` the new directory's offset
// for the header's bytes 4 to 7; with `tail` null, only the size. 0 when
// the first directory cannot be read, already says a DateTime, or the file
// would outgrow 4 GB, or `room` is short.
size_t TiffDateTimeTail(const uint8_t* file, size_t size, const char* text, uint8_t* tail, size_t room,
                        uint32_t& directory);
