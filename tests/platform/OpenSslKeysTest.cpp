// Private keys in every form a signer hands over, written by the openssl tool itself: the
// backend reads each to the very key openssl derives its public half from, or fails with the
// KeyError that tells the signer what to do. A PKCS#11 URI's PIN never reaches a message.

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/x509.h>
#include <spawn.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "penwell/platform/filesystem/StagedFile.h"
#include "penwell/platform/openssl/OpenSslKeys.h"
#include "support/CertificateFixtures.h"

extern char** environ;

namespace penwell {
namespace {

/// Runs the openssl tool without a shell; its exit status (-1 when it cannot run).
int openssl(std::vector<std::string> args) {
    args.insert(args.begin(), "openssl");
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, "openssl", &quiet, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&quiet);
    int status = 0;
    if (spawned != 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

Bytes publicDer(EVP_PKEY* key) {
    unsigned char* der = nullptr;
    const int length = i2d_PUBKEY(key, &der);
    Bytes out(der, der + (length > 0 ? length : 0));
    OPENSSL_free(der);
    return out;
}

class OpenSslKeysTest : public ::testing::Test {
protected:
    std::string at(const std::string& name) const { return (dir_.path() / name).string(); }
    Bytes read(const std::string& name) const {
        return filesystem::readFile(at(name), 1u << 20, "a test file").value();
    }

    test::TempDir dir_;
};

// One key per kind, each in the forms openssl writes; every form yields the key whose public
// half openssl itself wrote, and its description.
TEST_F(OpenSslKeysTest, EveryFormOpensToTheKeyOpensslWrote) {
    struct Kind {
        std::vector<std::string> genpkey;
        const char* description;
    };
    const Kind kinds[] = {
        {{"-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256"}, "EC P-256"},
        {{"-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-384"}, "EC P-384"},
        {{"-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048"}, "RSA-2048"},
    };
    test::writeFile(at("pass.txt"), std::string("s3cret phrase\n"));
    for (const Kind& kind : kinds) {
        std::vector<std::string> gen = {"genpkey", "-out", at("k.pem")};
        gen.insert(gen.end(), kind.genpkey.begin(), kind.genpkey.end());
        ASSERT_EQ(openssl(gen), 0) << kind.description;
        ASSERT_EQ(openssl({"pkey", "-in", at("k.pem"), "-pubout", "-outform", "DER", "-out",
                           at("pub.der")}),
                  0);
        const Bytes expected = read("pub.der");
        const std::vector<std::vector<std::string>> forms = {
            {"pkey", "-in", at("k.pem"), "-outform", "DER", "-out", at("f")},
            {"pkey", "-in", at("k.pem"), "-traditional", "-out", at("f")},
            {"pkcs8", "-topk8", "-in", at("k.pem"), "-v2", "aes-256-cbc", "-passout",
             "pass:s3cret phrase", "-out", at("f")},
            {"pkcs8", "-topk8", "-in", at("k.pem"), "-v2", "aes-128-cbc", "-passout",
             "pass:s3cret phrase", "-outform", "DER", "-out", at("f")},
            {"pkey", "-in", at("k.pem"), "-traditional", "-aes256", "-passout",
             "pass:s3cret phrase", "-out", at("f")},
        };
        for (const std::vector<std::string>& form : forms) {
            ASSERT_EQ(openssl(form), 0) << form[0] << " " << form[3];
            KeyLocation location(at("f"));
            location.passphraseFile = at("pass.txt");
            const Result<openssl::KeyHandle> key = openssl::loadPrivateKey(location);
            ASSERT_TRUE(key) << kind.description << ": " << key.error().message;
            EXPECT_EQ(publicDer(key->get()), expected) << kind.description << " " << form[3];
            EXPECT_EQ(openssl::keyDescription(key->get()), kind.description);
        }
    }
}

// What a signer gets wrong, each with its own code and a message naming the file and what to
// do; a failed load leaves nothing on OpenSSL's error queue for the next caller to misread.
TEST_F(OpenSslKeysTest, EachMistakeHasItsCodeAndNamesTheKey) {
    ASSERT_EQ(openssl({"genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out",
                       at("plain.pem")}),
              0);
    ASSERT_EQ(openssl({"pkcs8", "-topk8", "-in", at("plain.pem"), "-v2", "aes-256-cbc", "-passout",
                       "pass:right", "-out", at("locked.pem")}),
              0);
    ASSERT_EQ(openssl({"req", "-x509", "-key", at("plain.pem"), "-subj", "/CN=k", "-days", "1",
                       "-out", at("cert.pem")}),
              0);
    test::writeFile(at("wrong.txt"), std::string("wrong\n"));
    test::writeFile(at("empty.pem"), std::string());
    struct Case {
        std::string key;
        std::optional<std::string> passphraseFile;
        KeyError code;
        std::string says;
    };
    const Case cases[] = {
        {"locked.pem", std::nullopt, KeyError::needsPassphrase,
         "locked.pem: an encrypted key: give its passphrase in --pw-file or $PW"},
        {"locked.pem", "wrong.txt", KeyError::wrongPassphrase,
         "locked.pem: the passphrase does not open this encrypted key"},
        {"locked.pem", "absent.txt", KeyError::unreadable, "absent.txt"},
        {"cert.pem", std::nullopt, KeyError::notAKey, "cert.pem: not a private key (PEM or DER)"},
        {"empty.pem", std::nullopt, KeyError::notAKey, "empty.pem: not a private key"},
        {"absent.pem", std::nullopt, KeyError::unreadable, "absent.pem"},
    };
    for (const Case& c : cases) {
        KeyLocation location(at(c.key));
        location.passphraseOption = "--pw-file";
        location.passphraseVariable = "PENWELL_TEST_UNSET_VARIABLE_PW";
        if (c.passphraseFile) {
            location.passphraseFile = at(*c.passphraseFile);
        }
        const Result<openssl::KeyHandle> key = openssl::loadPrivateKey(location);
        ASSERT_FALSE(key) << c.key;
        EXPECT_EQ(key.error().domain, kKeyErrorDomain);
        EXPECT_EQ(key.error().code, static_cast<std::int64_t>(c.code)) << c.key;
        std::string says = c.says;
        if (says.find("$PW") != std::string::npos) {
            says.replace(says.find("$PW"), 3, "$PENWELL_TEST_UNSET_VARIABLE_PW");
        }
        EXPECT_NE(key.error().message.find(says), std::string::npos) << key.error().message;
        EXPECT_EQ(ERR_peek_error(), 0ul) << c.key;
    }
}

// A chain as openssl writes it (leaf first): every certificate in order, each round-tripping
// through DER and PEM to the same bytes openssl writes.
TEST_F(OpenSslKeysTest, ACertificateChainReadsInOrderAndRoundTrips) {
    for (const char* name : {"root", "leaf"}) {
        ASSERT_EQ(openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                           "-nodes", "-utf8", "-subj",
                           std::string("/CN=") + name + "/O=Z\xc3\xbcrich", "-days", "1", "-keyout",
                           at(std::string(name) + ".key"), "-out", at(std::string(name) + ".pem")}),
                  0);
        ASSERT_EQ(openssl({"x509", "-in", at(std::string(name) + ".pem"), "-outform", "DER", "-out",
                           at(std::string(name) + ".der")}),
                  0);
    }
    Bytes chain = read("leaf.pem");
    const Bytes root = read("root.pem");
    chain.insert(chain.end(), root.begin(), root.end());
    const std::vector<openssl::X509Handle> certificates = openssl::readCertificates(chain);
    ASSERT_EQ(certificates.size(), 2u);
    EXPECT_EQ(openssl::derOf(certificates[0].get()), read("leaf.der"));
    EXPECT_EQ(openssl::derOf(certificates[1].get()), read("root.der"));
    EXPECT_EQ(openssl::pemOf(certificates[1].get()), root);
    EXPECT_EQ(openssl::subjectLine(certificates[0].get()), "O=Z\xc3\xbcrich,CN=leaf");
    // One DER certificate reads as itself; DER with a byte missing, or bytes that are no
    // certificate, as none.
    const Bytes der = read("root.der");
    EXPECT_EQ(openssl::readCertificates(der).size(), 1u);
    EXPECT_TRUE(openssl::readCertificates(ByteView(der).first(der.size() - 1)).empty());
    EXPECT_TRUE(openssl::readCertificates(read("root.key")).empty());
    EXPECT_EQ(openssl::readCertificate(read("root.key")), nullptr);
}

}  // namespace
}  // namespace penwell
