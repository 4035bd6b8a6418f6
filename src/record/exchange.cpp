// Exchange recording and playback. (Placeholder definitions.)
#include "record/exchange.h"

void logReceivedBytes(const unsigned char*, int) {}
int commandRecord() { return 0; }
int commandPlayback() { return 0; }
void stopPlaybackAndWait() {}
void closeExchangeFiles() {}
