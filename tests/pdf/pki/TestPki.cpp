#include "pdf/pki/TestPki.h"

#include <openssl/bio.h>
#include <openssl/ec.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <fstream>
#include <stdexcept>

namespace penwell::pki {

namespace {

using Bio = CHandle<BIO, BIO_free_all>;
using Name = CHandle<X509_NAME, X509_NAME_free>;
using Extension = CHandle<X509_EXTENSION, X509_EXTENSION_free>;

void check(bool ok, const std::string& what) {
    if (!ok) {
        throw std::runtime_error("test PKI: cannot " + what);
    }
}

std::string drain(BIO* bio) {
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    return {data, static_cast<std::size_t>(n)};
}

void addExtension(X509* certificate, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    Extension extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str()));
    check(extension && X509_add_ext(certificate, extension.get(), -1) == 1,
          "add extension " + value);
}

}  // namespace

Key newKey() {
    Key key(EVP_EC_gen("P-256"));
    check(key != nullptr, "make a key");
    return key;
}

std::string Party::certificatePem() const {
    Bio bio(BIO_new(BIO_s_mem()));
    check(PEM_write_bio_X509(bio.get(), certificate.get()) == 1, "write a certificate");
    return drain(bio.get());
}

std::string Party::keyPem() const {
    Bio bio(BIO_new(BIO_s_mem()));
    check(PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) ==
              1,
          "write a key");
    return drain(bio.get());
}

TestPki::TestPki(std::time_t now, const std::string& ocspUrl, const std::string& crlUrl)
    : now(now) {
    const std::time_t decade = 3650 * kDay, year = 365 * kDay;
    root = issue({"Penwell Test Root CA", Role::Root, now - decade, now + decade}, root);
    intermediate = issue({"Penwell Test Intermediate CA", Role::Intermediate, now - decade,
                          now + decade, "", crlUrl},
                         root);
    signer = issue({"Penwell Test Signer", Role::Signer, now - year, now + year, ocspUrl},
                   intermediate);
    tsa = issue({"Penwell Test TSA", Role::TimeStamping, now - year, now + year, ocspUrl},
                intermediate);
    ocsp = issue({"Penwell Test OCSP Responder", Role::OcspSigning, now - year, now + year},
                 intermediate);
}

Party TestPki::issue(const Profile& profile, const Party& issuer) {
    Party party;
    party.key = newKey();
    party.serial = nextSerial_++;
    party.certificate.reset(X509_new());
    X509* c = party.certificate.get();
    // The root signs itself: its issuer is the party being made.
    const bool self = profile.role == Role::Root;
    X509* issuerCertificate = self ? c : issuer.certificate.get();
    EVP_PKEY* issuerKey = self ? party.key.get() : issuer.key.get();

    Name name(X509_NAME_new());
    X509_NAME_add_entry_by_txt(name.get(), "O", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("Penwell Test PKI"), -1, -1,
                               0);
    X509_NAME_add_entry_by_txt(name.get(), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(profile.commonName.c_str()),
                               -1, -1, 0);
    check(X509_set_version(c, 2) == 1 &&
              ASN1_INTEGER_set(X509_get_serialNumber(c), party.serial) == 1 &&
              X509_set_subject_name(c, name.get()) == 1 &&
              X509_set_issuer_name(c, self ? name.get()
                                           : X509_get_subject_name(issuerCertificate)) == 1 &&
              ASN1_TIME_set(X509_getm_notBefore(c), profile.from) != nullptr &&
              ASN1_TIME_set(X509_getm_notAfter(c), profile.until) != nullptr &&
              X509_set_pubkey(c, party.key.get()) == 1,
          "fill in " + profile.commonName);

    addExtension(c, issuerCertificate, NID_subject_key_identifier, "hash");
    addExtension(c, issuerCertificate, NID_authority_key_identifier, "keyid:always");
    switch (profile.role) {
        case Role::Root:
        case Role::Intermediate:
            addExtension(c, issuerCertificate, NID_basic_constraints, "critical,CA:TRUE");
            addExtension(c, issuerCertificate, NID_key_usage, "critical,keyCertSign,cRLSign");
            break;
        case Role::Signer:
            addExtension(c, issuerCertificate, NID_key_usage,
                         "critical,digitalSignature,nonRepudiation");
            break;
        case Role::TimeStamping:
            addExtension(c, issuerCertificate, NID_key_usage, "critical,digitalSignature");
            addExtension(c, issuerCertificate, NID_ext_key_usage, "critical,timeStamping");
            break;
        case Role::OcspSigning:
            addExtension(c, issuerCertificate, NID_key_usage, "critical,digitalSignature");
            addExtension(c, issuerCertificate, NID_ext_key_usage, "OCSPSigning");
            // Its own answers are not asked about: the usual short-lived responder.
            addExtension(c, issuerCertificate, NID_id_pkix_OCSP_noCheck, "ignored");
            break;
        case Role::NoUsage:
            addExtension(c, issuerCertificate, NID_key_usage, "critical,digitalSignature");
            addExtension(c, issuerCertificate, NID_ext_key_usage, "codeSigning");
            break;
    }
    if (!profile.ocspUrl.empty()) {
        addExtension(c, issuerCertificate, NID_info_access, "OCSP;URI:" + profile.ocspUrl);
    }
    if (!profile.crlUrl.empty()) {
        addExtension(c, issuerCertificate, NID_crl_distribution_points, "URI:" + profile.crlUrl);
    }
    check(X509_sign(c, issuerKey, EVP_sha256()) > 0, "sign " + profile.commonName);
    return party;
}

std::string TestPki::crl(const Party& issuer) const {
    using Crl = CHandle<X509_CRL, X509_CRL_free>;
    using Time = CHandle<ASN1_TIME, ASN1_TIME_free>;
    using Integer = CHandle<ASN1_INTEGER, ASN1_INTEGER_free>;
    Crl list(X509_CRL_new());
    Time thisUpdate(ASN1_TIME_set(nullptr, now - kDay)), nextUpdate(ASN1_TIME_set(nullptr, now + 7 * kDay));
    check(list && X509_CRL_set_version(list.get(), 1) == 1 &&
              X509_CRL_set_issuer_name(list.get(),
                                       X509_get_subject_name(issuer.certificate.get())) == 1 &&
              X509_CRL_set1_lastUpdate(list.get(), thisUpdate.get()) == 1 &&
              X509_CRL_set1_nextUpdate(list.get(), nextUpdate.get()) == 1,
          "start a CRL");
    for (const auto& [serial, when] : revoked) {
        X509_REVOKED* entry = X509_REVOKED_new();
        Integer number(ASN1_INTEGER_new());
        Time date(ASN1_TIME_set(nullptr, when));
        ASN1_INTEGER_set(number.get(), serial);
        X509_REVOKED_set_serialNumber(entry, number.get());
        X509_REVOKED_set_revocationDate(entry, date.get());
        check(X509_CRL_add0_revoked(list.get(), entry) == 1, "list a revoked serial");
    }
    X509_CRL_sort(list.get());
    check(X509_CRL_sign(list.get(), issuer.key.get(), EVP_sha256()) > 0, "sign a CRL");
    unsigned char* der = nullptr;
    const int n = i2d_X509_CRL(list.get(), &der);
    check(n > 0, "encode a CRL");
    std::string out(reinterpret_cast<char*>(der), static_cast<std::size_t>(n));
    OPENSSL_free(der);
    return out;
}

void TestPki::write(const std::filesystem::path& folder) const {
    const std::pair<const char*, std::string> files[] = {
        {"root.pem", root.certificatePem()},
        {"intermediate.pem", intermediate.certificatePem()},
        {"signer-key.pem", signer.keyPem()},
        {"signer.pem", signer.certificatePem()},
        {"tsa-key.pem", tsa.keyPem()},
        {"tsa.pem", tsa.certificatePem()},
        {"ocsp-key.pem", ocsp.keyPem()},
        {"ocsp.pem", ocsp.certificatePem()},
    };
    for (const auto& [name, text] : files) {
        std::ofstream out(folder / name, std::ios::binary);
        out << text;
        check(static_cast<bool>(out), std::string("write ") + name);
    }
}

}  // namespace penwell::pki
