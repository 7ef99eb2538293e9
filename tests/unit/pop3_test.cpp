// The POP3 poll cycle and session, driven through the fake socket and clock.
#include <gtest/gtest.h>

#include "support/fakes.h"

namespace {

class Pop3Test : public ::testing::Test {
  protected:
    void SetUp() override { h.relay.Form_Load(); }
    // Ticks until a session starts, then has the server greet and log the user in.
    void StartSession() {
        h.timerPOP.tick();
        ASSERT_EQ(h.relay.m_POPState, 1);
    }
    void LogIn() {
        StartSession();
        h.pop.Deliver("+OK ready\r\n+OK user\r\n+OK pass\r\n");
        ASSERT_EQ(h.pop.TakeSent(), "USER user\r\nPASS mailkeys\r\nLIST\r\n");
    }
    RelayHarness h;
};

std::string Listing(int from, int to) {
    std::string s = "+OK\r\n";
    for (int i = from; i <= to; ++i) s += std::to_string(i) + " 120\r\n";
    return s + ".\r\n";
}

}  // namespace

TEST_F(Pop3Test, ANormalSessionStoresAndDeletesEachMessage) {
    LogIn();
    h.pop.Deliver("+OK 2 messages\r\n7 120\r\n9 300\r\n.\r\n");
    EXPECT_EQ(h.pop.TakeSent(), "RETR 7\r\n");
    h.pop.Deliver("+OK\r\nSubject: x\r\n..y\r\n.\r\n");
    EXPECT_EQ(h.pop.TakeSent(), "DELE 7\r\n");
    EXPECT_EQ(h.relay.m_POPState, 8);
    h.pop.Deliver("+OK deleted\r\n");
    EXPECT_EQ(h.pop.TakeSent(), "RETR 9\r\n");
    h.pop.Deliver("+OK\r\n.\r\n+OK deleted\r\n");
    EXPECT_EQ(h.pop.TakeSent(), "DELE 9\r\nQUIT\r\n");
    int closes = h.pop.closes;
    h.pop.Deliver("+OK bye\r\n");
    EXPECT_EQ(h.relay.m_POPState, 0);
    EXPECT_EQ(h.pop.closes, closes + 1);

    EXPECT_EQ(h.SpoolNames(),
              (std::vector<std::string>{"20261204_073105_00001.msg", "20261204_073105_00002.msg"}));
    EXPECT_EQ(RelayHarness::ReadFile(h.Spool() + "20261204_073105_00001.msg"),
              "Subject: x\r\n..y\r\n\r\n");
    EXPECT_EQ(RelayHarness::ReadFile(h.Spool() + "20261204_073105_00002.msg"), "\r\n");
}

TEST_F(Pop3Test, LinesAreCutAtLineFeedsWhateverTheChunks) {
    // Each case delivers its chunks one event each and expects the commands sent.
    struct Case {
        std::vector<std::string> chunks;
        std::string sent;
        int16_t state;
    } cases[] = {
        {{"+O", "K hi\r\n"}, "USER user\r\n", 2},
        {{"+OK hi\r\n+OK\r\n"}, "USER user\r\nPASS mailkeys\r\n", 3},
        {{"+OK hi\r\r\n+OK\n"}, "USER user\r\nPASS mailkeys\r\n", 3},
        {{"+OK", " hi", "\r", "\n"}, "USER user\r\n", 2},
        {{"\r+OK\n"}, "USER user\r\n", 2},
        // A refusal only closes: the next line of the event is handled in the same state
        // (its command goes nowhere, the socket being closed).
        {{"-ERR no\r\n+OK\r\n"}, "", 2},
    };
    for (const Case& c : cases) {
        RelayHarness local;
        local.relay.Form_Load();
        local.timerPOP.tick();
        for (const std::string& chunk : c.chunks) local.pop.Deliver(chunk);
        EXPECT_EQ(local.pop.TakeSent(), c.sent) << ::testing::PrintToString(c.chunks);
        EXPECT_EQ(local.relay.m_POPState, c.state) << ::testing::PrintToString(c.chunks);
        EXPECT_EQ(local.relay.m_ReceivedPOPData, "");
    }
}

TEST_F(Pop3Test, MessageLinesAreStoredAsReceived) {
    LogIn();
    h.pop.Deliver(Listing(1, 1));
    h.pop.TakeSent();
    h.pop.Deliver(
        "+OK\r\nA: b\r\n\r\n..\r\n.x\r\n+plus\r\n-minus\r\nmid\rdle\r\nlf only\n8bit \xe9\xff\r\n");
    h.pop.Deliver(std::string("nul \0 byte\r\n.\r\n", 15));
    EXPECT_EQ(RelayHarness::ReadFile(h.Spool() + "20261204_073105_00001.msg"),
              "A: b\r\n\r\n..\r\n.x\r\n+plus\r\n-minus\r\nmiddle\r\nlf only\r\n8bit \xe9\xff\r\n" +
                  std::string("nul \0 byte\r\n\r\n", 14));
}

TEST_F(Pop3Test, ADotLineKeepsTheKindOfThePreviousLineOfItsEvent) {
    LogIn();
    h.pop.Deliver(Listing(3, 3));
    EXPECT_EQ(h.pop.TakeSent(), "RETR 3\r\n");
    // First line of an event starts as positive: ".x" moves state 6 on.
    h.pop.Deliver(".x\r\n");
    EXPECT_EQ(h.relay.m_POPState, 7);

    RelayHarness other;
    other.relay.Form_Load();
    other.timerPOP.tick();
    other.pop.Deliver("+OK\r\n+OK\r\n+OK\r\n");
    other.pop.Deliver(Listing(3, 3));
    other.pop.TakeSent();
    // After a negative line in the same event, ".x" counts as negative too.
    other.pop.Deliver("-ERR\r\n");
    int closes = other.pop.closes;
    other.pop.Deliver("junk\r\n.x\r\n");
    EXPECT_EQ(other.pop.closes, closes + 2);
    EXPECT_EQ(other.relay.m_POPState, 6);
}

TEST_F(Pop3Test, NegativeRepliesCloseAndLeaveTheStateToTheWatchdog) {
    // The replies that bring a session to a state, then a refusal in that state.
    const std::vector<std::string> toState = {
        "",                                          // 1: greeting awaited
        "+OK\r\n",                                   // 2: USER sent
        "+OK\r\n+OK\r\n",                            // 3: PASS sent
        "+OK\r\n+OK\r\n+OK\r\n",                     // 4: LIST sent
        "+OK\r\n+OK\r\n+OK\r\n+OK\r\n1 5\r\n.\r\n",  // 6: RETR sent
    };
    const int16_t states[] = {1, 2, 3, 4, 6};
    for (std::size_t i = 0; i < toState.size(); ++i) {
        RelayHarness local;
        local.relay.Form_Load();
        local.timerPOP.tick();
        if (!toState[i].empty()) local.pop.Deliver(toState[i]);
        ASSERT_EQ(local.relay.m_POPState, states[i]);
        local.pop.TakeSent();
        int closes = local.pop.closes;
        local.pop.Deliver("-ERR no\r\n");
        EXPECT_EQ(local.pop.closes, closes + 1) << "state " << states[i];
        EXPECT_EQ(local.relay.m_POPState, states[i]);
        EXPECT_EQ(local.pop.TakeSent(), "");
    }
}

TEST_F(Pop3Test, ListAnswers) {
    struct Case {
        std::string listing;
        std::string firstCommand;
        int16_t count;
    } cases[] = {
        {"+OK\r\n.\r\n", "QUIT\r\n", 0},
        {"+OK\r\n7 1200\r\nnot a number\r\n-1 5\r\n12\r\n.\r\n", "RETR 7\r\n", 2},
        {Listing(1, 150), "RETR 1\r\n", 100},
    };
    for (const Case& c : cases) {
        RelayHarness local;
        local.relay.Form_Load();
        local.timerPOP.tick();
        local.pop.Deliver("+OK\r\n+OK\r\n+OK\r\n");
        local.pop.TakeSent();
        local.pop.Deliver(c.listing);
        EXPECT_EQ(local.pop.TakeSent(), c.firstCommand);
        EXPECT_EQ(local.relay.m_POPMessageCount, c.count);
    }
}

TEST_F(Pop3Test, AtMostOneHundredMessagesPerSession) {
    LogIn();
    h.pop.Deliver(Listing(1, 150));
    std::string commands = h.pop.TakeSent();
    for (int i = 1; i <= 100; ++i) {
        h.pop.Deliver("+OK\r\nline\r\n.\r\n+OK\r\n");
        commands += h.pop.TakeSent();
    }
    EXPECT_NE(commands.find("RETR 100\r\nDELE 100\r\nQUIT\r\n"), std::string::npos);
    EXPECT_EQ(commands.find("RETR 101"), std::string::npos);
    EXPECT_EQ(h.SpoolNames().size(), 100u);
    EXPECT_EQ(h.SpoolNames().back(), "20261204_073105_00064.msg");
}

TEST_F(Pop3Test, ProtocolLinesAreLoggedUnderTheirState) {
    h.WriteConfig("[General]\nDebugLevel=1,2\n");
    RelayHarness& r = h;
    r.relay.Form_Load();
    r.timerPOP.tick();
    r.pop.Deliver("+OK hello\r\n+OK\r\n");
    std::string file = RelayHarness::ReadFile(r.Dir() + "LogFiles/20261204.Log");
    EXPECT_EQ(file,
              "26-12-04 07:31:05 (<- POP3) +OK hello\r\n"
              "26-12-04 07:31:05 (-> POP3) USER user\r\n"
              "26-12-04 07:31:05 (<- POP3) +OK\r\n"
              "26-12-04 07:31:05 (-> POP3) PASS mailkeys\r\n");
}

TEST_F(Pop3Test, AMessageThatCannotBeStoredIsNotDeleted) {
    LogIn();
    h.pop.Deliver(Listing(4, 4));
    h.pop.TakeSent();
    h.files.failWrites = true;
    int closes = h.pop.closes;
    h.pop.Deliver("+OK\r\nbody\r\n.\r\n");
    EXPECT_EQ(h.pop.TakeSent(), "");
    EXPECT_EQ(h.pop.closes, closes + 1);
    EXPECT_EQ(h.Logged().back().rfind("(   POP3) Failed: cannot write ", 0), 0u);
    EXPECT_TRUE(h.SpoolNames().empty());
}

TEST_F(Pop3Test, ANameInUseIsNeverOverwritten) {
    // A file of an earlier run with the same second and counter, in any state.
    for (const char* ext : {"msg", "snd", "err"}) {
        RelayHarness local;
        local.relay.Form_Load();
        const std::string earlier = local.Spool() + "20261204_073105_00001." + ext;
        RelayHarness::WriteFile(earlier, "earlier message");
        local.timerPOP.tick();
        local.pop.Deliver("+OK\r\n+OK\r\n+OK\r\n" + Listing(1, 1));
        local.pop.TakeSent();
        local.pop.Deliver("+OK\r\nnew\r\n.\r\n");
        EXPECT_EQ(local.pop.TakeSent(), "") << ext;
        EXPECT_EQ(RelayHarness::ReadFile(earlier), "earlier message");
        EXPECT_EQ(local.SpoolNames().size(), 1u);
    }
}

TEST_F(Pop3Test, SpoolNamesCarryTheTimeAndAWrappingHexCounter) {
    struct Case {
        int32_t counterBefore;
        const char* expected;
    } cases[] = {{0, "20240304_090507_00001.msg"},
                 {25, "20240304_090507_0001a.msg"},
                 {65534, "20240304_090507_0ffff.msg"},
                 {65535, "20240304_090507_00000.msg"}};
    for (const Case& c : cases) {
        RelayHarness local;
        local.relay.Form_Load();
        local.clock.now = LocalTime{2024, 3, 4, 1, 9, 5, 7};
        local.relay.m_InternalMessageId = c.counterBefore;
        local.timerPOP.tick();
        local.pop.Deliver("+OK\r\n+OK\r\n+OK\r\n" + Listing(1, 1) + "+OK\r\n.\r\n");
        EXPECT_EQ(local.SpoolNames(), std::vector<std::string>{c.expected});
    }
}

TEST_F(Pop3Test, PollTimingFollowsIdleTicks) {
    // First tick after start-up polls at once.
    h.timerPOP.tick();
    EXPECT_EQ(h.pop.connects, std::vector<std::string>{"127.0.0.1:110"});
    EXPECT_EQ(h.Logged().front(), "(   POP3) Trying to connect to 127.0.0.1:110");
    // A whole session that ends normally.
    h.pop.Deliver("+OK\r\n+OK\r\n+OK\r\n+OK\r\n.\r\n+OK bye\r\n");
    ASSERT_EQ(h.relay.m_POPState, 0);
    for (int i = 0; i < 99; ++i) h.timerPOP.tick();
    EXPECT_EQ(h.pop.connects.size(), 1u);
    h.timerPOP.tick();  // the 100th idle tick: 10000 ms
    EXPECT_EQ(h.pop.connects.size(), 2u);
}

TEST_F(Pop3Test, WatchdogCutsASessionOnItsHundredAndFirstBusyTick) {
    StartSession();
    h.pop.Deliver("-ERR go away\r\n");  // refused: closed, state stays 1
    for (int i = 0; i < 100; ++i) h.timerPOP.tick();
    EXPECT_EQ(h.relay.m_POPState, 1);
    h.timerPOP.tick();
    EXPECT_EQ(h.relay.m_POPState, 0);
    EXPECT_EQ(h.relay.POPWatchdogTime, 10100);
    // The next poll comes a full interval after the cut.
    for (int i = 0; i < 99; ++i) h.timerPOP.tick();
    EXPECT_EQ(h.pop.connects.size(), 1u);
    h.timerPOP.tick();
    EXPECT_EQ(h.pop.connects.size(), 2u);
}

TEST_F(Pop3Test, RunPOPNow) {
    h.timerPOP.tick();
    h.pop.Deliver("+OK\r\n+OK\r\n+OK\r\n+OK\r\n.\r\n+OK\r\n");
    // Twice between two ticks while idle: one session.
    h.relay.Menu_RunPOP_Click();
    h.relay.Menu_RunPOP_Click();
    h.timerPOP.tick();
    h.timerPOP.tick();
    EXPECT_EQ(h.pop.connects.size(), 2u);
    // During a session: a new one on the first idle tick after it.
    h.relay.Menu_RunPOP_Click();
    h.pop.Deliver("+OK\r\n+OK\r\n+OK\r\n+OK\r\n.\r\n+OK\r\n");
    EXPECT_EQ(h.relay.m_POPState, 0);
    h.timerPOP.tick();
    EXPECT_EQ(h.pop.connects.size(), 3u);
}

TEST_F(Pop3Test, IntervalZeroPollsOnEveryIdleTickAndHugeIntervalsSaturate) {
    RelayHarness zero;
    zero.WriteConfig("[General]\nPOPInterval=0\n");
    zero.relay.Form_Load();
    for (int i = 0; i < 3; ++i) {
        zero.timerPOP.tick();
        zero.pop.Deliver("+OK\r\n+OK\r\n+OK\r\n+OK\r\n.\r\n+OK\r\n");
    }
    EXPECT_EQ(zero.pop.connects.size(), 3u);

    RelayHarness huge;
    huge.WriteConfig("[General]\nPOPInterval=2147483647\n");
    huge.relay.Form_Load();
    huge.relay.m_PollTimer = 2147483600;
    huge.timerPOP.tick();
    EXPECT_EQ(huge.pop.connects.size(), 1u);
    EXPECT_EQ(huge.relay.m_PollTimer, 0);
}

TEST_F(Pop3Test, ConnectionEvents) {
    h.pop.failConnectWith = "Invalid argument: port 0 is out of range";
    h.timerPOP.tick();
    EXPECT_EQ(h.Logged().back(), "(   POP3) Failed: Invalid argument: port 0 is out of range");
    EXPECT_EQ(h.relay.m_POPState, 1);

    h.pop.failConnectWith.reset();
    h.relay.CloseAndShutdownPOPClient();
    h.timerPOP.tick();
    h.pop.ev.onConnect();
    EXPECT_EQ(h.Logged().back(), "(   POP3) Connected to 127.0.0.1:110");
    h.pop.Deliver("+OK\r\n+OK\r\n+OK\r\n+OK\r\n1 5\r\n.\r\n+OK\r\npartial");
    h.pop.ev.onClose();
    h.pop.ev.onError(10061, "Connection refused");
    std::vector<std::string> logged = h.Logged();
    std::vector<std::string> tail(logged.end() - 2, logged.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"(   POP3) Closed 127.0.0.1:110",
                                              "(   POP3) Socket Error: Connection refused"}));
    EXPECT_EQ(h.relay.m_POPState, 0);
    EXPECT_EQ(h.relay.m_ReceivedPOPMessage, "");
    EXPECT_TRUE(h.SpoolNames().empty());
}
