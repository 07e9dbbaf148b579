// Signing links (`penwell serve --data`) driven from outside, as a signer's page drives them:
// the real binary as a child process, HTTP and the pad's WebSocket on loopback, and requests
// made through the signing service on the same folder (SQLite lets two processes share it).
// Two signers in order, each signature checked by qpdf, pdfsig and `pdf verify`, and a link
// used again after signing; the access code with its limit; a decline; an unknown token; and a
// server killed with SIGKILL mid-signature that loses none of what it acknowledged.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>

#include "pdf/pki/RevocationServer.h"
#include "pdf/pki/TestPki.h"
#include "pdf/pki/TsaServer.h"
#include "penwell/host/web/tests/ServeProcess.h"
#include "penwell/host/web/tests/ServerFixture.h"
#include "penwell/host/web/tests/TestPdf.h"
#include "penwell/platform/openssl/Digests.h"
#include "penwell/service/SigningService.h"
#include "penwell/service/sqlite/SqliteSigningStore.h"
#include "support/CertificateFixtures.h"
#include "support/Shell.h"

namespace penwell::web {
namespace {

namespace fs = std::filesystem;
using servertest::askHttp;
using servertest::Client;
using servertest::ServeProcess;
using ::testing::HasSubstr;
using Json = nlohmann::json;
using Response = servertest::http::response<servertest::http::string_body>;

std::string sha256Hex(const std::string& bytes) {
    return hexDigits(openssl::sha256(
        ByteView(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size())));
}

test::Shell run(const std::string& command) {
    return test::runCombined("timeout 60 " + command);
}

std::size_t occurrences(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

/// A signer's page on its pad's WebSocket: numbered messages, kept to be sent again.
struct Page {
    Page(std::uint16_t port, const std::string& token, const std::string& resume = {})
        : ws(port, {}, resume.empty() ? "" : "?resume=" + resume, "/s/" + token + "/ws") {}

    void send(Json message) {
        message["seq"] = ++seq;
        sent.push_back(message.dump());
        ws.send(sent.back());
    }
    /// A mouse stroke of 22 samples at height `y`, from page time `t` on.
    void stroke(double y, double t) {
        const auto at = [&](int i) {
            return Json::array({Json::array({t + i * 0.004, 10.0 + i * 5, y, 0.5})});
        };
        send({{"type", "down"}, {"pointer", "mouse"}, {"samples", at(0)}});
        for (int i = 1; i <= 20; ++i) {
            send({{"type", "move"}, {"pointer", "mouse"}, {"samples", at(i)}});
        }
        send({{"type", "up"}, {"pointer", "mouse"}, {"samples", at(21)}});
    }
    /// The server's next state that has taken every message up to `upTo`.
    std::optional<Json> takenUpTo(std::uint64_t upTo) {
        return ws.until([&](const Json& m) {
            return m["type"] == "state" && m["seq"].get<std::uint64_t>() >= upTo;
        });
    }
    std::optional<Json> done() {
        send({{"type", "done"}});
        return ws.until([](const Json& m) { return m["type"] == "done"; });
    }

    Client ws;
    std::uint64_t seq = 0;
    std::vector<std::string> sent;  // sent[i] has number i + 1
};

/// The samples the pad takes from the first `upTo` of these messages: a down's and each
/// move's (an up ends the stroke where the last move left it).
std::size_t inkSamples(const std::vector<std::string>& sent, std::size_t upTo) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < std::min(upTo, sent.size()); ++i) {
        const Json message = Json::parse(sent[i]);
        if (message["type"] == "down" || message["type"] == "move") {
            n += message["samples"].size();
        }
    }
    return n;
}

class SigningLinks : public ::testing::Test {
protected:
    SigningLinks() {
        const test::PrivateKey key = test::generateRsaKey();
        const Bytes certificate = test::makeSelfSignedDer(key.get(), {{"CN", "Signing desk"}});
        test::writeFile(at("operator.pem"), test::keyPem(key.get()));
        test::writeFile(at("operator.crt"), test::certificatePem(certificate));
        fs::create_directories(at("pdfjs/build"));
        test::writeFile(at("pdfjs/build/pdf.js"), std::string("// pdf.js"));
        test::writeFile(at("pdfjs/build/pdf.worker.js"), std::string("// worker"));
        auto store = service::sqlite::SqliteSigningStore::open(at("data"));
        EXPECT_TRUE(store) << store.error().message;
        signing = std::make_shared<service::SigningService>(std::move(*store),
                                                            service::systemClock(), 1000);
        const std::string pdf = document();
        auto added = signing->addDocument(
            ByteView(reinterpret_cast<const std::uint8_t*>(pdf.data()), pdf.size()), 1);
        EXPECT_TRUE(added) << added.error().message;
        documentId = added->id;
        start();
    }

    fs::path at(const std::string& name) const { return folder.path() / name; }

    /// serve on the store's folder, signing with `key` and `cert` (files in the test's folder).
    void start(const std::vector<std::string>& more = {}, const std::string& key = "operator.pem",
               const std::string& cert = "operator.crt") {
        std::vector<std::string> arguments{"--demo",
                                           "--data",
                                           at("data").string(),
                                           "--sign-key",
                                           at(key).string(),
                                           "--sign-cert",
                                           at(cert).string(),
                                           "--resources",
                                           PENWELL_SOURCE_DIR "/demo-certificate",
                                           "--pdfjs",
                                           at("pdfjs").string()};
        arguments.insert(arguments.end(), more.begin(), more.end());
        server.reset();
        server = std::make_unique<ServeProcess>(PENWELL_TOOL, arguments);
        ASSERT_NE(server->port(), 0);
    }

    /// A request for these signers (name, access code), each placed on page 1 below the last.
    service::CreatedRequest create(const std::vector<std::pair<std::string, std::string>>& who) {
        service::RequestSpec spec;
        spec.documentId = documentId;
        spec.expiresAt = service::systemClock()() + 3'600'000;
        spec.metadata = R"({"ref":"T-42"})";
        int n = 0;
        for (const auto& [name, code] : who) {
            service::SignerSpec signer;
            signer.name = name;
            signer.accessCode = code;
            signer.reason = "Contract 42";
            signer.location = "Branch 7";
            signer.placement = Json{{"page", 1}, {"rect", {300, 100 + 120 * n++, 200, 80}}}.dump();
            spec.signers.push_back(signer);
        }
        auto created = signing->createRequest(spec, {"192.0.2.1", "back office"});
        EXPECT_TRUE(created) << created.error().message;
        return *created;
    }

    Response http(const std::string& method, const std::string& target,
                  const std::string& body = {}) {
        const std::string more =
            body.empty() ? "" : "Content-Length: " + std::to_string(body.size()) + "\r\n";
        auto answer = askHttp(server->port(),
                              servertest::request(server->port(), method, target, more) + body);
        EXPECT_TRUE(answer) << method << " " << target << ": no answer";
        return answer ? *answer : Response{};
    }
    /// The page's settings for a link, as its config.js sets them.
    Json linkSettings(const std::string& token) {
        const std::string script = http("GET", "/s/" + token + "/config.js").body();
        const auto at = script.find("window.penwellConfig.link = ");
        if (at == std::string::npos) {
            ADD_FAILURE() << "no link settings in " << script.substr(0, 200);
            return {};
        }
        const std::string rest = script.substr(at + 28);
        return Json::parse(rest.substr(0, rest.find(";\n")));
    }
    /// Opens the link's page and its document as a browser does: the document's SHA-256.
    std::string openAndShow(const std::string& token) {
        EXPECT_EQ(http("GET", "/s/" + token + "/").result_int(), 200);
        const Response pdf = http("GET", "/s/" + token + "/document.pdf");
        EXPECT_EQ(pdf.result_int(), 200);
        return sha256Hex(pdf.body());
    }
    /// Signs on the link's pad: two strokes, Done; the Done reply.
    std::optional<Json> sign(const std::string& token) {
        Page page(server->port(), token);
        if (!page.ws.hello()) {
            return std::nullopt;
        }
        page.send({{"type", "shown"}, {"page", 1}});
        page.stroke(60, 1.0);
        page.stroke(90, 2.0);
        auto done = page.done();
        if (done && (*done)["ok"] == true) {
            // The record holds every sample the page sent.
            EXPECT_EQ((*done)["samples"], inkSamples(page.sent, page.sent.size()));
        }
        return done;
    }
    std::string revision(const std::string& requestId, int number) {
        auto bytes = signing->store().revisionBytes(requestId, number);
        EXPECT_TRUE(bytes) << bytes.error().message;
        return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
    }

    test::TempDir folder;
    std::shared_ptr<service::SigningService> signing;
    std::string documentId;
    std::unique_ptr<ServeProcess> server;
};

TEST_F(SigningLinks, TwoSignersSignInOrderEachOnTheRevisionTheySaw) {
    const service::CreatedRequest request = create({{"Ann Example", ""}, {"Bo Second", ""}});
    const std::string& ann = request.linkTokens[0];
    const std::string& bo = request.linkTokens[1];

    // Bo waits for Ann: neither the document's place nor a pad is given (what his page says,
    // and the document itself refused, the browser tests see: links.test.mjs).
    EXPECT_EQ(linkSettings(bo)["step"], "waiting");
    EXPECT_EQ(http("GET", "/s/" + bo + "/document.json").result_int(), 403);
    EXPECT_THROW(Page(server->port(), bo), std::exception);

    EXPECT_EQ(http("GET", "/s/" + ann).result_int(), 302);  // to /s/TOKEN/, where its files are
    EXPECT_EQ(linkSettings(ann)["step"], "sign");
    EXPECT_EQ(openAndShow(ann), sha256Hex(revision(request.request.id, 0)));
    const auto annDone = sign(ann);
    ASSERT_TRUE(annDone);
    EXPECT_EQ((*annDone)["ok"], true) << annDone->dump();
    EXPECT_EQ((*annDone)["signed"], true);
    // Ann's link used again declines nothing (its page, document and pad: links.test.mjs).
    const Response declined = http("POST", "/s/" + ann + "/decline", "changed my mind");
    EXPECT_EQ(declined.result_int(), 409);
    EXPECT_EQ(Json::parse(declined.body())["text"], "linkSigned");

    // Now Bo is shown revision 1, the document as Ann signed it.
    EXPECT_EQ(linkSettings(bo)["step"], "sign");
    EXPECT_EQ(openAndShow(bo), sha256Hex(revision(request.request.id, 1)));
    const auto boDone = sign(bo);
    ASSERT_TRUE(boDone);
    EXPECT_EQ((*boDone)["ok"], true) << boDone->dump();

    auto finished = signing->store().request(request.request.id);
    ASSERT_TRUE(finished);
    EXPECT_EQ(finished->state, service::RequestState::kCompleted);

    // After the last signature the request is sealed: revision 3 is revision 2 with the trail
    // attached and the operator's invisible signature over both (what the trail then says, the
    // service's tests pin).
    auto revisions = signing->store().revisions(request.request.id);
    ASSERT_TRUE(revisions);
    ASSERT_EQ(revisions->size(), 4u);
    const std::string sealedPdf = revision(request.request.id, 3);
    EXPECT_TRUE(sealedPdf.starts_with(revision(request.request.id, 2)))
        << "the seal is an incremental update of the signed document";
    // The final revision, as independent tools see it: two signatures and the seal.
    test::writeFile(at("final.pdf"), sealedPdf);
    const auto [qpdfStatus, qpdf] = run("qpdf --check " + at("final.pdf").string());
    EXPECT_EQ(qpdfStatus, 0) << qpdf;
    const auto [pdfsigStatus, pdfsig] = run("pdfsig " + at("final.pdf").string());
    EXPECT_EQ(pdfsigStatus, 0) << pdfsig;
    EXPECT_EQ(occurrences(pdfsig, "Signature Validation: Signature is Valid."), 3u) << pdfsig;
    // Each evidence is bound to the revision its signature covers: the one its signer saw.
    const auto [verifyStatus, verify] =
        run(std::string(PENWELL_TOOL) + " pdf verify " + at("final.pdf").string() +
            " --private-key " PENWELL_SOURCE_DIR "/demo-certificate/demo-private-key.pem --trust " +
            at("operator.crt").string());
    EXPECT_EQ(verifyStatus, 0) << verify;
    EXPECT_EQ(occurrences(verify, "evidence: bound to the signed revision"), 2u) << verify;
    // Each evidence names the request it was for and carries the integrator's metadata.
    EXPECT_EQ(occurrences(verify, "    \"signing request\": \"" + request.request.id + "\"\n"), 2u)
        << verify;
    EXPECT_EQ(occurrences(verify, "    \"request metadata\": \"{\\\"ref\\\":\\\"T-42\\\"}\"\n"), 2u)
        << verify;
    // The trail as sealed ends with the completion; its chain is intact and the seal covers it.
    EXPECT_NE(verify.find("request.completed"), std::string::npos) << verify;
    EXPECT_NE(verify.find("covered by: the signature in field Seal1"), std::string::npos) << verify;
    EXPECT_NE(verify.find("checks out: yes"), std::string::npos) << verify;
}

TEST_F(SigningLinks, AnAccessCodeComesBeforeTheDocumentAndLocksAfterFiveWrongOnes) {
    const service::CreatedRequest request =
        create({{"Ann Example", "4711"}, {"Bo Second", "0815"}});
    const std::string& ann = request.linkTokens[0];
    http("GET", "/s/" + ann + "/");
    EXPECT_EQ(linkSettings(ann)["step"], "code");
    EXPECT_EQ(http("GET", "/s/" + ann + "/document.pdf").result_int(), 403);
    EXPECT_EQ(http("GET", "/s/" + ann + "/document.json").result_int(), 403);
    EXPECT_THROW(Page(server->port(), ann), std::exception);

    struct Guess {
        std::string code;
        int status;
        std::string text;
    };
    const Guess guesses[] = {{"1234", 403, "accessCodeWrong"}, {"4711", 200, ""}};
    for (const Guess& guess : guesses) {
        const Response answer = http("POST", "/s/" + ann + "/code", guess.code);
        EXPECT_EQ(answer.result_int(), guess.status) << guess.code << ": " << answer.body();
        if (!guess.text.empty()) {
            EXPECT_EQ(Json::parse(answer.body())["text"], guess.text);
        }
    }
    EXPECT_EQ(linkSettings(ann)["step"], "sign");
    EXPECT_EQ(openAndShow(ann), sha256Hex(revision(request.request.id, 0)));
    const auto done = sign(ann);
    ASSERT_TRUE(done);
    EXPECT_EQ((*done)["ok"], true) << done->dump();

    // Bo guesses wrong five times: the fifth locks the link, and the right code no longer opens
    // it (that the lock holds across a restart is the store's: LinkGuards).
    const std::string& bo = request.linkTokens[1];
    http("GET", "/s/" + bo + "/");
    for (int i = 1; i <= 5; ++i) {
        const Response answer = http("POST", "/s/" + bo + "/code", "000" + std::to_string(i));
        EXPECT_EQ(answer.result_int(), 403);
        EXPECT_EQ(Json::parse(answer.body())["text"], i < 5 ? "accessCodeWrong" : "linkLocked");
    }
    const Response locked = http("POST", "/s/" + bo + "/code", "0815");
    EXPECT_EQ(locked.result_int(), 403);
    EXPECT_EQ(Json::parse(locked.body())["text"], "linkLocked");
    EXPECT_EQ(linkSettings(bo)["step"], "locked");
    EXPECT_EQ(http("GET", "/s/" + bo + "/document.pdf").result_int(), 403);
}

TEST_F(SigningLinks, ADeclineNeedsAReasonAndEndsTheRequest) {
    const service::CreatedRequest request = create({{"Ann Example", ""}, {"Bo Second", ""}});
    const std::string& ann = request.linkTokens[0];
    http("GET", "/s/" + ann + "/");
    const Response blank = http("POST", "/s/" + ann + "/decline", " \n");
    EXPECT_EQ(blank.result_int(), 400);
    EXPECT_EQ(Json::parse(blank.body())["text"], "declineNeedsReason");
    EXPECT_EQ(http("POST", "/s/" + ann + "/decline", "The amount is wrong").result_int(), 200);

    EXPECT_EQ(linkSettings(ann)["text"], "linkYouDeclined");
    EXPECT_EQ(linkSettings(request.linkTokens[1])["text"], "linkDeclined");
    EXPECT_EQ(signing->store().request(request.request.id)->signers[0].declineReason,
              "The amount is wrong");
}

TEST_F(SigningLinks, AnUnknownTokenIsNotFoundAndNothingMore) {
    create({{"Ann Example", ""}});
    for (const std::string target :
         {"/s/AAAAAAAAAAAAAAAAAAAAAA/", "/s/AAAAAAAAAAAAAAAAAAAAAA/config.js",
          "/s/AAAAAAAAAAAAAAAAAAAAAA/document.pdf", "/s/short/", "/s/", "/s/../index.html"}) {
        const Response answer = http("GET", target);
        EXPECT_EQ(answer.result_int(), 404) << target;
        EXPECT_EQ(answer.body(), "not found\n") << target;
    }
    EXPECT_EQ(http("POST", "/s/AAAAAAAAAAAAAAAAAAAAAA/code", "1234").result_int(), 404);
    EXPECT_THROW(Page(server->port(), "AAAAAAAAAAAAAAAAAAAAAA"), std::exception);
}

TEST_F(SigningLinks, AServerKilledMidSignatureKeepsEverySampleItAcknowledged) {
    const service::CreatedRequest request = create({{"Ann Example", ""}});
    const std::string& ann = request.linkTokens[0];
    openAndShow(ann);
    std::string resume;
    std::vector<std::string> sent;
    std::uint64_t acknowledged = 0;
    {
        Page page(server->port(), ann);
        const auto hello = page.ws.hello();
        ASSERT_TRUE(hello);
        resume = (*hello)["resume"];
        page.send({{"type", "shown"}, {"page", 1}});
        page.stroke(60, 1.0);
        const auto state = page.takenUpTo(page.seq);
        ASSERT_TRUE(state);
        acknowledged = (*state)["seq"];
        EXPECT_EQ((*state)["samples"], inkSamples(page.sent, acknowledged));
        page.stroke(90, 2.0);  // sent; killed before any answer is awaited
        sent = page.sent;
        server->kill(SIGKILL);
    }
    start();

    // The page comes back: the pad was rebuilt from the store, and holds at least everything
    // it acknowledged; the page sends again what it was not told was taken.
    Page page(server->port(), ann, resume);
    const auto hello = page.ws.hello();
    ASSERT_TRUE(hello);
    EXPECT_EQ((*hello)["resumed"], true);
    const auto taken = (*hello)["seq"].get<std::uint64_t>();
    EXPECT_GE(taken, acknowledged);
    ASSERT_LE(taken, sent.size());
    const auto rebuilt = page.ws.until([](const Json& m) { return m["type"] == "state"; });
    ASSERT_TRUE(rebuilt);
    EXPECT_EQ((*rebuilt)["samples"], inkSamples(sent, taken));
    page.seq = sent.size();
    for (std::size_t i = taken; i < sent.size(); ++i) {
        page.ws.send(sent[i]);
    }
    const auto all = page.takenUpTo(sent.size());
    ASSERT_TRUE(all);
    EXPECT_EQ((*all)["samples"], inkSamples(sent, sent.size()));
    EXPECT_EQ((*all)["strokes"], 2);

    const auto done = page.done();
    ASSERT_TRUE(done);
    EXPECT_EQ((*done)["ok"], true) << done->dump();
    EXPECT_EQ((*done)["samples"], inkSamples(sent, sent.size()));  // the record: every sample
    auto stored = signing->samples(ann);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->size(), sent.size());  // every message, each once
    auto revisions = signing->store().revisions(request.request.id);
    ASSERT_TRUE(revisions);
    EXPECT_EQ(revisions->size(), 3u) << "the upload, the one signature and the seal";
}

/// The operator's key from a test PKI with a time-stamp authority and an OCSP responder on
/// loopback: every signature is time-stamped and the seal makes the file B-LTA.
class LongTermSigningLinks : public SigningLinks {
protected:
    LongTermSigningLinks() {
        revocation_.serve(pki_);
        pki_.write(folder.path());
        start({"--sign-chain", at("intermediate.pem").string(), "--tsa", tsa_.url(), "--trust",
               at("root.pem").string()},
              "signer-key.pem", "signer.pem");
    }

    pki::RevocationServer revocation_;
    pki::TestPki pki_{std::time(nullptr), revocation_.ocspUrl(), revocation_.crlUrl()};
    pki::TsaServer tsa_{pki_};
};

TEST_F(LongTermSigningLinks, WithATsaTheSignatureIsBTAndTheSealedDocumentB_LTA) {
    const service::CreatedRequest request = create({{"Ann Example", ""}});
    const std::string& ann = request.linkTokens[0];
    openAndShow(ann);
    const auto done = sign(ann);
    ASSERT_TRUE(done);
    ASSERT_EQ((*done)["ok"], true) << done->dump();

    auto revisions = signing->store().revisions(request.request.id);
    ASSERT_TRUE(revisions);
    ASSERT_EQ(revisions->size(), 3u) << "the upload, the signature and the sealed file";
    test::writeFile(at("final.pdf"), revision(request.request.id, 2));
    const auto [qpdfStatus, qpdf] = run("qpdf --check " + at("final.pdf").string());
    EXPECT_EQ(qpdfStatus, 0) << qpdf;
    const auto [verifyStatus, verify] =
        run(std::string(PENWELL_TOOL) + " pdf verify " + at("final.pdf").string() +
            " --private-key " PENWELL_SOURCE_DIR "/demo-certificate/demo-private-key.pem --trust " +
            at("root.pem").string());
    EXPECT_EQ(verifyStatus, 0) << verify;
    // The signer's signature and the seal both reach B-LTA: time-stamped, their chains and
    // revocation answers in the /DSS, and a document time-stamp over it all.
    EXPECT_EQ(occurrences(verify, "level: B-LTA"), 2u) << verify;
    EXPECT_EQ(occurrences(verify, "document time-stamp: "), 1u) << verify;
    EXPECT_NE(verify.find("covered by: the signature in field Seal1"), std::string::npos) << verify;
    EXPECT_GE(tsa_.served(), 3) << "the signature's token, the seal's and the document's";
}

}  // namespace
}  // namespace penwell::web
