// log.cpp - WriteLog: every message to the on-screen list, selected levels to the day's file.
//
// Relies on the clock, the file system and the list box installed in the procedures module.
// The day's file is opened, appended to and closed for every line, so a rotated or removed file
// is simply created again; when it cannot be written the line is lost for the file only.
#include <cstdio>

#include "shell/procs.h"

namespace TarvixPOP2SMTP_Procs {

bool IsLevelSelected(std::string_view debugLevel, int16_t level) {
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

std::string TwoDigits(int value) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02d", value % 100);
    return buf;
}

std::string LogFileName(const LocalTime& t) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d.Log", t.year, t.month, t.day);
    return g_AppPath + "LogFiles/" + buf;
}

std::string FileLine(const std::string& message, const LocalTime& t) {
    if (!message.empty() && message.front() == '-') return message + "\r\n";
    return TwoDigits(t.year) + "-" + TwoDigits(t.month) + "-" + TwoDigits(t.day) + " " +
           TwoDigits(t.hour) + ":" + TwoDigits(t.minute) + ":" + TwoDigits(t.second) + " " +
           message + "\r\n";
}

}  // namespace

void WriteLog(const std::string& Message, int16_t Level) {
    if (g_Clock == nullptr) return;
    LocalTime now = g_Clock->Now();
    if (g_FileSystem != nullptr && IsLevelSelected(g_DebugLevel, Level)) {
        g_FileSystem->AppendFile(LogFileName(now), FileLine(Message, now));
    }
    if (g_ListDebug != nullptr) {
        std::string line =
            TwoDigits(now.hour) + ":" + TwoDigits(now.minute) + ":" + TwoDigits(now.second) + " ";
        line += Message;
        g_ListDebug->AddItem(line);
        if (g_FrontEnd != nullptr)
            g_FrontEnd->ListLineAdded(*g_ListDebug, g_ListDebug->Lines().back());
    }
}

}  // namespace TarvixPOP2SMTP_Procs
