// The receiver finder: the framings, the listening and the verdicts.
#include "detect/detect.h"

#include <cstdio>
#include <cstring>

#include "modes/crc.h"

const unsigned long kDetectSpeedOrder[kDetectSpeeds] = {3000000, 115200, 921600, 1000000, 230400};

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// A Mode S frame of 7 or 14 bytes: counted, and for DF11/17/18 its parity
// checked (DF11's low 7 bits carry the interrogator's code).
void judge(const unsigned char* msg, int len, std::uint32_t* frames, std::uint32_t* checked, std::uint32_t* good) {
    ++*frames;
    int df = msg[0] >> 3;
    bool checkable = (len == 7 && df == 11) || (len == 14 && (df == 17 || df == 18));
    if (!checkable) return;
    ++*checked;
    std::uint32_t parity = static_cast<std::uint32_t>(msg[len - 3]) << 16 | msg[len - 2] << 8 | msg[len - 1];
    std::uint32_t syndrome = modesCrc(msg, len - 3) ^ parity;
    if ((syndrome & (df == 11 ? 0xFFFF80u : 0xFFFFFFu)) == 0) ++*good;
}

int frameBodyLength(unsigned char type) {
    switch (type) {
        case '1': return 6 + 1 + 2;
        case '2': return 6 + 1 + 7;
        case '3': return 6 + 1 + 14;
        default: return 0;
    }
}

void binaryByte(DetectScanner& s, unsigned char b) {
    if (s.escape) {
        s.escape = false;
        if (b != 0x1A) {
            s.frameNeed = frameBodyLength(b);
            s.framePos = 0;
            s.frame[0] = b;
            return;
        }
    } else if (b == 0x1A) {
        s.escape = true;
        return;
    }
    if (s.frameNeed == 0) return;
    s.frame[1 + s.framePos++] = b;
    if (s.framePos < s.frameNeed) return;
    int payload = s.frameNeed - 7;
    if (s.frame[0] != '1')
        judge(s.frame + 8, payload, &s.counts.binaryFrames, &s.counts.binaryChecked, &s.counts.binaryGood);
    s.frameNeed = 0;
}

void finishLine(DetectScanner& s) {
    const char* t = s.line;
    int n = s.linePos;
    if (n > 0 && t[0] == '$') {
        // NMEA: "$...*hh", hh the XOR of everything between.
        const char* star = static_cast<const char*>(std::memchr(t, '*', static_cast<std::size_t>(n)));
        if (star && star + 3 <= t + n) {
            unsigned x = 0;
            for (const char* p = t + 1; p < star; ++p) x ^= static_cast<unsigned char>(*p);
            int hi = hexValue(star[1]), lo = hexValue(star[2]);
            if (hi >= 0 && lo >= 0 && static_cast<unsigned>(hi << 4 | lo) == x) ++s.counts.nmeaLines;
        }
        return;
    }
    int at = n > 0 && t[0] == '@' ? 13 : n > 0 && t[0] == '*' ? 1 : 0;
    if (at == 0) return;
    int end = n;
    if (end > at && t[end - 1] == ';') --end;
    int digits = end - at;
    if (digits != 14 && digits != 28) return;
    for (int i = 1; i < at; ++i)
        if (hexValue(t[i]) < 0) return;
    unsigned char msg[14];
    for (int i = 0; i < digits; i += 2) {
        int hi = hexValue(t[at + i]), lo = hexValue(t[at + i + 1]);
        if (hi < 0 || lo < 0) return;
        msg[i / 2] = static_cast<unsigned char>(hi << 4 | lo);
    }
    judge(msg, digits / 2, &s.counts.textFrames, &s.counts.textChecked, &s.counts.textGood);
}

void textByte(DetectScanner& s, unsigned char b) {
    if (b == '\r' || b == '\n') {
        if (!s.lineLost) finishLine(s);
        s.linePos = 0;
        s.lineLost = false;
        return;
    }
    if (s.linePos >= static_cast<int>(sizeof s.line)) {
        s.lineLost = true;
        return;
    }
    s.line[s.linePos++] = static_cast<char>(b);
}

// 4 210 and 3 000 000: thousands apart by a blank, as the owner writes them.
void grouped(unsigned long value, char* out, int capacity) {
    char digits[24];
    int n = std::snprintf(digits, sizeof digits, "%lu", value);
    int g = 0;
    for (int i = 0; i < n && g < capacity - 2; ++i) {
        if (i > 0 && (n - i) % 3 == 0) out[g++] = ' ';
        out[g++] = digits[i];
    }
    out[g] = '\0';
}

}  // namespace

void detectScanReset(DetectScanner& s) { s = DetectScanner{}; }

void detectScanBytes(DetectScanner& s, const unsigned char* bytes, int count) {
    for (int i = 0; i < count; ++i) {
        binaryByte(s, bytes[i]);
        textByte(s, bytes[i]);
    }
    if (count > 0) s.counts.bytes += static_cast<std::uint32_t>(count);
}

void detectPort(DetectPort& port, int listenMs, const std::atomic<int>* cancel) {
    DetectResult& r = port.result;
    r = DetectResult{};
    port.state.store(kDetectListening);
    auto finish = [&](int verdict) {
        r.verdict = verdict;
        port.state.store(kDetectDone, std::memory_order_release);
    };
    if (port.ours) return finish(kDetectOurs);
    int busy = 0;
    SerialSettings before;
    SerialHandle h = serialOpen(port.info.name, kDetectSpeedOrder[0], &busy, &before);
    if (h == kNoSerial) return finish(busy ? kDetectBusy : kDetectNoOpen);
    DetectScanner scan;
    unsigned char block[4096];
    std::uint32_t anyBytes = 0;
    int verdict = kDetectNoise;
    for (int i = 0; i < kDetectSpeeds && !(cancel && cancel->load()); ++i) {
        unsigned long baud = kDetectSpeedOrder[i];
        if (i > 0 && !serialSetSpeed(h, baud)) continue;
        port.tryingBaud.store(baud);
        detectScanReset(scan);
        std::int64_t start = monotonicMs(), end = start + listenMs;
        while (monotonicMs() < end && !(cancel && cancel->load())) {
            int n = serialRead(h, block, 1);
            if (n < 0) break;
            if (n == 0) continue;
            n += serialReadQueued(h, block + n, static_cast<int>(sizeof block) - n);
            detectScanBytes(scan, block, n);
        }
        const DetectCounts& c = scan.counts;
        anyBytes += c.bytes;
        bool binary = c.binaryGood >= static_cast<std::uint32_t>(kDetectLeastFrames);
        bool text = c.textGood >= static_cast<std::uint32_t>(kDetectLeastFrames);
        if (binary || text) {
            r.binary = binary && (!text || c.binaryGood >= c.textGood);
            r.baud = baud;
            double seconds = static_cast<double>(monotonicMs() - start) / 1000.0;
            std::uint32_t frames = r.binary ? c.binaryFrames : c.textFrames;
            std::uint32_t checked = r.binary ? c.binaryChecked : c.textChecked;
            std::uint32_t good = r.binary ? c.binaryGood : c.textGood;
            r.framesPerSecond = seconds > 0 ? frames / seconds : 0;
            r.goodPercent = checked ? 100.0 * good / checked : 0;
            verdict = kDetectReceiver;
            break;
        }
        if (c.nmeaLines >= 2) {
            r.baud = baud;
            verdict = kDetectNmea;
            break;
        }
        if (i + 1 == kDetectSilentSpeeds && anyBytes == 0) break;
    }
    if (verdict == kDetectNoise && anyBytes == 0) verdict = kDetectSilent;
    serialPutSettings(h, &before);
    serialClose(h);
    finish(verdict);
}

namespace {
void runPorts(void* argument) {
    DetectRun& run = *static_cast<DetectRun*>(argument);
    for (;;) {
        int i = run.next.fetch_add(1);
        if (i >= run.count) return;
        detectPort(run.ports[i], run.listenMs, &run.cancel);
    }
}
}  // namespace

void detectStart(DetectRun& run) {
    run.next.store(0);
    run.cancel.store(0);
    for (int i = 0; i < run.count; ++i) run.ports[i].state.store(kDetectWaiting);
    for (int t = 0; t < kDetectParallel; ++t) run.threads[t] = t < run.count ? threadStart(runPorts, &run) : kNoThread;
}

int detectDone(const DetectRun& run) {
    int n = 0;
    for (int i = 0; i < run.count; ++i) n += run.ports[i].state.load(std::memory_order_acquire) == kDetectDone;
    return n;
}

void detectWait(DetectRun& run) {
    for (ThreadHandle& t : run.threads) {
        if (t != kNoThread) threadJoin(t);
        t = kNoThread;
    }
}

int detectChosen(const DetectRun& run) {
    int best = -1;
    for (int i = 0; i < run.count; ++i) {
        const DetectPort& p = run.ports[i];
        if (p.state.load(std::memory_order_acquire) != kDetectDone || p.result.verdict != kDetectReceiver) continue;
        if (best < 0 || p.result.framesPerSecond > run.ports[best].result.framesPerSecond) best = i;
    }
    return best;
}

void detectResultText(const DetectPort& port, const char* shown, char* out, int capacity) {
    if (capacity <= 0) return;
    const DetectResult& r = port.result;
    std::size_t cap = static_cast<std::size_t>(capacity);
    if (port.state.load(std::memory_order_acquire) != kDetectDone) {
        char baud[24];
        grouped(port.tryingBaud.load(), baud, sizeof baud);
        std::snprintf(out, cap, "%s: %s", shown, port.state.load() == kDetectWaiting ? "ждет" : "слушаю");
        if (port.state.load() == kDetectListening && port.tryingBaud.load())
            std::snprintf(out, cap, "%s: слушаю на %s бод", shown, baud);
        return;
    }
    switch (r.verdict) {
        case kDetectReceiver: {
            char baud[24], rate[24], percent[16];
            grouped(r.baud, baud, sizeof baud);
            grouped(static_cast<unsigned long>(r.framesPerSecond + 0.5), rate, sizeof rate);
            std::snprintf(percent, sizeof percent, "%.1f", r.goodPercent);
            if (char* point = std::strchr(percent, '.')) *point = ',';
            std::snprintf(out, cap, "%s: %s бод, %s, %s кадров/с, CRC верны %s %%", shown, baud,
                          r.binary ? "двоичный поток" : "текстовый поток", rate, percent);
            return;
        }
        case kDetectBusy: std::snprintf(out, cap, "%s: занят другой программой", shown); return;
        case kDetectOurs: std::snprintf(out, cap, "%s: уже читается этой программой", shown); return;
        case kDetectNoOpen: std::snprintf(out, cap, "%s: не открывается", shown); return;
        case kDetectNmea: std::snprintf(out, cap, "%s: строки NMEA (GPS), не приемник", shown); return;
        case kDetectSilent: std::snprintf(out, cap, "%s: ничего похожего на приемник (молчит)", shown); return;
        default: std::snprintf(out, cap, "%s: ничего похожего на приемник", shown); return;
    }
}
