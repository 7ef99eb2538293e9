// link.h - one protocol connection as a session sees it, the same for POP3 and SMTP.
//
// A link connects (plain, or TLS from the first byte), sends a row with the line the log shows
// for it, hands over what arrived to the session's line buffer, tells the watchdog whether bytes
// moved, and logs its status lines ("(   POP3) Connected to ..."). A row that carries a secret
// is logged with "*****" in its place; this is the only place that masks one.
//
// Failures are values: a connection that can never work is logged here and returned; a row that
// cannot be sent (the connection is gone) is still logged as sent, and its session ends by its
// Close or Error event or by the watchdog.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "relay/lines.h"
#include "relay/log.h"
#include "relay/platform.h"
#include "relay/secret.h"

class Link {
  public:
    static constexpr int32_t kWatchdogMs = 10000;

    // `tag`: "POP3" or "SMTP", as the log shows it.
    Link(SocketControl& socket, RelayLog& log, std::string_view tag);
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // Connects; a connection that can never work is logged as "Failed: " and its reason.
    Status Open(const std::string& host, int32_t port, bool tls, const std::string& trustFile);
    // STLS, STARTTLS: the open connection becomes TLS; the socket's Secured or Error event says
    // how it went.
    void Upgrade(const std::string& trustFile) { socket_.StartTls(trustFile); }
    bool Secure() const { return socket_.IsSecure(); }
    // A login may go out: over TLS, or to this machine.
    bool LoginAllowed() const { return socket_.IsSecure() || socket_.PeerIsLoopback(); }
    // Sends `row` and CR LF, and logs "(-> TAG) " and the row at `level`.
    void SendRow(std::string_view row, int16_t level);
    // Sends `command` followed by `secret`; the log shows the command and "*****".
    void SendWithSecret(std::string_view command, const Secret& secret, int16_t level);
    // Sends bytes that are logged otherwise (a message body); fails when the connection is gone.
    Status SendBytes(std::string_view bytes) { return socket_.SendData(bytes); }
    // Logs "(-> TAG) " and what was sent otherwise (a message body, its "."), at `level`.
    void LogSent(std::string_view text, int16_t level);
    void LogSent(TextSource& text, int16_t level);
    // Logs "(<- TAG) " and a received line at `level`.
    void LogReceived(std::string_view line, int16_t level);
    // Logs "(   TAG) " and `text` at level 99.
    void LogStatus(std::string_view text);
    // "Connected to ", "Closed " or "TLS started with " and the endpoint, as a status line;
    // LogPeer names the connected peer's address.
    void LogEndpoint(std::string_view what, const std::string& host, int32_t port);
    void LogPeer(std::string_view what) {
        LogEndpoint(what, socket_.RemoteHost(), socket_.RemotePort());
    }
    // Moves what arrived into `lines`.
    void Receive(ReceivedLines& lines);
    // The watchdog of a running session: `elapsed` grows by one tick of `intervalMs`; with
    // `onlySilence` it starts again from 0 whenever bytes moved since the last tick. True when
    // it has passed kWatchdogMs. The count saturates, so a long wait never wraps it round.
    bool WatchdogExpired(int32_t& elapsed, int32_t intervalMs, bool onlySilence);
    void Close() { socket_.Close(); }

  private:
    SocketControl& socket_;
    RelayLog& log_;
    std::string status_, sent_, received_;  // "(   POP3) ", "(-> POP3) ", "(<- POP3) "
    uint64_t moved_ = 0;                    // the socket's byte count at the last tick
};
