// The SMTP connection and session: replies by state, the composed rows, errors and closes.
#include <gtest/gtest.h>

#include "smtp/compose.h"
#include "support/fakes.h"

namespace {

// A relay with one message taken for delivery: the session waits for the greeting.
std::unique_ptr<RelayHarness> StartDelivery() {
    auto h = std::make_unique<RelayHarness>();
    h->WriteConfig("[General]\nSMTPName=relay.test\n");
    h->relay.Form_Load();
    RelayHarness::WriteFile(h->Spool() + "20261204_073105_0001f.msg",
                            "Return-Path: <r@x>\r\nFrom: Name <a@b.test>\r\nTo: T <t@c.test>\r\n"
                            "Subject: hello\r\n\r\n..dot\r\nline\r\n\r\n");
    h->timerSMTP.tick();
    return h;
}

// The server's replies that bring a fresh session to `state`, one event each.
void ReplyUpTo(RelayHarness& h, int16_t state) {
    const char* replies[] = {"220 hi\r\n", "250 hello\r\n", "250 ok\r\n",
                             "250 ok\r\n", "354 go\r\n",    "250 queued\r\n"};
    for (int s = 1; s < state; ++s) h.smtp.Deliver(replies[s - 1]);
    ASSERT_EQ(h.relay.m_SMTPState, state);
}

class SmtpTest : public ::testing::Test {
  protected:
    void ReplyUpTo(int16_t state) { ::ReplyUpTo(h, state); }
    std::unique_ptr<RelayHarness> owner = StartDelivery();
    RelayHarness& h = *owner;
};

}  // namespace

TEST_F(SmtpTest, ACompleteDeliverySendsTheComposedMessage) {
    ReplyUpTo(6);
    EXPECT_EQ(h.smtp.TakeSent(),
              "HELO relay.test\r\n"
              "MAIL FROM: <a@b.test>\r\n"
              "RCPT TO: <t@c.test>\r\n"
              "DATA\r\n"
              "Message-ID: <20261204_073105_0001f.>\r\n"
              "From: Name <a@b.test>\r\n"
              "To: T <t@c.test>\r\n"
              "Subject: hello\r\n"
              "Date: Fri, 4 Dec 2026 07:31:05 +0100\r\n"
              "MIME-Version: 1.0\r\n"
              "Content-Type: text/plain;\r\n"
              "\r\n"
              "..dot\r\nline\r\n"
              ".\r\n");
    EXPECT_FALSE(h.relay.m_SMTPSucceed);
    h.smtp.Deliver("250 queued\r\n");
    EXPECT_TRUE(h.relay.m_SMTPSucceed);
    EXPECT_EQ(h.smtp.TakeSent(), "QUIT\r\n");
    h.smtp.Deliver("221 bye\r\n");
    EXPECT_EQ(h.relay.m_SMTPState, 0);
    // The next tick deletes the file, the one after finds nothing to do.
    h.timerSMTP.tick();
    EXPECT_TRUE(h.SpoolNames().empty());
    EXPECT_FALSE(h.relay.m_SMTPSucceed);
}

TEST_F(SmtpTest, RefusedRepliesCloseAndKeepTheState) {
    struct Case {
        int16_t state;
        const char* reply;
    } cases[] = {{1, "554 go away\r\n"}, {2, "501 bad\r\n"},     {3, "550 no\r\n"},
                 {4, "450 later\r\n"},   {5, "250 not 354\r\n"}, {5, "554 no\r\n"},
                 {1, "no number\r\n"},   {2, "300 odd\r\n"}};
    for (const Case& c : cases) {
        std::unique_ptr<RelayHarness> fresh = StartDelivery();
        RelayHarness& h = *fresh;
        ::ReplyUpTo(h, c.state);
        h.smtp.TakeSent();
        int closes = h.smtp.closes;
        h.smtp.Deliver(c.reply);
        EXPECT_EQ(h.smtp.closes, closes + 1) << c.reply;
        EXPECT_EQ(h.relay.m_SMTPState, c.state) << c.reply;
        EXPECT_EQ(h.smtp.TakeSent(), "") << c.reply;
        EXPECT_FALSE(h.relay.m_SMTPSucceed);
        EXPECT_EQ(h.SpoolNames(), std::vector<std::string>{"20261204_073105_0001f.snd"});
    }
}

TEST_F(SmtpTest, ANegativeReplyToTheEndOfDataStillCountsAsHandedOver) {
    ReplyUpTo(6);
    h.smtp.TakeSent();
    h.smtp.Deliver("554 rejected\r\n");
    EXPECT_TRUE(h.relay.m_SMTPSucceed);
    EXPECT_EQ(h.smtp.TakeSent(), "");
    EXPECT_EQ(h.relay.m_SMTPState, 6);
    for (int i = 0; i < 101; ++i) h.timerSMTP.tick();  // the watchdog ends the session
    EXPECT_EQ(h.relay.m_SMTPState, 0);
    h.timerSMTP.tick();
    EXPECT_TRUE(h.SpoolNames().empty());
}

TEST_F(SmtpTest, AnyReplyToQuitEndsTheSession) {
    ReplyUpTo(7);
    h.smtp.Deliver("500 what\r\n");
    EXPECT_EQ(h.relay.m_SMTPState, 0);
}

TEST_F(SmtpTest, RepliesAreCutAtLineFeedsAcrossEvents) {
    h.smtp.Deliver("22");
    EXPECT_EQ(h.smtp.TakeSent(), "");
    h.smtp.Deliver("0 hi\r\n250 a\r\r\n25");
    EXPECT_EQ(h.relay.m_SMTPState, 3);
    h.smtp.Deliver("0 b\n");
    EXPECT_EQ(h.relay.m_SMTPState, 4);
    EXPECT_EQ(h.relay.m_ReceivedSMTPData, "");
}

TEST_F(SmtpTest, AMultiLineGreetingWalksAheadAndIsRefusedAtData) {
    h.smtp.Deliver("220-first\r\n220 second\r\n");
    EXPECT_EQ(h.relay.m_SMTPState, 3);
    h.smtp.Deliver("250 hello\r\n250 sender ok\r\n");
    EXPECT_EQ(h.relay.m_SMTPState, 5);
    int closes = h.smtp.closes;
    h.smtp.Deliver("250 recipient ok\r\n");
    EXPECT_EQ(h.smtp.closes, closes + 1);
    EXPECT_EQ(h.relay.m_SMTPState, 5);
}

TEST_F(SmtpTest, SocketEvents) {
    h.smtp.ev.onConnect();
    EXPECT_EQ(h.Logged().back(), "(   SMTP) Connected to 127.0.0.1:25");
    h.smtp.ev.onClose();
    EXPECT_EQ(h.Logged().back(), "(   SMTP) Closed 127.0.0.1:25");
    EXPECT_EQ(h.relay.m_SMTPState, 0);
    EXPECT_EQ(h.SpoolNames(), std::vector<std::string>{"20261204_073105_0001f.snd"});

    h.timerSMTP.tick();  // taken again at once
    h.smtp.ev.onError(10061, "Connection refused");
    EXPECT_EQ(h.Logged().back(), "(   SMTP) Socket Error: Connection refused");
    EXPECT_EQ(h.relay.m_SMTPState, 0);
    EXPECT_EQ(h.SpoolNames(), std::vector<std::string>{"20261204_073105_0001f.err"});
    // A later error with the file already renamed changes nothing.
    h.smtp.ev.onError(10054, "Connection reset");
    EXPECT_EQ(h.SpoolNames(), std::vector<std::string>{"20261204_073105_0001f.err"});
}

TEST_F(SmtpTest, AConnectThatFailsAtOnceIsLoggedAndLeftToTheWatchdog) {
    h.relay.CloseAndShutdownSMTPClient();
    h.smtp.failConnectWith = "Invalid argument: port 0 is out of range";
    h.relay.SMTPSend("127.0.0.1", 0);
    EXPECT_EQ(h.Logged().back(), "(   SMTP) Failed: Invalid argument: port 0 is out of range");
    EXPECT_EQ(h.relay.m_SMTPState, 1);
}

TEST(Compose, DateLineAndEnvelopeAddresses) {
    EXPECT_EQ(compose::DateLine(LocalTime{2026, 12, 4, 5, 7, 31, 7}),
              "Date: Fri, 4 Dec 2026 07:31:07 +0100");
    EXPECT_EQ(compose::DateLine(LocalTime{2027, 7, 18, 0, 23, 0, 59}),
              "Date: Sun, 18 Jul 2027 23:00:59 +0100");
    struct Case {
        const char *value, *expected;
    } cases[] = {{"Name <a@b>", "a@b>"},
                 {"<a@b>, <c@d>", "a@b>, <c@d>"},
                 {"a@b", "a@b>"},
                 {"<a@b> trailing", "a@b> trailing"},
                 {"", ">"}};
    for (const Case& c : cases) EXPECT_EQ(compose::AngleAddress(c.value), c.expected) << c.value;
}

TEST(SmtpRows, EmptySubjectAndEmptyBody) {
    RelayHarness h;
    h.relay.Form_Load();
    RelayHarness::WriteFile(h.Spool() + "e.msg", "Return-Path: r\r\nFrom: f\r\nTo: t\r\n\r\n\r\n");
    h.timerSMTP.tick();
    h.smtp.Deliver("220 a\r\n250 b\r\n250 c\r\n250 d\r\n");
    h.smtp.TakeSent();
    h.smtp.Deliver("354 go\r\n");
    const std::string sent = h.smtp.TakeSent();
    EXPECT_NE(sent.find("\r\nSubject: \r\n"), std::string::npos);
    EXPECT_EQ(sent.substr(sent.size() - 10), ";\r\n\r\n\r\n.\r\n");
}
