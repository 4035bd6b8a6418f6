// The one interface between the portable core and the operating system.
//
// Two implementations exist, chosen by the build, never by #ifdef in the core:
//   src/platform/win32/  Winsock 1.1, Win32 serial ports, CreateThread, a
//                        semaphore for the feed lock, WSAAsyncSelect for socket events.
//   src/platform/posix/  BSD sockets, termios, pthreads, a timed mutex for the
//                        feed lock, a poll loop for socket events.
// Every function here may be called from any thread unless its comment says otherwise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// ---- sockets -------------------------------------------------------------

using Socket = std::intptr_t;
inline constexpr Socket kNoSocket = -1;

// Socket events, with the Winsock bit values (FD_READ, FD_ACCEPT, FD_CLOSE).
inline constexpr long kEventRead = 1;
inline constexpr long kEventAccept = 8;
inline constexpr long kEventClose = 32;

// Starts the network stack (WSAStartup 1.1 on Windows). 1 on success.
int netStartup();
// Releases the network stack; sockets still open are ended by it on Windows.
void netCleanup();

// A new TCP/IPv4 socket, or kNoSocket.
Socket sockTcp();
void sockClose(Socket s);
// One send call. Returns the number of bytes taken (may be fewer than count on a
// non-blocking socket), or -1 on error (including "would block").
int sockSend(Socket s, const void* data, int count);
// One receive call. Returns bytes received, 0 when the peer closed, -1 on error.
int sockRecv(Socket s, void* buffer, int capacity);
// Makes the socket's sends and receives return at once instead of waiting (a
// send then takes what fits, or gives -1). 1 on success.
int sockSetNonBlocking(Socket s);
// TCP_NODELAY on. 1 on success.
int sockSetNoDelay(Socket s);
// Sets the socket's send buffer (SO_SNDBUF) to a fixed size, which also ends the
// system's growing of it. 1 on success.
int sockSetSendBuffer(Socket s, int bytes);
// gethostbyname first, then the dotted-address parse. The address is IPv4 in
// network byte order. 1 on success, 0 when the host resolves nowhere.
int sockResolve(const char* host, std::uint32_t* address);
// Blocking connect. 1 on success.
int sockConnect(Socket s, std::uint32_t address, std::uint16_t port);
// bind to address:port, address IPv4 in network byte order (0 = every interface).
// 1 on success.
int sockBind(Socket s, std::uint32_t address, std::uint16_t port);
// A dotted IPv4 address text (no name lookup) in network byte order. 1 when the
// text is one.
int sockParseAddress(const char* text, std::uint32_t* address);
// listen with the given backlog. 1 on success.
int sockListen(Socket s, int backlog);
// accept one pending connection; writes the peer's dotted address into peer
// (always terminated, cut to capacity). kNoSocket on failure.
Socket sockAccept(Socket s, char* peer, std::size_t peerCapacity);
// Dotted form of an IPv4 address in network byte order (always terminated).
void sockAddressText(std::uint32_t address, char* out, std::size_t capacity);
// Waits up to timeoutMs until a send on s would take at least one byte. 1 when it
// would (or the socket has failed, so that a send reports it), 0 on time-out.
int sockWaitWritable(Socket s, int timeoutMs);

// ---- connecting by name (the receiver's TCP source) ----------------------

// Why sockConnectHost gave no socket.
inline constexpr int kConnectNoName = 1;     // the name resolves nowhere
inline constexpr int kConnectRefused = 2;    // every address refused
inline constexpr int kConnectTimedOut = 3;   // no address answered in time
inline constexpr int kConnectFailed = 4;     // any other failure
inline constexpr int kConnectCancelled = 5;  // keepTrying said no

// Resolves host (a name, a dotted IPv4 address, an IPv6 address) and connects to its addresses, IPv6 and IPv4 alike, in the system's
// order until one answers, giving each at most timeoutMs. keepTrying(context) is
// asked every 100 ms while a connect waits; once it returns 0 the attempt ends
// (kConnectCancelled). Blocks in the system's name resolution, which keeps its
// own time-outs. The socket returned is blocking, with TCP keep-alive on; peer
// gets the numeric address connected to (always terminated). kNoSocket on
// failure, with *failure set to one of the kConnect... reasons.
Socket sockConnectHost(const char* host, std::uint16_t port, int timeoutMs, int (*keepTrying)(const void*),
                       const void* context, char* peer, std::size_t peerCapacity, int* failure);
// Waits up to timeoutMs until a receive on s would not block (bytes, the far
// end's close, or an error). 1 when it would, 0 on time-out.
int sockWaitReadable(Socket s, int timeoutMs);
// The same for two sockets at once (b may be kNoSocket): 1 when a would not
// block, 2 when b would not, 3 for both, 0 on time-out.
int sockWaitEitherReadable(Socket a, Socket b, int timeoutMs);
// TCP keep-alive on, as on the sockets sockConnectHost returns: a far end that
// vanished without a close is found within about a minute. 1 on success.
int sockKeepAlive(Socket s);

// Registers a socket for events, delivered to the main thread as window message
// `message` with wParam = socket and lParam = event | (error << 16). events 0 with
// message 0 cancels the registration. The socket becomes non-blocking.
// Windows: WSAAsyncSelect on `window`. Native: the poll loop below.
// Returns 1 on success, 0 on failure (SOCKET_ERROR).
int sockWatch(void* window, Socket s, unsigned message, long events);

// Queues an event for the main thread as if the socket had reported it: window
// message `message` with wParam = socket and lParam as given. Any thread.
// Windows: PostMessage to `window`. Native: delivered by the next pumpSocketEvents.
// Returns 1 when queued.
int sockPostEvent(void* window, unsigned message, Socket s, long lParam);

// Native event loop only: the sink that receives socket events, as the window
// procedure would. Not used by the Windows build.
using SocketEventSink = void (*)(unsigned message, Socket s, long lParam);
// Native only: waits up to timeoutMs for events on the registered sockets and
// delivers each ready one to `sink` on the calling thread. Returns the number of
// events delivered. Call from one thread only (the native "main" thread).
int pumpSocketEvents(int timeoutMs, SocketEventSink sink);

// ---- serial port ---------------------------------------------------------

using SerialHandle = std::intptr_t;
inline constexpr SerialHandle kNoSerial = -1;

// Opens and configures a receiver port for us alone: baud, 8N1, no hardware output
// flow control, no wait for carrier, DTR off, RTS toggling where the driver allows
// it; read time-outs such that a one-byte read returns after at most 140 ms; both
// queues purged. A port that opened but could not be configured is closed again.
// kNoSerial on failure; *busy (when given) is then 1 when another program holds
// the port, 0 for any other failure.
// *before, when given, gets the port's settings as they were before ours, so that
// a listener that only looked can put them back (serialPutSettings) before it closes.
struct SerialSettings {
    alignas(8) unsigned char bytes[256];
    int valid;
};
SerialHandle serialOpen(const char* name, unsigned long baud, int* busy = nullptr, SerialSettings* before = nullptr);
void serialClose(SerialHandle h);
// Puts back settings taken by serialOpen. 1 on success (0 when they are not valid).
int serialPutSettings(SerialHandle h, const SerialSettings* settings);
// Changes the speed of an open port and drops what came in at the old one. 1 on
// success; 0 when the port cannot run at it.
int serialSetSpeed(SerialHandle h, unsigned long baud);
// 1 when a port can be set to this speed (termios knows only its fixed table;
// Windows leaves the speed to the driver, which any positive value may suit).
int serialSpeedSupported(unsigned long baud);
// The longest a write to the port may take: a receiver that takes nothing (flow
// control held, a pseudo-terminal nobody reads) must not hold its writer.
inline constexpr int kSerialWriteDeadlineMs = 1000;
// Writes all bytes within kSerialWriteDeadlineMs. 1 on success, 0 on failure or
// when the deadline ran out (what was not taken is abandoned).
int serialWrite(SerialHandle h, const void* data, int count);
// One blocking read of up to count bytes; returns within the port's time-outs.
// Bytes read; 0 on time-out (or a line error, which is cleared); -1 when the port
// itself has gone (device unplugged, the far end of a pseudo-terminal closed).
int serialRead(SerialHandle h, void* buffer, int count);
// Takes whatever is already queued at the port, up to capacity, without waiting.
int serialReadQueued(SerialHandle h, void* buffer, int capacity);

// A serial port the system has, as the receiver finder lists them.
inline constexpr int kPortTextSize = 256;
struct SerialPortInfo {
    char name[kPortTextSize];      // what serialOpen takes: "COM7", "/dev/ttyUSB0"
    // What the adapter is, where the system can tell: "usb 0403:6001 A12345"
    // (vendor, product, serial number) for a USB adapter, else "".
    char identity[kPortTextSize];
    char byId[kPortTextSize];      // Linux: its /dev/serial/by-id name, else ""
};
// The serial ports the system has now, at most capacity of them, in the system's
// order; the number written. Windows: the SERIALCOMM device map, each port's USB
// identity from SetupAPI's Ports class (none under Wine). Linux: every
// /sys/class/tty entry with a device behind it (not the kernel's console, not a
// built-in UART slot without a UART) and what /dev/serial/by-id names; a test may
// give another root for /sys and /dev in BREVALINK_DEVICE_ROOT. Blocks on the
// file system only; any thread.
int serialListPorts(SerialPortInfo* out, int capacity);
// The identity ("usb 0403:6001 A50285BI", as Linux's sysfs gives it) of the USB
// device a Windows device instance ID names: USB\VID_0403&PID_6001\A50285BI, or
// FTDI's FTDIBUS\VID_0403+PID_6001+A50285BIA\0000. Without a serial number of
// its own (Windows then makes the instance up from the socket: "6&2b3f1c0a&0&2")
// only vendor and product. 0 and "" for any other ID, or when out is too small.
// Portable: implemented once for both layers.
int usbIdentityFromInstanceId(const char* id, char* out, int capacity);

// ---- threads -------------------------------------------------------------

using ThreadHandle = std::uintptr_t;
inline constexpr ThreadHandle kNoThread = 0;

ThreadHandle threadStart(void (*procedure)(void*), void* argument);
// Waits until the thread has ended and releases its handle.
void threadJoin(ThreadHandle t);
// Waits at most timeoutMs; 1 when the thread ended (handle released), 0 otherwise
// (handle kept, the thread runs on).
int threadJoinTimed(ThreadHandle t, int timeoutMs);
// A wake-up: an auto-resetting event that one thread waits on and any thread sets.
// Made once and kept; setting it when nobody waits lets the next wait return at once.
using EventHandle = std::uintptr_t;
inline constexpr EventHandle kNoEvent = 0;
EventHandle eventCreate();
void eventSet(EventHandle e);
// 1 when the event was set (and is now reset), 0 when timeoutMs ran out.
int eventWait(EventHandle e, int timeoutMs);

// Records the calling thread as the main thread; call once at start-up.
void markMainThread();
// 1 on the thread that called markMainThread (or when none did).
int onMainThread();

// ---- the feed lock -------------------------------------------------------
// Serialises every feedSend within this process (each process has its own feed
// link): an unnamed semaphore on Windows, a timed mutex natively. Another
// instance, suspended or killed while holding a machine-wide lock, could otherwise
// hold every record line of ours for its 5 s wait.

int feedLockCreate();
// 1 when the lock was taken within timeoutMs, 0 when the wait ran out.
int feedLockAcquire(int timeoutMs);
void feedLockRelease();

// ---- time, files, libraries ---------------------------------------------

void sleepMs(int milliseconds);
// Asks that waits and sleeps of a few milliseconds last what they ask: Windows
// otherwise rounds them up to its 15.6 ms tick, which would stretch the relay's
// window sevenfold. Idempotent; nothing natively, where they already do.
void useFineTimer();
// Calendar time in whole seconds since 1970-01-01 00:00 UTC.
std::int64_t calendarSeconds();
// A clock for deadlines and pacing, in milliseconds; never goes back.
std::int64_t monotonicMs();
// The same clock in microseconds, for waits shorter than a few milliseconds.
std::int64_t monotonicUs();

struct UtcTime {
    int year, month, day, hour, minute, second;
};
void utcNow(UtcTime* out);

// The process's working directory (always terminated). 1 on success.
int workingDirectory(char* out, std::size_t capacity);
// Deletes a file. 1 on success.
int deleteFile(const char* path);
// Makes what was written to an open file durable before it is relied on
// (fflush, then fsync / FlushFileBuffers). 1 on success.
int fileSync(std::FILE* file);
// Renames from over to in one step, replacing to when it exists (rename /
// MoveFileEx with replace and write-through), so a power cut leaves the old file
// or the new one. 1 on success.
int fileReplace(const char* from, const char* to);

// Run-time library loading. The native build maps "zlib1.dll" onto the system zlib.
void* libraryLoad(const char* name);
void* librarySymbol(void* library, const char* symbol);
void libraryFree(void* library);
