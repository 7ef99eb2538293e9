// fuzz_relay.cpp - the relay fed hostile input. The first byte of the input chooses (modulo 4):
// 0 the POP3 session, 1 the SMTP session, 2 a spool file for the dispatch scan (then the SMTP
// session), 3 a message's whole road; the rest comes as the server's data, cut into events at
// 0xFE bytes, or as the message. Whatever arrives, nothing crashes, the states stay in range,
// and a DELE is only ever sent for a message stored in the spool.
//
// The road of a message: any bytes (lone CRs, dots, NULs, 8-bit, trailing empty lines) as a real
// POP3 server sends them (lines to LF, a CR before the LF part of the line end, dot-stuffed),
// through the POP3 session, the spool and the SMTP session as retrieved; un-stuffed as a real SMTP
// server does, what arrives is every line with its CRs removed, nothing more, and the POP3
// session goes on to DELE and QUIT after it.
#include "fuzz_input.h"
#include "relay/procs.h"
#include "unit/fakes.h"

using namespace TarvixPOP2SMTP_Procs;

namespace {

// The program directory is process-wide: each of the two relays here makes its own current.
void Enter(Relay& relay) {
    g_AppPath = relay.dir;
    g_SpoolPath = relay.dir + "Messages/";
}

std::string Sent(std::deque<std::string>& done) {
    std::string all;
    for (const std::string& d : done) all += d.front() == '[' ? "" : d;
    done.clear();
    return all;
}

void Road(const std::string& text) {
    static Relay* relay = [] {
        auto* r = new Relay;
        std::ofstream(r->dir + "TarvixPOP2SMTP.ini")
            << "[General]\nForwardMode=original\nRecipientHeaders=Delivered-To\n";
        r->main.Form_Load();
        return r;
    }();
    Enter(*relay);
    TarvixPOP2SMTP_Main& m = relay->main;
    // The recipient's field, and one that takes whatever a first line in white space folds in.
    const std::string message = "Delivered-To: p@q\nX: y\n" + text;
    std::string wire, want;
    for (std::size_t at = 0, lf; at < message.size(); at = lf + 1) {
        lf = std::min(message.find('\n', at), message.size());
        std::string line = message.substr(at, lf - at);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        wire += (line[0] == '.' ? "." : "") + line + "\r\n";
        std::erase(line, '\r');
        want += line + "\r\n";
    }
    FakeSocket& pop = relay->pop;
    m.m_PollTimer = m.m_POPInterval;
    relay->timerPOP.tick();
    pop.pending = "+OK\r\n+OK\r\n+OK\r\n+OK\r\n1 " + std::to_string(wire.size()) +
                  "\r\n.\r\n+OK\r\n" + wire + ".\r\n+OK\r\n";
    pop.ev.onDataArrival(0);
    const std::string commands = Sent(pop.done);
    Check(commands.ends_with("RETR 1\r\nDELE 1\r\nQUIT\r\n") &&
          RelayProbe::POP(m).m_POPState == PopState::QuitSent);

    FakeSocket& smtp = relay->smtp;
    relay->timerSMTP.tick();
    smtp.pending = "220 hi\r\n250 a\r\n250 b\r\n";
    for (std::size_t i = 0; i < m.m_SMTPMessage.Recipients.size(); ++i) smtp.pending += "250 c\r\n";
    smtp.pending += "354 d\r\n";
    smtp.ev.onDataArrival(0);
    while (smtp.sendPending && smtp.open) smtp.sendPending = false, smtp.ev.onSendComplete();
    const std::string data = Sent(smtp.done);
    std::string got;
    std::size_t at = data.find("\r\nDATA\r\n");
    Check(at != data.npos);
    at = data.find("\r\n", at + 8) + 2;  // after the Received line
    for (std::size_t end; (end = data.find("\r\n", at)) != data.npos; at = end + 2) {
        std::string_view line(data.data() + at, end - at);
        if (line == ".") break;
        got.append(line.substr(line.starts_with('.') ? 1 : 0)).append("\r\n");
    }
    Check(got == want && at + 3 == data.size());
    RelayProbe::EndSessions(m);
    m.m_SMTPSucceed = false;
    std::filesystem::remove_all(relay->dir + "Messages");
    std::filesystem::create_directory(relay->dir + "Messages");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static Relay* relay = [] {
        auto* r = new Relay;
        std::ofstream(r->dir + "TarvixPOP2SMTP.ini") << "[SPECIFIC_1]\nSenderAddresses=*@A*,?B*C\n";
        r->main.Form_Load();
        return r;
    }();
    Enter(*relay);
    TarvixPOP2SMTP_Main& m = relay->main;
    const FuzzInput in(data, size);
    if (in.choice % 4 == 3) return Road(in.Piece(0)), 0;
    RelayProbe::EndSessions(m);
    relay->front.added.clear();
    FakeSocket& s = in.choice % 4 == 0 ? relay->pop : relay->smtp;
    if (in.choice % 4 == 2) {
        std::ofstream(m.m_SMTPFileName = relay->dir + "Messages/m.msg", std::ios::binary)
            << in.Piece(0);
        m.m_SMTPSucceed = false;
        relay->timerSMTP.tick();
    }
    POPSession& pop = RelayProbe::POP(m);
    if (in.choice % 4 == 0) pop.m_POPState = kPopStateNames[in.choice / 4 % 14].state;
    s.open = true;
    for (const std::string& piece : in.pieces) {
        s.pending = piece;
        s.ev.onDataArrival(static_cast<int32_t>(piece.size()));
        while (s.sendPending && s.open) s.sendPending = false, s.ev.onSendComplete();
        Check(Name(pop.m_POPState) != "?" && Name(RelayProbe::SMTP(m).m_SMTPState) != "?");
        Check(pop.m_POPMessageCount >= 0 && pop.m_POPMessageCount <= 100);
    }
    std::size_t deletes = 0, stored = 0;
    for (const std::string& d : relay->pop.done) {
        for (std::size_t at = 0; (at = d.find("DELE ", at)) != std::string::npos; ++at) ++deletes;
    }
    for (auto& e : std::filesystem::directory_iterator(relay->dir + "Messages")) {
        stored += e.path().extension() == ".msg";
        std::filesystem::remove(e.path());
    }
    Check(in.choice % 4 != 0 || deletes <= stored);
    relay->pop.done.clear();
    relay->smtp.done.clear();
    return 0;
}
