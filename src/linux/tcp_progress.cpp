// tcp_progress.cpp - TcpBytesMoved from the kernel's TCP_INFO. Kept apart: <linux/tcp.h>, which
// has the byte counters, does not mix with the <netinet/tcp.h> that Asio includes.
#include "linux/tcp_progress.h"

#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>

uint64_t TcpBytesMoved(int fd) {
    tcp_info info{};
    socklen_t size = sizeof info;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0) return 0;
    if (size < offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received) return 0;
    return info.tcpi_bytes_acked + info.tcpi_bytes_received;
}
