// AsioSocketControl against scripted TCP servers on 127.0.0.1.
//
// Each server accepts one connection and plays its script in a helper thread with plain blocking
// calls; every wait there and every run of the client's loop has a time limit, so a broken control
// makes a test fail instead of hanging it.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <atomic>
#include <cctype>
#include <chrono>
#include <functional>
#include <memory>
#include <random>
#include <thread>

#include "shell/asio_socket.h"

using namespace std::chrono;

namespace {

constexpr seconds kLimit(10);

bool Send(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// Reads until `count` bytes came, the peer closed, or the receive time limit passed.
std::string Receive(int fd, std::size_t count) {
    std::string got;
    char buffer[1 << 16];
    while (got.size() < count) {
        ssize_t n = ::recv(fd, buffer, std::min(sizeof buffer, count - got.size()), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
}

class ScriptedServer {
  public:
    explicit ScriptedServer(std::function<void(int fd)> script)
        : acceptor_(io_, {asio::ip::address_v4::loopback(), 0}) {
        thread_ = std::thread([this, script = std::move(script)] {
            const auto deadline = steady_clock::now() + kLimit;
            pollfd listener{acceptor_.native_handle(), POLLIN, 0};
            while (!stop_ && steady_clock::now() < deadline) {
                if (::poll(&listener, 1, 20) != 1) continue;
                asio::error_code ec;
                asio::ip::tcp::socket peer = acceptor_.accept(ec);
                if (ec) break;
                const int fd = peer.native_handle();
                timeval limit{kLimit.count(), 0};
                ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
                ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
                int one = 1;
                ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                script(fd);
                break;
            }
            finished_ = true;
        });
    }
    ~ScriptedServer() { Join(); }
    int32_t Port() const { return acceptor_.local_endpoint().port(); }
    bool Finished() const { return finished_; }
    // Stops waiting for a client and waits for the script to end.
    void Join() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }

  private:
    asio::io_context io_;
    asio::ip::tcp::acceptor acceptor_;
    std::atomic<bool> stop_{false}, finished_{false};
    std::thread thread_;
};

// A loopback port nobody listens on: connecting to it is refused.
int32_t UnusedPort() {
    asio::io_context io;
    return asio::ip::tcp::acceptor(io, {asio::ip::address_v4::loopback(), 0})
        .local_endpoint()
        .port();
}

// Runs the loop until `done` holds or the limit passes; true when `done` holds.
bool RunUntil(asio::io_context& io, const std::function<bool()>& done, seconds limit = kLimit) {
    const auto deadline = steady_clock::now() + limit;
    while (!done()) {
        if (steady_clock::now() >= deadline) return false;
        io.restart();
        if (io.run_one_for(milliseconds(20)) == 0) std::this_thread::sleep_for(milliseconds(1));
    }
    return true;
}

void RunFor(asio::io_context& io, milliseconds time) {
    io.restart();
    io.run_for(time);
}

// The control under test, with its events recorded in order.
struct Client {
    explicit Client(asio::io_context& io) : sock(std::make_unique<AsioSocketControl>(io)) {
        sock->SetEvents({
            [this] {
                Record("connect");
                if (onConnect) onConnect();
            },
            [this](int32_t total) {
                Record("data");
                if (++dataEvents % takeEvery == 0) Take(total);
                if (onData) onData();
            },
            [this] { Record("close"); },
            [this](int32_t number, const std::string& text) {
                Record("error");
                errorNumber = number;
                errorText = text;
            },
        });
    }

    // Runs a call into the control; an event raised before it returns is a fault.
    void Call(const std::function<void()>& call) {
        struct Flag {
            bool& on;
            ~Flag() { on = false; }
        } flag{inCall = true};
        call();
    }
    void Connect(const std::string& host, int32_t port) {
        Call([&] { sock->Connect(host, port); });
    }
    void Close() {
        Call([&] { sock->Close(); });
        events.push_back("local close");
    }
    // GetData must hand over exactly the `total` bytes the event reported, replacing `into`.
    void Take(std::size_t total) {
        std::string chunk = "stale";
        Call([&] { sock->GetData(chunk); });
        EXPECT_EQ(chunk.size(), total);
        data += chunk;
    }
    void Record(const char* event) {
        if (inCall) ++raisedInsideCall;
        events.push_back(event);
    }
    std::size_t Count(std::string_view event) const {
        return std::count(events.begin(), events.end(), event);
    }
    bool Ended() const { return Count("close") + Count("error") > 0; }

    std::unique_ptr<AsioSocketControl> sock;
    std::vector<std::string> events;
    std::string data;  // everything GetData handed over
    int dataEvents = 0, takeEvery = 1, raisedInsideCall = 0, errorNumber = 0;
    std::string errorText;
    bool inCall = false;
    std::function<void()> onConnect, onData;
};

using Events = std::vector<std::string>;

TEST(AsioSocketControl, ConnectRejectsImpossibleArgumentsAtOnce) {
    struct Case {
        std::string host;
        int32_t port;
        bool throws;
    } cases[] = {
        {"", 110, true},
        {"127.0.0.1", 0, true},
        {"127.0.0.1", -1, true},
        {"127.0.0.1", 65536, true},
        {"127.0.0.1", 70000, true},
        {"127.0.0.1", 1, false},
        {"127.0.0.1", 65535, false},
    };
    asio::io_context io;
    Client client(io);
    for (const Case& c : cases) {
        try {
            client.Connect(c.host, c.port);
            EXPECT_FALSE(c.throws) << "'" << c.host << "' " << c.port;
        } catch (const SocketFailure& failure) {
            EXPECT_TRUE(c.throws) << "'" << c.host << "' " << c.port;
            EXPECT_STRNE(failure.what(), "");
        }
        client.Close();  // drops whatever a valid attempt would have raised
    }
    RunFor(io, milliseconds(200));
    EXPECT_EQ(client.Count("local close"), client.events.size());
    EXPECT_EQ(client.raisedInsideCall, 0);
}

TEST(AsioSocketControl, RefusedPortEndsInOneErrorEventRaisedLater) {
    for (const std::string host : {"127.0.0.1", "localhost"}) {
        asio::io_context io;
        Client client(io);
        const int32_t port = UnusedPort();
        client.Connect(host, port);
        EXPECT_EQ(client.events, Events{}) << host;
        EXPECT_EQ(client.sock->RemoteHost(), host);
        EXPECT_EQ(client.sock->RemotePort(), port);
        ASSERT_TRUE(RunUntil(io, [&] { return client.Ended(); })) << host;
        RunFor(io, milliseconds(100));
        EXPECT_EQ(client.events, Events{"error"}) << host;
        EXPECT_NE(client.errorNumber, 0);
        std::string text = client.errorText;
        for (char& ch : text) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        EXPECT_NE(text.find("refused"), std::string::npos) << client.errorText;
        EXPECT_THROW(client.sock->SendData("QUIT\r\n"), SocketFailure);
    }
}

// The peer sends its chunks (pausing between them) and closes. All data must arrive, in order,
// before exactly one Close event. The client takes data only at every second event, so GetData
// must hand over everything received since the last call, not just the latest read.
TEST(AsioSocketControl, PeerCloseDeliversAllDataThenOneCloseEvent) {
    std::string large(20 << 20, '\0');
    std::mt19937 random(7);
    for (char& ch : large) ch = static_cast<char>(random());
    std::vector<std::string> byteByByte;
    for (char ch : std::string("+OK one\r\n\0\xff.\r\n", 14)) byteByByte.emplace_back(1, ch);

    struct Case {
        const char* name;
        std::vector<std::string> chunks;
        int pauseMs;
        int minDataEvents;
    } cases[] = {
        {"partial line", {"+OK POP3 ready\r\n+OK par"}, 0, 1},
        {"nothing", {}, 0, 0},
        {"byte by byte", byteByByte, 10, 3},
        {"20 MiB", {large}, 0, 2},
    };
    for (const Case& c : cases) {
        ScriptedServer server([&](int fd) {
            for (const std::string& chunk : c.chunks) {
                Send(fd, chunk);
                std::this_thread::sleep_for(milliseconds(c.pauseMs));
            }
        });
        asio::io_context io;
        Client client(io);
        client.takeEvery = 2;
        client.Connect("127.0.0.1", server.Port());
        ASSERT_TRUE(RunUntil(
            io, [&] { return client.Ended(); }, seconds(30)))
            << c.name;
        RunFor(io, milliseconds(50));
        std::string rest;
        client.sock->GetData(rest);
        client.data += rest;

        std::string expected;
        for (const std::string& chunk : c.chunks) expected += chunk;
        EXPECT_TRUE(client.data == expected)
            << c.name << ": " << client.data.size() << " bytes of " << expected.size();
        Events expectedEvents{"connect"};
        expectedEvents.insert(expectedEvents.end(), client.dataEvents, "data");
        expectedEvents.push_back("close");
        EXPECT_EQ(client.events, expectedEvents) << c.name;
        EXPECT_GE(client.dataEvents, c.minDataEvents) << c.name;
        EXPECT_EQ(client.raisedInsideCall, 0) << c.name;
        EXPECT_THROW(client.sock->SendData("QUIT\r\n"), SocketFailure) << c.name;
    }
}

// After a local Close (or the end of the control) nothing more is raised: not the data still
// coming, not the peer's close. Closed from an event handler, or from outside with either the
// peer's data and close waiting, or a read that already completed (the first chunk is larger
// than one read, so the next read finishes at once and its completion is queued) not yet handled.
TEST(AsioSocketControl, NoEventsAfterLocalClose) {
    enum Where { kInConnect, kInDataArrival, kOutside, kDestroyed };
    struct Case {
        const char* name;
        Where where;
        bool large;          // first chunk larger than one read
        bool peerDoneFirst;  // the peer has sent everything and closed before the local close
    } cases[] = {
        {"in Connect", kInConnect, false, false},
        {"in DataArrival", kInDataArrival, true, false},
        {"outside, read completed", kOutside, true, false},
        {"outside, peer closed", kOutside, false, true},
        {"destroyed, read completed", kDestroyed, true, false},
        {"destroyed, peer closed", kDestroyed, false, true},
    };
    for (const Case& c : cases) {
        ScriptedServer server([&](int fd) {
            if (!Send(fd, c.large ? std::string(1 << 20, 'x') : "+OK first\r\n")) return;
            std::this_thread::sleep_for(milliseconds(100));
            Send(fd, "+OK second\r\n");
        });
        asio::io_context io;
        Client client(io);
        if (c.where == kInConnect) client.onConnect = [&] { client.Close(); };
        if (c.where == kInDataArrival) client.onData = [&] { client.Close(); };
        client.Connect("127.0.0.1", server.Port());
        ASSERT_TRUE(RunUntil(io, [&] {
            return client.dataEvents > 0 || client.Count("local close");
        })) << c.name;
        if (c.peerDoneFirst) {
            server.Join();
            std::this_thread::sleep_for(milliseconds(20));
        }
        if (c.where == kOutside) client.Close();
        if (c.where == kDestroyed) {
            client.sock.reset();
            client.events.push_back("local close");
        }
        server.Join();
        RunFor(io, milliseconds(200));
        const Events expected = c.where == kInConnect ? Events{"connect", "local close"}
                                                      : Events{"connect", "data", "local close"};
        EXPECT_EQ(client.events, expected) << c.name;
        EXPECT_EQ(client.raisedInsideCall, 0) << c.name;
        if (client.sock) {
            client.sock->Close();
            EXPECT_THROW(client.sock->SendData("QUIT\r\n"), SocketFailure) << c.name;
        }
    }
}

// The first server keeps sending and never reads a large upload, so the first connection has a
// read, a write and queued bytes pending when the client closes it and connects to the second
// server from inside a DataArrival handler. Nothing of the first connection may reach the second:
// no event, no received byte, no byte of the old upload.
TEST(AsioSocketControl, ReconnectLeavesNothingOfTheFirstConnection) {
    std::string secondGot;
    ScriptedServer first([](int fd) {
        Send(fd, "+OK first\r\n");
        const std::string more(1 << 16, '1');
        for (int i = 0; i < 100 && Send(fd, more); ++i)
            std::this_thread::sleep_for(milliseconds(2));
    });
    ScriptedServer second([&](int fd) {
        Send(fd, "+OK second\r\n");
        secondGot = Receive(fd, 8);
        Send(fd, "+OK bye\r\n");
    });
    asio::io_context io;
    Client client(io);
    std::size_t mark = 0, eventsMark = 0;
    client.onConnect = [&] {
        if (client.Count("connect") == 1) {
            client.sock->SendData(std::string(32 << 20, '1'));
            client.sock->SendData("QUIT first\r\n");  // queued behind the upload
        } else {
            client.sock->SendData("second\r\n");
        }
    };
    client.onData = [&] {
        if (client.Count("connect") != 1 || client.Count("local close") != 0) return;
        client.Close();
        mark = client.data.size();
        eventsMark = client.events.size();
        client.Connect("127.0.0.1", second.Port());
    };
    client.Connect("127.0.0.1", first.Port());
    ASSERT_TRUE(RunUntil(io, [&] { return client.Ended(); }));
    RunFor(io, milliseconds(100));
    second.Join();

    EXPECT_EQ(client.data.substr(mark), "+OK second\r\n+OK bye\r\n");
    Events after(client.events.begin() + eventsMark, client.events.end());
    Events expected{"connect"};
    expected.insert(expected.end(), after.size() - 2, "data");
    expected.push_back("close");
    EXPECT_EQ(after, expected);
    EXPECT_EQ(secondGot, "second\r\n");
    EXPECT_EQ(client.sock->RemotePort(), second.Port());
    EXPECT_EQ(client.raisedInsideCall, 0);
}

// A second Connect right after the first, before it could resolve or connect.
TEST(AsioSocketControl, ConnectAgainAtOnceOnlyTheLastCounts) {
    ScriptedServer first([](int fd) { Send(fd, "+OK first\r\n"); });
    ScriptedServer second([](int fd) { Send(fd, "+OK second\r\n"); });
    asio::io_context io;
    Client client(io);
    client.Connect("127.0.0.1", first.Port());
    client.Connect("127.0.0.1", second.Port());
    ASSERT_TRUE(RunUntil(io, [&] { return client.Ended(); }));
    RunFor(io, milliseconds(100));
    EXPECT_EQ(client.data, "+OK second\r\n");
    EXPECT_EQ(client.Count("connect"), 1u);
    EXPECT_EQ(client.Count("close"), 1u);
    EXPECT_EQ(client.Count("error"), 0u);
}

TEST(AsioSocketControl, SendDataNeedsAnOpenConnection) {
    std::string got;
    ScriptedServer server([&](int fd) { got = Receive(fd, 1 << 20); });
    asio::io_context io;
    Client client(io);
    client.Close();  // harmless before any connection
    EXPECT_THROW(client.sock->SendData("x"), SocketFailure) << "never connected";
    client.Connect("127.0.0.1", server.Port());
    EXPECT_THROW(client.sock->SendData("x"), SocketFailure) << "still connecting";
    ASSERT_TRUE(RunUntil(io, [&] { return client.Count("connect") > 0; }));
    client.Call([&] { client.sock->SendData("USER a\r\n"); });
    RunFor(io, milliseconds(50));
    client.Close();
    client.Close();
    EXPECT_THROW(client.sock->SendData("x"), SocketFailure) << "closed";
    server.Join();
    RunFor(io, milliseconds(100));
    EXPECT_EQ(got, "USER a\r\n");
    EXPECT_EQ(client.events, (Events{"local close", "connect", "local close", "local close"}));
    EXPECT_EQ(client.raisedInsideCall, 0);
}

// Rows sent back to back, the second one larger than the socket buffers, so the later ones queue
// behind a write in flight; a second batch follows the server's reply.
TEST(AsioSocketControl, SendDataBackToBackArrivesCompleteAndInOrder) {
    std::string big(8 << 20, '\0');
    std::mt19937 random(11);
    for (char& ch : big) ch = static_cast<char>(random());
    const std::vector<std::vector<std::string>> batches = {
        {"MAIL FROM: <a@b>\r\n", big, std::string("x\0\xff\r\n", 5), "RCPT TO: <c@d>\r\n"},
        {"DATA\r\n", "Subject: s\r\n", "\r\n", "body\r\n", ".\r\n", "QUIT\r\n"},
    };
    std::string expected[2], got[2];
    for (int i = 0; i < 2; ++i)
        for (const std::string& row : batches[i]) expected[i] += row;
    ScriptedServer server([&](int fd) {
        for (int i = 0; i < 2; ++i) {
            Send(fd, "250 go\r\n");
            got[i] = Receive(fd, expected[i].size());
        }
    });
    asio::io_context io;
    Client client(io);
    client.onData = [&] {
        if (client.dataEvents > 2) return;
        for (const std::string& row : batches[client.dataEvents - 1])
            client.Call([&] { client.sock->SendData(row); });
    };
    client.Connect("127.0.0.1", server.Port());
    ASSERT_TRUE(RunUntil(
        io, [&] { return server.Finished() || client.Ended(); }, seconds(30)));
    server.Join();
    for (int i = 0; i < 2; ++i) {
        EXPECT_TRUE(got[i] == expected[i])
            << "batch " << i << ": " << got[i].size() << " bytes of " << expected[i].size();
    }
    EXPECT_EQ(client.dataEvents, 2);
    EXPECT_EQ(client.raisedInsideCall, 0);
}

}  // namespace
