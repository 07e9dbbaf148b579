// The request rules as a table: each row starts from a request in some state, takes one step
// at one time, and states the answer and everything the step writes.
#include <gtest/gtest.h>

#include <functional>

#include "penwell/service/Rules.h"

namespace penwell::service {
namespace {

constexpr TimeMs kCreated = 1'000'000;
constexpr TimeMs kExpires = 2'000'000;
constexpr TimeMs kNow = 1'500'000;

Request twoSigners() {
    Request request;
    request.id = "req_1";
    request.documentId = "doc_1";
    request.createdAt = kCreated;
    request.expiresAt = kExpires;
    Signer ann;
    ann.id = 11;
    ann.position = 1;
    ann.name = "Ann Example";
    Signer bob;
    bob.id = 12;
    bob.position = 2;
    bob.name = "Bob Example";
    request.signers = {ann, bob};
    return request;
}

Request with(SignerState first, SignerState second, RequestState state = RequestState::kPending) {
    Request request = twoSigners();
    request.signers[0].state = first;
    request.signers[1].state = second;
    request.state = state;
    return request;
}

using W = SignerState;
const Actor kActor{"192.0.2.7", "TestAgent/1"};

using Step = std::function<Result<Change>(const Request&)>;

/// One row: the request before, the step, and what it must answer and leave behind.
///   answer  "" when it succeeds, else "<code>: <message>"
///   writes  "<events, space-separated> | <webhook events>"
///   after   "<request state> <signer 1> <signer 2>"
struct Case {
    const char* name;
    Request before;
    Step step;
    std::string answer;
    std::string writes;
    std::string after;
};

Step open(int p, TimeMs t = kNow) {
    return [=](const Request& r) { return openLink(r, p, kActor, t); };
}
Step signAs(int p, TimeMs t = kNow) {
    return [=](const Request& r) { return sign(r, p, "ab", kActor, t); };
}
Step declineAs(int p, std::string reason) {
    return [=](const Request& r) { return decline(r, p, reason, kActor, kNow); };
}
Step cancelAt(TimeMs t) {
    return [=](const Request& r) { return cancel(r, kActor, t); };
}
Step code(bool right) {
    return [=](const Request& r) { return enterAccessCode(r, 1, right, kActor, kNow); };
}

std::vector<Case> cases() {
    Request coded = with(W::kOpen, W::kWaiting);
    coded.signers[0].hasAccessCode = true;
    Request codePassed = coded;
    codePassed.signers[0].codePassedAt = kNow - 1;
    const auto ww = with(W::kWaiting, W::kWaiting);
    const auto ow = with(W::kOpen, W::kWaiting);
    const auto so = with(W::kSigned, W::kOpen);
    const auto ss = with(W::kSigned, W::kSigned, RequestState::kCompleted);
    const std::string waitAnn = "conflict: Waiting for Ann Example to sign first";
    const std::string expired = "conflict: This request expired";
    return {
        {"first signer opens", ww, open(1), "", "link.opened | signer.opened",
         "pending open waiting"},
        {"second signer opens too early", ww, open(2), waitAnn, "|", "pending waiting waiting"},
        {"second waits while the first has only opened", ow, open(2), waitAnn, "|",
         "pending open waiting"},
        {"opening again is only logged", ow, open(1), "", "link.opened |", "pending open waiting"},
        {"second opens after the first signed", with(W::kSigned, W::kWaiting), open(2), "",
         "link.opened | signer.opened", "pending signed open"},
        {"first signs", ow, signAs(1), "", "signer.signed | signer.signed",
         "pending signed waiting"},
        {"last signer completes", so, signAs(2), "",
         "signer.signed request.completed | signer.signed request.completed",
         "completed signed signed"},
        {"signing needs an opened link", ww, signAs(1), "conflict: The link must be opened first",
         "|", "pending waiting waiting"},
        {"a link replayed after signing", so, signAs(1), "conflict: You have already signed", "|",
         "pending signed open"},
        {"a link replayed after completion", ss, open(2), "conflict: You have already signed", "|",
         "completed signed signed"},
        {"decline ends the request", ow, declineAs(1, "Wrong amount"), "",
         "signer.declined | signer.declined", "declined declined waiting"},
        {"decline needs a reason", ow, declineAs(1, " \n"),
         "invalid: A reason is needed to decline", "|", "pending open waiting"},
        {"after a decline the link is dead",
         with(W::kSigned, W::kDeclined, RequestState::kDeclined), open(2),
         "conflict: You have declined this request", "|", "declined signed declined"},
        {"a cancelled request", with(W::kOpen, W::kWaiting, RequestState::kCancelled), open(1),
         "conflict: This request was cancelled", "|", "cancelled open waiting"},
        {"a declined request for another signer",
         with(W::kDeclined, W::kWaiting, RequestState::kDeclined), open(2),
         "conflict: This request was declined", "|", "declined declined waiting"},
        {"opening at the expiry expires", ww, open(1, kExpires), expired,
         "request.expired | request.expired", "expired waiting waiting"},
        {"one millisecond before the expiry", ww, open(1, kExpires - 1), "",
         "link.opened | signer.opened", "pending open waiting"},
        {"signing after the expiry expires", ow, signAs(1, kExpires + 5), expired,
         "request.expired | request.expired", "expired open waiting"},
        {"an expired request stays expired", with(W::kWaiting, W::kWaiting, RequestState::kExpired),
         open(1), expired, "|", "expired waiting waiting"},
        {"cancel", so, cancelAt(kNow), "", "request.cancelled | request.cancelled",
         "cancelled signed open"},
        {"cancel a completed request", ss, cancelAt(kNow),
         "conflict: Request req_1 is completed, not pending", "|", "completed signed signed"},
        {"cancel after the expiry expires", ww, cancelAt(kExpires), expired,
         "request.expired | request.expired", "expired waiting waiting"},
        {"a position the request lacks", ww, open(3), "notFound: Request req_1 has no signer 3",
         "|", "pending waiting waiting"},
        {"signing before the access code", coded, signAs(1),
         "forbidden: The access code is needed first", "|", "pending open waiting"},
        {"signing after the access code", codePassed, signAs(1), "",
         "signer.signed | signer.signed", "pending signed waiting"},
        {"a wrong access code is recorded and refused", coded, code(false),
         "forbidden: The access code is not right", "access_code.refused |",
         "pending open waiting"},
        {"the right access code", coded, code(true), "", "access_code.passed |",
         "pending open waiting"},
    };
}

std::string codeName(std::int64_t code) {
    switch (static_cast<ServiceCode>(code)) {
        case ServiceCode::conflict:
            return "conflict";
        case ServiceCode::invalid:
            return "invalid";
        case ServiceCode::notFound:
            return "notFound";
        case ServiceCode::forbidden:
            return "forbidden";
        default:
            return std::to_string(code);
    }
}

std::string writesOf(const Change& change) {
    std::string out;
    for (const auto& e : change.events) {
        out += (out.empty() ? "" : " ") + e.type;
    }
    out += out.empty() ? "|" : " |";
    for (const auto& o : change.outbox) {
        out += " " + o.event;
    }
    return out;
}

std::string stateOf(const Request& r) {
    return std::string(nameOf(r.state)) + " " + std::string(nameOf(r.signers[0].state)) + " " +
           std::string(nameOf(r.signers[1].state));
}

TEST(Rules, StepsAsATable) {
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.name);
        const Result<Change> result = c.step(c.before);
        MaybeFailure refusal = result ? result->refusal : MaybeFailure(result.error());
        const std::string answer =
            refusal ? codeName(refusal->code) + ": " + refusal->message : std::string();
        EXPECT_EQ(answer, c.answer);
        if (refusal) {
            EXPECT_EQ(refusal->domain, kServiceDomain);
        }
        // A failure writes nothing; a refusal inside a change writes what the change holds.
        EXPECT_EQ(result ? writesOf(*result) : "|", c.writes);
        EXPECT_EQ(stateOf(result ? applied(c.before, *result) : c.before), c.after);
    }
}

TEST(Rules, TimesAreTheStepsTime) {
    auto opened = openLink(with(W::kWaiting, W::kWaiting), 1, kActor, 1'234'567);
    ASSERT_TRUE(opened);
    Request request = applied(with(W::kWaiting, W::kWaiting), *opened);
    EXPECT_EQ(request.signers[0].openedAt, 1'234'567);
    // Opening again keeps the first time.
    auto again = openLink(request, 1, kActor, 1'300'000);
    ASSERT_TRUE(again);
    request = applied(request, *again);
    EXPECT_EQ(request.signers[0].openedAt, 1'234'567);

    // (A signature's time is the store's to keep: SqliteStore.AChangeWrites...)
    request.signers[0].state = W::kSigned;
    request.signers[1].state = W::kOpen;
    auto declined = decline(request, 2, "Not mine", kActor, 1'500'000);
    ASSERT_TRUE(declined);
    request = applied(request, *declined);
    EXPECT_EQ(request.signers[1].declinedAt, 1'500'000);
    EXPECT_EQ(request.signers[1].declineReason, "Not mine");
    EXPECT_EQ(request.endedAt, 1'500'000);
}

TEST(Rules, ThreeSignersAwaitTheFirstUnsigned) {
    Request request = with(W::kSigned, W::kOpen);
    Signer carol;
    carol.position = 3;
    carol.name = "Carol Example";
    request.signers.push_back(carol);
    const auto refusal = mayAct(request, 3, kNow);
    ASSERT_TRUE(refusal);
    EXPECT_EQ(refusal->message, "Waiting for Bob Example to sign first");
    EXPECT_FALSE(mayAct(request, 2, kNow));
}

TEST(Rules, ExpireIsEmptyBeforeTheTimeAndForEndedRequests) {
    EXPECT_TRUE(expire(with(W::kWaiting, W::kWaiting), kExpires - 1).empty());
    EXPECT_TRUE(
        expire(with(W::kSigned, W::kSigned, RequestState::kCompleted), kExpires + 1).empty());
    EXPECT_EQ(stateAt(with(W::kWaiting, W::kWaiting), kExpires), RequestState::kExpired);
    EXPECT_EQ(stateAt(with(W::kWaiting, W::kWaiting), kExpires - 1), RequestState::kPending);
}

}  // namespace
}  // namespace penwell::service
