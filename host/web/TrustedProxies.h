#pragma once
// Inside the server (not installed). Whom a request comes from when a reverse proxy stands between the signer and the server: the
// proxy's X-Forwarded-For is believed only from a peer the operator named (--trusted-proxy), so
// a signer who writes the header himself cannot take another's place in the per-address limits
// or put someone else's address into the audit trail. No network here: the server hands in the
// peer's address and the header's value, so a test can feed both.

#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/network_v4.hpp>
#include <boost/asio/ip/network_v6.hpp>

#include "penwell/platform/Result.h"

namespace penwell::web {

class TrustedProxies {
public:
    /// Each entry an IP address or a network in CIDR form ("127.0.0.1", "10.0.0.0/8",
    /// "fd00::/8"). Fails naming the first entry that is neither; nothing is trusted then.
    static Result<TrustedProxies> parse(const std::vector<std::string>& entries);

    bool empty() const { return v4_.empty() && v6_.empty(); }
    /// An IPv4 peer seen through an IPv6 socket (::ffff:192.0.2.1) is its IPv4 address.
    bool trusts(const boost::asio::ip::address& peer) const;

    /// The client behind `peer` as `forwardedFor` (an X-Forwarded-For value) names it: from a
    /// trusted peer, the right-most entry that is not itself a trusted proxy (each proxy
    /// appends the address it took the connection from; what stands left of that is whatever
    /// the client wrote). An entry that is not an address counts as one address, "?", so a
    /// proxy's garbage neither escapes the limits nor names a real signer. Empty: the header
    /// says nothing to be believed (an untrusted peer, or no header).
    std::string forwardedClient(const boost::asio::ip::address& peer,
                                std::string_view forwardedFor) const;

private:
    std::vector<boost::asio::ip::network_v4> v4_;
    std::vector<boost::asio::ip::network_v6> v6_;
};

}  // namespace penwell::web
