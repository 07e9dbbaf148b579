// PAdES B-LT: `penwell pdf sign --level B-LT` against the test PKI's TSA, OCSP responder and
// CRL host on loopback. The /DSS must cover the signer's chain and the TSA's chain to the
// anchor, each OCSP answer must pass `openssl ocsp`, the signature must stay valid in pdfsig
// and the file in qpdf --check; a certificate without revocation data, a revoked signer and
// a refusing responder are refused, naming what is at fault, and nothing is written.

#include <qpdf/QPDFObjectHandle.hh>

#include <set>

#include "pdf/pki/LongTermFixture.h"

namespace penwell::pdftest {
namespace {

TEST_F(LongTermTest, DssCoversTheSignersAndTheTsasChainsWithAnswersThatVerify) {
    const Shell signing = signLt("lt.pdf");
    ASSERT_EQ(signing.status, 0) << signing.output;
    const Dss dss = dssOf(at("lt.pdf"));
    const std::set<std::string> certs(dss.certs.begin(), dss.certs.end());
    EXPECT_EQ(certs, (std::set<std::string>{der(pki_.root), der(pki_.intermediate),
                                            der(pki_.signer), der(pki_.tsa), der(pki_.ocsp)}));
    EXPECT_EQ(dss.certs.size(), certs.size()) << "a certificate stored twice";
    ASSERT_EQ(dss.ocsps.size(), 2u);  // the signer's and the TSA's
    std::string verdicts;
    for (const std::string& answer : dss.ocsps) {
        const std::string verdict = ocspVerdict(answer);
        EXPECT_NE(verdict.find("Response verify OK"), std::string::npos) << verdict;
        verdicts += verdict;
    }
    EXPECT_NE(verdicts.find("signer.pem: good"), std::string::npos) << verdicts;
    EXPECT_NE(verdicts.find("tsa.pem: good"), std::string::npos) << verdicts;
    // The intermediate's status comes from the root's CRL.
    ASSERT_EQ(dss.crls.size(), 1u);
    spit(at("dss.crl"), dss.crls[0]);
    const Shell crl = run("openssl crl -inform DER -in " + at("dss.crl").string() + " -CAfile " +
                          at("root.pem").string() + " -noout -issuer");
    EXPECT_NE(crl.output.find("verify OK"), std::string::npos) << crl.output;
    EXPECT_NE(crl.output.find("CN = Penwell Test Root CA"), std::string::npos) << crl.output;
    expectValidAndChecked("lt.pdf");
}

TEST_F(LongTermTest, GivenAnswersAndCrlsAreUsedWithoutAskingAnyServer) {
    for (const std::string who : {"signer", "tsa"}) {
        const Shell asked = run("openssl ocsp -issuer " + at("intermediate.pem").string() +
                                " -cert " + at(who + ".pem").string() + " -url " +
                                revocation_.ocspUrl() + " -no_nonce -noverify -respout " +
                                at(who + ".ocsp").string());
        ASSERT_EQ(asked.status, 0) << asked.output;
    }
    spit(at("root.crl"), pki_.crl(pki_.root));
    const int before = revocation_.served();
    const Shell signing = signLt("offline.pdf", "--ocsp " + at("signer.ocsp").string() +
                                                    " --ocsp " + at("tsa.ocsp").string() +
                                                    " --crl " + at("root.crl").string());
    ASSERT_EQ(signing.status, 0) << signing.output;
    EXPECT_EQ(revocation_.served(), before);
    const Dss dss = dssOf(at("offline.pdf"));
    EXPECT_EQ(dss.ocsps.size(), 2u);
    EXPECT_EQ(dss.crls.size(), 1u);
    expectValidAndChecked("offline.pdf");
}

TEST_F(LongTermTest, MissingOrBadRevocationDataIsRefusedNamingTheCertificate) {
    struct Case {
        const char* name;
        std::function<void()> arrange;
        const char* says;
    };
    const Case cases[] = {
        {"a revoked signer",
         [&] { pki_.revoked.push_back({pki_.signer.serial, pki_.now - pki::kDay}); },
         "CN=Penwell Test Signer,O=Penwell Test PKI: revoked (OCSP)"},
        {"a revoked intermediate",
         [&] { pki_.revoked.push_back({pki_.intermediate.serial, pki_.now - pki::kDay}); },
         "CN=Penwell Test Intermediate CA,O=Penwell Test PKI: revoked (CRL from "},
        {"a responder that refuses", [&] { revocation_.refuseOcsp = true; },
         ": the OCSP responder refused: unauthorized"},
        // Last: the TSA stays replaced.
        {"a TSA whose certificate names no responder",
         [&] {
             pki_.tsa = pki_.issue({"Penwell Test TSA Without AIA", pki::Role::TimeStamping,
                                    pki_.now - pki::kDay, pki_.now + pki::kDay},
                                   pki_.intermediate);
         },
         "CN=Penwell Test TSA Without AIA,O=Penwell Test PKI: its certificate names no OCSP "
         "responder and no CRL distribution point"},
    };
    for (const Case& c : cases) {
        c.arrange();
        const Shell signing = signLt("refused.pdf");
        EXPECT_NE(signing.status, 0) << c.name;
        EXPECT_NE(signing.output.find(c.says), std::string::npos) << c.name << ": "
                                                                  << signing.output;
        EXPECT_FALSE(fs::exists(at("refused.pdf"))) << c.name;
        revocation_.refuseOcsp = false;
        pki_.revoked.clear();
    }
}

TEST_F(LongTermTest, ASignerThatDoesNotChainToTheAnchorIsRefused) {
    pki::TestPki other(pki_.now);
    spit(at("other-root.pem"), other.root.certificatePem());
    const Shell signing = run(kTool + " pdf sign " + at("plain.pdf").string() + " " +
                              at("other.pdf").string() + " --page 1 --rect 72,72,200,60 --trace " +
                              kTrace + " --sign-key " + at("signer-key.pem").string() +
                              " --sign-cert " + at("signer.pem").string() + " --demo --tsa " +
                              tsa_.url() + " --level B-LT --trust " +
                              at("other-root.pem").string());
    EXPECT_NE(signing.status, 0);
    EXPECT_NE(signing.output.find("CN=Penwell Test Signer,O=Penwell Test PKI: does not chain to "
                                  "--trust"),
              std::string::npos)
        << signing.output;
    EXPECT_FALSE(fs::exists(at("other.pdf")));
}

/// Every document time-stamp of `file`: the bytes its /ByteRange covers and its token.
struct DocumentStamp {
    std::string covered, token;
};
std::vector<DocumentStamp> documentStamps(const std::string& bytes) {
    std::shared_ptr<QPDF> qpdf = open(bytes);
    std::vector<DocumentStamp> out;
    for (QPDFObjectHandle& object : qpdf->getAllObjects()) {
        if (!object.isDictionary() || !object.getKey("/Type").isNameAndEquals("/DocTimeStamp")) {
            continue;
        }
        EXPECT_TRUE(object.getKey("/SubFilter").isNameAndEquals("/ETSI.RFC3161"));
        std::vector<QPDFObjectHandle> range = object.getKey("/ByteRange").getArrayAsVector();
        EXPECT_EQ(range.size(), 4u);
        DocumentStamp stamp;
        for (std::size_t i = 0; i + 1 < range.size(); i += 2) {
            stamp.covered += bytes.substr(static_cast<std::size_t>(range[i].getIntValue()),
                                          static_cast<std::size_t>(range[i + 1].getIntValue()));
        }
        // The token is as long as its DER says: trimming the zero padding instead cut a token
        // whose last byte is 0 (one in 256), and openssl then refused it.
        const std::string contents = object.getKey("/Contents").getStringValue();
        stamp.token = contents.substr(0, derLength(contents));
        EXPECT_FALSE(stamp.token.empty());
        out.push_back(std::move(stamp));
    }
    return out;
}

class LongTermArchiveTest : public LongTermTest {
protected:
    /// `penwell pdf verify FILE --trust root.pem`.
    Shell verify(const std::string& file, const std::string& more) {
        return run(kTool + " pdf verify " + at(file).string() + " --trust " +
                   at("root.pem").string() + " " + more);
    }

    /// `openssl ts -verify` of each document time-stamp of `file` over the bytes it covers.
    void expectStampsVerify(const std::string& file, std::size_t count) {
        const std::vector<DocumentStamp> stamps = documentStamps(slurp(at(file)));
        ASSERT_EQ(stamps.size(), count) << file;
        for (const DocumentStamp& stamp : stamps) {
            spit(at("covered.bin"), stamp.covered);
            spit(at("stamp.der"), stamp.token);
            const Shell verified = run("openssl ts -verify -data " + at("covered.bin").string() +
                                       " -in " + at("stamp.der").string() + " -token_in -CAfile " +
                                       at("root.pem").string() + " -untrusted " +
                                       at("intermediate.pem").string());
            EXPECT_NE(verified.output.find("Verification: OK"), std::string::npos)
                << file << ": " << verified.output;
        }
        // The signature stays valid whatever follows it.
        const std::vector<PdfsigVerdict> verdicts = pdfsig(at(file));
        ASSERT_FALSE(verdicts.empty()) << file;
        EXPECT_TRUE(verdicts[0].valid) << file;
        const Shell check = run("qpdf --check " + at(file).string());
        EXPECT_EQ(check.status, 0) << check.output;
    }
};

TEST_F(LongTermArchiveTest, DocumentTimeStampCoversTheFileWithItsDss) {
    const Shell signing = signLt("lta.pdf", "", "B-LTA");
    ASSERT_EQ(signing.status, 0) << signing.output;
    expectStampsVerify("lta.pdf", 1);
    // The time-stamp covers everything before its own /Contents, the /DSS included.
    const std::string file = slurp(at("lta.pdf"));
    const std::vector<DocumentStamp> stamps = documentStamps(file);
    ASSERT_EQ(stamps.size(), 1u);
    EXPECT_LT(file.find("/DSS"), file.find("/DocTimeStamp"));

    const Shell verified = verify("lta.pdf", "");
    EXPECT_EQ(verified.status, 0) << verified.output;
    for (const char* line : {"level: B-LTA", "time-stamped: ", "document time-stamp: ",
                             "signer: CN=Penwell Test TSA,O=Penwell Test PKI"}) {
        EXPECT_NE(verified.output.find(line), std::string::npos) << line << "\n"
                                                                 << verified.output;
    }
}

TEST_F(LongTermArchiveTest, TokensLargerThanTheirRoomAreFetchedAgainAndEveryRangeStillVerifies) {
    // The signature and the document time-stamp are written in one pass, the document hashed
    // once for both: each update written again with more room must still hash its own bytes.
    tsa_.extraCertificates = 40;  // some 20 KB of certificates in each token
    const Shell signing = signLt("big.pdf", "", "B-LTA");
    ASSERT_EQ(signing.status, 0) << signing.output;
    EXPECT_EQ(tsa_.served(), 4);  // each token outgrew its first room
    expectStampsVerify("big.pdf", 1);
    const Shell verified = verify("big.pdf", "");
    EXPECT_EQ(verified.status, 0) << verified.output;
    EXPECT_NE(verified.output.find("level: B-LTA"), std::string::npos) << verified.output;
}

TEST_F(LongTermArchiveTest, VerifyTellsEachLevel) {
    for (const std::string level : {"B-T", "B-LT", "B-LTA"}) {
        const Shell signing = signLt("level.pdf", "", level);
        ASSERT_EQ(signing.status, 0) << signing.output;
        const Shell verified = verify("level.pdf", "");
        EXPECT_EQ(verified.status, 0) << verified.output;
        EXPECT_NE(verified.output.find("level: " + level + "\n"), std::string::npos)
            << verified.output;
    }
}

TEST_F(LongTermArchiveTest, ABytePastTheSignatureButUnderTheDocumentTimeStampFailsIt) {
    ASSERT_EQ(signLt("lta.pdf", "", "B-LTA").status, 0);
    std::string file = slurp(at("lta.pdf"));
    // A byte of the last stream of the /DSS update: after the signature's revision, under
    // the document time-stamp's.
    const std::size_t at_ = file.rfind("endstream", file.find("/DocTimeStamp")) - 3;
    file[at_] = static_cast<char>(file[at_] ^ 0x01);
    spit(at("tampered.pdf"), file);
    const Shell verified = verify("tampered.pdf", "");
    EXPECT_NE(verified.status, 0) << verified.output;
    EXPECT_NE(verified.output.find("imprint is not the digest of what it covers"),
              std::string::npos)
        << verified.output;
}

TEST_F(LongTermArchiveTest, ThreeRenewalsKeepEverySignatureAndEveryTimeStampValid) {
    ASSERT_EQ(signLt("round0.pdf").status, 0);  // B-LT
    for (int round = 1; round <= 3; ++round) {
        const std::string in = "round" + std::to_string(round - 1) + ".pdf";
        const std::string out = "round" + std::to_string(round) + ".pdf";
        const Shell augmented =
            run(kTool + " pdf augment " + at(in).string() + " " + at(out).string() +
                " --level B-LTA --tsa " + tsa_.url() + " --trust " + at("root.pem").string());
        ASSERT_EQ(augmented.status, 0) << augmented.output;
        const std::string before = slurp(at(in)), after = slurp(at(out));
        EXPECT_EQ(after.compare(0, before.size(), before), 0) << "not an incremental update";
        expectStampsVerify(out, static_cast<std::size_t>(round));
    }
    // Judged from the file alone: each time-stamp at the time of the one after it, each with
    // the revocation data the renewal after it added.
    const Shell offline = verify("round3.pdf", "--offline");
    EXPECT_EQ(offline.status, 0) << offline.output;
}

TEST_F(LongTermArchiveTest, AugmentRefusesWhatItCannotDo) {
    ASSERT_EQ(signLt("lt.pdf").status, 0);
    const std::pair<std::string, const char*> cases[] = {
        {"--level B-LTA --trust " + at("root.pem").string(), "needs --tsa"},
        {"--level B-T --tsa " + tsa_.url(), "augment raises to B-LT or B-LTA"},
        {"--level B-LT", "needs --trust"},
    };
    for (const auto& [options, says] : cases) {
        const Shell augmented = run(kTool + " pdf augment " + at("lt.pdf").string() + " " +
                                    at("no.pdf").string() + " " + options);
        EXPECT_EQ(augmented.status, 2) << options;
        EXPECT_NE(augmented.output.find(says), std::string::npos) << augmented.output;
        EXPECT_FALSE(fs::exists(at("no.pdf")));
    }
}

}  // namespace
}  // namespace penwell::pdftest
