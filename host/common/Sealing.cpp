#include "penwell/host/common/Sealing.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <ctime>

#include "penwell/platform/filesystem/StagedFile.h"
#include "penwell/platform/openssl/OpenSslKeys.h"
#include "penwell/receiver/Limits.h"
#include "penwell/secure/KeyWrap.h"

namespace penwell::host {
namespace {

Failure sealingFailure(SealingError code, std::string message) {
    openssl::clearErrors();
    return {kSealingDomain, static_cast<std::int64_t>(code), std::move(message)};
}

/// Why `certificate` cannot be a recipient, or empty when it can.
std::string recipientFault(X509* certificate) {
    EVP_PKEY* key = X509_get0_pubkey(certificate);
    const int type = key == nullptr ? EVP_PKEY_NONE : EVP_PKEY_get_base_id(key);
    if (type == EVP_PKEY_RSA && EVP_PKEY_get_bits(key) < 2048) {
        return "its key is " + openssl::keyDescription(key) +
               ": a recipient's RSA key needs 2048 bits or more";
    }
    if (type == EVP_PKEY_EC) {
        const std::string kind = openssl::keyDescription(key);
        if (kind != "EC P-256" && kind != "EC P-384") {
            return "its key is " + kind + ": a recipient's EC key must be on P-256 or P-384";
        }
    } else if (type != EVP_PKEY_RSA) {
        return "its key is neither RSA nor EC";
    }
    // A record sealed today for a certificate that lapsed is sealed for a key its holder may
    // no longer keep; one not yet valid is a mistake in the rotation's order.
    if (X509_cmp_current_time(X509_get0_notAfter(certificate)) < 0) {
        return "it has expired";
    }
    if (X509_cmp_current_time(X509_get0_notBefore(certificate)) > 0) {
        return "it is not valid yet";
    }
    return {};
}

}  // namespace

bool isDemoCertificate(ByteView certificate) {
    const openssl::X509Handle parsed = openssl::readCertificate(certificate);
    if (parsed == nullptr) {
        return false;
    }
    const Bytes der = openssl::derOf(parsed.get());
    unsigned char digest[20];
    unsigned int length = 0;
    if (EVP_Digest(der.data(), der.size(), digest, &length, EVP_sha1(), nullptr) != 1) {
        openssl::clearErrors();
        return false;
    }
    return hexDigits(ByteView(digest, length)) == kDemoCertificateSha1;
}

bool pinsDemoCertificate() {
    return hexDigits(defaultPin().sha1) == kDemoCertificateSha1;
}

Result<std::vector<Recipient>> loadRecipients(const std::vector<std::filesystem::path>& files) {
    std::vector<Recipient> recipients;
    for (const std::filesystem::path& file : files) {
        Result<Bytes> bytes = filesystem::readFile(file, receiver::kMaxKeyBytes, "a certificate");
        if (!bytes) {
            return bytes.error();
        }
        const std::vector<openssl::X509Handle> certificates = openssl::readCertificates(*bytes);
        if (certificates.size() != 1) {
            return sealingFailure(SealingError::badRecipient,
                                  file.string() + ": --recipient needs one X.509 certificate, " +
                                      (certificates.empty() ? "not found" : "found several"));
        }
        if (const std::string fault = recipientFault(certificates.front().get()); !fault.empty()) {
            return sealingFailure(SealingError::badRecipient,
                                  file.string() + ": cannot be a recipient: " + fault);
        }
        recipients.push_back({file, std::move(*bytes), false});
        recipients.back().demo = isDemoCertificate(recipients.back().certificate);
    }
    return recipients;
}

Result<std::string> checkDemoUse(const Sealing& sealing, bool demoAllowed) {
    std::string what;
    if (sealing.pinned && pinsDemoCertificate()) {
        what = "this build pins the demo certificate";
    }
    for (const Recipient& recipient : sealing.recipients) {
        if (recipient.demo && what.empty()) {
            what = recipient.file.string() + " is the demo certificate";
        }
    }
    if (what.empty()) {
        return std::string();
    }
    if (!demoAllowed) {
        return sealingFailure(
            SealingError::demoRefused,
            what +
                ", whose private key is public: anyone could open what it seals. Seal for your "
                "own certificate (--recipient, or a build pinning yours: docs/security.md), or "
                "give --demo for a trial");
    }
    return "sealing for the DEMO certificate (" + what +
           "): its private key is public, never use it for real signatures";
}

}  // namespace penwell::host
