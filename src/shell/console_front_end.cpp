// console_front_end.cpp - the process front end and the console view.
//
// The console view writes list lines through stdio's buffer and flushes it after the handler that
// logged them, so a session that logs millions of message lines costs one write per network read
// (or per full buffer), not one per line, and nothing waits in the buffer once a handler is done.
#include <unistd.h>

#include <asio/post.hpp>
#include <cstdio>

#include "shell/front_end.h"

ConsoleView::ConsoleView(asio::io_context& io) : io_(io) {
    static char buffer[1 << 16];
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
}

void ConsoleView::LineAdded(const ListBox&, const std::string& newest) {
    // One thread only: the unlocked calls spare a lock per line.
    fwrite_unlocked(newest.data(), 1, newest.size(), stdout);
    fputc_unlocked('\n', stdout);
    ArmFlush();
}

void ConsoleView::ArmFlush() {
    if (flushArmed_) return;
    flushArmed_ = true;
    // Runs once the handler that logged has returned: one write for all its lines.
    asio::post(io_, [this] {
        flushArmed_ = false;
        std::fflush(stdout);
    });
}

void ConsoleView::Close() {
    std::fflush(stdout);
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
