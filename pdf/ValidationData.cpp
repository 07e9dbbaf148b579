#include "penwell/pdf/ValidationData.h"

#include <openssl/cms.h>
#include <openssl/ocsp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <deque>
#include <optional>

#include "penwell/platform/CHandle.h"
#include "penwell/platform/openssl/OpenSslHandles.h"
#include "penwell/platform/openssl/OpenSslKeys.h"

namespace penwell::pdf {

namespace {

using openssl::derOf;
using openssl::subjectLine;
void freeStrings(STACK_OF(OPENSSL_STRING) * stack) {
    X509_email_free(stack);  // OpenSSL's own free for X509_get1_ocsp's list
}
using Strings = CHandle<STACK_OF(OPENSSL_STRING), freeStrings>;
void freeDistributionPoints(STACK_OF(DIST_POINT) * points) {
    sk_DIST_POINT_pop_free(points, DIST_POINT_free);
}
using DistributionPoints = CHandle<STACK_OF(DIST_POINT), freeDistributionPoints>;

/// Five minutes of clock skew between this machine and a responder.
constexpr long kSkewSeconds = 300;

Failure refusal(const std::string& where, const std::string& what) {
    openssl::clearErrors();
    return fail(PdfErrorKind::Validation, where, what);
}

bool selfIssued(X509* c) {
    return X509_check_issued(c, c) == X509_V_OK;
}

/// What the signatures and tokens carry, and whose chains must be covered.
struct Collected {
    openssl::CertificateStackHandle pool{sk_X509_new_null()};
    std::vector<openssl::X509Handle> signers;

    void addAll(STACK_OF(X509) * certificates) {
        for (int i = 0; i < sk_X509_num(certificates); ++i) {
            X509* c = sk_X509_value(certificates, i);
            X509_up_ref(c);
            sk_X509_push(pool.get(), c);
        }
    }
};

/// Reads a SignedData, its signer's certificate and, recursively, its time-stamp tokens.
MaybeFailure collect(ByteView der, Collected& into, int depth) {
    const unsigned char* p = der.data();
    openssl::CmsHandle cms(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(der.size())));
    if (!cms || OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed) {
        return refusal("a signature", "its /Contents is not a CMS SignedData");
    }
    openssl::CertificateStackHandle certificates(CMS_get1_certs(cms.get()));
    into.addAll(certificates.get());
    STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(cms.get());
    for (int s = 0; s < sk_CMS_SignerInfo_num(signers); ++s) {
        CMS_SignerInfo* signer = sk_CMS_SignerInfo_value(signers, s);
        X509* signing = openssl::signerCertificate(signer, certificates.get());
        if (signing == nullptr) {
            return refusal("a signature", "the CMS does not include its signer's certificate");
        }
        into.signers.push_back(openssl::sharedCertificate(signing));
        for (int at = -1; depth == 0 && (at = CMS_unsigned_get_attr_by_NID(
                                             signer, NID_id_smime_aa_timeStampToken, at)) >= 0;) {
            X509_ATTRIBUTE* attribute = CMS_unsigned_get_attr(signer, at);
            for (int v = 0; v < X509_ATTRIBUTE_count(attribute); ++v) {
                const ASN1_TYPE* token = X509_ATTRIBUTE_get0_type(attribute, v);
                if (token->type != V_ASN1_SEQUENCE) {
                    return refusal("a signature", "its time-stamp token is not a SEQUENCE");
                }
                const ASN1_STRING* bytes = token->value.sequence;
                if (MaybeFailure f =
                        collect(ByteView(ASN1_STRING_get0_data(bytes),
                                         static_cast<std::size_t>(ASN1_STRING_length(bytes))),
                                into, depth + 1)) {
                    return f;
                }
            }
        }
    }
    return std::nullopt;
}

class Gatherer {
public:
    explicit Gatherer(const ValidationSources& sources) : sources_(sources) {
        for (const Bytes& file : sources.trust) {
            for (openssl::X509Handle& c : openssl::readCertificates(file)) {
                X509_STORE_add_cert(store_.get(), c.get());
                anchors_.push_back(derOf(c.get()));
            }
        }
        for (const Bytes& answer : sources.ocsp) {
            const unsigned char* p = answer.data();
            openssl::OcspResponseHandle parsed(
                d2i_OCSP_RESPONSE(nullptr, &p, static_cast<long>(answer.size())));
            openssl::OcspBasicHandle basic(parsed ? OCSP_response_get1_basic(parsed.get())
                                                  : nullptr);
            if (basic) {
                givenOcsp_.push_back({answer, std::move(basic)});
            }
        }
        for (const Bytes& file : sources.crls) {
            openssl::BioHandle bio = openssl::memoryBio(file);
            openssl::CrlHandle crl(PEM_read_bio_X509_CRL(bio.get(), nullptr, nullptr, nullptr));
            if (!crl) {
                const unsigned char* p = file.data();
                crl.reset(d2i_X509_CRL(nullptr, &p, static_cast<long>(file.size())));
            }
            if (crl) {
                givenCrls_.push_back(std::move(crl));
            }
        }
        openssl::clearErrors();
    }

    bool hasAnchors() const { return !anchors_.empty(); }

    /// Covers `leaf`'s chain: certificates and revocation data of each but the anchor.
    MaybeFailure cover(X509* leaf, STACK_OF(X509) * pool) {
        openssl::StoreContextHandle context(X509_STORE_CTX_new());
        if (!context || X509_STORE_CTX_init(context.get(), store_.get(), leaf, pool) != 1) {
            return refusal(subjectLine(leaf), "cannot build its chain");
        }
        if (X509_verify_cert(context.get()) != 1) {
            const int error = X509_STORE_CTX_get_error(context.get());
            return refusal(subjectLine(leaf), std::string("does not chain to --trust: ") +
                                                  X509_verify_cert_error_string(error));
        }
        openssl::CertificateStackHandle chain(X509_STORE_CTX_get1_chain(context.get()));
        for (int i = 0; i < sk_X509_num(chain.get()); ++i) {
            X509* c = sk_X509_value(chain.get(), i);
            addOnce(data_.certificates, derOf(c));
            if (i + 1 < sk_X509_num(chain.get()) && !selfIssued(c) && !isAnchor(c)) {
                if (MaybeFailure f = revocation(c, sk_X509_value(chain.get(), i + 1), pool)) {
                    return f;
                }
            }
        }
        return std::nullopt;
    }

    ValidationData take() { return std::move(data_); }

private:
    struct Given {
        Bytes der;
        openssl::OcspBasicHandle basic;
    };

    static bool addOnce(std::vector<Bytes>& list, Bytes item) {
        if (std::find(list.begin(), list.end(), item) != list.end()) {
            return false;
        }
        list.push_back(std::move(item));
        return true;
    }

    bool isAnchor(X509* c) const {
        return std::find(anchors_.begin(), anchors_.end(), derOf(c)) != anchors_.end();
    }

    MaybeFailure revocation(X509* c, X509* issuer, STACK_OF(X509) * pool) {
        const Bytes der = derOf(c);
        if (std::find(covered_.begin(), covered_.end(), der) != covered_.end()) {
            return std::nullopt;
        }
        covered_.push_back(der);
        openssl::OcspCertIdHandle id(OCSP_cert_to_id(EVP_sha1(), c, issuer));
        for (const Given& given : givenOcsp_) {
            if (std::optional<Result<bool>> judged =
                    judgeOcsp(given.basic.get(), id.get(), c, pool)) {
                if (!*judged) {
                    return judged->error();
                }
                addOnce(data_.ocsp, given.der);
                return std::nullopt;
            }
        }
        for (const openssl::CrlHandle& crl : givenCrls_) {
            if (MaybeFailure f = judgeCrl(crl.get(), c, issuer, "--crl")) {
                if (f->code < 0) {
                    continue;  // not this certificate's issuer's
                }
                return f;
            }
            addOnce(data_.crls, crlDer(crl.get()));
            return std::nullopt;
        }
        if (!sources_.http) {
            return refusal(subjectLine(c), "no --ocsp or --crl file covers it");
        }
        Strings ocspUrls(X509_get1_ocsp(c));
        if (sk_OPENSSL_STRING_num(ocspUrls.get()) > 0) {
            return fetchOcsp(sk_OPENSSL_STRING_value(ocspUrls.get(), 0), c, id.get(), pool);
        }
        if (std::optional<std::string> url = crlUrl(c)) {
            return fetchCrl(*url, c, issuer);
        }
        return refusal(subjectLine(c),
                       "its certificate names no OCSP responder and no CRL distribution point, "
                       "and no --ocsp or --crl file covers it");
    }

    /// Nil when `basic` says nothing of `id`; else whether it holds, or why not.
    std::optional<Result<bool>> judgeOcsp(OCSP_BASICRESP* basic, OCSP_CERTID* id, X509* c,
                                          STACK_OF(X509) * pool) {
        int status = 0, reason = 0;
        ASN1_GENERALIZEDTIME *revokedAt = nullptr, *thisUpdate = nullptr, *nextUpdate = nullptr;
        if (OCSP_resp_find_status(basic, id, &status, &reason, &revokedAt, &thisUpdate,
                                  &nextUpdate) != 1) {
            return std::nullopt;
        }
        const std::string who = subjectLine(c);
        if (OCSP_basic_verify(basic, pool, store_.get(), 0) != 1) {
            return Result<bool>(
                refusal(who, "its OCSP answer's signature or responder does not verify"));
        }
        if (OCSP_check_validity(thisUpdate, nextUpdate, kSkewSeconds, -1) != 1) {
            return Result<bool>(refusal(who, "its OCSP answer is not current"));
        }
        if (status == V_OCSP_CERTSTATUS_REVOKED) {
            return Result<bool>(refusal(who, "revoked (OCSP)"));
        }
        if (status != V_OCSP_CERTSTATUS_GOOD) {
            return Result<bool>(refusal(who, "its OCSP responder does not know it"));
        }
        // The responder's own certificate goes with the answer, for a validator to check it.
        const STACK_OF(X509)* signers = OCSP_resp_get0_certs(basic);
        for (int i = 0; i < sk_X509_num(signers); ++i) {
            addOnce(data_.certificates, derOf(sk_X509_value(signers, i)));
        }
        return Result<bool>(true);
    }

    /// Nothing when `crl` is `issuer`'s and does not list `c`; a failure of code -1 when it is
    /// another issuer's.
    MaybeFailure judgeCrl(X509_CRL* crl, X509* c, X509* issuer, const std::string& from) {
        if (X509_NAME_cmp(X509_CRL_get_issuer(crl), X509_get_subject_name(issuer)) != 0) {
            return Failure(kPdfErrorDomain, -1, "");
        }
        const std::string who = subjectLine(c);
        if (X509_CRL_verify(crl, X509_get0_pubkey(issuer)) != 1) {
            return refusal(who, "the CRL from " + from + " is not signed by its issuer");
        }
        X509_REVOKED* entry = nullptr;
        if (X509_CRL_get0_by_cert(crl, &entry, c) == 1) {
            return refusal(who, "revoked (CRL from " + from + ")");
        }
        return std::nullopt;
    }

    static Bytes crlDer(X509_CRL* crl) {
        const int n = i2d_X509_CRL(crl, nullptr);
        Bytes der(static_cast<std::size_t>(std::max(n, 0)));
        unsigned char* p = der.data();
        i2d_X509_CRL(crl, &p);
        return der;
    }

    static std::optional<std::string> crlUrl(X509* c) {
        DistributionPoints points(static_cast<STACK_OF(DIST_POINT)*>(
            X509_get_ext_d2i(c, NID_crl_distribution_points, nullptr, nullptr)));
        for (int i = 0; i < sk_DIST_POINT_num(points.get()); ++i) {
            const DIST_POINT* point = sk_DIST_POINT_value(points.get(), i);
            if (point->distpoint == nullptr || point->distpoint->type != 0) {
                continue;
            }
            const GENERAL_NAMES* names = point->distpoint->name.fullname;
            for (int n = 0; n < sk_GENERAL_NAME_num(names); ++n) {
                const GENERAL_NAME* name = sk_GENERAL_NAME_value(names, n);
                if (name->type == GEN_URI) {
                    const ASN1_IA5STRING* uri = name->d.uniformResourceIdentifier;
                    return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(uri)),
                                       static_cast<std::size_t>(ASN1_STRING_length(uri)));
                }
            }
        }
        return std::nullopt;
    }

    MaybeFailure fetchOcsp(const std::string& url, X509* c, OCSP_CERTID* id,
                           STACK_OF(X509) * pool) {
        openssl::OcspRequestHandle query(OCSP_REQUEST_new());
        openssl::OcspCertIdHandle asked(OCSP_CERTID_dup(id));
        if (!query || !asked || OCSP_request_add0_id(query.get(), asked.get()) == nullptr) {
            return refusal(url, "cannot make an OCSP request");
        }
        asked.release();  // the request owns it now
        const int n = i2d_OCSP_REQUEST(query.get(), nullptr);
        Bytes body(static_cast<std::size_t>(std::max(n, 0)));
        unsigned char* p = body.data();
        i2d_OCSP_REQUEST(query.get(), &p);
        Result<HttpResponse> reply = sources_.http->post(url, "application/ocsp-request", body);
        if (!reply) {
            return Failure(kPdfErrorDomain, static_cast<std::int64_t>(PdfErrorKind::Validation),
                           reply.error().message, url);
        }
        if (reply->status != 200) {
            return refusal(url,
                           "the OCSP responder answered HTTP " + std::to_string(reply->status));
        }
        const unsigned char* q = reply->body.data();
        openssl::OcspResponseHandle answer(
            d2i_OCSP_RESPONSE(nullptr, &q, static_cast<long>(reply->body.size())));
        if (!answer) {
            return refusal(url, "the answer is not an OCSP response");
        }
        const int status = OCSP_response_status(answer.get());
        if (status != OCSP_RESPONSE_STATUS_SUCCESSFUL) {
            return refusal(url, std::string("the OCSP responder refused: ") +
                                    OCSP_response_status_str(status));
        }
        openssl::OcspBasicHandle basic(OCSP_response_get1_basic(answer.get()));
        if (!basic) {
            return refusal(url, "the OCSP answer holds no basic response");
        }
        std::optional<Result<bool>> judged = judgeOcsp(basic.get(), id, c, pool);
        if (!judged) {
            return refusal(url, "the OCSP answer says nothing of " + subjectLine(c));
        }
        if (!*judged) {
            return judged->error();
        }
        addOnce(data_.ocsp, std::move(reply->body));
        return std::nullopt;
    }

    MaybeFailure fetchCrl(const std::string& url, X509* c, X509* issuer) {
        Result<HttpResponse> reply = sources_.http->get(url);
        if (!reply) {
            return Failure(kPdfErrorDomain, static_cast<std::int64_t>(PdfErrorKind::Validation),
                           reply.error().message, url);
        }
        if (reply->status != 200) {
            return refusal(url, "the CRL host answered HTTP " + std::to_string(reply->status));
        }
        const unsigned char* p = reply->body.data();
        openssl::CrlHandle crl(d2i_X509_CRL(nullptr, &p, static_cast<long>(reply->body.size())));
        if (!crl) {
            return refusal(url, "the answer is not a DER CRL");
        }
        if (MaybeFailure f = judgeCrl(crl.get(), c, issuer, url)) {
            return f->code < 0 ? refusal(url, "the CRL is not from the issuer of " + subjectLine(c))
                               : f;
        }
        if (X509_cmp_time(X509_CRL_get0_nextUpdate(crl.get()), nullptr) < 0) {
            return refusal(url, "the CRL is out of date");
        }
        addOnce(data_.crls, std::move(reply->body));
        return std::nullopt;
    }

    const ValidationSources& sources_;
    openssl::X509StoreHandle store_{X509_STORE_new()};
    std::vector<Bytes> anchors_;
    std::vector<Given> givenOcsp_;
    std::vector<openssl::CrlHandle> givenCrls_;
    std::vector<Bytes> covered_;
    ValidationData data_;
};

}  // namespace

Result<ValidationData> gatherValidationData(const std::vector<ByteView>& signatures,
                                            const ValidationSources& sources,
                                            const cms::ReadSigners* read) {
    Gatherer gatherer(sources);
    if (!gatherer.hasAnchors()) {
        return fail(PdfErrorKind::Validation, "--trust",
                    "needed: the certificates where the chains end");
    }
    Collected collected;
    for (ByteView signature : signatures) {
        if (MaybeFailure f = collect(signature, collected, 0)) {
            return *f;
        }
    }
    if (read != nullptr) {
        for (const openssl::X509Handle& c : read->certificates) {
            sk_X509_push(collected.pool.get(), openssl::sharedCertificate(c.get()).release());
        }
        for (const openssl::X509Handle& c : read->signers) {
            collected.signers.push_back(openssl::sharedCertificate(c.get()));
        }
    }
    for (const openssl::X509Handle& signer : collected.signers) {
        if (MaybeFailure f = gatherer.cover(signer.get(), collected.pool.get())) {
            return *f;
        }
    }
    return gatherer.take();
}

}  // namespace penwell::pdf
