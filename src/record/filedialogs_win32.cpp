// Save and open dialogs of recording and playback. (Placeholders.)
#include <windows.h>

#include "app/frontend.h"

int uiChooseSaveFile(const char*, char*, std::size_t) { return 0; }
int uiChooseOpenFile(const char*, char*, std::size_t) { return 0; }
