// Evidence sealed for the institution's own recipients: RSA and EC keys side by side, each
// opening the record alone with `openssl cms` and with the receiver library, and a stranger's
// key opening nothing (keys kept encrypted under a passphrase: tests/tools/KeysTest.cpp).

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "penwell/receiver/OpenEvidence.h"
#include "penwell/secure/Evidence.h"
#include "support/CertificateFixtures.h"
#include "support/Shell.h"
#include "support/TestPad.h"

namespace penwell {
namespace {

using ::testing::HasSubstr;

Bytes pemBytes(ByteView der) {
    const std::string pem = test::certificatePem(der);
    return Bytes(pem.begin(), pem.end());
}

struct Recipient {
    const char* kind;
    test::PrivateKey key;
    Bytes certificate;
};

class Recipients : public ::testing::Test {
protected:
    void SetUp() override {
        pad.useScratchCertificates(folder.path());
        pad.show();
        pad.down({10, 10}, 1.0, 0.5, touch_type::kStylus);
        for (int i = 1; i < 20; ++i) {
            pad.move({10.0 + 3 * i, 10.0 + i}, 1.0 + 0.01 * i, 0.5, touch_type::kStylus);
        }
        pad.up({80, 30}, 1.3, 0.5, touch_type::kStylus);
        options.documentSha256 = Sha256{9, 8, 7};
        for (const char* kind : {"RSA-2048", "P-256", "P-384"}) {
            test::PrivateKey key = std::string_view(kind) == "RSA-2048" ? test::generateRsaKey(2048)
                                                                        : test::generateKey(kind);
            Bytes certificate = test::makeSelfSignedDer(key.get(), {{"CN", kind}});
            recipients.push_back({kind, std::move(key), std::move(certificate)});
        }
    }

    Result<Bytes> seal(std::vector<Bytes> certificates) {
        EvidenceOptions o = options;
        o.recipients = std::move(certificates);
        return pad.controller->exportEvidence(o);
    }

    std::filesystem::path keyFile(const Recipient& r, const std::string& passphrase = "") {
        const auto path = folder.path() / (std::string(r.kind) + ".pem");
        test::writeFile(path, test::keyPem(r.key.get(), passphrase));
        return path;
    }

    test::TempDir folder;
    testing::TestPad pad;
    EvidenceOptions options;
    std::vector<Recipient> recipients;
};

// Every recipient opens the one record alone, with openssl and with the receiver, and reads
// the same payload; the key agreement uses SHA-2 of the curve's strength, not OpenSSL's SHA-1.
TEST_F(Recipients, EachOfAnRsaAndTwoEcRecipientsOpensTheRecordAlone) {
    // The certificates as PEM and as DER: both are what an institution hands over.
    const Result<Bytes> sealed =
        seal({recipients[0].certificate, pemBytes(recipients[1].certificate),
              recipients[2].certificate});
    ASSERT_TRUE(sealed) << sealed.error().message;
    const auto record = folder.path() / "e.der";
    test::writeFile(record, *sealed);

    const std::string structure =
        test::run("openssl cms -cmsout -print -inform DER -in " + record.string());
    EXPECT_THAT(structure, HasSubstr("rsaesOaep"));
    EXPECT_THAT(structure, HasSubstr("dhSinglePass-stdDH-sha256kdf-scheme"));
    EXPECT_THAT(structure, HasSubstr("dhSinglePass-stdDH-sha384kdf-scheme"));
    EXPECT_THAT(structure, HasSubstr("id-aes256-wrap"));
    EXPECT_THAT(structure, HasSubstr("aes-256-gcm"));

    std::optional<Bytes> first;
    for (const Recipient& r : recipients) {
        SCOPED_TRACE(r.kind);
        const auto key = keyFile(r);
        const auto plain = folder.path() / (std::string(r.kind) + ".payload");
        ASSERT_EQ(std::system(("openssl cms -decrypt -binary -inform DER -in " + record.string() +
                               " -inkey " + key.string() + " -out " + plain.string())
                                  .c_str()),
                  0);
        const auto payload = receiver::decodeEvidencePayload(test::readBytes(plain), "payload");
        ASSERT_TRUE(payload) << payload.error().message;
        EXPECT_EQ(payload->documentSha256, options.documentSha256);

        const auto opened = receiver::openEvidenceRecord(*sealed, "e.der", key, std::nullopt);
        ASSERT_TRUE(opened) << opened.error().message;
        EXPECT_EQ(opened->payload.record, payload->record);
        if (first) {
            EXPECT_EQ(payload->record, *first);
        }
        first = payload->record;
    }

    // Keys of the same kinds that were not named open nothing.
    for (const char* stranger : {"P-256", "P-384"}) {
        Recipient other{stranger, test::generateKey(stranger), {}};
        const auto opened =
            receiver::openEvidenceRecord(*sealed, "e.der", keyFile(other), std::nullopt);
        ASSERT_FALSE(opened);
        EXPECT_EQ(opened.error().code, static_cast<int>(receiver::OpenError::cannotDecrypt));
    }
    Recipient rsa{"stranger-rsa", test::generateRsaKey(2048), {}};
    EXPECT_FALSE(receiver::openEvidenceRecord(*sealed, "e.der", keyFile(rsa), std::nullopt));
}

// Without recipients the record is sealed for the pinned certificate, as it always was.
TEST_F(Recipients, WithoutRecipientsThePinnedCertificateOpensIt) {
    const Result<Bytes> sealed = seal({});
    ASSERT_TRUE(sealed) << sealed.error().message;
    const auto opened = receiver::openEvidenceRecord(
        *sealed, "e.der",
        std::filesystem::path(PENWELL_SOURCE_DIR) / "demo-certificate/demo-private-key.pem",
        std::nullopt);
    ASSERT_TRUE(opened) << opened.error().message;
    EXPECT_FALSE(
        receiver::openEvidenceRecord(*sealed, "e.der", keyFile(recipients[0]), std::nullopt));
}

// A certificate that cannot carry the key is refused naming it, and nothing is sealed.
TEST_F(Recipients, UnusableCertificatesAreRefusedByPositionAndSubject) {
    const test::PrivateKey p521 = test::generateKey("P-521");
    const test::PrivateKey ed25519 = test::generateKey("ED25519");
    const test::PrivateKey rsa = test::generateRsaKey(2048);
    const test::PrivateKey ec = test::generateKey("P-256");
    const struct {
        Bytes certificate;
        const char* message;
    } cases[] = {
        {Bytes{'n', 'o', 't', ' ', 'D', 'E', 'R'}, "recipient 2: not an X.509 certificate"},
        {test::makeSelfSignedDer(p521.get(), {{"CN", "Big"}}),
         "recipient 2 (CN=Big): its EC key is on secp521r1, not P-256 or P-384"},
        {test::makeSelfSignedDer(ed25519.get(), {{"CN", "Edwards"}}),
         "recipient 2 (CN=Edwards): its key is neither RSA nor EC"},
        {test::makeSelfSignedDer(rsa.get(), {{"CN", "Signer"}}, "critical,digitalSignature"),
         "recipient 2 (CN=Signer): its key usage does not allow key encipherment"},
        {test::makeSelfSignedDer(ec.get(), {{"CN", "Signer"}}, "critical,digitalSignature"),
         "recipient 2 (CN=Signer): its key usage does not allow key agreement"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        const Result<Bytes> sealed = seal({recipients[0].certificate, c.certificate});
        ASSERT_FALSE(sealed);
        EXPECT_EQ(sealed.error().domain, kCmsErrorDomain);
        EXPECT_EQ(sealed.error().message, c.message);
    }
    // A key usage that allows the role is accepted.
    EXPECT_TRUE(seal(
        {test::makeSelfSignedDer(rsa.get(), {{"CN", "Archive"}}, "critical,keyEncipherment")}));
    EXPECT_TRUE(
        seal({test::makeSelfSignedDer(ec.get(), {{"CN", "Archive"}}, "critical,keyAgreement")}));
}

}  // namespace
}  // namespace penwell
