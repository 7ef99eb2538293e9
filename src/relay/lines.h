// lines.h - the receive buffer of a protocol session, cut into lines.
//
// Both sessions take a server line as everything before its line feed, with every carriage
// return removed wherever it stands in it. What follows the last line feed waits for the next
// data. The server is untrusted: an unfinished line longer than the buffer's limit makes
// Overlong() true, and the session ends as a failure instead of buffering without limit.
//
// Removing CRs can put a dot at the start of a line that did not start with one on the wire
// ("\r." becomes "."): the POP3 session must not take such a line for the end of a message, so
// the buffer tells what the line was before the CRs went.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

class ReceivedLines {
  public:
    static constexpr std::size_t kMaxLine = std::size_t{64} << 20;

    ReceivedLines() = default;
    explicit ReceivedLines(std::size_t maxLine) : maxLine_(maxLine) {}
    void Append(std::string_view data) {
        if (begin_ > 0) {
            data_.erase(0, begin_);
            begin_ = 0;
        }
        data_.append(data);
    }
    // The next complete line into `line` (carriage returns removed); false when none is complete.
    bool Next(std::string& line) {
        const std::size_t lf = data_.find('\n', begin_);
        if (lf == std::string::npos) return false;
        std::string_view raw(data_.data() + begin_, lf - begin_);
        begin_ = lf + 1;
        // Most lines end in CR LF and hold no other CR.
        if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
        exactDot_ = raw == ".";
        startedWithDot_ = !raw.empty() && raw.front() == '.';
        line.assign(raw);
        if (raw.find('\r') != std::string_view::npos) std::erase(line, '\r');
        return true;
    }
    // Of the last line given: it was "." on the wire (a CR right before its LF allowed); its
    // first byte on the wire was a dot.
    bool ExactDot() const { return exactDot_; }
    bool StartedWithDot() const { return startedWithDot_; }
    // The bytes of an unfinished line.
    std::size_t Pending() const { return data_.size() - begin_; }
    bool Overlong() const { return Pending() > maxLine_; }
    std::size_t MaxLine() const { return maxLine_; }
    bool empty() const { return begin_ == data_.size(); }
    void clear() {
        data_.clear();
        begin_ = 0;
    }

  private:
    std::size_t maxLine_ = kMaxLine;
    std::string data_;
    std::size_t begin_ = 0;
    bool exactDot_ = false, startedWithDot_ = false;
};
