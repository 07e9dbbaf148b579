#include "platform/openssl/OpenSslCertificates.h"

#include <gtest/gtest.h>

#include "support/CertificateFixtures.h"
#include "support/Hex.h"

namespace penwell {
namespace {

class OpenSslCertificatesTest : public ::testing::Test {
protected:
    std::shared_ptr<CertificateServices> services = openssl::makeCertificateServices();
};

TEST_F(OpenSslCertificatesTest, DemoCertificateParsesAndItsKeyEncryptsForTheDemoPrivateKey) {
    const Bytes der = test::demoCertificateDer();
    const auto certificate = services->createCertificateWithData(der);
    ASSERT_NE(certificate, nullptr);
    EXPECT_EQ(certificate->subjectSummary(), "Keyloft");
    EXPECT_EQ(certificate->derData(), der);
    EXPECT_EQ(test::sha1(certificate->derData()), testing::fromHex(PENWELL_PINNED_SHA1));

    const auto trust = services->createTrust(certificate);
    ASSERT_NE(trust, nullptr);
    const auto publicKey = trust->copyPublicKey();
    ASSERT_NE(publicKey, nullptr);
    EXPECT_EQ(publicKey->blockSize(), 256u);

    // That the padding is randomised shows in the data export: two wraps differ.
    const Bytes plain(48, 0x5a);
    Bytes wrapped(256);
    std::size_t length = wrapped.size();
    ASSERT_EQ(publicKey->encryptPkcs1(plain, wrapped, length), errSecSuccess);
    EXPECT_EQ(length, 256u);
    EXPECT_EQ(test::decryptPkcs1(test::demoPrivateKey().get(), wrapped), plain);
}

TEST_F(OpenSslCertificatesTest, AnythingButOneDerCertificateIsRefused) {
    const Bytes der = test::demoCertificateDer();
    Bytes trailing = der;
    trailing.push_back(0);
    const ByteView refused[] = {
        {}, asBytes("not a certificate at all"), ByteView(der).first(der.size() - 1), trailing};
    for (const ByteView data : refused) {
        EXPECT_EQ(services->createCertificateWithData(data), nullptr) << data.size();
    }
}

TEST_F(OpenSslCertificatesTest, SummaryWithoutCommonNameIsTheWholeSubjectOnOneLine) {
    const auto key = test::generateRsaKey(1024);
    const auto certificate = services->createCertificateWithData(test::makeSelfSignedDer(
        key.get(), {{"C", "CH"}, {"O", "Z\xc3\xbcrich AG"}, {"OU", "Signing"}}));
    ASSERT_NE(certificate, nullptr);
    EXPECT_EQ(certificate->subjectSummary(), "OU=Signing,O=Z\xc3\xbcrich AG,C=CH");
}

}  // namespace
}  // namespace penwell
