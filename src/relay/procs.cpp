// procs.cpp - the shared procedures: delimited fields, the number reading, text helpers and the
// wildcard matcher.
//
// Inputs are untrusted texts (protocol lines, header lines, configuration values); every
// procedure gives a result for any input and never throws.
#include "relay/procs.h"

#include <cmath>
#include <limits>
#include <vector>

namespace TarvixPOP2SMTP_Procs {

std::string g_AppPath;
std::string g_SpoolPath;
std::string g_DebugLevel;
bool g_RunAsService = false;

std::string GetField(std::string_view text, int32_t index, std::string_view delimiter) {
    if (index < 0 || delimiter.empty()) return {};
    std::size_t start = 0;
    for (int32_t k = 0; k < index; ++k) {
        std::size_t hit = text.find(delimiter, start);
        if (hit == std::string_view::npos) return {};
        start = hit + delimiter.size();
    }
    std::size_t end = text.find(delimiter, start);
    return std::string(text.substr(start, end == std::string_view::npos ? text.npos : end - start));
}

namespace {

// Walks a text for the number reading, skipping blanks, tabs and line feeds wherever they are.
class NumberCursor {
  public:
    explicit NumberCursor(std::string_view text) : text_(text) {}
    char Peek() {
        while (pos_ < text_.size() && IsSkipped(text_[pos_])) ++pos_;
        return pos_ < text_.size() ? text_[pos_] : '\0';
    }
    void Advance() { ++pos_; }
    char Upper() {
        char c = Peek();
        return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }

  private:
    static bool IsSkipped(char c) { return c == ' ' || c == '\t' || c == '\n'; }
    std::string_view text_;
    std::size_t pos_ = 0;
};

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

int DigitValue(char upper, int radix) {
    int v = IsDigit(upper) ? upper - '0' : (upper >= 'A' && upper <= 'F') ? upper - 'A' + 10 : 99;
    return v < radix ? v : -1;
}

double ReadRadixNumber(NumberCursor& in, int radix) {
    double value = 0;
    for (int d; (d = DigitValue(in.Upper(), radix)) >= 0; in.Advance()) value = value * radix + d;
    return value;
}

// Reads the digits of a decimal number as text, so that strtod rounds it exactly once.
void TakeDigits(NumberCursor& in, std::string& out) {
    while (IsDigit(in.Peek())) {
        out += in.Peek();
        in.Advance();
    }
}

}  // namespace

double ReadNumber(std::string_view text) {
    NumberCursor in(text);
    if (in.Peek() == '&') {
        in.Advance();
        char kind = in.Upper();
        if (kind == 'H' || kind == 'O') {
            in.Advance();
            return ReadRadixNumber(in, kind == 'H' ? 16 : 8);
        }
        return 0;
    }
    std::string number;
    if (in.Peek() == '+' || in.Peek() == '-') {
        number += in.Peek();
        in.Advance();
    }
    TakeDigits(in, number);
    if (in.Peek() == '.') {
        number += '.';
        in.Advance();
        TakeDigits(in, number);
    }
    if (number.find_first_of("0123456789") == std::string::npos) return 0;
    if (in.Upper() == 'E') {
        in.Advance();
        std::string exponent = "e";
        if (in.Peek() == '+' || in.Peek() == '-') {
            exponent += in.Peek();
            in.Advance();
        }
        std::size_t before = exponent.size();
        TakeDigits(in, exponent);
        if (exponent.size() > before) number += exponent;
    }
    return std::strtod(number.c_str(), nullptr);
}

namespace {
template <typename Int>
Int RoundTo(double value) {
    if (std::isnan(value)) return 0;
    double r = std::nearbyint(value);  // the default rounding mode sends a half to the even side
    if (r <= static_cast<double>(std::numeric_limits<Int>::min())) {
        return std::numeric_limits<Int>::min();
    }
    if (r >= static_cast<double>(std::numeric_limits<Int>::max())) {
        return std::numeric_limits<Int>::max();
    }
    return static_cast<Int>(r);
}
}  // namespace

int32_t RoundToInt32(double value) {
    return RoundTo<int32_t>(value);
}
int16_t RoundToInt16(double value) {
    return RoundTo<int16_t>(value);
}

int32_t SaturatingAdd(int32_t a, int32_t b) {
    int64_t sum = static_cast<int64_t>(a) + b;
    if (sum > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (sum < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(sum);
}

std::string_view Trim(std::string_view text, std::string_view blanks) {
    std::size_t b = text.find_first_not_of(blanks);
    if (b == std::string_view::npos) return {};
    return text.substr(b, text.find_last_not_of(blanks) - b + 1);
}

std::string UpperCase(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
        if (x != y) return false;
    }
    return true;
}

namespace {

struct Segment {
    enum Kind { kLiteral, kSkip, kStar } kind;
    std::string_view literal;  // kLiteral and kStar
    std::size_t count = 0;     // kSkip
};

constexpr std::size_t kMaxSegments = 31;

std::vector<Segment> SplitPattern(std::string_view pattern) {
    std::vector<Segment> segments;
    std::size_t i = 0;
    auto literalEnd = [&](std::size_t from) {
        std::size_t end = pattern.find_first_of("*?", from);
        return end == std::string_view::npos ? pattern.size() : end;
    };
    while (i < pattern.size() && segments.size() < kMaxSegments) {
        if (pattern[i] == '*') {
            std::size_t end = literalEnd(i + 1);
            segments.push_back({Segment::kStar, pattern.substr(i + 1, end - i - 1)});
            i = end;
        } else if (pattern[i] == '?') {
            std::size_t end = pattern.find_first_not_of('?', i);
            if (end == std::string_view::npos) end = pattern.size();
            segments.push_back({Segment::kSkip, {}, end - i});
            i = end;
        } else {
            std::size_t end = literalEnd(i);
            segments.push_back({Segment::kLiteral, pattern.substr(i, end - i)});
            i = end;
        }
    }
    return segments;
}

}  // namespace

bool MatchWildcard(std::string_view text, std::string_view pattern) {
    if (pattern == "*") return true;
    if (text.empty()) return false;
    std::vector<Segment> segments = SplitPattern(pattern);
    if (segments.empty()) return false;
    std::string_view rest = text;
    for (std::size_t s = 0; s < segments.size(); ++s) {
        const Segment& seg = segments[s];
        switch (seg.kind) {
            case Segment::kLiteral:
                if (rest.substr(0, seg.literal.size()) != seg.literal) return false;
                rest.remove_prefix(seg.literal.size());
                break;
            case Segment::kSkip:
                if (rest.size() < seg.count) return false;
                rest.remove_prefix(seg.count);
                break;
            case Segment::kStar:
                if (seg.literal.empty()) {
                    if (s + 1 == segments.size()) rest = {};
                } else {
                    // The leftmost occurrence only: no later one is ever tried.
                    std::size_t hit = rest.find(seg.literal);
                    if (hit == std::string_view::npos) return false;
                    rest.remove_prefix(hit + seg.literal.size());
                }
                break;
        }
    }
    return rest.empty();
}

int64_t DayNumber(int year, int month, int day) {
    // Counted from 1 March, so that a leap day ends its year.
    const int64_t y = static_cast<int64_t>(year) - (month <= 2 ? 1 : 0);
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yearOfEra = y - era * 400;
    const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

std::string Printable(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || (byte >= 0x7F && byte <= 0x9F)) c = '?';
    }
    return out;
}

}  // namespace TarvixPOP2SMTP_Procs
