#include "pdf/pki/RevocationServer.h"

#include <openssl/ocsp.h>

#include <stdexcept>

namespace penwell::pki {

namespace {

using Request = CHandle<OCSP_REQUEST, OCSP_REQUEST_free>;
using Basic = CHandle<OCSP_BASICRESP, OCSP_BASICRESP_free>;
using Response = CHandle<OCSP_RESPONSE, OCSP_RESPONSE_free>;
using Time = CHandle<ASN1_TIME, ASN1_TIME_free>;

std::string der(OCSP_RESPONSE* response) {
    unsigned char* bytes = nullptr;
    const int n = i2d_OCSP_RESPONSE(response, &bytes);
    if (n <= 0) {
        throw std::runtime_error("test OCSP: cannot encode");
    }
    std::string out(reinterpret_cast<char*>(bytes), static_cast<std::size_t>(n));
    OPENSSL_free(bytes);
    return out;
}

std::string status(int code) {
    Response response(OCSP_response_create(code, nullptr));
    return der(response.get());
}

}  // namespace

RevocationServer::RevocationServer()
    : http_([this](const test::HttpExchange& e) { return answer(e); }) {}

test::HttpAnswer RevocationServer::answer(const test::HttpExchange& exchange) {
    const TestPki* pki = pki_.load();
    if (pki == nullptr) {
        return {503, "text/plain", "not serving yet"};
    }
    if (exchange.target == "/root.crl" && exchange.method == "GET") {
        return {200, "application/pkix-crl", pki->crl(pki->root)};
    }
    if (exchange.target == "/ocsp" && exchange.method == "POST") {
        return {200, "application/ocsp-response", ocspAnswer(exchange.body)};
    }
    return {404, "text/plain", "no such thing"};
}

std::string RevocationServer::ocspAnswer(const std::string& body) {
    if (refuseOcsp) {
        return status(OCSP_RESPONSE_STATUS_UNAUTHORIZED);
    }
    const TestPki& pki = *pki_.load();
    const auto* p = reinterpret_cast<const unsigned char*>(body.data());
    Request request(d2i_OCSP_REQUEST(nullptr, &p, static_cast<long>(body.size())));
    if (!request) {
        return status(OCSP_RESPONSE_STATUS_MALFORMEDREQUEST);
    }
    Basic basic(OCSP_BASICRESP_new());
    Time thisUpdate(ASN1_TIME_set(nullptr, pki.now - 60));
    Time nextUpdate(ASN1_TIME_set(nullptr, pki.now + 7 * kDay));
    for (int i = 0; i < OCSP_request_onereq_count(request.get()); ++i) {
        OCSP_CERTID* id = OCSP_onereq_get0_id(OCSP_request_onereq_get0(request.get(), i));
        ASN1_INTEGER* serial = nullptr;
        OCSP_id_get0_info(nullptr, nullptr, nullptr, &serial, id);
        const long number = ASN1_INTEGER_get(serial);
        int state = V_OCSP_CERTSTATUS_GOOD;
        Time revokedAt;
        for (const auto& [revokedSerial, when] : pki.revoked) {
            if (revokedSerial == number) {
                state = V_OCSP_CERTSTATUS_REVOKED;
                revokedAt.reset(ASN1_TIME_set(nullptr, when));
            }
        }
        if (OCSP_basic_add1_status(basic.get(), id, state, OCSP_REVOKED_STATUS_KEYCOMPROMISE,
                                   revokedAt.get(), thisUpdate.get(), nextUpdate.get()) ==
            nullptr) {
            throw std::runtime_error("test OCSP: cannot add a status");
        }
    }
    OCSP_copy_nonce(basic.get(), request.get());
    if (OCSP_basic_sign(basic.get(), pki.ocsp.certificate.get(), pki.ocsp.key.get(),
                        EVP_sha256(), nullptr, 0) != 1) {
        throw std::runtime_error("test OCSP: cannot sign");
    }
    Response response(OCSP_response_create(OCSP_RESPONSE_STATUS_SUCCESSFUL, basic.get()));
    return der(response.get());
}

}  // namespace penwell::pki
