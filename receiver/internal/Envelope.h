#pragma once
// What opening evidence and opening sealed bytes share: reading a CMS ContentInfo whole, and
// decrypting an AuthEnvelopedData within a bounded cost. Private to the receiver.

#include <openssl/cms.h>

#include <optional>

#include "penwell/platform/Bytes.h"
#include "penwell/platform/openssl/OpenSslKeys.h"

namespace penwell::receiver::internal {

/// A whole DER CMS ContentInfo, or null (not DER, truncated, or bytes after it).
openssl::CmsHandle parseContentInfo(ByteView der);

/// The recipient count of an (Auth)EnvelopedData; 0 for any other content.
int recipientCount(CMS_ContentInfo* cms);

/// The plaintext, or nullopt when `key` opens no recipient or the content was altered. With
/// `certificate` only its recipient is tried; without it, every one (so the caller bounds
/// recipientCount first: each try of an RSA key costs a private-key operation).
std::optional<Bytes> decryptContent(CMS_ContentInfo* cms, EVP_PKEY* key, X509* certificate);

}  // namespace penwell::receiver::internal
