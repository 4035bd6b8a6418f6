// The station's checks of the receiver's data: from the chosen source's counters
// and the measured clock, once a second, each check is fine or warns with a short
// Russian text; a change is told to the front end (uiCheckChanged) and the most
// severe warning joins status line 2. Only said, never acted on, but for the
// mode switch below. Main thread.
#pragma once

#include <cstdint>

// The automatic mode switch: a wrong mode held 30 s, with the other form's frames
// passing parity, is switched as the menu item does (BinarComOn.ini written) and
// said; line 1 "0" of this file turns that off, leaving the warning alone.
inline constexpr char kAutoModeFile[] = "automode.ini";

// Once a second (the ticks between do nothing): the rates over the last 10 s of
// both sources, then every check. checksTickAt takes the time, for tests.
void checksTick();
void checksTickAt(std::int64_t nowMs);
// The most severe warning's text, "" when all is well. Any thread.
void writeWorstWarning(char* out, int capacity);
// The check's name for journal lines and metrics ("no_data", "frequency", ...).
const char* checkName(int check);
// "измерено: 12 000 000" once the receiver's clock is measured, else "".
void writeMeasuredFrequency(char* out, int capacity);
