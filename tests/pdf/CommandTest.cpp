// `pdf sign` and `pdf verify` as a script or a newcomer meets them: exit codes that tell
// integrity from trust, every trusted certificate counting, the JSON form, what is refused
// with a line that says what to do, and the warning for a PDF/A input.

#include <gtest/gtest.h>

#include <sstream>

#include <nlohmann/json.hpp>

#include "pdf/Fixtures.h"

namespace penwell::pdftest {
namespace {

const std::string kReceiverKey =
    " --private-key " PENWELL_SOURCE_DIR "/demo-certificate/demo-private-key.pem";

class Commands : public Signing {
protected:
    static void SetUpTestSuite() {
        Signing::SetUpTestSuite();
        spit(at("contract.pdf"), contract());
        ASSERT_EQ(sign("contract.pdf", "one.pdf", "--field Approval").status, 0);
        // Two operators sign the two fields of one document.
        const Shell second =
            run(kTool + " pdf sign " + at("one.pdf").string() + " " + at("two.pdf").string() +
                " --field Witness --trace " + kTrace + " --sign-key " + at("b.key").string() +
                " --sign-cert " + at("b.crt").string() + " --demo");
        ASSERT_EQ(second.status, 0) << second.output;
        // A page turned after the signature.
        spit(at("changed.pdf"), appendUpdate(slurp(at("one.pdf")), [](QPDF& qpdf) {
                 QPDFObjectHandle page = qpdf.getAllPages().at(0);
                 page.replaceKey("/Rotate", QPDFObjectHandle::newInteger(90));
                 return Update{{page}, {}, {}};
             }));
    }
};

// Before, only the first certificate of a --trust file vouched for evidence, and --trust could
// not be repeated: each operator's record was refused by the bundle that trusted the other.
TEST_F(Commands, EveryTrustedCertificateVouchesForSignaturesAndEvidence) {
    spit(at("reversed.pem"), slurp(at("b.crt")) + slurp(at("a.crt")));
    for (const std::string& trust :
         {" --trust " + at("both.pem").string(), " --trust " + at("reversed.pem").string(),
          " --trust " + at("a.crt").string() + " --trust " + at("b.crt").string()}) {
        SCOPED_TRACE(trust);
        const Shell v = run(kTool + " pdf verify " + at("two.pdf").string() + trust + kReceiverKey);
        EXPECT_EQ(v.status, 0) << v.output;
        EXPECT_EQ(v.output.find("REFUSED"), std::string::npos) << v.output;
        std::size_t bound = 0;
        for (std::size_t at = 0; (at = v.output.find("evidence: bound", at)) != std::string::npos;
             ++at) {
            ++bound;
        }
        EXPECT_EQ(bound, 2u) << v.output;
    }
    // One operator's certificate alone: the other's signature and record are not trusted.
    const Shell a =
        run(kTool + " pdf verify " + at("two.pdf").string() + " --trust " + at("a.crt").string());
    EXPECT_EQ(a.status, 1);
    EXPECT_NE(a.output.find("signer trusted: NO"), std::string::npos) << a.output;
    // `open` takes the bundle and repeated --trust the same way.
    const std::string evidence = at("b.evidence").string();
    ASSERT_EQ(run(kTool + " replay " + kTrace + " --evidence " + evidence + " --no-document --demo" +
                  " --sign-key " + at("b.key").string() + " --sign-cert " + at("b.crt").string())
                  .status,
              0);
    for (const std::string& trust :
         {" --trust " + at("both.pem").string(),
          " --trust " + at("a.crt").string() + " --trust " + at("b.crt").string()}) {
        const Shell o = run(kTool + " open --evidence " + evidence + kReceiverKey + trust);
        EXPECT_EQ(o.status, 0) << o.output;
        EXPECT_NE(o.output.find("(trusted)"), std::string::npos) << o.output;
    }
}

// Integrity is not trust: without --trust nothing vouches for the signer, and the exit code
// says so apart from both success and failure.
TEST_F(Commands, WithoutTrustTheVerdictIsIntactAndTheExitCodeDistinct) {
    const Shell v = run(kTool + " pdf verify " + at("one.pdf").string());
    EXPECT_EQ(v.status, 3) << v.output;
    EXPECT_NE(v.output.find("one.pdf: intact; signers not checked (no --trust)"), std::string::npos)
        << v.output;
    EXPECT_EQ(v.output.find("check out"), std::string::npos) << v.output;
    // A document modified after signing fails whatever the trust.
    EXPECT_EQ(run(kTool + " pdf verify " + at("changed.pdf").string()).status, 1);
}

// --json carries what the text says: per signature the level and the changes not allowed, and
// the verdict with its exit code.
TEST_F(Commands, TheJsonFormCarriesTheSameVerdict) {
    const auto json = [&](const std::string& file, const std::string& more) {
        const Shell v =
            run(kTool + " pdf verify " + at(file).string() + " --json" + more + " 2>/dev/null");
        const nlohmann::json parsed = nlohmann::json::parse(v.output);
        EXPECT_EQ(parsed.at("exit_code").get<int>(), v.status);
        return parsed;
    };
    const nlohmann::json two =
        json("two.pdf", " --trust " + at("both.pem").string() + kReceiverKey);
    EXPECT_EQ(two.at("exit_code"), 0);
    ASSERT_EQ(two.at("signatures").size(), 2u);
    EXPECT_EQ(two.at("signatures")[0].at("field"), "Approval");
    EXPECT_EQ(two.at("signatures")[0].at("modifications"), "signatures and validation data");
    EXPECT_EQ(two.at("signatures")[0].at("covers"), "earlier revision");
    EXPECT_EQ(two.at("signatures")[1].at("modifications"), "none");
    EXPECT_EQ(two.at("signatures")[1].at("evidence").at("state"), "bound");
    EXPECT_EQ(two.at("signatures")[1].at("trusted"), true);

    const nlohmann::json changed = json("changed.pdf", " --trust " + at("a.crt").string());
    EXPECT_EQ(changed.at("exit_code"), 1);
    const nlohmann::json& first = changed.at("signatures")[0];
    EXPECT_EQ(first.at("modifications"), "other");
    ASSERT_EQ(first.at("modified_after_signing").size(), 1u);
    EXPECT_EQ(first.at("modified_after_signing")[0], "object 3 (page 1's /Rotate)");
    EXPECT_EQ(first.at("ok"), false);
    EXPECT_EQ(json("one.pdf", "").at("exit_code"), 3);
}

TEST_F(Commands, SignRefusesWhatWouldLoseOrMisleadWithOneLine) {
    const std::string in = at("contract.pdf").string(), out = at("one.pdf").string();
    const std::string before = slurp(at("one.pdf"));
    const std::string trace = " --trace " + kTrace + " --demo";
    const std::string keyA = " --sign-key " + at("a.key").string();
    fs::create_directories(at("empty-resources"));
    const struct {
        const char* name;
        std::string command;
        const char* message;
    } cases[] = {
        // IN and OUT swapped: the signed copy would be overwritten.
        {"existing OUT",
         kTool + " pdf sign " + out + " " + in + " --field Witness" + trace + keyA +
             " --sign-cert " + at("a.crt").string(),
         "contract.pdf: exists already (--force replaces it)"},
        {"PEM key alone",
         kTool + " pdf sign " + in + " " + at("new.pdf").string() + " --field Witness" + trace +
             keyA,
         "a PEM or DER private key needs --sign-cert"},
        {"no receiver certificate",
         "PENWELL_RESOURCES=" + at("empty-resources").string() + " " + kTool + " pdf sign " + in +
             " " + at("new.pdf").string() + " --field Witness" + trace + keyA + " --sign-cert " +
             at("a.crt").string(),
         "empty-resources/Penwell.dat: no receiver certificate there"},
        {"certify a signed document",
         kTool + " pdf sign " + out + " " + at("new.pdf").string() +
             " --field Witness --certify 2" + trace + keyA + " --sign-cert " + at("a.crt").string(),
         "only a document's first signature certifies it"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Shell s = run(c.command);
        EXPECT_EQ(s.status, 1);
        EXPECT_NE(s.output.find(c.message), std::string::npos) << s.output;
        EXPECT_EQ(std::count(s.output.begin(), s.output.end(), '\n'), 1) << s.output;
        EXPECT_FALSE(fs::exists(at("new.pdf")));
    }
    EXPECT_EQ(slurp(at("contract.pdf")), contract());
    EXPECT_EQ(slurp(at("one.pdf")), before);
}

// A PDF/A file signed is told whether it still is one: PDF/A-1 allows no transparency group
// and no embedded file, PDF/A-2 embeds only PDF/A files; PDF/A-3 takes the evidence record.
TEST_F(Commands, APdfaInputIsToldWhetherTheSignedFileStillConforms) {
    const auto claiming = [](const std::string& xmp) {
        return pdfFromObjects(
            {"<< /Type /Catalog /Pages 2 0 R /Metadata 4 0 R >>",
             "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
             "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Resources << >> >>",
             "<< /Type /Metadata /Subtype /XML /Length 0 >>\nstream\n<?xpacket begin=''?><x:xmpmeta"
             " xmlns:x='adobe:ns:meta/'><rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/"
             "22-rdf-syntax-ns#'><rdf:Description xmlns:pdfaid='http://www.aiim.org/pdfa/ns/id/' " +
                 xmp + "</rdf:Description></rdf:RDF></x:xmpmeta><?xpacket end='w'?>\nendstream"});
    };
    const struct {
        const char* claim;
        std::string xmp;
        const char* warning;  ///< nil: none
    } cases[] = {
        {"PDF/A-1B", "pdfaid:part='1' pdfaid:conformance='B'>",
         "claims PDF/A-1B; the signed PDF no longer conforms: PDF/A-1 allows neither the ink's "
         "transparency group nor an embedded file"},
        {"PDF/A-2U", "><pdfaid:part>2</pdfaid:part><pdfaid:conformance>U</pdfaid:conformance>",
         "claims PDF/A-2U; the signed PDF no longer conforms: PDF/A-2 embeds only PDF/A files"},
        {"PDF/A-3B", "><pdfaid:part>3</pdfaid:part><pdfaid:conformance>B</pdfaid:conformance>",
         nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.claim);
        spit(at("pdfa.pdf"), claiming(c.xmp));
        const Shell s = sign("pdfa.pdf", "pdfa-signed.pdf", "--page 1 --rect 300,100,200,80");
        EXPECT_EQ(s.status, 0) << s.output;
        // Every warning but the demo certificate's, which each trial signature prints.
        std::string warnings;
        std::istringstream lines(s.output);
        for (std::string line; std::getline(lines, line);) {
            if (line.starts_with("penwell: warning: ") &&
                line.find("DEMO certificate") == std::string::npos) {
                warnings += line + "\n";
            }
        }
        if (c.warning) {
            EXPECT_NE(warnings.find(c.warning), std::string::npos) << s.output;
        } else {
            EXPECT_EQ(warnings, "") << s.output;
        }
        expectSound("pdfa-signed.pdf");
    }
}

}  // namespace
}  // namespace penwell::pdftest
