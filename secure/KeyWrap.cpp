#include "penwell/secure/KeyWrap.h"

#include <algorithm>
#include <memory>

#include "penwell/platform/Certificates.h"
#include "penwell/platform/Errors.h"
#include "penwell/platform/Resources.h"
#include "penwell/secure/AES.h"

#ifndef PENWELL_PINNED_SHA1
#error "PENWELL_PINNED_SHA1 must hold the pinned certificate's SHA-1 as 40 hex digits"
#endif
#ifndef PENWELL_PINNED_SUBJECT
#error "PENWELL_PINNED_SUBJECT must hold the pinned certificate's subject summary"
#endif

namespace penwell {
namespace {

constexpr std::string_view kResourceName = "Penwell";
constexpr std::string_view kResourceType = "dat";
// "Keyloft" unless the build names another subject (PENWELL_PINNED_SUBJECT).
constexpr std::string_view kPinnedLabel = PENWELL_PINNED_SUBJECT;

// Checked here as well as at configure time, so a hand-edited definition cannot slip through.
constexpr auto kPinnedSha1 = parseSha1Hex(PENWELL_PINNED_SHA1);
static_assert(kPinnedSha1.has_value(), "PENWELL_PINNED_SHA1 must be 40 hexadecimal digits");

/// Why `certificate` is not the pinned one, or empty when it is. Subject first, fingerprint
/// second: the cheap test rules out most strangers.
std::string pinFault(const Certificate& certificate, const PinnedCertificate& pin, const AES& aes) {
    const std::string subject = certificate.subjectSummary();
    if (subject != pin.label) {
        return "its subject is \"" + subject + "\", not \"" + pin.label + "\"";
    }
    const Bytes fingerprint = aes.sha1Digest(certificate.derData());
    if (!std::ranges::equal(fingerprint, pin.sha1)) {
        return "its SHA-1 is " + hexDigits(fingerprint) + ", not the pinned " +
               hexDigits(pin.sha1) + " (PENWELL_PINNED_SHA1)";
    }
    return {};
}

/// The wrap's account of its failure, each line naming the file at fault.
class Account {
public:
    explicit Account(Failure* failure) : failure_(failure) {}

    /// Records the failure (when asked for) and answers null, so a step can `return fail(...)`.
    std::nullptr_t fail(Status status, const std::string& file, const std::string& reason) const {
        if (failure_ != nullptr) {
            *failure_ = {std::string(kKeyWrapErrorDomain), status,
                         file + ": the key could not be wrapped: " + reason};
        }
        return nullptr;
    }

    /// A store call that failed: the store's own account when it keeps one.
    std::nullptr_t failStore(const CertificateStore& store, Status status,
                             const std::string& doing) const {
        if (const auto why = store.lastFailure()) {
            return fail(status, why->file, why->reason);
        }
        return fail(status, store.name(), doing + " failed with status " + std::to_string(status));
    }

private:
    Failure* failure_;
};

/// Where the certificate came from, for the messages of the later steps.
struct Chosen {
    std::shared_ptr<Certificate> certificate;
    std::string file;   ///< the store's name or the resource's path
    std::string intro;  ///< what precedes a fault of the certificate itself
};

/// A certificate the store answered, or null when it fails the pin. The store is a file other
/// processes may write: without this test a planted certificate carrying the label would be
/// handed every signature's key.
Chosen stored(std::shared_ptr<Certificate> certificate, const CertificateStore& store,
              const PinnedCertificate& pin, const AES& aes, const Account& account) {
    const std::string intro = "its " + pin.label + " entry is not the pinned certificate: ";
    if (certificate == nullptr) {
        return {account.fail(errSecDecode, store.name(), intro + "it cannot be read"), {}, {}};
    }
    if (const std::string fault = pinFault(*certificate, pin, aes); !fault.empty()) {
        return {account.fail(errSecAuthFailed, store.name(), intro + fault), {}, {}};
    }
    return {std::move(certificate), store.name(), intro};
}

/// The pinned certificate: the stored entry, or the resource once it passes the pin and has
/// been added to the store. Null when there is no acceptable certificate.
Chosen choose(const CertificateServices& certificates, CertificateStore& store,
              const ResourceBundle& resources, const AES& aes, const PinnedCertificate& pin,
              const Account& account) {
    auto found = store.copyMatching(ItemClass::certificate, pin.label);
    if (found.status == errSecSuccess) {
        return stored(std::move(found.certificate), store, pin, aes, account);
    }
    // A store that cannot be read would refuse the add as well, after waiting out the same
    // lock or failing on the same file once more.
    if (found.status == errSecIO) {
        return {account.failStore(store, errSecIO, "the lookup"), {}, {}};
    }

    const auto path = resources.pathForResource(kResourceName, kResourceType);
    if (!path) {
        throw AssertionFailure("Penwell DAT resource missing");
    }
    const std::string file = path->string();
    const auto contents = resources.contentsOfFile(*path);
    if (!contents) {
        return {account.fail(errSecIO, file, "cannot be read"), {}, {}};
    }
    auto certificate = certificates.createCertificateWithData(*contents);
    if (certificate == nullptr) {
        return {account.fail(errSecDecode, file, "not a DER-encoded X.509 certificate"), {}, {}};
    }
    if (const std::string fault = pinFault(*certificate, pin, aes); !fault.empty()) {
        return {account.fail(errSecAuthFailed, file, fault), {}, {}};
    }
    // The store labels the entry with the subject summary, just shown to equal pin.label, so
    // later calls find it. The persistent reference is not needed.
    const Status added = store.add(*certificate).status;
    if (added == errSecDuplicateItem) {
        // Another process installed it between the lookup and the add: use what the store now
        // holds, under the same test as any stored entry.
        found = store.copyMatching(ItemClass::certificate, pin.label);
        if (found.status != errSecSuccess) {
            return {account.failStore(store, found.status, "the lookup after the add"), {}, {}};
        }
        return stored(std::move(found.certificate), store, pin, aes, account);
    }
    if (added != errSecSuccess) {
        return {account.failStore(store, added, "adding " + file), {}, {}};
    }
    return {std::move(certificate), file, ""};
}

}  // namespace

PinnedCertificate defaultPin() {
    return {std::string(kPinnedLabel), *kPinnedSha1};
}

std::shared_ptr<Certificate> pinnedCertificate(const CertificateServices& certificates,
                                               CertificateStore& store,
                                               const ResourceBundle& resources, const AES& aes,
                                               const PinnedCertificate& pin, Failure* failure) {
    return choose(certificates, store, resources, aes, pin, Account(failure)).certificate;
}

std::optional<Bytes> wrapAESKey(ByteView symmetricKey, const CertificateServices& certificates,
                                CertificateStore& store, const ResourceBundle& resources,
                                const AES& aes, const PinnedCertificate& pin, Failure* failure) {
    const Account account(failure);
    const Chosen chosen = choose(certificates, store, resources, aes, pin, account);
    if (chosen.certificate == nullptr) {
        return std::nullopt;
    }
    const auto notRsa = [&] {
        account.fail(errSecParam, chosen.file, chosen.intro + "its key is not an RSA key");
        return std::nullopt;
    };
    const auto trust = certificates.createTrust(chosen.certificate);
    if (trust == nullptr) {
        return notRsa();
    }
    // The verdict is not consulted: the receiver's certificate is self-signed and anchored
    // nowhere, and the pin above is what vouches for it.
    static_cast<void>(trust->evaluate());
    const auto publicKey = trust->copyPublicKey();
    if (publicKey == nullptr || publicKey->blockSize() == 0) {
        return notRsa();
    }
    const std::size_t blockSize = publicKey->blockSize();
    Bytes cipher(blockSize, 0);
    std::size_t length = cipher.size();
    const Status encrypted = publicKey->encryptPkcs1(symmetricKey, cipher, length);
    if (encrypted != errSecSuccess || length != blockSize) {
        account.fail(encrypted != errSecSuccess ? encrypted : errSecInternalComponent, chosen.file,
                     chosen.intro + "the RSA encryption failed with its key");
        return std::nullopt;
    }
    return cipher;
}

}  // namespace penwell
