// console_view_test.cpp - what stdout shows of a list line.
#include <gtest/gtest.h>

#include "linux/window/front_end.h"

TEST(ConsoleViewTest, ControlBytesShowAsQuestionMarks) {
    // A line and what stdout shows of it (\233 is 0x9B, CSI in an 8-bit terminal).
    // clang-format off
    const char* cases[][2] = {{"\x1b]0;title\x07", "?]0;title?"}, {"\x1b[2J", "?[2J"},
        {"a\rb\n\t\x7f", "a?b???"}, {"\23331m\x80\x9f\xa0\xe4~ ", "?31m??\xa0\xe4~ "}};
    // clang-format on
    for (const auto& [line, shown] : cases) {
        std::string out = "kept ";
        AppendShown(out, line);
        EXPECT_EQ(out, std::string("kept ") + shown);
    }
}
