#include "secure/KeyWrap.h"

#include <algorithm>
#include <memory>

#include "platform/Certificates.h"
#include "platform/Errors.h"
#include "platform/Resources.h"
#include "secure/AES.h"

#ifndef PENWELL_PINNED_SHA1
#error "PENWELL_PINNED_SHA1 must hold the pinned certificate's SHA-1 as 40 hex digits"
#endif

namespace penwell {
namespace {

constexpr std::string_view kResourceName = "Penwell";
constexpr std::string_view kResourceType = "dat";
constexpr std::string_view kPinnedLabel = "Keyloft";

// Checked here as well as at configure time, so a hand-edited definition cannot slip through.
constexpr auto kPinnedSha1 = parseSha1Hex(PENWELL_PINNED_SHA1);
static_assert(kPinnedSha1.has_value(), "PENWELL_PINNED_SHA1 must be 40 hexadecimal digits");

/// Subject first, fingerprint second: the cheap test rules out most strangers.
bool matchesPin(const Certificate& certificate, const PinnedCertificate& pin, const AES& aes) {
    if (certificate.subjectSummary() != pin.label) {
        return false;
    }
    const Bytes fingerprint = aes.sha1Digest(certificate.derData());
    return std::ranges::equal(fingerprint, pin.sha1);
}

/// A certificate the store answered, or null when it fails the pin. The store is a file other
/// processes may write: without this test a planted certificate carrying the label would be
/// handed every signature's key.
std::shared_ptr<Certificate> stored(std::shared_ptr<Certificate> certificate,
                                    const PinnedCertificate& pin, const AES& aes) {
    if (certificate == nullptr || !matchesPin(*certificate, pin, aes)) {
        return nullptr;
    }
    return certificate;
}

/// The pinned certificate: the stored entry, or the resource once it passes the pin and has
/// been added to the store. Null when there is no acceptable certificate.
std::shared_ptr<Certificate> pinnedCertificate(const CertificateServices& certificates,
                                               CertificateStore& store,
                                               const ResourceBundle& resources, const AES& aes,
                                               const PinnedCertificate& pin) {
    auto found = store.copyMatching(ItemClass::certificate, pin.label);
    if (found.status == errSecSuccess) {
        return stored(std::move(found.certificate), pin, aes);
    }
    // A store that cannot be read would refuse the add as well, after waiting out the same
    // lock or failing on the same file once more.
    if (found.status == errSecIO) {
        return nullptr;
    }

    const auto path = resources.pathForResource(kResourceName, kResourceType);
    if (!path) {
        throw AssertionFailure("Penwell DAT resource missing");
    }
    const auto contents = resources.contentsOfFile(*path);
    if (!contents) {
        return nullptr;
    }
    auto certificate = certificates.createCertificateWithData(*contents);
    if (certificate == nullptr || !matchesPin(*certificate, pin, aes)) {
        return nullptr;
    }
    // The store labels the entry with the subject summary, just shown to equal pin.label, so
    // later calls find it. The persistent reference is not needed.
    const Status added = store.add(*certificate).status;
    if (added == errSecDuplicateItem) {
        // Another process installed it between the lookup and the add: use what the store now
        // holds, under the same test as any stored entry.
        found = store.copyMatching(ItemClass::certificate, pin.label);
        return found.status == errSecSuccess ? stored(std::move(found.certificate), pin, aes)
                                             : nullptr;
    }
    if (added != errSecSuccess) {
        return nullptr;
    }
    return certificate;
}

}  // namespace

PinnedCertificate defaultPin() {
    return {std::string(kPinnedLabel), *kPinnedSha1};
}

std::optional<Bytes> wrapAESKey(ByteView symmetricKey, const CertificateServices& certificates,
                                CertificateStore& store, const ResourceBundle& resources,
                                const AES& aes, const PinnedCertificate& pin) {
    const auto certificate = pinnedCertificate(certificates, store, resources, aes, pin);
    if (certificate == nullptr) {
        return std::nullopt;
    }
    const auto trust = certificates.createTrust(certificate);
    if (trust == nullptr) {
        return std::nullopt;
    }
    // The verdict is not consulted: the receiver's certificate is self-signed and anchored
    // nowhere, and the pin above is what vouches for it.
    static_cast<void>(trust->evaluate());
    const auto publicKey = trust->copyPublicKey();
    if (publicKey == nullptr) {
        return std::nullopt;
    }
    const std::size_t blockSize = publicKey->blockSize();
    if (blockSize == 0) {
        return std::nullopt;
    }
    Bytes cipher(blockSize, 0);
    std::size_t length = cipher.size();
    if (publicKey->encryptPkcs1(symmetricKey, cipher, length) != errSecSuccess ||
        length != blockSize) {
        return std::nullopt;
    }
    return cipher;
}

}  // namespace penwell
