// log.cpp - WriteLog: every message to the on-screen list, selected levels to the day's file.
//
// Relies on the clock, the file system and the list box installed in the procedures module.
// The day's file is opened, appended to and closed for every line, so a rotated or removed file
// is simply created again; when it cannot be written the line is lost for the file only.
#include <cstdio>

#include "shell/procs.h"

namespace TarvixPOP2SMTP_Procs {

bool IsLevelSelected(std::string_view debugLevel, int16_t level) {
    if (debugLevel.empty()) return false;  // the usual case: no log file at all
    for (int32_t index = 0;; ++index) {
        std::string item = TrimSpaces(GetField(debugLevel, index, ","));
        // An empty item ends the search, even when more items follow it; past the last item
        // the field is empty as well.
        if (item.empty()) return false;
        if (item == "*") return true;
        if (ReadNumber(item) == level) return true;
    }
}

namespace {

// Appends the last two decimal digits of a non-negative value.
void AppendTwoDigits(std::string& out, int value) {
    value %= 100;
    out += static_cast<char>('0' + value / 10);
    out += static_cast<char>('0' + value % 10);
}

// "HH:NN:SS" followed by `separator`.
void AppendTimeOfDay(std::string& out, const LocalTime& t, char separator) {
    AppendTwoDigits(out, t.hour);
    out += ':';
    AppendTwoDigits(out, t.minute);
    out += ':';
    AppendTwoDigits(out, t.second);
    out += separator;
}

std::string LogFileName(const LocalTime& t) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d.Log", t.year, t.month, t.day);
    return g_AppPath + "LogFiles/" + buf;
}

// A message that starts with "-" is written without the date and time.
std::string FileLine(std::string_view prefix, std::string_view text, const LocalTime& t) {
    std::string line;
    line.reserve(prefix.size() + text.size() + 20);
    const char first = !prefix.empty() ? prefix.front() : !text.empty() ? text.front() : '\0';
    if (first != '-') {
        AppendTwoDigits(line, t.year);
        line += '-';
        AppendTwoDigits(line, t.month);
        line += '-';
        AppendTwoDigits(line, t.day);
        line += ' ';
        AppendTimeOfDay(line, t, ' ');
    }
    line += prefix;
    line += text;
    line += "\r\n";
    return line;
}

}  // namespace

void WriteLog(std::string_view prefix, std::string_view text, int16_t Level) {
    if (g_Clock == nullptr) return;
    LocalTime now = g_Clock->Now();
    if (g_FileSystem != nullptr && IsLevelSelected(g_DebugLevel, Level)) {
        g_FileSystem->AppendFile(LogFileName(now), FileLine(prefix, text, now));
    }
    if (g_ListDebug != nullptr) {
        // The time of day changes once a second; most lines reuse the text made for it.
        static LocalTime shownTime{-1, -1, -1, -1, -1, -1, -1};
        static std::string shownText;
        if (now.second != shownTime.second || now.minute != shownTime.minute ||
            now.hour != shownTime.hour) {
            shownTime = now;
            shownText.clear();
            AppendTimeOfDay(shownText, now, ' ');
        }
        std::string line;
        line.reserve(shownText.size() + prefix.size() + text.size());
        line += shownText;
        line += prefix;
        line += text;
        g_ListDebug->AddItem(std::move(line));
        if (g_FrontEnd != nullptr) {
            g_FrontEnd->ListLineAdded(*g_ListDebug, g_ListDebug->Lines().back());
        }
    }
}

void WriteLog(const std::string& Message, int16_t Level) {
    WriteLog({}, Message, Level);
}

}  // namespace TarvixPOP2SMTP_Procs
