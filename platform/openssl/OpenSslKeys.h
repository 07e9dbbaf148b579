#pragma once
// Reading keys and certificates that arrive as PEM or DER, for the OpenSSL backends and the
// receiver library. Private to builds that link OpenSSL: it includes OpenSSL's headers, so it
// is not installed and the component never includes it.

#include <string>
#include <vector>

#include "penwell/platform/Bytes.h"
#include "penwell/platform/Keys.h"
#include "penwell/platform/openssl/OpenSslHandles.h"

namespace penwell::openssl {

/// A read-only memory BIO over `bytes` (which must outlive it).
BioHandle memoryBio(ByteView bytes);
/// What a memory BIO holds.
Bytes bioBytes(BIO* bio);

/// An unencrypted private key from PEM or DER (PKCS#8 or traditional); null otherwise. Never
/// prompts for a password.
KeyHandle readPrivateKey(ByteView pemOrDer);
/// A private key from PEM or DER bytes (PKCS#8, traditional, or encrypted PKCS#8 and PEM),
/// unlocked with `location`'s passphrase when it is encrypted; `location` also names the key
/// in messages. The passphrase is read only for an encrypted key. Never prompts.
Result<KeyHandle> parsePrivateKey(ByteView pemOrDer, const KeyLocation& location);
/// The private key `location` names: a key file as parsePrivateKey reads it, or a key on a
/// PKCS#11 token (OpenSslPkcs11.h). Every failure names the key and says what to do.
Result<KeyHandle> loadPrivateKey(const KeyLocation& location);
/// A key's kind and size for messages: "RSA-2048", "EC P-256".
std::string keyDescription(EVP_PKEY* key);
/// One X.509 certificate from PEM or DER; null otherwise.
X509Handle readCertificate(ByteView pemOrDer);
/// Every certificate of PEM text, in order, or the one DER certificate; empty when the bytes
/// hold none.
std::vector<X509Handle> readCertificates(ByteView pemOrDer);
/// The certificate's DER encoding.
Bytes derOf(X509* certificate);
/// The certificate's PEM encoding.
Bytes pemOf(X509* certificate);
/// The subject on one line (RFC 2253 form).
std::string subjectLine(X509* certificate);
/// The one SignerInfo of a CMS SignedData; null when it holds none or several (a signature or
/// a time-stamp token that Penwell reads always has exactly one).
CMS_SignerInfo* soleSigner(CMS_ContentInfo* cms);
/// The certificate among `certificates` that `signer`'s identifier names, borrowed from the
/// stack; null when none does (or `signer` is null).
X509* signerCertificate(CMS_SignerInfo* signer, STACK_OF(X509) * certificates);
/// Empties this thread's OpenSSL error queue, after a failure has been put into words.
void clearErrors() noexcept;

}  // namespace penwell::openssl
