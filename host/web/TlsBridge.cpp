#include "penwell/host/web/TlsBridge.h"

#include <openssl/ssl.h>
#include <sys/stat.h>

#include <boost/asio/local/connect_pair.hpp>
#include <cerrno>
#include <cstring>

#include "penwell/host/web/HttpRoutes.h"

namespace penwell::web {

namespace {

/// A client that connects and says nothing is not kept waiting for long.
constexpr auto kHandshakeTimeout = std::chrono::seconds(10);
/// The TLS close the client is sent, and its answer, take at most this.
constexpr auto kCloseTimeout = std::chrono::seconds(5);

Failure tlsFailure(const std::filesystem::path& file, const std::string& what) {
    return Failure{kServerErrorDomain, 0, file.string() + ": " + what};
}

/// A file the server can read, or why not.
MaybeFailure checkFile(const std::filesystem::path& file, struct stat& info) {
    if (::stat(file.c_str(), &info) != 0) {
        return tlsFailure(file, std::strerror(errno));
    }
    if (!S_ISREG(info.st_mode)) {
        return tlsFailure(file, "not a file");
    }
    return {};
}

}  // namespace

Result<std::shared_ptr<net::ssl::context>> makeTlsContext(const std::filesystem::path& certificate,
                                                          const std::filesystem::path& key) {
    struct stat info {};
    if (MaybeFailure bad = checkFile(certificate, info)) {
        return *bad;
    }
    if (MaybeFailure bad = checkFile(key, info)) {
        return *bad;
    }
    // Whoever may read the key may be this server to every signer. A group may (Debian's
    // ssl-cert), others may not.
    if ((info.st_mode & (S_IROTH | S_IWOTH)) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
        return tlsFailure(key, std::string("the key is readable by others (mode ") + mode +
                                   "); make it the owner's alone: chmod 600 " + key.string());
    }
    auto context = std::make_shared<net::ssl::context>(net::ssl::context::tls_server);
    // TLS 1.2 at least; no compression (CRIME); no renegotiation a client could start.
    context->set_options(net::ssl::context::default_workarounds | net::ssl::context::no_sslv2 |
                         net::ssl::context::no_sslv3 | net::ssl::context::no_tlsv1 |
                         net::ssl::context::no_tlsv1_1 | net::ssl::context::no_compression |
                         net::ssl::context::single_dh_use);
    SSL_CTX* native = context->native_handle();
    SSL_CTX_set_min_proto_version(native, TLS1_2_VERSION);
    SSL_CTX_set_options(native, SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
    // An encrypted key is refused, not asked for on the terminal: a server starts unattended.
    context->set_password_callback(
        [](std::size_t, net::ssl::context::password_purpose) { return std::string(); });
    // The key first: a certificate that does not fit it then leaves no key, found below.
    beast::error_code ec;
    context->use_private_key_file(key.string(), net::ssl::context::pem, ec);
    if (ec) {
        return tlsFailure(key, "not an unencrypted PEM private key (" + ec.message() + ")");
    }
    context->use_certificate_chain_file(certificate.string(), ec);
    if (ec) {
        return tlsFailure(certificate, "not a PEM certificate chain (" + ec.message() + ")");
    }
    if (SSL_CTX_check_private_key(native) != 1) {
        return tlsFailure(key, "not the key of the certificate in " + certificate.string());
    }
    return context;
}

TlsBridge::TlsBridge(tcp::socket socket, Strand strand, std::shared_ptr<Server::Impl> server)
    : strand_(std::move(strand)),
      server_(std::move(server)),
      tls_(beast::tcp_stream(std::move(socket)), *server_->tls),
      inner_(strand_) {
    beast::error_code ec;
    peer_ = tls_.next_layer().socket().remote_endpoint(ec).address();
    // A pad's small messages go out at once, as they do without TLS.
    tls_.next_layer().socket().set_option(tcp::no_delay(true), ec);
}

void TlsBridge::start() {
    tls_.next_layer().expires_after(kHandshakeTimeout);
    tls_.async_handshake(net::ssl::stream_base::server,
                         [self = shared_from_this()](beast::error_code ec) { self->handshaken(ec); });
}

void TlsBridge::handshaken(beast::error_code ec) {
    if (ec || closing_) {
        // Plain HTTP to this port, a scanner, an old client: nothing to answer in TLS.
        cutOff();
        return;
    }
    tls_.next_layer().expires_never();
    net::local::stream_protocol::socket plain(server_->ioc);
    net::local::connect_pair(inner_, plain, ec);
    const Strand connection = net::make_strand(net::any_io_executor(server_->ioc.get_executor()));
    tcp::socket socket(connection);
    if (!ec) {
        // The connection sees a stream socket; it asks nothing of it a socket pair cannot do.
        socket.assign(tcp::v4(), plain.release(), ec);
    }
    if (ec) {
        serverLog("could not carry a TLS connection: " + ec.message());
        cutOff();
        return;
    }
    std::make_shared<HttpConnection>(std::move(socket), connection, server_, peer_)->read();
    readClient();
    readServer();
}

void TlsBridge::readClient() {
    tls_.async_read_some(
        net::buffer(fromClient_), [self = shared_from_this()](beast::error_code ec, std::size_t n) {
            if (ec) {
                self->clientGone();
                return;
            }
            net::async_write(self->inner_, net::buffer(self->fromClient_.data(), n),
                             [self](beast::error_code ec, std::size_t) {
                                 if (ec) {
                                     self->serverGone();
                                 } else {
                                     self->readClient();
                                 }
                             });
        });
}

void TlsBridge::readServer() {
    inner_.async_read_some(
        net::buffer(fromServer_), [self = shared_from_this()](beast::error_code ec, std::size_t n) {
            if (ec) {
                self->serverGone();
                return;
            }
            self->writingToClient_ = true;
            net::async_write(self->tls_, net::buffer(self->fromServer_.data(), n),
                             [self](beast::error_code ec, std::size_t) {
                                 self->writingToClient_ = false;
                                 if (ec) {
                                     self->clientGone();
                                 } else {
                                     self->readServer();
                                 }
                             });
        });
}

void TlsBridge::clientGone() {
    beast::error_code ignored;
    inner_.shutdown(net::socket_base::shutdown_send, ignored);
}

void TlsBridge::serverGone() {
    if (closing_) {
        return;
    }
    closing_ = true;
    if (writingToClient_) {
        cutOff();  // a TLS close cannot go out beside a record half written
        return;
    }
    // The read waiting for the client gives way to the close.
    tls_.next_layer().cancel();
    tls_.next_layer().expires_after(kCloseTimeout);
    tls_.async_shutdown([self = shared_from_this()](beast::error_code) { self->cutOff(); });
}

void TlsBridge::cutOff() {
    closing_ = true;
    beast::error_code ignored;
    tls_.next_layer().socket().shutdown(tcp::socket::shutdown_both, ignored);
    tls_.next_layer().socket().close(ignored);
    inner_.close(ignored);
}

}  // namespace penwell::web
