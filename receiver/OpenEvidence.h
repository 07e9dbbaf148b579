#pragma once
// Opening an evidence record (secure/Evidence.h) on the receiver's side: check the operator's
// signature when there is one, decrypt with the receiver's private key (the GCM tag proves the
// payload whole), decode the payload and check it against the document. Every refusal is one
// line naming the input at fault; nothing of a key appears in it.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "penwell/format/EvidencePayload.h"
#include "penwell/platform/Bytes.h"
#include "penwell/platform/Keys.h"
#include "penwell/platform/Result.h"

namespace penwell::receiver {

/// Domain of every refusal; codes are OpenError values.
inline constexpr const char* kOpenErrorDomain = "PenwellOpenEvidence";

enum class OpenError : int {
    malformed = 1,           ///< not a CMS ContentInfo of the expected shape, or truncated
    badSignature = 2,        ///< the SignedData's signature does not verify
    untrustedSigner = 3,     ///< signed, but not by a certificate `trusted` accepts
    unsigned_ = 4,           ///< not signed, though `trusted` was given
    cannotDecrypt = 5,       ///< wrong private key, or the ciphertext or its GCM tag altered
    badPayload = 6,          ///< the decrypted payload is not a version-1 EvidencePayload
    wrongDocument = 7,       ///< the document's SHA-256 differs from the one signed for
    noDocument = 8,          ///< a document was given but the record names none
    badKey = 9,              ///< the private key or a trusted certificate does not parse
    tooManyRecipients = 10,  ///< sealed for more than kMaxEvidenceRecipients: not tried
};


struct OpenOptions {
    std::string name = "evidence";  ///< the record's file name, for messages
    /// The receiver's private key, PEM or DER (unencrypted); `keyName` names it in messages.
    /// RSA for a recipient sealed with RSAES-OAEP, EC for one sealed by key agreement.
    Bytes privateKey;
    std::string keyName = "private key";
    /// Where the key is kept instead of privateKey: a key file (an encrypted one with its
    /// passphrase's source) or a key on a PKCS#11 token, which then decrypts on the token.
    std::optional<KeyLocation> keyLocation;
    /// The certificate (PEM or DER) of that key, when the receiver has it: only its recipient
    /// is then tried.
    std::optional<Bytes> certificate;
    /// When set, the payload must name exactly this document digest.
    std::optional<Sha256> documentSha256;
    /// Files of certificates accepted as operator or CA (PEM with any number of them, or one
    /// DER): when not empty, the record must be signed by a certificate that chains to one of
    /// the certificates of any file.
    std::vector<Bytes> trusted;
};

struct OpenedEvidence {
    EvidencePayload payload;
    /// The operator certificate (DER) when the record is signed, and its subject on one line.
    std::optional<Bytes> signerCertificate;
    std::string signerSubject;
    /// Whether the signer was checked against OpenOptions::trusted (else only the signature).
    bool signerTrusted = false;
};

/// Opens `evidence`. Nothing is returned unless every check passes; the first that fails is
/// answered in kOpenErrorDomain, but a key that cannot be loaded from keyLocation answers its
/// own failure.
Result<OpenedEvidence> openEvidence(ByteView evidence, const OpenOptions& options);

/// Decodes a payload's DER (what `openssl cms -decrypt` writes) with the format's decoder
/// (format/EvidencePayload.h), answering its one line as OpenError::badPayload. `name` is used
/// in messages.
Result<EvidencePayload> decodeEvidencePayload(ByteView der, const std::string& name);

/// Reads an evidence record and opens it with the receiver's private key (a file or a token's
/// key, which a path converts to): bound to `document` when given, signed by a certificate in
/// a `trust` file when any is given. With `certificate` (the key's own, PEM or DER) only its
/// recipient is tried, not every one the record names.
Result<OpenedEvidence> openEvidenceFile(
    const std::filesystem::path& evidence, const KeyLocation& privateKey,
    const std::optional<Sha256>& document, const std::vector<std::filesystem::path>& trust = {},
    const std::optional<std::filesystem::path>& certificate = std::nullopt);
/// The same for a record already read; `name` names it in messages.
Result<OpenedEvidence> openEvidenceRecord(
    ByteView record, const std::string& name, const KeyLocation& privateKey,
    const std::optional<Sha256>& document, const std::vector<std::filesystem::path>& trust = {},
    const std::optional<std::filesystem::path>& certificate = std::nullopt);

}  // namespace penwell::receiver
