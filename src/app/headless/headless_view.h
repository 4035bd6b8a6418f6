// Native build only: the in-memory front end that stands in for the window, so that
// tests and tools can see what a user would have seen. Any thread.
#pragma once

#include <cstddef>

void headlessReset();
// Monitor line 0 (top) to 17 (bottom), status lines 0 to 2, the title.
void headlessMonitorLine(int index, char* out, std::size_t capacity);
void headlessStatusLine(int index, char* out, std::size_t capacity);
void headlessTitle(char* out, std::size_t capacity);
// Menu state by command id.
int headlessMenuChecked(int commandId);
void headlessMenuText(int commandId, char* out, std::size_t capacity);
// Message boxes shown so far, and the answer the next ones get (1 = OK/Yes).
int headlessBoxCount();
void headlessBox(int index, char* text, std::size_t textCapacity, char* caption,
                 std::size_t captionCapacity);
void headlessSetBoxAnswer(int answer);
// Notices given so far, and the text of the last one.
int headlessNotices(char* last, std::size_t capacity);
// Tray: last state set by a modify, and the number of platform calls made.
int headlessTrayIcon();
int headlessTrayCalls();
// Dialogs opened and whether the main window was closed.
int headlessDialogsOpened(int commandId);
int headlessWindowClosed();
// Check changes told so far; *lastCheck the last one's check (-1 - check: fine again).
int headlessCheckChanges(int* lastCheck);
// The link events told so far (uiLinkChanged), each as "kind name state: detail";
// out gets event `index` (0 the first), "" past the last.
int headlessLinkEvents(char* out, std::size_t capacity, int index);
// Answers of the file dialogs (empty = cancel).
void headlessSetFileAnswer(const char* path);
