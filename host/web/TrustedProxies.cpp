#include "penwell/host/web/TrustedProxies.h"

#include "penwell/host/web/ServerState.h"

namespace penwell::web {

namespace ip = boost::asio::ip;

namespace {

ip::address unmapped(const ip::address& address) {
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        return ip::make_address_v4(ip::v4_mapped, address.to_v6());
    }
    return address;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

}  // namespace

Result<TrustedProxies> TrustedProxies::parse(const std::vector<std::string>& entries) {
    TrustedProxies proxies;
    for (const std::string& entry : entries) {
        boost::system::error_code ec;
        const auto slash = entry.find('/');
        if (slash == std::string::npos) {
            const ip::address address = unmapped(ip::make_address(entry, ec));
            if (!ec && address.is_v4()) {
                proxies.v4_.emplace_back(address.to_v4(), 32);
            } else if (!ec) {
                proxies.v6_.emplace_back(address.to_v6(), 128);
            }
        } else if (entry.find(':') == std::string::npos) {
            const ip::network_v4 network = ip::make_network_v4(entry, ec);
            if (!ec) {
                proxies.v4_.push_back(network.canonical());
            }
        } else {
            const ip::network_v6 network = ip::make_network_v6(entry, ec);
            if (!ec) {
                proxies.v6_.push_back(network.canonical());
            }
        }
        if (ec) {
            return Failure{kServerErrorDomain, 0,
                           printable(entry) +
                               ": expected an IP address or a network like 10.0.0.0/8"};
        }
    }
    return proxies;
}

bool TrustedProxies::trusts(const ip::address& peer) const {
    const ip::address address = unmapped(peer);
    if (address.is_v4()) {
        for (const ip::network_v4& network : v4_) {
            if (ip::network_v4(address.to_v4(), 32).is_subnet_of(network) ||
                network.address() == address.to_v4()) {
                return true;
            }
        }
        return false;
    }
    for (const ip::network_v6& network : v6_) {
        if (ip::network_v6(address.to_v6(), 128).is_subnet_of(network) ||
            network.address() == address.to_v6()) {
            return true;
        }
    }
    return false;
}

std::string TrustedProxies::forwardedClient(const ip::address& peer,
                                            std::string_view forwardedFor) const {
    if (!trusts(peer) || trimmed(forwardedFor).empty()) {
        return {};
    }
    std::string_view rest = forwardedFor;
    for (;;) {
        const auto comma = rest.rfind(',');
        const std::string_view last =
            trimmed(comma == std::string_view::npos ? rest : rest.substr(comma + 1));
        boost::system::error_code ec;
        const ip::address client = unmapped(ip::make_address(std::string(last), ec));
        if (ec) {
            return "?";
        }
        // A chain of proxies: each one the operator trusts passes on what the one before said.
        if (comma == std::string_view::npos || !trusts(client)) {
            return client.to_string();
        }
        rest = rest.substr(0, comma);
    }
}

}  // namespace penwell::web
