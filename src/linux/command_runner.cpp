// command_runner.cpp - ShellCommandRunner (see command_runner.h).
#include "linux/command_runner.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>
#include <asio/read.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <memory>

extern char** environ;

namespace {

// One running command: its output pipe, the time limit, and the wait for its end.
struct Child : std::enable_shared_from_this<Child> {
    Child(asio::io_context& io, pid_t pid, CommandRunner::Done done)
        : pipe(io), timer(io), pid(pid), done(std::move(done)) {}

    void Start() {
        timer.expires_after(std::chrono::seconds(ShellCommandRunner::kTimeLimitSeconds));
        timer.async_wait([self = shared_from_this()](const std::error_code& ec) {
            if (!ec && !self->finished) self->Finish(false, "it took too long");
        });
        Read();
    }

    void Read() {
        pipe.async_read_some(asio::buffer(buffer),
                             [self = shared_from_this()](const std::error_code& ec, std::size_t n) {
                                 if (self->finished) return;
                                 if (self->output.size() < ShellCommandRunner::kMaxOutput) {
                                     self->output.append(self->buffer.data(), n);
                                 }
                                 if (!ec) return self->Read();
                                 self->WaitForExit();
                             });
    }

    // The output has ended; the process ends at about the same time.
    void WaitForExit() {
        int status = 0;
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == 0) {
            auto poll = std::make_shared<asio::steady_timer>(timer.get_executor());
            poll->expires_after(std::chrono::milliseconds(10));
            poll->async_wait([self = shared_from_this(), poll](const std::error_code&) {
                if (!self->finished) self->WaitForExit();
            });
            return;
        }
        reaped = true;
        if (r < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            return Finish(false, "it failed (status " + std::to_string(WEXITSTATUS(status)) + ")");
        }
        std::string first = output.substr(0, output.find('\n'));
        if (!first.empty() && first.back() == '\r') first.pop_back();
        if (first.empty()) return Finish(false, "it printed nothing");
        Finish(true, "", first);
    }

    void Finish(bool ok, const std::string& why, const std::string& line = {}) {
        finished = true;
        timer.cancel();
        std::error_code ignored;
        pipe.close(ignored);
        if (!reaped) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        std::fill(output.begin(), output.end(), '\0');
        done(ok, line, why);
    }

    asio::posix::stream_descriptor pipe;
    asio::steady_timer timer;
    pid_t pid;
    CommandRunner::Done done;
    std::array<char, 4096> buffer{};
    std::string output;
    bool finished = false, reaped = false;
};

}  // namespace

void ShellCommandRunner::Run(const std::string& command, Done done) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        return asio::post(io_, [done] { done(false, "", "no pipe for the command"); });
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, "/bin/sh", &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (rc != 0) {
        ::close(fds[0]);
        return asio::post(io_, [done] { done(false, "", "/bin/sh could not be started"); });
    }
    auto child = std::make_shared<Child>(io_, pid, std::move(done));
    // Watching the pipe fails only when the kernel refuses to add it to the event loop's set
    // (out of memory, the user's limit of watches): the command is then stopped, later.
    std::error_code ec;
    child->pipe.assign(fds[0], ec);
    if (ec) {
        ::close(fds[0]);
        return asio::post(io_, [child] { child->Finish(false, "its output cannot be read"); });
    }
    child->Start();
}
