// Keys on a PKCS#11 token: a SoftHSM2 token initialised by the test in its own folder, an
// operator key that signs evidence and a PDF on the token (checked by openssl and pdfsig), and
// a receiver key that opens records there. Every command runs under a time limit; the token's
// folder goes with the test.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Support.h"

namespace penwell::tools {
namespace {

using ::testing::HasSubstr;

const std::string kModule = "/usr/lib/softhsm/libsofthsm2.so";

class TokenTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(std::filesystem::exists(kModule)) << "scripts/install-deps installs softhsm2";
        std::filesystem::create_directories(path("tokens"));
        test::writeFile(path("softhsm2.conf"), "directories.tokendir = " + path("tokens") +
                                                   "\nobjectstore.backend = file\n"
                                                   "log.level = ERROR\n");
        test::writeFile(path("pin"), std::string("4711\n"));
        test::writeFile(path("wrong-pin"), std::string("1174\n"));
        ASSERT_TRUE(testing::succeeded(
            run("softhsm2-util", {"--init-token", "--free", "--label", "penwell-test", "--pin",
                                  "4711", "--so-pin", "0815"})));
        for (const std::string who : {"operator", "receiver"}) {
            ASSERT_TRUE(testing::succeeded(
                run("openssl",
                    {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=" + who,
                     "-days", "30", "-keyout", path(who + ".key"), "-out", path(who + ".pem")})));
            ASSERT_TRUE(testing::succeeded(
                run("openssl", {"pkcs8", "-topk8", "-nocrypt", "-in", path(who + ".key"), "-out",
                                path(who + ".p8")})));
            const testing::Run imported =
                run("softhsm2-util", {"--import", path(who + ".p8"), "--token", "penwell-test",
                                      "--label", who, "--id", who == "operator" ? "01" : "02",
                                      "--pin", "4711"});
            ASSERT_EQ(imported.status, 0) << imported.out << imported.err;
            // Only the token holds the private key from here on.
            std::filesystem::remove(path(who + ".key"));
            std::filesystem::remove(path(who + ".p8"));
        }
    }

    std::string path(const std::string& name) const { return (work_.path() / name).string(); }

    /// Runs a program with the test's token configuration, for at most a minute.
    testing::Run run(const std::string& program, const std::vector<std::string>& args) {
        return testing::runProgram(program, args, scratch_.path(),
                                   "</dev/null SOFTHSM2_CONF=" + testing::quoted(path("softhsm2.conf")) +
                                       " timeout 60");
    }
    testing::Run penwell(const std::vector<std::string>& args) { return run(PENWELL_TOOL, args); }

    static std::string key(const std::string& label) {
        return "pkcs11:token=penwell-test;object=" + label + "?module-path=" + kModule;
    }

    test::TempDir work_;
    test::TempDir scratch_;
};

// The operator key on the token signs evidence (openssl verifies it against the operator's
// certificate) and a PDF (pdfsig finds it valid); the receiver key on the token opens the
// evidence, inside the PDF too.
TEST_F(TokenTest, TokenKeysSignEvidenceAndAPdfAndOpenTheRecord) {
    const std::vector<std::string> operatorKey = {"--sign-key", key("operator"), "--sign-cert",
                                                  path("operator.pem"), "--sign-password-file",
                                                  path("pin")};
    std::vector<std::string> replay = {"replay", kTrace, "--evidence", path("e.der"),
                                       "--no-document", "--recipient", path("receiver.pem")};
    replay.insert(replay.end(), operatorKey.begin(), operatorKey.end());
    const testing::Run sealed = penwell(replay);
    ASSERT_EQ(sealed.status, 0) << sealed.err;
    EXPECT_EQ(sealed.err, "");
    const testing::Run verified =
        run("openssl", {"cms", "-verify", "-binary", "-inform", "DER", "-in", path("e.der"),
                        "-CAfile", path("operator.pem"), "-purpose", "any", "-out", path("inner")});
    EXPECT_EQ(verified.status, 0) << verified.err;

    const testing::Run opened =
        penwell({"open", "--evidence", path("e.der"), "--private-key", key("receiver"),
                 "--private-key-password-file", path("pin"), "--trust", path("operator.pem")});
    ASSERT_EQ(opened.status, 0) << opened.err;
    EXPECT_THAT(opened.out, HasSubstr("5 strokes"));
    EXPECT_THAT(opened.out, HasSubstr("signed by \"CN=operator\" (trusted)"));

    ASSERT_EQ(penwell({"replay", kTrace, "--pdf", path("doc.pdf")}).status, 0);
    std::vector<std::string> sign = {"pdf",    "sign",          path("doc.pdf"), path("s.pdf"),
                                     "--page", "1",             "--rect",        "10,10,100,40",
                                     "--trace", kTrace,         "--recipient",   path("receiver.pem")};
    sign.insert(sign.end(), operatorKey.begin(), operatorKey.end());
    const testing::Run signedPdf = penwell(sign);
    ASSERT_EQ(signedPdf.status, 0) << signedPdf.err;
    const testing::Run pdfsig = run("pdfsig", {path("s.pdf")});
    EXPECT_THAT(pdfsig.out, HasSubstr("Signature is Valid."));
    EXPECT_THAT(pdfsig.out, HasSubstr("CN=operator"));
    const testing::Run checked =
        penwell({"pdf", "verify", path("s.pdf"), "--private-key", key("receiver"),
                 "--private-key-password-file", path("pin"), "--trust", path("operator.pem")});
    EXPECT_EQ(checked.status, 0) << checked.out << checked.err;
    EXPECT_THAT(checked.out, HasSubstr("evidence: bound to the signed revision"));
}

// A token that cannot give the key says why in one line, never prompting for its PIN.
TEST_F(TokenTest, AWrongPinNoPinAndAnUnknownKeyAreOneLineEach) {
    ASSERT_TRUE(
        testing::succeeded(penwell({"replay", kTrace, "--evidence", path("e.der"), "--no-document",
                                    "--recipient", path("receiver.pem")})));
    const struct {
        std::vector<std::string> key;
        std::string message;
    } cases[] = {
        {{"--private-key", key("receiver")},
         "the token asks for its PIN: give it in --private-key-password-file or "
         "$PENWELL_PRIVATE_KEY_PASSWORD"},
        {{"--private-key", key("receiver"), "--private-key-password-file", path("wrong-pin")},
         "the token refused the PIN"},
        {{"--private-key", "pkcs11:token=elsewhere;object=receiver?module-path=" + kModule,
          "--private-key-password-file", path("pin")},
         "no token or private key matches"},
        {{"--private-key", "pkcs11:token=penwell-test;object=receiver?module-path=/nowhere.so"},
         "the PKCS#11 module /nowhere.so does not exist"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        std::vector<std::string> args = {"open", "--evidence", path("e.der")};
        args.insert(args.end(), c.key.begin(), c.key.end());
        const testing::Run r = penwell(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_THAT(r.err, HasSubstr(c.message));
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
}

}  // namespace
}  // namespace penwell::tools
