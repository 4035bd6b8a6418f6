// Serial ports on termios (real ttys and pseudo-terminals), with the receiver's
// read time-outs: a one-byte read returns after at most 140 ms.
//
// A port is ours alone while we have it open: a second reader of the same tty
// would take every other block of the receiver's stream. Other programs are kept
// out by TIOCEXCL (which root may pass) and other instances of ours by a flock,
// which nobody passes. The descriptor stays non-blocking, so that neither the
// open (a line without carrier) nor a write (a receiver that takes nothing) can
// hold its caller.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace {

speed_t speedFor(unsigned long baud) {
    switch (baud) {
        case 1200: return B1200;
        case 2400: return B2400;
        case 4800: return B4800;
        case 9600: return B9600;
        case 19200: return B19200;
        case 38400: return B38400;
        case 57600: return B57600;
        case 115200: return B115200;
        case 230400: return B230400;
        case 460800: return B460800;
        case 500000: return B500000;
        case 921600: return B921600;
        case 1000000: return B1000000;
        case 2000000: return B2000000;
        case 3000000: return B3000000;
        default: return 0;
    }
}

// Read time-out for `count` bytes: 70 ms per byte plus 70 ms, as on the Windows port.
int readTimeoutMs(int count) { return 70 * count + 70; }

// Settings files are shared with the Windows program, whose port names are "COMn":
// such a name (any case, n from 1) means the n-th serial port as Windows counts
// them, /dev/ttyS(n-1). Every other name is a device path and used as it is.
const char* devicePath(const char* name, char* out, std::size_t capacity) {
    if ((name[0] | 0x20) != 'c' || (name[1] | 0x20) != 'o' || (name[2] | 0x20) != 'm') return name;
    unsigned long n = 0;
    int digits = 0;
    for (const char* p = name + 3; *p; ++p, ++digits) {
        if (*p < '0' || *p > '9' || digits >= 6) return name;
        n = n * 10 + static_cast<unsigned long>(*p - '0');
    }
    if (digits == 0 || n == 0) return name;
    std::snprintf(out, capacity, "/dev/ttyS%lu", n - 1);
    return out;
}

}  // namespace

static_assert(sizeof(termios) <= sizeof(SerialSettings::bytes), "termios fits the saved settings");

SerialHandle serialOpen(const char* name, unsigned long baud, int* busy, SerialSettings* before) {
    if (busy) *busy = 0;
    if (before) before->valid = 0;
    char mapped[32];
    int fd = ::open(devicePath(name, mapped, sizeof mapped), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (busy) *busy = errno == EBUSY;  // another program opened it with TIOCEXCL
        return kNoSerial;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (busy) *busy = errno == EWOULDBLOCK;
        ::close(fd);
        return kNoSerial;
    }
    termios t;
    if (tcgetattr(fd, &t) != 0) {
        ::close(fd);
        return kNoSerial;
    }
    if (before) {
        std::memcpy(before->bytes, &t, sizeof t);
        before->valid = 1;
    }
    ::ioctl(fd, TIOCEXCL);
    cfmakeraw(&t);
    t.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    speed_t speed = speedFor(baud);
    if (speed) {
        cfsetispeed(&t, speed);
        cfsetospeed(&t, speed);
    }
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        ::close(fd);
        return kNoSerial;
    }
    tcflush(fd, TCIOFLUSH);
    return fd;
}

void serialClose(SerialHandle h) {
    if (h == kNoSerial) return;
    ::ioctl(static_cast<int>(h), TIOCNXCL);
    ::close(static_cast<int>(h));  // and with it the flock
}

int serialPutSettings(SerialHandle h, const SerialSettings* settings) {
    if (h == kNoSerial || !settings || !settings->valid) return 0;
    termios t;
    std::memcpy(&t, settings->bytes, sizeof t);
    return tcsetattr(static_cast<int>(h), TCSANOW, &t) == 0;
}

int serialSetSpeed(SerialHandle h, unsigned long baud) {
    speed_t speed = speedFor(baud);
    if (h == kNoSerial || !speed) return 0;
    int fd = static_cast<int>(h);
    termios t;
    if (tcgetattr(fd, &t) != 0) return 0;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    if (tcsetattr(fd, TCSANOW, &t) != 0) return 0;
    tcflush(fd, TCIFLUSH);
    return 1;
}

int serialSpeedSupported(unsigned long baud) { return speedFor(baud) != 0; }

int serialWrite(SerialHandle h, const void* data, int count) {
    if (h == kNoSerial) return 0;
    int fd = static_cast<int>(h);
    const char* p = static_cast<const char*>(data);
    std::int64_t deadline = monotonicMs() + kSerialWriteDeadlineMs;
    while (count > 0) {
        ssize_t n = ::write(fd, p, static_cast<size_t>(count));
        if (n > 0) {
            p += n;
            count -= static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return 0;
        // The line takes nothing right now: wait for room until the deadline.
        std::int64_t left = deadline - monotonicMs();
        if (left <= 0) return 0;
        pollfd pfd{fd, POLLOUT, 0};
        if (::poll(&pfd, 1, static_cast<int>(left)) < 0 && errno != EINTR) return 0;
        if (pfd.revents & (POLLERR | POLLNVAL)) return 0;
    }
    return 1;
}

int serialRead(SerialHandle h, void* buffer, int count) {
    if (h == kNoSerial || count <= 0) return 0;
    int fd = static_cast<int>(h);
    char* p = static_cast<char*>(buffer);
    int got = 0;
    std::int64_t deadline = monotonicMs() + readTimeoutMs(count);
    while (got < count) {
        std::int64_t left = deadline - monotonicMs();
        if (left <= 0) break;
        pollfd pfd{fd, POLLIN, 0};
        int r = ::poll(&pfd, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        if (pfd.revents & (POLLERR | POLLNVAL)) return got > 0 ? got : -1;
        ssize_t n = ::read(fd, p + got, static_cast<size_t>(count - got));
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) {
            // A device that went away fails its reads; a pseudo-terminal whose far
            // end closed reports hang-up and reads as empty from then on.
            if (got > 0) break;
            if (n < 0 || (pfd.revents & POLLHUP)) return -1;
            break;
        }
        got += static_cast<int>(n);
    }
    return got;
}

int serialReadQueued(SerialHandle h, void* buffer, int capacity) {
    if (h == kNoSerial || capacity <= 0) return 0;
    pollfd pfd{static_cast<int>(h), POLLIN, 0};
    if (::poll(&pfd, 1, 0) <= 0 || !(pfd.revents & POLLIN)) return 0;
    ssize_t n = ::read(static_cast<int>(h), buffer, static_cast<size_t>(capacity));
    return n > 0 ? static_cast<int>(n) : 0;
}
