// The refusals of the key wrap. The accepted path (first wrap installs the certificate, later
// ones find it without the resource) and the missing resource are covered through the data
// export, tests/secure/DataExportTest.cpp.

#include "penwell/secure/KeyWrap.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "penwell/platform/Certificates.h"
#include "penwell/platform/filesystem/DirectoryBundle.h"
#include "penwell/platform/openssl/OpenSslCertificates.h"
#include "penwell/platform/openssl/OpenSslCrypto.h"
#include "penwell/platform/sqlite/SqliteCertificateStore.h"
#include "penwell/secure/AES.h"
#include "support/CertificateFixtures.h"

namespace penwell {
namespace {

class KeyWrapTest : public ::testing::Test {
protected:
    test::TempDir folder;
    std::filesystem::path resourceFolder = folder.path() / "resources";
    std::shared_ptr<CertificateServices> certificates = openssl::makeCertificateServices();
    std::shared_ptr<sqlite::SqliteCertificateStore> store =
        *sqlite::SqliteCertificateStore::open(folder.path() / "store.sqlite", certificates);
    filesystem::DirectoryBundle resources{resourceFolder};
    AES aes{openssl::makeCrypto()};

    void SetUp() override {
        ASSERT_NE(store, nullptr);
        std::filesystem::create_directory(resourceFolder);
    }

    Failure failure;

    std::optional<Bytes> wrap(ByteView resource, const PinnedCertificate& pin = defaultPin()) {
        test::writeFile(resourceFolder / "Penwell.dat", resource);
        return wrapAESKey(Bytes(48, 0xa5), *certificates, *store, resources, aes, pin, &failure);
    }

    Status lookup(std::string_view label) {
        return store->copyMatching(ItemClass::certificate, label).status;
    }
};

TEST_F(KeyWrapTest, ResourceFailingThePinGivesNilAndAddsNothing) {
    const Bytes demo = test::demoCertificateDer();
    PinnedCertificate firstByte = defaultPin(), lastByte = defaultPin();
    firstByte.sha1[0] ^= 0x01;
    lastByte.sha1[19] ^= 0x01;
    // A lower-case subject under a pin whose fingerprint matches: only the subject refuses it.
    const auto key = test::generateRsaKey(1024);
    const Bytes lowerCase = test::makeSelfSignedDer(key.get(), {{"CN", "keyloft"}});
    PinnedCertificate lowerCasePin{"Keyloft", {}};
    const Bytes digest = aes.sha1Digest(lowerCase);
    std::copy(digest.begin(), digest.end(), lowerCasePin.sha1.begin());

    const struct {
        const char* name;
        ByteView resource;
        PinnedCertificate pin;
        Status code;
        const char* reason;
    } cases[] = {
        {"fingerprint off in its first byte", demo, firstByte, errSecAuthFailed, "its SHA-1 is "},
        {"fingerprint off in its last byte", demo, lastByte, errSecAuthFailed, "not the pinned "},
        {"subject keyloft", lowerCase, lowerCasePin, errSecAuthFailed,
         "its subject is \"keyloft\", not \"Keyloft\""},
        {"no certificate", asBytes("-----BEGIN NONSENSE-----"), defaultPin(), errSecDecode,
         "not a DER-encoded X.509 certificate"},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(wrap(c.resource, c.pin).has_value()) << c.name;
        EXPECT_EQ(failure.domain, kKeyWrapErrorDomain);
        EXPECT_EQ(failure.code, c.code) << c.name;
        EXPECT_THAT(failure.message,
                    ::testing::StartsWith((resourceFolder / "Penwell.dat").string() +
                                          ": the key could not be wrapped: "));
        EXPECT_THAT(failure.message, ::testing::HasSubstr(c.reason));
        EXPECT_EQ(lookup("Keyloft"), errSecItemNotFound) << c.name;
        EXPECT_EQ(lookup("keyloft"), errSecItemNotFound) << c.name;
    }
    // A resource is read up to its limit only; one byte more and it is not read at all.
    test::writeFile(resourceFolder / "big.dat", Bytes(filesystem::kMaxResourceBytes + 1, 0));
    EXPECT_FALSE(resources.contentsOfFile(resourceFolder / "big.dat"));
    test::writeFile(resourceFolder / "limit.dat", Bytes(filesystem::kMaxResourceBytes, 7));
    EXPECT_EQ(resources.contentsOfFile(resourceFolder / "limit.dat"),
              Bytes(filesystem::kMaxResourceBytes, 7));
}

TEST_F(KeyWrapTest, PlantedStoredCertificateIsRefusedAndLeftAlone) {
    const auto otherKey = test::generateRsaKey(1024);
    const Bytes planted = test::makeSelfSignedDer(otherKey.get(), {{"CN", "Keyloft"}});
    ASSERT_EQ(store->add(*certificates->createCertificateWithData(planted)).status, errSecSuccess);

    EXPECT_FALSE(wrap(test::demoCertificateDer()).has_value());
    EXPECT_FALSE(wrap(test::demoCertificateDer()).has_value()) << "refused every time";
    EXPECT_THAT(failure.message, ::testing::StartsWith((folder.path() / "store.sqlite").string() +
                                                       ": the key could not be wrapped: its "
                                                       "Keyloft entry is not the pinned "
                                                       "certificate: its SHA-1 is "));
    const auto stored = store->copyMatching(ItemClass::certificate, "Keyloft");
    ASSERT_EQ(stored.status, errSecSuccess);
    EXPECT_EQ(stored.certificate->derData(), planted) << "nothing replaced";
}

/// The store as a process sees it when another one installs the certificate between its lookup
/// and its add.
class LosingTheAddRace final : public CertificateStore {
public:
    LosingTheAddRace(CertificateStore& store, CertificateStore& otherProcess)
        : store_(store), other_(otherProcess) {}
    CopyMatchingResult copyMatching(ItemClass itemClass, std::string_view label) const override {
        return store_.copyMatching(itemClass, label);
    }
    AddResult add(const Certificate& certificate) override {
        other_.add(certificate);
        return store_.add(certificate);
    }

private:
    CertificateStore& store_;
    CertificateStore& other_;
};

TEST_F(KeyWrapTest, LosingTheAddRaceUsesTheCertificateTheWinnerInstalled) {
    const auto other =
        *sqlite::SqliteCertificateStore::open(folder.path() / "store.sqlite", certificates);
    LosingTheAddRace racing(*store, *other);
    test::writeFile(resourceFolder / "Penwell.dat", test::demoCertificateDer());
    const auto wrapped =
        wrapAESKey(Bytes(48, 0xa5), *certificates, racing, resources, aes, defaultPin());
    ASSERT_TRUE(wrapped.has_value());
    EXPECT_EQ(test::decryptPkcs1(test::demoPrivateKey().get(), *wrapped), Bytes(48, 0xa5));
}

}  // namespace
}  // namespace penwell
