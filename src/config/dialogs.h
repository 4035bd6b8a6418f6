// The settings dialogs (modeless, one per setting) and the TAB cycle of the server
// and coordinates dialogs. Main thread only.
#pragma once

// The message loop offers every typed TAB here before dispatching it: returns
// nonzero when the server or the coordinates dialog moved its focus (the key is
// then dropped). window is the window that received the key.
int offerTabToDialogs(void* window);
