#include "secure/KeyWrap.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/Certificates.h"
#include "platform/Errors.h"
#include "platform/filesystem/DirectoryBundle.h"
#include "platform/openssl/OpenSslCertificates.h"
#include "platform/openssl/OpenSslCrypto.h"
#include "platform/sqlite/SqliteCertificateStore.h"
#include "secure/AES.h"
#include "support/CertificateFixtures.h"

namespace penwell {
namespace {

Bytes keyBlob() {
    Bytes blob(48);
    for (std::size_t i = 0; i < blob.size(); ++i) {
        blob[i] = static_cast<std::uint8_t>(0xa0 ^ i);
    }
    return blob;
}

PinnedCertificate pinFor(ByteView der, std::string label = "Keyloft") {
    PinnedCertificate pin{std::move(label), {}};
    const Bytes digest = test::sha1(der);
    std::copy(digest.begin(), digest.end(), pin.sha1.begin());
    return pin;
}

class KeyWrapTest : public ::testing::Test {
protected:
    test::TempDir folder;
    std::filesystem::path resourceFolder = folder.path() / "resources";
    std::shared_ptr<CertificateServices> certificates = openssl::makeCertificateServices();
    std::shared_ptr<sqlite::SqliteCertificateStore> store =
        sqlite::SqliteCertificateStore::open(folder.path() / "store.sqlite", certificates);
    filesystem::DirectoryBundle resources{resourceFolder};
    AES aes{openssl::makeCrypto()};

    void SetUp() override {
        ASSERT_NE(store, nullptr);
        std::filesystem::create_directory(resourceFolder);
    }

    void installResource(ByteView contents) {
        test::writeFile(resourceFolder / "Penwell.dat", contents);
    }

    std::optional<Bytes> wrap(const PinnedCertificate& pin = defaultPin()) {
        return wrapAESKey(keyBlob(), *certificates, *store, resources, aes, pin);
    }

    Status lookup() { return store->copyMatching(ItemClass::certificate, "Keyloft").status; }
};

TEST_F(KeyWrapTest, DefaultPinIsTheDemoCertificate) {
    const PinnedCertificate pin = defaultPin();
    EXPECT_EQ(pin.label, "Keyloft");
    EXPECT_EQ(test::toHex(pin.sha1), PENWELL_PINNED_SHA1);
}

TEST_F(KeyWrapTest, Sha1HexParsing) {
    const auto parsed = parseSha1Hex("00112233445566778899AABBCCDDEEFFaabbccdd");
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(test::toHex(*parsed), "00112233445566778899aabbccddeeffaabbccdd");
    EXPECT_FALSE(parseSha1Hex("00112233445566778899aabbccddeeffaabbccd").has_value());
    EXPECT_FALSE(parseSha1Hex("00112233445566778899aabbccddeeffaabbccddee").has_value());
    EXPECT_FALSE(parseSha1Hex("g0112233445566778899aabbccddeeffaabbccdd").has_value());
    EXPECT_FALSE(parseSha1Hex("").has_value());
}

TEST_F(KeyWrapTest, FirstWrapInstallsTheResourceAndUnwrapsWithTheDemoKey) {
    installResource(test::demoCertificateDer());
    ASSERT_EQ(lookup(), errSecItemNotFound);

    const auto wrapped = wrap();
    ASSERT_TRUE(wrapped.has_value());
    EXPECT_EQ(wrapped->size(), 256u);
    EXPECT_EQ(test::decryptPkcs1(test::demoPrivateKey().get(), *wrapped), keyBlob());

    const auto stored = store->copyMatching(ItemClass::certificate, "Keyloft");
    ASSERT_EQ(stored.status, errSecSuccess);
    EXPECT_EQ(stored.certificate->derData(), test::demoCertificateDer());
}

TEST_F(KeyWrapTest, LaterWrapsUseTheStoredCertificateWithoutTheResource) {
    installResource(test::demoCertificateDer());
    const auto first = wrap();
    ASSERT_TRUE(first.has_value());

    std::filesystem::remove_all(resourceFolder);
    const auto second = wrap();
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(second->size(), 256u);
    EXPECT_NE(*first, *second) << "PKCS#1 v1.5 padding is randomised";
    EXPECT_EQ(test::decryptPkcs1(test::demoPrivateKey().get(), *second), keyBlob());
}

TEST_F(KeyWrapTest, FingerprintDifferingInAnyByteGivesNilAndAddsNothing) {
    installResource(test::demoCertificateDer());
    for (const std::size_t index : {std::size_t{0}, std::size_t{19}}) {
        PinnedCertificate pin = defaultPin();
        pin.sha1[index] ^= 0x01;
        EXPECT_FALSE(wrap(pin).has_value()) << "byte " << index;
        EXPECT_EQ(lookup(), errSecItemNotFound);
    }
}

TEST_F(KeyWrapTest, SubjectMustMatchExactlyIncludingCase) {
    const auto key = test::generateRsaKey(2048);
    const Bytes der = test::makeSelfSignedDer(key.get(), {{"CN", "keyloft"}});
    installResource(der);
    // The fingerprint matches, so only the subject test can refuse it.
    EXPECT_FALSE(wrap(pinFor(der)).has_value());
    EXPECT_EQ(store->copyMatching(ItemClass::certificate, "keyloft").status, errSecItemNotFound);
}

TEST_F(KeyWrapTest, AnotherPinnedCertificateWrapsForItsOwnKey) {
    const auto key = test::generateRsaKey(1024);
    const Bytes der = test::makeSelfSignedDer(key.get(), {{"CN", "Keyloft"}});
    installResource(der);
    const auto wrapped = wrap(pinFor(der));
    ASSERT_TRUE(wrapped.has_value());
    EXPECT_EQ(wrapped->size(), 128u);
    EXPECT_EQ(test::decryptPkcs1(key.get(), *wrapped), keyBlob());
}

TEST_F(KeyWrapTest, ResourceThatIsNoCertificateGivesNilAndAddsNothing) {
    installResource(asBytes("-----BEGIN NONSENSE-----"));
    EXPECT_FALSE(wrap().has_value());
    EXPECT_EQ(lookup(), errSecItemNotFound);
}

TEST_F(KeyWrapTest, NoEntryAndNoResourceIsAProgrammingError) {
    try {
        static_cast<void>(wrap());
        FAIL() << "expected AssertionFailure";
    } catch (const AssertionFailure& failure) {
        EXPECT_STREQ(failure.what(), "Penwell DAT resource missing");
    }
}

TEST_F(KeyWrapTest, PlantedStoredCertificateIsRefusedAndLeftAlone) {
    const auto otherKey = test::generateRsaKey(2048);
    const Bytes planted = test::makeSelfSignedDer(otherKey.get(), {{"CN", "Keyloft"}});
    ASSERT_EQ(store->add(*certificates->createCertificateWithData(planted)).status, errSecSuccess);
    installResource(test::demoCertificateDer());

    EXPECT_FALSE(wrap().has_value());
    EXPECT_FALSE(wrap().has_value()) << "refused on every call, not just the first";
    const auto stored = store->copyMatching(ItemClass::certificate, "Keyloft");
    ASSERT_EQ(stored.status, errSecSuccess);
    EXPECT_EQ(stored.certificate->derData(), planted) << "nothing replaced";
    const auto demo = certificates->createCertificateWithData(test::demoCertificateDer());
    EXPECT_EQ(store->add(*demo).status, errSecSuccess) << "the demo certificate was never added";
}

TEST_F(KeyWrapTest, KeyBlobTooLongForTheModulusGivesNil) {
    installResource(test::demoCertificateDer());
    EXPECT_FALSE(wrapAESKey(Bytes(246), *certificates, *store, resources, aes).has_value());
    EXPECT_TRUE(wrapAESKey(Bytes(245), *certificates, *store, resources, aes).has_value());
}

// A store that answers from memory and can be told to refuse adds.
class FakeStore final : public CertificateStore {
public:
    std::shared_ptr<Certificate> entry;
    Status addStatus = errSecSuccess;
    int adds = 0;

    CopyMatchingResult copyMatching(ItemClass, std::string_view) const override {
        if (entry == nullptr) {
            return {errSecItemNotFound, nullptr};
        }
        return {errSecSuccess, entry};
    }
    AddResult add(const Certificate&) override {
        ++adds;
        return {addStatus, addStatus == errSecSuccess ? Bytes(16, 1) : Bytes{}};
    }
};

TEST_F(KeyWrapTest, StoredCertificateWithTheWrongSubjectIsRefused) {
    // A store may hand back a certificate whose subject does not match the label it was found by.
    FakeStore fake;
    const auto key = test::generateRsaKey(1024);
    const Bytes der = test::makeSelfSignedDer(key.get(), {{"CN", "Someone else"}});
    fake.entry = certificates->createCertificateWithData(der);
    installResource(test::demoCertificateDer());

    EXPECT_FALSE(
        wrapAESKey(keyBlob(), *certificates, fake, resources, aes, pinFor(der)).has_value());
    EXPECT_EQ(fake.adds, 0);
}

TEST_F(KeyWrapTest, StoreRefusingTheAddGivesNil) {
    FakeStore fake;
    fake.addStatus = errSecIO;
    installResource(test::demoCertificateDer());
    EXPECT_FALSE(wrapAESKey(keyBlob(), *certificates, fake, resources, aes).has_value());
    EXPECT_EQ(fake.adds, 1);
}

}  // namespace
}  // namespace penwell
