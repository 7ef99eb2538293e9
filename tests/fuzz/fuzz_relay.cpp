// fuzz_relay.cpp - the relay on fakes fed a hostile peer: the first byte of the input chooses the
// POP3 session, the SMTP session or a spool file for the dispatch scan; the rest comes as the
// server's data, cut into events at 0xFE bytes. Whatever arrives, the handlers must not crash,
// the states stay in range, and a DELE is only ever sent for a message stored in the spool.
#include "fuzz_input.h"
#include "unit/fakes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static Relay* relay = [] {
        auto* r = new Relay;
        std::ofstream(r->dir + "TarvixPOP2SMTP.ini") << "[SPECIFIC_1]\nSenderAddresses=*@A*,?B*C\n";
        r->main.Form_Load();
        return r;
    }();
    TarvixPOP2SMTP_Main& m = relay->main;
    FuzzInput in(data, size);
    m.CloseAndShutdownPOPClient();
    m.CloseAndShutdownSMTPClient();
    relay->front.added.clear();
    FakeSocket& s = in.choice % 2 == 0 ? relay->pop : relay->smtp;
    if (in.choice % 3 == 2) {
        std::ofstream(m.m_SMTPFileName = relay->dir + "Messages/m.msg", std::ios::binary)
            << in.Piece(0);
        m.m_SMTPSucceed = false;
        relay->timerSMTP.tick();
    }
    if (in.choice % 2 == 0) m.m_POPState = static_cast<int16_t>(in.choice / 3 % 14);
    s.open = true;
    for (const std::string& piece : in.pieces) {
        s.pending = piece;
        s.ev.onDataArrival(static_cast<int32_t>(piece.size()));
        while (s.sendPending && s.open) s.sendPending = false, s.ev.onSendComplete();
        Check(m.m_POPState >= 0 && m.m_POPState <= 13 && m.m_SMTPState >= 0 && m.m_SMTPState <= 15);
        Check(m.m_POPMessageCount >= 0 && m.m_POPMessageCount <= 100);
    }
    std::size_t deletes = 0, stored = 0;
    for (const std::string& d : relay->pop.done) {
        for (std::size_t at = 0; (at = d.find("DELE ", at)) != std::string::npos; ++at) ++deletes;
    }
    for (auto& e : std::filesystem::directory_iterator(relay->dir + "Messages")) {
        stored += e.path().extension() == ".msg";
        std::filesystem::remove(e.path());
    }
    Check(in.choice % 2 != 0 || deletes <= stored);
    relay->pop.done.clear();
    relay->smtp.done.clear();
    return 0;
}
