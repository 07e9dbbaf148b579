#pragma once
// Inside the server (not installed): in-process TLS (serve --tls-cert, --tls-key). The
// certificate and key become a server context (TLS 1.2 at least, no compression), and each
// connection's TLS is ended by a bridge: it shakes hands with the client, then carries the
// plain bytes both ways over a socket pair whose other end is an ordinary connection of the
// server. So every request, WebSocket and pad runs on one code path whether the signer came
// by TLS or not, and a pad's socket can still move to the pad's strand (an ssl stream's state
// cannot move to another socket).

#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/ssl.hpp>
#include <array>
#include <filesystem>
#include <memory>

#include "penwell/host/web/ServerState.h"

namespace penwell::web {

/// Loads the PEM certificate chain and its unencrypted PEM key for a server. Fails with one
/// line naming the file: missing, unreadable, a key others may read (it must be the owner's,
/// or a group's such as ssl-cert, alone), not PEM, or a key that is not the certificate's.
Result<std::shared_ptr<net::ssl::context>> makeTlsContext(const std::filesystem::path& certificate,
                                                          const std::filesystem::path& key);

/// One TLS connection, from the handshake to the close of either side.
class TlsBridge final : public std::enable_shared_from_this<TlsBridge> {
public:
    TlsBridge(tcp::socket socket, Strand strand, std::shared_ptr<Server::Impl> server);

    /// Shakes hands within a bound; then hands the plain side to a new HttpConnection.
    void start();
    /// Closes both sides at once (the server has stopped).
    void cutOff();

private:
    void handshaken(beast::error_code ec);
    void readClient();
    void readServer();
    /// The client is gone: the connection sees its end of input.
    void clientGone();
    /// The connection is done: the client is told with a TLS close, within a bound.
    void serverGone();

    Strand strand_;
    std::shared_ptr<Server::Impl> server_;
    beast::ssl_stream<beast::tcp_stream> tls_;
    net::local::stream_protocol::socket inner_;
    net::ip::address peer_;
    std::array<char, 16 * 1024> fromClient_{};
    std::array<char, 16 * 1024> fromServer_{};
    bool closing_ = false;
    bool writingToClient_ = false;
};

}  // namespace penwell::web
