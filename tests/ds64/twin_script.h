// Sequences of triplets run through a source and written down as a
// transcript: each call's return code and what the application's structure
// holds afterwards (the fields that do not hold a handle or pointer, a
// container's or image's bytes instead), then the source's log. Built into
// the 64-bit test program and into a 32-bit program that runs Twain_32.ds
// directly, so that the two transcripts of one sequence can be compared.
#pragma once

#include <string>

class DsModule;

// How many sequences there are, and the name of each.
int TwinSequenceCount();
const char* TwinSequenceName(int index);
// Whether it runs with the trace on; the caller sets "Dump" before loading
// the source for it.
bool TwinSequenceTraced(int index);

// The line a transcript holds after a step that did not answer what the
// script expects of it, followed by the expected answer.
constexpr const char* TwinExpectationMissed = "not as expected, should end: ";

// Runs sequence `index` through `ds` (freshly loaded, "Dump" 42) and answers
// its transcript, the log at `logPath` included (deleted first).
std::string RunTwinSequence(DsModule& ds, int index, const std::string& logPath);
