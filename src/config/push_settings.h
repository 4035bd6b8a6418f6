// initpush.ini: the push targets, one "host:port" a line (an IPv6 address in
// brackets), at most kPushTargets. Read at start-up and on a reload, where a
// line that cannot be used is refused (told, captioned with the file's name) and
// the rest kept; written by the dialog "Передача в другие сети" as the other
// files are, beside the old one and renamed over it. Main thread.
#pragma once

#include "net/push.h"

struct PushTargetList {
    int count = 0;
    char text[kPushTargets][kPushTargetTextSize] = {};
};

// The file over *list: 1 when it was there (blank lines are skipped), 0 when it
// is missing, leaving *list as it was.
int readPushFile(PushTargetList* list);
// The dialog's text, one target a line: 1 with *list when every line can be
// used; otherwise the first that cannot is told (captioned `caption`) and 0,
// with *list untouched.
int acceptPushText(const char* text, const char* caption, PushTargetList* list);
// Writes the list, one target a line with CR LF. 1 when the file was replaced.
int writePushFile(const PushTargetList& list);
// What the dialog shows when it opens: the file's targets joined with CR LF, or
// those in use when there is no file.
void readPushForDialog(char* text, int capacity);
// The texts as pushApply takes them.
int pushApplyList(const PushTargetList& list);
