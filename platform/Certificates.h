#pragma once
// The certificate services the component relies on to wrap keys for the receiver: X.509
// parsing, trust objects, RSA public keys and the persistent certificate store. The component
// sees only these interfaces; the default backends are platform/openssl/ (parsing, trust, RSA)
// and platform/sqlite/ (the store).
//
// Statuses are signed 32-bit values, 0 on success. The negative values keep the numbers that
// host platforms' certificate stores use, so a host that bridges to its native store can pass
// them through unchanged.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "penwell/platform/Bytes.h"

namespace penwell {

/// A certificate-services status: 0 on success, negative on failure.
using Status = std::int32_t;

inline constexpr Status errSecSuccess = 0;
inline constexpr Status errSecIO = -36;     ///< the store could not be read or written
inline constexpr Status errSecParam = -50;  ///< an argument is unusable
inline constexpr Status errSecInternalComponent = -2070;  ///< the backing library failed
inline constexpr Status errSecAuthFailed = -25293;        ///< a certificate failed the pin test
inline constexpr Status errSecDuplicateItem = -25299;     ///< the store already holds that item
inline constexpr Status errSecItemNotFound = -25300;      ///< no stored item matches the query
inline constexpr Status errSecDecode = -26275;            ///< stored bytes are not a certificate

/// An X.509 certificate. Immutable once made, so it may be shared between threads.
class Certificate {
public:
    virtual ~Certificate() = default;

    /// A one-line, human-readable summary of the subject, UTF-8: its common name, or the
    /// whole subject on one line when it has no common name.
    virtual std::string subjectSummary() const = 0;

    /// The certificate's DER encoding. Its SHA-1 digest is the certificate's fingerprint.
    virtual Bytes derData() const = 0;
};

/// An RSA public key, taken from a certificate through a Trust.
class PublicKey {
public:
    virtual ~PublicKey() = default;

    /// The modulus length in bytes (256 for RSA-2048): the exact length of every ciphertext.
    virtual std::size_t blockSize() const = 0;

    /// Encrypts `plainText` with RSA and PKCS#1 v1.5 encryption padding (randomised: two
    /// encryptions of the same bytes differ). The plain text must be at most blockSize() - 11
    /// bytes long.
    ///
    /// `cipherTextLength` is in/out: on entry the room to use at the start of `cipherText` (at
    /// most cipherText.size(), at least blockSize()); on success it is set to the number of
    /// bytes written, which is blockSize(). Returns errSecSuccess, or errSecParam when the
    /// input or the room is unusable, or errSecInternalComponent when the encryption failed.
    /// On failure the contents of `cipherText` are unspecified.
    virtual Status encryptPkcs1(ByteView plainText, std::span<std::uint8_t> cipherText,
                                std::size_t& cipherTextLength) const = 0;
};

/// The verdict of a trust evaluation.
enum class TrustResult {
    trusted,     ///< the certificate chains to a trust anchor and passes the policy
    untrusted,   ///< evaluated and not trusted (unknown or self-signed root, expired, ...)
    otherError,  ///< the evaluation itself could not be carried out
};

/// One certificate under the basic X.509 policy (chain building and validity only; no
/// purpose, host name or revocation checks).
class Trust {
public:
    virtual ~Trust() = default;

    /// Evaluates the certificate under the policy. Callers that only want the public key may
    /// ignore the verdict: copyPublicKey() does not depend on it.
    virtual TrustResult evaluate() const = 0;

    /// The certificate's public key, or null when it is not an RSA key or cannot be read.
    virtual std::shared_ptr<PublicKey> copyPublicKey() const = 0;
};

/// Parsing certificates and making trust objects for them.
class CertificateServices {
public:
    virtual ~CertificateServices() = default;

    /// A certificate from exactly one DER-encoded X.509 certificate, or null when `der` is
    /// anything else (including a certificate followed by more bytes).
    virtual std::shared_ptr<Certificate> createCertificateWithData(ByteView der) const = 0;

    /// A trust object for `certificate` under the basic X.509 policy, or null when none can be
    /// made (a null certificate included).
    virtual std::shared_ptr<Trust> createTrust(
        const std::shared_ptr<Certificate>& certificate) const = 0;
};

/// The kinds of item a certificate store keeps. Only certificates so far.
enum class ItemClass { certificate };

/// What CertificateStore::copyMatching answers.
struct CopyMatchingResult {
    Status status = errSecItemNotFound;
    std::shared_ptr<Certificate> certificate;  ///< non-null exactly when status is success
};

/// What CertificateStore::add answers.
struct AddResult {
    Status status = errSecParam;
    Bytes persistentRef;  ///< names the new entry for good; empty unless status is success
};

/// Why a store call failed, in words, for tools and logs to show: the component itself acts on
/// the status alone.
struct StoreFailure {
    std::string file;    ///< the store's file (or what stands for it, for a store without one)
    std::string reason;  ///< what is wrong, e.g. "cannot read the store: file is not a database"
};

/// The persistent certificate store: entries outlive the process and may be written by other
/// processes at the same time. Each entry is labelled with its certificate's subject summary.
class CertificateStore {
public:
    virtual ~CertificateStore() = default;

    /// The first entry of class `itemClass` whose label equals `label` exactly. Status
    /// errSecItemNotFound when there is none, errSecDecode when the stored bytes no longer
    /// parse, errSecIO when the store cannot be read.
    virtual CopyMatchingResult copyMatching(ItemClass itemClass, std::string_view label) const = 0;

    /// Adds `certificate` as a certificate entry labelled with its subject summary. Status
    /// errSecDuplicateItem when the store already holds the same certificate (same DER),
    /// errSecIO when the store cannot be written. Safe against concurrent adds from other
    /// processes: of two adds of one certificate exactly one succeeds.
    virtual AddResult add(const Certificate& certificate) = 0;

    /// Why the latest copyMatching or add on this object failed with errSecIO; nullopt when
    /// that call did not fail so. Stores that keep no such account answer nullopt.
    virtual std::optional<StoreFailure> lastFailure() const { return std::nullopt; }

    /// What to call the store in a message: its file, or a phrase for a store without one.
    virtual std::string name() const { return "the certificate store"; }
};

}  // namespace penwell
