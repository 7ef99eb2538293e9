// terminal_front_end.cpp - placeholder until the ncurses window lands: a console view.
#include "shell/front_end.h"

std::unique_ptr<WindowView> MakeTerminalView(asio::io_context& io, FrontEndCommands,
                                             const std::string&) {
    return std::make_unique<ConsoleView>(io);
}
