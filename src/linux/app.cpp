// app.cpp - wires the platform layers to the main object and runs the event loop.
//
// One asio::io_context on the main thread delivers timer ticks, socket completions, signals,
// command output and terminal input one at a time. Signals: SIGTERM is the service's stop event
// in a service run and closes the window otherwise; SIGINT closes the window; SIGUSR1 is "Run POP
// now". An exception that escapes a handler (memory running out, say) is caught here, logged at
// level 99, and the loop goes on: the adapters start their next step before they raise an event,
// so the relay keeps working.
//
// POP2SMTP_CONFIG names a configuration file elsewhere than the program directory, and
// POP2SMTP_SERVICE=1 makes the run a service run whatever the stored setting (the packaged
// instances). When the service manager asks for a watchdog, the event loop itself feeds it: a
// relay whose loop hangs stops feeding and is restarted.
#include "linux/app.h"

#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <csignal>
#include <cstdio>

#include "linux/asio_socket.h"
#include "linux/asio_timer.h"
#include "linux/command_runner.h"
#include "linux/posix_files.h"
#include "linux/system_clock.h"
#include "linux/systemd_service.h"
#include "linux/window/front_end.h"
#include "relay/main_object.h"
#include "relay/procs.h"

namespace {

// The configuration holds the POP3 password: say so when others can read it (the file a link
// names, when it is one). Its group may read it when that is the relay's own group (root owns a
// packaged instance's file, the relay's user reads it through the group).
void WarnAboutReadableConfiguration(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 &&
        ((st.st_mode & S_IROTH) != 0 ||
         ((st.st_mode & S_IRGRP) != 0 && st.st_gid != ::getegid()))) {
        std::fprintf(stderr,
                     "pop2smtp: warning: %s is readable by group or others and holds the POP3 "
                     "password; chmod 600 it\n",
                     path.c_str());
    }
}

std::string JoinArguments(int argc, char** argv) {
    std::string line;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) line += ' ';
        line += argv[i];
    }
    return line;
}

// WATCHDOG=1 at half the interval the service manager set, from the event loop.
void FeedWatchdog(asio::steady_timer& timer, std::chrono::microseconds half) {
    ::sd_notify(0, "WATCHDOG=1");
    timer.expires_after(half);
    timer.async_wait([&timer, half](const std::error_code& ec) {
        if (!ec) FeedWatchdog(timer, half);
    });
}

std::string Variable(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// Re-arms itself after every signal.
void OnSignal(asio::signal_set& signals, std::function<void(int)> handler) {
    signals.async_wait([&signals, handler](const std::error_code& ec, int signal) {
        if (ec) return;
        OnSignal(signals, handler);
        handler(signal);
    });
}

}  // namespace

int RunRelayProcess(int argc, char** argv) {
    asio::io_context io;
    TarvixPOP2SMTP_Main* mainObject = nullptr;
    auto closeWindow = [&] {
        if (mainObject) mainObject->Form_Unload();
    };
    FrontEndCommands commands{
        [&] {
            if (mainObject) mainObject->Menu_RunPOP_Click();
        },
        closeWindow,
        [&] {
            if (mainObject) mainObject->Form_Resize();
        },
    };
    const std::string directory = ProgramDirectory();
    const std::string configFile = Variable("POP2SMTP_CONFIG");
    WarnAboutReadableConfiguration(
        !configFile.empty() ? configFile
                            : JoinPath(directory, TarvixPOP2SMTP_Procs::kConfigFileName));
    ProcessFrontEnd frontEnd(io, commands);
    SystemClock clock;
    PosixFileSystem files;
    SystemdServiceControl service(directory);
    AsioSocketControl popSocket(io), smtpSocket(io);
    AsioTimer timerPOP(io, 100), timerSMTP(io, 100);
    ShellCommandRunner runner(io);

    TarvixPOP2SMTP_Main relay(RelayPlatform{
        frontEnd, clock, files, service, popSocket, smtpSocket, timerPOP, timerSMTP, runner,
        directory, JoinArguments(argc, argv), configFile, Variable("POP2SMTP_SERVICE") == "1"});
    mainObject = &relay;

    asio::signal_set stopSignals(io, SIGTERM, SIGINT), runSignal(io, SIGUSR1);
    OnSignal(stopSignals, [&](int signal) {
        if (signal == SIGTERM && TarvixPOP2SMTP_Procs::g_RunAsService) {
            relay.NTService_Stop();
        } else {
            closeWindow();
        }
    });
    OnSignal(runSignal, [&](int) { relay.Menu_RunPOP_Click(); });
    std::signal(SIGPIPE, SIG_IGN);

    asio::steady_timer watchdog(io);
    if (uint64_t usec = 0; ::sd_watchdog_enabled(0, &usec) > 0 && usec >= 2) {
        FeedWatchdog(watchdog, std::chrono::microseconds(usec / 2));
    }
    relay.Form_Load();
    for (;;) {
        try {
            io.run();
            return 0;
        } catch (const std::exception& e) {
            relay.WriteLog(std::string("(  RELAY) Failed: ") + e.what(), 99);
        }
    }
}
