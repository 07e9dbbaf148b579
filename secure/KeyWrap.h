#pragma once
// Wrapping a signature record's AES key and IV for the receiver: RSA with PKCS#1 v1.5 padding
// under the public key of one pinned certificate, which is looked up in the certificate store
// or, on first use, installed there from the host's resource Penwell.dat.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "penwell/platform/Bytes.h"
#include "penwell/platform/Hex.h"

namespace penwell {

class AES;
class Certificate;
struct Failure;
class CertificateServices;
class CertificateStore;
class ResourceBundle;

/// Domain of the failures wrapAESKey reports; the code is the certificate-services status.
inline constexpr std::string_view kKeyWrapErrorDomain = "PenwellKeyWrap";

/// The certificate the receiver holds the private key of. Both values must match before its
/// public key is used, wherever the certificate came from.
struct PinnedCertificate {
    std::string label;                    ///< the store label and the exact subject summary
    std::array<std::uint8_t, 20> sha1{};  ///< SHA-1 of the certificate's DER encoding
};

/// 40 hexadecimal digits (either case) as 20 bytes; nullopt for anything else.
constexpr std::optional<std::array<std::uint8_t, 20>> parseSha1Hex(std::string_view hex) {
    std::array<std::uint8_t, 20> bytes{};
    if (hex.size() != bytes.size() * 2) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const int high = hexDigitValue(hex[2 * i]);
        const int low = hexDigitValue(hex[2 * i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        bytes[i] = static_cast<std::uint8_t>(high * 16 + low);
    }
    return bytes;
}

/// The pin built into this library: label "Keyloft" and the fingerprint chosen at configure
/// time (PENWELL_PINNED_SHA1).
PinnedCertificate defaultPin();

/// The pinned certificate as wrapAESKey finds it (installing it from the resource on first
/// use), for exports that encrypt for it by other means. Null on failure, with `failure`
/// filled as wrapAESKey fills it. Throws as wrapAESKey does.
std::shared_ptr<Certificate> pinnedCertificate(const CertificateServices& certificates,
                                               CertificateStore& store,
                                               const ResourceBundle& resources, const AES& aes,
                                               const PinnedCertificate& pin, Failure* failure);

/// Encrypts `symmetricKey` (the 48-byte key blob: AES key then IV) for the receiver.
///
/// The certificate is the store's entry labelled `pin.label`; when there is none, the resource
/// "Penwell" of type "dat" from `resources`, which is added to `store` once it passes the pin.
/// A certificate from either place is used only when its subject summary equals `pin.label`
/// and the SHA-1 of its DER encoding (aes.sha1Digest) equals `pin.sha1`; a stored one that
/// fails is neither used nor replaced. When the add answers errSecDuplicateItem (another
/// process installed the certificate since the lookup), the store's entry is looked up again
/// and used on the same terms.
///
/// Returns the ciphertext, exactly as long as the key's modulus, or nullopt when the store
/// cannot be read (errSecIO), the resource is not a certificate, either certificate fails the
/// pin, the store refuses the add, there is no usable RSA public key, or the encryption fails.
/// When `failure` is not null, a failure is also written there: the status and one line that
/// names the file at fault (the store's file or Penwell.dat) and what is wrong with it,
/// "FILE: the key could not be wrapped: REASON". It is left alone on success.
/// Throws AssertionFailure("Penwell DAT resource missing") when the store has no entry and the
/// bundle has no resource: the host was packaged without its certificate.
std::optional<Bytes> wrapAESKey(ByteView symmetricKey, const CertificateServices& certificates,
                                CertificateStore& store, const ResourceBundle& resources,
                                const AES& aes, const PinnedCertificate& pin = defaultPin(),
                                Failure* failure = nullptr);

}  // namespace penwell
