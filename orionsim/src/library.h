// What the entry point files share with one another; *Locked functions expect the lock held.
#pragma once

#include <atomic>
#include <string>

#include "state.h"

namespace orionsim {

// library.cpp: MappAlloc and MappControl switch the error boxes on and off.
extern std::atomic<bool> g_reportErrors;
std::string Upper(const char* s);

// Band selectors of the reference items; 0 or all-bands selects every band.
constexpr unsigned long kBandSelectors[3] = {0x20000000u, 0x40000000u, 0x80000000u};

// digitizer.cpp
void HaltLocked(Digitizer& d, Pending& pending);
void FreeDigitizerLocked(long id, Pending& pending);

// buffers.cpp
void FreeBufferLocked(long id, Pending& pending);

}  // namespace orionsim
