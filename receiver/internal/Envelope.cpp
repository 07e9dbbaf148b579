#include "penwell/receiver/internal/Envelope.h"

#include <climits>

namespace penwell::receiver::internal {

openssl::CmsHandle parseContentInfo(ByteView der) {
    if (der.size() > LONG_MAX) {
        return nullptr;
    }
    const unsigned char* p = der.data();
    openssl::CmsHandle cms(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(der.size())));
    if (cms != nullptr && p != der.data() + der.size()) {
        return nullptr;  // trailing bytes are not part of any record
    }
    return cms;
}

int recipientCount(CMS_ContentInfo* cms) {
    STACK_OF(CMS_RecipientInfo)* recipients = CMS_get0_RecipientInfos(cms);
    openssl::clearErrors();  // asked of a content that has none, OpenSSL queues an error
    return recipients == nullptr ? 0 : sk_CMS_RecipientInfo_num(recipients);
}

std::optional<Bytes> decryptContent(CMS_ContentInfo* cms, EVP_PKEY* key, X509* certificate) {
    const openssl::BioHandle plain(BIO_new(BIO_s_mem()));
    // Without the recipient's certificate OpenSSL tries the key on every recipient and, where
    // it does not fit, goes on with a random content key: a wrong key and an altered record
    // both end at the GCM tag, so neither leaks which it was.
    if (plain == nullptr ||
        CMS_decrypt(cms, key, certificate, nullptr, plain.get(), CMS_BINARY) != 1) {
        openssl::clearErrors();
        return std::nullopt;
    }
    openssl::clearErrors();
    return openssl::bioBytes(plain.get());
}

}  // namespace penwell::receiver::internal
