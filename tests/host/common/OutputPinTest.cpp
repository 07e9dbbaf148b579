// Every output a receiver or an archive keeps, byte for byte, for the example traces: the
// record (encrypted under a fixed key and IV), the pictures and the evidence payload. A change
// to an encoder, the drawing or the conversions that alters one of them fails here first; if
// the change is meant, the new digests go in with a note saying why old files still open.

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <numeric>
#include <regex>

#include "penwell/host/common/Replay.h"
#include "penwell/platform/filesystem/StagedFile.h"
#include "penwell/platform/openssl/Digests.h"
#include "penwell/platform/openssl/OpenSslCrypto.h"
#include "penwell/receiver/Sealed.h"

namespace penwell::host {
namespace {

const std::filesystem::path kSourceDir = PENWELL_SOURCE_DIR;
const std::filesystem::path kDemoDir = kSourceDir / "demo-certificate";

std::string sha256(ByteView bytes) {
    return hexDigits(openssl::sha256(bytes));
}

/// `bytes` without the number Cairo gives each surface it makes in a process (an SVG's
/// `<g id="surface14">`), which depends on what the process drew before, not on the signature.
Bytes withoutSurfaceNumbers(const Bytes& bytes) {
    const std::string text(bytes.begin(), bytes.end());
    const std::string plain = std::regex_replace(text, std::regex("id=\"surface[0-9]+\""), "");
    return Bytes(plain.begin(), plain.end());
}

/// The outputs of one replayed trace, by name.
std::map<std::string, std::string> outputsOf(const std::string& traceFile) {
    const Trace trace = loadTrace(kSourceDir / "examples" / traceFile).value();
    ReplaySettings settings;
    settings.services.memoryStore = true;
    settings.services.resources = kDemoDir;
    Replay replay(trace, settings);
    std::map<std::string, std::string> out;
    replay.run([&] {
        PenwellViewController& c = replay.controller();
        // The record: decrypted with its fresh key, then encrypted again under a fixed one.
        std::optional<Bytes> key, iv;
        const std::optional<Bytes> fresh = c._getSignatureData(&key, &iv);
        ASSERT_TRUE(fresh && key && iv);
        const auto crypto = openssl::makeCrypto();
        Bytes plain(fresh->size()), record(fresh->size() + 16);
        std::size_t n = 0, m = 0;
        ASSERT_EQ(crypto->aesCbcPkcs7(Crypto::Operation::kDecrypt, *key, *iv, *fresh, plain, n),
                  kCCSuccess);
        plain.resize(n);
        Bytes fixedKey(32), fixedIv(16);
        std::iota(fixedKey.begin(), fixedKey.end(), std::uint8_t{1});
        std::iota(fixedIv.begin(), fixedIv.end(), std::uint8_t{101});
        ASSERT_EQ(
            crypto->aesCbcPkcs7(Crypto::Operation::kEncrypt, fixedKey, fixedIv, plain, record, m),
            kCCSuccess);
        record.resize(m);
        out["record"] = sha256(record);

        const std::pair<const char*, ExportOptions> pictures[] = {
            {"png", {ExportFormat::PNG, 1.0, false, false}},
            {"png cropped x3 on background", {ExportFormat::PNG, 3.0, true, true}},
            {"svg", {ExportFormat::SVG, 1.0, false, false}},
            {"svg cropped", {ExportFormat::SVG, 1.0, true, false}},
            {"pdf cropped", {ExportFormat::PDF, 1.0, true, false}},
        };
        for (const auto& [name, options] : pictures) {
            const std::optional<ExportResult> picture = c.exportSignature(options);
            ASSERT_TRUE(picture) << name;
            out[name] =
                sha256(options.format == ExportFormat::SVG ? withoutSurfaceNumbers(picture->bytes)
                                                           : picture->bytes);
        }

        const std::optional<Image> cropped = c.getSignatureImage(true);
        ASSERT_TRUE(cropped);
        std::vector<std::uint32_t> pixels(std::size_t(cropped->width()) * cropped->height());
        cropped->copyPixels({0, 0, cropped->width(), cropped->height()}, pixels.data(),
                            cropped->width());
        out["image cropped"] = std::to_string(cropped->width()) + "x" +
                               std::to_string(cropped->height()) + " " +
                               sha256({reinterpret_cast<const std::uint8_t*>(pixels.data()),
                                       pixels.size() * sizeof(std::uint32_t)});

        EvidenceOptions evidence;
        evidence.captureTime = std::chrono::sys_days{std::chrono::year{2026} / 3 / 14} +
                               std::chrono::hours{9} + std::chrono::seconds{26};
        evidence.documentSha256.emplace();
        std::iota(evidence.documentSha256->begin(), evidence.documentSha256->end(), 7);
        evidence.fields = {{"reason", "Lieferung erhalten"}, {"signer", "Zoë Ångström"}};
        evidence.recipients = {filesystem::readFile(kDemoDir / "Penwell.dat", 1 << 20, "").value()};
        const Result<Bytes> sealed = c.exportEvidence(evidence);
        ASSERT_TRUE(sealed) << sealed.error().message;
        const Result<Bytes> payload =
            receiver::openSealed(*sealed, "evidence", kDemoDir / "demo-private-key.pem");
        ASSERT_TRUE(payload) << payload.error().message;
        out["evidence payload"] = sha256(*payload);
    });
    return out;
}

TEST(OutputPinTest, ExampleTracesGiveTheSameBytesAsEver) {
    const struct {
        const char* trace;
        std::map<std::string, std::string> outputs;
    } cases[] = {
        {"finger-signature.json",
         {{"record", "e6bb13575c9385349a1a1059319ae6dd5e19e3ed738445443e5646b11256b0d4"},
          {"png", "72e71e5916606ffc445f1a01d1d4e6ffbfb3e3acb810a64ae93deb08dd1396ae"},
          {"png cropped x3 on background",
           "5f4272043290c37d18d1bcd55e7eef5497bcef1969d89123842e767691965c79"},
          {"svg", "221421faec24cf3f125fc437a5362c42bdae85fdd5ac1c32d5050e3f2d60cf0a"},
          {"svg cropped", "71c845eaf4bff118136257b74e5d8c055d6bdb023f4fbfa8bf5e871c5e50051f"},
          {"pdf cropped", "2f7783e48c5856822c261bb4a33c4996bc52d18fc19da42e3e2b6178de197fe6"},
          {"image cropped",
           "297x145 fc4784a3e099b46406344932850a93aa5100629fcdaa792e805c62746d26b59a"},
          {"evidence payload",
           "1ffb84d2af6eda48db8b9b691a6d335bd5c1a7de32fd44ace7ac5f3a86f54322"}}},
        {"stylus-signature.json",
         {{"record", "ff613163ad5558e0f51910e8a1bc7c5eaf24c1a1f147bc52031c7dd8164a4a70"},
          {"png", "fb7770c11bd7ff90276bd969cf0342638c2697262ace3ea794f23bec7a13561b"},
          {"png cropped x3 on background",
           "215a7cb81ae600c7667791cebd23e15e492f8f2eba223f5ac69539a2313b8916"},
          {"svg", "e75d7a71192babd798d6053251539d603243ed6bfd35c895d92549e8f9ae3fc4"},
          {"svg cropped", "98e8b237fab4ffd24e36e2ee6e918321a463eb0a601484b84678aa169436e053"},
          {"pdf cropped", "706cd6236cddfa33b093578cf573319b31ff06f605763e2e50830fc91b45d4c2"},
          {"image cropped",
           "581x210 c95788ab151ccfe246834afeda13ac9d764d4386a7a23e5da8bbf957ca4b3fc1"},
          {"evidence payload",
           "83674448a4bd9f98422879954aa67c7345c0dd6316808eb38888ed31f71bf266"}}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(outputsOf(c.trace), c.outputs) << c.trace;
    }
}

}  // namespace
}  // namespace penwell::host
