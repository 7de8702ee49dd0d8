// Benchmark 1: the sample-stream conversion and the bitmap copy of a whole
// 768 x 576 frame, per buffer format, against memcpy of the frame's bytes.
#include <tmmintrin.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "bench/common.h"
#include "grabber/startup.h"
#include "transfer/pixels.h"

namespace {

struct Case {
    const char* Name;
    uint32_t Code;  // 0: one band
};

const Case Cases[] = {
    {"M_MONO8", 0x0200}, {"M_BGR32", 0x1100}, {"M_RGB32", 0x0900}, {"M_XRGB32", 0x0A00},
    {"M_XBGR32", 0x1200}, {"M_RGB24", 0x0800}, {"M_BGR24", 0x1000},
};

volatile uint8_t Sink;

// Seconds of one call of `work`, the mean over `n` calls after one call
// that brings the buffers into the cache.
template <typename Work>
double Time(int n, Work work)
{
    work();
    const double start = Now();
    for (int i = 0; i < n; ++i) {
        work();
    }
    return (Now() - start) / n;
}

// For comparison only (the source does not use it): the blue-first 4-byte
// pixels to the red-first sample stream, four pixels a step in 32-bit words.
void Bgr32ToStreamWords(const uint8_t* frame, uint8_t* destination, size_t pixels)
{
    auto rgb = [](uint32_t p) { return ((p >> 16) & 0xFFu) | (p & 0xFF00u) | ((p & 0xFFu) << 16); };
    size_t i = 0;
    for (; i + 4 <= pixels; i += 4) {
        uint32_t p[4];
        std::memcpy(p, frame + 4 * i, sizeof p);
        const uint32_t c0 = rgb(p[0]), c1 = rgb(p[1]), c2 = rgb(p[2]), c3 = rgb(p[3]);
        const uint32_t out[3] = {c0 | (c1 << 24), (c1 >> 8) | (c2 << 16), (c2 >> 16) | (c3 << 8)};
        std::memcpy(destination + 3 * i, out, sizeof out);
    }
    const uint8_t* in = frame + 4 * i;
    uint8_t* out = destination + 3 * i;
    for (; i < pixels; ++i, in += 4, out += 3) {
        out[0] = in[2];
        out[1] = in[1];
        out[2] = in[0];
    }
}

// The same with SSSE3 byte shuffles, 4 pixels a shuffle (for comparison;
// the build targets processors without SSE, so it would need a run-time check).
__attribute__((target("ssse3"))) void Bgr32ToStreamShuffle(const uint8_t* frame, uint8_t* destination,
                                                              size_t pixels)
{
    const __m128i order = _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
    size_t i = 0;
    for (; i + 6 <= pixels; i += 4) {
        const __m128i in = _mm_loadu_si128(reinterpret_cast<const __m128i*>(frame + 4 * i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(destination + 3 * i), _mm_shuffle_epi8(in, order));
    }
    const uint8_t* in = frame + 4 * i;
    uint8_t* out = destination + 3 * i;
    for (; i < pixels; ++i, in += 4, out += 3) {
        out[0] = in[2];
        out[1] = in[1];
        out[2] = in[0];
    }
}

}  // namespace

int RunConversion(int rounds)
{
    PrintSection("1. Conversion of a 768 x 576 frame against memcpy of its bytes");
    for (const Case& c : Cases) {
        FrameLayout layout;
        layout.Width = 768;
        layout.Height = 576;
        if (c.Code == 0x0200) {
            layout.BandCount = 1;
        } else {
            const BufferFormatInfo* info = FindBufferFormat(c.Code);
            if (info == nullptr) {
                std::fprintf(stderr, "ds_bench: the source does not know %s\n", c.Name);
                return 1;
            }
            layout.BandCount = 3;
            layout.Color = true;
            layout.FourBytePixels = info->FourBytePixels != 0;
            layout.BgrOrder = info->BgrOrder != 0;
        }
        const size_t frameBytes = FrameBytes(layout);
        const size_t streamBytes = StreamRowBytes(layout) * layout.Height;
        std::vector<uint8_t> frame(frameBytes);
        for (size_t i = 0; i < frameBytes; ++i) {
            frame[i] = static_cast<uint8_t>(i * 7 + (i >> 11));
        }
        std::vector<uint8_t> copy(frameBytes, 1);
        std::vector<uint8_t> stream(streamBytes, 1);
        std::vector<uint8_t> bitmap(BitmapBytes(layout, BitmapStyle::Standard), 1);

        const int n = 10;
        std::vector<double> copyTimes, streamTimes, bitmapTimes, rowTimes, streamRatios, bitmapRatios, rowRatios;
        // What any bottom-up bitmap costs at least: its rows copied one by
        // one in reverse order, nothing converted.
        const size_t frameRow = FrameRowBytes(layout);
        std::vector<uint8_t> rows(frameBytes, 1);
        for (int round = 0; round < rounds; ++round) {
            const double tCopy = Time(n, [&] {
                std::memcpy(copy.data(), frame.data(), frameBytes);
                Sink = copy[frameBytes / 2];
            });
            const double tStream = Time(n, [&] {
                ConvertSampleStream(frame.data(), 0, stream.data(), streamBytes, layout);
                Sink = stream[streamBytes / 2];
            });
            const double tBitmap = Time(n, [&] {
                WriteBitmap(frame.data(), bitmap.data(), layout, BitmapStyle::Standard);
                Sink = bitmap[bitmap.size() / 2];
            });
            const double tRows = Time(n, [&] {
                for (uint32_t y = 0; y < layout.Height; ++y) {
                    std::memcpy(rows.data() + (layout.Height - 1 - y) * frameRow, frame.data() + y * frameRow,
                                frameRow);
                }
                Sink = rows[frameBytes / 2];
            });
            rowTimes.push_back(tRows);
            rowRatios.push_back(tRows / tCopy);
            copyTimes.push_back(tCopy);
            streamTimes.push_back(tStream);
            bitmapTimes.push_back(tBitmap);
            streamRatios.push_back(tStream / tCopy);
            bitmapRatios.push_back(tBitmap / tCopy);
        }
        // Stream: red first, one byte per band. Bitmap: blue first, three bytes.
        const bool streamAsIs = layout.BandCount == 1 || (!layout.FourBytePixels && !layout.BgrOrder);
        const bool bitmapAsIs = layout.BandCount == 1 || (layout.BgrOrder && !layout.FourBytePixels);
        const double memcpyMs = Median(copyTimes) * 1000;
        PrintRow(Format("%s sample stream", c.Name), Format("%.2f x memcpy", Median(streamRatios)),
                 streamAsIs ? "<= 1.2 x (no reordering)" : "<= 1.5 x",
                 Format("%.3f ms vs %.3f ms (%lu bytes)", Median(streamTimes) * 1000, memcpyMs, static_cast<unsigned long>(frameBytes)));
        PrintRow(Format("%s bitmap copy", c.Name), Format("%.2f x memcpy", Median(bitmapRatios)),
                 bitmapAsIs ? "<= 1.2 x (no reordering)" : "<= 1.5 x",
                 Format("%.3f ms vs %.3f ms; the frame's rows copied one by one, bottom-up, %.2f x memcpy (%.3f ms)",
                        Median(bitmapTimes) * 1000, memcpyMs, Median(rowRatios), Median(rowTimes) * 1000));
    }

    {
        // What a word-wise conversion would take, against the source's.
        FrameLayout layout;
        layout.Width = 768;
        layout.Height = 576;
        layout.BandCount = 3;
        layout.Color = true;
        layout.FourBytePixels = true;
        layout.BgrOrder = true;
        const size_t pixels = size_t{768} * 576;
        std::vector<uint8_t> frame(pixels * 4), copy(pixels * 4), stream(pixels * 3), words(pixels * 3);
        for (size_t i = 0; i < frame.size(); ++i) {
            frame[i] = static_cast<uint8_t>(i * 7 + (i >> 11));
        }
        ConvertSampleStream(frame.data(), 0, stream.data(), stream.size(), layout);
        Bgr32ToStreamWords(frame.data(), words.data(), pixels);
        if (stream != words) {
            std::fprintf(stderr, "ds_bench: the word-wise conversion differs from the source's\n");
            return 1;
        }
        const bool ssse3 = __builtin_cpu_supports("ssse3");
        std::vector<uint8_t> shuffled(pixels * 3);
        if (ssse3) {
            Bgr32ToStreamShuffle(frame.data(), shuffled.data(), pixels);
            if (stream != shuffled) {
                std::fprintf(stderr, "ds_bench: the shuffling conversion differs from the source's\n");
                return 1;
            }
        }
        std::vector<double> times, shuffles, copies, ratios, shuffleRatios;
        for (int round = 0; round < rounds; ++round) {
            const double tCopy = Time(10, [&] {
                std::memcpy(copy.data(), frame.data(), copy.size());
                Sink = copy[copy.size() / 2];
            });
            const double tWords = Time(10, [&] {
                Bgr32ToStreamWords(frame.data(), words.data(), pixels);
                Sink = words[words.size() / 2];
            });
            times.push_back(tWords);
            copies.push_back(tCopy);
            ratios.push_back(tWords / tCopy);
            if (ssse3) {
                const double tShuffle = Time(10, [&] {
                    Bgr32ToStreamShuffle(frame.data(), shuffled.data(), pixels);
                    Sink = shuffled[shuffled.size() / 2];
                });
                shuffles.push_back(tShuffle);
                shuffleRatios.push_back(tShuffle / tCopy);
            }
        }
        PrintRow("reference: M_BGR32 sample stream, 4 pixels a step in 32-bit words (the benchmark's own loop, for comparison)",
                 Format("%.2f x memcpy", Median(ratios)), "<= 1.5 x",
                 Format("%.3f ms vs %.3f ms, same bytes as the source's", Median(times) * 1000,
                        Median(copies) * 1000));
        if (ssse3) {
            PrintRow("reference: M_BGR32 sample stream, SSSE3 shuffles (the benchmark's own loop, for comparison)",
                     Format("%.2f x memcpy", Median(shuffleRatios)), "<= 1.5 x",
                     Format("%.3f ms vs %.3f ms, same bytes as the source's", Median(shuffles) * 1000,
                            Median(copies) * 1000));
        }
    }
    return 0;
}
