// The demo certificate's parse, subject, fingerprint and public-key wrap are checked through
// the data export's round trip (tests/secure/DataExportTest.cpp); here, what it does not reach.

#include "penwell/platform/openssl/OpenSslCertificates.h"

#include <gtest/gtest.h>

#include "support/CertificateFixtures.h"

namespace penwell {
namespace {

class OpenSslCertificatesTest : public ::testing::Test {
protected:
    std::shared_ptr<CertificateServices> services = openssl::makeCertificateServices();
};

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
