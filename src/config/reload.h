// Settings re-read while running: the Linux edition's SIGHUP. Each of the nine
// settings files whose bytes changed since the last look is applied as the OK of
// its dialog would apply the texts the dialog shows on opening, so an edited file
// means the same as the same edit typed into the window. Main thread only.
#pragma once

// Remembers what every settings file holds now. Call after loadAllSettings and
// after each settingsReload.
void settingsRemember();

// Applies every file that changed: init.ini reopens the port; initsocket.ini moves
// the relay server to its new port (clients reconnect); BinarComOn.ini switches
// binary mode and compression as their menu commands do; initmkp2.ini, point.ini
// and name.ini make the feed link connect again with the new address or
// introduction; the interval, threshold and frequency take effect at once.
// Writes one entry per applied file into `applied` (file names separated by
// blanks, cut to capacity) and returns how many there were.
int settingsReload(void* window, char* applied, int capacity);
