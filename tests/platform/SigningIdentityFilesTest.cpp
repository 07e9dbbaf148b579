// The one loader of the operator's signing identity, fed files made here: by OpenSSL's API
// (tests/support) and, for PKCS#12, by the openssl command, an implementation independent of
// the loader's.

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdlib>

#include "penwell/platform/SigningIdentityFiles.h"
#include "penwell/platform/filesystem/StagedFile.h"
#include "support/CertificateFixtures.h"

namespace penwell {
namespace {

using test::TempDir;

Bytes der(EVP_PKEY* key) {
    const int length = i2d_PrivateKey(key, nullptr);
    Bytes out(static_cast<std::size_t>(length));
    unsigned char* p = out.data();
    i2d_PrivateKey(key, &p);
    return out;
}

/// Every certificate of PEM text, as DER, in order.
std::vector<Bytes> certificatesOf(const Bytes& pem) {
    std::vector<Bytes> all;
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    while (X509* c = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) {
        const int length = i2d_X509(c, nullptr);
        Bytes d(static_cast<std::size_t>(length));
        unsigned char* p = d.data();
        i2d_X509(c, &p);
        all.push_back(std::move(d));
        X509_free(c);
    }
    BIO_free(bio);
    return all;
}

/// Whether the loaded key is the private half of `certificate`.
bool keyFits(const SigningIdentity& identity, ByteView certificate) {
    BIO* bio = BIO_new_mem_buf(identity.privateKey.data(), static_cast<int>(identity.privateKey.size()));
    EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    const unsigned char* p = certificate.data();
    X509* x = d2i_X509(nullptr, &p, static_cast<long>(certificate.size()));
    const bool fits = key != nullptr && x != nullptr && X509_check_private_key(x, key) == 1;
    EVP_PKEY_free(key);
    X509_free(x);
    return fits;
}

class SigningIdentityFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv(kSignPasswordVariable);
        const auto key = test::generateRsaKey(2048);
        const auto other = test::generateRsaKey(2048);
        const auto intermediate = test::generateRsaKey(2048);
        cert_ = test::makeSelfSignedDer(key.get(), {{"CN", "Operator"}});
        otherCert_ = test::makeSelfSignedDer(other.get(), {{"CN", "Other"}});
        intermediateCert_ = test::makeSelfSignedDer(intermediate.get(), {{"CN", "Intermediate"}});
        test::writeFile(at("key.pem"), test::keyPem(key.get()));
        test::writeFile(at("key.der"), der(key.get()));
        test::writeFile(at("sealed.pem"), test::keyPem(key.get(), "open sesame"));
        test::writeFile(at("cert.pem"), test::certificatePem(cert_));
        test::writeFile(at("cert.der"), cert_);
        test::writeFile(at("other.pem"), test::certificatePem(otherCert_));
        test::writeFile(at("intermediate.pem"), test::certificatePem(intermediateCert_));
        test::writeFile(at("cert+chain.pem"),
                        test::certificatePem(cert_) + test::certificatePem(intermediateCert_));
        test::writeFile(at("pass.txt"), std::string("open sesame\n"));
        test::writeFile(at("p12pass.txt"), std::string("secret\r\n"));
        test::writeFile(at("wrong.txt"), std::string("guess\n"));
        test::writeFile(at("junk.pem"), std::string("not a certificate\n"));
        const std::string command =
            "openssl pkcs12 -export -passout pass:secret -inkey " + at("key.pem").string() +
            " -in " + at("cert.pem").string() + " -certfile " + at("intermediate.pem").string() +
            " -out " + at("id.p12").string() + " 2>/dev/null";
        ASSERT_EQ(std::system(command.c_str()), 0);
    }

    std::filesystem::path at(const std::string& name) const { return folder_.path() / name; }

    SigningIdentityFiles files(const std::string& key, const std::string& certificate = "",
                               const std::string& password = "", const std::string& chain = "") {
        SigningIdentityFiles f;
        f.key = at(key).string();
        if (!certificate.empty()) f.certificate = at(certificate);
        if (!password.empty()) f.passwordFile = at(password);
        if (!chain.empty()) f.chain = at(chain);
        return f;
    }

    TempDir folder_;
    Bytes cert_, otherCert_, intermediateCert_;
};

// Every way an identity is given that loads, and the certificates each signature then carries:
// the operator's first, then the intermediates, none twice.
TEST_F(SigningIdentityFilesTest, EachFormLoadsTheKeyWithItsCertificateFirstAndItsChainAfter) {
    const struct {
        const char* what;
        SigningIdentityFiles files;
        std::vector<Bytes> certificates;
    } cases[] = {
        {"PEM pair", files("key.pem", "cert.pem"), {cert_}},
        {"DER pair", files("key.der", "cert.der"), {cert_}},
        {"encrypted PEM, password file", files("sealed.pem", "cert.pem", "pass.txt"), {cert_}},
        {"PEM pair, chain in the certificate file", files("key.pem", "cert+chain.pem"),
         {cert_, intermediateCert_}},
        {"PEM pair, --sign-chain", files("key.pem", "cert.der", "", "intermediate.pem"),
         {cert_, intermediateCert_}},
        {"PKCS#12 with its intermediate", files("id.p12", "", "p12pass.txt"),
         {cert_, intermediateCert_}},
        {"PKCS#12 naming its own certificate", files("id.p12", "cert.der", "p12pass.txt"),
         {cert_, intermediateCert_}},
        {"PKCS#12, the chain given again", files("id.p12", "cert+chain.pem", "p12pass.txt",
                                                 "intermediate.pem"),
         {cert_, intermediateCert_}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Result<SigningIdentity> identity = loadSigningIdentity(c.files);
        ASSERT_TRUE(identity) << identity.error().message;
        EXPECT_FALSE(identity->tokenKey);
        EXPECT_EQ(certificatesOf(identity->certificate), c.certificates);
        EXPECT_TRUE(keyFits(*identity, cert_));
        // Opened once here: what is kept in memory is never encrypted.
        const std::string pem(identity->privateKey.begin(), identity->privateKey.end());
        EXPECT_EQ(pem.find("ENCRYPTED"), std::string::npos);
    }
}

// A token's key never leaves the token: it needs its certificate named, and a PIN written into
// the URI never reaches a message.
TEST_F(SigningIdentityFilesTest, ATokenKeyNeedsItsCertificateAndItsPinIsNeverShown) {
    SigningIdentityFiles token;
    token.key = "pkcs11:token=Station;object=operator?pin-value=4711";
    const Result<SigningIdentity> loaded = loadSigningIdentity(token);
    ASSERT_FALSE(loaded);
    EXPECT_EQ(loaded.error().domain, kIdentityErrorDomain);
    EXPECT_EQ(loaded.error().code, static_cast<std::int64_t>(IdentityError::needsCertificate));
    EXPECT_EQ(loaded.error().message,
              "pkcs11:token=Station;object=operator?pin-value=(hidden): needs --sign-cert (a "
              "token key's certificate)");
}

TEST_F(SigningIdentityFilesTest, ThePasswordMayComeFromTheEnvironment) {
    setenv(kSignPasswordVariable, "open sesame", 1);
    EXPECT_TRUE(loadSigningIdentity(files("sealed.pem", "cert.pem")));
    setenv(kSignPasswordVariable, "secret", 1);
    EXPECT_TRUE(loadSigningIdentity(files("id.p12")));
    // A file, when named, wins over the environment.
    EXPECT_FALSE(loadSigningIdentity(files("id.p12", "", "wrong.txt")));
    unsetenv(kSignPasswordVariable);
}

// Each refusal says which file is at fault, with a code a program can act on.
TEST_F(SigningIdentityFilesTest, RefusalsNameTheFileAtFault) {
    const std::string identity = kIdentityErrorDomain;
    const auto code = [](auto value) { return static_cast<std::int64_t>(value); };
    const struct {
        const char* what;
        SigningIdentityFiles files;
        std::string domain;
        std::int64_t code;
        std::string where;
        std::string says;
    } cases[] = {
        {"PKCS#12, another certificate named", files("id.p12", "other.pem", "p12pass.txt"),
         identity, code(IdentityError::wrongCertificate), "other.pem",
         "not the certificate inside the PKCS#12 file"},
        {"PKCS#12, wrong password", files("id.p12", "", "wrong.txt"), identity,
         code(IdentityError::badPkcs12), "id.p12", "wrong password"},
        {"PKCS#12, no password", files("id.p12"), identity, code(IdentityError::needsPassword),
         "id.p12", "--sign-password-file or $PENWELL_SIGN_PASSWORD"},
        {"PEM key, another's certificate", files("key.pem", "other.pem"), identity,
         code(IdentityError::wrongCertificate), "other.pem", "not the certificate of the key"},
        {"PEM key, no certificate", files("key.pem"), identity,
         code(IdentityError::needsCertificate), "key.pem", "needs --sign-cert"},
        {"PEM key, the certificate file holds none", files("key.pem", "junk.pem"), identity,
         code(IdentityError::notCertificate), "junk.pem", "not a certificate"},
        {"encrypted key, wrong password", files("sealed.pem", "cert.pem", "wrong.txt"),
         kKeyErrorDomain, code(KeyError::wrongPassphrase), "", "sealed.pem"},
        {"encrypted key, no password", files("sealed.pem", "cert.pem"), kKeyErrorDomain,
         code(KeyError::needsPassphrase), "", "sealed.pem"},
        {"missing chain file", files("key.pem", "cert.pem", "", "absent.pem"),
         filesystem::kFileDomain, -1, "", "absent.pem"},
        {"chain file that holds none", files("key.pem", "cert.pem", "", "junk.pem"), identity,
         code(IdentityError::notCertificate), "junk.pem", "not a certificate"},
        {"missing password file", files("id.p12", "", "absent.txt"), kKeyErrorDomain,
         code(KeyError::unreadable), "", "absent.txt"},
        {"missing key", files("absent.key", "cert.pem"), filesystem::kFileDomain, -1, "",
         "absent.key"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Result<SigningIdentity> loaded = loadSigningIdentity(c.files);
        ASSERT_FALSE(loaded);
        const Failure& failure = loaded.error();
        EXPECT_EQ(failure.domain, c.domain);
        if (c.code >= 0) {
            EXPECT_EQ(failure.code, c.code);
        }
        if (!c.where.empty()) {
            EXPECT_EQ(failure.where, at(c.where).string());
        }
        EXPECT_NE(failure.message.find(c.says), std::string::npos) << failure.message;
        // No message quotes a password.
        for (const char* secret : {"secret", "open sesame", "guess"}) {
            EXPECT_EQ(failure.message.find(secret), std::string::npos) << failure.message;
        }
    }
}

}  // namespace
}  // namespace penwell
