// Settings dialogs. (Placeholder definitions until the dialogs are built.)
#include <windows.h>

#include "app/frontend.h"
#include "config/dialogs.h"

void uiOpenDialog(int) {}
int offerTabToDialogs(void*) { return 0; }
