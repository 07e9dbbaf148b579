// `penwell pdf sign` and `verify` as a user runs them, judged by independent tools: pdfsig
// (signature and coverage), qpdf --check (structure), openssl (the embedded evidence).

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <tuple>

#include "pdf/Fixtures.h"
#include "penwell/pdf/PdfSignature.h"
#include "penwell/receiver/OpenEvidence.h"
#include "penwell/receiver/Record.h"
#include "support/CertificateFixtures.h"

namespace {

using namespace penwell::pdftest;

/// A one-page document with an empty signature field "Approval" at 100,100 to 300,160,
/// written by hand without offsets and put right by qpdf (the raw one needs repair).
void makeFieldDocument(const fs::path& raw, const fs::path& fixed) {
    spit(raw,
         "%PDF-1.7\n1 0 obj << /Type /Catalog /Pages 2 0 R /AcroForm << /Fields [4 0 R] >> >>"
         " endobj\n2 0 obj << /Type /Pages /Kids [3 0 R] /Count 1 >> endobj\n3 0 obj << /Type"
         " /Page /Parent 2 0 R /MediaBox [0 0 400 300] /Annots [4 0 R] >> endobj\n4 0 obj <<"
         " /Type /Annot /Subtype /Widget /FT /Sig /T (Approval) /Rect [100 100 300 160] /P 3 0"
         " R >> endobj\ntrailer << /Size 5 /Root 1 0 R >>\n%%EOF\n");
    run("qpdf " + raw.string() + " " + fixed.string());
}

class PdfSign : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder_ = new penwell::test::TempDir();
        // Every signature embeds a record sealed for the demo receiver's pinned certificate.
        setenv("PENWELL_RESOURCES", PENWELL_SOURCE_DIR "/demo-certificate", 1);
        const fs::path& f = folder_->path();
        run("openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=Signer -days 2 -keyout " +
            (f / "key.pem").string() + " -out " + (f / "cert.pem").string());
        makeDocument(f / "plain.pdf", 2);
        run("qpdf --object-streams=generate " + (f / "plain.pdf").string() + " " +
            (f / "xrefstream.pdf").string());
        run("qpdf --encrypt '' owner 256 -- " + (f / "plain.pdf").string() + " " +
            (f / "encrypted.pdf").string());
        makeFieldDocument(f / "damaged.pdf", f / "field.pdf");
        run("openssl pkcs12 -export -passout pass:secret -inkey " + (f / "key.pem").string() +
            " -in " + (f / "cert.pem").string() + " -out " + (f / "id.p12").string());
        // What a signature forbids: a certification allowing no changes, a field lock.
        sign("plain.pdf", "certified.pdf", "--page 1 --rect 10,10,100,40 --certify 1");
        spit(at("locked.pdf"),
             contract("/Lock << /Type /SigFieldLock /Action /Include /Fields [(Witness)] >>"));
        sign("locked.pdf", "locked-signed.pdf", "--field Approval");
        spit(at("nobox.pdf"), pdfFromObjects({"<< /Type /Catalog /Pages 2 0 R >>",
                                              "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
                                              "<< /Type /Page /Parent 2 0 R /Resources << >> >>"}));
    }
    static void TearDownTestSuite() { delete folder_; }

    static fs::path at(const std::string& name) { return folder_->path() / name; }

    static Shell sign(const std::string& in, const std::string& out, const std::string& where,
                      const std::string& trace = "finger-signature.json") {
        return run(std::string(PENWELL_TOOL) + " pdf sign " + at(in).string() + " " +
                   at(out).string() + " " + where + " --trace " PENWELL_SOURCE_DIR "/examples/" +
                   trace + " --sign-key " + at("key.pem").string() + " --sign-cert " +
                   at("cert.pem").string() +
                   " --demo --reason Agreed --name 'Ann Example' --force");
    }
    static Shell verify(const std::string& file) {
        return run(std::string(PENWELL_TOOL) + " pdf verify " + at(file).string() + " --trust " +
                   at("cert.pem").string());
    }

    static penwell::test::TempDir* folder_;
};
penwell::test::TempDir* PdfSign::folder_ = nullptr;

TEST_F(PdfSign, TwoSignaturesOverEitherCrossReferenceKindStayValid) {
    for (const std::string kind : {"plain", "xrefstream"}) {
        SCOPED_TRACE(kind);
        ASSERT_EQ(sign(kind + ".pdf", kind + "-1.pdf", "--page 1 --rect 300,100,200,80").status, 0);
        ASSERT_EQ(sign(kind + "-1.pdf", kind + "-2.pdf", "--page 2 --rect 50,50,150,60",
                       "stylus-signature.json")
                      .status,
                  0);
        const std::string in = slurp(at(kind + ".pdf")), once = slurp(at(kind + "-1.pdf")),
                          twice = slurp(at(kind + "-2.pdf"));
        EXPECT_EQ(once.compare(0, in.size(), in), 0) << "IN is not a prefix of OUT";
        EXPECT_EQ(twice.compare(0, once.size(), once), 0);
        // The update keeps the input's kind of cross-reference section.
        const std::string update = once.substr(in.size());
        EXPECT_NE(update.find(kind == "plain" ? "\nxref\n" : "/Type /XRef"), std::string::npos);

        const std::string first = run("pdfsig " + at(kind + "-1.pdf").string()).output;
        EXPECT_NE(first.find("Signature is Valid."), std::string::npos) << first;
        EXPECT_NE(first.find("Total document signed"), std::string::npos) << first;
        const std::string second = run("pdfsig " + at(kind + "-2.pdf").string()).output;
        const std::size_t split = second.find("Signature #2");
        ASSERT_NE(split, std::string::npos) << second;
        EXPECT_NE(second.substr(0, split).find("Not total document signed"), std::string::npos);
        EXPECT_NE(second.substr(0, split).find("Signature is Valid."), std::string::npos);
        EXPECT_NE(second.substr(split).find("- Total document signed"), std::string::npos);
        EXPECT_NE(second.substr(split).find("Signature is Valid."), std::string::npos);
        EXPECT_EQ(run("qpdf --check " + at(kind + "-2.pdf").string()).status, 0);
        const Shell checked = verify(kind + "-2.pdf");
        EXPECT_EQ(checked.status, 0) << checked.output;
        EXPECT_NE(checked.output.find("an earlier revision (" + std::to_string(once.size())),
                  std::string::npos)
            << checked.output;
    }
}

TEST_F(PdfSign, AnEmptyFieldIsFilledAndThenRefusedAsSigned) {
    ASSERT_EQ(sign("field.pdf", "field-signed.pdf", "--field Approval").status, 0);
    EXPECT_NE(run("pdfsig " + at("field-signed.pdf").string()).output.find("Signature is Valid."),
              std::string::npos);
    EXPECT_EQ(verify("field-signed.pdf").status, 0);
}

// Organisations hand out signing identities as PKCS#12; its password comes from a file or the
// environment, never the command line. --sign-cert beside it names the certificate the station
// must sign under: the one inside, or the command refuses before anything is written.
TEST_F(PdfSign, APkcs12IdentitySignsOnlyWithItsPasswordAndItsOwnCertificate) {
    spit(at("p12-pass.txt"), "secret\n");
    run("openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=Other -days 2 -keyout " +
        at("other-key.pem").string() + " -out " + at("other.pem").string());
    const std::string base = std::string(PENWELL_TOOL " pdf sign ") + at("plain.pdf").string() +
                             " " + at("p12.pdf").string() +
                             " --page 1 --rect 10,10,100,40 --force --trace " PENWELL_SOURCE_DIR
                             "/examples/finger-signature.json --demo --sign-key " +
                             at("id.p12").string();
    const struct {
        std::string environment, options;
        int status;
        const char* message;
    } cases[] = {
        {"PENWELL_SIGN_PASSWORD=secret", "", 0, ""},
        {"PENWELL_SIGN_PASSWORD=wrong", "", 1, "cannot open the PKCS#12 file: wrong password"},
        {"", "", 1, "a PKCS#12 file needs its password in --sign-password-file"},
        {"", " --sign-password-file " + at("p12-pass.txt").string(), 0, ""},
        {"",
         " --sign-password-file " + at("p12-pass.txt").string() + " --sign-cert " +
             at("cert.pem").string(),
         0, ""},
        {"",
         " --sign-password-file " + at("p12-pass.txt").string() + " --sign-cert " +
             at("other.pem").string(),
         1, "other.pem: not the certificate inside the PKCS#12 file"},
        {"",
         " --sign-password-file " + at("p12-pass.txt").string() + " --sign-chain " +
             at("missing-chain.pem").string(),
         1, "missing-chain.pem"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.environment + c.options);
        fs::remove(at("p12.pdf"));
        const Shell r =
            run("env -u PENWELL_SIGN_PASSWORD " + c.environment + " " + base + c.options);
        EXPECT_EQ(r.status, c.status) << r.output;
        EXPECT_NE(r.output.find(c.message), std::string::npos) << r.output;
        if (c.status != 0) {
            EXPECT_FALSE(fs::exists(at("p12.pdf")));
            continue;
        }
        const std::string checked = run("pdfsig " + at("p12.pdf").string()).output;
        EXPECT_NE(checked.find("Signature is Valid."), std::string::npos) << checked;
        EXPECT_NE(checked.find("Common Name: Signer"), std::string::npos) << checked;
    }
}

TEST_F(PdfSign, AFlippedByteAnywhereSignedIsCaught) {
    ASSERT_EQ(sign("plain.pdf", "whole.pdf", "--page 1 --rect 300,100,200,80").status, 0);
    const std::string good = slurp(at("whole.pdf"));
    const std::size_t date = good.rfind("(D:") + 3;  // after /Contents: the second range
    for (const std::size_t offset : {std::size_t{9}, good.size() / 3, date}) {
        SCOPED_TRACE(offset);
        std::string bad = good;
        bad[offset] = bad[offset] == '1' ? '2' : '1';
        spit(at("tampered.pdf"), bad);
        const std::string pdfsig = run("pdfsig " + at("tampered.pdf").string()).output;
        EXPECT_EQ(pdfsig.find("Signature is Valid."), std::string::npos) << pdfsig;
        const Shell checked = verify("tampered.pdf");
        EXPECT_EQ(checked.status, 1);
        EXPECT_NE(checked.output.find("digest and signature valid: NO"), std::string::npos)
            << checked.output;
    }
}

TEST_F(PdfSign, OddInputIsRefusedAndNothingWritten) {
    ASSERT_EQ(sign("field.pdf", "taken.pdf", "--field Approval").status, 0);
    run("truncate -s 300M " + at("huge.pdf").string());
    const struct {
        const char* in;
        const char* where;
        const char* message;
    } cases[] = {
        {"encrypted.pdf", "--page 1 --rect 10,10,100,40", "encrypted"},
        {"damaged.pdf", "--page 1 --rect 10,10,100,40", "rewrite it first"},
        {"plain.pdf", "--page 3 --rect 10,10,100,40", "has 2 page(s)"},
        {"plain.pdf", "--field Nope", "no such field"},
        {"taken.pdf", "--field Approval", "signed already"},
        {"plain.pdf", "--page 1 --rect 500,800,200,80", "lies off page 1"},
        {"plain.pdf", "--page 1 --rect 10,10,0,80", "width and height above 0"},
        {"huge.pdf", "--page 1 --rect 10,10,100,40", "at most 256 MiB"},
        {"certified.pdf", "--page 1 --rect 300,10,100,40", "certified: no changes allowed"},
        {"locked-signed.pdf", "--field Witness", "locked by the signature in field Approval"},
        {"nobox.pdf", "--page 1 --rect 10,10,100,40", "damaged: page 1 has no media box"},
    };
    // `serve --document` refuses the same at start, with the same line, before anyone signs.
    const std::string operatorKey =
        " --sign-key " + at("key.pem").string() + " --sign-cert " + at("cert.pem").string();
    const auto serve = [&](const std::string& in, const std::string& options) {
        return run("timeout 60 " PENWELL_TOOL
                   " serve --demo --bind 127.0.0.1 --port 0 --document " +
                   at(in).string() + " " + options);
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        const Shell r = sign(c.in, "refused.pdf", c.where);
        const Shell s = serve(c.in, c.where + operatorKey);
        for (const Shell& refused : {r, s}) {
            EXPECT_EQ(refused.status, 1);
            EXPECT_NE(refused.output.find(c.message), std::string::npos) << refused.output;
            EXPECT_EQ(std::count(refused.output.begin(), refused.output.end(), '\n'), 1)
                << refused.output;
        }
        EXPECT_FALSE(fs::exists(at("refused.pdf")));
    }
    const std::string onPage = "--page 1 --rect 10,10,100,40";
    // A missing option is a usage error (exit 2); a missing pdf.js is not.
    for (const auto& [options, message, status] :
         {std::tuple{onPage, "needs --sign-key", 2},
          {onPage + operatorKey + " --pdfjs " + at("nowhere").string(), "no pdf.js there", 1}}) {
        const Shell s = serve("plain.pdf", options);
        EXPECT_EQ(s.status, status);
        EXPECT_NE(s.output.find(message), std::string::npos) << s.output;
    }
}

}  // namespace

namespace {

// The evidence hook: the library embeds what the source returns for IN's digest, and refuses
// on verification evidence whose digest is not that of the revision signed. A stand-in record
// that is its own digest keeps the test to the binding; opening real records is the evidence
// library's.
TEST_F(PdfSign, EvidenceIsBoundToTheRevisionItWasMadeFor) {
    using namespace penwell;
    makeDocument(at("a.pdf"), 1);
    makeDocument(at("b.pdf"), 2);
    const std::string keyPem = slurp(at("key.pem")), certPem = slurp(at("cert.pem"));
    const pdf::SigningIdentity id =
        *pdf::SigningIdentity::fromPem(asBytes(keyPem), "key", asBytes(certPem), "cert");
    pdf::SignRequest request;
    request.placement = pdf::PagePlacement{1, 10, 10, 100, 40};
    const std::string ink = slurp(at("a.pdf"));  // any one-page PDF will do
    request.inkPdf.assign(ink.begin(), ink.end());
    auto signWith = [&](const std::string& file, std::optional<Bytes> fixed) {
        request.evidence = [&](const pdf::Sha256& digest) -> Result<Bytes> {
            return fixed ? *fixed : Bytes(digest.begin(), digest.end());
        };
        const std::string in = slurp(at(file));
        return *pdf::signPdf(asBytes(in), file, request, id);
    };
    pdf::VerifyOptions options;
    options.openEvidence = [](ByteView record) -> Result<pdf::OpenedEvidence> {
        pdf::OpenedEvidence opened;
        std::copy_n(record.begin(), std::min(record.size(), std::size_t{32}),
                    opened.documentDigest.begin());
        return opened;
    };
    const Bytes a = signWith("a.pdf", std::nullopt);
    const auto reportA = pdf::verifyPdf(a, "a", options);
    ASSERT_EQ(reportA->size(), 1u);
    EXPECT_EQ(reportA->front().evidence, pdf::EvidenceState::Matches);
    EXPECT_TRUE(reportA->front().ok());

    // A later update that rewrites A's field (here: as it was) no longer shows signed evidence.
    const std::string signedA(a.begin(), a.end());
    const std::size_t fieldAt = signedA.rfind(" 0 obj\n<< /AF [");
    const std::size_t fieldStart = signedA.rfind('\n', fieldAt) + 1;
    const std::string field =
        signedA.substr(fieldStart, signedA.find("endobj\n", fieldAt) + 7 - fieldStart);
    std::smatch size, root;
    const std::string trailer = signedA.substr(signedA.rfind("trailer\n<<"));
    std::regex_search(trailer, size, std::regex("/Size \\d+"));
    std::regex_search(trailer, root, std::regex("/Root \\d+ \\d+ R"));
    char entry[21];
    std::snprintf(entry, sizeof entry, "%010zu 00000 n\r\n", signedA.size());
    const std::size_t startxref = signedA.rfind("startxref\n") + 10;
    const std::string update =
        field + "xref\n" + signedA.substr(fieldStart, fieldAt - fieldStart) + " 1\n" + entry +
        "trailer\n<< " + size.str() + " " + root.str() + " /Prev " +
        signedA.substr(startxref, signedA.rfind("\n%%EOF") - startxref) + " >>\nstartxref\n" +
        std::to_string(signedA.size() + field.size()) + "\n%%EOF\n";
    const std::string amended = signedA + update;
    const auto reportAmended = pdf::verifyPdf(asBytes(amended), "amended", options);
    ASSERT_TRUE(reportAmended.has_value()) << reportAmended.error().message;
    EXPECT_TRUE(reportAmended->front().signatureValid);
    EXPECT_EQ(reportAmended->front().evidence, pdf::EvidenceState::Refused);
    EXPECT_NE(reportAmended->front().evidenceDetail.find("replaced"), std::string::npos);

    // A's record, lifted into B's signature: B's own signature is valid, its evidence is not.
    const Bytes b = signWith("b.pdf", reportA->front().evidenceBytes);
    const auto reportB = pdf::verifyPdf(b, "b", options);
    ASSERT_EQ(reportB->size(), 1u);
    EXPECT_TRUE(reportB->front().signatureValid);
    EXPECT_EQ(reportB->front().evidence, pdf::EvidenceState::Refused);
    EXPECT_NE(reportB->front().evidenceDetail.find("another document"), std::string::npos);
    EXPECT_FALSE(reportB->front().ok());
}

}  // namespace

namespace {

const std::string kTool = PENWELL_TOOL;
const std::string kDemo = PENWELL_SOURCE_DIR "/demo-certificate/";
const std::string kReceiverKey = " --private-key " + kDemo + "demo-private-key.pem";

// Each signature source embeds a record the receiver's key opens, bound to the document signed;
// openssl alone opens the embedded record to the same ink that verify reports.
TEST_F(PdfSign, EverySignatureSourceEmbedsEvidenceTheReceiverOpens) {
    const std::string trace = PENWELL_SOURCE_DIR "/examples/finger-signature.json";
    const std::string operatorKey =
        " --sign-key " + at("key.pem").string() + " --sign-cert " + at("cert.pem").string();
    ASSERT_EQ(run(kTool + " replay " + trace + " --evidence " + at("e.ev").string() +
                  " --document " + at("plain.pdf").string() + " --data " + at("d").string() +
                  " --key " + at("k").string() + operatorKey + " --demo")
                  .status,
              0);
    const std::string where = " --page 1 --rect 300,40,200,80 --demo" + operatorKey;
    const std::string sources[] = {
        " --trace " + trace, " --evidence " + at("e.ev").string() + kReceiverKey,
        " --data " + at("d").string() + " --key " + at("k").string() + kReceiverKey};
    for (const std::string& source : sources) {
        SCOPED_TRACE(source);
        const Shell s = run(kTool + " pdf sign " + at("plain.pdf").string() + " " +
                            at("s.pdf").string() + where + source + " --force");
        ASSERT_EQ(s.status, 0) << s.output;
        const Shell v =
            run(kTool + " pdf verify " + at("s.pdf").string() + kReceiverKey + " --trust " +
                at("cert.pem").string() + " --png " + at("ink.png").string());
        EXPECT_EQ(v.status, 0) << v.output;
        EXPECT_NE(v.output.find("bound to the signed revision; "), std::string::npos) << v.output;
        EXPECT_NE(slurp(at("ink.png")).find("\x89PNG"), std::string::npos);
        EXPECT_EQ(run("qpdf --check " + at("s.pdf").string()).status, 0);
    }

    // The record of the last PDF, opened by openssl alone, names the signed document's digest
    // and holds the samples verify counted.
    const std::string signedPdf = slurp(at("s.pdf"));
    const auto reports = penwell::pdf::verifyPdf(penwell::asBytes(signedPdf), "s", {});
    ASSERT_EQ(reports->size(), 1u);
    const penwell::Bytes& evidence = reports->front().evidenceBytes;
    spit(at("embedded.der"), std::string(evidence.begin(), evidence.end()));
    const Shell cms =
        run("openssl cms -verify -noverify -inform DER -in " + at("embedded.der").string() +
            " -out " + at("sealed.der").string() + " && openssl cms -decrypt -inform DER -in " +
            at("sealed.der").string() + " -recip " + kDemo + "Penwell.dat -inkey " + kDemo +
            "demo-private-key.pem -out " + at("payload.der").string());
    ASSERT_EQ(cms.status, 0) << cms.output;
    const std::string der = slurp(at("payload.der"));
    const auto payload = penwell::receiver::decodeEvidencePayload(penwell::asBytes(der), "payload");
    ASSERT_TRUE(payload) << payload.error().message;
    const std::string digest = run("openssl dgst -sha256 -r " + at("plain.pdf").string()).output;
    EXPECT_EQ(penwell::hexDigits(*payload->documentSha256), digest.substr(0, 64));
    const penwell::receiver::PointRecord record =
        penwell::receiver::decodeRecord(payload->record, "payload").value();
    const std::string counted = std::to_string(record.size()) + " strokes, " +
                                std::to_string(penwell::receiver::sampleCount(record)) + " samples";
    const Shell v = run(kTool + " pdf verify " + at("s.pdf").string() + kReceiverKey);
    EXPECT_NE(v.output.find("revision; " + counted), std::string::npos) << v.output;

    // Refused: a record bound to another document as a source (one lifted into another PDF is
    // refused on verification: EvidenceIsBoundToTheRevisionItWasMadeFor).
    const Shell other = run(kTool + " pdf sign " + at("xrefstream.pdf").string() + " " +
                            at("other.pdf").string() + where + sources[1]);
    EXPECT_EQ(other.status, 1);
    EXPECT_NE(other.output.find("signed for another document"), std::string::npos) << other.output;
    EXPECT_FALSE(fs::exists(at("other.pdf")));
}

}  // namespace
