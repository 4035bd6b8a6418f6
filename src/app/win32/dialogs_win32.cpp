// The settings dialogs as modeless windows from their templates, and the TAB cycle
// of the server and coordinates dialogs. Main thread only.
//
// Every command opens a new instance. The three TAB dialogs remember the window of
// their newest instance and a position in the front end's widgets; the message loop offers each
// typed TAB to both through offerTabToDialogs.
#include <windows.h>

#include "core/app_state.h"
#include "core/frontend.h"
#include "app/win32/window_win32.h"
#include "station/dialogs.h"

namespace {

HWND* tabWindow(int commandId) {
    if (commandId == kCmdServerDialog) return &widgets.serverDialog;
    if (commandId == kCmdPointDialog) return &widgets.coordDialog;
    if (commandId == kCmdTcpSourceDialog) return &widgets.tcpSourceDialog;
    return nullptr;
}

int* tabPosition(int commandId) {
    if (commandId == kCmdServerDialog) return &widgets.serverTabPosition;
    if (commandId == kCmdPointDialog) return &widgets.coordTabPosition;
    if (commandId == kCmdTcpSourceDialog) return &widgets.tcpSourceTabPosition;
    return nullptr;
}

void fillFields(HWND dialog, const DialogInfo& info) {
    char first[kDialogInitSize], second[kDialogInitSize];
    int checked = 0;
    dialogInit(info.commandId, first, second, &checked);
    SetDlgItemTextA(dialog, kFieldFirst, first);
    if (info.fieldCount > 1) SetDlgItemTextA(dialog, kFieldSecond, second);
    if (info.checkBox) CheckDlgButton(dialog, kFieldCheck, checked ? BST_CHECKED : BST_UNCHECKED);
    if (info.commandId == kCmdTcpSourceDialog)
        CheckRadioButton(dialog, kFieldConnect, kFieldListen, checked == 2 ? kFieldListen : kFieldConnect);
    char note[2048];
    dialogNote(info.commandId, note, sizeof note);
    if (note[0]) SetDlgItemTextA(dialog, kFieldNote, note);
}

// The push dialog's note follows the targets while it is open.
constexpr UINT_PTR kNoteTimer = 1;

// The TAB command: moves the focus one stop on (the fields, a check box, OK,
// Cancel). Not taken while the dialog is closed (position -1).
INT_PTR onTab(int commandId, int fieldCount) {
    int* position = tabPosition(commandId);
    HWND* window = tabWindow(commandId);
    if (!position || *position < 0) return 0;
    HWND dialog = *window;
    if (!dialog || !IsWindow(dialog)) return 0;
    *position = tabNextPosition(*position, fieldCount);
    SetFocus(GetDlgItem(dialog, tabControlAt(*position, fieldCount)));
    return 1;
}

void closeDialog(HWND dialog, int commandId) {
    if (int* position = tabPosition(commandId)) *position = -1;
    DestroyWindow(dialog);
}

INT_PTR dialogProcedure(int commandId, HWND dialog, UINT message, WPARAM wParam) {
    const DialogInfo* info = dialogInfo(commandId);
    if (!info) return FALSE;
    switch (message) {
        case WM_INITDIALOG:
            fillFields(dialog, *info);
            if (commandId == kCmdPushDialog) SetTimer(dialog, kNoteTimer, 1000, nullptr);
            if (info->tabCycle) {
                *tabWindow(commandId) = dialog;
                *tabPosition(commandId) = 0;
                SetFocus(GetDlgItem(dialog, kFieldFirst));
                return FALSE;  // we set the focus ourselves
            }
            return TRUE;
        case WM_TIMER:
            if (wParam == kNoteTimer) {
                char note[2048];
                dialogNote(commandId, note, sizeof note);
                SetDlgItemTextA(dialog, kFieldNote, note);
            }
            return TRUE;
        case WM_COMMAND:
            switch (LOWORD(wParam)) {
                case kButtonOk: {
                    char first[kDialogTextSize] = "", second[kDialogFieldSize] = "";
                    GetDlgItemTextA(dialog, kFieldFirst, first, sizeof first);
                    if (info->fieldCount > 1) GetDlgItemTextA(dialog, kFieldSecond, second, sizeof second);
                    int checked = info->checkBox && IsDlgButtonChecked(dialog, kFieldCheck) == BST_CHECKED;
                    // The TCP source's box says whether, its radio buttons how.
                    if (checked && commandId == kCmdTcpSourceDialog &&
                        IsDlgButtonChecked(dialog, kFieldListen) == BST_CHECKED)
                        checked = 2;
                    // The TAB cycle ends before anything else can run (the OK of
                    // the server dialog shows a box with a message loop of its own).
                    int* position = tabPosition(commandId);
                    int wasAt = position ? *position : -1;
                    if (position) *position = -1;
                    if (!dialogOk(commandId, first, second, checked)) {
                        // A value that cannot work was refused and said: the dialog
                        // stays for the user to mend it.
                        if (position && *tabWindow(commandId) == dialog) *position = wasAt;
                        return TRUE;
                    }
                    DestroyWindow(dialog);
                    return TRUE;
                }
                case kButtonCancel:  // also the close box
                    closeDialog(dialog, commandId);
                    return TRUE;
                case kCommandTab:
                    return info->tabCycle ? onTab(commandId, info->fieldCount + info->checkBox) : FALSE;
            }
            return FALSE;
    }
    return FALSE;
}

template <int Id>
INT_PTR CALLBACK procedureOf(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    return dialogProcedure(Id, dialog, message, wParam);
}

DLGPROC procedureFor(int commandId) {
    switch (commandId) {
        case kCmdServerDialog: return procedureOf<kCmdServerDialog>;
        case kCmdComDialog: return procedureOf<kCmdComDialog>;
        case kCmdTcpSourceDialog: return procedureOf<kCmdTcpSourceDialog>;
        case kCmdFeedLinkDialog: return procedureOf<kCmdFeedLinkDialog>;
        case kCmdPointDialog: return procedureOf<kCmdPointDialog>;
        case kCmdNameDialog: return procedureOf<kCmdNameDialog>;
        case kCmdIntervalDialog: return procedureOf<kCmdIntervalDialog>;
        case kCmdThresholdDialog: return procedureOf<kCmdThresholdDialog>;
        case kCmdFrequencyDialog: return procedureOf<kCmdFrequencyDialog>;
        case kCmdPushDialog: return procedureOf<kCmdPushDialog>;
    }
    return nullptr;
}

// The TAB key as a command to one dialog procedure, called directly.
int offerTab(int commandId) {
    HWND dialog = *tabWindow(commandId);
    return procedureFor(commandId)(dialog, WM_COMMAND, kCommandTab, 0) != 0;
}

}  // namespace

void uiOpenDialog(int commandId) {
    const DialogInfo* info = dialogInfo(commandId);
    if (!info) return;
    CreateDialogParamA(static_cast<HINSTANCE>(app.appInstance), info->templateName,
                       static_cast<HWND>(app.mainWindow), procedureFor(commandId), 0);
}

int offerTabToDialogs(void*) {
    // Offered to each, always: a TAB may move the focus in each open one.
    int server = offerTab(kCmdServerDialog);
    int coordinates = offerTab(kCmdPointDialog);
    int tcpSource = offerTab(kCmdTcpSourceDialog);
    return server || coordinates || tcpSource;
}
