#pragma once
// A time-stamp authority on loopback for the tests, built on OpenSSL's own TS_RESP_* functions:
// it answers RFC 3161 queries over HTTP with tokens signed by the test PKI's TSA, at the time of
// the test's clock, and can be told to misbehave in one of the ways a signer must catch.

#include <atomic>
#include <mutex>
#include <string>

#include "pdf/pki/TestPki.h"
#include "support/LoopbackHttp.h"

namespace penwell::pki {

enum class TsaFault {
    None,
    WrongImprint,     ///< a token over another digest than the one asked for
    WrongNonce,       ///< a token with another nonce
    NotTimeStamping,  ///< signed by a certificate without the timeStamping usage
    Rejected,         ///< status rejection, no token
    HttpError,        ///< HTTP 500
    Oversize,         ///< two megabytes of answer
    Garbage,          ///< HTTP 200 with bytes that are no answer
    TrailingBytes,    ///< a whole answer, and bytes after it
    GrantedNoToken,   ///< status granted, and no token
};

class TsaServer {
public:
    /// Signs with `pki`'s TSA, including the intermediate's certificate; the token's time is
    /// `pki.now` as it is when the query arrives.
    explicit TsaServer(TestPki& pki);

    std::string url() const { return http_.url("/tsa"); }
    int served() const { return http_.served(); }
    /// DER of the last token sent, as the answer holds it.
    std::string lastToken() const {
        std::lock_guard lock(mutex_);
        return lastToken_;
    }

    std::atomic<TsaFault> fault{TsaFault::None};
    /// Certificates added to each token beyond the intermediate's, to make it large.
    std::atomic<int> extraCertificates{0};

private:
    test::HttpAnswer answer(const test::HttpExchange& exchange);

    const TestPki& pki_;
    Party impostor_;  ///< for NotTimeStamping
    std::atomic<long> serial_{1};
    mutable std::mutex mutex_;
    std::string lastToken_;
    test::LoopbackHttp http_;  // last: it calls answer() until it is destroyed
};

}  // namespace penwell::pki
