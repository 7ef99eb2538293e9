// Delimited fields and the number reading.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "shell/procs.h"

using namespace TarvixPOP2SMTP_Procs;

TEST(GetField, SplitsAtEveryOccurrence) {
    struct Case {
        std::string text;
        int32_t index;
        std::string delimiter, expected;
    } cases[] = {
        {"a:b:c", 0, ":", "a"},
        {"a:b:c", 2, ":", "c"},
        {"a:b:c", 3, ":", ""},
        {"a:b", -1, ":", ""},
        {"abc", 0, ":", "abc"},
        {"abc", 1, ":", ""},
        {"a::b", 1, ":", ""},
        {"a::b", 2, ":", "b"},
        {"abc:", 1, ":", ""},
        {"", 0, ":", ""},
        {"a<>b<>c", 1, "<>", "b"},
        {"aaa", 1, "aa", "a"},
        {"Subject: Re: news", 1, ":", " Re"},
        {std::string("x\0y", 3), 1, std::string("\0", 1), "y"},
        {"A:b", 0, "a", "A:b"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(GetField(c.text, c.index, c.delimiter), c.expected)
            << c.text << " [" << c.index << "] at " << c.delimiter;
    }
}

TEST(ReadNumber, ReadsLikeTheClassicValFunction) {
    struct Case {
        const char* text;
        double expected;
    } cases[] = {
        {"110", 110},   {"110x", 110},  {"1 10", 110},  {"abc", 0},      {"", 0},
        {"  -12", -12}, {"+7", 7},      {"- 5", -5},    {"2.5", 2.5},    {".5", 0.5},
        {".", 0},       {"-", 0},       {"1e3", 1000},  {"1E+2x", 100},  {"1e", 1},
        {"2E-1", 0.2},  {"&H1F", 31},   {"&hff", 255},  {"&O17", 15},    {"&H", 0},
        {"&X1", 0},     {"1.2.3", 1.2}, {"\t4\n2", 42}, {"250-ok", 250}, {"25 0", 250},
        {"1,5", 1},     {"1 e 2", 100},
    };
    for (const Case& c : cases) EXPECT_DOUBLE_EQ(ReadNumber(c.text), c.expected) << c.text;
}

TEST(ReadNumber, RoundsHalfToEvenAndSaturates) {
    struct Case {
        const char* text;
        int32_t expected;
    } cases[] = {
        {"110.5", 110},
        {"111.5", 112},
        {"-2.5", -2},
        {"0.5000001", 1},
        {"99999999999", std::numeric_limits<int32_t>::max()},
        {"-99999999999", std::numeric_limits<int32_t>::min()},
        {"1e999", std::numeric_limits<int32_t>::max()},
        {"&HFFFFFFFFFF", std::numeric_limits<int32_t>::max()},
    };
    for (const Case& c : cases) EXPECT_EQ(ReadInt32(c.text), c.expected) << c.text;
    EXPECT_EQ(RoundToInt16(ReadNumber("99999")), 32767);
    EXPECT_EQ(SaturatingAdd(std::numeric_limits<int32_t>::max() - 50, 100),
              std::numeric_limits<int32_t>::max());
}
