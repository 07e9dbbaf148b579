// PAdES B-T: `penwell pdf sign --tsa URL` against a time-stamp authority on loopback, built
// on OpenSSL's own TS functions and the test PKI. The token is judged by `openssl ts -verify`,
// the signature by pdfsig, mutool and qpdf --check; each way a TSA can fail the signer must
// refuse, naming the URL, and write nothing.

#include <openssl/cms.h>
#include <openssl/x509.h>
#include <qpdf/QPDFAcroFormDocumentHelper.hh>

#include <ctime>

#include "pdf/Fixtures.h"
#include "pdf/pki/TestPki.h"
#include "pdf/pki/TsaServer.h"
#include "penwell/platform/CHandle.h"

namespace penwell::pdftest {
namespace {

using pki::TsaFault;
using Cms = CHandle<CMS_ContentInfo, CMS_ContentInfo_free>;

/// The CMS of the document's signature `index` (from 0), from its /Contents.
std::string signatureContents(const fs::path& file, std::size_t index) {
    std::shared_ptr<QPDF> qpdf = open(slurp(file));
    QPDFAcroFormDocumentHelper form(*qpdf);
    std::vector<std::string> found;
    for (QPDFFormFieldObjectHelper field : form.getFormFields()) {
        if (field.getFieldType() == "/Sig" && field.getValue().isDictionary()) {
            found.push_back(field.getValue().getKey("/Contents").getStringValue());
        }
    }
    return index < found.size() ? found[index] : std::string();
}

/// The signer's signature value and its time-stamp token, as DER; empty when there is none.
struct Stamped {
    std::string signatureValue, token;
};
Stamped stampedOf(const std::string& cmsBytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(cmsBytes.data());
    Cms cms(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(cmsBytes.size())));
    if (!cms) {
        return {};
    }
    CMS_SignerInfo* signer = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), 0);
    const ASN1_OCTET_STRING* value = CMS_SignerInfo_get0_signature(signer);
    Stamped out;
    out.signatureValue.assign(reinterpret_cast<const char*>(ASN1_STRING_get0_data(value)),
                              static_cast<std::size_t>(ASN1_STRING_length(value)));
    const int at = CMS_unsigned_get_attr_by_NID(signer, NID_id_smime_aa_timeStampToken, -1);
    if (at < 0) {
        return out;
    }
    X509_ATTRIBUTE* attribute = CMS_unsigned_get_attr(signer, at);
    if (X509_ATTRIBUTE_count(attribute) != 1) {
        return out;
    }
    const ASN1_TYPE* type = X509_ATTRIBUTE_get0_type(attribute, 0);
    if (type->type == V_ASN1_SEQUENCE) {
        out.token.assign(reinterpret_cast<const char*>(type->value.sequence->data),
                         static_cast<std::size_t>(type->value.sequence->length));
    }
    return out;
}

class TimestampTest : public Signing {
protected:
    void SetUp() override {
        pki_.write(folder_->path());
        makeDocument(at("plain.pdf"), 1);
    }

    /// `penwell pdf sign plain.pdf OUT` by the PKI's signer with `--tsa` the loopback TSA.
    Shell signStamped(const std::string& out, const std::string& more = "") {
        return run(kTool + " pdf sign " + at("plain.pdf").string() + " " + at(out).string() +
                   " --page 1 --rect 72,72,200,60 --trace " + kTrace + " --sign-key " +
                   at("signer-key.pem").string() + " --sign-cert " + at("signer.pem").string() +
                   " --sign-chain " + at("intermediate.pem").string() + " --demo --force --tsa " +
                   tsa_.url() + " " + more);
    }

    /// `openssl ts -verify` of the token of `file`'s first signature over its signature value,
    /// anchored at the test root.
    Shell verifyToken(const std::string& file) {
        const Stamped stamped = stampedOf(signatureContents(at(file), 0));
        EXPECT_FALSE(stamped.token.empty()) << file << " has no time-stamp token";
        spit(at("value.bin"), stamped.signatureValue);
        spit(at("token.der"), stamped.token);
        return run("openssl ts -verify -data " + at("value.bin").string() + " -in " +
                   at("token.der").string() + " -token_in -CAfile " + at("root.pem").string() +
                   " -untrusted " + at("intermediate.pem").string());
    }

    pki::TestPki pki_{std::time(nullptr)};
    pki::TsaServer tsa_{pki_};
};

TEST_F(TimestampTest, TokenOverTheSignatureValueVerifiesAndTheSignatureStaysValid) {
    const Shell signing = signStamped("bt.pdf");
    ASSERT_EQ(signing.status, 0) << signing.output;
    EXPECT_EQ(tsa_.served(), 1);
    // The token is kept as the authority sent it, not encoded anew.
    EXPECT_EQ(stampedOf(signatureContents(at("bt.pdf"), 0)).token, tsa_.lastToken());
    const Shell token = verifyToken("bt.pdf");
    EXPECT_EQ(token.status, 0) << token.output;
    EXPECT_NE(token.output.find("Verification: OK"), std::string::npos) << token.output;
    expectSound("bt.pdf");
}

TEST_F(TimestampTest, ATokenLargerThanTheRoomReservedIsFetchedAgainWithRoomForIt) {
    tsa_.extraCertificates = 40;  // some 20 KB of certificates in the token
    const Shell signing = signStamped("big.pdf");
    ASSERT_EQ(signing.status, 0) << signing.output;
    EXPECT_EQ(tsa_.served(), 2);
    EXPECT_GT(stampedOf(signatureContents(at("big.pdf"), 0)).token.size(), 16000u);
    const Shell token = verifyToken("big.pdf");
    EXPECT_NE(token.output.find("Verification: OK"), std::string::npos) << token.output;
    expectSound("big.pdf");
}

TEST_F(TimestampTest, EachBadAnswerIsRefusedNamingTheAuthorityAndNothingIsWritten) {
    const std::pair<TsaFault, const char*> cases[] = {
        {TsaFault::WrongImprint, "imprint is not the SHA-256 of what was sent"},
        {TsaFault::WrongNonce, "nonce is not the one sent"},
        {TsaFault::NotTimeStamping, "is not a time-stamping certificate"},
        {TsaFault::Rejected, "refused: rejection"},
        {TsaFault::HttpError, "answered HTTP 500"},
        {TsaFault::Oversize, "longer than"},
        {TsaFault::Garbage, "not a time-stamp response"},
        {TsaFault::TrailingBytes, "not a time-stamp response"},
        {TsaFault::GrantedNoToken, "grants a token but holds none"},
    };
    for (const auto& [fault, says] : cases) {
        tsa_.fault = fault;
        const Shell signing = signStamped("refused.pdf");
        EXPECT_NE(signing.status, 0) << says;
        EXPECT_NE(signing.output.find(tsa_.url() + ": "), std::string::npos) << signing.output;
        EXPECT_NE(signing.output.find(says), std::string::npos) << signing.output;
        EXPECT_EQ(std::count(signing.output.begin(), signing.output.end(), '\n'), 1)
            << signing.output;
        EXPECT_FALSE(fs::exists(at("refused.pdf"))) << says;
    }
}

TEST_F(TimestampTest, NoAuthorityListeningIsRefusedNamingTheUrl) {
    std::string url;
    {
        test::LoopbackHttp gone([](const test::HttpExchange&) { return test::HttpAnswer{}; });
        url = gone.url("/tsa");
    }
    const Shell signing = run(kTool + " pdf sign " + at("plain.pdf").string() + " " +
                              at("none.pdf").string() + " --page 1 --rect 72,72,200,60 --trace " +
                              kTrace + " --sign-key " + at("signer-key.pem").string() +
                              " --sign-cert " + at("signer.pem").string() + " --demo --tsa " + url);
    EXPECT_NE(signing.status, 0);
    EXPECT_NE(signing.output.find(url + ": "), std::string::npos) << signing.output;
    EXPECT_FALSE(fs::exists(at("none.pdf")));
}

}  // namespace
}  // namespace penwell::pdftest
