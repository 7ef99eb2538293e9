// The profile-file reader, the log level selection, WriteLog and the on-screen list.
#include <gtest/gtest.h>

#include "shell/profile.h"
#include "support/fakes.h"

using namespace TarvixPOP2SMTP_Procs;

TEST(ProfileFile, ReadsValuesByTheProfileRules) {
    const std::string text =
        "; comment\r\n"
        "orphan=before any section\n"
        "[General]\r\n"
        "  POPServer =  mail.example.net  \r\n"
        "Quoted=\"  spaced  \"\n"
        "Single='x'\n"
        "Mismatched=\"x'\n"
        "Inner=a\"b\"c\n"
        "Empty=\n"
        "NoEquals\n"
        "Twice=first\n"
        "twice=second\n"
        "Eq=a=b\n"
        "\t[ Second ]\t\n"
        "Key=in second\n"
        "[general]\n"
        "Later=from the duplicate section\n"
        "[Broken\n"
        "Key=still in second\n";
    ProfileFile f = ProfileFile::Parse(text);
    struct Case {
        const char *section, *key, *def, *expected;
    } cases[] = {
        {"general", "popserver", "d", "mail.example.net"},
        {"GENERAL", "Quoted", "d", "  spaced  "},
        {"General", "Single", "d", "x"},
        {"General", "Mismatched", "d", "\"x'"},
        {"General", "Inner", "d", "a\"b\"c"},
        {"General", "Empty", "d", ""},
        {"General", "NoEquals", "d", "d"},
        {"General", "Twice", "d", "first"},
        {"General", "Eq", "d", "a=b"},
        {"General", "orphan", "d", "d"},
        {"General", "Later", "def  ", "def"},
        {"Second", "Key", "d", "in second"},
        {"Missing", "Key", "  keep leading", "  keep leading"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(f.GetString(c.section, c.key, c.def), c.expected) << c.section << "/" << c.key;
    }
    EXPECT_EQ(f.SectionNames(), std::string("General\0Second\0general\0", 23));
}

TEST(ProfileFile, CutsLongValuesAndLongSectionLists) {
    ProfileFile f = ProfileFile::Parse("[S]\nk=" + std::string(3000, 'v') + "\n");
    EXPECT_EQ(f.GetString("S", "k", ""), std::string(2047, 'v'));

    std::string many;
    for (int i = 0; i < 3000; ++i) many += "[SPECIFIC_" + std::to_string(i) + "]\n";
    std::string names = ProfileFile::Parse(many).SectionNames();
    EXPECT_EQ(names.size(), 20478u);
    EXPECT_EQ(names.substr(0, 12), std::string("SPECIFIC_0\0S", 12));
}

TEST(ProfileFile, AnyBytesGiveSomeResult) {
    ProfileFile f = ProfileFile::Parse(std::string("\0[\xff]\n=\n[x]\n\0=\1\n", 16));
    EXPECT_EQ(f.GetString("nothing", "k", "d"), "d");
}

TEST(ReadIniValue, UsesTheConfigurationFileOfTheProgramDirectory) {
    RelayHarness h;
    g_AppPath = h.Dir();
    EXPECT_EQ(ReadIniValue("General", "POPPort", "110"), "110");  // no file: the default
    h.WriteConfig("[general]\npopport=2110\n");
    EXPECT_EQ(ReadIniValue("General", "POPPort", "110"), "2110");
}

TEST(LevelSelection, FollowsTheDebugLevelList) {
    struct Case {
        const char* debugLevel;
        int16_t level;
        bool selected;
    } cases[] = {
        {"", 99, false},      {"*", 7, true},
        {" 99 ", 99, true},   {"20,99", 99, true},
        {"20,,99", 20, true}, {"20,,99", 99, false},
        {"abc", 0, true},     {"abc", 1, false},
        {"20.0", 20, true},   {"20.5", 20, false},
        {"20.5", 21, false},  {"7, *", 3, true},
        {",99", 99, false},   {"1,2,3,4,5,6,7", 7, true},
        {"2 0", 20, true},    {"&H63", 99, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsLevelSelected(c.debugLevel, c.level), c.selected)
            << "'" << c.debugLevel << "' level " << c.level;
    }
}

TEST(WriteLog, WritesSelectedLinesToTheDaysFileAndEveryLineToTheList) {
    RelayHarness h;
    h.relay.Form_Load();
    g_DebugLevel = "99";
    h.clock.now = LocalTime{2026, 12, 4, 5, 7, 5, 9};
    WriteLog("kept", 99);
    WriteLog("not selected", 20);
    WriteLog("-no prefix", 99);
    h.clock.now = LocalTime{2026, 12, 5, 6, 0, 0, 1};
    WriteLog("after midnight", 99);

    EXPECT_EQ(RelayHarness::ReadFile(h.Dir() + "LogFiles/20261204.Log"),
              "26-12-04 07:05:09 kept\r\n-no prefix\r\n");
    EXPECT_EQ(RelayHarness::ReadFile(h.Dir() + "LogFiles/20261205.Log"),
              "26-12-05 00:00:01 after midnight\r\n");
    ASSERT_EQ(h.front.added.size(), 4u);
    EXPECT_EQ(h.front.added[1], "07:05:09 not selected");
    EXPECT_EQ(h.front.added[2], "07:05:09 -no prefix");
}

TEST(WriteLog, AMissingLogDirectoryLosesTheLineForTheFileOnly) {
    RelayHarness h;
    h.relay.Form_Load();
    g_DebugLevel = "*";
    std::filesystem::remove_all(h.Dir() + "LogFiles");
    WriteLog("still listed", 99);
    EXPECT_EQ(h.Logged(), std::vector<std::string>{"still listed"});
    EXPECT_FALSE(std::filesystem::exists(h.Dir() + "LogFiles"));
}

TEST(ListBox, KeepsTheNewest200LinesWithTheNewestSelected) {
    ListBox list;
    for (int i = 1; i <= 201; ++i) list.AddItem("line " + std::to_string(i));
    ASSERT_EQ(list.ListCount(), 200u);
    EXPECT_EQ(list.List(0), "line 2");
    EXPECT_EQ(list.List(199), "line 201");
    EXPECT_EQ(list.ListIndex(), 199);
}
