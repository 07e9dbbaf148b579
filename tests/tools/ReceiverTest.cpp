#include "tools/Receiver.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

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

class ReceiverTest : public ::testing::Test {
protected:
    /// Seals the record for the receiver's certificate into data.bin and key.bin.
    void SetUp() override {
        key_ = std::make_unique<PrivateKey>(receiverCertificate().privateKeyPem, "key.pem");
        sealed_ = testing::seal(encodeRecord(kRecord), receiverCertificate().der);
        testing::writeFile(folder_.path() / "data.bin", sealed_.ciphertext);
        testing::writeFile(folder_.path() / "key.bin", sealed_.wrappedKey);
        testing::writeFile(folder_.path() / "key.pem", receiverCertificate().privateKeyPem);
    }

    std::string openError() {
        try {
            openSignature(folder_.path() / "key.pem", folder_.path() / "data.bin",
                          folder_.path() / "key.bin");
        } catch (const ToolError& e) {
            return e.what();
        }
        return "(no error)";
    }

    TemporaryFolder folder_{"penwell-receiver"};
    std::unique_ptr<PrivateKey> key_;
    testing::Sealed sealed_;
};

TEST_F(ReceiverTest, OpensWhatTheSenderSealed) {
    EXPECT_EQ(key_->unwrapKeyBlob(sealed_.wrappedKey, "key.bin"), sealed_.keyBlob);
    const OpenedSignature opened = openSignature(
        folder_.path() / "key.pem", folder_.path() / "data.bin", folder_.path() / "key.bin");
    EXPECT_EQ(opened.record, kRecord);
    EXPECT_EQ(opened.plaintext, encodeRecord(kRecord));
    EXPECT_EQ(opened.wrappedKeyBytes, 256u);
    EXPECT_EQ(opened.keyBits, 2048);
    EXPECT_EQ(opened.ciphertextBytes, 16 * (opened.plaintext.size() / 16 + 1));
}

// A flipped byte and bad records inside a sealed file are checked end to end by CliTest.
TEST_F(ReceiverTest, RefusesKeysAndCiphertextsThatCannotBeOpened) {
    const auto folder = folder_.path();
    testing::writeFile(folder / "key.pem", testing::otherCertificate().privateKeyPem);
    EXPECT_THAT(openError(), HasSubstr("key.bin: cannot be unwrapped with the private key in"));
    testing::writeFile(folder / "key.pem", receiverCertificate().privateKeyPem);

    Bytes wrapped = sealed_.wrappedKey;
    wrapped.pop_back();
    testing::writeFile(folder / "key.bin", wrapped);
    EXPECT_THAT(openError(), HasSubstr("key.bin: wrapped key is 255 bytes, but a key wrapped for "
                                       "the 2048-bit key in"));
    testing::writeFile(folder / "key.bin",
                       testing::wrapWithCertificate(receiverCertificate().der, Bytes(47, 1)));
    EXPECT_THAT(openError(), HasSubstr("key.bin: unwraps to 47 bytes, expected 48"));
    testing::writeFile(folder / "key.bin", sealed_.wrappedKey);

    Bytes data = sealed_.ciphertext;
    data.resize(data.size() - 3);
    testing::writeFile(folder / "data.bin", data);
    EXPECT_THAT(openError(), HasSubstr("data.bin: " + std::to_string(data.size()) +
                                       " bytes is not a whole number of 16-byte AES blocks"));
    testing::writeFile(folder / "data.bin", Bytes{});
    EXPECT_THAT(openError(), HasSubstr("data.bin: empty"));
    EXPECT_THROW(decryptRecord(Bytes(32), sealed_.ciphertext, "d"), ToolError);
}

TEST_F(ReceiverTest, OnlyUnencryptedRsaPemKeysAreTaken) {
    EXPECT_THROW(PrivateKey("not a key", "x.pem"), ToolError);
    CHandle<EVP_PKEY, EVP_PKEY_free> ec(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    CHandle<BIO, BIO_free_all> bio(BIO_new(BIO_s_mem()));
    ASSERT_TRUE(ec && bio);
    ASSERT_EQ(PEM_write_bio_PrivateKey(bio.get(), ec.get(), nullptr, nullptr, 0, nullptr, nullptr),
              1);
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    try {
        PrivateKey key(std::string_view(data, static_cast<std::size_t>(length)), "ec.pem");
        FAIL() << "an EC key was taken";
    } catch (const ToolError& e) {
        EXPECT_STREQ(e.what(), "ec.pem: not an RSA private key");
    }
}

}  // namespace
}  // namespace penwell::tools
