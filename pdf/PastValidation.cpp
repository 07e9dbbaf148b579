#include "penwell/pdf/PastValidation.h"

#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/ocsp.h>
#include <openssl/pem.h>
#include <openssl/ts.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cctype>
#include <numeric>
#include <optional>

#include "penwell/pdf/PdfSignature.h"
#include "penwell/pdf/Timestamp.h"
#include "penwell/platform/CHandle.h"
#include "penwell/platform/openssl/OpenSslHandles.h"
#include "penwell/platform/openssl/OpenSslKeys.h"

namespace penwell::pdf {

namespace {

using openssl::CrlHandle;
using openssl::OcspBasicHandle;
using openssl::subjectLine;
using Pkcs7 = CHandle<PKCS7, PKCS7_free>;
using TstInfo = CHandle<TS_TST_INFO, TS_TST_INFO_free>;

/// Five minutes of clock skew between a responder and the authority whose time it follows.
constexpr std::time_t kSkewSeconds = 300;

/// The most OCSP answers about one certificate whose signatures are checked (and as many CRLs
/// of its issuer): a file needs one or two per renewal; a hostile one could hold a thousand,
/// each a signature to verify.
constexpr int kMaxAnswersJudged = 16;

std::optional<std::time_t> secondsOf(const ASN1_TIME* time) {
    std::tm when{};
    if (time == nullptr || ASN1_TIME_to_tm(time, &when) != 1) {
        return std::nullopt;
    }
    return timegm(&when);
}

/// Whether revocation data from `thisUpdate` to `nextUpdate` speaks for `usedAt`: issued at
/// or after it, or still current then.
bool speaksFor(const ASN1_TIME* thisUpdate, const ASN1_TIME* nextUpdate, std::time_t usedAt) {
    const std::optional<std::time_t> from = secondsOf(thisUpdate);
    if (!from) {
        return false;
    }
    if (*from + kSkewSeconds >= usedAt) {
        return true;
    }
    const std::optional<std::time_t> until = secondsOf(nextUpdate);
    return until && *until >= usedAt;
}

bool selfIssued(X509* c) {
    return X509_check_issued(c, c) == X509_V_OK;
}

/// A SignedData's one signer's certificate and every certificate it carries.
struct SignedBy {
    openssl::X509Handle signer;
    openssl::CertificateStackHandle certificates;
};

std::optional<SignedBy> signedBy(ByteView der) {
    const unsigned char* p = der.data();
    openssl::CmsHandle cms(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(der.size())));
    CMS_SignerInfo* signer = openssl::soleSigner(cms.get());
    if (signer == nullptr) {
        return std::nullopt;
    }
    SignedBy out{openssl::X509Handle(), openssl::CertificateStackHandle(CMS_get1_certs(cms.get()))};
    X509* c = openssl::signerCertificate(signer, out.certificates.get());
    if (c == nullptr) {
        return std::nullopt;
    }
    out.signer = openssl::sharedCertificate(c);
    return out;
}

/// A time-stamp token: who signed it, and the time it proves.
struct Token {
    SignedBy by;
    std::time_t time = 0;
};

std::optional<Token> tokenOf(ByteView der) {
    std::optional<SignedBy> by = signedBy(der);
    const unsigned char* p = der.data();
    Pkcs7 pkcs7(d2i_PKCS7(nullptr, &p, static_cast<long>(der.size())));
    TstInfo info(pkcs7 ? PKCS7_to_TS_TST_INFO(pkcs7.get()) : nullptr);
    const std::optional<std::time_t> time =
        info ? secondsOf(TS_TST_INFO_get_time(info.get())) : std::nullopt;
    if (!by || !time) {
        return std::nullopt;
    }
    return Token{std::move(*by), *time};
}

/// The upper-case hex SHA-1 of `bytes`, as /VRI keys name a signature.
std::string sha1Hex(ByteView bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha1(), nullptr) != 1) {
        return {};
    }
    std::string out = hexDigits(ByteView(digest, length));
    for (char& c : out) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return out;
}

/// What a /VRI entry for `contents` gets wrong, if any: the key is the SHA-1 of /Contents as
/// written, which some signers take of the CMS alone, without the zeros that pad it. The CMS
/// ends where its DER says: a signature whose last byte is zero would lose it to a trim.
std::optional<std::string> vriProblemOf(ByteView contents, const StoredValidationData& stored) {
    ByteView unpadded = contents;
    const unsigned char* body = contents.data();
    long length = 0;
    int tag = 0, objectClass = 0;
    if ((ASN1_get_object(&body, &length, &tag, &objectClass, static_cast<long>(contents.size())) &
         0x80) == 0) {
        unpadded = contents.first(static_cast<std::size_t>(body - contents.data()) +
                                  static_cast<std::size_t>(length));
    }
    for (ByteView form : {contents, unpadded}) {
        const auto found = stored.vriProblems.find(sha1Hex(form));
        if (found != stored.vriProblems.end()) {
            return found->second;
        }
    }
    return std::nullopt;
}

class PastJudge {
public:
    PastJudge(const StoredValidationData& stored, const std::vector<Bytes>& trust, std::time_t at)
        : at_(at) {
        for (const Bytes& file : trust) {
            for (openssl::X509Handle& c : openssl::readCertificates(file)) {
                anchors_.push_back(openssl::derOf(c.get()));
                anchorCertificates_.push_back(std::move(c));
            }
        }
        for (const StoredItem& item : stored.certificates) {
            if (openssl::X509Handle c = openssl::readCertificate(item.der)) {
                sk_X509_push(pool_.get(), c.release());
            }
        }
        for (const StoredItem& item : stored.ocsp) {
            const unsigned char* p = item.der.data();
            openssl::OcspResponseHandle answer(
                d2i_OCSP_RESPONSE(nullptr, &p, static_cast<long>(item.der.size())));
            OcspBasicHandle basic(answer ? OCSP_response_get1_basic(answer.get()) : nullptr);
            if (basic) {
                ocsp_.push_back({std::move(basic), item.offset});
            }
        }
        for (const StoredItem& item : stored.crls) {
            const unsigned char* p = item.der.data();
            CrlHandle crl(d2i_X509_CRL(nullptr, &p, static_cast<long>(item.der.size())));
            if (crl) {
                crls_.push_back(std::move(crl));
            }
        }
        openssl::clearErrors();
    }

    /// Every certificate a signature carries helps build the chains of all.
    void pool(STACK_OF(X509) * certificates) {
        for (int i = 0; i < sk_X509_num(certificates); ++i) {
            X509* c = sk_X509_value(certificates, i);
            X509_up_ref(c);
            sk_X509_push(pool_.get(), c);
        }
    }

    /// A document time-stamp judged good proves that the first `signedBytes` of the file
    /// existed at `time`.
    void proved(std::uint64_t signedBytes, std::time_t time) {
        stamps_.push_back({signedBytes, time});
    }

    /// Whether a good document time-stamp covers the byte at `offset`.
    bool covered(std::uint64_t offset) const { return proofOf(offset) != at_; }

    /// The earliest time the file proves the byte at `offset` existed: the first good
    /// document time-stamp over it, else the validation time.
    std::time_t proofOf(std::uint64_t offset) const {
        std::time_t earliest = at_;
        for (const auto& [end, time] : stamps_) {
            if (end > offset) {
                earliest = std::min(earliest, time);
            }
        }
        return earliest;
    }

    /// Why `leaf` cannot be relied on, judged as of `when` and used at `usedAt`; nil when it
    /// can. Revocation data is looked for even when not `required`: none may say it was
    /// revoked when it was used.
    std::optional<std::string> judge(X509* leaf, std::time_t when, std::time_t usedAt,
                                     bool required) const {
        openssl::X509StoreHandle store = storeAt(when);
        openssl::StoreContextHandle context(X509_STORE_CTX_new());
        if (!context || X509_STORE_CTX_init(context.get(), store.get(), leaf, pool_.get()) != 1) {
            return subjectLine(leaf) + ": cannot build its chain";
        }
        if (X509_verify_cert(context.get()) != 1) {
            X509* at = X509_STORE_CTX_get_current_cert(context.get());
            const int error = X509_STORE_CTX_get_error(context.get());
            openssl::clearErrors();
            return subjectLine(at != nullptr ? at : leaf) + ": not valid as of " + utcText(when) +
                   " with --trust: " + X509_verify_cert_error_string(error);
        }
        openssl::CertificateStackHandle chain(X509_STORE_CTX_get1_chain(context.get()));
        for (int i = 0; i + 1 < sk_X509_num(chain.get()); ++i) {
            X509* c = sk_X509_value(chain.get(), i);
            if (selfIssued(c) || isAnchor(c)) {
                continue;
            }
            if (std::optional<std::string> problem =
                    revocation(c, sk_X509_value(chain.get(), i + 1), usedAt, required)) {
                return problem;
            }
        }
        return std::nullopt;
    }

private:
    struct Ocsp {
        OcspBasicHandle basic;
        std::uint64_t offset = 0;
    };

    bool isAnchor(X509* c) const {
        return std::find(anchors_.begin(), anchors_.end(), openssl::derOf(c)) != anchors_.end();
    }

    /// The anchors, every chain built from them judged as of `when`.
    openssl::X509StoreHandle storeAt(std::time_t when) const {
        openssl::X509StoreHandle store(X509_STORE_new());
        for (const openssl::X509Handle& c : anchorCertificates_) {
            X509_STORE_add_cert(store.get(), c.get());
        }
        X509_VERIFY_PARAM_set_time(X509_STORE_get0_param(store.get()), when);
        // Document-signing certificates need not carry the e-mail protection usage; a
        // token's own check asked for the time-stamping one.
        X509_STORE_set_purpose(store.get(), X509_PURPOSE_ANY);
        return store;
    }

    std::optional<std::string> revocation(X509* c, X509* issuer, std::time_t usedAt,
                                          bool required) const {
        const std::string who = subjectLine(c);
        const std::string used = utcText(usedAt);
        bool proven = false;
        std::string unusable;  // why data about it did not count, when none did
        int judged = 0;
        for (const EVP_MD* digest : {EVP_sha1(), EVP_sha256()}) {
            openssl::OcspCertIdHandle id(OCSP_cert_to_id(digest, c, issuer));
            for (const Ocsp& answer : ocsp_) {
                int status = 0, reason = 0;
                ASN1_GENERALIZEDTIME *revokedAt = nullptr, *thisUpdate = nullptr,
                                     *nextUpdate = nullptr;
                if (!id ||
                    OCSP_resp_find_status(answer.basic.get(), id.get(), &status, &reason,
                                          &revokedAt, &thisUpdate, &nextUpdate) != 1 ||
                    ++judged > kMaxAnswersJudged) {
                    continue;
                }
                // The responder must have been valid when the file proves the answer existed.
                const std::time_t existed = proofOf(answer.offset);
                openssl::X509StoreHandle store = storeAt(existed);
                if (OCSP_basic_verify(answer.basic.get(), pool_.get(), store.get(), 0) != 1) {
                    openssl::clearErrors();
                    unusable = "its OCSP answer's responder is not valid as of " + utcText(existed);
                    continue;
                }
                if (status == V_OCSP_CERTSTATUS_REVOKED) {
                    const std::optional<std::time_t> when = secondsOf(revokedAt);
                    if (!when || *when <= usedAt) {
                        return who + ": revoked" + (when ? " on " + utcText(*when) : "") +
                               ", before it was used on " + used + " (OCSP)";
                    }
                    proven = true;  // revoked only after it was used
                } else if (status == V_OCSP_CERTSTATUS_GOOD) {
                    if (speaksFor(thisUpdate, nextUpdate, usedAt)) {
                        proven = true;
                    } else {
                        unusable = "its OCSP answer is older than its use on " + used;
                    }
                }
            }
        }
        for (const CrlHandle& crl : crls_) {
            if (X509_NAME_cmp(X509_CRL_get_issuer(crl.get()), X509_get_subject_name(issuer)) != 0 ||
                ++judged > 2 * kMaxAnswersJudged) {
                continue;
            }
            if (X509_CRL_verify(crl.get(), X509_get0_pubkey(issuer)) != 1) {
                openssl::clearErrors();
                unusable = "its CRL is not signed by its issuer";
                continue;
            }
            X509_REVOKED* entry = nullptr;
            if (X509_CRL_get0_by_cert(crl.get(), &entry, c) == 1) {
                const std::optional<std::time_t> when =
                    secondsOf(X509_REVOKED_get0_revocationDate(entry));
                if (!when || *when <= usedAt) {
                    return who + ": revoked" + (when ? " on " + utcText(*when) : "") +
                           ", before it was used on " + used + " (CRL)";
                }
                proven = true;
            } else if (speaksFor(X509_CRL_get0_lastUpdate(crl.get()),
                                 X509_CRL_get0_nextUpdate(crl.get()), usedAt)) {
                proven = true;
            } else {
                unusable = "its CRL is older than its use on " + used;
            }
        }
        if (proven || !required) {
            return std::nullopt;
        }
        return who + ": " +
               (unusable.empty() ? "the file holds no OCSP answer or CRL for it" : unusable);
    }

    std::time_t at_;
    std::vector<Bytes> anchors_;
    std::vector<openssl::X509Handle> anchorCertificates_;
    openssl::CertificateStackHandle pool_{sk_X509_new_null()};
    std::vector<Ocsp> ocsp_;
    std::vector<CrlHandle> crls_;
    std::vector<std::pair<std::uint64_t, std::time_t>> stamps_;
};

}  // namespace

std::string utcText(std::time_t seconds) {
    std::tm when{};
    gmtime_r(&seconds, &when);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%SZ", &when);
    return text;
}

std::vector<PastVerdict> validateAsOf(const std::vector<PastSubject>& subjects,
                                      const StoredValidationData& stored,
                                      const std::vector<Bytes>& trust, std::time_t at) {
    PastJudge judge(stored, trust, at);
    // Each subject's signer (a signature's, or a document time-stamp's authority) and token
    // (a signature's time-stamp, or the document time-stamp itself).
    std::vector<std::optional<SignedBy>> signers(subjects.size());
    std::vector<std::optional<Token>> tokens(subjects.size());
    for (std::size_t i = 0; i < subjects.size(); ++i) {
        const PastSubject& s = subjects[i];
        if (s.documentTimestamp) {
            tokens[i] = tokenOf(s.contents);
        } else {
            signers[i] = signedBy(s.contents);
            if (const std::optional<SignatureTimestamp> stamp = signatureTimestampOf(s.contents)) {
                tokens[i] = tokenOf(stamp->token);
            }
        }
        for (const auto* holder :
             {signers[i] ? &*signers[i] : nullptr, tokens[i] ? &tokens[i]->by : nullptr}) {
            if (holder != nullptr) {
                judge.pool(holder->certificates.get());
            }
        }
    }
    openssl::clearErrors();

    std::vector<PastVerdict> verdicts(subjects.size());
    // Newest document time-stamp first: each proves the time of what it covers, the one
    // before it included.
    std::vector<std::size_t> order(subjects.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return subjects[a].signedBytes > subjects[b].signedBytes;
    });
    for (std::size_t i : order) {
        const PastSubject& s = subjects[i];
        PastVerdict& verdict = verdicts[i];
        if (!s.documentTimestamp || !s.intact || !tokens[i]) {
            continue;
        }
        if (std::optional<std::string> problem = vriProblemOf(s.contents, stored)) {
            verdict.problem = *problem;
            continue;
        }
        if (tokens[i]->time > at) {
            verdict.problem = "time-stamped on " + utcText(tokens[i]->time) +
                              ", after the validation time " + utcText(at);
            continue;
        }
        const std::time_t when = judge.proofOf(s.contentsOffset);
        if (std::optional<std::string> problem =
                judge.judge(tokens[i]->by.signer.get(), when, tokens[i]->time,
                            judge.covered(s.contentsOffset))) {
            verdict.problem = *problem;
            continue;
        }
        verdict.trusted = true;
        verdict.judgedAt = utcText(when);
        judge.proved(s.signedBytes, tokens[i]->time);
    }

    for (std::size_t i = 0; i < subjects.size(); ++i) {
        const PastSubject& s = subjects[i];
        PastVerdict& verdict = verdicts[i];
        if (s.documentTimestamp || !s.intact || !signers[i]) {
            continue;
        }
        if (std::optional<std::string> problem = vriProblemOf(s.contents, stored)) {
            verdict.problem = *problem;
            continue;
        }
        // Without a token of its own, the signature is as old as the first document
        // time-stamp over it proves, or judged now.
        std::time_t used = judge.proofOf(s.contentsOffset);
        if (tokens[i] && tokens[i]->time > at) {
            verdict.problem = "time-stamped on " + utcText(tokens[i]->time) +
                              ", after the validation time " + utcText(at);
            continue;
        }
        if (tokens[i]) {
            if (std::optional<std::string> problem =
                    judge.judge(tokens[i]->by.signer.get(), judge.proofOf(s.contentsOffset),
                                tokens[i]->time, true)) {
                verdict.problem = "its time-stamp token: " + *problem;
                continue;
            }
            used = tokens[i]->time;
        }
        if (std::optional<std::string> problem =
                judge.judge(signers[i]->signer.get(), used, used, true)) {
            verdict.problem = *problem;
            if (used == at) {
                verdict.problem += "; nothing in the file proves the signature existed earlier";
            }
            continue;
        }
        verdict.trusted = true;
        verdict.judgedAt = utcText(used);
    }
    return verdicts;
}

}  // namespace penwell::pdf
