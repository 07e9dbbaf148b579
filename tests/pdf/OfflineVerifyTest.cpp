// `pdf verify --offline [--at TIME]`: judging each signer from what the file carries, as an
// archive does years later. The signer's certificate here lives two days; a B-LTA file must
// still check out a month later, a B-B file must fail then with the reason, and files whose
// /DSS lacks or contradicts what the judgement needs must fail naming the certificate.

#include <openssl/evp.h>

#include "pdf/pki/LongTermFixture.h"
#include "penwell/pdf/PdfSignature.h"

namespace penwell::pdftest {
namespace {

/// "YYYY-MM-DD" of `seconds`, UTC.
std::string day(std::time_t seconds) {
    std::tm when{};
    gmtime_r(&seconds, &when);
    char text[16];
    std::strftime(text, sizeof text, "%Y-%m-%d", &when);
    return text;
}

std::string sha1Hex(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha1(), nullptr);
    std::string out;
    for (unsigned i = 0; i < length; ++i) {
        out += "0123456789ABCDEF"[digest[i] >> 4];
        out += "0123456789ABCDEF"[digest[i] & 15];
    }
    return out;
}

class OfflineVerifyTest : public LongTermTest {
protected:
    void SetUp() override {
        // A signer whose certificate expires tomorrow; the TSA's lasts a year.
        pki_.signer = pki_.issue({"Penwell Test Signer", pki::Role::Signer, pki_.now - pki::kDay,
                                  pki_.now + pki::kDay, revocation_.ocspUrl()},
                                 pki_.intermediate);
        LongTermTest::SetUp();
    }

    Shell verifyOffline(const std::string& file, const std::string& more = "") {
        return run(kTool + " pdf verify " + at(file).string() + " --trust " +
                   at("root.pem").string() + " --offline " + more + " 2>&1");
    }

    /// An OCSP answer about `who` (signer or tsa) from the test responder, as it is now.
    std::string answerAbout(const std::string& who) {
        const fs::path out = at(who + ".ocsp");
        const Shell asked =
            run("openssl ocsp -issuer " + at("intermediate.pem").string() + " -cert " +
                at(who + ".pem").string() + " -url " + revocation_.ocspUrl() +
                " -no_nonce -noverify -respout " + out.string() + " 2>&1");
        EXPECT_EQ(asked.status, 0) << asked.output;
        return slurp(out);
    }

    /// `file` with an update whose /DSS has `ocsps` as its OCSP answers, and `vri` (a
    /// dictionary's text, its streams named @0, @1... for `vriStreams`) as its /VRI.
    std::string withDss(const std::string& file, const std::vector<std::string>& ocsps,
                        const std::string& vri = "",
                        const std::vector<std::string>& vriStreams = {}) {
        return appendUpdate(file, [&](QPDF& qpdf) {
            QPDFObjectHandle dss = qpdf.getRoot().getKey("/DSS");
            QPDFObjectHandle array = QPDFObjectHandle::newArray();
            for (const std::string& answer : ocsps) {
                array.appendItem(
                    qpdf.makeIndirectObject(QPDFObjectHandle::newStream(&qpdf, answer)));
            }
            dss.replaceKey("/OCSPs", array);
            if (!vri.empty()) {
                std::string text = vri;
                for (std::size_t i = 0; i < vriStreams.size(); ++i) {
                    QPDFObjectHandle stream =
                        qpdf.makeIndirectObject(QPDFObjectHandle::newStream(&qpdf, vriStreams[i]));
                    const std::string name = "@" + std::to_string(i);
                    text.replace(text.find(name), name.size(), stream.unparse());
                }
                dss.replaceKey("/VRI", QPDFObjectHandle::parse(&qpdf, text));
            }
            return Update{{dss}, {}, std::nullopt};
        });
    }
};

TEST_F(OfflineVerifyTest, AMonthAfterTheSignerExpiredTheArchiveFilePassesAndTheBasicOneFails) {
    ASSERT_EQ(signLt("lta.pdf", "", "B-LTA").status, 0);
    const Shell basic =
        run(kTool + " pdf sign " + at("plain.pdf").string() + " " + at("bb.pdf").string() +
            " --page 1 --rect 72,72,200,60 --trace " + kTrace + " --sign-key " +
            at("signer-key.pem").string() + " --sign-cert " + at("signer.pem").string() +
            " --sign-chain " + at("intermediate.pem").string() + " --demo");
    ASSERT_EQ(basic.status, 0) << basic.output;
    const std::string later = day(pki_.now + 30 * pki::kDay);

    // The signature is judged when its time-stamp says it was made, the document time-stamp
    // at the validation time.
    const Shell archive = verifyOffline("lta.pdf", "--at " + later);
    EXPECT_EQ(archive.status, 0) << archive.output;
    const std::string stamped = "time-stamped: " + pdf::utcText(pki_.now);
    for (const std::string& line : std::vector<std::string>{
             stamped, "judged as of: " + pdf::utcText(pki_.now),
             "judged as of: " + later + " 00:00:00Z",
             "check out as of " + later + " 00:00:00Z, from what the file carries"}) {
        EXPECT_NE(archive.output.find(line), std::string::npos) << line << "\n" << archive.output;
    }

    const Shell expired = verifyOffline("bb.pdf", "--at " + later);
    EXPECT_EQ(expired.status, 1) << expired.output;
    EXPECT_NE(expired.output.find("problem: CN=Penwell Test Signer,O=Penwell Test PKI: not valid "
                                  "as of " +
                                  later +
                                  " 00:00:00Z with --trust: certificate has "
                                  "expired; nothing in the file proves the signature existed "
                                  "earlier"),
              std::string::npos)
        << expired.output;
    // Today the basic file's chain is valid, but nothing in it says the signer was not revoked.
    const Shell today = verifyOffline("bb.pdf");
    EXPECT_EQ(today.status, 1) << today.output;
    EXPECT_NE(today.output.find("CN=Penwell Test Signer,O=Penwell Test PKI: the file holds no "
                                "OCSP answer or CRL for it"),
              std::string::npos)
        << today.output;

    // Before it was made, the file proves nothing.
    const std::string before = day(pki_.now - pki::kDay);
    const Shell early = verifyOffline("lta.pdf", "--at " + before);
    EXPECT_EQ(early.status, 1) << early.output;
    EXPECT_NE(early.output.find("problem: time-stamped on " + pdf::utcText(pki_.now) +
                                ", after the validation time " + before + " 00:00:00Z"),
              std::string::npos)
        << early.output;

    // Two years on the last time-stamp's own certificate has expired: the file needed renewing.
    const Shell tooLate = verifyOffline("lta.pdf", "--at " + day(pki_.now + 730 * pki::kDay));
    EXPECT_EQ(tooLate.status, 1) << tooLate.output;
    EXPECT_NE(tooLate.output.find("CN=Penwell Test TSA,O=Penwell Test PKI: not valid as of"),
              std::string::npos)
        << tooLate.output;
}

TEST_F(OfflineVerifyTest, ValidationDataThatIsMissingOrSaysRevokedFailsNamingTheCertificate) {
    ASSERT_EQ(signLt("lt.pdf").status, 0);
    const std::string lt = slurp(at("lt.pdf"));
    const Shell intact = verifyOffline("lt.pdf");
    ASSERT_EQ(intact.status, 0) << intact.output;

    std::string contents;
    {
        std::shared_ptr<QPDF> qpdf = open(lt);
        for (QPDFObjectHandle& object : qpdf->getAllObjects()) {
            if (object.isDictionary() && object.getKey("/Type").isNameAndEquals("/Sig")) {
                contents = object.getKey("/Contents").getStringValue();
            }
        }
    }
    ASSERT_FALSE(contents.empty());
    const std::string signerAnswer = answerAbout("signer"), tsaAnswer = answerAbout("tsa");
    pki_.revoked.push_back({pki_.signer.serial, pki_.now - pki::kDay});
    const std::string revokedAnswer = answerAbout("signer");
    pki_.revoked.clear();

    struct Case {
        const char* name;
        std::string file;
        std::string says;
    };
    const Case cases[] = {
        {"no answer for the TSA", withDss(lt, {signerAnswer}),
         "problem: its time-stamp token: CN=Penwell Test TSA,O=Penwell Test PKI: the file holds "
         "no OCSP answer or CRL for it"},
        {"the signer revoked before it signed", withDss(lt, {revokedAnswer, tsaAnswer}),
         "problem: CN=Penwell Test Signer,O=Penwell Test PKI: revoked on " +
             pdf::utcText(pki_.now - pki::kDay) + ", before it was used on " +
             pdf::utcText(pki_.now) + " (OCSP)"},
        {"a /VRI entry with an answer the /DSS lacks",
         withDss(lt, {signerAnswer, tsaAnswer}, "<< /" + sha1Hex(contents) + " << /OCSP [@0] >> >>",
                 {revokedAnswer}),
         "problem: its /VRI entry holds an OCSP answer the /DSS does not"},
        // Keyed by the digest of /Contents without its zero padding, as some signers write it.
        {"the same, keyed without the padding",
         withDss(lt, {signerAnswer, tsaAnswer},
                 "<< /" + sha1Hex(contents.substr(0, derLength(contents))) +
                     " << /Cert [@0] >> >>",
                 {"not a certificate"}),
         "problem: its /VRI entry holds a certificate the /DSS does not"},
    };
    for (const Case& c : cases) {
        spit(at("changed.pdf"), c.file);
        const Shell verified = verifyOffline("changed.pdf");
        EXPECT_EQ(verified.status, 1) << c.name << "\n" << verified.output;
        EXPECT_NE(verified.output.find(c.says), std::string::npos) << c.name << "\n"
                                                                   << verified.output;
        // The bytes signed are untouched: only the judgement of the signer fails.
        EXPECT_NE(verified.output.find("digest and signature valid: yes"), std::string::npos)
            << c.name;
    }
    // The /DSS rewritten with both answers and a /VRI that holds only what it holds passes.
    spit(at("consistent.pdf"),
         withDss(lt, {signerAnswer, tsaAnswer}, "<< /" + sha1Hex(contents) + " << /OCSP [@0] >> >>",
                 {signerAnswer}));
    const Shell consistent = verifyOffline("consistent.pdf");
    EXPECT_EQ(consistent.status, 0) << consistent.output;
}

TEST_F(OfflineVerifyTest, UsageErrorsExitTwo) {
    ASSERT_EQ(signLt("lt.pdf").status, 0);
    const std::pair<std::string, const char*> cases[] = {
        {"--at 2030-01-01", "--at requires --offline"},
        {"--offline", "--offline: needs --trust, where the chains end"},
        {"--offline --trust " + at("root.pem").string() + " --at 2027-02-31",
         "--at 2027-02-31: not a time"},
        {"--offline --trust " + at("root.pem").string() + " --at tomorrow",
         "--at tomorrow: not a time"},
    };
    for (const auto& [options, says] : cases) {
        const Shell verified =
            run(kTool + " pdf verify " + at("lt.pdf").string() + " " + options + " 2>&1");
        EXPECT_EQ(verified.status, 2) << options << "\n" << verified.output;
        EXPECT_NE(verified.output.find(says), std::string::npos) << verified.output;
    }
}

}  // namespace
}  // namespace penwell::pdftest
