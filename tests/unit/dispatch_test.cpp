// The dispatch scan: queueing, reading spool files, choosing the server, deleting, re-queueing.
#include <gtest/gtest.h>

#include "support/fakes.h"

namespace {

const char* const kMessage =
    "Return-Path: <x>\r\nFrom: Name <addr>\r\nTo: y\r\nSubject: s\r\n\r\nline 1\r\nline "
    "2\r\n\r\n\r\n";

class DispatchTest : public ::testing::Test {
  protected:
    void SetUp() override { h.relay.Form_Load(); }
    void Spool(const std::string& name, const std::string& content = kMessage) {
        RelayHarness::WriteFile(h.Spool() + name, content);
    }
    // Runs one tick and reports the connections started by it.
    std::vector<std::string> Tick() {
        std::size_t before = h.smtp.connects.size();
        h.timerSMTP.tick();
        return {h.smtp.connects.begin() + static_cast<long>(before), h.smtp.connects.end()};
    }
    RelayHarness h;
};

}  // namespace

TEST_F(DispatchTest, ReadsTheEnvelopeHeadersAndTheBody) {
    Spool("20261204_073105_0001f.msg");
    EXPECT_EQ(Tick(), std::vector<std::string>{"127.0.0.1:25"});
    const SMTPMessage& m = h.relay.m_SMTPMessage;
    EXPECT_EQ(m.FileBase, "20261204_073105_0001f.");
    EXPECT_EQ(m.ReturnPath, "<x>");
    EXPECT_EQ(m.From, "Name <addr>");
    EXPECT_EQ(m.To, "y");
    EXPECT_EQ(m.Subject, "s");
    EXPECT_EQ(m.Body, "line 1\r\nline 2");
    EXPECT_EQ(h.relay.m_SMTPFileName, h.Spool() + "20261204_073105_0001f.snd");
    EXPECT_EQ(h.SpoolNames(), std::vector<std::string>{"20261204_073105_0001f.snd"});
}

TEST_F(DispatchTest, HeaderLinesAreJudgedOneByOne) {
    struct Case {
        std::string content;
        std::string from, subject, body;
    } cases[] = {
        {"Return-Path: r\r\nfrom : A <b> \r\nTo: t\r\n", "A <b>", "", ""},
        {"Return-Path: r\r\nFrom: f\r\nTo: t\r\nSubject: Re: news\r\n", "f", "Re", ""},
        {"Return-Path: r\r\nFrom: first\r\nFrom: second\r\nTo: t\r\nSubject: one\r\n"
         "X-Other: y\r\nSubject: two\r\n",
         "second", "two", ""},
        {"Return-Path: r\r\nFrom: f\r\nTo: t\r\nSubject: folded\r\n\tcontinued\r\n", "f", "folded",
         ""},
        {"Return-Path: r\r\nFrom: f\r\nTo: t\r\nSubject: a\r\n Subject: blanks trimmed\r\n", "f",
         "blanks trimmed", ""},
        {"Return-Path: r\nFrom: f\nTo: t\n\nlf only\n", "f", "", "lf only"},
        {"Return-Path: r\r\nFrom: f\r\nTo: t\r\n\r\na\r\nb\nc\r\r\n\r\n", "f", "", "a\r\nb\r\nc\r"},
        {"Return-Path: r\r\nFrom: f\r\nTo: t\r\n\r\n..a\rb\r\n\r\nlast", "f", "",
         "..a\rb\r\n\r\nlast"},
        {"Return-Path: r\r\nFrom: f\r\nTo: t\r\n\r\n\r\n\r\n", "f", "", ""},
        {"Return-Path: r\r\nFrom: f\r\nTo: t\r\n\r\nFrom: in body\r\n\r\n", "f", "",
         "From: in body"},
    };
    for (const Case& c : cases) {
        RelayHarness local;
        local.relay.Form_Load();
        RelayHarness::WriteFile(local.Spool() + "a.msg", c.content);
        local.timerSMTP.tick();
        ASSERT_EQ(local.smtp.connects.size(), 1u) << c.content;
        EXPECT_EQ(local.relay.m_SMTPMessage.From, c.from) << c.content;
        EXPECT_EQ(local.relay.m_SMTPMessage.Subject, c.subject) << c.content;
        EXPECT_EQ(local.relay.m_SMTPMessage.Body, c.body) << c.content;
    }
}

TEST_F(DispatchTest, AMessageWithoutEnvelopeHeadersIsDropped) {
    for (const char* content :
         {"From: a <b>\r\nTo: c\r\n\r\nbody\r\n", "Return-Path: <x>\r\nFrom:\r\nTo: c\r\n",
          "Return-Path: <x>\r\nFrom: f\r\n", ""}) {
        RelayHarness local;
        local.relay.Form_Load();
        RelayHarness::WriteFile(local.Spool() + "a.msg", content);
        local.timerSMTP.tick();
        EXPECT_TRUE(local.smtp.connects.empty());
        EXPECT_EQ(local.Logged(), std::vector<std::string>{"(SMTP) Missing data in message"});
        EXPECT_TRUE(local.SpoolNames().empty());
        EXPECT_EQ(local.relay.m_SMTPFileName, local.Spool() + "a.snd");
    }
}

TEST_F(DispatchTest, OneMessageQueuedPerIdleTickAndNothingWhileBusy) {
    Spool("1.msg");
    Spool("2.msg");
    Spool("3.msg");
    Spool("notes.txt", "not ours");
    EXPECT_EQ(Tick().size(), 1u);
    EXPECT_EQ(h.SpoolNames(), (std::vector<std::string>{"1.snd", "2.msg", "3.msg", "notes.txt"}));
    for (int i = 0; i < 50; ++i) EXPECT_TRUE(Tick().empty());
    EXPECT_EQ(h.SpoolNames(), (std::vector<std::string>{"1.snd", "2.msg", "3.msg", "notes.txt"}));
    EXPECT_EQ(h.relay.ErrRetryTime, 100);
}

TEST_F(DispatchTest, ADeliveredFileIsDeletedOnTheNextTickAndTheNextTakenAfterIt) {
    Spool("1.msg");
    Spool("2.msg");
    Tick();
    h.relay.m_SMTPSucceed = true;
    h.relay.m_SMTPState = 0;
    EXPECT_TRUE(Tick().empty());
    EXPECT_EQ(h.SpoolNames(), std::vector<std::string>{"2.msg"});
    EXPECT_FALSE(h.relay.m_SMTPSucceed);
    EXPECT_EQ(Tick().size(), 1u);
    EXPECT_EQ(h.SpoolNames(), std::vector<std::string>{"2.snd"});
}

TEST_F(DispatchTest, WatchdogClosesTheSessionOnTheHundredAndFirstBusyTick) {
    Spool("1.msg");
    Tick();
    for (int i = 0; i < 100; ++i) Tick();
    EXPECT_EQ(h.relay.m_SMTPState, 1);
    EXPECT_EQ(h.relay.SMTPBusyTime, 10000);
    Tick();
    EXPECT_EQ(h.relay.m_SMTPState, 0);
    // The file stays queued and is taken again at the next idle tick.
    EXPECT_EQ(Tick().size(), 1u);
    EXPECT_EQ(h.relay.SMTPBusyTime, 0);
}

TEST_F(DispatchTest, FailedFilesAreRequeuedEvery300IdleTicks) {
    Spool("1.err");
    Spool("2.err");
    for (int i = 0; i < 299; ++i) EXPECT_TRUE(Tick().empty());
    EXPECT_EQ(h.SpoolNames(), (std::vector<std::string>{"1.err", "2.err"}));
    // The 300th idle tick re-queues both and takes the first in the same tick.
    EXPECT_EQ(Tick().size(), 1u);
    EXPECT_EQ(h.SpoolNames(), (std::vector<std::string>{"1.snd", "2.snd"}));
    EXPECT_EQ(h.relay.ErrRetryTime, 0);
}

TEST_F(DispatchTest, RenamesNeverReplaceAFile) {
    Spool("a.msg", "stored");
    Spool("a.snd", "Return-Path: r\r\nFrom: f\r\nTo: t\r\n");
    Tick();
    EXPECT_EQ(h.SpoolNames(), (std::vector<std::string>{"a.msg", "a.snd"}));
    EXPECT_EQ(RelayHarness::ReadFile(h.Spool() + "a.msg"), "stored");
}

TEST_F(DispatchTest, AnUnreadableFileIsParkedAsFailed) {
    Spool("1.msg");
    Spool("2.msg");
    h.files.failReadsOf = "1.snd";
    EXPECT_TRUE(Tick().empty());
    EXPECT_EQ(h.Logged().back().rfind("(SMTP) Failed: cannot read ", 0), 0u);
    EXPECT_EQ(h.SpoolNames(), (std::vector<std::string>{"1.err", "2.msg"}));
    EXPECT_EQ(Tick().size(), 1u);
}

TEST_F(DispatchTest, TheFromAddressChoosesTheServer) {
    h.WriteConfig(
        "[General]\nSMTPServer=main.test\nSMTPPort=2525\n"
        "[SPECIFIC_1]\nSenderAddresses=*@A.TEST\nSMTPServer=a.test\nSMTPPort=26\n"
        "[SPECIFIC_2]\nSenderAddresses=boss@*\nSMTPServer=b.test\n");
    h.relay.Form_Load();
    struct Case {
        std::string fromLines, server;
    } cases[] = {
        {"From: X <x@a.test>\r\n", "a.test:26"},
        {"From: Boss <boss@a.test>\r\n", "a.test:26"},
        {"From: Boss <boss@c.test>\r\n", "b.test:2525"},
        {"From: nobody@a.test\r\n", "main.test:2525"},
        {"From: <x@a.test>\r\nFrom: <y@z.test>\r\n", "a.test:26"},
        {"From: <y@z.test>\r\nFrom: <boss@x>\r\n", "b.test:2525"},
        {"From: A <<x@a.test>>\r\n", "main.test:2525"},
    };
    for (const Case& c : cases) {
        Spool("m.msg", "Return-Path: r\r\n" + c.fromLines + "To: t\r\n");
        EXPECT_EQ(Tick(), std::vector<std::string>{c.server}) << c.fromLines;
        h.relay.CloseAndShutdownSMTPClient();
        std::filesystem::remove(h.Spool() + "m.snd");
    }
}
