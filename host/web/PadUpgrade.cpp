// A WebSocket upgrade becomes a signer's pad: from an allowed origin only, the pad its resume
// token names when the page comes back, else a new one when the limits leave room, refused
// with "try again later" when they do not.

#include "penwell/host/web/HttpRoutes.h"
#include "penwell/host/web/PadSocket.h"

namespace penwell::web {

void HttpConnection::upgrade(http::request<http::string_body> request, std::string_view target,
                             std::string_view query) {
    const std::string linkToken = links::padToken(target);
    if (target != "/ws" && (linkToken.empty() || !server_->options.service)) {
        respond(http::status::not_found, "text/plain", "not found\n", false);
        return;
    }
    if (!server_->originAllowed(view(request[http::field::origin]))) {
        // Another site's page in the signer's browser must not drive the pad.
        serverLog("refused a WebSocket from origin \"" +
                  printable(std::string(view(request[http::field::origin]))) + "\"");
        respond(http::status::forbidden, "text/plain", "origin not allowed\n", false);
        return;
    }
    if (server_->stopping) {
        respond(http::status::service_unavailable, "text/plain", "stopping\n", false);
        return;
    }
    // A page that dropped off the network comes back to its pad with the token it was given.
    std::shared_ptr<Pad> pad;
    const bool resuming = query.substr(0, 7) == "resume=";
    std::shared_ptr<links::LinkPad> link;
    if (!linkToken.empty()) {
        // A signing link has one pad, found by its link; a new one is rebuilt from the store.
        auto opened = links::LinkPad::open(server_->options.service, *server_->linkDocuments,
                                           server_->options.pad, linkToken, actor(request));
        if (!opened) {
            serverLog("refused a signing link's pad: " + opened.error().message);
            respond(http::status::forbidden, "text/plain", "no pad for this link now\n", false);
            return;
        }
        link = std::move(*opened);
        pad = server_->resumable.claim(link->key());
    } else if (resuming) {
        // Its old connection may not have noticed the drop yet: the pad is taken over.
        pad = server_->resumable.claim(std::string(query.substr(7)));
        if (pad && pad->link) {
            pad = nullptr;  // a link's pad is reached through its link only
        }
    }
    if (!pad) {
        const std::string address = clientAddress(request);
        if (const auto refused = server_->admission.admit(address, Clock::now())) {
            serverLog("refused a signer" + (address.empty() ? "" : " from " + printable(address)) +
                      ": " + *refused);
            tryAgainLater(std::move(request), "busy: " + *refused);
            return;
        }
        pad =
            std::make_shared<Pad>(net::make_strand(server_->ioc.get_executor()), server_, address);
        pad->link = std::move(link);
    }
    // A page that comes back keeps what it shows; a page loaded afresh is told the pad's state.
    pad->pageResumes = resuming;
    // The connection runs on its pad's strand, where the controller lives.
    tcp::socket accepted = stream_.release_socket();
    const auto protocol = accepted.local_endpoint().protocol();
    tcp::socket socket(pad->strand);
    socket.assign(protocol, accepted.release());
    auto session = std::make_shared<PadSocket>(std::move(socket), pad, server_);
    {
        std::lock_guard lock(server_->connectionsMutex);
        server_->connections.remove_if([](const auto& w) { return w.expired(); });
        server_->connections.push_back(session);
    }
    net::post(pad->strand, [session, request = std::move(request)]() mutable {
        session->start(std::move(request));
    });
}

std::string HttpConnection::clientAddress(const http::request<http::string_body>& request) {
    const net::ip::address& peer = peer_;
    // Several X-Forwarded-For lines are one list, in order (RFC 9110, 5.3).
    std::string forwarded;
    const auto [first, last] = request.equal_range("X-Forwarded-For");
    for (auto field = first; field != last; ++field) {
        forwarded += (forwarded.empty() ? "" : ",") + std::string(view(field->value()));
    }
    if (std::string client = server_->trustedProxies.forwardedClient(peer, forwarded);
        !client.empty()) {
        return client;
    }
    return peer.is_loopback() ? std::string() : peer.to_string();
}

void HttpConnection::tryAgainLater(http::request<http::string_body> request,
                                   const std::string& reason) {
    auto ws = std::make_shared<websocket::stream<beast::tcp_stream>>(std::move(stream_));
    beast::get_lowest_layer(*ws).expires_never();
    ws->set_option(websocket::stream_base::timeout{std::chrono::seconds(5),
                                                   websocket::stream_base::none(), false});
    ws->set_option(websocket::stream_base::decorator(
        [](websocket::response_type& r) { r.set(http::field::server, "penwell"); }));
    ws->async_accept(request, [ws, reason](beast::error_code ec) {
        if (ec) {
            return;
        }
        ws->async_close(
            websocket::close_reason(websocket::close_code::try_again_later, closeReason(reason)),
            [ws](beast::error_code) {});
    });
}

}  // namespace penwell::web
