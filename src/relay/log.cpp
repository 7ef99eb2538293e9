// log.cpp - RelayLog and the level selection (see log.h).
#include "relay/log.h"

#include <cstdio>

#include "relay/procs.h"

using namespace TarvixPOP2SMTP_Procs;

LevelSelection::LevelSelection(std::string_view debugLevel) {
    // An empty item ends the list, even when more items follow it; past the last item the
    // field is empty as well.
    for (int32_t index = 0;; ++index) {
        std::string item(Trim(GetField(debugLevel, index, ",")));
        if (item.empty()) break;
        if (item == "*") all_ = true;
        levels_.push_back(ReadNumber(item));
    }
}

bool LevelSelection::Selects(int16_t level) const {
    if (all_) return true;
    for (double l : levels_) {
        if (l == level) return true;
    }
    return false;
}

namespace {

void AppendTwoDigits(std::string& out, int value) {
    value %= 100;
    out += static_cast<char>('0' + value / 10);
    out += static_cast<char>('0' + value % 10);
}

// "aa:bb:cc " with the separator given.
void AppendThree(std::string& out, int a, int b, int c, char separator) {
    AppendTwoDigits(out, a);
    out += separator;
    AppendTwoDigits(out, b);
    out += separator;
    AppendTwoDigits(out, c);
    out += ' ';
}

void AppendClock(std::string& out, const LocalTime& t) {
    AppendThree(out, t.hour, t.minute, t.second, ':');
}

std::string LogFileName(const LocalTime& t) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d.Log", t.year, t.month, t.day);
    return g_AppPath + "LogFiles/" + buf;
}

}  // namespace

const std::string& RelayLog::TimeOfDay(const LocalTime& now) {
    if (now.second != shownSecond_ || now.minute != shownMinute_ || now.hour != shownHour_) {
        shownSecond_ = now.second;
        shownMinute_ = now.minute;
        shownHour_ = now.hour;
        shownTime_.clear();
        AppendClock(shownTime_, now);
    }
    return shownTime_;
}

// "YY-MM-DD HH:NN:SS ", except for a message that starts with "-".
std::string RelayLog::FilePrefix(std::string_view message, const LocalTime& now) const {
    if (message.starts_with('-')) return {};
    std::string prefix;
    AppendThree(prefix, now.year, now.month, now.day, '-');
    AppendClock(prefix, now);
    return prefix;
}

void RelayLog::AddToList(const std::string& time, std::string_view prefix, std::string_view text) {
    prefix = prefix.substr(0, kListedBytes);
    text = text.substr(0, kListedBytes - prefix.size());
    frontEnd_.ListLineAdded(list_, list_.AddItem({time, prefix, text}));
}

void RelayLog::KeepDays(uint64_t days) {
    keepDays_ = days;
    checkedDay_ = 0;
    RemoveOldFiles(clock_.Now());
}

// Day files are named by their date; others in LogFiles/ are not the relay's and stay.
void RelayLog::RemoveOldFiles(const LocalTime& now) {
    if (keepDays_ == 0) return;
    const int64_t today = DayNumber(now.year, now.month, now.day);
    if (today == checkedDay_) return;
    checkedDay_ = today;
    for (const std::string& name : files_.ListFiles(g_AppPath + "LogFiles", ".Log")) {
        int year = 0, month = 0, day = 0, end = 0;
        if (name.size() != 12 ||
            std::sscanf(name.c_str(), "%4d%2d%2d.Log%n", &year, &month, &day, &end) != 3 ||
            end != 12) {
            continue;
        }
        const int64_t age = today - DayNumber(year, month, day);
        if (age > 0 && static_cast<uint64_t>(age) > keepDays_) {
            files_.Remove(g_AppPath + "LogFiles/" + name);
        }
    }
}

void RelayLog::Write(std::string_view prefix, std::string_view text, int16_t level) {
    const LocalTime now = clock_.Now();
    RemoveOldFiles(now);
    if (selection_.Selects(level)) {
        const std::string_view first = prefix.empty() ? text : prefix;
        if (auto file = files_.OpenForAppend(LogFileName(now))) {
            std::string line = FilePrefix(first, now);
            line.append(prefix).append(text).append("\r\n");
            // A line the file does not take is lost for the file only.
            (void)file->Write(line);
        }
    }
    AddToList(TimeOfDay(now), prefix, text);
}

void RelayLog::Write(std::string_view prefix, TextSource& text, int16_t level) {
    const LocalTime now = clock_.Now();
    RemoveOldFiles(now);
    std::unique_ptr<WritableFile> file;
    if (selection_.Selects(level)) file = files_.OpenForAppend(LogFileName(now));
    std::string listed;
    std::string_view piece;
    bool first = true;
    while (text.Next(piece)) {
        if (file) {
            if (first) {
                (void)file->Write(FilePrefix(prefix.empty() ? piece : prefix, now) +
                                  std::string(prefix));
            }
            (void)file->Write(piece);
        }
        first = false;
        if (prefix.size() + listed.size() < kListedBytes)
            listed.append(piece.substr(0, kListedBytes));
        if (!file && prefix.size() + listed.size() >= kListedBytes) break;
    }
    if (file) {
        if (first) (void)file->Write(FilePrefix(prefix, now) + std::string(prefix));
        (void)file->Write("\r\n");
    }
    AddToList(TimeOfDay(now), prefix, listed);
}
