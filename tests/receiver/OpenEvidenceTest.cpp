// The evidence record end to end: made by the controller, opened by openssl's cms alone and by
// the receiver library, and refused whole whenever anything about it is wrong.

#include "penwell/receiver/OpenEvidence.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/x509.h>

#include <cstdlib>

#include "penwell/platform/openssl/OpenSslCrypto.h"
#include "penwell/secure/AES.h"
#include "penwell/secure/Evidence.h"
#include "support/CertificateFixtures.h"
#include "support/TestPad.h"

namespace penwell {
namespace {

using ::testing::HasSubstr;

Bytes derKey(EVP_PKEY* key) {
    unsigned char* der = nullptr;
    const int length = i2d_PrivateKey(key, &der);
    Bytes out(der, der + std::max(length, 0));
    OPENSSL_free(der);
    return out;
}

/// A signature of a stylus stroke and a finger stroke, on a pad whose store and resources
/// live in a scratch folder, and an operator key pair.
class Evidence : public ::testing::Test {
protected:
    void SetUp() override {
        pad.useScratchCertificates(folder.path());
        pad.show();
        pad.down({10, 10}, 1.0, 0.5, touch_type::kStylus);
        for (int i = 1; i < 8; ++i) {
            pad.move({10.0 + 3 * i, 10.0 + i}, 1.0 + 0.01 * i, 0.5 + 0.01 * i, touch_type::kStylus);
        }
        pad.up({40, 20}, 1.1, 0.6, touch_type::kStylus);
        pad.down({50, 50}, 2.0);
        for (int i = 1; i < 8; ++i) {
            pad.move({50.0 + 2 * i, 50.0}, 2.0 + 0.016 * i);
        }
        pad.up({70, 50}, 2.2);
        options.documentSha256 = Sha256{1, 2, 3};
        options.captureTime =
            std::chrono::sys_days(std::chrono::year(2026) / 12 / 6) + std::chrono::hours(22);
        options.fields = {{"reason", "loan agreement 4711"}, {"signer", "Ada Lovelace"}};
        open.privateKey = derKey(test::demoPrivateKey().get());
        open.documentSha256 = options.documentSha256;
    }

    Bytes evidence(bool signedByOperator) {
        EvidenceOptions o = options;
        if (signedByOperator) {
            o.signer =
                SigningIdentity{derKey(operatorKey.get()), operatorCertificate, std::nullopt};
        }
        Result<Bytes> made = pad.controller->exportEvidence(o);
        EXPECT_TRUE(made) << (made ? "" : made.error().message);
        return made ? *made : Bytes{};
    }

    test::TempDir folder;
    testing::TestPad pad;
    EvidenceOptions options;
    receiver::OpenOptions open;
    test::PrivateKey operatorKey = test::generateRsaKey(2048);
    Bytes operatorCertificate = test::makeSelfSignedDer(operatorKey.get(), {{"CN", "Station 7"}});
};

// openssl cms alone opens it, and its point stream is what getSignatureData encrypts.
TEST_F(Evidence, OpenSslDecryptsThePayloadAndItsRecordIsTheDataExportsRecord) {
    test::writeFile(folder.path() / "e.der", evidence(false));
    const std::string decrypt =
        "openssl cms -decrypt -inform DER -in " + (folder.path() / "e.der").string() + " -recip " +
        test::demoCertificatePath().string() +
        " -inkey " PENWELL_SOURCE_DIR "/demo-certificate/demo-private-key.pem -out " +
        (folder.path() / "p.der").string();
    ASSERT_EQ(std::system(decrypt.c_str()), 0);
    const auto payload =
        receiver::decodeEvidencePayload(test::readBytes(folder.path() / "p.der"), "p");
    ASSERT_TRUE(payload) << payload.error().message;

    std::optional<Bytes> wrapped;
    const auto data = pad.controller->getSignatureData(&wrapped);
    ASSERT_TRUE(data && wrapped);
    const Bytes blob = test::decryptPkcs1(test::demoPrivateKey().get(), *wrapped);
    const Bytes key(blob.begin(), blob.begin() + 32), iv(blob.begin() + 32, blob.end());
    EXPECT_EQ(payload->record, AES(openssl::makeCrypto()).decryptedDataForData(*data, key, iv));

    EXPECT_EQ(payload->pointerKinds, (std::vector{PointerKind::stylus, PointerKind::finger}));
    EXPECT_EQ(payload->padWidth, 300.0);
    EXPECT_EQ(payload->lineWidth, 3.0);
    EXPECT_EQ(payload->sigma2, pad.controller->calculateSigma2());
    EXPECT_EQ(payload->documentSha256, options.documentSha256);
    EXPECT_EQ(payload->captureTime, options.captureTime);
    EXPECT_EQ(payload->fields, options.fields);
    EXPECT_THAT(payload->software, HasSubstr("Penwell "));

    // The receiver library reads the same, signed or not.
    for (const bool signedByOperator : {false, true}) {
        const auto opened = receiver::openEvidence(evidence(signedByOperator), open);
        ASSERT_TRUE(opened) << opened.error().message;
        EXPECT_EQ(opened->payload.record, payload->record);
        EXPECT_EQ(opened->signerCertificate.has_value(), signedByOperator);
    }
}

TEST_F(Evidence, EveryAlterationAndEveryWrongInputIsRefused) {
    const Bytes plain = evidence(false), signedRecord = evidence(true);
    const auto refusal = [&](ByteView bytes, const receiver::OpenOptions& o) {
        const auto opened = receiver::openEvidence(bytes, o);
        return opened ? std::string("(opened)") : opened.error().message;
    };
    // One flipped byte anywhere in the signed record: header, operator certificate, signature,
    // recipient info, ciphertext, tag.
    for (std::size_t i = 0; i < signedRecord.size(); i += signedRecord.size() / 40 + 1) {
        Bytes altered = signedRecord;
        altered[i] ^= 0x01;
        EXPECT_NE(refusal(altered, open), "(opened)") << "byte " << i;
    }
    // In the unsealed-by-signature record: the header, the wrapped content key, the ciphertext
    // and the GCM tag (the last 16 bytes).
    constexpr std::uint8_t kWrappedKey[] = {0x04, 0x82, 0x01, 0x00};  // OCTET STRING of 256
    const std::size_t key = static_cast<std::size_t>(
        std::search(plain.begin(), plain.end(), std::begin(kWrappedKey), std::end(kWrappedKey)) -
        plain.begin());
    ASSERT_LT(key + 100, plain.size());
    for (const std::size_t i :
         {std::size_t{0}, std::size_t{1}, std::size_t{5}, key + 4, key + 100,
          plain.size() / 2 + 200, plain.size() - 20, plain.size() - 16, plain.size() - 1}) {
        Bytes altered = plain;
        altered[i] ^= 0x80;
        EXPECT_THAT(refusal(altered, open), HasSubstr("evidence: ")) << "byte " << i;
    }

    receiver::OpenOptions wrongKey = open, wrongDocument = open, trusted = open, other = open;
    wrongKey.privateKey = derKey(test::generateRsaKey(2048).get());
    wrongDocument.documentSha256 = Sha256{9};
    trusted.trusted = {operatorCertificate};
    other.trusted = {test::makeSelfSignedDer(test::generateRsaKey(2048).get(), {{"CN", "x"}})};
    const struct {
        ByteView bytes;
        const receiver::OpenOptions& options;
        const char* fault;
    } cases[] = {
        {ByteView(plain).first(plain.size() - 1), open, "truncated"},
        {ByteView(signedRecord).first(signedRecord.size() / 2), open, "truncated"},
        {plain, wrongKey, "cannot be opened with private key"},
        {plain, wrongDocument, "signed for another document"},
        {plain, trusted, "not signed by an operator"},
        {signedRecord, other, "signed by \"CN=Station 7\", whom no trusted certificate"},
    };
    for (const auto& c : cases) {
        EXPECT_THAT(refusal(c.bytes, c.options), HasSubstr(c.fault));
    }
    EXPECT_EQ(refusal(signedRecord, trusted), "(opened)");
}

// The export refuses what it cannot honour, and says why, through the result and the controller.
TEST_F(Evidence, ExportRefusesBadFieldsAndAMissingSignature) {
    EvidenceOptions repeated = options, tooMany = options, latin1 = options, crowd = options;
    repeated.fields.push_back({"reason", "again"});
    tooMany.fields.assign(kMaxEvidenceFields + 1, {"n", "v"});
    latin1.fields.push_back({"note", "caf\xe9"});
    crowd.recipients.assign(kMaxEvidenceRecipients + 1,
                            test::readBytes(test::demoCertificatePath()));
    const std::pair<const EvidenceOptions*, const char*> cases[] = {
        {&repeated, "text field 2 (\"reason\") repeats a name"},
        {&tooMany, "33 text fields, at most 32"},
        {&latin1, "text field 2 (\"note\"): its value is not UTF-8"},
        {&crowd, "17 recipients, at most 16 are allowed"},
    };
    for (const auto& [o, fault] : cases) {
        const auto made = pad.controller->exportEvidence(*o);
        ASSERT_FALSE(made);
        EXPECT_EQ(made.error().code, static_cast<int>(EvidenceError::badOptions));
        EXPECT_THAT(made.error().message, HasSubstr(fault));
        EXPECT_EQ(pad.controller->lastExportFailure(), made.error());
    }
    pad.controller->setMinSigPoints(1000);
    EXPECT_THAT(pad.controller->exportEvidence(options).error().message,
                HasSubstr("no signature to export"));
}

// Records sealed elsewhere (stock openssl cms) meet the same limits: text the receiver could
// not print, names it could not tell apart, more recipients than it tries its key on (each try
// is a private-key operation: 20,001 of them held a receiver for 15 s, right key or wrong).
TEST_F(Evidence, RecordsSealedByStockOpenSslAreHeldToTheSameLimits) {
    EvidencePayload payload;
    payload.record = {0, 0, 0, 0};
    payload.software = "elsewhere";
    payload.fields = {{"a", "x"}, {"b", "y"}};
    const Bytes der = encodeEvidencePayload(payload).value();
    const auto patched = [&](char from, std::uint8_t to) {
        Bytes out = der;
        const std::uint8_t text[] = {0x0c, 0x01, static_cast<std::uint8_t>(from)};
        std::search(out.begin(), out.end(), std::begin(text), std::end(text))[2] = to;
        return out;
    };
    const auto sealed = [&](const Bytes& plain, int recipients) {
        test::writeFile(folder.path() / "p.der", plain);
        std::string seal = "openssl cms -encrypt -aes-256-gcm -binary -outform DER -in " +
                           (folder.path() / "p.der").string() + " -out " +
                           (folder.path() / "e.der").string();
        for (int i = 0; i < recipients; ++i) {
            seal += " -recip " + test::demoCertificatePath().string();
        }
        EXPECT_EQ(std::system(seal.c_str()), 0);
        return test::readBytes(folder.path() / "e.der");
    };
    receiver::OpenOptions any = open, mine = open, notMine = open;
    any.documentSha256.reset();
    mine = notMine = any;
    mine.certificate = test::readBytes(test::demoCertificatePath());
    notMine.certificate = operatorCertificate;
    const struct {
        Bytes record;
        const receiver::OpenOptions& options;
        std::string outcome;
    } cases[] = {
        {sealed(patched('y', 0xff), 1), any,
         "evidence: not an evidence payload: text field 1 (\"b\"): its value is not UTF-8"},
        {sealed(patched('b', 'a'), 1), any,
         "evidence: not an evidence payload: text field 1 (\"a\") repeats a name"},
        {sealed(der, 17), any,
         "evidence: sealed for 17 recipients, more than the 16 a record may name; not opened"},
        {sealed(der, 16), any, "(opened)"},
        {sealed(der, 16), mine, "(opened)"},
        // Given the receiver's certificate, the key is tried on that recipient alone.
        {sealed(der, 1), notMine, "evidence: cannot be opened with private key"},
    };
    for (const auto& c : cases) {
        const auto opened = receiver::openEvidence(c.record, c.options);
        EXPECT_THAT(opened ? "(opened)" : opened.error().message, HasSubstr(c.outcome));
    }
}

// openssl cms -verify accepts the operator's signature with its certificate and no other.
TEST_F(Evidence, OpenSslVerifiesTheOperatorsSignatureWithItsCertificateOnly) {
    test::writeFile(folder.path() / "s.der", evidence(true));
    const auto pem = [&](ByteView der, const char* name) {
        const auto path = folder.path() / name;
        test::writeFile(folder.path() / "c.der", der);
        const std::string convert = "openssl x509 -inform DER -in " +
                                    (folder.path() / "c.der").string() + " -out " + path.string();
        EXPECT_EQ(std::system(convert.c_str()), 0);
        return path.string();
    };
    const std::string verify = "openssl cms -verify -inform DER -in " +
                               (folder.path() / "s.der").string() + " -out /dev/null -CAfile ";
    const std::string quiet = " 2>/dev/null";
    EXPECT_EQ(std::system((verify + pem(operatorCertificate, "op.pem") + quiet).c_str()), 0);
    const Bytes stranger =
        test::makeSelfSignedDer(test::generateRsaKey(2048).get(), {{"CN", "Station 7"}});
    EXPECT_NE(std::system((verify + pem(stranger, "other.pem") + quiet).c_str()), 0);
}

}  // namespace
}  // namespace penwell
