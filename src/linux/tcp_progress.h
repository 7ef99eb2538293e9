// tcp_progress.h - how many bytes a TCP connection has moved, as the kernel counts them.
#pragma once

#include <cstdint>

// Bytes the peer acknowledged plus bytes received on the connected socket `fd`; 0 when the
// kernel cannot tell. Grows while data still leaves the send buffer after the last write.
uint64_t TcpBytesMoved(int fd);
