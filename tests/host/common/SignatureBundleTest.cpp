// The one export service, on an example trace replayed through a real controller: what a Done
// makes opens on the receiver's side, and each way it can fail is one failure, naming its
// cause, with nothing made.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "penwell/format/EvidencePayload.h"
#include "penwell/format/PointStream.h"
#include "penwell/host/common/Replay.h"
#include "penwell/host/common/SignatureBundle.h"
#include "penwell/platform/Cms.h"
#include "penwell/platform/filesystem/StagedFile.h"
#include "penwell/receiver/OpenSignature.h"
#include "penwell/receiver/Sealed.h"
#include "penwell/secure/StrokeRecord.h"
#include "support/CertificateFixtures.h"

namespace penwell::host {
namespace {

using ::testing::HasSubstr;

const std::filesystem::path kSource = PENWELL_SOURCE_DIR;
const std::filesystem::path kDemo = kSource / "demo-certificate";
const KeyLocation kDemoKey(kDemo / "demo-private-key.pem");

/// The finger example replayed; `use` runs at its export, on the live controller.
void withExample(const std::optional<std::filesystem::path>& resources,
                 const std::function<void(Replay&)>& use) {
    const Trace trace = loadTrace(kSource / "examples" / "finger-signature.json").value();
    ReplaySettings settings;
    settings.services.memoryStore = true;
    settings.services.resources = resources;
    Replay replay(trace, settings);
    replay.run([&] { use(replay); });
}

TEST(SignatureBundle, ADoneOpensOnTheReceiversSideWithOneRecordInEveryOutput) {
    withExample(kDemo, [](Replay& replay) {
        PenwellViewController& c = replay.controller();
        BundleSettings settings;
        settings.files = {{ExportFormat::PNG, 2.0, true, true}};
        settings.fields = {{"reason", "delivery received"}};
        const Result<SignatureBundle> bundle = exportBundle(c, replay.graphics(), settings);
        ASSERT_TRUE(bundle) << bundle.error().message;

        const Bytes stream = encodePointStream(recordOf(c.lines()));
        const auto receiver = receiver::PrivateKey::fromFile(kDemoKey);
        ASSERT_TRUE(receiver);
        const Result<Bytes> blob = receiver->unwrapKeyBlob(bundle->key, "key");
        ASSERT_TRUE(blob) << blob.error().message;
        const Result<Bytes> record = receiver::decryptRecord(*blob, bundle->data, "data");
        ASSERT_TRUE(record) << record.error().message;
        EXPECT_EQ(*record, stream);

        const Result<Bytes> payload = receiver::openSealed(bundle->evidence, "evidence", kDemoKey);
        ASSERT_TRUE(payload) << payload.error().message;
        const Result<EvidencePayload> evidence = decodeEvidencePayload(*payload, "evidence");
        ASSERT_TRUE(evidence) << evidence.error().message;
        EXPECT_EQ(evidence->record, stream);
        EXPECT_FALSE(evidence->documentSha256);
        ASSERT_EQ(evidence->fields.size(), 1u);
        EXPECT_EQ(evidence->fields[0].value, "delivery received");

        const Bytes pngSignature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
        ASSERT_GE(bundle->png.size(), pngSignature.size());
        EXPECT_TRUE(std::equal(pngSignature.begin(), pngSignature.end(), bundle->png.begin()));
        ASSERT_EQ(bundle->files.size(), 1u);
        EXPECT_EQ(bundle->files[0].bytes, c.exportSignature(settings.files[0])->bytes);
        EXPECT_EQ(bundle->samples, sampleCount(recordOf(c.lines())));
        EXPECT_EQ(bundle->sigma, c.calculateSigma());
        EXPECT_FALSE(bundle->signedDocument);
    });
}

// Each failure is the bundle's one answer; a command and a host print it as it is.
TEST(SignatureBundle, EachFailureIsOneLineNamingItsCause) {
    const test::TempDir scratch;
    const std::filesystem::path& empty = scratch.path();
    const Failure refused{"PenwellDocument", 101, "in.pdf: refused"};
    const struct {
        const char* what;
        std::optional<std::filesystem::path> resources;
        std::function<void(BundleSettings&, PenwellViewController&)> set;
        std::string domain;
        std::string says;
    } cases[] = {
        {"no certificate anywhere", empty,
         [&](BundleSettings& s, PenwellViewController&) { s.resources = empty; },
         kBundleErrorDomain, empty.string() + ": no Penwell.dat there"},
        {"no certificate, the folder not known", empty, {}, kBundleErrorDomain,
         "no usable Penwell.dat"},
        {"a recipient that is no certificate", kDemo,
         [](BundleSettings& s, PenwellViewController&) {
             s.record = false;
             s.recipients = {Bytes{1, 2, 3}};
         },
         kCmsErrorDomain, "recipient"},
        {"the document refused", kDemo,
         [&](BundleSettings& s, PenwellViewController&) {
             s.signDocument = [&](PenwellViewController&, const Bytes&) -> Result<Bytes> {
                 return refused;
             };
         },
         "PenwellDocument", "in.pdf: refused"},
        {"no signature on the pad", kDemo,
         [](BundleSettings& s, PenwellViewController& c) {
             s.name = "t.json";
             c.clearSignature();
         },
         kBundleErrorDomain,
         "t.json: not a signature yet: 0 strokes with 0 samples, and more than MinSigPoints"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        withExample(c.resources, [&](Replay& replay) {
            BundleSettings settings;
            if (c.set) {
                c.set(settings, replay.controller());
            }
            const Result<SignatureBundle> bundle =
                exportBundle(replay.controller(), replay.graphics(), settings);
            ASSERT_FALSE(bundle);
            EXPECT_EQ(bundle.error().domain, c.domain);
            EXPECT_THAT(bundle.error().message, HasSubstr(c.says));
            EXPECT_EQ(bundle.error().message.find('\n'), std::string::npos);
        });
    }
}

TEST(SignatureBundle, WriteBundleWritesEveryFileOrNone) {
    withExample(kDemo, [](Replay& replay) {
        BundleSettings settings;
        Result<SignatureBundle> bundle =
            exportBundle(replay.controller(), replay.graphics(), settings);
        ASSERT_TRUE(bundle) << bundle.error().message;
        bundle->signedDocument = Bytes{'%', 'P', 'D', 'F'};
        const test::TempDir scratch;
        const std::filesystem::path& folder = scratch.path();
        const Result<std::string> name = writeBundle(*bundle, folder);
        ASSERT_TRUE(name) << name.error().message;
        const Bytes* expected[] = {&bundle->data, &bundle->key, &bundle->png, &bundle->evidence};
        for (std::size_t i = 0; i < std::size(kBundleExtensions); ++i) {
            const auto written =
                filesystem::readFile(folder / (*name + kBundleExtensions[i]), 1 << 24, "");
            ASSERT_TRUE(written);
            EXPECT_EQ(*written, *expected[i]) << kBundleExtensions[i];
        }
        EXPECT_TRUE(std::filesystem::exists(folder / (*name + kSignedDocumentExtension)));
        // A folder that is a file: refused, and nothing is left beside it.
        const std::filesystem::path notAFolder = folder / (*name + ".data");
        EXPECT_FALSE(writeBundle(*bundle, notAFolder));
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder),
                                std::filesystem::directory_iterator()),
                  5);
    });
}

}  // namespace
}  // namespace penwell::host
