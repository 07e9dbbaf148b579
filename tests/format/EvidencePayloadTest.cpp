#include "penwell/format/EvidencePayload.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "penwell/format/FormatError.h"

namespace penwell {
namespace {

using ::testing::HasSubstr;

EvidencePayload sample() {
    EvidencePayload p;
    p.record = {2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};  // two empty strokes
    p.pointerKinds = {PointerKind::stylus, PointerKind::mouse};
    p.padWidth = 300;
    p.padHeight = 150;
    p.alpha = 1;
    p.lineWidth = 3;
    p.smoothing = true;
    p.sigma = std::nan("");
    p.documentSha256.emplace();
    p.documentSha256->fill(0xab);
    p.captureTime = std::chrono::sys_days{std::chrono::year{9999} / 12 / 31};
    p.software = "Penwell 0.1.0";
    p.fields = {{"a", "x"}, {"b", "Zoë 𝄞 \xf4\x8f\xbf\xbf"}};
    return p;
}

TEST(EvidencePayload, WhatIsWrittenReadsBackAndWritesTheSameBytes) {
    const Bytes der = encodeEvidencePayload(sample()).value();
    const EvidencePayload back = decodeEvidencePayload(der, "p").value();
    EXPECT_EQ(back.fields, sample().fields);
    EXPECT_EQ(back.pointerKinds, sample().pointerKinds);
    EXPECT_TRUE(std::isnan(back.sigma));
    EXPECT_EQ(back.captureTime, sample().captureTime);
    EXPECT_EQ(encodeEvidencePayload(back).value(), der);
}

// What the encoder refuses it would otherwise have sealed for a receiver that cannot print it
// (JSON refuses bytes that are not UTF-8) or cannot tell two fields apart.
TEST(EvidencePayload, NothingIsWrittenThatTheReaderWouldRefuse) {
    using Change = std::function<void(EvidencePayload&)>;
    const std::pair<Change, std::string> cases[] = {
        {[](EvidencePayload& p) { p.fields[0].name = "\xff"; },
         "text field 0 (not UTF-8): its name is not UTF-8"},
        {[](EvidencePayload& p) { p.fields[1].value = "caf\xc3"; }, "its value is not UTF-8"},
        {[](EvidencePayload& p) { p.fields[1].value = "\xc0\xaf"; }, "its value is not UTF-8"},
        {[](EvidencePayload& p) { p.fields[1].value = "\xed\xa0\x80"; }, "its value is not UTF-8"},
        {[](EvidencePayload& p) { p.fields[1].value = "\xf4\x90\x80\x80"; }, "not UTF-8"},
        {[](EvidencePayload& p) { p.fields[1].name = "a"; }, "text field 1 (\"a\") repeats a name"},
        {[](EvidencePayload& p) { p.fields[0].name = ""; }, "text field 0 has no name"},
        {[](EvidencePayload& p) { p.fields.resize(33, {"n", ""}); }, "33 text fields, at most 32"},
        {[](EvidencePayload& p) { p.software = "Penwell \x80"; }, "software"},
        {[](EvidencePayload& p) { p.pointerKinds.pop_back(); }, "not one per stroke"},
        {[](EvidencePayload& p) { p.captureTime += std::chrono::days{1}; }, "captureTime"},
    };
    for (const auto& [change, message] : cases) {
        EvidencePayload p = sample();
        change(p);
        const Result<Bytes> der = encodeEvidencePayload(p);
        ASSERT_FALSE(der) << message;
        EXPECT_EQ(der.error().domain, kFormatErrorDomain);
        EXPECT_THAT(der.error().message, HasSubstr(message));
    }
}

}  // namespace
}  // namespace penwell
