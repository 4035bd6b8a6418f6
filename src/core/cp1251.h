// Windows-1251, the program's own texts and the settings files' encoding, as
// UTF-8: for a UTF-8 terminal, the journal and the status endpoint's bodies. The
// bytes on the relay, the feed and in files are never converted. Pure; any thread.
#pragma once

#include <cstddef>

// Up to `length` bytes of text (or its terminator), always terminated; line breaks
// and tabs become blanks when `oneLine`, other control characters "?", and a
// character that would not fit whole is left out. Returns the bytes written.
std::size_t cp1251ToUtf8(const char* text, std::size_t length, char* out, std::size_t capacity, int oneLine);
