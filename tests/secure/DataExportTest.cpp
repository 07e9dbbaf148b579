#include <gtest/gtest.h>

#include "penwell/platform/openssl/OpenSslCrypto.h"
#include "penwell/secure/AES.h"
#include "penwell/secure/StrokeRecord.h"
#include "support/CertificateFixtures.h"
#include "support/TestPad.h"

namespace penwell {
namespace {

/// A signed pad whose store and resource folder live in a temporary folder.
class DataExport : public ::testing::Test {
protected:
    void SetUp() override {
        pad.useScratchCertificates(folder.path());
        ASSERT_TRUE(pad.controller->restoreSignature(strokes));
    }

    test::TempDir folder;
    std::filesystem::path resources = folder.path() / "resources";
    testing::TestPad pad;
    std::vector<Stroke> strokes = {
        {_point({10.9, 20.2}, 0, 0.5), _point({30, 40}, 8, 0.75), _point({-3.7, 41}, 16, 1.0)},
        {_point({100, 50}, 0, 0), _point({101, 50}, 4, 0), _point({100, 51}, 4, 0),
         _point({100, 50}, 4, 0)},
        {_point({7, 7}, 0, 0), _point({8, 9}, 11, 0), _point({9, 9}, 20, 0), _point({12, 9}, 29, 0),
         _point({15, 10}, 38, 0), _point({20, 10}, 47, 0)},
    };
};

TEST_F(DataExport, RoundTripThroughTheReceiversPrivateKey) {
    std::optional<Bytes> wrapped;
    const auto record = pad.controller->getSignatureData(&wrapped);
    ASSERT_TRUE(record);
    ASSERT_TRUE(wrapped);
    EXPECT_EQ(wrapped->size(), 256u);
    const Bytes blob = test::decryptPkcs1(test::demoPrivateKey().get(), *wrapped);
    ASSERT_EQ(blob.size(), 48u);
    const Bytes key(blob.begin(), blob.begin() + 32), iv(blob.begin() + 32, blob.end());
    EXPECT_EQ(AES(openssl::makeCrypto()).decryptedDataForData(*record, key, iv),
              encodePointStream(recordOf(strokes)));
    EXPECT_EQ(pad.controller->lines(), strokes);  // the signature stays

    // The first export installed the certificate; the second finds it without the resource.
    std::filesystem::remove_all(resources);
    std::optional<Bytes> again;
    const auto second = pad.controller->getSignatureData(&again);
    ASSERT_TRUE(second && again);
    EXPECT_NE(*again, *wrapped);
    EXPECT_NE(*second, *record);
}

TEST_F(DataExport, NilWithoutOutParameterOrSignature) {
    EXPECT_FALSE(pad.controller->getSignatureData(nullptr));
    pad.controller->setMinSigPoints(1000);
    std::optional<Bytes> wrapped = Bytes{9};
    EXPECT_FALSE(pad.controller->getSignatureData(&wrapped));
    EXPECT_EQ(wrapped, Bytes{9});
    EXPECT_FALSE(std::filesystem::exists(folder.path() / "store.sqlite"));
}

TEST_F(DataExport, AnUnpinnedResourceGivesNoKeyButStillTheRecord) {
    const auto other = test::generateRsaKey();
    test::writeFile(resources / "Penwell.dat",
                    test::makeSelfSignedDer(other.get(), {{"CN", "Keyloft"}}));
    std::optional<Bytes> wrapped = Bytes{1};
    EXPECT_TRUE(pad.controller->getSignatureData(&wrapped));
    EXPECT_FALSE(wrapped);

    std::filesystem::remove_all(resources);  // nothing was added, so now nothing is found
    try {
        pad.controller->getSignatureData(&wrapped);
        ADD_FAILURE() << "no assertion failure";
    } catch (const AssertionFailure& e) {
        EXPECT_STREQ(e.what(), "Penwell DAT resource missing");
    }
}

}  // namespace
}  // namespace penwell
