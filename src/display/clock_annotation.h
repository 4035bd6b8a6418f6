// The receiver-clock annotation: every record line passes here on its way to the
// DisplayRing; with relative time on, "@" lines get receiver and computer elapsed
// times. Runs on the decoder's thread (the source's reader).
#pragma once

// Stores the line (annotated when relative time is on) in the DisplayRing, unless
// showLines is off. Never blocks beyond the ring's short copy.
void showRecordLine(const char* line);

// Key '4': record lines on or off.
void onShowLinesKey();
// Key '5': relative time off, or on with a new reference. The menu mark is untouched.
void onRelativeTimeKey();
// kCmdRelativeTime: the same switch; returns the new state so the caller can set the mark.
int onRelativeTimeCommand();
