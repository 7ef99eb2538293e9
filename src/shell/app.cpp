// app.cpp - wires the platform layers to the main object and runs the event loop.
//
// One asio::io_context on the main thread delivers timer ticks, socket completions, signals and
// terminal input one at a time. Signals: SIGTERM is the service's stop event in a service run
// and closes the window otherwise; SIGINT closes the window; SIGUSR1 is "Run POP now".
#include "shell/app.h"

#include <sys/stat.h>
#include <unistd.h>

#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "shell/asio_socket.h"
#include "shell/asio_timer.h"
#include "shell/front_end.h"
#include "shell/main_object.h"
#include "shell/posix_files.h"
#include "shell/procs.h"
#include "shell/system_clock.h"
#include "shell/systemd_service.h"

std::string ProgramDirectory() {
    if (const char* home = std::getenv("POP2SMTP_HOME"); home != nullptr && *home != '\0') {
        return home;
    }
    char path[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return ".";
    std::string exe(path, static_cast<std::size_t>(n));
    std::size_t slash = exe.rfind('/');
    return slash == std::string::npos ? "." : exe.substr(0, slash + 1);
}

namespace {

// The configuration holds the POP3 password: say so when others can read it.
void WarnAboutReadableConfiguration(const std::string& directory) {
    std::string path = directory;
    if (path.empty() || path.back() != '/') path += '/';
    path += TarvixPOP2SMTP_Procs::kConfigFileName;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && (st.st_mode & (S_IRGRP | S_IROTH)) != 0) {
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
}  // namespace

int RunRelayProcess(int argc, char** argv) {
    asio::io_context io;
    TarvixPOP2SMTP_Main* mainObject = nullptr;
    auto closeWindow = [&] {
        int cancel = 0;
        if (mainObject) mainObject->Form_Unload(cancel);
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
    WarnAboutReadableConfiguration(directory);
    ProcessFrontEnd frontEnd(io, commands);
    SystemClock clock;
    PosixFileSystem files;
    SystemdServiceControl service(directory);
    AsioSocketControl popSocket(io), smtpSocket(io);
    AsioTimer timerPOP(io, 100), timerSMTP(io, 100);

    TarvixPOP2SMTP_Main relay(RelayPlatform{frontEnd, clock, files, service, popSocket, smtpSocket,
                                            timerPOP, timerSMTP, directory,
                                            JoinArguments(argc, argv)});
    mainObject = &relay;

    asio::signal_set stopSignals(io, SIGTERM, SIGINT);
    std::function<void(const std::error_code&, int)> onStop = [&](const std::error_code& ec,
                                                                  int signal) {
        if (ec) return;
        if (signal == SIGTERM && TarvixPOP2SMTP_Procs::g_RunAsService) {
            relay.NTService_Stop();
        } else {
            closeWindow();
        }
        stopSignals.async_wait(onStop);
    };
    stopSignals.async_wait(onStop);
    asio::signal_set runSignal(io, SIGUSR1);
    std::function<void(const std::error_code&, int)> onRun = [&](const std::error_code& ec, int) {
        if (ec) return;
        relay.Menu_RunPOP_Click();
        runSignal.async_wait(onRun);
    };
    runSignal.async_wait(onRun);
    std::signal(SIGPIPE, SIG_IGN);

    relay.Form_Load();
    io.run();
    return 0;
}
