// Part 1: the sample-stream conversion and the bitmap copy of a whole
// 768 x 576 frame, per buffer format, against memcpy of the frame's bytes.
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

// Seconds of one call of `work`, the mean over `n` calls.
template <typename Work>
double Time(int n, Work work)
{
    const double start = Now();
    for (int i = 0; i < n; ++i) {
        work();
    }
    return (Now() - start) / n;
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
        std::vector<uint8_t> bitmap(BitmapBytes(layout), 1);
        WriteBitmapHeader(bitmap.data(), layout);

        const int n = 10;
        std::vector<double> copyTimes, streamTimes, bitmapTimes, streamRatios, bitmapRatios;
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
                CopyPixelBlock(frame.data(), bitmap.data() + BitmapPixelOffset, layout);
                Sink = bitmap[bitmap.size() / 2];
            });
            copyTimes.push_back(tCopy);
            streamTimes.push_back(tStream);
            bitmapTimes.push_back(tBitmap);
            streamRatios.push_back(tStream / tCopy);
            bitmapRatios.push_back(tBitmap / tCopy);
        }
        // Stream: red first, one byte per band. Bitmap: blue first, as it lies.
        const bool streamAsIs = layout.BandCount == 1 || (!layout.FourBytePixels && !layout.BgrOrder);
        const bool bitmapAsIs = layout.BandCount == 1 || layout.BgrOrder;
        const double memcpyMs = Median(copyTimes) * 1000;
        PrintRow(Format("%s sample stream", c.Name), Format("%.2f x memcpy", Median(streamRatios)),
                 streamAsIs ? "<= 1.2 x (no reordering)" : "<= 1.5 x",
                 Format("%.3f ms vs %.3f ms (%lu bytes)", Median(streamTimes) * 1000, memcpyMs, static_cast<unsigned long>(frameBytes)));
        PrintRow(Format("%s bitmap copy", c.Name), Format("%.2f x memcpy", Median(bitmapRatios)),
                 bitmapAsIs ? "<= 1.2 x (no reordering)" : "<= 1.5 x",
                 Format("%.3f ms vs %.3f ms", Median(bitmapTimes) * 1000, memcpyMs));
    }
    return 0;
}
