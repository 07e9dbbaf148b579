#include "receiver/Evidence.h"

#include <openssl/cms.h>
#include <openssl/objects.h>
#include <openssl/x509_vfy.h>

#include <algorithm>
#include <bit>
#include <climits>

#include "platform/filesystem/StagedFile.h"
#include "platform/openssl/OpenSslKeys.h"
#include "receiver/Limits.h"

namespace penwell::receiver {
namespace {

using namespace penwell::openssl;

Failure refuse(OpenError code, std::string message) {
    clearErrors();
    return {kOpenErrorDomain, static_cast<std::int64_t>(code), std::move(message)};
}

/// A strict reader of the payload's DER: definite lengths in their shortest form, the tags
/// the module names, nothing left over. Each read answers false at the first mismatch.
class DerReader {
public:
    explicit DerReader(ByteView in) : in_(in) {}

    bool atEnd() const { return pos_ == in_.size(); }
    bool next(std::uint8_t tag) const { return pos_ < in_.size() && in_[pos_] == tag; }

    bool read(std::uint8_t tag, ByteView& content) {
        if (!next(tag) || in_.size() - pos_ < 2) {
            return false;
        }
        std::size_t at = pos_ + 1;
        std::size_t length = in_[at++];
        if (length & 0x80) {
            const std::size_t octets = length & 0x7f;
            if (octets == 0 || octets > 4 || in_.size() - at < octets || in_[at] == 0) {
                return false;
            }
            length = 0;
            for (std::size_t i = 0; i < octets; ++i) {
                length = length << 8 | in_[at++];
            }
            if (length < 0x80) {
                return false;  // long form where the short one fits is not DER
            }
        }
        if (in_.size() - at < length) {
            return false;
        }
        content = in_.subspan(at, length);
        pos_ = at + length;
        return true;
    }

    bool binary64(double& value) {
        ByteView c;
        if (!read(0x04, c) || c.size() != 8) {
            return false;
        }
        std::uint64_t bits = 0;
        for (const std::uint8_t b : c) {
            bits = bits << 8 | b;
        }
        value = std::bit_cast<double>(bits);
        return true;
    }

    /// A SEQUENCE of exactly these Binary64 values.
    bool doubles(std::initializer_list<double*> values) {
        ByteView content;
        if (!read(0x30, content)) {
            return false;
        }
        DerReader inner(content);
        for (double* value : values) {
            if (!inner.binary64(*value)) {
                return false;
            }
        }
        return inner.atEnd();
    }

    bool text(std::string& value, std::size_t maxBytes) {
        ByteView c;
        if (!read(0x0c, c) || c.size() > maxBytes) {
            return false;
        }
        value.assign(c.begin(), c.end());
        return true;
    }

private:
    ByteView in_;
    std::size_t pos_ = 0;
};

constexpr std::uint8_t kSha256Algorithm[] = {0x30, 0x0b, 0x06, 0x09, 0x60, 0x86, 0x48,
                                             0x01, 0x65, 0x03, 0x04, 0x02, 0x01};

/// "YYYYMMDDHHMMSSZ" as a time; nullopt for anything else or an impossible date.
std::optional<std::chrono::sys_seconds> parseTime(ByteView c) {
    if (c.size() != 15 || c[14] != 'Z' ||
        !std::all_of(c.begin(), c.begin() + 14,
                     [](std::uint8_t b) { return b >= '0' && b <= '9'; })) {
        return std::nullopt;
    }
    const auto number = [&](std::size_t at, std::size_t digits) {
        int v = 0;
        for (std::size_t i = at; i < at + digits; ++i) {
            v = v * 10 + (c[i] - '0');
        }
        return v;
    };
    const std::chrono::year_month_day date{std::chrono::year(number(0, 4)),
                                           std::chrono::month(static_cast<unsigned>(number(4, 2))),
                                           std::chrono::day(static_cast<unsigned>(number(6, 2)))};
    const int h = number(8, 2), m = number(10, 2), s = number(12, 2);
    if (!date.ok() || h > 23 || m > 59 || s > 59) {
        return std::nullopt;
    }
    return std::chrono::sys_days(date) + std::chrono::hours(h) + std::chrono::minutes(m) +
           std::chrono::seconds(s);
}

/// The payload, or the name of the first field that is wrong.
std::optional<EvidencePayload> decode(ByteView der, std::string& fault) {
    EvidencePayload p;
    DerReader outer(der);
    ByteView body, part, c;
    if (!outer.read(0x30, body) || !outer.atEnd()) {
        fault = "not one DER SEQUENCE";
        return std::nullopt;
    }
    DerReader r(body);
    if (!r.read(0x02, c) || c.size() != 1 || c[0] != EvidencePayload::kVersion) {
        fault = "version is not 1";
        return std::nullopt;
    }
    if (!r.read(0x04, c)) {
        fault = "record";
        return std::nullopt;
    }
    p.record.assign(c.begin(), c.end());
    if (!r.read(0x04, c) || std::any_of(c.begin(), c.end(), [](std::uint8_t k) { return k > 3; })) {
        fault = "pointerKinds";
        return std::nullopt;
    }
    for (const std::uint8_t k : c) {
        p.pointerKinds.push_back(static_cast<PointerKind>(k));
    }
    // One kind per stroke of the record, whose first field counts them.
    if (p.record.size() < 4 || (static_cast<std::size_t>(p.record[0]) |
                                std::size_t{p.record[1]} << 8 | std::size_t{p.record[2]} << 16 |
                                std::size_t{p.record[3]} << 24) != p.pointerKinds.size()) {
        fault = "pointerKinds (not one per stroke of the record)";
        return std::nullopt;
    }
    if (!r.doubles({&p.padWidth, &p.padHeight})) {
        fault = "pad";
        return std::nullopt;
    }
    if (!r.read(0x30, part)) {
        fault = "ink";
        return std::nullopt;
    }
    {
        DerReader ink(part);
        if (!ink.binary64(p.red) || !ink.binary64(p.green) || !ink.binary64(p.blue) ||
            !ink.binary64(p.alpha) || !ink.binary64(p.lineWidth) || !ink.read(0x01, c) ||
            c.size() != 1 || (c[0] != 0 && c[0] != 0xff) || !ink.atEnd()) {
            fault = "ink";
            return std::nullopt;
        }
        p.smoothing = c[0] == 0xff;
    }
    if (!r.doubles({&p.sigma, &p.sigma2})) {
        fault = "timing";
        return std::nullopt;
    }
    if (r.next(0xa0)) {
        ByteView algorithm;
        if (!r.read(0xa0, part)) {
            fault = "documentDigest";
            return std::nullopt;
        }
        DerReader d(part);
        if (!d.read(0x30, algorithm) || !d.read(0x04, c) || c.size() != 32 || !d.atEnd() ||
            !std::equal(algorithm.begin(), algorithm.end(), kSha256Algorithm + 2,
                        std::end(kSha256Algorithm))) {
            fault = "documentDigest (only SHA-256 is known)";
            return std::nullopt;
        }
        p.documentSha256.emplace();
        std::copy(c.begin(), c.end(), p.documentSha256->begin());
    }
    std::optional<std::chrono::sys_seconds> time;
    if (!r.read(0x18, c) || !(time = parseTime(c))) {
        fault = "captureTime";
        return std::nullopt;
    }
    p.captureTime = *time;
    if (!r.text(p.software, kMaxEvidenceFieldBytes)) {
        fault = "software";
        return std::nullopt;
    }
    if (!r.read(0x30, part)) {
        fault = "fields";
        return std::nullopt;
    }
    for (DerReader fields(part); !fields.atEnd();) {
        EvidenceField f;
        ByteView one;
        if (p.fields.size() == kMaxEvidenceFields || !fields.read(0x30, one)) {
            fault = "fields";
            return std::nullopt;
        }
        DerReader field(one);
        if (!field.text(f.name, kMaxEvidenceFieldBytes) || f.name.empty() ||
            !field.text(f.value, kMaxEvidenceFieldBytes) || !field.atEnd()) {
            fault = "fields[" + std::to_string(p.fields.size()) + "]";
            return std::nullopt;
        }
        p.fields.push_back(std::move(f));
    }
    if (!r.atEnd()) {
        fault = "bytes after the last field";
        return std::nullopt;
    }
    return p;
}

CmsHandle parseContentInfo(ByteView der) {
    if (der.size() > LONG_MAX) {
        return nullptr;
    }
    const unsigned char* p = der.data();
    CmsHandle cms(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(der.size())));
    if (cms != nullptr && p != der.data() + der.size()) {
        return nullptr;  // trailing bytes are not part of any record
    }
    return cms;
}

int typeOf(CMS_ContentInfo* cms) {
    return OBJ_obj2nid(CMS_get0_type(cms));
}

}  // namespace

Result<EvidencePayload> decodeEvidencePayload(ByteView der, const std::string& name) {
    std::string fault;
    auto payload = decode(der, fault);
    if (!payload) {
        return refuse(OpenError::badPayload, name + ": not an evidence payload: " + fault);
    }
    return std::move(*payload);
}

Result<OpenedEvidence> openEvidence(ByteView evidence, const OpenOptions& options) {
    const std::string& name = options.name;
    CmsHandle cms = parseContentInfo(evidence);
    if (cms == nullptr) {
        return refuse(OpenError::malformed,
                      name + ": not a CMS evidence record (truncated, or not DER)");
    }
    OpenedEvidence opened;
    Bytes inner;
    if (typeOf(cms.get()) == NID_pkcs7_signed) {
        if (OBJ_obj2nid(CMS_get0_eContentType(cms.get())) != NID_pkcs7_data) {
            return refuse(OpenError::malformed, name + ": signed content is not the sealed record");
        }
        // The signature first, on its own: an altered record is told apart from a stranger.
        // CMS_CADES checks signing-certificate-v2, so the included certificate is the one
        // signed for, byte for byte, and not merely one with the same key. OpenSSL runs that
        // check only with a chain verification, so this pass anchors the record's own
        // certificates (validity dates aside): it proves integrity, not trust.
        const BioHandle out(BIO_new(BIO_s_mem()));
        const X509StoreHandle own(X509_STORE_new());
        STACK_OF(X509)* included = CMS_get1_certs(cms.get());
        bool anchored = own != nullptr && included != nullptr;
        for (int i = 0; anchored && i < sk_X509_num(included); ++i) {
            anchored = X509_STORE_add_cert(own.get(), sk_X509_value(included, i)) == 1;
        }
        sk_X509_pop_free(included, X509_free);
        if (anchored) {
            X509_STORE_set_flags(own.get(), X509_V_FLAG_PARTIAL_CHAIN | X509_V_FLAG_NO_CHECK_TIME);
        }
        if (!anchored || out == nullptr ||
            CMS_verify(cms.get(), nullptr, own.get(), nullptr, out.get(), CMS_BINARY | CMS_CADES) !=
                1) {
            return refuse(OpenError::badSignature,
                          name +
                              ": the operator's signature does not verify: the record was "
                              "altered or is not signed as it claims");
        }
        STACK_OF(X509)* signers = CMS_get0_signers(cms.get());
        if (signers == nullptr || sk_X509_num(signers) != 1) {
            sk_X509_free(signers);
            return refuse(OpenError::malformed, name + ": not signed by exactly one operator");
        }
        X509* signer = sk_X509_value(signers, 0);
        opened.signerCertificate = derOf(signer);
        opened.signerSubject = subjectLine(signer);
        sk_X509_free(signers);
        inner = bioBytes(out.get());
        if (!options.trusted.empty()) {
            const X509StoreHandle store(X509_STORE_new());
            if (store == nullptr) {
                return refuse(OpenError::badKey, name + ": cannot make a certificate store");
            }
            // Every certificate of every file counts: a bundle of several operators' certificates
            // vouches for each of them, as it does for their PDF signatures.
            for (std::size_t i = 0; i < options.trusted.size(); ++i) {
                const std::vector<X509Handle> anchors = readCertificates(options.trusted[i]);
                if (anchors.empty()) {
                    return refuse(OpenError::badKey, "trusted certificate " + std::to_string(i) +
                                                         " is not an X.509 certificate");
                }
                for (const X509Handle& anchor : anchors) {
                    if (X509_STORE_add_cert(store.get(), anchor.get()) != 1) {
                        return refuse(OpenError::badKey,
                                      "trusted certificate " + std::to_string(i) +
                                          " cannot be added to the store");
                    }
                }
            }
            // An operator certificate may itself be what the receiver trusts.
            X509_STORE_set_flags(store.get(), X509_V_FLAG_PARTIAL_CHAIN);
            const BioHandle again(BIO_new(BIO_s_mem()));
            if (again == nullptr || CMS_verify(cms.get(), nullptr, store.get(), nullptr,
                                               again.get(), CMS_BINARY) != 1) {
                return refuse(OpenError::untrustedSigner,
                              name + ": signed by \"" + opened.signerSubject +
                                  "\", whom no trusted certificate vouches for");
            }
            opened.signerTrusted = true;
        }
        cms = parseContentInfo(inner);
        if (cms == nullptr) {
            return refuse(OpenError::malformed, name + ": the signed content is not CMS");
        }
    } else if (!options.trusted.empty()) {
        return refuse(OpenError::unsigned_,
                      name + ": not signed by an operator, but a trusted signer is required");
    }
    if (typeOf(cms.get()) != NID_id_smime_ct_authEnvelopedData) {
        return refuse(OpenError::malformed,
                      name + ": not AuthEnvelopedData (an evidence record is AES-256-GCM sealed)");
    }
    KeyHandle key;
    if (options.keyLocation) {
        Result<KeyHandle> loaded = loadPrivateKey(*options.keyLocation);
        if (!loaded) {
            return loaded.error();
        }
        key = std::move(*loaded);
    } else if (key = readPrivateKey(options.privateKey); key == nullptr) {
        return refuse(OpenError::badKey,
                      options.keyName + ": not an unencrypted PEM or DER private key");
    }
    const BioHandle plain(BIO_new(BIO_s_mem()));
    // Without the recipient's certificate OpenSSL tries the key on every recipient and, where
    // it does not fit, goes on with a random content key: a wrong key and an altered record
    // both end at the GCM tag, so neither leaks which it was.
    if (plain == nullptr ||
        CMS_decrypt(cms.get(), key.get(), nullptr, nullptr, plain.get(), CMS_BINARY) != 1) {
        return refuse(OpenError::cannotDecrypt,
                      name + ": cannot be opened with " + options.keyName +
                          ": another receiver's key, or the record was altered (its "
                          "authentication tag does not match)");
    }
    Bytes payloadDer = bioBytes(plain.get());
    Result<EvidencePayload> payload = decodeEvidencePayload(payloadDer, name);
    secureWipe(payloadDer);
    if (!payload) {
        return payload.error();
    }
    if (options.documentSha256) {
        if (!payload->documentSha256) {
            return refuse(OpenError::noDocument,
                          name + ": names no document, so it cannot vouch for one");
        }
        if (*payload->documentSha256 != *options.documentSha256) {
            return refuse(OpenError::wrongDocument,
                          name + ": signed for another document: SHA-256 " +
                              hexDigits(*payload->documentSha256) + ", the document's is " +
                              hexDigits(*options.documentSha256));
        }
    }
    opened.payload = std::move(*payload);
    return opened;
}

Result<OpenedEvidence> openEvidenceFile(const std::filesystem::path& evidence,
                                        const KeyLocation& privateKey,
                                        const std::optional<Sha256>& document,
                                        const std::vector<std::filesystem::path>& trust) {
    Result<Bytes> record = filesystem::readFile(evidence, kMaxRecordBytes, "an evidence record");
    if (!record) {
        return record.error();
    }
    return openEvidenceRecord(*record, evidence.string(), privateKey, document, trust);
}

Result<OpenedEvidence> openEvidenceRecord(ByteView record, const std::string& name,
                                          const KeyLocation& privateKey,
                                          const std::optional<Sha256>& document,
                                          const std::vector<std::filesystem::path>& trust) {
    OpenOptions open;
    open.name = name;
    open.keyName = privateKey.name();
    open.keyLocation = privateKey;
    open.documentSha256 = document;
    for (const auto& trusted : trust) {
        Result<Bytes> certificate = filesystem::readFile(trusted, kMaxKeyBytes, "a certificate");
        if (!certificate) {
            return certificate.error();
        }
        open.trusted.push_back(std::move(*certificate));
    }
    return openEvidence(record, open);
}

}  // namespace penwell::receiver
