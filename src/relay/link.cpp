// link.cpp - connecting, sending and logging rows, taking data and the watchdog of a session.
#include "relay/link.h"

#include "relay/procs.h"

Link::Link(SocketControl& socket, RelayLog& log, std::string_view tag)
    : socket_(socket),
      log_(log),
      status_("(   " + std::string(tag) + ") "),
      sent_("(-> " + std::string(tag) + ") "),
      received_("(<- " + std::string(tag) + ") ") {}

Status Link::Open(const std::string& host, int32_t port, bool tls, const std::string& trustFile) {
    Status opened = tls ? socket_.ConnectTls(host, port, trustFile) : socket_.Connect(host, port);
    if (!opened) LogStatus("Failed: " + opened.why());
    return opened;
}

void Link::SendRow(std::string_view row, int16_t level) {
    std::string line(row);
    line += "\r\n";
    // A failed send is left to the session's end (event or watchdog); the row is logged anyway.
    (void)socket_.SendData(line);
    LogSent(row, level);
}

void Link::SendWithSecret(std::string_view command, const Secret& secret, int16_t level) {
    Secret line(std::string(command) + std::string(secret.Reveal()) + "\r\n");
    (void)socket_.SendData(line.Reveal());
    LogSent(std::string(command) + "*****", level);
}

void Link::LogSent(std::string_view text, int16_t level) {
    log_.Write(sent_, text, level);
}

void Link::LogSent(TextSource& text, int16_t level) {
    log_.Write(sent_, text, level);
}

void Link::LogReceived(std::string_view line, int16_t level) {
    log_.Write(received_, line, level);
}

void Link::LogStatus(std::string_view text) {
    log_.Write(status_, text, 99);
}

void Link::LogEndpoint(std::string_view what, const std::string& host, int32_t port) {
    LogStatus(std::string(what) + host + ":" + std::to_string(port));
}

void Link::Receive(ReceivedLines& lines) {
    std::string data;
    socket_.GetData(data);
    lines.Append(data);
}

bool Link::WatchdogExpired(int32_t& elapsed, int32_t intervalMs, bool onlySilence) {
    const uint64_t moved = socket_.BytesMoved();
    if (onlySilence && moved != moved_) elapsed = 0;
    moved_ = moved;
    elapsed = TarvixPOP2SMTP_Procs::SaturatingAdd(elapsed, intervalMs);
    return elapsed > kWatchdogMs;
}
