#pragma once
// An OCSP responder and a CRL host on loopback for the tests, on OpenSSL's OCSP_* and X509_CRL
// functions: POST /ocsp answers for the certificates the intermediate issued, signed by the
// test PKI's delegated responder; GET /root.crl is the root's CRL. Both say what the PKI's
// `revoked` list says when the request arrives. It listens before the PKI exists (the PKI's
// certificates carry its URLs) and answers once serve() is told the PKI.

#include <atomic>
#include <string>

#include "pdf/pki/TestPki.h"
#include "support/LoopbackHttp.h"

namespace penwell::pki {

class RevocationServer {
public:
    RevocationServer();

    void serve(const TestPki& pki) { pki_ = &pki; }
    std::string ocspUrl() const { return http_.url("/ocsp"); }
    std::string crlUrl() const { return http_.url("/root.crl"); }
    int served() const { return http_.served(); }

    /// Answers "unauthorized" to every OCSP request.
    std::atomic<bool> refuseOcsp{false};

private:
    test::HttpAnswer answer(const test::HttpExchange& exchange);
    std::string ocspAnswer(const std::string& request);

    std::atomic<const TestPki*> pki_{nullptr};
    test::LoopbackHttp http_;  // last: it calls answer() until it is destroyed
};

}  // namespace penwell::pki
