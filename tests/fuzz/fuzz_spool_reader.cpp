// fuzz_spool_reader.cpp - the dispatch scan reading an arbitrary spool file.
//
// The file must be either handed to delivery with its three envelope headers non-empty, or
// dropped; the scan must never leave more than the one file it was given.
#include "fuzz_input.h"
#include "fuzz_relay.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    RelayHarness& h = FuzzRelay("[SPECIFIC_1]\nSenderAddresses=*@A*,?B*C\nSMTPServer=routed\n");
    h.relay.CloseAndShutdownSMTPClient();
    h.relay.m_SMTPSucceed = false;
    RelayHarness::WriteFile(h.Spool() + "m.msg",
                            std::string(reinterpret_cast<const char*>(data), size));
    std::size_t before = h.smtp.connects.size();
    h.timerSMTP.tick();
    if (h.smtp.connects.size() > before) {
        const SMTPMessage& m = h.relay.m_SMTPMessage;
        Check(!m.ReturnPath.empty() && !m.From.empty() && !m.To.empty());
        Check(m.Body.size() < 2 || m.Body.compare(m.Body.size() - 2, 2, "\r\n") != 0);
    }
    Check(h.SpoolNames().size() <= 1);
    for (const auto& name : h.SpoolNames()) std::filesystem::remove(h.Spool() + name);
    return 0;
}
