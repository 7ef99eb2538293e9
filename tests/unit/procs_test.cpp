// procs_test.cpp - the text procedures as tables: fields, numbers, wildcards, the profile
// reader, the level selection, address lists, and a spool body read in pieces.
#include "relay/procs.h"

#include <gtest/gtest.h>

#include <limits>

#include "fakes.h"
#include "relay/profile.h"
#include "relay/smtp/compose.h"

using namespace TarvixPOP2SMTP_Procs;

TEST(Procs, GetField) {
    struct {
        std::string text;
        int32_t index;
        std::string delimiter, expected;
    } cases[] = {
        {"a:b:c", 0, ":", "a"}, {"a:b:c", 2, ":", "c"}, {"a:b:c", 3, ":", ""},
        {"a:b", -1, ":", ""},   {"abc", 1, ":", ""},    {"a::b", 1, ":", ""},
        {"a::b", 2, ":", "b"},  {"abc:", 1, ":", ""},   {"a<>b<>c", 1, "<>", "b"},
        {"aaa", 1, "aa", "a"},  {"A:b", 0, "a", "A:b"}, {std::string("x\0y", 3), 1, {"\0", 1}, "y"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(GetField(c.text, c.index, c.delimiter), c.expected)
            << c.text << "[" << c.index << "]";
    }
}

TEST(Procs, NumberReading) {
    struct {
        const char* text;
        double expected;
    } cases[] = {
        {"110", 110},   {"110x", 110},  {"1 10", 110},   {"abc", 0},     {"  -12", -12},
        {"- 5", -5},    {".5", 0.5},    {"1e3", 1000},   {"1E+2x", 100}, {"1e", 1},
        {"2E-1", 0.2},  {"&H1F", 31},   {"&hff", 255},   {"&O17", 15},   {"&X1", 0},
        {"1.2.3", 1.2}, {"\t4\n2", 42}, {"250-ok", 250},
    };
    for (const auto& c : cases) EXPECT_DOUBLE_EQ(ReadNumber(c.text), c.expected) << c.text;
    struct {
        const char* text;
        int32_t expected;
    } rounded[] = {
        {"110.5", 110},
        {"111.5", 112},
        {"-2.5", -2},
        {"0.5000001", 1},
        {"99999999999", std::numeric_limits<int32_t>::max()},
        {"-99999999999", std::numeric_limits<int32_t>::min()},
        {"&HFFFFFFFFFF", std::numeric_limits<int32_t>::max()},
    };
    for (const auto& c : rounded) EXPECT_EQ(ReadInt32(c.text), c.expected) << c.text;
    EXPECT_EQ(RoundToInt16(99999), 32767);
    EXPECT_EQ(SaturatingAdd(std::numeric_limits<int32_t>::max() - 50, 100),
              std::numeric_limits<int32_t>::max());
}

TEST(Procs, MatchWildcard) {
    const std::string capped = "B?B?B?B?B?B?B?B?B?B?B?B?B?B?B?B?B?B";  // 35 segments
    struct {
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
        {"A", "A*", true},
        {"BA", "*A", true},
        {"ABA", "*A", false},
        {"XABAB", "*AB", false},
        {"AXBYC", "A*B*C", true},
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
        {std::string(31, 'B'), capped, true},
        {std::string(35, 'B'), capped, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MatchWildcard(c.text, c.pattern), c.expected) << c.text << " ~ " << c.pattern;
    }
}

TEST(Procs, ProfileFile) {
    const ProfileFile f = ProfileFile::Parse(
        "\xEF\xBB\xBF; comment\r\norphan=x\n[General]\r\n  POPServer =  mail.test  \r\n"
        "Quoted=\"  spaced  \"\nSingle='x'\nMismatched=\"x'\nEmpty=\nNoEquals\nTwice=first\n"
        "twice=second\nEq=a=b\n\t[ Second ]\t\nKey=in second\nLong=" +
        std::string(3000, 'v') + "\n[general]\nLater=dup\n[Broken\nKey=not a section\n");
    struct {
        const char *section, *key, *def, *expected;
    } cases[] = {
        {"general", "popserver", "d", "mail.test"},
        {"GENERAL", "Quoted", "d", "  spaced  "},
        {"General", "Single", "d", "x"},
        {"General", "Mismatched", "d", "\"x'"},
        {"General", "Empty", "d", ""},
        {"General", "NoEquals", "d", "d"},
        {"General", "Twice", "d", "first"},
        {"General", "Eq", "d", "a=b"},
        {"General", "orphan", "d", "d"},
        {"General", "Later", "def  ", "def"},
        {"Second", "Key", "d", "in second"},
        {"Missing", "Key", "  lead", "  lead"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(f.GetString(c.section, c.key, c.def), c.expected) << c.key;
    EXPECT_EQ(f.GetString("Second", "Long", ""), std::string(2047, 'v'));
    EXPECT_EQ(f.SectionNames(), std::string("General\0Second\0general\0", 23));

    std::string many;
    for (int i = 0; i < 3000; ++i) many += "[SPECIFIC_" + std::to_string(i) + "]\n";
    EXPECT_EQ(ProfileFile::Parse(many).SectionNames().size(), 20478u);
}

TEST(Procs, LevelSelection) {
    struct {
        const char* debugLevel;
        int16_t level;
        bool selected;
    } cases[] = {
        {"", 99, false},       {"*", 7, true},    {" 99 ", 99, true}, {"20,,99", 20, true},
        {"20,,99", 99, false}, {"abc", 0, true},  {"abc", 1, false},  {"20.0", 20, true},
        {"20.5", 20, false},   {"7, *", 3, true}, {",99", 99, false}, {"&H63", 99, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(LevelSelection(c.debugLevel).Selects(c.level), c.selected) << c.debugLevel;
    }
}

TEST(Procs, AddressLists) {
    struct {
        const char* list;
        std::vector<std::string> expected;
    } cases[] = {
        {"a@x, b@y", {"a@x", "b@y"}},
        {"\"Doe, John\" <j@x>, Ann <a@y>", {"j@x", "a@y"}},
        {"Team: a@x, B <b@y>;, c@z (comment, with comma)", {"a@x", "b@y", "c@z"}},
        {"A@X, a@x, <a@X>", {"A@X"}},
        {"\"john doe\"@x, undisclosed-recipients:;", {"\"john doe\"@x"}},
        {"(c) x@y\r\n\t, \"q\\\" <no@no>\" <z@w>", {"x@y", "z@w"}},
        {"no address, <>", {}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> found;
        compose::AddAddresses(c.list, found);
        EXPECT_EQ(found, c.expected) << c.list;
    }
    EXPECT_EQ(compose::PlainResponse("u", "p"), "AHUAcA==");
    EXPECT_EQ(compose::XOAuth2Response("u", "t"), "dXNlcj11AWF1dGg9QmVhcmVyIHQBAQ==");
}

// The body as the SMTP session sends it, whatever the read sizes: every line ended by CR LF,
// trailing CR LF pairs gone.
TEST(Procs, SpoolBodyInPieces) {
    struct {
        std::string file, expected;
    } cases[] = {
        {"a\r\nb\nc\r\r\n\r\n\r\n", "a\r\nb\r\nc\r"},
        {"..a\rb\r\n\r\nlast", "..a\rb\r\n\r\nlast"},
        {"last\r", "last"},
        {"\r\n\r\n", ""},
        {"x\r\r\r\n", "x\r\r"},
        {std::string(300000, 'y') + "\n\n", std::string(300000, 'y')},
    };
    for (const auto& c : cases) {
        const std::string path = Relay::MakeDir() + "body";
        std::ofstream(path, std::ios::binary) << "H: x\r\n\r\n" << c.file;
        PosixFileSystem files;
        std::string error, text;
        std::shared_ptr<FileReader> reader = files.OpenForReading(path, error);
        uint64_t offset = 0;
        ASSERT_TRUE(spool::ReadHeaderLines(
            *reader, [](std::string_view) {}, offset, error));
        BodySource body(SpoolBody{reader, offset});
        for (std::string_view piece; body.Next(piece);) text += piece;
        EXPECT_EQ(text, c.expected) << c.file.substr(0, 20);
        std::filesystem::remove_all(path.substr(0, path.size() - 4));
    }
}
