// posix_io.h - small POSIX helpers shared by the platform layers.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <string_view>

// Writes every byte, going on after short writes and interrupted calls.
inline bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}
