// asio_socket.cpp - AsioSocketControl (see asio_socket.h for the contract).
//
// Every completion handler carries the generation of the connection it was started for and
// returns at once when that connection has been closed or replaced since. Received bytes are
// appended to one buffer that GetData hands over whole; a read is always pending while the
// connection is open, so a peer close is seen after all data before it.
//
// The state lives in an Impl that every pending handler holds a reference to: destroying the
// control closes the connection, and the handlers that then complete (with "operation aborted",
// or with a result that was already queued) find a stale generation and return without touching
// freed memory or raising an event.
#include "shell/asio_socket.h"

#include <array>
#include <asio/connect.hpp>
#include <asio/write.hpp>
#include <cctype>
#include <string>

struct AsioSocketControl::Impl : std::enable_shared_from_this<Impl> {
    explicit Impl(asio::io_context& io)
        : io(io), resolver(io), socket(std::make_shared<asio::ip::tcp::socket>(io)) {}

    asio::io_context& io;
    asio::ip::tcp::resolver resolver;
    // A new socket object per connection: an operation of a closed connection that was already
    // under way (the next step of a large write) then continues on its own closed socket and
    // fails, instead of writing old bytes into the next connection.
    std::shared_ptr<asio::ip::tcp::socket> socket;
    SocketEvents events;
    unsigned generation = 0;
    bool connected = false;
    std::string host;
    int32_t port = 0;
    std::string received;
    std::string outgoing;  // queued behind the write in flight
    bool writing = false;
    std::array<char, 256 * 1024> readBuffer{};

    bool Current(unsigned g) const { return g == generation; }

    void Shut() {
        ++generation;
        connected = false;
        writing = false;
        outgoing.clear();
        std::error_code ignored;
        resolver.cancel();
        if (socket->is_open()) {
            socket->shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
            socket->close(ignored);
        }
    }

    // The connection failed: it is dead from now on and one Error event reports it.
    void Fail(unsigned g, const std::error_code& ec) {
        if (!Current(g)) return;
        Shut();
        if (events.onError) events.onError(ec.value(), Describe(ec));
    }

    static std::string Describe(const std::error_code& ec) {
        std::string text = ec.message();
        if (!text.empty())
            text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
        return text;
    }

    void StartResolve(unsigned g) {
        // A numeric address needs no lookup (and no lookup thread): connect at once.
        std::error_code notNumeric;
        asio::ip::address address = asio::ip::make_address(host, notNumeric);
        if (!notNumeric) {
            asio::ip::tcp::endpoint endpoint(address, static_cast<unsigned short>(port));
            return StartConnect(g, asio::ip::tcp::resolver::results_type::create(
                                       endpoint, host, std::to_string(port)));
        }
        resolver.async_resolve(
            host, std::to_string(port),
            [this, self = shared_from_this(), g](const std::error_code& ec,
                                                 asio::ip::tcp::resolver::results_type results) {
                if (!Current(g)) return;
                if (ec) return Fail(g, ec);
                StartConnect(g, results);
            });
    }

    void StartConnect(unsigned g, const asio::ip::tcp::resolver::results_type& results) {
        asio::async_connect(*socket, results,
                            [this, self = shared_from_this(), sock = socket, g](
                                const std::error_code& ec, const asio::ip::tcp::endpoint&) {
                                if (!Current(g)) return;
                                if (ec) return Fail(g, ec);
                                connected = true;
                                std::error_code ignored;
                                socket->set_option(asio::ip::tcp::no_delay(true), ignored);
                                StartRead(g);
                                if (!outgoing.empty()) StartWrite(g);
                                if (events.onConnect) events.onConnect();
                            });
    }

    void StartRead(unsigned g) {
        socket->async_read_some(
            asio::buffer(readBuffer), [this, self = shared_from_this(), sock = socket, g](
                                          const std::error_code& ec, std::size_t n) {
                if (!Current(g)) return;
                if (n > 0) {
                    received.append(readBuffer.data(), n);
                    if (events.onDataArrival) {
                        events.onDataArrival(static_cast<int32_t>(received.size()));
                    }
                    if (!Current(g)) return;  // the handler closed it
                }
                if (ec == asio::error::eof) {
                    Shut();
                    if (events.onClose) events.onClose();
                    return;
                }
                if (ec) return Fail(g, ec);
                StartRead(g);
            });
    }

    void StartWrite(unsigned g) {
        writing = true;
        // The write owns its bytes, so a write cut off by a close never reads freed memory.
        auto bytes = std::make_shared<std::string>(std::move(outgoing));
        outgoing.clear();
        asio::async_write(*socket, asio::buffer(*bytes),
                          [this, self = shared_from_this(), sock = socket, bytes, g](
                              const std::error_code& ec, std::size_t) {
                              if (!Current(g)) return;
                              writing = false;
                              if (ec) return Fail(g, ec);
                              if (!outgoing.empty()) StartWrite(g);
                          });
    }
};

AsioSocketControl::AsioSocketControl(asio::io_context& io) : impl_(std::make_shared<Impl>(io)) {}

AsioSocketControl::~AsioSocketControl() {
    impl_->Shut();
    impl_->events = {};
}

void AsioSocketControl::SetEvents(SocketEvents events) {
    impl_->events = std::move(events);
}

void AsioSocketControl::Connect(const std::string& host, int32_t port) {
    if (host.empty()) throw SocketFailure("Invalid argument: no host name");
    if (port < 1 || port > 65535) {
        throw SocketFailure("Invalid argument: port " + std::to_string(port) + " is out of range");
    }
    impl_->Shut();
    impl_->socket = std::make_shared<asio::ip::tcp::socket>(impl_->io);
    impl_->received.clear();
    impl_->host = host;
    impl_->port = port;
    impl_->StartResolve(impl_->generation);
}

void AsioSocketControl::SendData(std::string_view data) {
    Impl& s = *impl_;
    if (!s.connected) throw SocketFailure("Wrong protocol or connection state");
    s.outgoing.append(data);
    if (!s.writing) s.StartWrite(s.generation);
}

void AsioSocketControl::GetData(std::string& into) {
    into.clear();
    into.swap(impl_->received);
}

void AsioSocketControl::Close() {
    impl_->Shut();
}

std::string AsioSocketControl::RemoteHost() const {
    return impl_->host;
}

int32_t AsioSocketControl::RemotePort() const {
    return impl_->port;
}
