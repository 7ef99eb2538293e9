// command_runner.h - runs a password or token command (/bin/sh -c) without blocking the relay.
//
// The command's stdout is read through a pipe on the event loop; stdin is /dev/null and stderr
// is the relay's. The first line of its output is the answer. A command that fails (exit status
// not 0), prints nothing, or takes longer than kTimeLimit (it is then killed) is a failure. The
// output is a secret: it is never logged, and at most kMaxOutput bytes of it are kept.
#pragma once

#include <asio/io_context.hpp>

#include "relay/platform.h"

class ShellCommandRunner : public CommandRunner {
  public:
    static constexpr int kTimeLimitSeconds = 30;
    static constexpr std::size_t kMaxOutput = 64 * 1024;
    explicit ShellCommandRunner(asio::io_context& io) : io_(io) {}
    void Run(const std::string& command, Done done) override;

  private:
    asio::io_context& io_;
};
