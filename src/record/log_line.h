// The exchange log's line format: "%02X %X" and CR LF, one received byte per line
// with the tick at which it arrived. Pure functions, no state: the playback thread
// and the log writer share them, and the fuzzer drives the parser directly.
#pragma once

#include <cstdint>
#include <cstdio>

// Longest formatted line: two digits, a blank, eight tick digits, CR LF, the zero.
inline constexpr int kLogLineSize = 16;

// Formats one log line into out (at least kLogLineSize bytes). Returns its length.
int formatLogLine(unsigned char byte, std::int32_t tick, char* out);

// Parses a log line: the byte from its first two characters, the tick from the
// fourth character on, both hexadecimal. Each value is written only when digits
// were found where it belongs, so a malformed line keeps the caller's previous
// byte and tick. line must be zero-terminated; it is never read past its end.
// Returns a mask: 1 when the byte was parsed, 2 when the tick was.
int parseLogLine(const char* line, unsigned char* byte, std::int32_t* tick);

// Reads the next line to play into buffer (capacity bytes; longer lines are split
// into pieces of capacity - 1 characters). Returns 0 when the read reaches the end
// of the file, so a last line without its line end is not played.
int readPlayLine(std::FILE* file, char* buffer, int capacity);

// The suggested name of a new log, from the UTC date and time:
// "%02d%02d_%02d_%02d%02d_%02d.txt" of day, month, year, hour, minute, second.
void formatLogFileName(int year, int month, int day, int hour, int minute, int second, char* out,
                       int capacity);
