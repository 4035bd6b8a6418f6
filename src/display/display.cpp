// DisplayRing, show-now, and what the title and menu show for recording and playback.
#include "display/display.h"

#include <cstdio>

#include "core/app_state.h"
#include "core/command_ids.h"
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

void formatTitle(const char* state, char* out, int capacity) {
    std::snprintf(out, static_cast<std::size_t>(capacity), "%s : %s", "[] ", state);
}

ExchangeView exchangeView(ExchangeEvent event) {
    switch (event) {
        case ExchangeEvent::kRecordingStarted: return {kCmdRecord, "&Прекратить запись", 1, "Протоколирование обмена"};
        case ExchangeEvent::kRecordingStopped: return {kCmdRecord, "&Записать в файл", 0, "[] "};
        case ExchangeEvent::kPlaybackStarted: return {kCmdPlayback, "&Прекратить чтение", 1, "Чтение из файла"};
        case ExchangeEvent::kPlaybackEnded: break;
    }
    return {kCmdPlayback, "&Считать из файла", 0, "[] "};
}
