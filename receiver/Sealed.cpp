#include "penwell/receiver/Sealed.h"

#include <openssl/cms.h>
#include <openssl/objects.h>

#include "penwell/platform/openssl/OpenSslKeys.h"
#include "penwell/receiver/internal/Envelope.h"

namespace penwell::receiver {
namespace {

Failure refuse(SealedError code, std::string message) {
    openssl::clearErrors();
    return {kSealedErrorDomain, static_cast<std::int64_t>(code), std::move(message)};
}

}  // namespace

bool looksSealed(ByteView bytes) {
    return !bytes.empty() && bytes.front() == 0x30;
}

Result<Bytes> openSealed(ByteView sealed, const std::string& name, const KeyLocation& key) {
    const openssl::CmsHandle cms = internal::parseContentInfo(sealed);
    if (cms == nullptr ||
        OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_id_smime_ct_authEnvelopedData) {
        return refuse(SealedError::malformed,
                      name + ": not sealed data (CMS AuthEnvelopedData, DER)");
    }
    if (const int recipients = internal::recipientCount(cms.get());
        recipients > kMaxSealedRecipients) {
        return refuse(SealedError::tooManyRecipients,
                      name + ": sealed for " + std::to_string(recipients) +
                          " recipients, more than " + std::to_string(kMaxSealedRecipients) +
                          "; not opened");
    }
    Result<openssl::KeyHandle> loaded = openssl::loadPrivateKey(key);
    if (!loaded) {
        return loaded.error();
    }
    std::optional<Bytes> plain = internal::decryptContent(cms.get(), loaded->get(), nullptr);
    if (!plain) {
        return refuse(SealedError::cannotDecrypt, name + ": cannot be opened with " + key.name() +
                                                      ": sealed for another key, or altered");
    }
    return std::move(*plain);
}

}  // namespace penwell::receiver
