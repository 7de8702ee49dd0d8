// How a request and its answer change hands in the shared block without the
// Wine server. Each side counts what it posted (RequestCount, AnswerCount)
// and says when it sleeps on its event (HostSleeps, CallerSleeps); the other
// side signals that event only then. A side that expects something soon
// spins on the count for a bounded time, with a pause instruction, before it
// sleeps: a call answered within microseconds never enters the server, and
// a side with nothing to do costs no processor time.
//
// The flag and the count are each written with a full barrier and the other
// read after it (a store then a load on both sides): either the poster sees
// the flag and signals, or the sleeper sees the count and does not sleep. A
// signal that comes after the sleeper saw the count stays in its auto-reset
// event; a later wait wakes on it for nothing, so every wait checks the count
// again.
// Built for both sides.
#pragma once

#include <windows.h>

#include <cstdint>

inline uint32_t LoadShared(const volatile uint32_t& field)
{
    return __atomic_load_n(&field, __ATOMIC_SEQ_CST);
}

inline void StoreShared(volatile uint32_t& field, uint32_t value)
{
    __atomic_store_n(&field, value, __ATOMIC_SEQ_CST);
}

// Sets `field` to `to` if it holds `from`; whether it did.
inline bool SwapShared(volatile uint32_t& field, uint32_t from, uint32_t to)
{
    return __atomic_compare_exchange_n(&field, &from, to, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
}

inline void SpinPause()
{
    __builtin_ia32_pause();
}

// How long each side spins before it sleeps on its event, in microseconds.
// The caller waits for an answer (most calls take a few microseconds in the
// source, a strip a few tens); the host waits for the next call of a burst
// (an application's strips, its capability questions).
constexpr uint32_t CallerSpinMicroseconds = 200;
constexpr uint32_t HostSpinMicroseconds = 200;
// A call that outlasts the spin (a transfer converts a frame, a millisecond
// or so) is waited for a while longer giving the processor away between
// two looks: on an idle machine that costs a system call a look and wakes
// at once, on a busy one the host and everybody else get the processor.
constexpr uint32_t CallerYieldMicroseconds = 3000;

// Spins until `ready()` or `microseconds` have passed; whether it was ready.
// The clock is read every few pauses: reading it costs more than a pause.
template <typename Ready>
bool SpinUntil(Ready ready, uint32_t microseconds, bool yield = false)
{
    LARGE_INTEGER frequency;
    LARGE_INTEGER start;
    LARGE_INTEGER now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    const int64_t limit = frequency.QuadPart * microseconds / 1000000;
    for (;;) {
        for (int i = 0; i < 16; ++i) {
            if (ready()) {
                return true;
            }
            if (yield) {
                SwitchToThread();
            } else {
                SpinPause();
            }
        }
        QueryPerformanceCounter(&now);
        if (now.QuadPart - start.QuadPart >= limit) {
            return ready();
        }
    }
}
