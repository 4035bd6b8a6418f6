// The settings files: nine small one-value-per-line text files in the working
// directory, their defaults, the start-up load, the writers and the dialog readers.
//
// Main thread only: the start-up load runs before the message loop, the writers and
// dialog readers inside it. Files are read in binary and written with "\r\n" line
// ends on every platform, because they are shared with the Windows program.
#pragma once

#include <cstdio>
#include <cstdint>

// Lenient integer parse: leading blanks, optional sign, decimal digits up to the
// first other character; no digits gives 0. Saturates at the 32-bit range.
std::int32_t parseSettingInt(const char* text);
// Lenient decimal fraction with a point and optional exponent; no number gives 0.
double parseSettingDouble(const char* text);

// settingsDir followed by name, cut to capacity.
void settingsPath(const char* name, char* out, int capacity);
// Reads the next line, at most limit characters, cut at its first CR or LF.
// Returns 1 when a line was read; 0 at end of file, leaving buffer as it was.
// buffer must hold limit + 1 bytes.
int readLine(std::FILE* file, char* buffer, int limit);

// The write probe, the working directory into startDir, then every settings file in
// order. Cannot fail; missing files and lines leave their defaults.
void loadAllSettings();

// Writers: open the file for writing (truncating), write every line with "\r\n",
// close. Return 1 when the file could be opened, 0 otherwise (silently skipped).
int writeSettingsLines(const char* fileName, const char* const* lines, int count);
int writeInitFile(const char* portName, const char* baudText);
int writeServerFile(const char* portText);
int writeFeedLinkFile(const char* portText, const char* hostText);
int writeFlagsFile();
int writePointFile(const char* latText, const char* lonText);
int writeNameFile(const char* name);
int writeThresholdFile(const char* text);
int writeIntervalFile(const char* text);
int writeFrequencyFile(const char* text);

// Dialog readers: fill the dialog's texts (each buffer 1024 bytes) from the file, or
// with the built-in texts when it is missing. Return 1 when the file was there.
// The name, threshold, interval and frequency readers also set their AppState field.
int readInitForDialog(char* portName, char* baudText);
int readServerForDialog(char* portText);
int readFeedLinkForDialog(char* portText, char* hostText);
int readPointForDialog(char* latText, char* lonText);
int readNameForDialog(char* name);
int readThresholdForDialog(char* text);
int readIntervalForDialog(char* text);
int readFrequencyForDialog(char* text);
