// Exchange recording and playback: the serial stream logged to a text file with
// tick marks, and such a file played back at its recorded pace.
#pragma once

// The serial reader's log write: one "%02X %X\r\n" line per byte with the current
// exchangeTick, while a recording runs, queued for the recording's writer. Reader
// thread; never waits for the disk; serialised with closing.
void logReceivedBytes(const unsigned char* data, int count);
// Every tick: a recording whose disk did not keep up or failed is stopped (title
// and menu back to normal) and said. Main thread.
void recordTick();
// kCmdRecord after the dispatcher's refusal check: stop, or choose a file and
// start. Returns 1 when it carried something out. Main thread.
int commandRecord();
// kCmdPlayback after the dispatcher's refusal check: stop a running playback, or
// choose a file and start one. Main thread.
int commandPlayback();
// Shutdown: ask a running playback to stop and wait until its thread has ended.
void stopPlaybackAndWait();
// Shutdown: close whatever exchange file is still open.
void closeExchangeFiles();
