#include "penwell/tools/CertificateTool.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Support.h"
#include "penwell/tools/ToolError.h"

namespace penwell::tools {
namespace {

using ::testing::HasSubstr;

// Its fingerprint against openssl's and its private key against the certificate's public key
// are checked end to end by CliTest.
TEST(CertificateToolTest, NewCertificateIsASelfSignedKeyloftRsaCertificateForTheDaysAsked) {
    const NewCertificate made = makeSelfSignedCertificate(1024, 2);
    const CertificateInfo info = describeCertificate(made.der, "Penwell.dat");
    EXPECT_EQ(info.subject, "CN=Keyloft");
    EXPECT_EQ(info.commonName, "Keyloft");
    EXPECT_TRUE(info.selfIssued);
    EXPECT_EQ(info.keyType, "RSA");
    EXPECT_EQ(info.keyBits, 1024);
    EXPECT_EQ(info.der, made.der);
    // Dates are "YYYY-MM-DD HH:MM:SS UTC"; two days apart to the second.
    std::tm from{}, until{};
    ASSERT_NE(strptime(info.notBefore.c_str(), "%Y-%m-%d %H:%M:%S", &from), nullptr);
    ASSERT_NE(strptime(info.notAfter.c_str(), "%Y-%m-%d %H:%M:%S", &until), nullptr);
    EXPECT_EQ(timegm(&until) - timegm(&from), 2 * 86400);
}

TEST(CertificateToolTest, ReadsPemAsWellAsDerAndRefusesAnythingElse) {
    const Bytes& der = testing::receiverCertificate().der;
    const CertificateInfo fromPem =
        describeCertificate(asBytes(test::certificatePem(der)), "c.pem");
    EXPECT_EQ(fromPem.der, der);
    EXPECT_EQ(fromPem.sha1, describeCertificate(der, "c.dat").sha1);

    const auto refusal = [](ByteView bytes) -> std::string {
        try {
            describeCertificate(bytes, "c");
        } catch (const ToolError& e) {
            return e.what();
        }
        return "(no error)";
    };
    EXPECT_EQ(refusal(asBytes("hello")), "c: not an X.509 certificate (neither DER nor PEM)");
    Bytes trailing = der;
    trailing.push_back(0);
    EXPECT_THAT(refusal(trailing), HasSubstr("c: 1 bytes follow the DER certificate"));
}

}  // namespace
}  // namespace penwell::tools
