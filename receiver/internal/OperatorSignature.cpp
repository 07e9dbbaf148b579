#include "penwell/receiver/internal/OperatorSignature.h"

#include <openssl/objects.h>
#include <openssl/x509_vfy.h>

#include "penwell/platform/openssl/OpenSslKeys.h"
#include "penwell/receiver/internal/OpenFailure.h"

namespace penwell::receiver::internal {

using namespace penwell::openssl;

Result<Bytes> checkOperator(CMS_ContentInfo* cms, const OpenOptions& options,
                            OpenedEvidence& opened) {
    const std::string& name = options.name;
    if (OBJ_obj2nid(CMS_get0_eContentType(cms)) != NID_pkcs7_data) {
        return openFailure(OpenError::malformed, name + ": signed content is not the sealed record");
    }
    // The signature first, on its own: an altered record is told apart from a stranger.
    // CMS_CADES checks signing-certificate-v2, so the included certificate is the one
    // signed for, byte for byte, and not merely one with the same key. OpenSSL runs that
    // check only with a chain verification, so this pass anchors the record's own
    // certificates (validity dates aside): it proves integrity, not trust.
    const BioHandle out(BIO_new(BIO_s_mem()));
    const X509StoreHandle own(X509_STORE_new());
    STACK_OF(X509)* included = CMS_get1_certs(cms);
    bool anchored = own != nullptr && included != nullptr;
    for (int i = 0; anchored && i < sk_X509_num(included); ++i) {
        anchored = X509_STORE_add_cert(own.get(), sk_X509_value(included, i)) == 1;
    }
    sk_X509_pop_free(included, X509_free);
    if (anchored) {
        X509_STORE_set_flags(own.get(), X509_V_FLAG_PARTIAL_CHAIN | X509_V_FLAG_NO_CHECK_TIME);
    }
    if (!anchored || out == nullptr ||
        CMS_verify(cms, nullptr, own.get(), nullptr, out.get(), CMS_BINARY | CMS_CADES) !=
            1) {
        return openFailure(OpenError::badSignature,
                      name +
                          ": the operator's signature does not verify: the record was "
                          "altered or is not signed as it claims");
    }
    STACK_OF(X509)* signers = CMS_get0_signers(cms);
    if (signers == nullptr || sk_X509_num(signers) != 1) {
        sk_X509_free(signers);
        return openFailure(OpenError::malformed, name + ": not signed by exactly one operator");
    }
    X509* signer = sk_X509_value(signers, 0);
    opened.signerCertificate = derOf(signer);
    opened.signerSubject = subjectLine(signer);
    sk_X509_free(signers);
    if (!options.trusted.empty()) {
        const X509StoreHandle store(X509_STORE_new());
        if (store == nullptr) {
            return openFailure(OpenError::badKey, name + ": cannot make a certificate store");
        }
        // Every certificate of every file counts: a bundle of several operators' certificates
        // vouches for each of them, as it does for their PDF signatures.
        for (std::size_t i = 0; i < options.trusted.size(); ++i) {
            const std::vector<X509Handle> anchors = readCertificates(options.trusted[i]);
            if (anchors.empty()) {
                return openFailure(OpenError::badKey, "trusted certificate " + std::to_string(i) +
                                                     " is not an X.509 certificate");
            }
            for (const X509Handle& anchor : anchors) {
                if (X509_STORE_add_cert(store.get(), anchor.get()) != 1) {
                    return openFailure(OpenError::badKey,
                                  "trusted certificate " + std::to_string(i) +
                                      " cannot be added to the store");
                }
            }
        }
        // An operator certificate may itself be what the receiver trusts.
        X509_STORE_set_flags(store.get(), X509_V_FLAG_PARTIAL_CHAIN);
        const BioHandle again(BIO_new(BIO_s_mem()));
        if (again == nullptr || CMS_verify(cms, nullptr, store.get(), nullptr,
                                           again.get(), CMS_BINARY) != 1) {
            return openFailure(OpenError::untrustedSigner,
                          name + ": signed by \"" + opened.signerSubject +
                              "\", whom no trusted certificate vouches for");
        }
        opened.signerTrusted = true;
    }
    Bytes inner = bioBytes(out.get());
    clearErrors();
    return inner;
}

}  // namespace penwell::receiver::internal
