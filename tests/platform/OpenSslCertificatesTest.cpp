#include "platform/openssl/OpenSslCertificates.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

#include "support/CertificateFixtures.h"

namespace penwell {
namespace {

using test::NameEntry;

class OpenSslCertificatesTest : public ::testing::Test {
protected:
    std::shared_ptr<CertificateServices> services = openssl::makeCertificateServices();

    std::shared_ptr<PublicKey> publicKeyOf(const std::shared_ptr<Certificate>& certificate) {
        auto trust = services->createTrust(certificate);
        return trust != nullptr ? trust->copyPublicKey() : nullptr;
    }
};

TEST_F(OpenSslCertificatesTest, DemoCertificateParsesWithKeyloftSummary) {
    const Bytes der = test::demoCertificateDer();
    const auto certificate = services->createCertificateWithData(der);
    ASSERT_NE(certificate, nullptr);
    EXPECT_EQ(certificate->subjectSummary(), "Keyloft");
    EXPECT_EQ(certificate->derData(), der);
}

TEST_F(OpenSslCertificatesTest, DemoCertificateFingerprintIsThePinnedOne) {
    const auto certificate = services->createCertificateWithData(test::demoCertificateDer());
    ASSERT_NE(certificate, nullptr);
    EXPECT_EQ(test::toHex(test::sha1(certificate->derData())), PENWELL_PINNED_SHA1);
}

TEST_F(OpenSslCertificatesTest, AnythingButOneDerCertificateIsRefused) {
    const Bytes der = test::demoCertificateDer();
    EXPECT_EQ(services->createCertificateWithData({}), nullptr);
    EXPECT_EQ(services->createCertificateWithData(asBytes("not a certificate at all")), nullptr);
    EXPECT_EQ(services->createCertificateWithData(ByteView(der).first(der.size() - 1)), nullptr);
    Bytes trailing = der;
    trailing.push_back(0);
    EXPECT_EQ(services->createCertificateWithData(trailing), nullptr);
    Bytes corrupted = der;
    corrupted[0] ^= 0xff;
    EXPECT_EQ(services->createCertificateWithData(corrupted), nullptr);
}

TEST_F(OpenSslCertificatesTest, SummaryIsTheLastCommonNameInUtf8) {
    const auto key = test::generateRsaKey(1024);
    const auto certificate = services->createCertificateWithData(test::makeSelfSignedDer(
        key.get(), {{"O", "Keyloft Ltd"}, {"CN", "Outer"}, {"CN", "J\xc3\xbcrgen"}}));
    ASSERT_NE(certificate, nullptr);
    EXPECT_EQ(certificate->subjectSummary(), "J\xc3\xbcrgen");
}

TEST_F(OpenSslCertificatesTest, SummaryWithoutCommonNameIsTheWholeSubjectOnOneLine) {
    const auto key = test::generateRsaKey(1024);
    const auto certificate = services->createCertificateWithData(test::makeSelfSignedDer(
        key.get(), {{"C", "CH"}, {"O", "Z\xc3\xbcrich AG"}, {"OU", "Signing"}}));
    ASSERT_NE(certificate, nullptr);
    EXPECT_EQ(certificate->subjectSummary(), "OU=Signing,O=Z\xc3\xbcrich AG,C=CH");
}

TEST_F(OpenSslCertificatesTest, SummaryIsCaseExact) {
    const auto key = test::generateRsaKey(1024);
    const auto certificate = services->createCertificateWithData(
        test::makeSelfSignedDer(key.get(), {{"CN", "keyloft"}}));
    ASSERT_NE(certificate, nullptr);
    EXPECT_EQ(certificate->subjectSummary(), "keyloft");
}

TEST_F(OpenSslCertificatesTest, BlockSizeIsTheModulusLength) {
    const auto demo = publicKeyOf(services->createCertificateWithData(test::demoCertificateDer()));
    ASSERT_NE(demo, nullptr);
    EXPECT_EQ(demo->blockSize(), 256u);

    const auto key = test::generateRsaKey(1024);
    const auto small = publicKeyOf(
        services->createCertificateWithData(test::makeSelfSignedDer(key.get(), {{"CN", "x"}})));
    ASSERT_NE(small, nullptr);
    EXPECT_EQ(small->blockSize(), 128u);
}

TEST_F(OpenSslCertificatesTest, EncryptionUnwrapsWithTheDemoPrivateKey) {
    const auto publicKey =
        publicKeyOf(services->createCertificateWithData(test::demoCertificateDer()));
    ASSERT_NE(publicKey, nullptr);
    Bytes plain(48);
    for (std::size_t i = 0; i < plain.size(); ++i) {
        plain[i] = static_cast<std::uint8_t>(i * 7 + 1);
    }

    Bytes first(publicKey->blockSize());
    std::size_t firstLength = first.size();
    ASSERT_EQ(publicKey->encryptPkcs1(plain, first, firstLength), errSecSuccess);
    EXPECT_EQ(firstLength, 256u);

    Bytes second(publicKey->blockSize());
    std::size_t secondLength = second.size();
    ASSERT_EQ(publicKey->encryptPkcs1(plain, second, secondLength), errSecSuccess);
    EXPECT_NE(first, second) << "PKCS#1 v1.5 padding must be randomised";

    const auto privateKey = test::demoPrivateKey();
    EXPECT_EQ(test::decryptPkcs1(privateKey.get(), first), plain);
    EXPECT_EQ(test::decryptPkcs1(privateKey.get(), second), plain);
}

TEST_F(OpenSslCertificatesTest, EncryptionRefusesTooLittleRoomOrTooMuchInput) {
    const auto publicKey =
        publicKeyOf(services->createCertificateWithData(test::demoCertificateDer()));
    ASSERT_NE(publicKey, nullptr);
    Bytes out(256);

    std::size_t room = 255;
    EXPECT_EQ(publicKey->encryptPkcs1(Bytes(48), out, room), errSecParam);
    room = 300;  // claims more room than the span has
    EXPECT_EQ(publicKey->encryptPkcs1(Bytes(48), out, room), errSecParam);
    EXPECT_EQ(room, 300u) << "the length is only updated on success";

    room = out.size();
    EXPECT_EQ(publicKey->encryptPkcs1(Bytes(246), out, room), errSecParam);
    room = out.size();
    EXPECT_EQ(publicKey->encryptPkcs1(Bytes(245), out, room), errSecSuccess);
}

TEST_F(OpenSslCertificatesTest, SelfSignedCertificateIsNotTrustedButStillGivesItsKey) {
    const auto trust =
        services->createTrust(services->createCertificateWithData(test::demoCertificateDer()));
    ASSERT_NE(trust, nullptr);
    EXPECT_EQ(trust->evaluate(), TrustResult::untrusted);
    EXPECT_NE(trust->copyPublicKey(), nullptr);
}

TEST_F(OpenSslCertificatesTest, NoTrustForNoCertificate) {
    EXPECT_EQ(services->createTrust(nullptr), nullptr);
}

TEST_F(OpenSslCertificatesTest, KeysThatCannotEncryptAreNotOffered) {
    const auto key = test::generateEcKey();
    const auto certificate =
        services->createCertificateWithData(test::makeSelfSignedDer(key.get(), {{"CN", "ec"}}));
    ASSERT_NE(certificate, nullptr);
    const auto trust = services->createTrust(certificate);
    ASSERT_NE(trust, nullptr);
    EXPECT_EQ(trust->copyPublicKey(), nullptr);
}

// A certificate made by another backend reaches the trust through its DER encoding.
class ForeignCertificate final : public Certificate {
public:
    explicit ForeignCertificate(Bytes der) : der_(std::move(der)) {}
    std::string subjectSummary() const override { return "foreign"; }
    Bytes derData() const override { return der_; }

private:
    Bytes der_;
};

TEST_F(OpenSslCertificatesTest, TrustAcceptsACertificateFromAnotherBackend) {
    const auto foreign = std::make_shared<ForeignCertificate>(test::demoCertificateDer());
    const auto publicKey = publicKeyOf(foreign);
    ASSERT_NE(publicKey, nullptr);
    EXPECT_EQ(publicKey->blockSize(), 256u);

    EXPECT_EQ(services->createTrust(std::make_shared<ForeignCertificate>(Bytes{1, 2, 3})), nullptr);
}

}  // namespace
}  // namespace penwell
