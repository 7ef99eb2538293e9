// Start-up, the kinds of run, shutdown and the service events of the main object.
#include <gtest/gtest.h>

#include "support/fakes.h"

using namespace TarvixPOP2SMTP_Procs;

TEST(FormLoad, SetsPathsDirectoriesAndDefaultsWithoutLogging) {
    RelayHarness h;
    h.relay.Form_Load();
    EXPECT_EQ(g_AppPath, h.Dir());
    EXPECT_EQ(g_SpoolPath, h.Dir() + "Messages/");
    EXPECT_TRUE(std::filesystem::is_directory(h.Dir() + "Messages"));
    EXPECT_TRUE(std::filesystem::is_directory(h.Dir() + "LogFiles"));
    const TarvixPOP2SMTP_Main& r = h.relay;
    EXPECT_EQ(r.m_POPServer, "127.0.0.1");
    EXPECT_EQ(r.m_POPPort, 110);
    EXPECT_EQ(r.m_POPInterval, 10000);
    EXPECT_EQ(r.m_POPUser, "user");
    EXPECT_EQ(r.m_POPPassword, "mailkeys");
    EXPECT_EQ(r.m_SMTPServer, "127.0.0.1");
    EXPECT_EQ(r.m_SMTPPort, 25);
    EXPECT_EQ(r.m_SMTPName, "unknown");
    EXPECT_EQ(g_DebugLevel, "");
    EXPECT_FALSE(g_RunAsService);
    EXPECT_EQ(r.m_PollTimer, r.m_POPInterval);
    EXPECT_EQ(h.front.caption, "Tarvix POP2SMTP Relay Application - Version 1.0.05");
    EXPECT_TRUE(h.front.shown);
    EXPECT_TRUE(h.front.added.empty());
    EXPECT_TRUE(h.timerPOP.enabled && h.timerSMTP.enabled);
    EXPECT_FALSE(h.front.endStatus.has_value());
}

TEST(FormLoad, ReadsTheGeneralSection) {
    RelayHarness h;
    h.WriteConfig(
        "[GENERAL]\npopserver=pop.test\nPOPPort=110x\nPOPInterval=1 500\nPOPUser=u\n"
        "POPPassword=\"p w\"\nSMTPServer=smtp.test\nSMTPPort=abc\nSMTPName=me\nDebugLevel=20,99\n");
    h.relay.Form_Load();
    const TarvixPOP2SMTP_Main& r = h.relay;
    EXPECT_EQ(r.m_POPServer, "pop.test");
    EXPECT_EQ(r.m_POPPort, 110);
    EXPECT_EQ(r.m_POPInterval, 1500);
    EXPECT_EQ(r.m_PollTimer, 1500);
    EXPECT_EQ(r.m_POPPassword, "p w");
    EXPECT_EQ(r.m_SMTPServer, "smtp.test");
    EXPECT_EQ(r.m_SMTPPort, 0);
    EXPECT_EQ(r.m_SMTPName, "me");
    EXPECT_EQ(g_DebugLevel, "20,99");
}

TEST(FormLoad, ChoosesTheKindOfRun) {
    struct Case {
        const char* commandLine;
        std::string stored;
        bool installOk, uninstallOk;
        std::vector<std::string> calls;
        std::vector<std::string> boxes;
        std::optional<int> status;
    } cases[] = {
        {"", "", true, true, {}, {}, std::nullopt},
        {"/u",
         "1",
         true,
         true,
         {"uninstall", "save Parameters RunAsService 0"},
         {"Tarvix POP to SMTP Relay Service service uninstalled successfully"},
         0},
        {"--x /UPDATE",
         "",
         true,
         true,
         {"uninstall", "save Parameters RunAsService 0"},
         {"Tarvix POP to SMTP Relay Service service uninstalled successfully"},
         0},
        {"/I /U",
         "",
         true,
         true,
         {"uninstall", "save Parameters RunAsService 0"},
         {"Tarvix POP to SMTP Relay Service service uninstalled successfully"},
         0},
        {"/i",
         "",
         true,
         true,
         {"not interactive", "accept 5", "install", "save Parameters RunAsService 1"},
         {"Tarvix POP to SMTP Relay Service service installation succeeded"},
         0},
        {"/I",
         "",
         false,
         true,
         {"not interactive", "accept 5", "install"},
         {"Tarvix POP to SMTP Relay Service failed to install as service"},
         1},
        {"/U",
         "1",
         true,
         false,
         {"uninstall"},
         {"Tarvix POP to SMTP Relay Service failed to uninstall as service"},
         1},
        {"",
         "1",
         true,
         true,
         {"accept 5", "start", "event 4 110 Tarvix POP2SMTP started"},
         {},
         std::nullopt},
        {"", "abc", true, true, {}, {}, std::nullopt},
    };
    for (const Case& c : cases) {
        RelayHarness h(c.commandLine);
        h.service.stored = c.stored;
        h.service.installResult = c.installOk;
        h.service.uninstallResult = c.uninstallOk;
        h.relay.Form_Load();
        EXPECT_EQ(h.service.calls, c.calls) << c.commandLine;
        EXPECT_EQ(h.front.boxes, c.boxes) << c.commandLine;
        EXPECT_EQ(h.front.endStatus, c.status) << c.commandLine;
        const bool relayRun = !c.status.has_value();
        EXPECT_EQ(h.front.shown, relayRun && c.stored != "1") << c.commandLine;
        EXPECT_EQ(h.front.hidden, relayRun && c.stored == "1") << c.commandLine;
        EXPECT_TRUE(h.front.added.empty()) << c.commandLine;
    }
}

TEST(FormLoad, ProgramInTheRootDirectory) {
    FakeFrontEnd front;
    FakeClock clock;
    PosixFileSystem files;
    FakeService service;
    FakeSocket pop, smtp;
    FakeTimer t1, t2;
    TarvixPOP2SMTP_Main relay(
        RelayPlatform{front, clock, files, service, pop, smtp, t1, t2, "/", "/U"});
    relay.Form_Load();
    EXPECT_EQ(g_AppPath, "/");
    EXPECT_EQ(g_SpoolPath, "/Messages/");
}

TEST(Shutdown, StopEventDisablesBothTimersBeforeTheUnload) {
    RelayHarness h;
    h.service.stored = "1";
    std::vector<std::string> order;
    h.timerPOP.name = "Timer_POP";
    h.timerSMTP.name = "Timer_SMTP";
    h.relay.Form_Load();
    h.timerPOP.calls = h.timerSMTP.calls = &order;
    h.service.calls.clear();
    h.relay.NTService_Stop();
    EXPECT_EQ(order, (std::vector<std::string>{"Timer_POP disabled", "Timer_SMTP disabled"}));
    EXPECT_EQ(h.service.calls, std::vector<std::string>{"event 4 110 Tarvix POP2SMTP stopped"});
    EXPECT_EQ(h.front.endStatus, 0);
}

TEST(Shutdown, ClosingTheWindowLogsNothing) {
    RelayHarness h;
    h.relay.Form_Load();
    int cancel = 0;
    h.relay.Form_Unload(cancel);
    EXPECT_TRUE(h.service.calls.empty());
    EXPECT_TRUE(h.front.added.empty());
    EXPECT_EQ(h.front.endStatus, 0);
    bool success = false;
    h.relay.NTService_Pause(success);
    EXPECT_TRUE(success);
}
