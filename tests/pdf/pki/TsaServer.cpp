#include "pdf/pki/TsaServer.h"

#include <openssl/cms.h>
#include <openssl/pkcs7.h>
#include <openssl/ts.h>

#include <stdexcept>

#include "penwell/platform/openssl/OpenSslKeys.h"

namespace penwell::pki {

namespace {

using Context = CHandle<TS_RESP_CTX, TS_RESP_CTX_free>;
using Object = CHandle<ASN1_OBJECT, ASN1_OBJECT_free>;
using Certificates = openssl::CertificateStackHandle;

struct Clock {
    std::time_t now;
};

int timeOf(TS_RESP_CTX*, void* data, long* seconds, long* micros) {
    *seconds = static_cast<long>(static_cast<Clock*>(data)->now);
    *micros = 0;
    return 1;
}

ASN1_INTEGER* serialOf(TS_RESP_CTX*, void* data) {
    ASN1_INTEGER* serial = ASN1_INTEGER_new();
    ASN1_INTEGER_set(serial, ++*static_cast<std::atomic<long>*>(data));
    return serial;
}

template <typename T, int (*Encode)(const T*, unsigned char**)>
std::string der(const T* object) {
    const int n = Encode(object, nullptr);
    if (n <= 0) {
        throw std::runtime_error("test TSA: cannot encode");
    }
    std::string out(static_cast<std::size_t>(n), '\0');
    auto* p = reinterpret_cast<unsigned char*>(out.data());
    Encode(object, &p);
    return out;
}

/// The query as the fault wants it answered.
std::string altered(const std::string& query, TsaFault fault) {
    const auto* p = reinterpret_cast<const unsigned char*>(query.data());
    openssl::TimestampQueryHandle request(d2i_TS_REQ(nullptr, &p, static_cast<long>(query.size())));
    if (!request) {
        return query;
    }
    if (fault == TsaFault::WrongImprint) {
        ASN1_OCTET_STRING* digest = TS_MSG_IMPRINT_get_msg(TS_REQ_get_msg_imprint(request.get()));
        std::string bytes(reinterpret_cast<const char*>(ASN1_STRING_get0_data(digest)),
                          static_cast<std::size_t>(ASN1_STRING_length(digest)));
        bytes[0] = static_cast<char>(bytes[0] ^ 1);
        ASN1_OCTET_STRING_set(digest, reinterpret_cast<const unsigned char*>(bytes.data()),
                              static_cast<int>(bytes.size()));
    } else if (fault == TsaFault::WrongNonce) {
        openssl::IntegerHandle nonce(ASN1_INTEGER_new());
        ASN1_INTEGER_set(nonce.get(), 12345);
        TS_REQ_set_nonce(request.get(), nonce.get());
    }
    return der<TS_REQ, i2d_TS_REQ>(request.get());
}

/// The token of `response` signed again, by a certificate that may not sign tokens.
void resign(TS_RESP* response, const Party& impostor) {
    TS_TST_INFO* info = TS_RESP_get_tst_info(response);
    const std::string content = der<TS_TST_INFO, i2d_TS_TST_INFO>(info);
    openssl::BioHandle in(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
    const unsigned flags = CMS_BINARY | CMS_PARTIAL | CMS_NOSMIMECAP;
    openssl::CmsHandle cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags));
    if (!cms ||
        CMS_add1_signer(cms.get(), impostor.certificate.get(), impostor.key.get(), EVP_sha256(),
                        flags | CMS_CADES) == nullptr ||
        CMS_set1_eContentType(cms.get(), OBJ_nid2obj(NID_id_smime_ct_TSTInfo)) != 1 ||
        CMS_final(cms.get(), in.get(), nullptr, flags) != 1) {
        throw std::runtime_error("test TSA: cannot sign as the impostor");
    }
    const std::string token = der<CMS_ContentInfo, i2d_CMS_ContentInfo>(cms.get());
    const auto* p = reinterpret_cast<const unsigned char*>(token.data());
    PKCS7* pkcs7 = d2i_PKCS7(nullptr, &p, static_cast<long>(token.size()));
    TS_RESP_set_tst_info(response, pkcs7, TS_TST_INFO_dup(info));
}

}  // namespace

TsaServer::TsaServer(TestPki& pki)
    : pki_(pki),
      impostor_(pki.issue(
          {"Penwell Test Impostor", Role::NoUsage, pki.now - 365 * kDay, pki.now + 365 * kDay},
          pki.intermediate)),
      http_([this](const test::HttpExchange& e) { return answer(e); }) {}

test::HttpAnswer TsaServer::answer(const test::HttpExchange& exchange) {
    const TsaFault f = fault.load();
    if (f == TsaFault::HttpError) {
        return {500, "text/plain", "the TSA is down"};
    }
    if (f == TsaFault::Oversize) {
        return {200, "application/timestamp-reply", std::string(2u << 20, '\x30')};
    }
    if (f == TsaFault::Garbage) {
        return {200, "application/timestamp-reply", "not a time-stamp answer"};
    }
    if (exchange.method != "POST" || exchange.contentType != "application/timestamp-query") {
        return {400, "text/plain", "expected a POST of application/timestamp-query"};
    }
    Context context(TS_RESP_CTX_new());
    Certificates chain(sk_X509_new_null());
    X509_up_ref(pki_.intermediate.certificate.get());
    sk_X509_push(chain.get(), pki_.intermediate.certificate.get());
    for (int i = 0; i < extraCertificates; ++i) {
        X509_up_ref(impostor_.certificate.get());
        sk_X509_push(chain.get(), impostor_.certificate.get());
    }
    Object policy(OBJ_txt2obj("1.3.6.1.4.1.57264.99.1", 1));
    Clock clock{pki_.now};
    if (!context || TS_RESP_CTX_set_signer_cert(context.get(), pki_.tsa.certificate.get()) != 1 ||
        TS_RESP_CTX_set_signer_key(context.get(), pki_.tsa.key.get()) != 1 ||
        TS_RESP_CTX_set_certs(context.get(), chain.get()) != 1 ||
        TS_RESP_CTX_set_def_policy(context.get(), policy.get()) != 1 ||
        TS_RESP_CTX_set_signer_digest(context.get(), EVP_sha256()) != 1 ||
        (f != TsaFault::Rejected && TS_RESP_CTX_add_md(context.get(), EVP_sha256()) != 1)) {
        throw std::runtime_error("test TSA: cannot set up");
    }
    TS_RESP_CTX_set_time_cb(context.get(), timeOf, &clock);
    TS_RESP_CTX_set_serial_cb(context.get(), serialOf, &serial_);
    const std::string query = altered(exchange.body, f);
    openssl::BioHandle in(BIO_new_mem_buf(query.data(), static_cast<int>(query.size())));
    openssl::TimestampAnswerHandle response(TS_RESP_create_response(context.get(), in.get()));
    if (!response) {
        throw std::runtime_error("test TSA: cannot answer");
    }
    if (f == TsaFault::NotTimeStamping) {
        resign(response.get(), impostor_);
    }
    if (f == TsaFault::GrantedNoToken) {
        TS_RESP_set_tst_info(response.get(), nullptr, nullptr);
    } else if (PKCS7* token = TS_RESP_get_token(response.get())) {
        std::lock_guard lock(mutex_);
        lastToken_ = der<PKCS7, i2d_PKCS7>(token);
    }
    std::string body = der<TS_RESP, i2d_TS_RESP>(response.get());
    if (f == TsaFault::TrailingBytes) {
        body += "and more";
    }
    return {200, "application/timestamp-reply", body};
}

}  // namespace penwell::pki
