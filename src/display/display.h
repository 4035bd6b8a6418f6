// The monitor panel's portable half: the DisplayRing mailbox, the show-now path
// and the window title.
//
// Stores come from any thread; show-newest runs on the main thread once per tick.
// The ring's slots and indexes are guarded together by DisplayRing::lock.
#pragma once

inline constexpr int kDisplayStore = 0;
inline constexpr int kDisplayShowNow = 1;
inline constexpr int kDisplayShowNewest = 3;

// mode 0: store text in the ring (any thread, never waits for the screen).
// mode 1: show text at the bottom of the panel at once (any thread; the main thread
//         does the scroll while the caller waits).
// other:  show the newest ring line if it has not been shown (main thread, tick).
void displayLine(const char* text, int mode);

// Title "[] : text". Any thread.
void setTitleState(const char* text);
