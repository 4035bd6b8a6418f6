// Settings re-read while running: the Linux edition's SIGHUP. Every settings file
// is read with the start-up rules over the values in use (a missing file or line
// keeps its value, a value that cannot work is refused and said), and each value
// that differs takes effect as its dialog's OK would make it. No settings file is
// ever written here. Main thread only.
#pragma once

// Applies what changed: init.ini reopens the port; initsocket.ini restarts the
// relay server on its new port or address (clients reconnect); BinarComOn.ini
// switches binary mode and compression as their menu commands do; initmkp2.ini,
// point.ini and name.ini make the feed link connect again with the new address or
// introduction; the interval, threshold and frequency take effect at once;
// inittcp.ini switches between the port and the TCP source, or replaces the
// connection, as its dialog's OK does; initpush.ini starts the targets added,
// stops those taken out and leaves the others alone.
// Writes the names of the files whose values changed into `applied` (separated by
// blanks, cut to capacity) and returns how many there were.
int settingsReload(void* window, char* applied, int capacity);

// The receiver's source for this run only, from the command line: "tcp:HOST:PORT"
// (an IPv6 address in brackets) connects to the TCP source, "listen:PORT" or
// "listen:ADDRESS:PORT" waits for it to connect, anything else names the serial
// port. Call after the settings are loaded and before the station starts;
// reloads then keep it whatever the files say. 0 (nothing changed) when the text
// names no usable source.
int overrideReceiverSource(const char* source);

// The push targets for this run only, from the command line (--push HOST:PORT,
// repeated): the targets in use become these, and reloads keep them whatever
// initpush.ini says. Call after the settings are loaded. 0 (nothing changed)
// when one of them is no "host:port" or there are more than kPushTargets.
int overridePushTargets(const char* const* targets, int count);
