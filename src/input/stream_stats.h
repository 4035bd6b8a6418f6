// The stream's counters: what the source's bytes hold, read in both forms at once
// (binary escape frames and text lines), whatever the mode in use, so that a
// stream in the other form can be told from a wrong mode setting. The receiver's
// timestamps go to the clock estimator here too.
//
// Threads: countSourceBytes runs on the source's reader (one source at a time)
// and owns the scanner's state; its results are atomics in app.stats and
// app.checks for the others to read.
#pragma once

#include <cstdint>

// Counts one block of the source's bytes, arrived at monotonicMs nowMs. O(1) a
// byte; never waits.
void countSourceBytes(int source, const unsigned char* block, int count, std::int64_t nowMs);
// A new stream (connection, port): the frame and line being scanned are
// forgotten; the clock's measurement goes on. The source's reader.
void restartStreamCounters();
