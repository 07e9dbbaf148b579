// Done on a document (`serve --document`): every way it can save nothing leaves nothing on disk
// and tells the page a code and the log why (a document never shown: document.test.mjs); a
// PDF/A input's warning reaches the log; and the document serve signs is, byte for byte, the
// one `penwell pdf sign` makes of the same strokes (its evidence record), but for the signature
// value and the signing time.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>

#include "pdf/pki/TestPki.h"
#include "pdf/pki/TsaServer.h"
#include "penwell/host/web/tests/SessionFixture.h"
#include "penwell/host/web/tests/TestPdf.h"
#include "penwell/platform/curl/CurlHttpClient.h"
#include "support/CertificateFixtures.h"
#include "support/Shell.h"

namespace penwell::web {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

/// The XMP of a file that claims PDF/A-1B, as object 6.
std::string pdfa1b() {
    const std::string xmp =
        "<?xpacket begin=''?><x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF "
        "xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'><rdf:Description "
        "xmlns:pdfaid='http://www.aiim.org/pdfa/ns/id/' pdfaid:part='1' pdfaid:conformance='B'>"
        "</rdf:Description></rdf:RDF></x:xmpmeta><?xpacket end='w'?>";
    return document("/Metadata 6 0 R ",
                    {"<< /Type /Metadata /Subtype /XML /Length " + std::to_string(xmp.size()) +
                     " >>\nstream\n" + xmp + "\nendstream"});
}

class ServeDocument : public ServeSession {
protected:
    ServeDocument() {
        settings.samplesPerSession = 1000;
        settings.smoothing = true;  // as serve runs: a finger's strokes are smoothed
        const test::PrivateKey key = test::generateRsaKey();
        const Bytes certificate = test::makeSelfSignedDer(key.get(), {{"CN", "Counter 3"}});
        test::writeFile(at("operator.pem"), test::keyPem(key.get()));
        test::writeFile(at("operator.crt"), test::certificatePem(certificate));
        const std::string pem = test::keyPem(key.get());
        identity.privateKey = Bytes(pem.begin(), pem.end());
        identity.certificate = certificate;
        // The page loads pdf.js from here; its bytes are not looked at below the browser.
        fs::create_directories(at("pdfjs/build"));
        test::writeFile(at("pdfjs/build/pdf.js"), std::string("// pdf.js"));
        test::writeFile(at("pdfjs/build/pdf.worker.js"), std::string("// worker"));
        fs::create_directories(at("out"));
    }

    fs::path at(const std::string& name) const { return folder.path() / name; }

    /// A session on `pdf` (written as in.pdf), with Done's files going to out/.
    void open(const std::string& pdf, std::optional<std::string> tsa = std::nullopt) {
        test::writeFile(at("in.pdf"), pdf);
        host::DocumentRequest request;
        if (tsa) {
            request.tsa = tsa;
            request.http = std::make_shared<curl::CurlHttpClient>();
        }
        request.file = at("in.pdf");
        request.page = 1;
        request.rect = "300,100,200,80";
        request.reason = "Contract 42";
        request.location = "Counter 3";
        request.name = "A. Signer";
        const auto opened = SignableDocument::open(request, at("pdfjs"), identity);
        ASSERT_TRUE(opened) << opened.error().message;
        settings.document = *opened;
        settings.signer = identity;
        settings.out = at("out");
        restart();
    }
    void restart() {
        sink = {};
        session = std::make_unique<SigningSession>(settings, loop, sink);
        loop->runPending();
    }
    nlohmann::json done() {
        taken(session->receive(R"({"type":"done"})"));
        return nlohmann::json::parse(sink.texts.back());
    }
    /// The page reports the document shown, the signer signs, Done: its reply.
    nlohmann::json signShownDocument() {
        taken(session->receive(R"({"type":"shown","page":1})"));
        sign();
        return done();
    }
    /// Two strokes, the second a finger's: both kinds of ink in the place.
    void sign() {
        stroke(40, 1.0, "pen");
        stroke(60, 2.0, "touch");
        loop->advance(1.0);  // the finger's smoothing, after its pause
    }

    test::TempDir folder;
    SigningIdentity identity;
};

TEST_F(ServeDocument, ADoneThatSavesNothingLeavesNothingAndSaysWhy) {
    test::writeFile(at("a-file"), std::string("in the way"));
    const struct {
        const char* what;
        std::function<void(PadSettings&)> setUp;
        bool signs;
        const char* code;
        const char* logged;  // nullptr: nothing
    } cases[] = {
        {"before a signature", [](PadSettings&) {}, false, kDoneTooShort, nullptr},
        {"to an --out that cannot be written",
         [&](PadSettings& s) { s.out = at("a-file") / "signatures"; }, true, kDoneNotSaved,
         "a-file/signatures"},
        {"without a receiver certificate",
         [&](PadSettings& s) { s.services.resources = at("pdfjs"); }, true, kDoneNotSaved,
         "Penwell.dat"},
        {"with an evidence key that is not the certificate's",
         [&](PadSettings& s) {
             const test::PrivateKey other = test::generateRsaKey();
             const std::string pem = test::keyPem(other.get());
             s.signer->privateKey = Bytes(pem.begin(), pem.end());
         },
         true, kDoneNotSaved, "does not belong to the operator certificate"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        settings = PadSettings{};
        settings.size = {200, 100};
        settings.samplesPerSession = 1000;
        settings.services.resources = PENWELL_SOURCE_DIR "/demo-certificate";
        open(document());
        c.setUp(settings);
        restart();
        taken(session->receive(R"({"type":"shown","page":1})"));
        if (c.signs) {
            sign();
        } else {
            send("down", "[[1,10,10,0.5]]");
            send("up", "[[1.1,10,10,0.5]]");
        }
        EXPECT_EQ(done(), (nlohmann::json{{"type", "done"}, {"ok", false}, {"code", c.code}}));
        if (c.logged) {
            ASSERT_EQ(sink.logged.size(), 1u);
            EXPECT_THAT(sink.logged[0], HasSubstr("Done saved nothing: "));
            EXPECT_THAT(sink.logged[0], HasSubstr(c.logged));
        } else {
            EXPECT_EQ(sink.logged, std::vector<std::string>{});
        }
        // Nothing of it on disk, not even a temporary file; the signature stays on the pad.
        EXPECT_EQ(test::listFolder(at("out")), std::vector<std::string>{});
        EXPECT_FALSE(fs::exists(at("a-file") / "signatures"));
        EXPECT_EQ(session->controller().lines().size(), c.signs ? 2u : 1u);
    }
}

TEST_F(ServeDocument, APdfaInputsWarningIsLoggedOnce) {
    open(pdfa1b());
    const nlohmann::json reply = signShownDocument();
    ASSERT_EQ(reply["ok"], true) << reply;
    std::vector<std::string> warnings;
    for (const std::string& line : sink.logged) {
        if (line.starts_with("warning: ") && line.find("DEMO") == std::string::npos) {
            warnings.push_back(line);
        }
    }
    ASSERT_EQ(warnings.size(), 1u) << ::testing::PrintToString(sink.logged);
    EXPECT_THAT(warnings[0],
                HasSubstr("claims PDF/A-1B; the signed PDF no longer conforms: PDF/A-1 allows "
                          "neither the ink's transparency group nor an embedded file"));
}

TEST_F(ServeDocument, WithATsaTheSignedDocumentIsBT) {
    pki::TestPki pki(std::time(nullptr));
    pki::TsaServer tsa(pki);
    pki.write(folder.path());
    open(document(), tsa.url());
    const nlohmann::json reply = signShownDocument();
    ASSERT_EQ(reply["ok"], true) << reply;
    EXPECT_EQ(tsa.served(), 1);
    std::vector<std::string> pdfs;
    for (const std::string& name : test::listFolder(at("out"))) {
        if (name.ends_with(".pdf")) {
            pdfs.push_back(name);
        }
    }
    ASSERT_EQ(pdfs.size(), 1u);
    const std::string verified = test::runCombined(std::string(PENWELL_TOOL) + " pdf verify " +
                                                   (at("out") / pdfs[0]).string())
                                     .output;
    EXPECT_THAT(verified, HasSubstr("level: B-T\n"));
    EXPECT_THAT(verified, HasSubstr("time-stamped: "));
}

/// The file with what may differ between two signings of the same document and strokes
/// blanked: the signature value (/Contents) and the signing time (/M, and the embedded
/// evidence's /ModDate, which is that time), and the revision's /ID, a digest of that time and
/// of the update around the blank value.
std::string withoutValueAndTime(std::string pdf) {
    for (const char* pattern : {R"(/Contents\s*<[0-9A-Fa-f]*>)", R"(/(M|ModDate)\s*\(D:[^)]*\))",
                                R"(/ID\s*\[<[0-9A-Fa-f]*>\s*<[0-9A-Fa-f]*>\])"}) {
        const std::regex re(pattern);
        std::string out;
        std::size_t from = 0;
        for (auto it = std::sregex_iterator(pdf.begin(), pdf.end(), re);
             it != std::sregex_iterator(); ++it) {
            out += pdf.substr(from, static_cast<std::size_t>(it->position()) - from);
            out += std::string(static_cast<std::size_t>(it->length()), '#');
            from = static_cast<std::size_t>(it->position() + it->length());
        }
        pdf = out + pdf.substr(from);
    }
    return pdf;
}

TEST_F(ServeDocument, SignsTheSameDocumentAsPdfSignGivenTheSameStrokes) {
    open(document());
    const nlohmann::json reply = signShownDocument();
    ASSERT_EQ(reply["ok"], true) << reply;
    const std::string name = reply["name"];
    EXPECT_EQ(reply["document"], name + ".pdf");
    const fs::path served = at("out") / (name + ".pdf");
    // The same strokes given to `pdf sign`: the session's own evidence record, which holds
    // them, with the same document, place and operator key.
    const std::string command =
        std::string("timeout 60 ") + PENWELL_TOOL + " pdf sign " + at("in.pdf").string() + " " +
        at("by-pdf-sign.pdf").string() +
        " --page 1 --rect 300,100,200,80 --reason 'Contract 42' --location 'Counter 3'"
        " --name 'A. Signer' --evidence " +
        (at("out") / (name + ".evidence")).string() +
        " --private-key " PENWELL_SOURCE_DIR
        "/demo-certificate/demo-private-key.pem"
        " --sign-key " +
        at("operator.pem").string() + " --sign-cert " + at("operator.crt").string() + " > " +
        at("pdf-sign.log").string() + " 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << test::readText(at("pdf-sign.log"));
    const std::string a = test::readText(served);
    const std::string b = test::readText(at("by-pdf-sign.pdf"));
    const std::string in = test::readText(at("in.pdf"));
    ASSERT_TRUE(a.starts_with(in));
    ASSERT_TRUE(b.starts_with(in));
    const std::string ma = withoutValueAndTime(a);
    const std::string mb = withoutValueAndTime(b);
    ASSERT_EQ(ma.size(), mb.size());
    const auto differ = std::mismatch(ma.begin(), ma.end(), mb.begin());
    if (differ.first != ma.end()) {
        const auto at = static_cast<std::size_t>(differ.first - ma.begin());
        const std::size_t from = at < 80 ? 0 : at - 80;
        ADD_FAILURE() << "first difference at byte " << at << " of " << ma.size()
                      << ":\nserve:    " << ma.substr(from, 160)
                      << "\npdf sign: " << mb.substr(from, 160);
    }
    // The blanks found what they blank (two signings within one second are equal throughout:
    // the signature is deterministic for the same key, content and time).
    EXPECT_NE(ma, a);
    EXPECT_EQ(std::count(ma.begin(), ma.end(), '#') - std::count(a.begin(), a.end(), '#'),
              std::count(mb.begin(), mb.end(), '#') - std::count(b.begin(), b.end(), '#'));
}

}  // namespace
}  // namespace penwell::web
