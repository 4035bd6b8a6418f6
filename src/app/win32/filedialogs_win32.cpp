// The save and open dialogs of recording and playback: no owner, one filter pair,
// the start directory, and no checks of the dialog's own (the recording command
// asks its own overwrite question). Main thread; block until the user answers.
#include <windows.h>
#include <commdlg.h>

#include <cstring>

#include "core/app_state.h"
#include "core/frontend.h"

namespace {

// One description/pattern pair, then the empty pair that ends the list.
const char kFilter[] = "txt;doc\0 *.txt;*.doc\0\0";

int runFileDialog(int save, const char* prefill, char* out, std::size_t capacity) {
    if (!out || capacity == 0) return 0;
    out[0] = '\0';
    char file[kFileNameSize];
    copyText(file, sizeof file, prefill);
    OPENFILENAMEA ofn;
    std::memset(&ofn, 0, sizeof ofn);
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = nullptr;
    ofn.hInstance = static_cast<HINSTANCE>(app.appInstance);
    ofn.lpstrFilter = kFilter;
    ofn.lpstrFile = file;
    ofn.nMaxFile = sizeof file;
    ofn.lpstrInitialDir = app.startDir;
    ofn.Flags = OFN_HIDEREADONLY;
    BOOL chosen = save ? GetSaveFileNameA(&ofn) : GetOpenFileNameA(&ofn);
    if (!chosen) return 0;
    file[sizeof file - 1] = '\0';
    copyText(out, static_cast<int>(capacity), file);
    return out[0] != '\0';
}

}  // namespace

int uiChooseSaveFile(const char* suggested, char* out, std::size_t capacity) {
    return runFileDialog(1, suggested, out, capacity);
}

int uiChooseOpenFile(const char* previous, char* out, std::size_t capacity) {
    return runFileDialog(0, previous, out, capacity);
}
