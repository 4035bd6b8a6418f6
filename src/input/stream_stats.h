// The stream's counters: what the source's bytes hold, read in both forms at once
// (binary escape frames and text lines, as the frame parser finds them), whatever
// the mode in use, so that a stream in the other form can be told from a wrong
// mode setting. The receiver's timestamps go to the clock estimator here too.
//
// Threads: the source's reader (one source at a time) calls them through the
// frame parser and owns the clock estimator; the results are atomics in
// app.stats and app.checks for the others to read.
#pragma once

#include <cstdint>

// A text line as the parser ends it: its kept part (at most a RecordLine's worth,
// no NUL in it, zero-terminated) and what the whole line was.
struct StreamLine {
    const char* text;
    int length;     // every byte of the line, kept or not
    int kept;       // 1: text holds the whole line
    int printable;  // every byte printable ASCII
};

// One whole binary frame (unescaped, with its escape and type byte), one text
// line, and the block they came in: its size and the bytes in no binary frame.
// The frame parser, on the source's reader; O(1) each, never waits.
void countStreamFrame(int source, const unsigned char* frame, std::int64_t nowMs);
void countStreamLine(int source, const StreamLine& line, int binary, std::int64_t nowMs);
void countStreamBlock(int source, int count, std::uint64_t stray, int binary, std::int64_t nowMs);

// Counts one block of the source's bytes, arrived at monotonicMs nowMs, as a
// stream nobody decodes: the parser's scan with nothing handed on. Tests, and any
// caller on the source's reader.
void countSourceBytes(int source, const unsigned char* block, int count, std::int64_t nowMs);
