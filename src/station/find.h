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
// 1 when init.ini is there: a station that has one has been set up.
int findInitFileExists();
// A first start's search: every port, up to kDetectSpeeds listens long (the ports
// in parallel); each port's verdict and the choice are said through uiNotice, and
// a receiver found is applied. 1 when one was found. Blocks for the search.
int findAtFirstStart();
