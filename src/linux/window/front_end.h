// front_end.h - the window of a relay run, on Linux.
//
// The window's look is chosen when the relay shows it: a full-screen terminal window when
// stdout is a terminal, else a plain console that writes every new list line to stdout (for
// process managers and tests), the POP3 password shown as asterisks and control bytes as "?". A
// hidden window (service run) shows nothing. The message box of an install or uninstall run prints
// its prompt on stdout.
#pragma once

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "relay/log.h"
#include "relay/platform.h"

// What the user can ask of the window.
struct FrontEndCommands {
    std::function<void()> runPOPNow;    // the menu item "Run POP now"
    std::function<void()> closeWindow;  // closing the window: the unload path
    std::function<void()> resized;      // the window changed size
};

// One way of showing the window.
class WindowView {
  public:
    virtual ~WindowView() = default;
    virtual void SetCaption(const std::string& caption) = 0;
    virtual void LineAdded(const ListBox& list, const std::string& newest) = 0;
    virtual void FitList() = 0;
    // Leaves the terminal as it was found; called before the process ends.
    virtual void Close() = 0;
};

// Appends `text` to `out` as stdout shows it: each control byte (0x00-0x1F, 0x7F-0x9F) as "?",
// every other byte as it is.
void AppendShown(std::string& out, std::string_view text);

// Every list line goes to stdout, control bytes shown as "?". Writes never block the relay: stdout
// is written as it takes bytes, behind a bounded buffer; when a reader stalls and the buffer is
// full, lines are dropped and their number is written once it reads again.
class ConsoleView : public WindowView {
  public:
    static constexpr std::size_t kMaxBuffered = std::size_t{4} << 20;
    explicit ConsoleView(asio::io_context& io);
    void SetCaption(const std::string&) override {}
    void LineAdded(const ListBox& list, const std::string& newest) override;
    void FitList() override {}
    void Close() override;

  private:
    void Write();
    void Flush();
    asio::posix::stream_descriptor out_;
    bool async_ = false, writing_ = false, flushPosted_ = false, broken_ = false, discard_ = false;
    std::string pending_, inFlight_;
    std::size_t dropped_ = 0;
    std::shared_ptr<char> alive_ = std::make_shared<char>();  // for handlers that outlive it
};

// The full-screen terminal window (ncurses).
std::unique_ptr<WindowView> MakeTerminalView(asio::io_context& io, FrontEndCommands commands,
                                             const std::string& caption);

class ProcessFrontEnd : public FrontEnd {
  public:
    ProcessFrontEnd(asio::io_context& io, FrontEndCommands commands);
    std::string Caption() override { return caption_; }
    void SetCaption(const std::string& caption) override;
    void Show() override;
    void Hide() override;
    void ListLineAdded(const ListBox& list, const std::string& newest) override;
    void FitListToClientArea() override;
    void MessageBox(const std::string& prompt) override;
    void EndProcess(int status) override;

  private:
    asio::io_context& io_;
    FrontEndCommands commands_;
    std::string caption_ = "Tarvix POP2SMTP Relay Application";
    std::unique_ptr<WindowView> view_;
};
