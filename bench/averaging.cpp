// What averaged frames add per frame: the sums of every frame and the mean
// of the last, over a whole buffer of the board (grey, and colour at four
// bytes a pixel), against the 40 ms frame period the grabs take anyway.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "bench/common.h"
#include "grabber/frame_average.h"

int RunAveraging(int rounds)
{
    PrintSection("9. Averaged frames: the work added per frame, against the 40 ms frame period");
    for (const uint32_t pixelBytes : {1u, 4u}) {
        const size_t bytes = 768u * 576u * pixelBytes;
        std::vector<uint8_t> frame(bytes);
        for (size_t i = 0; i < bytes; ++i) {
            frame[i] = static_cast<uint8_t>(i * 7 + i / 768);
        }
        std::vector<uint16_t> sums(bytes);
        for (const uint32_t frames : {1u, 8u, 64u}) {
            // One frame is grabbed as it is: no sums, nothing added.
            std::vector<double> perFrame;
            for (int round = 0; frames > 1 && round < std::max(rounds / 4, 3); ++round) {
                const double start = Now();
                ClearFrameSums(sums.data(), bytes);
                for (uint32_t f = 0; f < frames; ++f) {
                    AddFrame(sums.data(), frame.data(), bytes);
                }
                WriteFrameMean(frame.data(), sums.data(), bytes, frames);
                perFrame.push_back((Now() - start) / frames);
            }
            const double median = perFrame.empty() ? 0.0 : Median(perFrame);
            PrintRow(Format("%u frames averaged, %s", frames, pixelBytes == 1 ? "grey" : "colour (4 bytes a pixel)"),
                     Format("%.1f %% of a frame period a frame", median / 0.040 * 100),
                     frames == 64 && pixelBytes == 4 ? "<= 10 %" : "(none)", Format("%.2f ms a frame", median * 1000));
        }
    }
    return 0;
}
