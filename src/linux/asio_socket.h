// asio_socket.h - the socket control over standalone Asio: one TCP client connection at a
// time, plain or TLS (OpenSSL through Asio's SSL stream).
//
// Contract: Connect returns at once (an empty host or a port outside 1..65535 fails at once with
// the reason); resolution, connection and TLS failures arrive as Error events; no event is
// raised inside a call the program made; a local Close raises no Close event; completions of a
// closed or replaced connection are dropped (connection generation); a peer close delivers the
// data received before it, then one Close event (a TLS peer that closes without close_notify
// counts as a close); GetData takes everything received so far. TCP_NODELAY is set; one write is
// in flight and it carries everything queued so far; SendComplete follows when all has left.
// TLS: 1.2 or later, the certificate checked against the trust file or the system store, host
// name included, SNI sent for names. StartTls refuses to go on when plain bytes came after the
// upgrade was asked for: they could be an attacker's.
#pragma once

#include <asio/io_context.hpp>
#include <memory>

#include "relay/platform.h"

class AsioSocketControl : public SocketControl {
  public:
    explicit AsioSocketControl(asio::io_context& io);
    ~AsioSocketControl() override;
    void SetEvents(SocketEvents events) override;
    Status Connect(const std::string& host, int32_t port) override;
    Status ConnectTls(const std::string& host, int32_t port, const std::string& trustFile) override;
    void StartTls(const std::string& trustFile) override;
    bool IsSecure() const override;
    bool PeerIsLoopback() const override;
    uint64_t BytesMoved() const override;
    Status SendData(std::string_view data) override;
    void GetData(std::string& into) override;
    void Close() override;
    std::string RemoteHost() const override;
    int32_t RemotePort() const override;

  private:
    struct Impl;
    // Shared with the pending completion handlers, which may run after this object is gone.
    std::shared_ptr<Impl> impl_;
};
