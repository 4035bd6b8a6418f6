// The relay server with loopback clients: the status line and connect.list, 100
// clients byte for byte and the 101st refused, entries freed and reused, a client
// that stops reading dropped while the others keep every byte, windows in order
// and whole, a client joining mid-stream, a full ring, the stop.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "core/app_state.h"
#include "app/headless/headless_view.h"
#include "display/display.h"
#include "input/receiver.h"
#include "net/relay_fanout.h"
#include "net/relay_server.h"
#include "station/station.h"
#include "station/snapshot.h"
#include "net_test_peer.h"
#include "test_support.h"

namespace {

int relayingCount() {
    int n = 0;
    for (ClientEntry& e : app.clients.entries) n += e.relaying.load();
    return n;
}

std::string serverLine() {
    char line[2048];
    headlessStatusLine(0, line, sizeof line);
    return line;
}

std::vector<std::string> listLines() {
    std::string all = readFile("connect.list");
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < all.size()) {
        std::size_t end = all.find("\r\n", at);
        if (end == std::string::npos) {
            lines.push_back("<no CR LF>" + all.substr(at));
            break;
        }
        lines.push_back(all.substr(at, end - at));
        at = end + 2;
    }
    return lines;
}

// A repeatable byte pattern of blocks, so every client's copy can be checked.
std::string block(int index, int size) {
    std::string b(static_cast<std::size_t>(size), '\0');
    for (int i = 0; i < size; ++i) b[i] = static_cast<char>((index * 131 + i * 7) & 0xFF);
    return b;
}

class RelayServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        resetApp();
        markMainThread();
        app.serverPort = peer::freePort();
        startRelayServer(nullptr);
        ASSERT_NE(kNoSocket, app.listenSocket.load());
    }
    void TearDown() override {
        stopRelayServer(nullptr);
        for (int fd : clients_) ::close(fd);
    }
    // Connects n clients and pumps until the server has them all.
    void connect(int n) {
        int target = relayingCount() + n;
        for (int i = 0; i < n; ++i) {
            int fd = peer::connectLocal(app.serverPort.load());
            ASSERT_GE(fd, 0);
            clients_.push_back(fd);
            pumpSocketEvents(0, peer::dispatch);
        }
        ASSERT_TRUE(peer::pumpUntil([&] { return relayingCount() == target; }));
    }
    std::string prefix() {
        char p[64];
        std::snprintf(p, sizeof p, "Сервер: %5d ", static_cast<int>(app.serverPort.load()));
        return p;
    }

    ScratchDir dir_;
    std::vector<int> clients_;
};

TEST_F(RelayServerTest, StatusLineAndConnectListFollowTheClients) {
    EXPECT_EQ(prefix(), serverLine());
    connect(2);
    EXPECT_EQ(prefix() + "127.0.0.1 127.0.0.1 ", serverLine());

    auto lines = listLines();
    ASSERT_EQ(3u, lines.size());  // the start, then one per accept
    std::regex stamp(R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d )");
    EXPECT_TRUE(std::regex_match(lines[0], stamp)) << lines[0];
    EXPECT_EQ(lines[1].substr(20), "|127.0.0.1|");
    EXPECT_EQ(lines[2].substr(20), "|127.0.0.1|127.0.0.1|");
    EXPECT_TRUE(std::regex_match(lines[2].substr(0, 20), stamp));
    // Refreshes for anything else (the feed link's attempts) write no line.
    for (int i = 0; i < 5; ++i) refreshStatusLines();
    EXPECT_EQ(3u, listLines().size());

    // The first client leaves: its entry is freed and the next client takes it.
    ::close(clients_[0]);
    clients_.erase(clients_.begin());
    ASSERT_TRUE(peer::pumpUntil([] { return relayingCount() == 1; }));
    EXPECT_EQ(kNoSocket, app.clients.entries[0].socket.load());
    EXPECT_EQ(prefix() + "127.0.0.1 ", serverLine());
    EXPECT_EQ("|127.0.0.1|", listLines().back().substr(20));
    connect(1);
    EXPECT_EQ(1, app.clients.entries[0].relaying.load());
}

TEST_F(RelayServerTest, HundredClientsGetEveryByteAndTheHundredAndFirstIsRefused) {
    connect(kMaxClients);
    int extra = peer::connectLocal(app.serverPort.load());
    ASSERT_GE(extra, 0);
    // Accepted and closed at once, without a status refresh.
    std::size_t linesBefore = listLines().size();
    std::string nothing;
    EXPECT_TRUE(peer::pumpUntil([&] { return peer::readsToEnd(extra, &nothing, 20); }));
    EXPECT_TRUE(nothing.empty());
    ::close(extra);
    EXPECT_EQ(linesBefore, listLines().size());
    EXPECT_EQ(kMaxClients, relayingCount());

    std::string expectedLine = "|";
    for (int i = 0; i < kMaxClients; ++i) expectedLine += "127.0.0.1|";
    EXPECT_EQ(expectedLine, listLines().back().substr(20));
    EXPECT_EQ(prefix().size() + kMaxClients * 10, serverLine().size());

    // A client that sends is read and not disconnected.
    peer::sendText(clients_[5], "ignored by the server");

    std::string stream;
    for (int b = 0; b < 40; ++b) {
        std::string bytes = block(b, 1 + (b * 97) % 1500);
        relayToClients(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
        stream += bytes;
        pumpSocketEvents(0, peer::dispatch);
    }
    for (int fd : clients_) EXPECT_EQ(stream, peer::readBytes(fd, stream.size()));
    EXPECT_EQ(kMaxClients, relayingCount());
}

TEST_F(RelayServerTest, StalledClientIsDroppedWhileTheOthersKeepEveryByte) {
    connect(4);
    int stalled = clients_[1];
    std::atomic<bool> done{false};
    std::vector<std::string> got(4);
    std::atomic<long> counted[4] = {0, 0, 0, 0};
    std::vector<std::thread> readers;
    for (int i = 0; i < 4; ++i) {
        if (i == 1) continue;
        readers.emplace_back([&, i] {
            char buffer[65536];
            for (;;) {
                ssize_t n = ::recv(clients_[i], buffer, sizeof buffer, 0);
                if (n <= 0) return;
                got[i].append(buffer, static_cast<std::size_t>(n));
                counted[i] += n;
            }
        });
    }
    // The source thread relays 16 MB in 4 kB blocks while this thread is main. It
    // keeps at most 64 kB ahead of the reading clients, as a receiver's pace would,
    // so only the client that stopped reading can fall behind.
    std::string stream;
    const int kBlocks = 4096;
    for (int b = 0; b < kBlocks; ++b) stream += block(b, 4096);
    std::thread source([&] {
        for (int b = 0; b < kBlocks; ++b) {
            relayToClients(reinterpret_cast<const unsigned char*>(stream.data()) + b * 4096, 4096);
            long sent = static_cast<long>(b + 1) * 4096;
            waitFor([&] { return counted[0] >= sent - 65536 && counted[2] >= sent - 65536 && counted[3] >= sent - 65536; },
                    10000);
        }
        done = true;
    });
    ASSERT_TRUE(peer::pumpUntil([&] { return done.load() && app.clients.entries[1].socket.load() == kNoSocket; },
                                30000));
    source.join();
    EXPECT_EQ(3, relayingCount());
    EXPECT_EQ(prefix() + "127.0.0.1 127.0.0.1 127.0.0.1 ", serverLine());
    // What the status page counts: the drop, and each reader's bytes.
    ASSERT_TRUE(waitFor([&] { return app.relayRing.sent.load() == app.relayRing.queued.load(); }));
    StationSnapshot snap;
    takeStationSnapshot(&snap);
    EXPECT_EQ(1u, snap.relayDrops);
    ASSERT_EQ(3, snap.relayClients);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(stream.size(), snap.clients[i].bytes) << i;

    // The dropped client got a clean prefix of the stream, then the end; the bytes
    // counted are every byte the clients got, the short send that dropped it too.
    std::string partial;
    EXPECT_TRUE(peer::readsToEnd(stalled, &partial, 10000));
    EXPECT_LT(partial.size(), stream.size());
    EXPECT_EQ(0, stream.compare(0, partial.size(), partial));
    EXPECT_EQ(3 * stream.size() + partial.size(), snap.relayBytes);

    stopRelayServer(nullptr);
    for (auto& t : readers) t.join();
    for (int i = 0; i < 4; ++i) {
        if (i == 1) continue;
        EXPECT_EQ(stream.size(), got[i].size()) << "client " << i;
        EXPECT_TRUE(stream == got[i]) << "client " << i;
    }
}

TEST_F(RelayServerTest, WindowsKeepOrderAcrossTheirBoundsAndAClientJoiningMidStreamGetsAWholeTail) {
    // Appends from 1 byte to more than a window's limit, 1.5 MB in all: windows
    // close at their size and at their time, and the ring wraps several times.
    std::string stream;
    std::vector<int> sizes;
    for (int i = 0; stream.size() < (3u << 19); ++i) {
        int size = i % 7 == 0 ? kRelayWindowLimit + 1 + i % 5000 : 1 + (i * 37) % 300;
        sizes.push_back(size);
        stream += block(i, size);
    }
    std::vector<std::string> got(4);
    std::atomic<std::size_t> counted[4] = {0, 0, 0, 0};
    std::vector<std::thread> readers;
    auto reader = [&](int i) {
        readers.emplace_back([&, i, fd = clients_[i]] {
            char buffer[65536];
            for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) {
                got[i].append(buffer, static_cast<std::size_t>(n));
                counted[i] += static_cast<std::size_t>(n);
            }
        });
    };
    connect(3);
    for (int i = 0; i < 3; ++i) reader(i);
    std::size_t at = 0, joinedAt = 0;
    for (std::size_t k = 0; k < sizes.size(); ++k) {
        if (k == sizes.size() / 2) {
            connect(1);
            reader(3);
            joinedAt = at;
        }
        relayToClients(reinterpret_cast<const unsigned char*>(stream.data()) + at, sizes[k]);
        at += static_cast<std::size_t>(sizes[k]);
        // Kept within the ring, as a receiver's pace would keep it.
        waitFor([&] { return at - std::min({counted[0].load(), counted[1].load(), counted[2].load()}) < kRelayRingSize / 2; }, 10000);
    }
    ASSERT_TRUE(waitFor([&] { return counted[0] == at && counted[1] == at && counted[2] == at; }, 10000));
    stopRelayServer(nullptr);
    for (auto& t : readers) t.join();
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(got[i] == stream) << "client " << i << ": " << got[i].size();
    // The latecomer: every byte from its join on, and before it only what was still
    // in an open window.
    ASSERT_GE(got[3].size(), stream.size() - joinedAt);
    EXPECT_TRUE(stream.compare(stream.size() - got[3].size(), got[3].size(), got[3]) == 0);
    EXPECT_LT(app.relayRing.windows.load(), sizes.size());
}

TEST_F(RelayServerTest, ASourceThatOutrunsTheFanOutDropsEveryClientRatherThanLeaveAHole) {
    // A blocking socket in the table holds the fan-out thread inside a send while
    // the source fills the ring.
    connect(1);
    int pair[2];
    ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair));
    ClientEntry& holder = app.clients.entries[kMaxClients - 1];
    holder.socket.store(pair[0]);
    app.clients.joined.fetch_add(1);
    holder.relaying.store(1);
    std::string stream = block(1, 4 * kRelayRingSize);
    for (int at = 0; at < static_cast<int>(stream.size()); at += 1024)
        relayToClients(reinterpret_cast<const unsigned char*>(stream.data()) + at, 1024);
    EXPECT_GT(app.relayRing.overruns.load(), 0u);
    std::thread drain([&] { peer::readsToEnd(pair[1], nullptr, 10000); });
    ASSERT_TRUE(peer::pumpUntil([] { return relayingCount() == 0 && app.clients.entries[0].socket.load() == kNoSocket; }));
    std::string before;
    EXPECT_TRUE(peer::readsToEnd(clients_[0], &before, 5000));
    EXPECT_LT(before.size(), stream.size());
    EXPECT_TRUE(stream.compare(0, before.size(), before) == 0);
    drain.join();
    // The full ring has been passed over before anyone new comes.
    ASSERT_TRUE(waitFor([] { return app.relayRing.overrun.load() == 0 && app.relayRing.sent.load() == app.relayRing.queued.load(); }));

    // The next client gets a clean stream from its join on.
    connect(1);
    const std::string after = block(2, 3000);
    relayToClients(reinterpret_cast<const unsigned char*>(after.data()), static_cast<int>(after.size()));
    EXPECT_EQ(after, peer::readBytes(clients_.back(), after.size()));
    ::close(pair[1]);
}

TEST_F(RelayServerTest, AFlooderIsCutOffAndConnectListStaysBounded) {
    connect(2);
    std::string talk(1024, 'a'), flood(70 * 1024, 'f');
    ASSERT_EQ(::send(clients_[1], talk.data(), talk.size(), 0), static_cast<ssize_t>(talk.size()));
    ASSERT_EQ(::send(clients_[0], flood.data(), flood.size(), 0), static_cast<ssize_t>(flood.size()));
    ASSERT_TRUE(peer::pumpUntil([] { return app.clients.entries[0].socket.load() == kNoSocket; }));
    EXPECT_EQ(1, app.clients.entries[1].relaying.load());  // a little talk is let be
    char notice[256];
    EXPECT_EQ(headlessNotices(notice, sizeof notice), 1);
    EXPECT_STREQ(notice, "Клиент сервера 127.0.0.1 отключен: прислал больше 64 КБ");

    // A full connect.list becomes connect.list.old and a new one begins.
    writeFile("connect.list", std::string(1 << 20, 'x'));
    connect(1);
    EXPECT_EQ(readFile("connect.list.old").size(), 1u << 20);
    EXPECT_EQ(listLines().size(), 1u);
}

TEST_F(RelayServerTest, AcceptErrorStopsAcceptingButKeepsTheClients) {
    connect(1);
    onAcceptEvent(nullptr, kEventAccept | (10053L << 16));
    int late = peer::connectLocal(app.serverPort.load());
    for (int i = 0; i < 20; ++i) pumpSocketEvents(10, peer::dispatch);
    EXPECT_EQ(1, relayingCount());
    const unsigned char bytes[] = {0x1A, '3', 1, 2};
    relayToClients(bytes, 4);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes), 4), peer::readBytes(clients_[0], 4));
    ::close(late);
}

TEST_F(RelayServerTest, LateReadEventOfAFreedClientLeavesTheSocketAlone) {
    // A read event still queued for a client freed meanwhile (a relay drop) names
    // a number the system may have handed out again, here to the feed link: what
    // waits there (the feed server's command) is not the relay's to swallow.
    int pair[2];
    ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair));
    const std::string command = "#SET OUT DATE ORIGINAL\r\n";
    peer::sendText(pair[1], command);
    onClientEvent(nullptr, pair[0], kEventRead);
    ::fcntl(pair[0], F_SETFL, O_NONBLOCK);
    char got[64];
    EXPECT_EQ(static_cast<ssize_t>(command.size()), ::recv(pair[0], got, sizeof got, 0));
    ::close(pair[0]);
    ::close(pair[1]);
}

TEST_F(RelayServerTest, StopClosesEveryClientAndTheListener) {
    connect(3);
    stopRelayServer(nullptr);
    EXPECT_EQ(kNoSocket, app.listenSocket.load());
    EXPECT_EQ(0, relayingCount());
    for (int fd : clients_) EXPECT_TRUE(peer::readsToEnd(fd, nullptr));
}

// A Beast frame with its 0x1A bytes doubled.
std::string beastFrame(char type, const std::string& stamp, unsigned char level, const std::string& msg) {
    std::string out = "\x1a";
    out += type;
    for (char c : stamp + std::string(1, static_cast<char>(level)) + msg) {
        out += c;
        if (c == '\x1a') out += c;
    }
    return out;
}
std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// The other-format port: a binary receiver's frames leave it as the '@' lines the
// feed gets (whatever the threshold), a text receiver's '@' and '*' lines as Beast
// frames (level 0, every 0x1A doubled; '*' with a zero timestamp), and a frame
// turned into a line and back is the frame again. The main port's client gets the
// receiver's bytes unchanged beside it, and both ports' clients share the table.
TEST_F(RelayServerTest, TheOtherFormatPortConvertsExactlyBothWays) {
    stopRelayServer(nullptr);
    app.otherPort = peer::freePort();
    startRelayServer(nullptr);
    ASSERT_NE(kNoSocket, app.otherListenSocket.load());
    EXPECT_EQ(prefix() + "+" + std::to_string(app.otherPort.load()) + " ", serverLine());
    connect(1);
    int other = peer::connectLocal(app.otherPort.load());
    ASSERT_GE(other, 0);
    clients_.push_back(other);
    ASSERT_TRUE(peer::pumpUntil([] { return relayingCount() == 2 && app.clients.joinedOther.load() == 1; }));
    EXPECT_EQ(prefix() + "+" + std::to_string(app.otherPort.load()) + " 127.0.0.1 127.0.0.1 ", serverLine());

    const std::string modeAC = beastFrame('1', std::string("\x00\x1a\x02\x03\x1a\x05", 6), 0x1a, "\x12\x34");
    const std::string shortFrame = beastFrame('2', "\x7f\x01\x02\x03\x04\x05", 0x90, "\x5d\x48\x40\xd6\x20\x2c\xc3");
    const std::string longMsg = std::string("\x8d\x48\x40\xd6\x20\x2c\xc3\x71\xc3\x2c\xe0\x57\x60\x1a", 14);
    const std::string longFrame = beastFrame('3', std::string("\x00\x00\x00\x00\x00\x1a", 6), 0x05, longMsg);
    const std::string beast = modeAC + shortFrame + longFrame;
    const std::string lines = "@001A02031A051234;\r\n@7F01020304055D4840D6202CC3;\r\n@00000000001A" + hex(longMsg) +
                              ";\r\n";
    app.binaryMode = 1;
    app.levelThreshold = 255;
    beginReceiverStream();
    handOnReceiverBytes(kSourcePort, reinterpret_cast<const unsigned char*>(beast.data()), static_cast<int>(beast.size()));
    EXPECT_EQ(peer::readBytes(clients_[0], beast.size()), beast);
    EXPECT_EQ(peer::readBytes(other, lines.size()), lines);

    // Back from the lines, with a '*' line and lines that hold no frame.
    app.binaryMode = 0;
    beginReceiverStream();
    const std::string text = "\r\n" + lines + "*8D4840D6202CC371C32CE0576098;\r\nMSG,3,1\r\n*12G4;\r\n@0012;\r\n";
    handOnReceiverBytes(kSourcePort, reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    EXPECT_EQ(peer::readBytes(clients_[0], text.size()), text);
    const std::string back = beastFrame('1', std::string("\x00\x1a\x02\x03\x1a\x05", 6), 0, "\x12\x34") +
                             beastFrame('2', "\x7f\x01\x02\x03\x04\x05", 0, "\x5d\x48\x40\xd6\x20\x2c\xc3") +
                             beastFrame('3', std::string("\x00\x00\x00\x00\x00\x1a", 6), 0, longMsg) +
                             beastFrame('3', std::string(6, '\0'), 0, longMsg.substr(0, 13) + "\x98");
    EXPECT_EQ(hex(peer::readBytes(other, back.size())), hex(back));
    EXPECT_EQ(peer::readBytes(other, 1, 200), "");  // and nothing for the rest
}

}  // namespace
