// The receiver finder as the station uses it: the system's ports listed for a
// search (the one the program reads now left alone), the chosen receiver
// written to init.ini and BinarComOn.ini line 1, and the search a first start
// makes. Main thread.
#pragma once

#include "detect/detect.h"

// The system's serial ports into run (at most kDetectMaxPorts), the port this
// program has open marked as its own. The number listed.
int findListPorts(DetectRun& run);
// The name a port is shown by: its system name, with its by-id name after it.
void findShownName(const DetectPort& port, char* out, int capacity);
// Writes init.ini (the port, its speed) and line 1 of BinarComOn.ini (the form),
// each replaced whole as every settings write is, and takes them into use for
// the next open. 1 when both files were written.
int findApply(const DetectPort& port);
// The adapter the receiver is on, kept in initid.ini beside init.ini's port:
// line 1 the port it belongs to, line 2 its identity ("usb 0403:6001 A12345"),
// line 3 its /dev/serial/by-id name (Linux). A port given by hand gets its line
// once it opens; a file of another port than init.ini's counts for nothing.
inline constexpr char kIdentityFile[] = "initid.ini";
int findWriteIdentity(const SerialPortInfo& port);
// Every tick: a port that opened has its adapter remembered; while the port is
// missing or lost (retried every 2 s), or open but without a frame passing
// parity for 10 s, the same adapter under another name becomes the port (init.ini and initid.ini written, said as "Приемник найден на
// COM9 (был COM7)"), and the next retry opens it. Two adapters of the same
// identity: neither is taken, and that is said once. Main thread.
void findTick();

// 1 when init.ini is there: a station that has one has been set up.
int findInitFileExists();
// A first start's search: every port, up to kDetectSpeeds listens long (the ports
// in parallel); each port's verdict and the choice are said through uiNotice, and
// a receiver found is applied. 1 when one was found. Blocks for the search.
int findAtFirstStart();
