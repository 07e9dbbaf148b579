#pragma once
// A hermetic PKI for the long-term signature tests, made afresh by each test with OpenSSL's
// API: a root CA, an intermediate CA under it, and under the intermediate a signer, a
// time-stamp authority (extended key usage timeStamping, critical) and an OCSP responder.
// Every validity period is relative to a clock the test sets, so a test can hold certificates
// that expired long ago or start only next year, and one that is revoked. EC P-256 keys: fast
// to make, and what a modern PKI issues.

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <ctime>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "penwell/platform/CHandle.h"

namespace penwell::pki {

using Key = CHandle<EVP_PKEY, EVP_PKEY_free>;
using Certificate = CHandle<X509, X509_free>;

/// One day in seconds, for validity periods.
inline constexpr std::time_t kDay = 24 * 60 * 60;

enum class Role { Root, Intermediate, Signer, TimeStamping, OcspSigning, NoUsage };

/// A certificate to issue. Validity is [from, until] in seconds since the epoch.
struct Profile {
    Profile(std::string commonName, Role role, std::time_t from, std::time_t until,
            std::string ocspUrl = {}, std::string crlUrl = {})
        : commonName(std::move(commonName)),
          role(role),
          from(from),
          until(until),
          ocspUrl(std::move(ocspUrl)),
          crlUrl(std::move(crlUrl)) {}

    std::string commonName;
    Role role = Role::Signer;
    std::time_t from = 0, until = 0;
    /// An authority information access entry for OCSP, and a CRL distribution point.
    std::string ocspUrl, crlUrl;
};

/// A key and the certificate issued for it.
struct Party {
    Key key;
    Certificate certificate;
    long serial = 0;

    std::string certificatePem() const;
    std::string keyPem() const;
};

class TestPki {
public:
    /// A root and an intermediate valid from ten years before `now` to ten years after, and
    /// a signer, a time-stamp authority and an OCSP responder valid from a year before `now`
    /// to a year after. When given, `ocspUrl` goes into the AIA of the signer's and the TSA's
    /// certificates, and `crlUrl` (where the root's CRL is) into the intermediate's CDP.
    explicit TestPki(std::time_t now, const std::string& ocspUrl = {},
                     const std::string& crlUrl = {});

    /// Serials revoked, with the time of each revocation.
    std::vector<std::pair<long, std::time_t>> revoked;

    /// The CRL `issuer` signs now, listing every revoked serial it issued (DER).
    std::string crl(const Party& issuer) const;

    /// A further certificate under `issuer`.
    Party issue(const Profile& profile, const Party& issuer);

    std::time_t now;
    Party root, intermediate, signer, tsa, ocsp;

    /// Writes root.pem, intermediate.pem, and the key and certificate of the signer
    /// (signer-key.pem, signer.pem), the TSA (tsa-*) and the OCSP responder (ocsp-*) into
    /// `folder`.
    void write(const std::filesystem::path& folder) const;

private:
    long nextSerial_ = 1;
};

/// A fresh EC P-256 key.
Key newKey();

}  // namespace penwell::pki
