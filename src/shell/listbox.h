// listbox.h - the list box of the on-screen log: the newest lines, oldest first.
//
// Holds at most kMaxLines lines; adding one more drops the oldest. The newest line is always the
// selected one, so a view that follows the selection shows the end of the log.
#pragma once

#include <cstddef>
#include <deque>
#include <string>

class ListBox {
  public:
    static constexpr std::size_t kMaxLines = 200;

    void AddItem(std::string line) {
        lines_.push_back(std::move(line));
        while (lines_.size() > kMaxLines) lines_.pop_front();
    }
    std::size_t ListCount() const { return lines_.size(); }
    const std::string& List(std::size_t index) const { return lines_[index]; }
    // Index of the selected (newest) line; -1 when empty.
    long ListIndex() const { return static_cast<long>(lines_.size()) - 1; }
    const std::deque<std::string>& Lines() const { return lines_; }

  private:
    std::deque<std::string> lines_;
};
