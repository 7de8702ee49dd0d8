// Averaged frames against a mean computed here the plain way, in doubles:
// noisy frames of every byte value, 1 to 64 of them, and every sum the
// 64 frames can reach.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "grabber/frame_average.h"

namespace {

TEST(FrameAverage, EachByteIsTheRoundedMeanOfItsFrames)
{
    // A colour frame's worth of bytes is not needed: 3 x 1000 bytes of
    // noise cover every byte value in every position class.
    constexpr size_t Bytes = 3000;
    uint32_t seed = 12345;
    auto noise = [&] {
        seed = seed * 1103515245u + 12345u;
        return static_cast<uint8_t>(seed >> 16);
    };
    for (uint32_t frames : {1u, 2u, 3u, 4u, 7u, 8u, 63u, 64u}) {
        SCOPED_TRACE(frames);
        std::vector<std::vector<uint8_t>> taken(frames, std::vector<uint8_t>(Bytes));
        std::vector<uint16_t> sums(Bytes, 1);
        ClearFrameSums(sums.data(), Bytes);
        for (auto& frame : taken) {
            for (uint8_t& byte : frame) {
                byte = noise();
            }
            AddFrame(sums.data(), frame.data(), Bytes);
        }
        std::vector<uint8_t> mean(Bytes);
        WriteFrameMean(mean.data(), sums.data(), Bytes, frames);
        int wrong = 0;
        for (size_t i = 0; i < Bytes; ++i) {
            double total = 0;
            for (const auto& frame : taken) {
                total += frame[i];
            }
            const auto expected = static_cast<uint8_t>(std::floor(total / frames + 0.5));
            wrong += mean[i] != expected;
        }
        EXPECT_EQ(wrong, 0);
    }
}

// Every sum each frame count can reach, halves rounded up: the reciprocal
// the mean multiplies by never lands a quotient off by one.
TEST(FrameAverage, EveryReachableSumRoundsHalvesUp)
{
    for (uint32_t frames = 1; frames <= MaxAveragedFrames; ++frames) {
        std::vector<uint16_t> sums(frames * 255 + 1);
        for (size_t s = 0; s < sums.size(); ++s) {
            sums[s] = static_cast<uint16_t>(s);
        }
        std::vector<uint8_t> mean(sums.size());
        WriteFrameMean(mean.data(), sums.data(), sums.size(), frames);
        int wrong = 0;
        for (size_t s = 0; s < sums.size(); ++s) {
            wrong += mean[s] != (s * 2 + frames) / (2 * frames);
        }
        EXPECT_EQ(wrong, 0) << frames << " frames";
    }
}

}  // namespace
