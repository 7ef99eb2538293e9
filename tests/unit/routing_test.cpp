// Wildcard matching, routing rules from the configuration file, and the choice of the server.
#include <gtest/gtest.h>

#include "spool/rules.h"
#include "support/fakes.h"

using namespace TarvixPOP2SMTP_Procs;

TEST(MatchWildcard, NoBacktrackingAndAtMost31Segments) {
    const std::string capped = "B?B?B?B?B?B?B?B?B?B?B?B?B?B?B?B?B?B";  // 35 characters
    struct Case {
        std::string text, pattern;
        bool expected;
    } cases[] = {
        {"", "*", true},
        {"", "", false},
        {"", "?", false},
        {"ABC", "", false},
        {"ABC", "ABC", true},
        {"ABCD", "ABC", false},
        {"abc", "ABC", false},
        {"ABC", "A*", true},
        {"A", "A*", true},
        {"BA", "*A", true},
        {"ABA", "*A", false},
        {"XABAB", "*AB", false},
        {"AXBYC", "A*B*C", true},
        {"ABC", "A?C", true},
        {"A?C", "A?C", true},
        {"AC", "A?C", false},
        {"ABBC", "A?C", false},
        {"ABC", "???", true},
        {"ABCD", "???", false},
        {"ABC", "**", true},
        {"", "**", false},
        {"ABC", "*?", false},
        {"A", "*?", true},
        {"ABC", "*?C", false},
        {"ABC", "?B*", true},
        {"X@SALES.COM", "*@SALES.COM", true},
        {"X@SALES.COM.EVIL", "*@SALES.COM", false},
        {std::string(31, 'B'), capped, true},
        {std::string(35, 'B'), capped, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(MatchWildcard(c.text, c.pattern), c.expected) << c.text << " ~ " << c.pattern;
    }
}

namespace {
std::vector<cTarvixPOP2SMTP_Specific> Rules(std::vector<std::string> addresses) {
    std::vector<cTarvixPOP2SMTP_Specific> rules;
    int port = 1;
    for (auto& a : addresses) rules.push_back({a, "rule" + std::to_string(port), port++});
    return rules;
}
}  // namespace

TEST(SelectSMTPServer, FirstMatchingRuleInOrderWins) {
    struct Case {
        std::vector<std::string> addresses;
        std::string sender, server;
    } cases[] = {
        {{"*A", "X*"}, "xa", "rule1"},        {{"*A", "X*"}, "xb", "rule2"},
        {{"*A", "X*"}, "yb", "default"},      {{"X, , Y"}, "y", "default"},
        {{"X, , Y"}, "x", "rule1"},           {{",X"}, "x", "default"},
        {{"  b@c  ,  *@d "}, "A@D", "rule1"}, {{""}, "anything", "default"},
    };
    for (const Case& c : cases) {
        std::string server = "default";
        int32_t port = 25;
        SelectSMTPServer(c.sender, Rules(c.addresses), server, port);
        EXPECT_EQ(server, c.server) << c.sender;
    }
}

TEST(LoadSpecificRules, ReadsRoutingSectionsInFileOrder) {
    RelayHarness h;
    h.WriteConfig(
        "[General]\nSMTPServer=main.test\nSMTPPort=2525\n"
        "[specific_1]\nSenderAddresses=*@a.test\nSMTPServer=a.test\nSMTPPort=26.5\n"
        "[SPECIFIC]\nSenderAddresses=*\n"
        "[Other]\nSenderAddresses=*\n"
        "[SPECIFIC_]\nSenderAddresses=b@b.test\n"
        "[Specific_port]\nSMTPPort=abc\n");
    h.relay.Form_Load();
    std::vector<cTarvixPOP2SMTP_Specific> rules = h.relay.LoadSpecificRules();
    ASSERT_EQ(rules.size(), 3u);
    EXPECT_EQ(rules[0].m_SenderAddresses, "*@a.test");
    EXPECT_EQ(rules[0].m_SMTPServer, "a.test");
    EXPECT_EQ(rules[0].m_SMTPPort, 26);
    EXPECT_EQ(rules[1].m_SenderAddresses, "b@b.test");
    EXPECT_EQ(rules[1].m_SMTPServer, "main.test");
    EXPECT_EQ(rules[1].m_SMTPPort, 2525);
    EXPECT_EQ(rules[2].m_SenderAddresses, "");
    EXPECT_EQ(rules[2].m_SMTPPort, 0);

    std::filesystem::remove(h.Dir() + "TarvixPOP2SMTP.ini");
    EXPECT_TRUE(h.relay.LoadSpecificRules().empty());
}
