// The main window's menu commands and single-key commands, and the texts of the
// help and author boxes. Portable: the Win32 window procedure and the native tests
// both call these. Main thread only.
#pragma once

#include "core/command_ids.h"

// The user guide shown by kCmdHelp (Windows-1251, ten paragraphs).
extern const char kHelpText[];
extern const char kHelpCaption[];
// The contact text shown by kCmdAuthor (three lines).
extern const char kAuthorText[];
extern const char kAuthorCaption[];

// Sets binary mode (kCmdBinaryMode) or compression (kCmdCompressFeed) to `on` and
// its menu mark, without writing the flags file; compression also drops a
// connected feed link, whose server learns the mode from the introduction.
void setModeFlag(int commandId, int on);

// WM_COMMAND by command id: 1 when the command was carried out, 0 when it was
// refused or is unknown. May block in a message box or a file dialog.
int handleCommand(int id);
// WM_CHAR by character code: '0'..'3' send a receiver mode command, '4' and '5'
// switch display modes; every other key is ignored. Blocks in the serial write.
void handleKey(int ch);
