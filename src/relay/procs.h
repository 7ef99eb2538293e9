// procs.h - the procedures module: process-wide values and the small shared procedures.
//
// Holds the values fixed once at start-up (program directory, spool directory, log level
// selection, service mode) and the text procedures every subsystem uses: delimited fields, the
// number reading, trimming and letter case, and the wildcard matcher. The log and the
// configuration reading live with the main object (log.h, main_object.h), which owns the
// platform pieces they need.
//
// Inputs are untrusted texts (protocol lines, header lines, configuration values); every
// procedure gives a result for any input and never throws.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace TarvixPOP2SMTP_Procs {

inline constexpr const char* kConfigFileName = "TarvixPOP2SMTP.ini";

extern std::string g_AppPath;    // program directory, ending in "/"
extern std::string g_SpoolPath;  // g_AppPath + "Messages/"
extern std::string g_DebugLevel;
extern bool g_RunAsService;

// Field `index` (from 0) of `text` split at `delimiter`; empty when out of range.
std::string GetField(std::string_view text, int32_t index, std::string_view delimiter);

// The number reading: blanks, tabs and line feeds skipped anywhere; sign, digits, decimals,
// exponent; &H and &O for hexadecimal and octal; text that is no number reads as 0.
double ReadNumber(std::string_view text);
// Rounds half to even and saturates at the limits of the target type.
int32_t RoundToInt32(double value);
int16_t RoundToInt16(double value);
inline int32_t ReadInt32(std::string_view text) {
    return RoundToInt32(ReadNumber(text));
}
// Saturating addition for the millisecond counters.
int32_t SaturatingAdd(int32_t a, int32_t b);

// `text` without the characters of `blanks` at both ends (the relay's fields: spaces only).
std::string_view Trim(std::string_view text, std::string_view blanks = " ");
std::string UpperCase(std::string_view text);
bool EqualNoCase(std::string_view a, std::string_view b);

// Days since 1 January 1970 of a date of the proleptic Gregorian calendar (any day number).
int64_t DayNumber(int year, int month, int day);
// `text` with control bytes (C0, DEL and C1) shown as "?": server text on a terminal.
std::string Printable(std::string_view text);

// `text` against `pattern` with "*" and "?": leftmost match of each star's literal, no
// backtracking, at most 31 pattern segments; letter case counts.
bool MatchWildcard(std::string_view text, std::string_view pattern);

}  // namespace TarvixPOP2SMTP_Procs
