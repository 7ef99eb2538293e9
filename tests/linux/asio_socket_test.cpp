// asio_socket_test.cpp - AsioSocketControl against scripted servers on 127.0.0.1, plain and TLS.
//
// A scripted server accepts one connection and plays its steps in a thread with blocking calls
// that time out; the client's event loop runs on the test thread until a condition or a time
// limit. Events are recorded as letters: C connect, D data, X close, E error, S send complete,
// Z secured.
#include "linux/asio_socket.h"

#include <fnmatch.h>
#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <unistd.h>

#include <asio/executor_work_guard.hpp>
#include <asio/ip/tcp.hpp>
#include <atomic>
#include <csignal>
#include <filesystem>
#include <thread>
#include <tuple>

#include "linux/posix_files.h"

namespace {
using namespace std::literals;
constexpr auto npos = std::string::npos;

// Prefix of the key (".key") and certificate (".crt") made once per run for `name`, self-signed
// and valid for the name and 127.0.0.1: "localhost" or "other.test".
std::string Cert(const std::string& name) {
    static const struct Folder {
        char path[32] = "/tmp/linux_tests_XXXXXX";
        Folder() {
            const std::string command =
                std::string("cd ") + ::mkdtemp(path) +
                " && for n in localhost other.test; do openssl req -x509 -newkey ec -pkeyopt "
                "ec_paramgen_curve:prime256v1 -nodes -days 1 -subj /CN=$n -addext "
                "subjectAltName=DNS:$n,IP:127.0.0.1 -keyout $n.key -out $n.crt || exit 1; done";
            EXPECT_EQ(std::system((command + " 2>/dev/null").c_str()), 0) << command;
        }
        ~Folder() { std::filesystem::remove_all(path); }
    } folder;
    return std::string(folder.path) + "/" + name;
}

// Steps: "s<bytes>" send, "e<text>" read until <text> came, "d" read until the peer closes, "w"
// wait until `go` (three seconds at most), "z" pause 20 ms, "T" TLS handshake as server, "r" reset
// at the end. The connection closes, without close_notify, after the last step or the first that
// fails.
struct ScriptedServer {
    asio::io_context io;
    asio::ip::tcp::socket socket{io, {asio::ip::address_v4::loopback(), 0}};  // bound
    const int listener = socket.native_handle(), port = socket.local_endpoint().port();
    std::string got;                  // every byte received
    std::atomic<int> sent{0}, go{0};  // "s" steps done; the test's signal for "w"
    std::thread thread;

    // Without a script the port does not listen: it refuses connections.
    explicit ScriptedServer(std::vector<std::string> script, std::string cert = "localhost") {
        if (!script.empty() && ::listen(listener, 4) == 0) {
            thread = std::thread(&ScriptedServer::Play, this, std::move(script), Cert(cert));
        }
    }
    ~ScriptedServer() { Finish(); }
    void Finish() { go = true, thread.joinable() ? thread.join() : void(); }
    void Play(const std::vector<std::string>& script, const std::string& cert) {
        std::signal(SIGPIPE, SIG_IGN);  // a client that has gone must not end the test binary
        pollfd waiting{listener, POLLIN, 0};
        const int fd = ::poll(&waiting, 1, 3000) == 1 ? ::accept(listener, nullptr, nullptr) : -1;
        const timeval limit{3, 0};  // for every read; writes are small
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        SSL_CTX* context = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate_chain_file(context, (cert + ".crt").c_str());
        SSL_CTX_use_PrivateKey_file(context, (cert + ".key").c_str(), SSL_FILETYPE_PEM);
        SSL* ssl = nullptr;
        char in[1 << 16];
        long n = fd < 0 ? 0 : 1;
        for (std::size_t i = 0; i < script.size() && n > 0; ++i) {
            const char step = script[i][0];
            const std::string arg = script[i].substr(1);
            const int size = static_cast<int>(arg.size());
            if (step == 's') ++sent, n = ssl ? SSL_write(ssl, arg.data(), size) : WriteAll(fd, arg);
            while (((step == 'e' && got.find(arg) == npos) || step == 'd') && n > 0) {
                n = ssl ? SSL_read(ssl, in, sizeof in) : ::read(fd, in, sizeof in);
                if (n > 0) got.append(in, static_cast<std::size_t>(n));
            }
            for (int ms = 0; step == 'w' && !go && ms < 3000; ++ms) ::usleep(1000);
            if (step == 'z') std::this_thread::sleep_for(20ms);
            if (step == 'T') ssl = SSL_new(context), SSL_set_fd(ssl, fd), n = SSL_accept(ssl);
            const linger reset{1, 0};
            if (step == 'r') ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        }
        SSL_free(ssl), SSL_CTX_free(context), ::close(fd);
    }
};

// The socket control on its own event loop, recording its events.
struct Client {
    asio::io_context io;
    asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
    AsioSocketControl sock{io};
    std::string events, data, error;
    std::function<void()> onData;  // in place of taking the data in the DataArrival event

    Client() {
        auto note = [this](char event) { return [this, event] { events += event; }; };
        sock.SetEvents({note('C'), [this](int32_t) { events += 'D', onData ? onData() : Take(); },
                        note('X'),
                        [this](int32_t, const std::string& why) { events += 'E', error += why; },
                        note('S'), note('Z')});
    }
    // GetData hands over everything received since the last call.
    void Take() {
        std::string chunk;
        sock.GetData(chunk), data += chunk;
    }
    bool Has(char event) const { return events.find(event) != npos; }
    // The connection ended (Close or Error event), or `orEvent` came.
    bool Ended(char orEvent = 'X') const { return Has(orEvent) || Has('X') || Has('E'); }
    // Runs the loop until `done` (five seconds at most), then `settleMs` more for late events.
    bool Run(const std::function<bool()>& done, int settleMs = 0) {
        const auto end = std::chrono::steady_clock::now() + 5s;
        while (!done() && std::chrono::steady_clock::now() < end) io.run_one_for(10ms);
        io.run_for(std::chrono::milliseconds(settleMs));
        return done();
    }
    void Connect(int port) {
        EXPECT_TRUE(sock.Connect("127.0.0.1", port).ok());
        EXPECT_TRUE(Run([&] { return events == "C"; })) << events << error;
    }
};

TEST(AsioSocketTest, PlainConnectionsLeaveNothingBehind) {
    for (bool fromHandler : {false, true}) {
        ScriptedServer server({"sfirst", "z", "smore"});
        Client c;
        if (fromHandler) c.onData = [&] { c.sock.Close(); };
        c.Connect(server.port);
        server.Finish();  // the data and the peer's close are waiting now
        if (!fromHandler) c.sock.Close();
        c.Run([] { return true; }, 200);
        EXPECT_EQ(c.events, fromHandler ? "CD" : "C");
    }
    // Impossible arguments, and sending without a connection, fail at once with the reason to log
    // and leave no trace. Connecting elsewhere from the DataArrival event leaves nothing of the
    // first connection, not even the rest of a large upload that the first peer does not read.
    // Rows sent back to back then arrive complete and in order, and SendComplete follows once.
    ScriptedServer first({"sfirst", "smore", "w"}), second({"d"});
    Client c;
    for (auto [host, port, why] : {std::tuple{"", 25, "no host name"},
                                   {"127.0.0.1", 0, "port 0 is out of range"},
                                   {"127.0.0.1", 65536, "port 65536 is out of range"},
                                   {"127.0.0.1", -1, "port -1 is out of range"}}) {
        for (const Status& s : {c.sock.Connect(host, port), c.sock.ConnectTls(host, port, "")}) {
            EXPECT_EQ(s.why(), "Invalid argument: "s + why);
        }
    }
    EXPECT_EQ(c.sock.SendData("x").why(), "Wrong protocol or connection state");
    c.onData = [&] {
        EXPECT_TRUE(c.sock.SendData(std::string(16 << 20, 'u')).ok());
        EXPECT_TRUE(c.sock.Connect("127.0.0.1", second.port).ok());
    };
    c.Connect(first.port);
    c.Run([&] { return c.events == "CDC"; }, 300);
    EXPECT_TRUE(c.sock.PeerIsLoopback());
    c.Take();
    EXPECT_EQ(c.data, "");
    const std::string large(16 << 20, 'L');  // more than the socket buffers hold
    for (const std::string& row : {"row 1\r\n"s, large, "row 3\r\n"s}) {
        EXPECT_TRUE(c.sock.SendData(row).ok());
    }
    c.Run([&] { return c.Has('S'); }, 200);
    EXPECT_EQ(c.events, "CDCS");
    c.sock.Close();
    second.Finish();
    EXPECT_TRUE(second.got == "row 1\r\n" + large + "row 3\r\n") << second.got.size();
}

// One conversation per row: plain ('p'), TLS from the start to "localhost" ('t') or upgraded by
// StartTls from the DataArrival event that brought "+OK" ('s'). Before StartTls the client takes
// "+OK" ('k'), also waits until the server sent more ('i'), or takes nothing ('u'). The Connect
// event of TLS comes once secured; the client says HELLO once connected or secured. Any byte
// that came before the handshake ends the connection and is never delivered. The events match
// an extended glob pattern ("*(D)": any number of D, "?(D)": one D or none). At the end a
// refused connection gives one Error event, later, and not blamed on a certificate.
TEST(AsioSocketTest, ConversationsPlainTlsAndStartTls) {
    const struct {
        char mode, before;
        std::string cert, trust;  // of the server; the one the client trusts ("": none)
        std::vector<std::string> script;
        std::string events, why = "", data = "";
    } table[] = {
        // clang-format off
        {'p', 0, "", "", {"eHELLO", "sone\r\n", "z", "stwo\r\n", "z", "sthree"}, "CSD*(D)X", "", "one\r\ntwo\r\nthree"},
        {'t', 0, "localhost", "localhost", {"T", "eHELLO", "sWORLD"}, "CSDX", "", "WORLD"},
        {'t', 0, "localhost", "localhost", {"T", "eHELLO", "sWORLD", "r"}, "CS?(D)E", "", "WORLD"},
        {'t', 0, "localhost", "", {"T"}, "E", "self-signed certificate (subject /CN=localhost)"},
        {'t', 0, "other.test", "other.test", {"T"}, "E", "not valid for localhost (subject /CN=other.test)"},
        {'s', 'k', "localhost", "", {"eSTLS", "s+OK\r\n", "T", "eHELLO", "sWORLD"}, "CSDZSDX", "", "+OK\r\nWORLD"},
        {'s', 'i', "localhost", "", {"eSTLS", "s+OK\r\n", "w", "sEVIL", "T"}, "CSDE", "before TLS", "+OK\r\n"},
        {'s', 'u', "localhost", "", {"eSTLS", "s+OK\r\nEVIL", "T"}, "CSDE", "before TLS", ""},
        {'s', 'k', "localhost", "", {"eSTLS", "s+OK\r\n", "e\x16\x03", "sEVIL"}, "CSDE", "", "+OK\r\n"}};
    // clang-format on
    for (const auto& row : table) {
        ScriptedServer server(row.script, row.cert);
        Client c;
        c.onData = [&, asked = false]() mutable {
            if (row.mode != 's' || std::exchange(asked, true)) return c.Take();
            if (row.before != 'u') c.Take();
            server.go = row.before == 'i';
            for (int ms = 0; server.go && server.sent < 2 && ms < 3000; ++ms) ::usleep(1000);
            c.sock.StartTls(Cert("localhost") + ".crt");  // checked for 127.0.0.1
        };
        const std::string trust = row.trust.empty() ? "" : Cert(row.trust) + ".crt";
        EXPECT_TRUE((row.mode == 't' ? c.sock.ConnectTls("localhost", server.port, trust)
                                     : c.sock.Connect("127.0.0.1", server.port))
                        .ok());
        c.Run([&] { return c.Ended('C'); });
        EXPECT_EQ(c.sock.IsSecure(), row.mode == 't' && c.Has('C'));
        if (row.mode == 's') {
            EXPECT_TRUE(c.sock.SendData("STLS").ok());
            c.Run([&] { return c.Ended('Z'); });
        }
        EXPECT_TRUE(c.Ended() || c.sock.SendData("HELLO").ok());
        c.Run([&] { return c.Ended(); }, 200);
        EXPECT_EQ(::fnmatch(row.events.c_str(), c.events.c_str(), FNM_EXTMATCH), 0) << c.events;
        EXPECT_NE(c.error.find(row.why), npos) << c.error;
        EXPECT_EQ(c.data, c.Has('D') ? row.data : "");
        ScriptedServer refused({});
        const std::string events = c.events + "E";
        c.error.clear();
        EXPECT_TRUE(c.sock.Connect("127.0.0.1", refused.port).ok());
        EXPECT_TRUE(c.error.empty() && c.Run([&] { return c.events == events; }, 100)) << c.events;
        EXPECT_EQ(c.error.find("certificate"), npos) << c.error;
    }
}

}  // namespace
