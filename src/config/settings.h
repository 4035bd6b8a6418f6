// The settings files: ten small one-value-per-line text files in the working
// directory, their defaults, the start-up load, the writers and the dialog readers.
//
// Main thread only: the start-up load runs before the message loop, the writers and
// dialog readers inside it. Files are read in binary and written with "\r\n" line
// ends on every platform, because they are shared with the Windows program.
#pragma once

#include <cstdio>
#include <cstdint>

// Lenient integer parse: leading blanks, optional sign, decimal digits up to the
// first other character; no digits gives 0. Saturates at the 32-bit range.
std::int32_t parseSettingInt(const char* text);
// Lenient decimal fraction with a point and optional exponent; no number gives 0.
double parseSettingDouble(const char* text);
// A port speed: the leading decimal digits of the text, 0 when there are none.
unsigned long parseSettingSpeed(const char* text);

// settingsDir followed by name, cut to capacity.
void settingsPath(const char* name, char* out, int capacity);
// Reads the next line, at most limit characters, cut at its first CR or LF.
// Returns 1 when a line was read; 0 at end of file, leaving buffer as it was.
// buffer must hold limit + 1 bytes.
int readLine(std::FILE* file, char* buffer, int limit);

// Every value the settings files hold, as one record: what start-up and a reload
// read the files into before anything takes effect.
struct SettingsValues {
    char comPortName[256];
    char comBaudText[256];
    std::uint16_t serverPort;
    char relayAddress[256];  // initsocket.ini line 2: "" listens on every interface
    std::uint16_t otherPort; // initsocket.ini line 3: the other-format relay port, 0 off
    int binaryMode, compressFeed, flagsLine3, flagsLine4;
    std::uint16_t feedPort;
    char feedHost[256];
    double receiverLat, receiverLon;  // arc-seconds
    char receiverName[256];
    std::int32_t levelThreshold, compressInterval, timerFrequency;
    std::uint16_t tcpPort;  // inittcp.ini: the TCP source's port, host (or address to listen on)
    char tcpHost[256];
    int tcpChosen;          // ... and line 3, kTcpChoicePort, kTcpChoiceConnect or kTcpChoiceListen
};

// The files, in the order of the start-up load.
enum SettingsFile {
    kFileInit, kFileSocket, kFileFlags, kFileFeed, kFilePoint, kFileName, kFileThreshold, kFileInterval,
    kFileFrequency, kFileTcp, kSettingsFileCount
};
const char* settingsFileName(int file);

// The values in use now.
void settingsInUse(SettingsValues* out);
// Reads every settings file over *values with the start-up rules: a missing file
// or line keeps what values holds, and a value that cannot work is refused (told
// to the user, captioned with the file's name) and keeps it too. Never writes a
// file.
void readSettingsFiles(SettingsValues* values);

// The write probe, the working directory into startDir, then every settings file in
// order (readSettingsFiles over the defaults). Cannot fail.
void loadAllSettings();

// The checks of a typed or read text, shared by start-up, reload and the dialogs.
// Each returns 1 and sets *out when the text is a value that can work; otherwise
// it tells the user why, in a message box captioned `caption` (a journal line on
// Linux), and returns 0, leaving *out alone.
int acceptPort(const char* text, const char* caption, std::uint16_t* out);      // 1..65535
int acceptSpeed(const char* text, const char* caption);                         // the port can run at it
int acceptLatitude(const char* text, const char* caption, double* degrees);     // -90..90
int acceptLongitude(const char* text, const char* caption, double* degrees);    // -180..180
int acceptNumber(const char* text, const char* what, const char* caption, std::int32_t* out);  // has digits
int acceptListenAddress(const char* text, const char* caption);                 // "" or dotted IPv4
int acceptSourceHost(const char* text, const char* caption);                    // a name or an address
// The TCP source's host for its choice: a host to connect to, or an address to listen on.
int acceptTcpHost(const char* text, int choice, const char* caption);
// What acceptNumber calls the three one-number settings.
extern const char kWhatThreshold[];
extern const char kWhatInterval[];
extern const char kWhatFrequency[];

// Writers: write every line with "\r\n" to a new file beside the old one, make it
// durable and put it in the old one's place, so a power cut leaves one or the
// other whole. Return 1 when the file was replaced, 0 otherwise (silently skipped).
int writeSettingsLines(const char* fileName, const char* const* lines, int count);
// The same for a text that holds its own line ends (the coverage file).
int writeSettingsText(const char* fileName, const char* text, int length);
int writeInitFile(const char* portName, const char* baudText);
// The port text; the listening address (line 2) and the other-format port
// (line 3) kept as the file has them.
int writeServerFile(const char* portText);
int writeFeedLinkFile(const char* portText, const char* hostText);
int writeFlagsFile();
int writePointFile(const char* latText, const char* lonText);
int writeNameFile(const char* name);
int writeThresholdFile(const char* text);
int writeIntervalFile(const char* text);
int writeFrequencyFile(const char* text);
// chosen: kTcpChoicePort, kTcpChoiceConnect or kTcpChoiceListen, as line 3.
int writeTcpSourceFile(const char* portText, const char* hostText, int chosen);

// Dialog readers: fill the dialog's texts (each buffer 1024 bytes) from the file, or
// with the built-in texts when it is missing. Return 1 when the file was there.
// The name, threshold, interval and frequency readers also set their AppState field.
int readInitForDialog(char* portName, char* baudText);
int readServerForDialog(char* portText);
int readFeedLinkForDialog(char* portText, char* hostText);
int readPointForDialog(char* latText, char* lonText);
int readNameForDialog(char* name);
int readThresholdForDialog(char* text);
int readIntervalForDialog(char* text);
int readFrequencyForDialog(char* text);
// The TCP source's port and host texts, and line 3's choice (kTcpChoice...).
int readTcpSourceForDialog(char* portText, char* hostText, int* chosen);
