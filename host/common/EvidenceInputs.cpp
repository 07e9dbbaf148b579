#include "penwell/host/common/EvidenceInputs.h"

#include <openssl/evp.h>

#include <fstream>
#include <string>

#include "penwell/platform/openssl/OpenSslHandles.h"

namespace penwell::host {

namespace {

Failure unreadable(const std::string& name, const char* what) {
    return Failure::at(kEvidenceInputDomain,
                       static_cast<std::int64_t>(EvidenceInputError::unreadableDocument), name,
                       what);
}

}  // namespace

Result<Sha256> documentDigest(const std::filesystem::path& document) {
    const std::string name = document.string();
    std::ifstream in(document, std::ios::binary);
    std::error_code error;
    if (!in || std::filesystem::is_directory(document, error)) {
        return unreadable(name, "cannot read the document");
    }
    const openssl::DigestContextHandle context(EVP_MD_CTX_new());
    if (context == nullptr || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
        return unreadable(name, "SHA-256 is not available");
    }
    char buffer[1 << 16];
    while (in) {
        in.read(buffer, sizeof buffer);
        if (in.gcount() > 0 &&
            EVP_DigestUpdate(context.get(), buffer, static_cast<std::size_t>(in.gcount())) != 1) {
            return unreadable(name, "cannot digest the document");
        }
    }
    if (in.bad()) {
        return unreadable(name, "read error in the document");
    }
    Sha256 digest{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest.data(), &length) != 1 || length != digest.size()) {
        return unreadable(name, "cannot digest the document");
    }
    return digest;
}

Result<Sha256> documentDigest(ByteView document, const std::string& name) {
    Sha256 digest{};
    unsigned int length = 0;
    if (EVP_Digest(document.data(), document.size(), digest.data(), &length, EVP_sha256(),
                   nullptr) != 1 ||
        length != digest.size()) {
        return unreadable(name, "cannot digest the document");
    }
    return digest;
}

}  // namespace penwell::host
