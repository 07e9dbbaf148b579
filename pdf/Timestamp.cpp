#include "penwell/pdf/Timestamp.h"

#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/ts.h>
#include <openssl/x509v3.h>

#include <ctime>

#include "penwell/pdf/DocumentTimestamp.h"
#include "penwell/pdf/SignedData.h"
#include "penwell/platform/CHandle.h"
#include "penwell/platform/openssl/OpenSslKeys.h"

namespace penwell::pdf {

namespace {

using Imprint = CHandle<TS_MSG_IMPRINT, TS_MSG_IMPRINT_free>;
using Algorithm = CHandle<X509_ALGOR, X509_ALGOR_free>;

/// The largest answer taken from a TSA: a token with a long chain is a few kilobytes.
constexpr std::uint64_t kMaxAnswerBytes = 256u << 10;

Failure refused(const TimestampAuthority& tsa, const std::string& what) {
    openssl::clearErrors();
    return fail(PdfErrorKind::Timestamp, tsa.url, what);
}

template <typename T, int (*Encode)(const T*, unsigned char**)>
std::optional<Bytes> der(const T* object) {
    const int n = Encode(object, nullptr);
    if (n <= 0) {
        return std::nullopt;
    }
    Bytes out(static_cast<std::size_t>(n));
    unsigned char* p = out.data();
    Encode(object, &p);
    return out;
}

/// The query: version 1, the SHA-256 imprint, a 64-bit random nonce, certReq true.
std::optional<Bytes> makeQuery(const Sha256& digest, ASN1_INTEGER* nonce) {
    openssl::TimestampQueryHandle query(TS_REQ_new());
    Imprint imprint(TS_MSG_IMPRINT_new());
    Algorithm algorithm(X509_ALGOR_new());
    if (!query || !imprint || !algorithm ||
        X509_ALGOR_set0(algorithm.get(), OBJ_nid2obj(NID_sha256), V_ASN1_NULL, nullptr) != 1 ||
        TS_MSG_IMPRINT_set_algo(imprint.get(), algorithm.get()) != 1 ||
        TS_MSG_IMPRINT_set_msg(imprint.get(), const_cast<unsigned char*>(digest.data()),
                               static_cast<int>(digest.size())) != 1 ||
        TS_REQ_set_version(query.get(), 1) != 1 ||
        TS_REQ_set_msg_imprint(query.get(), imprint.get()) != 1 ||
        TS_REQ_set_nonce(query.get(), nonce) != 1 || TS_REQ_set_cert_req(query.get(), 1) != 1) {
        return std::nullopt;
    }
    return der<TS_REQ, i2d_TS_REQ>(query.get());
}

/// The answer's status line for a message: "rejection (bad algorithm)".
std::string statusText(TS_STATUS_INFO* info) {
    static const char* const kStatus[] = {"granted", "granted with modifications", "rejection",
                                          "waiting", "revocation warning", "revocation"};
    const long status = ASN1_INTEGER_get(TS_STATUS_INFO_get0_status(info));
    std::string text = status >= 0 && status <= 5 ? kStatus[status]
                                                  : "status " + std::to_string(status);
    if (const STACK_OF(ASN1_UTF8STRING)* texts = TS_STATUS_INFO_get0_text(info)) {
        for (int i = 0; i < sk_ASN1_UTF8STRING_num(texts); ++i) {
            const ASN1_UTF8STRING* s = sk_ASN1_UTF8STRING_value(texts, i);
            std::string line(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)),
                             static_cast<std::size_t>(ASN1_STRING_length(s)));
            for (char& c : line) {
                if (c == '\n' || c == '\r') {
                    c = ' ';
                }
            }
            text += (i == 0 ? " (" : "; ") + line;
            text += i + 1 == sk_ASN1_UTF8STRING_num(texts) ? ")" : "";
        }
    }
    return text;
}

/// Checks the token's signature and that its signer may sign tokens; nothing when it holds.
std::optional<std::string> tokenSignatureProblem(CMS_ContentInfo* cms) {
    if (cms == nullptr || OBJ_obj2nid(CMS_get0_eContentType(cms)) != NID_id_smime_ct_TSTInfo) {
        return "the token is not a signed TSTInfo";
    }
    STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(cms);
    if (sk_CMS_SignerInfo_num(signers) != 1) {
        return "the token has " + std::to_string(sk_CMS_SignerInfo_num(signers)) +
               " signers, not one";
    }
    openssl::CertificateStackHandle certificates(CMS_get1_certs(cms));
    X509* signing =
        openssl::signerCertificate(sk_CMS_SignerInfo_value(signers, 0), certificates.get());
    if (signing == nullptr) {
        return "the token does not include its signer's certificate (certReq was asked)";
    }
    // RFC 3161 2.3: the one extended key usage timeStamping, marked critical; OpenSSL's
    // purpose check holds exactly that.
    if (X509_check_purpose(signing, X509_PURPOSE_TIMESTAMP_SIGN, 0) != 1) {
        return "the token's signer " + openssl::subjectLine(signing) +
               " is not a time-stamping certificate (critical extended key usage "
               "timeStamping)";
    }
    if (CMS_verify(cms, nullptr, nullptr, nullptr, nullptr,
                   CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY) != 1) {
        return "the token's signature does not verify";
    }
    return std::nullopt;
}

/// The token in `bytes`, which may go on past it (a document time-stamp's /Contents is padded
/// with zeros); `used`, when given, is set to its length.
openssl::CmsHandle parseToken(ByteView bytes, std::size_t* used = nullptr) {
    const unsigned char* p = bytes.data();
    openssl::CmsHandle cms(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(bytes.size())));
    if (used != nullptr) {
        *used = static_cast<std::size_t>(p - bytes.data());
    }
    return cms;
}

/// The TSTInfo a token signs; nil when it signs none.
CHandle<TS_TST_INFO, TS_TST_INFO_free> tstInfoOf(CMS_ContentInfo* cms) {
    if (cms == nullptr || OBJ_obj2nid(CMS_get0_eContentType(cms)) != NID_id_smime_ct_TSTInfo) {
        return {};
    }
    ASN1_OCTET_STRING** content = CMS_get0_content(cms);
    if (content == nullptr || *content == nullptr) {
        return {};
    }
    const unsigned char* p = ASN1_STRING_get0_data(*content);
    return CHandle<TS_TST_INFO, TS_TST_INFO_free>(
        d2i_TS_TST_INFO(nullptr, &p, ASN1_STRING_length(*content)));
}

/// A TimeStampResp (RFC 3161 2.4.2), DER as its HTTP transport sends it, split into its
/// status and the token's bytes as the TSA sent them (empty when there is none). The token is
/// then read once: reading a certificate costs OpenSSL 3.0 a key decoder each time.
struct SplitAnswer {
    CHandle<TS_STATUS_INFO, TS_STATUS_INFO_free> status;
    ByteView token;
};
std::optional<SplitAnswer> splitAnswer(ByteView body) {
    const unsigned char* p = body.data();
    long length = 0;
    int tag = 0, tagClass = 0;
    if (ASN1_get_object(&p, &length, &tag, &tagClass, static_cast<long>(body.size())) !=
            V_ASN1_CONSTRUCTED ||
        tag != V_ASN1_SEQUENCE || tagClass != V_ASN1_UNIVERSAL ||
        p + length != body.data() + body.size()) {
        return std::nullopt;
    }
    const unsigned char* end = p + length;
    SplitAnswer out;
    out.status.reset(d2i_TS_STATUS_INFO(nullptr, &p, end - p));
    if (!out.status) {
        return std::nullopt;
    }
    out.token = ByteView(p, static_cast<std::size_t>(end - p));
    return out;
}

}  // namespace

Result<Bytes> requestTimestampToken(const TimestampAuthority& tsa, ByteView data) {
    return requestTimestampTokenFor(tsa, cms::sha256({data}));
}

Result<Bytes> requestTimestampTokenFor(const TimestampAuthority& tsa, const Sha256& digest) {
    cms::ReadSigners unused;
    return requestTimestampTokenFor(tsa, digest, unused);
}

Result<Bytes> requestTimestampTokenFor(const TimestampAuthority& tsa, const Sha256& digest,
                                       cms::ReadSigners& read) {
    if (!tsa.http) {
        return refused(tsa, "no HTTP client to reach the time-stamp authority");
    }
    std::uint8_t random[8];
    if (RAND_bytes(random, sizeof random) != 1) {
        return refused(tsa, "cannot make a nonce");
    }
    random[0] &= 0x7f;  // positive: a nonce is compared as an INTEGER
    random[0] |= 0x01;  // and never shorter than 64 bits
    openssl::IntegerHandle asked;
    if (BIGNUM* number = BN_bin2bn(random, sizeof random, nullptr)) {
        asked.reset(BN_to_ASN1_INTEGER(number, nullptr));  // a copy: the number is freed
        BN_free(number);
    }
    if (!asked) {
        return refused(tsa, "cannot make a nonce");
    }
    const std::optional<Bytes> query = makeQuery(digest, asked.get());
    if (!query) {
        return refused(tsa, "cannot encode the time-stamp query");
    }
    Result<HttpResponse> reply = tsa.http->post(tsa.url, "application/timestamp-query", *query);
    if (!reply) {
        // The client's line names the URL already.
        return Failure{kPdfErrorDomain, static_cast<std::int64_t>(PdfErrorKind::Timestamp),
                       reply.error().message, tsa.url};
    }
    if (reply->status != 200) {
        return refused(tsa, "the time-stamp authority answered HTTP " +
                                std::to_string(reply->status));
    }
    if (reply->body.size() > kMaxAnswerBytes) {
        return refused(tsa, "the answer is longer than " + std::to_string(kMaxAnswerBytes) +
                                " bytes");
    }
    std::optional<SplitAnswer> answer = splitAnswer(reply->body);
    if (!answer) {
        return refused(tsa, "the answer is not a time-stamp response");
    }
    const long code = ASN1_INTEGER_get(TS_STATUS_INFO_get0_status(answer->status.get()));
    if (code != 0 && code != 1) {
        return refused(tsa,
                       "the time-stamp authority refused: " + statusText(answer->status.get()));
    }
    if (answer->token.empty()) {
        return refused(tsa, "the answer grants a token but holds none");
    }
    std::size_t used = 0;
    openssl::CmsHandle cms = parseToken(answer->token, &used);
    CHandle<TS_TST_INFO, TS_TST_INFO_free> info = tstInfoOf(cms.get());
    if (!info || used != answer->token.size()) {
        return refused(tsa, "the token is not a signed TSTInfo");
    }
    const ASN1_OCTET_STRING* imprint =
        TS_MSG_IMPRINT_get_msg(TS_TST_INFO_get_msg_imprint(info.get()));
    const X509_ALGOR* algorithm = TS_MSG_IMPRINT_get_algo(TS_TST_INFO_get_msg_imprint(info.get()));
    if (OBJ_obj2nid(algorithm->algorithm) != NID_sha256 ||
        ASN1_STRING_length(imprint) != static_cast<int>(digest.size()) ||
        !std::equal(digest.begin(), digest.end(), ASN1_STRING_get0_data(imprint))) {
        return refused(tsa, "the token's imprint is not the SHA-256 of what was sent");
    }
    const ASN1_INTEGER* nonceBack = TS_TST_INFO_get_nonce(info.get());
    if (nonceBack == nullptr || ASN1_INTEGER_cmp(nonceBack, asked.get()) != 0) {
        return refused(tsa, "the token's nonce is not the one sent");
    }
    if (const std::optional<std::string> problem = tokenSignatureProblem(cms.get())) {
        return refused(tsa, *problem);
    }
    openssl::CertificateStackHandle certificates(CMS_get1_certs(cms.get()));
    for (int i = 0; i < sk_X509_num(certificates.get()); ++i) {
        read.certificates.push_back(
            openssl::sharedCertificate(sk_X509_value(certificates.get(), i)));
    }
    read.signers.push_back(openssl::sharedCertificate(
        openssl::signerCertificate(openssl::soleSigner(cms.get()), certificates.get())));
    return Bytes(answer->token.begin(), answer->token.end());
}

TokenCheck checkTimestampToken(ByteView token, ByteView imprint, const std::vector<Bytes>& trust) {
    TokenCheck check;
    openssl::CmsHandle cms = parseToken(token);
    CHandle<TS_TST_INFO, TS_TST_INFO_free> info = tstInfoOf(cms.get());
    if (!info) {
        openssl::clearErrors();
        check.problem = "the time-stamp token is not a signed TSTInfo";
        return check;
    }
    std::tm when{};
    if (ASN1_TIME_to_tm(TS_TST_INFO_get_time(info.get()), &when) == 1) {
        char text[32];
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%SZ", &when);
        check.time = text;
    }
    if (const std::optional<std::string> problem = tokenSignatureProblem(cms.get())) {
        openssl::clearErrors();
        check.problem = *problem;
        return check;
    }
    const ASN1_OCTET_STRING* proved =
        TS_MSG_IMPRINT_get_msg(TS_TST_INFO_get_msg_imprint(info.get()));
    if (!std::equal(imprint.begin(), imprint.end(), ASN1_STRING_get0_data(proved),
                    ASN1_STRING_get0_data(proved) + ASN1_STRING_length(proved))) {
        check.problem = "the time-stamp token's imprint is not the digest of what it covers";
        return check;
    }
    check.valid = true;
    openssl::CertificateStackHandle certificates(CMS_get1_certs(cms.get()));
    if (X509* signing =
            openssl::signerCertificate(openssl::soleSigner(cms.get()), certificates.get())) {
        check.tsa = openssl::subjectLine(signing);
    }
    if (!trust.empty()) {
        openssl::X509StoreHandle store(X509_STORE_new());
        for (const Bytes& file : trust) {
            for (openssl::X509Handle& c : openssl::readCertificates(file)) {
                X509_STORE_add_cert(store.get(), c.get());
            }
        }
        X509_STORE_set_purpose(store.get(), X509_PURPOSE_ANY);
        check.trusted = CMS_verify(cms.get(), nullptr, store.get(), nullptr, nullptr,
                                   CMS_BINARY) == 1;
        if (!*check.trusted) {
            check.problem = "the time-stamp authority is not trusted";
        }
    }
    openssl::clearErrors();
    return check;
}

std::optional<SignatureTimestamp> signatureTimestampOf(ByteView cmsDer) {
    const unsigned char* p = cmsDer.data();
    openssl::CmsHandle cms(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(cmsDer.size())));
    CMS_SignerInfo* signer = openssl::soleSigner(cms.get());
    if (signer == nullptr) {
        openssl::clearErrors();
        return std::nullopt;
    }
    const int at = CMS_unsigned_get_attr_by_NID(signer, NID_id_smime_aa_timeStampToken, -1);
    if (at < 0) {
        return std::nullopt;
    }
    X509_ATTRIBUTE* attribute = CMS_unsigned_get_attr(signer, at);
    const ASN1_TYPE* type =
        X509_ATTRIBUTE_count(attribute) == 1 ? X509_ATTRIBUTE_get0_type(attribute, 0) : nullptr;
    if (type == nullptr || type->type != V_ASN1_SEQUENCE) {
        return SignatureTimestamp{};  // there, but no token: the check refuses it
    }
    const ASN1_OCTET_STRING* value = CMS_SignerInfo_get0_signature(signer);
    SignatureTimestamp out;
    out.token.assign(type->value.sequence->data,
                     type->value.sequence->data + type->value.sequence->length);
    out.signatureValue.assign(ASN1_STRING_get0_data(value),
                              ASN1_STRING_get0_data(value) + ASN1_STRING_length(value));
    return out;
}

}  // namespace penwell::pdf
