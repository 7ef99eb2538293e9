// log.h - the relay's log: the on-screen list of the newest 200 lines and the day's log file.
//
// Every message reaches the list, prefixed with the time of day and cut to its first 1024
// bytes; a message whose level the DebugLevel selection names is appended whole to
// LogFiles/YYYYMMDD.Log, the file opened and closed for each line. The selection is parsed once.
// A log file that cannot be written loses the line for the file only; nothing here fails. With
// LogKeepDays, day files older than that many days go at start and whenever the day changes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "relay/platform.h"

// The list box of the on-screen log: the newest lines, oldest first; the newest is selected.
// The lines live in a ring whose strings keep their buffers, so adding a line to a full list
// allocates nothing (every protocol line of a large message comes through here).
class ListBox {
  public:
    static constexpr std::size_t kMaxLines = 200;
    // Adds the line made of `pieces`, dropping the oldest when the list is full.
    const std::string& AddItem(std::initializer_list<std::string_view> pieces) {
        std::string& line = lines_[(first_ + count_) % kMaxLines];
        if (count_ < kMaxLines) {
            ++count_;
        } else {
            first_ = (first_ + 1) % kMaxLines;
        }
        line.clear();
        for (std::string_view piece : pieces) line.append(piece);
        return line;
    }
    std::size_t Count() const { return count_; }
    // Line `index`, 0 being the oldest.
    const std::string& Line(std::size_t index) const {
        return lines_[(first_ + index) % kMaxLines];
    }

  private:
    std::array<std::string, kMaxLines> lines_;
    std::size_t first_ = 0, count_ = 0;
};

// The levels a DebugLevel text selects for the log file: its items up to the first empty one,
// each "*" or a number.
class LevelSelection {
  public:
    explicit LevelSelection(std::string_view debugLevel = {});
    bool Selects(int16_t level) const;

  private:
    bool all_ = false;
    std::vector<double> levels_;
};

// A text handed over piece by piece (a message body read from its spool file).
class TextSource {
  public:
    virtual ~TextSource() = default;
    // The next piece; false at the end.
    virtual bool Next(std::string_view& piece) = 0;
};

class RelayLog {
  public:
    static constexpr std::size_t kListedBytes = 1024;

    RelayLog(Clock& clock, FileSystem& files, FrontEnd& frontEnd, ListBox& list)
        : clock_(clock), files_(files), frontEnd_(frontEnd), list_(list) {}
    void SelectLevels(std::string_view debugLevel) { selection_ = LevelSelection(debugLevel); }
    bool WritesToFile(int16_t level) const { return selection_.Selects(level); }
    // Keeps the day files of the last `days` days (0: all) and removes older ones now.
    void KeepDays(uint64_t days);
    // Logs the message `prefix` + `text`.
    void Write(std::string_view prefix, std::string_view text, int16_t level);
    // Logs the message `prefix` + everything `text` gives, without holding it whole.
    void Write(std::string_view prefix, TextSource& text, int16_t level);

  private:
    const std::string& TimeOfDay(const LocalTime& now);
    std::string FilePrefix(std::string_view message, const LocalTime& now) const;
    void AddToList(const std::string& time, std::string_view prefix, std::string_view text);
    void RemoveOldFiles(const LocalTime& now);

    Clock& clock_;
    FileSystem& files_;
    FrontEnd& frontEnd_;
    ListBox& list_;
    LevelSelection selection_;
    // The time of day changes once a second; most lines reuse the text made for it.
    int shownSecond_ = -1, shownMinute_ = -1, shownHour_ = -1;
    std::string shownTime_;
    uint64_t keepDays_ = 0;
    int64_t checkedDay_ = 0;  // the day whose old files were last removed
};
