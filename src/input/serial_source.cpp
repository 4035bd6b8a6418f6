// Serial source. (Placeholder definitions; the reader arrives with the serial work.)
#include "input/serial_source.h"

#include "app/app_state.h"

int openComPort(const char*) { return 0; }
int closeComPort() { return 1; }
int writeComPort(const void* data, int count) { return serialWrite(app.comHandle.load(), data, count); }
int readComPort(void* buffer, int count) { return serialRead(app.comHandle.load(), buffer, count); }
void comReaderThread(void*) {}
void startSerialSource() {}
void stopSerialSource() {}
void reopenComPort(const char*, const char*) {}
void sendReceiverMode(int) {}
