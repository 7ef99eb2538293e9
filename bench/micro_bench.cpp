// micro_bench.cpp - Google Benchmark figures for the relay's hot paths: cutting a large POP3
// message into lines and storing it, cutting SMTP replies, the field splitter, the wildcard
// matcher, one configuration read, and reading a large spool file for delivery.
#include <benchmark/benchmark.h>

#include "shell/procs.h"
#include "spool/rules.h"
#include "support/fakes.h"

using namespace TarvixPOP2SMTP_Procs;

namespace {

constexpr std::size_t kPiece = 64 * 1024;

// A message of `bytes` bytes in lines of 78 characters, as a POP3 server sends it.
std::string MessageText(std::size_t bytes) {
    std::string line(76, 'x');
    line += "\r\n";
    std::string text;
    text.reserve(bytes + line.size());
    while (text.size() < bytes) text += line;
    return text;
}

// One POP3 session fetching one message of the given size, delivered in 64 KiB pieces.
void BM_Pop3RetrieveMessage(benchmark::State& state) {
    const std::string message = MessageText(static_cast<std::size_t>(state.range(0)) << 20);
    const std::string head = "+OK\r\n+OK\r\n+OK\r\n+OK\r\n1 1\r\n.\r\n+OK\r\n";
    for (auto _ : state) {
        state.PauseTiming();
        RelayHarness h;
        h.front.recordLines = false;
        h.relay.Form_Load();
        h.timerPOP.tick();
        h.pop.Deliver(head);
        state.ResumeTiming();
        for (std::size_t at = 0; at < message.size(); at += kPiece) {
            h.pop.Deliver(message.substr(at, kPiece));
        }
        h.pop.Deliver(".\r\n");
        if (h.relay.m_POPState != 8) state.SkipWithError("message not stored");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * message.size()));
}
BENCHMARK(BM_Pop3RetrieveMessage)->Arg(100)->Unit(benchmark::kMillisecond);

// SMTP reply cutting: many short reply lines arriving in 64 KiB pieces in state 7 (any line
// ends the session there, so every line takes the same short path).
void BM_SmtpReplyLines(benchmark::State& state) {
    std::string replies;
    while (replies.size() < (std::size_t{100} << 20)) replies += "250 ok\r\n";
    RelayHarness h;
    h.front.recordLines = false;
    h.relay.Form_Load();
    for (auto _ : state) {
        for (std::size_t at = 0; at < replies.size(); at += kPiece) {
            h.relay.m_SMTPState = 7;
            h.smtp.Deliver(replies.substr(at, kPiece));
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * replies.size()));
}
BENCHMARK(BM_SmtpReplyLines)->Unit(benchmark::kMillisecond);

void BM_GetField(benchmark::State& state) {
    const std::string line = "Subject: Re: news about the relay: more";
    for (auto _ : state) benchmark::DoNotOptimize(GetField(line, 1, ":"));
}
BENCHMARK(BM_GetField);

void BM_MatchWildcard(benchmark::State& state) {
    const std::string sender = "SOMEBODY.LONG.NAME@SALES.EXAMPLE.COM";
    for (auto _ : state) benchmark::DoNotOptimize(MatchWildcard(sender, "*@SALES.*.COM"));
}
BENCHMARK(BM_MatchWildcard);

void BM_ReadIniValue(benchmark::State& state) {
    RelayHarness h;
    h.WriteConfig(
        "[General]\nPOPServer=pop\nPOPPort=110\nSMTPServer=smtp\nDebugLevel=20,99\n"
        "[SPECIFIC_1]\nSenderAddresses=*@a\nSMTPServer=a\n[SPECIFIC_2]\nSenderAddresses=*@b\n");
    h.relay.Form_Load();
    for (auto _ : state)
        benchmark::DoNotOptimize(ReadIniValue("SPECIFIC_2", "SenderAddresses", ""));
}
BENCHMARK(BM_ReadIniValue);

// The dispatch tick that takes a 1 MiB spool file: listing, reading, header phase, body.
void BM_DispatchTake1MiB(benchmark::State& state) {
    const std::string file =
        "Return-Path: <r@x>\r\nFrom: N <a@b>\r\nTo: <t@c>\r\nSubject: s\r\n\r\n" +
        MessageText(1 << 20) + "\r\n";
    RelayHarness h;
    h.relay.Form_Load();
    for (auto _ : state) {
        state.PauseTiming();
        h.relay.CloseAndShutdownSMTPClient();
        RelayHarness::WriteFile(h.Spool() + "a.snd", file);
        state.ResumeTiming();
        h.timerSMTP.tick();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.size()));
}
BENCHMARK(BM_DispatchTake1MiB)->Unit(benchmark::kMicrosecond);

// One delivery from a spool of 300 queued messages of 4 KiB: the tick that takes the file, the
// SMTP conversation with a fake server, the tick that deletes the file.
void BM_DeliverOneOf300(benchmark::State& state) {
    RelayHarness h;
    h.front.recordLines = false;
    h.WriteConfig(
        "[SPECIFIC_1]\nSenderAddresses=*@a\n[SPECIFIC_2]\nSenderAddresses=*@b\n"
        "[SPECIFIC_3]\nSenderAddresses=*@c\n");
    h.relay.Form_Load();
    const std::string message =
        "Return-Path: <r@x>\r\nFrom: N <a@b>\r\nTo: <t@c>\r\n"
        "Subject: s\r\n\r\n" +
        MessageText(4096) + "\r\n";
    int next = 0;
    auto refill = [&] {
        while (h.SpoolNames().size() < 300) {
            char name[32];
            std::snprintf(name, sizeof name, "20261204_073105_%05x.msg", next++);
            RelayHarness::WriteFile(h.Spool() + name, message);
        }
    };
    refill();
    for (auto _ : state) {
        h.timerSMTP.tick();
        h.smtp.Deliver("220 hi\r\n");
        h.smtp.Deliver("250 ok\r\n");
        h.smtp.Deliver("250 ok\r\n");
        h.smtp.Deliver("250 ok\r\n");
        h.smtp.Deliver("354 go\r\n");
        h.smtp.Deliver("250 queued\r\n");
        h.smtp.Deliver("221 bye\r\n");
        h.timerSMTP.tick();
        h.smtp.TakeSent();
        if (state.iterations() % 200 == 0) {
            state.PauseTiming();
            refill();
            state.ResumeTiming();
        }
    }
}
BENCHMARK(BM_DeliverOneOf300)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
