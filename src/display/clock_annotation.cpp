// Receiver-clock annotation. (Relative-time prefixes arrive with the serial source;
// until then lines are stored as they are.)
#include "display/clock_annotation.h"

#include "app/app_state.h"
#include "display/display.h"

void showRecordLine(const char* line) {
    if (!app.showLines.load()) return;
    displayLine(line, kDisplayStore);
}

void onShowLinesKey() { app.showLines = 1 - app.showLines.load(); }

void onRelativeTimeKey() { onRelativeTimeCommand(); }

int onRelativeTimeCommand() {
    if (app.relativeTime.load()) {
        app.relativeTime = 0;
        return 0;
    }
    app.clockRefTaken = 0;
    app.relativeTime = 1;
    return 1;
}
