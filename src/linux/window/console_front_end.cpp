// console_front_end.cpp - the process front end and the console view.
//
// The console view keeps the list lines that stdout has not taken yet in one buffer and writes
// them through a non-blocking descriptor on the event loop, so a stalled reader of stdout (a
// full pipe) never stops the relay. A regular file or /dev/null as stdout (no readiness to wait
// for) is written in batches, once per handler at the latest. The POP3 password, which the list
// shows in its PASS line, is replaced by asterisks on stdout: a journal or a process manager's log
// is readable by more people. Control bytes of a line show as "?" on stdout, as in the window: a
// line of server text cannot move the cursor, retitle or clear the reader's terminal.
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <asio/post.hpp>
#include <cstdio>

#include "linux/posix_files.h"
#include "linux/window/front_end.h"

namespace {
constexpr std::string_view kPassLine = "(-> POP3) PASS ";
constexpr std::size_t kTimeText = 9;  // "HH:MM:SS "
}  // namespace

void AppendShown(std::string& out, std::string_view text) {
    const std::size_t start = out.size();
    out.resize(start + text.size());
    char* to = out.data() + start;
    // C0 controls and DEL, and also the C1 controls 0x80-0x9F: a terminal in an 8-bit character
    // set (ISO 8859, or 8-bit controls enabled) takes 0x9B alone as CSI and 0x9D as OSC, and
    // whether the reader's terminal decodes UTF-8 cannot be known from a pipe or the journal.
    // The cost: a UTF-8 character with a continuation byte in that range shows partly as "?"
    // here (the log file keeps it whole). 0xA0-0xFF are printable in every 8-bit set and parts
    // of UTF-8 text, so they stay. One branch-free pass, which the compiler vectorises.
    for (unsigned char c : text) {
        const bool control = c < 0x20 || static_cast<unsigned char>(c - 0x7f) <= 0x9f - 0x7f;
        *to++ = control ? '?' : static_cast<char>(c);
    }
}

ConsoleView::ConsoleView(asio::io_context& io) : out_(io) {
    // Lines written to /dev/null would only cost a write each.
    struct stat st {};
    discard_ =
        ::fstat(STDOUT_FILENO, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == makedev(1, 3);
    std::error_code ec;
    int fd = ::dup(STDOUT_FILENO);
    if (fd < 0) return;
    out_.assign(fd, ec);
    if (ec) {
        ::close(fd);
        return;
    }
    out_.non_blocking(true, ec);
    async_ = !ec;
}

void ConsoleView::LineAdded(const ListBox&, const std::string& newest) {
    std::string_view line = newest;
    if (broken_ || discard_) return;
    if (pending_.size() + inFlight_.size() + line.size() > kMaxBuffered) {
        ++dropped_;
        return;
    }
    if (dropped_ > 0) {
        pending_.append("(").append(std::to_string(dropped_));
        pending_.append(" lines not shown: stdout was not read)\n");
        dropped_ = 0;
    }
    if (line.substr(kTimeText, kPassLine.size()) == kPassLine) {
        AppendShown(pending_, line.substr(0, kTimeText + kPassLine.size()));
        pending_.append("*****");
    } else {
        AppendShown(pending_, line);
    }
    pending_ += '\n';
    Write();
}

void ConsoleView::Write() {
    if (!async_) {
        // A file or /dev/null: written in batches, at the latest when the logging handler ends.
        if (pending_.size() >= 64 * 1024) Flush();
        if (!flushPosted_ && !pending_.empty()) {
            flushPosted_ = true;
            asio::post(out_.get_executor(), [this, alive = std::weak_ptr<char>(alive_)] {
                if (!alive.expired()) Flush();
            });
        }
        return;
    }
    if (writing_) return;
    // The bytes in flight stay where they are until written; new lines queue behind them.
    if (inFlight_.empty()) inFlight_.swap(pending_);
    if (inFlight_.empty()) return;
    writing_ = true;
    out_.async_write_some(asio::buffer(inFlight_), [this, alive = std::weak_ptr<char>(alive_)](
                                                       const std::error_code& ec, std::size_t n) {
        if (alive.expired() || ec == asio::error::operation_aborted) return;
        writing_ = false;
        if (ec) {  // nobody reads stdout any more
            inFlight_.clear();
            pending_.clear();
            broken_ = true;
            return;
        }
        inFlight_.erase(0, n);
        Write();
    });
}

void ConsoleView::Flush() {
    flushPosted_ = false;
    WriteAll(STDOUT_FILENO, pending_);
    pending_.clear();
}

void ConsoleView::Close() {
    if (!async_) return Flush();
    // What is still buffered gets a short chance to leave; a stalled reader does not hold the
    // process.
    std::error_code ec;
    out_.cancel(ec);
    pending_.insert(0, inFlight_);
    inFlight_.clear();
    pollfd pfd{out_.native_handle(), POLLOUT, 0};
    while (!pending_.empty() && ::poll(&pfd, 1, 200) == 1) {
        ssize_t n = ::write(out_.native_handle(), pending_.data(), pending_.size());
        if (n <= 0) break;
        pending_.erase(0, static_cast<std::size_t>(n));
    }
}

ProcessFrontEnd::ProcessFrontEnd(asio::io_context& io, FrontEndCommands commands)
    : io_(io), commands_(std::move(commands)) {}

void ProcessFrontEnd::SetCaption(const std::string& caption) {
    caption_ = caption;
    if (view_) view_->SetCaption(caption_);
}

void ProcessFrontEnd::Show() {
    if (view_) return;
    if (::isatty(STDOUT_FILENO)) {
        view_ = MakeTerminalView(io_, commands_, caption_);
    } else {
        view_ = std::make_unique<ConsoleView>(io_);
    }
}

void ProcessFrontEnd::Hide() {
    if (view_) view_->Close();
    view_.reset();
}

void ProcessFrontEnd::ListLineAdded(const ListBox& list, const std::string& newest) {
    if (view_) view_->LineAdded(list, newest);
}

void ProcessFrontEnd::FitListToClientArea() {
    if (view_) view_->FitList();
}

void ProcessFrontEnd::MessageBox(const std::string& prompt) {
    std::fputs(prompt.c_str(), stdout);
    fputc_unlocked('\n', stdout);
    std::fflush(stdout);
}

void ProcessFrontEnd::EndProcess(int status) {
    if (view_) view_->Close();
    std::fflush(stdout);
    std::fflush(stderr);
    // Ends at once: open connections are dropped without their closing command.
    ::_exit(status);
}
