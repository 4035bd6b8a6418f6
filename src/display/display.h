// The monitor panel's portable half: the DisplayRing mailbox, the show-now path
// and what the window's title and menu show for recording and playback.
//
// Stores come from any thread; show-newest runs on the main thread once per tick.
// The ring's slots and indexes are guarded together by DisplayRing::lock.
#pragma once

#include "core/frontend.h"

inline constexpr int kDisplayStore = 0;
inline constexpr int kDisplayShowNow = 1;
inline constexpr int kDisplayShowNewest = 3;

// mode 0: store text in the ring (any thread, never waits for the screen).
// mode 1: show text at the bottom of the panel at once (any thread; the main thread
//         does the scroll while the caller waits).
// other:  show the newest ring line if it has not been shown (main thread, tick).
void displayLine(const char* text, int mode);

// The window's title for a state text: "[]  : text".
void formatTitle(const char* state, char* out, int capacity);

// What the window shows for a recording or playback event: the menu item (its
// command), its text and mark, and the title's state text.
struct ExchangeView {
    int commandId;
    const char* menuText;
    int checked;
    const char* titleState;
};
ExchangeView exchangeView(ExchangeEvent event);
