#pragma once
// The long-term signature tests' common ground: the test PKI with its TSA, OCSP responder and
// CRL host on loopback, a document to sign, and `pdf sign` at a long-term level.

#include <openssl/asn1.h>
#include <qpdf/QPDFObjectHandle.hh>

#include <ctime>

#include "pdf/Fixtures.h"
#include "pdf/pki/RevocationServer.h"
#include "pdf/pki/TestPki.h"
#include "pdf/pki/TsaServer.h"

namespace penwell::pdftest {

/// The DER items of each array of the document's /DSS.
struct Dss {
    std::vector<std::string> certs, ocsps, crls;
};
inline Dss dssOf(const fs::path& file) {
    std::shared_ptr<QPDF> qpdf = open(slurp(file));
    QPDFObjectHandle dss = qpdf->getRoot().getKey("/DSS");
    Dss out;
    for (const auto& [key, into] :
         {std::pair{"/Certs", &out.certs}, {"/OCSPs", &out.ocsps}, {"/CRLs", &out.crls}}) {
        QPDFObjectHandle array = dss.isDictionary() ? dss.getKey(key) : QPDFObjectHandle();
        for (int i = 0; array.isArray() && i < array.getArrayNItems(); ++i) {
            std::shared_ptr<Buffer> data = array.getArrayItem(i).getStreamData(qpdf_dl_all);
            into->emplace_back(reinterpret_cast<const char*>(data->getBuffer()), data->getSize());
        }
    }
    return out;
}

/// How long the DER value at the start of `bytes` is, header included (a /Contents without
/// its zero padding); 0 when no value starts there.
inline std::size_t derLength(const std::string& bytes) {
    const auto* start = reinterpret_cast<const unsigned char*>(bytes.data());
    const unsigned char* body = start;
    long length = 0;
    int tag = 0, objectClass = 0;
    if (ASN1_get_object(&body, &length, &tag, &objectClass, static_cast<long>(bytes.size())) &
        0x80) {
        return 0;
    }
    return static_cast<std::size_t>(body - start) + static_cast<std::size_t>(length);
}

inline std::string der(const pki::Party& party) {
    unsigned char* bytes = nullptr;
    const int n = i2d_X509(party.certificate.get(), &bytes);
    std::string out(reinterpret_cast<char*>(bytes), static_cast<std::size_t>(n));
    OPENSSL_free(bytes);
    return out;
}

class LongTermTest : public Signing {
protected:
    void SetUp() override {
        revocation_.serve(pki_);
        pki_.write(folder_->path());
        makeDocument(at("plain.pdf"), 1);
    }

    Shell signLt(const std::string& out, const std::string& more = "",
                 const std::string& level = "B-LT") {
        return run(kTool + " pdf sign " + at("plain.pdf").string() + " " + at(out).string() +
                   " --page 1 --rect 72,72,200,60 --trace " + kTrace + " --sign-key " +
                   at("signer-key.pem").string() + " --sign-cert " + at("signer.pem").string() +
                   " --sign-chain " + at("intermediate.pem").string() + " --demo --force --tsa " +
                   tsa_.url() + " --level " + level +
                   (level.starts_with("B-LT") ? " --trust " + at("root.pem").string() : "") + " " +
                   more);
    }

    /// The lines `openssl ocsp` prints for `answer` about the signer's and the TSA's
    /// certificates, the answer's signature checked up to the test root.
    std::string ocspVerdict(const std::string& answer) {
        spit(at("answer.der"), answer);
        return run("openssl ocsp -respin " + at("answer.der").string() + " -CAfile " +
                   at("root.pem").string() + " -verify_other " + at("intermediate.pem").string() +
                   " -issuer " + at("intermediate.pem").string() + " -cert " +
                   at("signer.pem").string() + " -cert " + at("tsa.pem").string() + " 2>&1")
            .output;
    }

    void expectValidAndChecked(const std::string& file) {
        const Shell check = run("qpdf --check " + at(file).string());
        EXPECT_EQ(check.status, 0) << check.output;
        const std::vector<PdfsigVerdict> verdicts = pdfsig(at(file));
        ASSERT_EQ(verdicts.size(), 1u) << file;
        EXPECT_TRUE(verdicts[0].valid) << file;
    }

    pki::RevocationServer revocation_;
    pki::TestPki pki_{std::time(nullptr), revocation_.ocspUrl(), revocation_.crlUrl()};
    pki::TsaServer tsa_{pki_};
};

}  // namespace penwell::pdftest
