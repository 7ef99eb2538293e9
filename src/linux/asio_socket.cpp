// asio_socket.cpp - AsioSocketControl (see asio_socket.h for the contract).
//
// Every completion handler carries the generation of the connection it was started for and
// returns at once when that connection has been closed or replaced since. A handler first
// starts what comes next (the next read), then raises the event: an event handler that throws
// cannot stop the connection's reading. Received bytes are appended to one buffer that GetData
// hands over whole; a read is always pending while the connection is open, so a peer close is
// seen after all data before it.
//
// The state lives in an Impl that every pending handler holds a reference to: destroying the
// control closes the connection, and the handlers that then complete find a stale generation
// and return without touching freed memory or raising an event. A new socket object is made per
// connection, so an operation of a closed connection that was already under way continues on its
// own closed socket and fails, instead of writing old bytes into the next connection. For TLS the
// connected socket is moved into an SSL stream once no operation is pending on it.
#include "linux/asio_socket.h"

#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <array>
#include <asio/connect.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/ssl.hpp>
#include <asio/write.hpp>
#include <cctype>
#include <string>
#include <system_error>

#include "linux/tcp_progress.h"

namespace {
using Tcp = asio::ip::tcp;
using TlsStream = asio::ssl::stream<Tcp::socket>;
}  // namespace

struct AsioSocketControl::Impl : std::enable_shared_from_this<Impl> {
    explicit Impl(asio::io_context& io) : io(io), resolver(io) {}

    asio::io_context& io;
    Tcp::resolver resolver;
    std::shared_ptr<Tcp::socket> socket;  // the plain connection
    std::shared_ptr<asio::ssl::context> context;
    std::shared_ptr<TlsStream> tls;  // the connection once TLS is under way
    SocketEvents events;
    unsigned generation = 0;
    bool connected = false, secure = false, loopback = false;
    bool tlsFromStart = false, upgrading = false, readPending = false, writing = false;
    bool writePosted = false;
    std::string host, trustFile, verifyFailure;
    int32_t port = 0;
    std::string received;
    std::string outgoing;  // queued behind the write in flight
    std::array<char, 256 * 1024> readBuffer{};

    bool Current(unsigned g) const { return g == generation; }

    void Shut() {
        ++generation;
        connected = secure = upgrading = readPending = writing = writePosted = false;
        outgoing.clear();
        std::error_code ignored;
        resolver.cancel();
        Tcp::socket* open = tls ? &tls->next_layer() : socket.get();
        if (open && open->is_open()) {
            open->shutdown(Tcp::socket::shutdown_both, ignored);
            open->close(ignored);
        }
    }

    // The connection failed: it is dead from now on and one Error event reports it.
    void Fail(unsigned g, const std::string& description) {
        if (!Current(g)) return;
        Shut();
        if (events.onError) events.onError(-1, description);
    }
    void Fail(unsigned g, const std::error_code& ec) {
        if (!verifyFailure.empty()) return Fail(g, "TLS certificate refused: " + verifyFailure);
        std::string text = ec.message();
        if (ec.category() == asio::error::get_ssl_category()) text = "TLS failed: " + text;
        if (!text.empty()) {
            text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
        }
        Fail(g, text);
    }
    // Reports a failure found inside a call of the program: later, as events always come.
    void FailLater(const std::string& description) {
        asio::post(io, [self = shared_from_this(), g = generation, description] {
            self->Fail(g, description);
        });
    }

    void StartResolve(unsigned g) {
        // A numeric address needs no lookup (and no lookup thread): connect at once.
        std::error_code notNumeric;
        asio::ip::address address = asio::ip::make_address(host, notNumeric);
        if (!notNumeric) {
            Tcp::endpoint endpoint(address, static_cast<unsigned short>(port));
            return StartConnect(
                g, Tcp::resolver::results_type::create(endpoint, host, std::to_string(port)));
        }
        resolver.async_resolve(host, std::to_string(port),
                               [this, self = shared_from_this(), g](
                                   const std::error_code& ec, Tcp::resolver::results_type results) {
                                   if (!Current(g)) return;
                                   if (ec) return Fail(g, ec);
                                   StartConnect(g, results);
                               });
    }

    void StartConnect(unsigned g, const Tcp::resolver::results_type& results) {
        asio::async_connect(
            *socket, results,
            [this, self = shared_from_this(), sock = socket, g](const std::error_code& ec,
                                                                const Tcp::endpoint& peer) {
                if (!Current(g)) return;
                if (ec) return Fail(g, ec);
                std::error_code ignored;
                socket->set_option(Tcp::no_delay(true), ignored);
                loopback = peer.address().is_loopback() ||
                           (peer.address().is_v6() && peer.address().to_v6().is_v4_mapped() &&
                            asio::ip::make_address_v4(asio::ip::v4_mapped, peer.address().to_v6())
                                .is_loopback());
                if (tlsFromStart) return BeginHandshake(g);
                Connected(g);
            });
    }

    void Connected(unsigned g) {
        connected = true;
        StartRead(g);
        if (!outgoing.empty()) StartWrite(g);
        if (events.onConnect) events.onConnect();
    }

    // The socket goes into an SSL stream checked against the trust file and the host name.
    void BeginHandshake(unsigned g) {
        upgrading = true;
        // Making the OpenSSL context and connection object fails only when OpenSSL cannot
        // allocate them; Asio throws then, and the connection fails with OpenSSL's reason.
        try {
            context = std::make_shared<asio::ssl::context>(asio::ssl::context::tls_client);
        } catch (const std::system_error& e) {
            return Fail(g, e.code());
        }
        SSL_CTX_set_min_proto_version(context->native_handle(), TLS1_2_VERSION);
        std::error_code ec;
        if (trustFile.empty()) {
            context->set_default_verify_paths(ec);
        } else {
            context->load_verify_file(trustFile, ec);
        }
        if (ec) return Fail(g, "cannot load the certificates " + trustFile + ": " + ec.message());
        if (context->set_verify_mode(asio::ssl::verify_peer, ec); ec) return Fail(g, ec);
        try {
            tls = std::make_shared<TlsStream>(std::move(*socket), *context);
        } catch (const std::system_error& e) {
            return Fail(g, e.code());  // the socket went down with the stream that failed
        }
        std::error_code notNumeric;
        asio::ip::make_address(host, notNumeric);
        if (notNumeric) SSL_set_tlsext_host_name(tls->native_handle(), host.c_str());
        verifyFailure.clear();
        tls->set_verify_callback(
            [this, self = shared_from_this(), check = asio::ssl::host_name_verification(host)](
                bool preverified, asio::ssl::verify_context& vc) {
                const bool ok = check(preverified, vc);
                if (!ok && verifyFailure.empty()) NoteVerifyFailure(preverified, vc);
                return ok;
            },
            ec);
        if (ec) return Fail(g, ec);
        tls->async_handshake(
            asio::ssl::stream_base::client,
            [this, self = shared_from_this(), stream = tls, g](const std::error_code& ec) {
                if (!Current(g)) return;
                if (ec) return Fail(g, ec);
                upgrading = false;
                secure = true;
                if (tlsFromStart) return Connected(g);
                StartRead(g);
                if (!outgoing.empty()) StartWrite(g);
                if (events.onSecured) events.onSecured();
            });
    }

    // The verification error and the subject of the certificate it concerns, for the log.
    void NoteVerifyFailure(bool preverified, asio::ssl::verify_context& vc) {
        X509_STORE_CTX* store = vc.native_handle();
        char subject[256] = "";
        if (X509* cert = X509_STORE_CTX_get_current_cert(store)) {
            X509_NAME_oneline(X509_get_subject_name(cert), subject, sizeof subject);
        }
        const std::string why =
            preverified ? "it is not valid for " + host
                        : X509_verify_cert_error_string(X509_STORE_CTX_get_error(store));
        verifyFailure = why + " (subject " + subject + ")";
    }

    template <typename Handler>
    void ReadSome(Handler handler) {
        if (tls) {
            tls->async_read_some(asio::buffer(readBuffer), std::move(handler));
        } else {
            socket->async_read_some(asio::buffer(readBuffer), std::move(handler));
        }
    }

    void StartRead(unsigned g) {
        readPending = true;
        ReadSome([this, self = shared_from_this(), sock = socket, stream = tls, g](
                     const std::error_code& ec, std::size_t n) { OnRead(g, ec, n); });
    }

    void OnRead(unsigned g, const std::error_code& ec, std::size_t n) {
        if (!Current(g)) return;
        readPending = false;
        if (upgrading) {
            // The read was stopped for STARTTLS: anything it brought, or left unread in the
            // socket, came before TLS (the server may speak only after our ClientHello).
            std::error_code ignored;
            if (n > 0 || !received.empty() || socket->available(ignored) > 0) {
                return Fail(g, "Data received before TLS was started");
            }
            if (ec && ec != asio::error::operation_aborted) return Fail(g, ec);
            return BeginHandshake(g);
        }
        received.append(readBuffer.data(), n);
        if (ec == asio::error::eof || ec == asio::ssl::error::stream_truncated) {
            if (n > 0 && events.onDataArrival) {
                events.onDataArrival(static_cast<int32_t>(received.size()));
                if (!Current(g)) return;
            }
            Shut();
            if (events.onClose) events.onClose();
            return;
        }
        if (ec) return Fail(g, ec);
        StartRead(g);
        if (events.onDataArrival) events.onDataArrival(static_cast<int32_t>(received.size()));
    }

    void StartWrite(unsigned g) {
        writing = true;
        // The write owns its bytes, so a write cut off by a close never reads freed memory.
        auto bytes = std::make_shared<std::string>(std::move(outgoing));
        outgoing.clear();
        auto done = [this, self = shared_from_this(), sock = socket, stream = tls, bytes, g](
                        const std::error_code& ec, std::size_t) {
            if (!Current(g)) return;
            writing = false;
            if (ec) return Fail(g, ec);
            if (!outgoing.empty() && !upgrading) return StartWrite(g);
            if (events.onSendComplete) events.onSendComplete();
        };
        if (tls) {
            asio::async_write(*tls, asio::buffer(*bytes), std::move(done));
        } else {
            asio::async_write(*socket, asio::buffer(*bytes), std::move(done));
        }
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

Status AsioSocketControl::Connect(const std::string& host, int32_t port) {
    if (host.empty()) return Status::Failed("Invalid argument: no host name");
    if (port < 1 || port > 65535) {
        return Status::Failed("Invalid argument: port " + std::to_string(port) +
                              " is out of range");
    }
    Impl& s = *impl_;
    s.Shut();
    s.socket = std::make_shared<Tcp::socket>(s.io);
    s.tls.reset();
    s.received.clear();
    s.verifyFailure.clear();  // else a later failure would be reported as this certificate's
    s.host = host;
    s.port = port;
    s.tlsFromStart = false;
    // The resolver starts a thread at its first use: a process at its task limit fails here,
    // and that is this connection's failure, not the event loop's.
    try {
        s.StartResolve(s.generation);
    } catch (const std::exception& e) {
        s.Shut();
        return Status::Failed(e.what());
    }
    return Status::Ok();
}

Status AsioSocketControl::ConnectTls(const std::string& host, int32_t port,
                                     const std::string& trustFile) {
    if (Status started = Connect(host, port); !started) return started;
    impl_->tlsFromStart = true;
    impl_->trustFile = trustFile;
    return Status::Ok();
}

void AsioSocketControl::StartTls(const std::string& trustFile) {
    Impl& s = *impl_;
    if (!s.connected || s.tls) return s.FailLater("Wrong protocol or connection state");
    s.trustFile = trustFile;
    s.upgrading = true;
    // The pending read is stopped first (inside a DataArrival event the next read is already
    // under way); its handler goes on with the handshake.
    if (!s.received.empty()) return s.FailLater("Data received before TLS was started");
    if (s.readPending) {
        std::error_code ignored;
        s.socket->cancel(ignored);
    }
}

bool AsioSocketControl::IsSecure() const {
    return impl_->secure;
}

uint64_t AsioSocketControl::BytesMoved() const {
    const Impl& s = *impl_;
    if (!s.connected) return 0;
    return TcpBytesMoved(s.tls ? s.tls->next_layer().native_handle() : s.socket->native_handle());
}

bool AsioSocketControl::PeerIsLoopback() const {
    return impl_->connected && impl_->loopback;
}

Status AsioSocketControl::SendData(std::string_view data) {
    Impl& s = *impl_;
    if (!s.connected) return Status::Failed("Wrong protocol or connection state");
    s.outgoing.append(data);
    if (s.writing || s.upgrading || s.writePosted) return Status::Ok();
    // The write starts once the calling handler is done, so that everything it queues (the
    // rows of a message) leaves in one write.
    s.writePosted = true;
    asio::post(s.io, [self = impl_, g = s.generation] {
        if (!self->Current(g)) return;
        self->writePosted = false;
        if (!self->writing && !self->upgrading && !self->outgoing.empty()) self->StartWrite(g);
    });
    return Status::Ok();
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
