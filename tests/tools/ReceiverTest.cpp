#include "tools/Receiver.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <functional>

#include "Support.h"
#include "platform/CHandle.h"
#include "tools/ToolError.h"

namespace penwell::tools {
namespace {

using ::testing::HasSubstr;
using testing::receiverCertificate;

const PointRecord kRecord = {
    {{10, 20, 500, 0}, {11, 21, 520, 4}, {4294967293u, 22, 540, 8}},
    {{30, 40, 0, 0}, {31, 40, 0, 0}, {30, 41, 0, 0}, {30, 40, 0, 0}},
};

TEST(ReceiverTest, OpensWhatTheSenderSealed) {
    const TemporaryFolder folder("penwell-receiver");
    const testing::Sealed sealed = testing::seal(encodeRecord(kRecord), receiverCertificate().der);
    testing::writeFile(folder.path() / "data.bin", sealed.ciphertext);
    testing::writeFile(folder.path() / "key.bin", sealed.wrappedKey);
    testing::writeFile(folder.path() / "key.pem", receiverCertificate().privateKeyPem);
    const OpenedSignature opened = openSignature(
        folder.path() / "key.pem", folder.path() / "data.bin", folder.path() / "key.bin");
    EXPECT_EQ(opened.record, kRecord);
    EXPECT_EQ(opened.plaintext, encodeRecord(kRecord));
    EXPECT_EQ(opened.wrappedKeyBytes, 256u);
    EXPECT_EQ(opened.keyBits, 2048);
    EXPECT_EQ(opened.ciphertextBytes, 16 * (opened.plaintext.size() / 16 + 1));
}

std::string ecKeyPem() {
    CHandle<EVP_PKEY, EVP_PKEY_free> ec(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    CHandle<BIO, BIO_free_all> bio(BIO_new(BIO_s_mem()));
    if (!ec || !bio ||
        PEM_write_bio_PrivateKey(bio.get(), ec.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        throw std::runtime_error("cannot make the test EC key");
    }
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(length));
}

// The wrong private key and a ragged data file are checked end to end by CliTest; these are
// the edges it does not reach.
TEST(ReceiverTest, RefusesKeysAndCiphertextsThatCannotBeOpened) {
    const PrivateKey key(receiverCertificate().privateKeyPem, "key.pem");
    const testing::Sealed sealed = testing::seal(encodeRecord(kRecord), receiverCertificate().der);
    const Bytes shortWrap(sealed.wrappedKey.begin(), sealed.wrappedKey.end() - 1);
    const Bytes wrapped47 = testing::wrapWithCertificate(receiverCertificate().der, Bytes(47, 1));
    const std::pair<std::function<void()>, std::string> cases[] = {
        {[&] { PrivateKey("not a key", "x.pem"); }, "x.pem: not an unencrypted PEM private key"},
        {[&] { PrivateKey(ecKeyPem(), "ec.pem"); }, "ec.pem: not an RSA private key"},
        {[&] { key.unwrapKeyBlob(shortWrap, "key.bin"); },
         "key.bin: wrapped key is 255 bytes, but a key wrapped for the 2048-bit key in"},
        {[&] { key.unwrapKeyBlob(wrapped47, "key.bin"); },
         "key.bin: unwraps to 47 bytes, expected 48"},
        {[&] { decryptRecord(sealed.keyBlob, Bytes{}, "data.bin"); }, "data.bin: empty"},
        {[&] { decryptRecord(Bytes(32), sealed.ciphertext, "data.bin"); },
         "data.bin: a key blob of 32 bytes"},
    };
    for (const auto& [open, message] : cases) {
        try {
            open();
            ADD_FAILURE() << "no error: " << message;
        } catch (const ToolError& e) {
            EXPECT_THAT(e.what(), HasSubstr(message));
        }
    }
}

}  // namespace
}  // namespace penwell::tools
