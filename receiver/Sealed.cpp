#include "receiver/Sealed.h"

#include <openssl/cms.h>
#include <openssl/objects.h>

#include <climits>

#include "platform/openssl/OpenSslKeys.h"

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
    const unsigned char* p = sealed.data();
    const openssl::CmsHandle cms(sealed.size() > LONG_MAX
                                     ? nullptr
                                     : d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(sealed.size())));
    if (cms == nullptr || p != sealed.data() + sealed.size() ||
        OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_id_smime_ct_authEnvelopedData) {
        return refuse(SealedError::malformed,
                      name + ": not sealed data (CMS AuthEnvelopedData, DER)");
    }
    Result<openssl::KeyHandle> loaded = openssl::loadPrivateKey(key);
    if (!loaded) {
        return loaded.error();
    }
    const openssl::BioHandle plain(BIO_new(BIO_s_mem()));
    if (plain == nullptr || CMS_decrypt(cms.get(), loaded->get(), nullptr, nullptr, plain.get(),
                                        CMS_BINARY) != 1) {
        return refuse(SealedError::cannotDecrypt,
                      name + ": cannot be opened with " + key.name() +
                          ": sealed for another key, or altered");
    }
    openssl::clearErrors();
    return openssl::bioBytes(plain.get());
}

}  // namespace penwell::receiver
