// Two guards of a signing link: wrong access codes lock it after kAccessCodeAttempts, counted
// by the store from the trail (so a new store, as after a restart, counts the same), and a
// signature made on a revision that is no longer the latest is refused.
#include <gtest/gtest.h>

#include "StoreFixtures.h"
#include "penwell/service/Rules.h"
#include "penwell/service/SigningService.h"
#include "support/CertificateFixtures.h"

namespace penwell::service {
namespace {

using testing::openStore;
using testing::pdfBytes;

constexpr TimeMs kLinkNow = 1'500'000;
const Actor kVisitor{"192.0.2.7", "TestAgent/1"};

Request signers(SignerState first, SignerState second) {
    Request request;
    request.id = "req_1";
    request.expiresAt = 2'000'000;
    for (const SignerState state : {first, second}) {
        Signer signer;
        signer.position = static_cast<int>(request.signers.size()) + 1;
        signer.id = 10 + signer.position;
        signer.name = "Signer " + std::to_string(signer.position);
        signer.state = state;
        request.signers.push_back(signer);
    }
    return request;
}

std::string answerOf(const Result<Change>& change) {
    if (!change) {
        return std::to_string(change.error().code) + ": " + change.error().message;
    }
    return change->refusal ? std::to_string(change->refusal->code) + ": " + change->refusal->message
                           : "";
}

TEST(LinkGuards, ASignatureOnARevisionThatIsNoLongerTheLatestIsRefused) {
    const Request second = signers(SignerState::kSigned, SignerState::kOpen);
    const struct {
        std::optional<int> shown;
        std::string answer;
    } cases[] = {
        {1, ""},
        {std::nullopt, ""},
        {0, "3: The document changed after it was shown: open the link again"},
        {2, "3: The document changed after it was shown: open the link again"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(answerOf(sign(second, 2, "ab", kVisitor, kLinkNow, c.shown)), c.answer)
            << (c.shown ? *c.shown : -1);
    }
}

TEST(LinkGuards, WrongAccessCodesLockTheLinkAcrossStores) {
    test::TempDir folder;
    auto service = std::make_shared<SigningService>(
        openStore(folder.path()), [] { return kLinkNow; }, 1000);
    const Bytes pdf = pdfBytes(100);
    auto document = service->addDocument(pdf, 1);
    ASSERT_TRUE(document) << document.error().message;
    RequestSpec spec;
    spec.documentId = document->id;
    spec.expiresAt = kLinkNow + 1000;
    spec.signers.push_back({"Ann Example", "", "{}", "", "", "4711"});
    auto created = service->createRequest(spec, kVisitor);
    ASSERT_TRUE(created) << created.error().message;
    const std::string token = created->linkTokens[0];
    ASSERT_TRUE(service->openLink(token, kVisitor));

    for (int i = 1; i < kAccessCodeAttempts; ++i) {
        const MaybeFailure wrong = service->enterAccessCode(token, "0000", kVisitor);
        ASSERT_TRUE(wrong);
        EXPECT_EQ(wrong->message, "The access code is not right");
    }
    // Another store on the folder (another process, or this one restarted) counts the same.
    SigningService again(
        openStore(folder.path()), [] { return kLinkNow; }, 1000);
    EXPECT_EQ(again.enterAccessCode(token, "0000", kVisitor)->message,
              "The access code is not right");
    for (SigningService* s : {&again, service.get()}) {
        const MaybeFailure right = s->enterAccessCode(token, "4711", kVisitor);
        ASSERT_TRUE(right);
        EXPECT_EQ(right->message, "This link is locked after too many wrong access codes");
    }
    auto request = again.store().request(created->request.id);
    ASSERT_TRUE(request);
    EXPECT_EQ(request->signers[0].codeRefusals, kAccessCodeAttempts);
    EXPECT_FALSE(request->signers[0].codePassedAt);
}

}  // namespace
}  // namespace penwell::service
