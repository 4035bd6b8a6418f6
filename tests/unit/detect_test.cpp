// The receiver finder against simulated receivers on openpty() pairs. Both ends
// of such a pair share one termios, so the simulator sees the speed the finder
// sets on its end and sends its receiver's stream only at its own speed, random
// bytes at the same rate otherwise, as a UART at the wrong speed would deliver.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <random>
#include <string>
#include <thread>

#include "detect/detect.h"
#include "test_support.h"

namespace {

const char* const kKnownFrames[] = {"8D4840D6202CC371C32CE0576098", "8D40621D58C382D690C8AC2863A7",
                                    "8D40621D58C386435CC412692AD6", "8D485020994409940838175B284F",
                                    "8DA05F219B06B6AF189400CBC33F", "8D406B902015A678D4D220AA4BDA"};

std::string unhex(const std::string& hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

// The real capture when it is there, else the well-known frames as long binary frames.
std::string binaryStream() {
    std::string dir = sharedDataDir();
    if (!dir.empty()) return readFile(dir + "/beast-capture-60s.bin");
    std::string s;
    for (int k = 0; k < 50; ++k)
        for (const char* f : kKnownFrames) s += std::string("\x1a\x33", 2) + std::string(6, '\x01') + '\x80' + unhex(f);
    return s;
}

// The capture's Mode S frames as '@' lines (its timestamps, its payloads).
std::string textStream() {
    std::string bin = binaryStream(), s, frame;
    static const char kHex[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i + 1 < bin.size(); ++i) {
        if (bin[i] != '\x1a' || (bin[i + 1] != '2' && bin[i + 1] != '3')) continue;
        std::size_t need = bin[i + 1] == '2' ? 14 : 21;
        frame.clear();
        std::size_t j = i + 2;
        for (; j < bin.size() && frame.size() < need; ++j) {
            if (bin[j] == '\x1a' && ++j >= bin.size()) break;
            frame += bin[j];
        }
        if (frame.size() < need) break;
        s += '@';
        for (std::size_t k = 0; k < need; ++k) {
            if (k == 6) continue;  // the signal level: text lines have none
            s += kHex[static_cast<unsigned char>(frame[k]) >> 4];
            s += kHex[frame[k] & 15];
        }
        s += ";\n";
        i = j - 1;
    }
    return s;
}

std::string nmeaStream() {
    std::string s;
    for (const char* body : {"GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,", "GPRMC,123519,A,4807.038,N"}) {
        unsigned x = 0;
        for (const char* p = body; *p; ++p) x ^= static_cast<unsigned char>(*p);
        char line[160];
        std::snprintf(line, sizeof line, "$%s*%02X\r\n", body, x);
        s += line;
    }
    return s;
}

// One simulated device on a pty pair: `stream` at `baud` (0: at any speed, as a
// USB device that ignores it; an empty stream: random bytes only), 20 kB/s.
struct SimPort {
    int master = -1, slave = -1;
    std::string path, stream;
    unsigned long baud = 0;
    std::atomic<bool> stop{false};
    std::atomic<std::size_t> written{0};  // bytes the finder wrote to the device
    std::thread thread;

    SimPort(std::string s, unsigned long b) : stream(std::move(s)), baud(b) {
        char name[256];
        EXPECT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
        path = name;
        termios t;
        tcgetattr(slave, &t);
        cfmakeraw(&t);
        tcsetattr(slave, TCSANOW, &t);
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        thread = std::thread([this] { run(); });
    }
    ~SimPort() {
        stop = true;
        thread.join();
        close(master);
        close(slave);
    }
    void run() {
        std::mt19937 random(static_cast<unsigned>(master));
        std::size_t at = 0;
        char chunk[100], in[256];
        while (!stop.load()) {
            termios t;
            tcgetattr(master, &t);
            bool right = baud == 0 || cfgetospeed(&t) == (baud == 3000000 ? B3000000 : baud == 921600 ? B921600
                                                                         : baud == 230400 ? B230400 : B115200);
            for (char& c : chunk) {
                if (right && !stream.empty()) {
                    c = stream[at];
                    at = (at + 1) % stream.size();
                } else {
                    c = static_cast<char>(random());
                }
            }
            if (write(master, chunk, sizeof chunk) < 0) { /* nobody reads: dropped, as a line would */ }
            ssize_t n = read(master, in, sizeof in);
            if (n > 0) written += static_cast<std::size_t>(n);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
};

TEST(Detect, FindsBinaryAndTextReceiversAndTellsTheRestApartWithoutWriting) {
    SimPort binary(binaryStream(), 921600), text(textStream(), 230400), gps(nmeaStream(), 0),
        noise(std::string(), 0), held(binaryStream(), 3000000);
    int busy = 0;
    SerialHandle other = serialOpen(held.path.c_str(), 3000000, &busy);  // another program has it
    ASSERT_NE(other, kNoSerial);
    static DetectRun run;
    SimPort* sims[] = {&binary, &text, &gps, &noise, &held};
    run.count = 5;
    for (int i = 0; i < 5; ++i) std::snprintf(run.ports[i].info.name, kPortTextSize, "%s", sims[i]->path.c_str());
    std::int64_t start = monotonicMs();
    detectStart(run);
    ASSERT_TRUE(waitFor([] { return detectDone(run) == 5; }, 15000));
    detectWait(run);
    std::int64_t took = monotonicMs() - start;
    serialClose(other);

    const DetectResult& b = run.ports[0].result;
    EXPECT_EQ(b.verdict, kDetectReceiver);
    EXPECT_EQ(b.baud, 921600u);
    EXPECT_EQ(b.binary, 1);
    EXPECT_GT(b.framesPerSecond, 100);
    EXPECT_GT(b.goodPercent, 90);
    const DetectResult& t = run.ports[1].result;
    EXPECT_EQ(t.verdict, kDetectReceiver);
    EXPECT_EQ(t.baud, 230400u);
    EXPECT_EQ(t.binary, 0);
    EXPECT_EQ(run.ports[2].result.verdict, kDetectNmea);
    EXPECT_EQ(run.ports[3].result.verdict, kDetectNoise);
    EXPECT_EQ(run.ports[4].result.verdict, kDetectBusy);
    EXPECT_EQ(detectChosen(run), 0);  // the busier of the two
    for (SimPort* s : sims) EXPECT_EQ(s->written.load(), 0u) << s->path;
    // The ports in parallel: the run takes what its slowest port takes, five listens.
    EXPECT_LT(took, (kDetectSpeeds + 2) * kDetectListenMs);

    char line[256];
    detectResultText(run.ports[0], "COM7", line, sizeof line);
    EXPECT_NE(std::strstr(line, "COM7: 921 600 бод, двоичный поток, "), nullptr) << line;
    EXPECT_NE(std::strstr(line, " кадров/с, CRC верны "), nullptr) << line;
    detectResultText(run.ports[4], "COM3", line, sizeof line);
    EXPECT_STREQ(line, "COM3: занят другой программой");
    detectResultText(run.ports[3], "COM4", line, sizeof line);
    EXPECT_STREQ(line, "COM4: ничего похожего на приемник");
}

TEST(Detect, ParityDecidesNotTheFraming) {
    DetectScanner s;
    std::string good, bad;
    for (int k = 0; k < 10; ++k) {
        good += std::string("*") + kKnownFrames[k % 6] + ";\r\n";
        std::string f = kKnownFrames[k % 6];
        f[10] = f[10] == '0' ? '1' : '0';  // one payload digit wrong
        bad += "*" + f + ";\r\n";
    }
    detectScanBytes(s, reinterpret_cast<const unsigned char*>(bad.data()), static_cast<int>(bad.size()));
    EXPECT_EQ(s.counts.textFrames, 10u);
    EXPECT_EQ(s.counts.textGood, 0u);
    detectScanBytes(s, reinterpret_cast<const unsigned char*>(good.data()), static_cast<int>(good.size()));
    EXPECT_EQ(s.counts.textGood, 10u);
    EXPECT_EQ(s.counts.binaryFrames, 0u);
}

}  // namespace

// Windows names a port's adapter by its device instance ID; the identity kept
// in initid.ini must be the adapter's own, never the socket it is plugged into.
TEST(Detect, UsbIdentityFromWindowsInstanceIds) {
    char out[64];
    auto identity = [&](const char* id) {
        usbIdentityFromInstanceId(id, out, sizeof out);
        return std::string(out);
    };
    EXPECT_EQ(identity("USB\\VID_0403&PID_6001\\A50285BI"), "usb 0403:6001 A50285BI");
    EXPECT_EQ(identity("USB\\VID_067B&PID_2303\\5&2B3F1C0A&0&2"), "usb 067b:2303");  // no serial: made up from the socket
    EXPECT_EQ(identity("USB\\VID_2341&PID_0043&MI_00\\6&1A2B3C&0&0000"), "usb 2341:0043");
    EXPECT_EQ(identity("FTDIBUS\\VID_0403+PID_6010+FT5XK3RJA\\0000"), "usb 0403:6010 FT5XK3RJA");
    EXPECT_EQ(identity("FTDIBUS\\VID_0403+PID_6010+FT5XK3RJB\\0000"), "usb 0403:6010 FT5XK3RJB");
    for (const char* none : {"ACPI\\PNP0501\\1", "USB\\VID_04G3&PID_6001\\X", "USB\\PID_6001", "", "ROOT\\PORTS\\0000"})
        EXPECT_EQ(identity(none), "") << none;
    EXPECT_EQ(usbIdentityFromInstanceId("USB\\VID_0403&PID_6001\\A50285BI", out, 12), 0);
    EXPECT_STREQ(out, "");
}
