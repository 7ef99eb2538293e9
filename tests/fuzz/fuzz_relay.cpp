// fuzz_relay.cpp - the relay fed hostile input. The first byte of the input chooses (modulo 4):
// 0 the POP3 session, 1 the SMTP session, 2 a spool file for the dispatch scan (then the SMTP
// session), 3 the text procedures; the rest comes as the server's data, cut into events at 0xFE
// bytes, or as the procedures' texts. Whatever arrives, nothing crashes, the states stay in
// range, a DELE is only ever sent for a message stored in the spool, and each procedure keeps
// its basic promises.
#include "fuzz_input.h"
#include "relay/procs.h"
#include "relay/profile.h"
#include "relay/smtp/compose.h"
#include "unit/fakes.h"

using namespace TarvixPOP2SMTP_Procs;

namespace {

void Procedures(const FuzzInput& in) {
    const std::string a = in.Piece(0), b = in.Piece(1);
    const ProfileFile profile = ProfileFile::Parse(a);
    Check(profile.GetString(b, in.Piece(2), "d").size() <= 2047);
    Check(profile.SectionNames().size() <= 20478);
    if (!b.empty()) {
        const std::string field = GetField(a, static_cast<int8_t>(in.choice), b);
        Check(field.find(b) == std::string::npos && (field.empty() || a.find(field) != a.npos));
    }
    const bool matched = MatchWildcard(a, b);
    if (b.find_first_of("*?") == std::string::npos) Check(matched == (!a.empty() && a == b));
    (void)ReadInt32(a);
    (void)LevelSelection(a).Selects(static_cast<int16_t>(in.choice));
    std::vector<std::string> addresses;
    compose::AddAddresses(a, addresses);
    for (const std::string& address : addresses) Check(address.find('@') != std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static Relay* relay = [] {
        auto* r = new Relay;
        std::ofstream(r->dir + "TarvixPOP2SMTP.ini") << "[SPECIFIC_1]\nSenderAddresses=*@A*,?B*C\n";
        r->main.Form_Load();
        return r;
    }();
    TarvixPOP2SMTP_Main& m = relay->main;
    const FuzzInput in(data, size);
    if (in.choice % 4 == 3) return Procedures(in), 0;
    m.CloseAndShutdownPOPClient();
    m.CloseAndShutdownSMTPClient();
    relay->front.added.clear();
    FakeSocket& s = in.choice % 4 == 0 ? relay->pop : relay->smtp;
    if (in.choice % 4 == 2) {
        std::ofstream(m.m_SMTPFileName = relay->dir + "Messages/m.msg", std::ios::binary)
            << in.Piece(0);
        m.m_SMTPSucceed = false;
        relay->timerSMTP.tick();
    }
    if (in.choice % 4 == 0) m.m_POPState = static_cast<int16_t>(in.choice / 4 % 14);
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
    Check(in.choice % 4 != 0 || deletes <= stored);
    relay->pop.done.clear();
    relay->smtp.done.clear();
    return 0;
}
