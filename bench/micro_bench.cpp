// micro_bench.cpp - Google Benchmark figures for the relay's own work, on the fakes of the unit
// tests (tests/unit/fakes.h): no network, and the spool on $TMPDIR (run.sh points it at a tmpfs,
// so fsync costs nothing and the figures are the relay's CPU).
//   Pop3Message1MiB   one POP3 session fetching a 1 MiB message: lines cut, file written, DELE
//   DeliverOneOf300   one delivery in the default mode from a spool of 300 files: the tick that
//                     takes the file, the SMTP conversation, the tick that deletes it
//   Routing           a dispatch tick's routing work: rules of an unchanged file, three
//                     sections, the sender matching the last one (wildcards included)
#include <benchmark/benchmark.h>

#include "fakes.h"
#include "relay/procs.h"
#include "relay/spool/rules.h"

namespace {

constexpr const char* kConfig =
    "[General]\nPOPServer=127.0.0.1\nPOPUser=u\nPOPPassword=pw\nSMTPName=bench\nDebugLevel=99\n"
    "[SPECIFIC_a]\nSenderAddresses=*@sales.example.com, boss@example.com\nSMTPPort=2525\n"
    "[SPECIFIC_b]\nSenderAddresses=*@support.example.com\nSMTPPort=2526\n"
    "[SPECIFIC_c]\nSenderAddresses=*@partner?.example.net, *@*.partners.example.org\n";

// A relay on the fakes with the configuration above, started.
struct Bench : Relay {
    Bench() {
        std::ofstream(dir + "TarvixPOP2SMTP.ini") << kConfig;
        main.Form_Load();
    }
    // The server sends `text`; the relay's own sends complete at once, as the sockets report.
    static void Feed(FakeSocket& s, std::string_view text) {
        s.pending.append(text);
        s.ev.onDataArrival(static_cast<int32_t>(s.pending.size()));
        while (s.sendPending && s.open) {
            s.sendPending = false;
            s.ev.onSendComplete();
        }
        s.done.clear();
    }
};

// Lines of 77 bytes (CR LF included), every 40th starting with a stuffed dot, `bytes` or a line
// more.
std::string Lines(std::size_t bytes) {
    std::string text;
    for (int i = 0; text.size() < bytes; ++i) {
        text.append(i % 40 ? "b" : "..");
        text.append(74, 'x').append("\r\n");
    }
    return text;
}

void Pop3Message1MiB(benchmark::State& state) {
    Bench b;
    const std::string message =
        "+OK\r\nReturn-Path: <s@a>\r\nFrom: <s@a>\r\nTo: <r@c>\r\n\r\n" + Lines(1 << 20);
    for (auto _ : state) {
        b.main.Menu_RunPOP_Click();
        b.timerPOP.tick();
        for (const char* reply : {"+OK hi\r\n", "+OK\r\n", "+OK\r\n", "+OK\r\n1 1048576\r\n.\r\n"})
            Bench::Feed(b.pop, reply);
        for (std::size_t at = 0; at < message.size(); at += 64 * 1024)
            Bench::Feed(b.pop, std::string_view(message).substr(at, 64 * 1024));
        Bench::Feed(b.pop, ".\r\n+OK\r\n+OK bye\r\n");
        if (RelayProbe::POP(b.main).m_POPState != PopState::Idle)
            return state.SkipWithError("session did not end");
        state.PauseTiming();
        b.front.added.clear();
        for (const auto& e : std::filesystem::directory_iterator(b.dir + "Messages"))
            std::filesystem::remove(e.path());
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * message.size()));
}
BENCHMARK(Pop3Message1MiB)->Unit(benchmark::kMillisecond);

void DeliverOneOf300(benchmark::State& state) {
    Bench b;
    const std::string file =
        "Return-Path: <s@a>\r\nFrom: S <s@a>\r\nTo: <r@c>\r\nSubject: s\r\n\r\n" + Lines(4096) +
        "\r\n";
    int next = 0;
    auto refill = [&] {
        for (std::size_t n =
                 std::distance(std::filesystem::directory_iterator(b.dir + "Messages"), {});
             n < 300; ++n) {
            char name[40];
            std::snprintf(name, sizeof name, "Messages/20261204_073105_%05x.msg", ++next & 0xfffff);
            std::ofstream(b.dir + name, std::ios::binary) << file;
        }
    };
    std::filesystem::create_directories(b.dir + "Messages");
    refill();
    for (auto _ : state) {
        b.timerSMTP.tick();
        for (const char* reply : {"220 hi\r\n", "250 ok\r\n", "250 ok\r\n", "250 ok\r\n",
                                  "354 go\r\n", "250 queued\r\n", "221 bye\r\n"})
            Bench::Feed(b.smtp, reply);
        b.timerSMTP.tick();
        if (RelayProbe::SMTP(b.main).m_SMTPState != SmtpState::Idle || b.main.m_SMTPSucceed)
            state.SkipWithError("not delivered");
        if (state.iterations() % 100 == 0) {
            state.PauseTiming();
            refill();
            state.ResumeTiming();
        }
    }
}
BENCHMARK(DeliverOneOf300)->Unit(benchmark::kMicrosecond);

void Routing(benchmark::State& state) {
    Bench b;
    std::string server;
    int32_t port = 0;
    for (auto _ : state) {
        auto rules = RelayProbe::Rules(b.main);
        benchmark::DoNotOptimize(TarvixPOP2SMTP_Procs::SelectSMTPServer(
            "someone@x.partners.example.org", rules, server, port));
    }
    if (port != 25) state.SkipWithError("the last rule did not match");
}
BENCHMARK(Routing)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
