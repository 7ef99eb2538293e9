// fuzz_sessions.cpp - the POP3 and SMTP data handlers fed arbitrary chunks in arbitrary states.
//
// Built twice: with FUZZ_POP3 it drives the POP3 session, else the SMTP session. Whatever the
// server sends, the handlers must not crash, must keep their state in range, and the POP3 side
// must never send DELE for a message whose file is not in the spool.
#include "fuzz_input.h"
#include "fuzz_relay.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    RelayHarness& h = FuzzRelay();
    FuzzInput in(data, size);
#ifdef FUZZ_POP3
    h.relay.CloseAndShutdownPOPClient();
    h.relay.m_POPState = static_cast<int16_t>(in.choice % 11);
    h.relay.POPMessageIndex = in.choice / 11;
    h.pop.open = true;
    for (const std::string& piece : in.pieces) {
        h.pop.Deliver(piece);
        Check(h.relay.m_POPState >= 0 && h.relay.m_POPState <= 10);
        Check(h.relay.m_POPMessageCount >= 0 && h.relay.m_POPMessageCount <= 100);
        Check(h.relay.m_ReceivedPOPData.find('\n') == std::string::npos);
    }
    // Every DELE names a message that was stored first.
    const std::string sent = h.pop.TakeSent();
    std::size_t deletes = 0;
    for (std::size_t at = 0; (at = sent.find("DELE ", at)) != std::string::npos; ++at) ++deletes;
    std::size_t stored = 0;
    for (const auto& name : h.SpoolNames()) {
        ++stored;
        std::filesystem::remove(h.Spool() + name);
    }
    Check(deletes <= stored);
#else
    h.relay.CloseAndShutdownSMTPClient();
    h.relay.m_SMTPState = static_cast<int16_t>(in.choice % 9);
    h.relay.m_SMTPMessage =
        SMTPMessage{"f.", in.Piece(0), in.Piece(0), in.Piece(1), "s", in.Piece(1)};
    h.smtp.open = true;
    for (std::size_t i = 2; i < in.pieces.size(); ++i) {
        h.smtp.Deliver(in.pieces[i]);
        Check(h.relay.m_SMTPState >= 0 && h.relay.m_SMTPState <= 8);
        Check(h.relay.m_ReceivedSMTPData.find('\n') == std::string::npos);
    }
    h.smtp.TakeSent();
    h.relay.m_SMTPSucceed = false;
#endif
    return 0;
}
