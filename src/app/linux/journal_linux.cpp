// The service's journal: lines on stdout (systemd hands them to the journal),
// written by a thread of its own. Producers copy a whole line into a bounded
// queue or count it as lost; they never wait for the writer, which may block on
// a full pipe as long as it likes.
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "app/linux/shell_linux.h"

namespace {

// About 8,000 record lines: several seconds of a busy receiver while a slow
// journal catches up. When a line does not fit it is lost and counted.
constexpr std::size_t kQueueSize = 1 << 20;
constexpr std::size_t kLineMax = 4096;

struct Journal {
    std::mutex lock;
    std::condition_variable wake;
    char bytes[kQueueSize];
    std::size_t head = 0, used = 0;   // under lock
    unsigned long lost = 0;           // under lock
    bool running = false, stopping = false;
    pthread_t writer;
};
Journal journal;

void writeAll(const char* data, std::size_t count) {
    while (count > 0) {
        ssize_t n = ::write(STDOUT_FILENO, data, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // stdout gone: nothing more can be told
        data += n;
        count -= static_cast<std::size_t>(n);
    }
}

void* writerLoop(void*) {
    static char chunk[64 * 1024];
    std::unique_lock<std::mutex> g(journal.lock);
    for (;;) {
        journal.wake.wait(g, [] { return journal.used > 0 || journal.lost > 0 || journal.stopping; });
        if (journal.used == 0 && journal.lost == 0 && journal.stopping) return nullptr;
        std::size_t n = journal.used < sizeof chunk ? journal.used : sizeof chunk;
        // At most two copies (the ring may wrap), so producers wait microseconds.
        std::size_t first = kQueueSize - journal.head < n ? kQueueSize - journal.head : n;
        std::memcpy(chunk, journal.bytes + journal.head, first);
        std::memcpy(chunk + first, journal.bytes, n - first);
        journal.head = (journal.head + n) % kQueueSize;
        journal.used -= n;
        unsigned long lost = journal.used == 0 ? journal.lost : 0;
        if (lost) journal.lost = 0;
        g.unlock();
        writeAll(chunk, n);
        if (lost) {
            char note[96];
            int len = std::snprintf(note, sizeof note, "journal: %lu lines lost (the journal did not keep up)\n", lost);
            writeAll(note, static_cast<std::size_t>(len));
        }
        g.lock();
    }
}

// Appends one converted line; `limit` is the fill above which it is refused.
void put(const char* text, std::size_t length, std::size_t limit) {
    char line[kLineMax];
    std::size_t n = cp1251ToUtf8(text, length, line, sizeof line - 1, 1);
    line[n++] = '\n';
    std::lock_guard<std::mutex> g(journal.lock);
    if (!journal.running) return;
    if (journal.used + n > limit) {
        ++journal.lost;
        return;
    }
    std::size_t tail = (journal.head + journal.used) % kQueueSize;
    for (std::size_t i = 0; i < n; ++i) journal.bytes[(tail + i) % kQueueSize] = line[i];
    journal.used += n;
    journal.wake.notify_one();
}

}  // namespace

void journalStart() {
    std::lock_guard<std::mutex> g(journal.lock);
    if (journal.running) return;
    journal.stopping = false;
    journal.running = pthread_create(&journal.writer, nullptr, writerLoop, nullptr) == 0;
}

void journalStop() {
    {
        std::lock_guard<std::mutex> g(journal.lock);
        if (!journal.running) return;
        journal.stopping = true;
        journal.wake.notify_one();
    }
    pthread_join(journal.writer, nullptr);
    std::lock_guard<std::mutex> g(journal.lock);
    journal.running = false;
}

void journalLine(const char* format, ...) {
    char text[kLineMax];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n < 0) return;
    std::size_t length = static_cast<std::size_t>(n) < sizeof text ? static_cast<std::size_t>(n) : sizeof text - 1;
    put(text, length, kQueueSize);
}

void journalRecordLine(const char* line, int length) {
    if (length <= 0) return;
    put(line, static_cast<std::size_t>(length), kQueueSize / 2);
}
