// The settings dialogs (modeless, one per setting) and the TAB cycle of the server
// and coordinates dialogs. Main thread only.
//
// The portable half (dialogs.cpp) holds what each dialog does: the texts it shows
// when it opens and the effects of its OK, as functions of the typed texts. The
// Win32 half (dialogs_win32.cpp) creates the windows from their templates and moves
// texts between the fields and these functions.
#pragma once

#include "core/command_ids.h"

// Dialogs are known by the menu command that opens them (core/command_ids.h).

// Control ids of every template.
inline constexpr int kFieldFirst = 1000;
inline constexpr int kFieldSecond = 1001;
// The check box of a dialog that has one, after its fields in the TAB cycle.
inline constexpr int kFieldCheck = 1002;
// A line of text beside the fields (the frequency dialog's measured value).
inline constexpr int kFieldNote = 1003;
// The TCP source dialog's radio buttons: connect to the source, or wait for it.
inline constexpr int kFieldConnect = 1004;
inline constexpr int kFieldListen = 1005;
inline constexpr int kButtonOk = 1;
inline constexpr int kButtonCancel = 2;
// The command the event loop sends for a TAB.
inline constexpr int kCommandTab = 100;

// A field is read with at most 255 characters (the push dialog's text, one
// target a line, with up to kDialogTextSize).
inline constexpr int kDialogFieldSize = 256;
inline constexpr int kDialogTextSize = 4096;
// What the settings readers fill at opening (their buffers are 1024 bytes).
inline constexpr int kDialogInitSize = 1024;

struct DialogInfo {
    int commandId;
    const char* templateName;
    int fieldCount;  // 1 or 2
    int tabCycle;    // 1 for the server, coordinates and TCP source dialogs
    int checkBox;    // 1 when kFieldCheck follows the fields
};

// The dialog of a menu command, or nullptr for any other id.
const DialogInfo* dialogInfo(int commandId);

// Opening: fills the texts of the dialog's fields (each buffer kDialogInitSize) from
// its settings file or with the built-in texts; the name, interval, threshold and
// frequency dialogs also take the file's value into memory; *checked (when given)
// gets the check box's state (the TCP source dialog's: 0 unchecked, 1 checked
// with "connect", 2 checked with "wait for the source"). Returns the number of fields, 0 for an unknown id.
int dialogInit(int commandId, char* first, char* second, int* checked = nullptr);

// The note the dialog shows beside its fields when it opens, "" for none: the
// frequency dialog's "измерено: 12 000 000" once the receiver's clock is measured,
// the push dialog's state of each target (refreshed every second while it is open).
void dialogNote(int commandId, char* out, int capacity);

// OK: applies and saves the typed texts (second is ignored by one-field dialogs)
// and the check box's state (ignored without one).
// Returns 1; 0 when a typed value cannot work (the user has been told, nothing
// was changed or written, and the dialog stays open) or for an unknown id.
int dialogOk(int commandId, const char* first, const char* second, int checked = 0);

// The OK effect of each dialog, in its order of steps; 1 when it was applied, 0
// when a typed value was refused.
int serialDialogOk(const char* portName, const char* baudText);
int serverDialogOk(const char* portText);
int feedDialogOk(const char* portText, const char* hostText);
int coordDialogOk(const char* latText, const char* lonText);
int nameDialogOk(const char* name);
int intervalDialogOk(const char* text);
int thresholdDialogOk(const char* text);
int frequencyDialogOk(const char* text);
// chosen: 0 the serial port, 1 connect, 2 listen (the check box and the radio
// buttons, kTcpChoice...).
int tcpSourceDialogOk(const char* portText, const char* hostText, int chosen);
// "Передача в другие сети": the targets, one a line; every line must be usable.
int pushDialogOk(const char* text);
// The push targets' state, one line each (CR LF between), for the dialog's note.
void writePushState(char* out, int capacity);

// The TAB cycle inside a dialog of fieldCount stops before its buttons (its fields
// and its check box): positions 0 .. fieldCount + 1 are those, then OK, then Cancel. The position after position, and the
// control it puts the focus on.
int tabNextPosition(int position, int fieldCount);
int tabControlAt(int position, int fieldCount);

// The message loop offers every typed TAB here before dispatching it: returns
// nonzero when the server, coordinates or TCP source dialog moved its focus (the key is
// then dropped). window is the window that received the key.
int offerTabToDialogs(void* window);
