// DisplayRing, show-now, status lines and title.
#include "display/display.h"

#include <cstdio>

#include "core/app_state.h"
#include "core/frontend.h"

void displayLine(const char* text, int mode) {
    if (mode == kDisplayStore) {
        // A mailbox, not a queue: the slot at write is the only one ever shown, so
        // a line stored before the tick took the previous one is simply skipped.
        TextGuard guard(app.ring.lock);
        app.ring.write = app.ring.write >= kRingSlots - 1 ? 0 : app.ring.write + 1;
        copyText(app.ring.slots[app.ring.write], kRingSlotSize, text);
        return;
    }
    char line[kRingSlotSize];
    if (mode == kDisplayShowNow) {
        copyText(line, sizeof line, text);
    } else {
        TextGuard guard(app.ring.lock);
        if (app.ring.shown == app.ring.write) return;
        copyText(line, sizeof line, app.ring.slots[app.ring.write]);
        app.ring.shown = app.ring.write;
    }
    uiScrollAndPlace(line);
}

void setTitleState(const char* text) {
    char title[400];
    std::snprintf(title, sizeof title, "%s : %s", "[] ", text);
    uiSetTitle(title);
}
