// Built with SSSE3 enabled (see CMakeLists.txt); only called after the
// processor was asked whether it has it.
#include "transfer/pixels_simd.h"

#include <tmmintrin.h>

#if defined(_MSC_VER)
#include <intrin.h>
#else
#include <cpuid.h>
#endif

namespace {

bool AskProcessor()
{
    unsigned int ecx = 0;
#if defined(_MSC_VER)
    int registers[4] = {};
    __cpuid(registers, 1);
    ecx = static_cast<unsigned int>(registers[2]);
#else
    unsigned int eax = 0, ebx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) {
        return false;
    }
#endif
    return (ecx & (1u << 9)) != 0;  // SSSE3
}

__m128i Load(const uint8_t* at)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

void Store(uint8_t* at, __m128i value)
{
    _mm_storeu_si128(reinterpret_cast<__m128i*>(at), value);
}

}  // namespace

bool HaveByteShuffles()
{
    static const bool have = AskProcessor();
    return have;
}

size_t ShuffleFourToThree(const uint8_t* source, uint8_t* destination, size_t pixels, bool blueFirst)
{
    if (!HaveByteShuffles()) {
        return 0;
    }
    const __m128i order = blueFirst ? _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1)
                                    : _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    // Four pixels give 12 bytes but the store writes 16: stop while at
    // least two pixels (6 bytes) are left for the tail to overwrite.
    size_t i = 0;
    for (; i + 6 <= pixels; i += 4) {
        Store(destination + 3 * i, _mm_shuffle_epi8(Load(source + 4 * i), order));
    }
    return i;
}

namespace {

// Sixteen 3-byte pixels are 48 bytes: three vectors in, three out. Output
// byte j takes input byte s(j) (red and blue exchanged within its pixel),
// which may lie in a neighbouring vector; Masks[o][v] picks, for output
// vector o, the bytes that come from input vector v (-1: none).
struct SwapThreeMasks {
    __m128i Masks[3][3];
    SwapThreeMasks()
    {
        for (int o = 0; o < 3; ++o) {
            for (int v = 0; v < 3; ++v) {
                alignas(16) signed char lanes[16];
                for (int lane = 0; lane < 16; ++lane) {
                    const int j = 16 * o + lane;
                    const int s = 3 * (j / 3) + 2 - j % 3;
                    lanes[lane] = static_cast<signed char>(s / 16 == v ? s % 16 : -1);
                }
                Masks[o][v] = _mm_load_si128(reinterpret_cast<const __m128i*>(lanes));
            }
        }
    }
};

}  // namespace

size_t ShuffleSwapThree(const uint8_t* source, uint8_t* destination, size_t pixels)
{
    if (!HaveByteShuffles()) {
        return 0;
    }
    static const SwapThreeMasks swap;
    const auto& m = swap.Masks;
    size_t i = 0;
    for (; i + 16 <= pixels; i += 16) {
        const __m128i a = Load(source + 3 * i);
        const __m128i b = Load(source + 3 * i + 16);
        const __m128i c = Load(source + 3 * i + 32);
        Store(destination + 3 * i, _mm_or_si128(_mm_shuffle_epi8(a, m[0][0]), _mm_shuffle_epi8(b, m[0][1])));
        Store(destination + 3 * i + 16,
              _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(a, m[1][0]), _mm_shuffle_epi8(b, m[1][1])),
                           _mm_shuffle_epi8(c, m[1][2])));
        Store(destination + 3 * i + 32, _mm_or_si128(_mm_shuffle_epi8(b, m[2][1]), _mm_shuffle_epi8(c, m[2][2])));
    }
    return i;
}

size_t ShuffleSwapFour(const uint8_t* source, uint8_t* destination, size_t pixels)
{
    if (!HaveByteShuffles()) {
        return 0;
    }
    const __m128i order = _mm_setr_epi8(2, 1, 0, 3, 6, 5, 4, 7, 10, 9, 8, 11, 14, 13, 12, 15);
    size_t i = 0;
    for (; i + 4 <= pixels; i += 4) {
        Store(destination + 4 * i, _mm_shuffle_epi8(Load(source + 4 * i), order));
    }
    return i;
}
