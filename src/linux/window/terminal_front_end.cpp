// terminal_front_end.cpp - the full-screen terminal window of a relay run (ncurses).
//
// Screen: line 0 the caption, line 1 the menu bar ("POP", with the keys shown beside it), the
// rest the log list showing its newest lines, the newest (selected) one highlighted. Keys: F10
// or Alt-P opens the "POP" menu, Enter (or r) in it chooses "Run POP now", Esc or F10 closes it;
// outside the menu r is "Run POP now" and q closes the window. Ctrl-C still raises SIGINT (the
// terminal is in cbreak mode, not raw), which the process turns into closing the window.
//
// Relies on the one asio::io_context: terminal input is a readiness wait on stdin followed by
// non-blocking getch() calls, SIGWINCH is an asio signal_set, redraws come from a timer. No
// thread. A list that grows by millions of lines costs one flag per line: LineAdded only marks
// the window dirty and the timer redraws at most every 50 ms, drawing the visible lines only.
//
// Failure: when the terminal cannot be set up (no TERM, unknown terminal type) the console view
// is used instead; when stdin cannot be watched or comes to its end, the window runs on without
// keys (Ctrl-C and the process signals still work). Bytes of a line that are not printable
// ASCII show as "?", so a logged message line cannot send control sequences to the terminal.
#include <curses.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>

#include "linux/window/front_end.h"

namespace {

constexpr auto kRedrawDelay = std::chrono::milliseconds(50);
constexpr int kEscape = 27;
constexpr int kFirstListRow = 2;
constexpr const char* kMenuTitle = "POP";
constexpr const char* kMenuItem = "Run POP now";
constexpr const char* kKeyHints = "F10/Alt-P: menu   r: Run POP now   q: close";

// The text as the terminal shows it: printable ASCII as it is, a tab as a blank, anything else
// as "?"; at most `width` characters.
std::string Printable(const std::string& text, int width) {
    std::string out;
    if (width <= 0) return out;
    for (unsigned char c : text) {
        if (static_cast<int>(out.size()) >= width) break;
        if (c == '\t') {
            out += ' ';
        } else if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            out += '?';
        }
    }
    return out;
}

class TerminalView : public WindowView {
  public:
    TerminalView(asio::io_context& io, FrontEndCommands commands, std::string caption,
                 SCREEN* screen)
        : commands_(std::move(commands)),
          caption_(std::move(caption)),
          screen_(screen),
          input_(io),
          resizeSignal_(io),
          redrawTimer_(io) {
        cbreak();
        noecho();
        nonl();
        keypad(stdscr, TRUE);
        nodelay(stdscr, TRUE);
        set_escdelay(25);
        curs_set(0);
        std::error_code ec;
        resizeSignal_.add(SIGWINCH, ec);
        if (!ec) WaitForResize();
        input_.assign(STDIN_FILENO, ec);
        if (!ec) WaitForInput();
        Draw();
    }

    ~TerminalView() override { Close(); }

    void SetCaption(const std::string& caption) override {
        caption_ = caption;
        MarkDirty();
    }

    void LineAdded(const ListBox& list, const std::string&) override {
        list_ = &list;
        MarkDirty();
    }

    void FitList() override {
        if (closed_) return;
        Draw();
    }

    void Close() override {
        if (closed_) return;
        closed_ = true;
        *alive_ = false;
        std::error_code ec;
        redrawTimer_.cancel();
        resizeSignal_.cancel(ec);
        resizeSignal_.clear(ec);
        input_.cancel(ec);
        // stdin belongs to the process, not to this window: give it back without closing it.
        if (input_.is_open()) input_.release();
        endwin();
        std::fflush(stdout);
        delscreen(screen_);
        screen_ = nullptr;
    }

  private:
    void WaitForInput() {
        std::weak_ptr<bool> alive = alive_;
        input_.async_wait(asio::posix::stream_descriptor::wait_read,
                          [this, alive](const std::error_code& ec) {
                              if (ec || alive.expired() || !*alive.lock()) return;
                              if (ReadKeys()) WaitForInput();
                          });
    }

    // Takes every key that is waiting. False when there will be no more input: the window went
    // away meanwhile, or stdin reached its end (a closed pipe would otherwise wake us forever).
    bool ReadKeys() {
        std::weak_ptr<bool> alive = alive_;
        bool gotKey = false;
        for (;;) {
            int key = getch();
            if (key == ERR) return gotKey || !InputEnded();
            gotKey = true;
            if (key == kEscape) {
                // Alt-P arrives as Esc followed by "p"; a lone Esc has nothing after it.
                int next = getch();
                if (next == 'p' || next == 'P') {
                    OpenMenu();
                    continue;
                }
                if (next != ERR) ungetch(next);
                CloseMenu();
                continue;
            }
            HandleKey(key);
            if (alive.expired() || !*alive.lock()) return false;
        }
    }

    // stdin said it was readable, yet held no key: true when it is at its end or hung up.
    static bool InputEnded() {
        pollfd in{STDIN_FILENO, POLLIN, 0};
        if (::poll(&in, 1, 0) != 1) return false;
        if (in.revents & (POLLHUP | POLLERR | POLLNVAL)) return true;
        int waiting = 0;
        return (in.revents & POLLIN) && ::ioctl(STDIN_FILENO, FIONREAD, &waiting) == 0 &&
               waiting == 0;
    }

    void HandleKey(int key) {
        if (key == KEY_RESIZE) return OnResize();
        if (key == KEY_F(10)) return menuOpen_ ? CloseMenu() : OpenMenu();
        if (key == 'q' || key == 'Q') {
            if (commands_.closeWindow) commands_.closeWindow();
            return;
        }
        if (key == 12) {  // Ctrl-L: paint the whole screen again
            clearok(curscr, TRUE);
            return Draw();
        }
        const bool choose = key == 'r' || key == 'R' ||
                            (menuOpen_ && (key == '\n' || key == '\r' || key == KEY_ENTER));
        if (!choose) return;
        CloseMenu();
        if (commands_.runPOPNow) commands_.runPOPNow();
    }

    void OpenMenu() {
        if (menuOpen_) return;
        menuOpen_ = true;
        Draw();
    }

    void CloseMenu() {
        if (!menuOpen_) return;
        menuOpen_ = false;
        Draw();
    }

    void WaitForResize() {
        std::weak_ptr<bool> alive = alive_;
        resizeSignal_.async_wait([this, alive](const std::error_code& ec, int) {
            if (ec || alive.expired() || !*alive.lock()) return;
            OnResize();
            if (!alive.expired() && *alive.lock()) WaitForResize();
        });
    }

    // The terminal changed size: take the new size, then let the relay re-lay the window out.
    void OnResize() {
        if (closed_) return;
        winsize size{};
        if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 && size.ws_col > 0) {
            resize_term(size.ws_row, size.ws_col);
        }
        // What the terminal kept of the old picture after its resize is unknown: paint all.
        clearok(curscr, TRUE);
        if (commands_.resized) {
            commands_.resized();
        } else {
            FitList();
        }
    }

    void MarkDirty() {
        if (closed_ || redrawArmed_) return;
        redrawArmed_ = true;
        std::weak_ptr<bool> alive = alive_;
        redrawTimer_.expires_after(kRedrawDelay);
        redrawTimer_.async_wait([this, alive](const std::error_code& ec) {
            if (ec || alive.expired() || !*alive.lock()) return;
            redrawArmed_ = false;
            Draw();
        });
    }

    void DrawFullLine(int row, const std::string& text, attr_t attributes) {
        attron(attributes);
        std::string line = Printable(text, COLS);
        line.resize(static_cast<std::size_t>(COLS), ' ');
        mvaddnstr(row, 0, line.c_str(), COLS);
        attroff(attributes);
    }

    void DrawMenuBar() {
        DrawFullLine(1, "", A_REVERSE);
        // The title, with its accelerator underlined; shown pressed while the menu is open.
        attr_t title = menuOpen_ ? A_NORMAL : A_REVERSE;
        std::string label = std::string(" ") + kMenuTitle + " ";
        for (int i = 0; i < static_cast<int>(label.size()) && i < COLS; ++i) {
            attr_t extra = (i == 1) ? A_UNDERLINE : A_NORMAL;
            mvaddch(1, i, static_cast<chtype>(label[i]) | title | extra);
        }
        int column = static_cast<int>(label.size()) + 3;
        if (column < COLS) {
            attron(A_REVERSE);
            mvaddnstr(1, column, kKeyHints, COLS - column);
            attroff(A_REVERSE);
        }
    }

    void DrawList() {
        const int rows = LINES - kFirstListRow;
        if (rows <= 0 || list_ == nullptr) return;
        const std::size_t count = list_->Count();
        const std::size_t shown = std::min(count, static_cast<std::size_t>(rows));
        const std::size_t first = count - shown;
        for (std::size_t i = 0; i < shown; ++i) {
            const int row = kFirstListRow + static_cast<int>(i);
            const bool selected = first + i + 1 == count;
            std::string line = Printable(list_->Line(first + i), COLS);
            if (selected) {
                DrawFullLine(row, line, A_REVERSE);
            } else {
                mvaddnstr(row, 0, line.c_str(), COLS);
            }
        }
    }

    // The open menu: a box under the title holding the one item, selected.
    void DrawMenu() {
        const std::string item = std::string(" ") + kMenuItem + "   r ";
        const int width = static_cast<int>(item.size()) + 2;
        const int top = kFirstListRow;
        if (LINES < top + 3 || COLS < width + 1) {
            // Too small for a box: the item alone, over the first list row.
            if (LINES > top) DrawFullLine(top, item, A_REVERSE);
            return;
        }
        const int left = 0;
        mvaddch(top, left, ACS_ULCORNER);
        mvhline(top, left + 1, ACS_HLINE, width - 2);
        mvaddch(top, left + width - 1, ACS_URCORNER);
        mvaddch(top + 1, left, ACS_VLINE);
        attron(A_REVERSE);
        mvaddnstr(top + 1, left + 1, item.c_str(), width - 2);
        attroff(A_REVERSE);
        mvaddch(top + 1, left + 2, static_cast<chtype>(kMenuItem[0]) | A_REVERSE | A_UNDERLINE);
        mvaddch(top + 1, left + width - 1, ACS_VLINE);
        mvaddch(top + 2, left, ACS_LLCORNER);
        mvhline(top + 2, left + 1, ACS_HLINE, width - 2);
        mvaddch(top + 2, left + width - 1, ACS_LRCORNER);
    }

    void Draw() {
        if (closed_) return;
        erase();
        if (LINES > 0) DrawFullLine(0, caption_, A_REVERSE | A_BOLD);
        if (LINES > 1) DrawMenuBar();
        DrawList();
        if (menuOpen_) DrawMenu();
        refresh();
    }

    FrontEndCommands commands_;
    std::string caption_;
    SCREEN* screen_;
    asio::posix::stream_descriptor input_;
    asio::signal_set resizeSignal_;
    asio::steady_timer redrawTimer_;
    const ListBox* list_ = nullptr;
    bool menuOpen_ = false;
    bool redrawArmed_ = false;
    bool closed_ = false;
    // Handlers check this before touching the window: a command may close (and free) it.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace

std::unique_ptr<WindowView> MakeTerminalView(asio::io_context& io, FrontEndCommands commands,
                                             const std::string& caption) {
    // newterm, unlike initscr, reports an unusable terminal instead of ending the process.
    SCREEN* screen = newterm(nullptr, stdout, stdin);
    if (screen == nullptr) return std::make_unique<ConsoleView>(io);
    set_term(screen);
    return std::make_unique<TerminalView>(io, std::move(commands), caption, screen);
}
