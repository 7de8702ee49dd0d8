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

size_t ShuffleSwapThree(const uint8_t* source, uint8_t* destination, size_t pixels)
{
    if (!HaveByteShuffles()) {
        return 0;
    }
    // Five pixels in 15 bytes a step; the sixteenth byte stored belongs to
    // the next pixel, which the next step or the tail writes again, so one
    // more pixel must follow.
    const __m128i order = _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 14, 13, 12, 15);
    size_t i = 0;
    for (; i + 6 <= pixels; i += 5) {
        Store(destination + 3 * i, _mm_shuffle_epi8(Load(source + 3 * i), order));
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
