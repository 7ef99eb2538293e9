// procs.cpp - the shared procedures: delimited fields, the number reading, text helpers and
// configuration reading. The log is in log.cpp.
//
// Inputs are untrusted texts (protocol lines, header lines, configuration values); every
// procedure gives a result for any input and never throws.
#include "shell/procs.h"

#include <cmath>
#include <limits>

#include "shell/profile.h"

namespace TarvixPOP2SMTP_Procs {

std::string g_AppPath;
std::string g_SpoolPath;
std::string g_DebugLevel;
bool g_RunAsService = false;
Clock* g_Clock = nullptr;
FileSystem* g_FileSystem = nullptr;
ListBox* g_ListDebug = nullptr;
FrontEnd* g_FrontEnd = nullptr;

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

std::string TrimSpaces(std::string_view text) {
    std::size_t b = text.find_first_not_of(' ');
    if (b == std::string_view::npos) return {};
    std::size_t e = text.find_last_not_of(' ');
    return std::string(text.substr(b, e - b + 1));
}

std::string UpperCase(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

namespace {
ProfileFile LoadConfigFile() {
    std::string content, error;
    if (g_FileSystem == nullptr ||
        !g_FileSystem->ReadFile(g_AppPath + kConfigFileName, content, error)) {
        return ProfileFile::Parse("");
    }
    return ProfileFile::Parse(content);
}
}  // namespace

std::string ReadIniValue(const std::string& Section, const std::string& Key,
                         const std::string& Default) {
    return LoadConfigFile().GetString(Section, Key, Default);
}

std::string ReadIniSectionNames() {
    return LoadConfigFile().SectionNames();
}

}  // namespace TarvixPOP2SMTP_Procs
