// The receiver-clock annotation: every record line passes here on its way to the
// DisplayRing; with relative time on, "@" lines get receiver and computer elapsed
// times. Runs on the decoder's thread (the serial reader).
#pragma once

// Stores the line (annotated when relative time is on) in the DisplayRing, unless
// showLines is off. Never blocks beyond the ring's short copy.
void showRecordLine(const char* line);
