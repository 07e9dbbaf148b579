// The keys an institution controls, from the command line: the demo certificate refused unless
// a trial asks for it, unfit recipients, and keys kept encrypted under a passphrase (evidence
// sealed for RSA and EC recipients at once: tests/receiver/RecipientsTest.cpp).

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "Support.h"

namespace penwell::tools {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

const std::string kDemo = (kSource / "demo-certificate").string();

class KeysTest : public ::testing::Test {
protected:
    testing::Run penwell(const std::vector<std::string>& args, const std::string& env = "") {
        return testing::runProgram(PENWELL_TOOL, args, scratch_.path(), env);
    }
    testing::Run openssl(const std::vector<std::string>& args) {
        return testing::runProgram("openssl", args, scratch_.path());
    }
    std::string path(const std::string& name) const { return (work_.path() / name).string(); }

    /// A self-signed pair made by openssl itself: NAME.pem (certificate) and NAME.key.
    void makePair(const std::string& name, const std::vector<std::string>& keyOptions) {
        std::vector<std::string> args = {"req",
                                         "-x509",
                                         "-nodes",
                                         "-subj",
                                         "/CN=" + name,
                                         "-days",
                                         "30",
                                         "-keyout",
                                         path(name + ".key"),
                                         "-out",
                                         path(name + ".pem")};
        args.insert(args.begin() + 1, keyOptions.begin(), keyOptions.end());
        ASSERT_EQ(openssl(args).status, 0) << name;
    }

    test::TempDir work_;
    test::TempDir scratch_;
};

// Every command that seals refuses the demo certificate without --demo, with one line and no
// file written; with --demo it seals and says so in exactly one warning line.
TEST_F(KeysTest, TheDemoCertificateSealsOnlyWithDemoAndAWarning) {
    makePair("operator", {"-newkey", "rsa:2048"});
    ASSERT_EQ(penwell({"replay", kTrace, "--pdf", path("doc.pdf")}).status, 0);
    const std::string demoPem = kDemo + "/Penwell.dat";
    const struct {
        std::vector<std::string> args;
        const char* what;
    } cases[] = {
        {{"replay", kTrace, "--data", path("out/d"), "--key", path("out/k"), "--resources", kDemo},
         "this build pins the demo certificate"},
        {{"replay", kTrace, "--evidence", path("out/e"), "--no-document", "--resources", kDemo},
         "this build pins the demo certificate"},
        {{"replay", kTrace, "--evidence", path("out/e"), "--no-document", "--recipient", demoPem},
         "demo-certificate/Penwell.dat is the demo certificate"},
        {{"demo", "--out", path("out/demo")}, "this build pins the demo certificate"},
        {{"pdf", "sign", path("doc.pdf"), path("out/signed.pdf"), "--page", "1", "--rect",
          "10,10,100,40", "--trace", kTrace, "--sign-key", path("operator.key"), "--sign-cert",
          path("operator.pem"), "--resources", kDemo},
         "this build pins the demo certificate"},
    };
    std::filesystem::create_directories(path("out"));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[2]);
        const testing::Run refused = penwell(c.args);
        EXPECT_EQ(refused.status, 1);
        EXPECT_THAT(refused.err, StartsWith("penwell: "));
        EXPECT_THAT(refused.err, HasSubstr(std::string(c.what) + ", whose private key is public"));
        EXPECT_THAT(refused.err, HasSubstr("give --demo for a trial"));
        EXPECT_EQ(std::count(refused.err.begin(), refused.err.end(), '\n'), 1) << refused.err;
        EXPECT_TRUE(testing::listFolder(path("out")).empty());

        std::vector<std::string> trial = c.args;
        trial.push_back("--demo");
        const testing::Run ran = penwell(trial);
        ASSERT_EQ(ran.status, 0) << ran.err;
        EXPECT_THAT(ran.err, StartsWith("penwell: warning: sealing for the DEMO certificate ("));
        EXPECT_THAT(ran.err, HasSubstr(std::string(c.what) +
                                       "): its private key is public, never use it for real "
                                       "signatures\n"));
        EXPECT_EQ(std::count(ran.err.begin(), ran.err.end(), '\n'), 1) << ran.err;
        std::filesystem::remove_all(path("out"));
        std::filesystem::create_directories(path("out"));
    }

    // serve refuses before it listens.
    const testing::Run serve =
        penwell({"serve", "--port", "0", "--resources", kDemo}, "timeout 30");
    EXPECT_EQ(serve.status, 1);
    EXPECT_THAT(serve.err, HasSubstr("this build pins the demo certificate, whose private key is "
                                     "public"));
    EXPECT_EQ(serve.out, "");

    // cert show says which certificate it is.
    const testing::Run demo = penwell({"cert", "show", demoPem});
    ASSERT_EQ(demo.status, 0);
    EXPECT_THAT(demo.out, HasSubstr("THE DEMO CERTIFICATE: its private key is public"));
    const testing::Run own = penwell({"cert", "show", path("operator.pem")});
    ASSERT_EQ(own.status, 0);
    EXPECT_THAT(own.out, ::testing::Not(HasSubstr("DEMO")));
}

// A recipient whose key is weak, of another kind, or out of its validity is refused by name.
TEST_F(KeysTest, UnfitRecipientsAreRefusedNamingTheFile) {
    makePair("small", {"-newkey", "rsa:1024"});
    makePair("edwards", {"-newkey", "ed25519"});
    makePair("big", {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-521"});
    const test::PrivateKey key = test::generateRsaKey(2048);
    test::writeFile(path("expired.pem"), test::certificatePem(test::makeSelfSignedDer(
                                             key.get(), {{"CN", "Old"}}, "", {-20, -10})));
    test::writeFile(path("future.pem"), test::certificatePem(test::makeSelfSignedDer(
                                            key.get(), {{"CN", "New"}}, "", {10, 20})));
    const std::pair<std::string, std::string> cases[] = {
        {"small.pem", "its key is RSA-1024: a recipient's RSA key needs 2048 bits or more"},
        {"edwards.pem", "its key is neither RSA nor EC"},
        {"big.pem", "its key is EC P-521: a recipient's EC key must be on P-256 or P-384"},
        {"expired.pem", "it has expired"},
        {"future.pem", "it is not valid yet"},
        {"small.key", "--recipient needs one X.509 certificate, not found"},
    };
    for (const auto& [file, message] : cases) {
        SCOPED_TRACE(file);
        const testing::Run r = penwell({"replay", kTrace, "--evidence", path("e"), "--no-document",
                                        "--recipient", path(file)});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "penwell: " + path(file) +
                             (file == "small.key" ? ": " : ": cannot be a recipient: ") + message +
                             "\n");
        EXPECT_FALSE(std::filesystem::exists(path("e")));
    }
    // serve checks its recipients at start, before it listens.
    const testing::Run serve = penwell(
        {"serve", "--port", "0", "--demo", "--resources", kDemo, "--recipient", path("big.pem")},
        "timeout 30");
    EXPECT_EQ(serve.status, 1);
    EXPECT_EQ(serve.err,
              "penwell: " + path("big.pem") + ": cannot be a recipient: " + cases[2].second + "\n");
    const testing::Run stray = penwell({"replay", kTrace, "--recipient", path("small.pem")});
    EXPECT_EQ(stray.status, 2);
    EXPECT_THAT(stray.err, HasSubstr("--recipient: only goes with evidence this command seals"));
}

// The receiver's key kept encrypted: its passphrase from a file or the environment, never a
// prompt (standard input is closed: a prompt would fail, not wait).
TEST_F(KeysTest, AnEncryptedReceiverKeyOpensWithItsPassphraseFile) {
    makePair("archive", {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-384"});
    ASSERT_TRUE(
        testing::succeeded(openssl({"pkey", "-in", path("archive.key"), "-aes-256-cbc", "-passout",
                                    "pass:open sesame", "-out", path("locked.key")})));
    test::writeFile(path("pass"), std::string("open sesame\n"));
    test::writeFile(path("wrong"), std::string("close sesame\n"));
    ASSERT_TRUE(testing::succeeded(penwell({"replay", kTrace, "--evidence", path("e.der"),
                                            "--no-document", "--recipient", path("archive.pem")})));
    const std::vector<std::string> open = {"open", "--evidence", path("e.der"), "--private-key",
                                           path("locked.key")};
    const auto with = [&](std::vector<std::string> extra) {
        extra.insert(extra.begin(), open.begin(), open.end());
        return extra;
    };
    const testing::Run none = penwell(open, "</dev/null");
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.err, "penwell: " + path("locked.key") +
                            ": an encrypted key: give its passphrase in "
                            "--private-key-password-file or $PENWELL_PRIVATE_KEY_PASSWORD\n");
    const testing::Run wrong = penwell(with({"--private-key-password-file", path("wrong")}));
    EXPECT_EQ(wrong.status, 1);
    EXPECT_THAT(wrong.err, HasSubstr("the passphrase does not open this encrypted key"));
    const testing::Run right = penwell(with({"--private-key-password-file", path("pass")}));
    EXPECT_EQ(right.status, 0) << right.err;
    EXPECT_THAT(right.out, HasSubstr("5 strokes"));
    const testing::Run fromEnvironment =
        penwell(open, "PENWELL_PRIVATE_KEY_PASSWORD='open sesame'");
    EXPECT_EQ(fromEnvironment.status, 0) << fromEnvironment.err;
}

// A verification template sealed for the receiver: only the recipient's key opens it, with
// openssl as with verify check; the demo certificate needs --demo here too.
TEST_F(KeysTest, AnEnrolledTemplateSealedForARecipientChecksOnlyWithItsKey) {
    makePair("receiver", {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256"});
    makePair("other", {"-newkey", "rsa:2048"});
    ASSERT_TRUE(testing::succeeded(penwell({"verify", "synth", "--out", path("synth"), "--signers",
                                            "1", "--genuine", "6", "--forgeries", "0"})));
    const std::vector<std::string> signer = testing::listFolder(path("synth"));
    ASSERT_EQ(signer.size(), 1u);
    const std::string genuine = path("synth/" + signer[0] + "/genuine/");
    const std::vector<std::string> names = testing::listFolder(genuine);
    ASSERT_EQ(names.size(), 6u);
    std::vector<std::string> enrol = {"verify",      "enrol",       "--out",
                                      path("t.tpl"), "--recipient", path("receiver.pem")};
    for (std::size_t i = 0; i < 5; ++i) {
        enrol.push_back(genuine + names[i]);
    }
    const testing::Run enrolled = penwell(enrol);
    ASSERT_EQ(enrolled.status, 0) << enrolled.err;
    EXPECT_EQ(enrolled.err, "");

    ASSERT_TRUE(testing::succeeded(
        openssl({"cms", "-decrypt", "-binary", "-inform", "DER", "-in", path("t.tpl"), "-inkey",
                 path("receiver.key"), "-out", path("t.txt")})));
    EXPECT_GT(testing::readText(path("t.txt")).size(), 1000u);
    EXPECT_EQ(testing::readText(path("t.tpl")).find(testing::readText(path("t.txt")).substr(0, 40)),
              std::string::npos);

    const std::string query = genuine + names[5];
    const testing::Run accepted =
        penwell({"verify", "check", path("t.tpl"), query, "--private-key", path("receiver.key")});
    EXPECT_EQ(accepted.status, 0) << accepted.out << accepted.err;
    const testing::Run plain =
        penwell({"verify", "check", path("t.txt"), query, "--private-key", path("receiver.key")});
    EXPECT_EQ(plain.out, accepted.out);
    const std::pair<std::vector<std::string>, std::string> refusals[] = {
        {{"verify", "check", path("t.tpl"), query},
         "a sealed template: give the receiver's --private-key"},
        {{"verify", "check", path("t.tpl"), query, "--private-key", path("other.key")},
         "cannot be opened with " + path("other.key")},
    };
    for (const auto& [args, message] : refusals) {
        const testing::Run r = penwell(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_THAT(r.err, HasSubstr(message));
    }

    enrol[5] = kDemo + "/Penwell.dat";
    enrol[3] = path("demo.tpl");
    const testing::Run refused = penwell(enrol);
    EXPECT_EQ(refused.status, 1);
    EXPECT_THAT(refused.err, HasSubstr("give --demo for a trial"));
    EXPECT_FALSE(std::filesystem::exists(path("demo.tpl")));
}

mode_t modeOf(const std::string& file) {
    struct stat info {};
    return ::stat(file.c_str(), &info) == 0 ? (info.st_mode & 07777) : 01000;
}

// Whatever the umask lets through, every file that holds handwriting or a key is the owner's
// alone, and so is every folder made for them.
TEST_F(KeysTest, EveryOutputAndEveryFolderMadeForOneIsOwnerOnly) {
    makePair("operator", {"-newkey", "rsa:2048"});
    const std::string umask = "umask 022;";
    const std::vector<std::string> replayOutputs = {
        "--pad-png", "--png", "--png-cropped", "--svg", "--pdf", "--data", "--key", "--evidence"};
    std::vector<std::string> args = {
        "replay", kTrace,          "--resources", kDemo,
        "--demo", "--no-document", "--store",     path("stores/a/store.sqlite")};
    for (const std::string& option : replayOutputs) {
        args.insert(args.end(), {option, path("r" + option)});
    }
    ASSERT_EQ(penwell(args, umask).status, 0);
    ASSERT_EQ(penwell({"demo", "--demo", "--out", path("demo")}, umask).status, 0);
    ASSERT_EQ(penwell({"cert", "new", "--out", path("keys"), "--bits", "1024"}, umask).status, 0);
    ASSERT_TRUE(testing::succeeded(
        penwell({"pdf", "sign", path("r--pdf"), path("signed.pdf"), "--page", "1", "--rect",
                 "10,10,50,20", "--trace", kTrace, "--sign-key", path("operator.key"),
                 "--sign-cert", path("operator.pem"), "--demo", "--resources", kDemo},
                umask)));
    // serve makes its --out folder at start; it is stopped after a moment.
    EXPECT_EQ(
        penwell({"serve", "--demo", "--port", "0", "--resources", kDemo, "--out", path("served")},
                umask + " timeout 3")
            .status,
        124);

    // (keys/Penwell.dat, a certificate to ship with the app, stays readable.)
    std::vector<std::string> files = {"stores/a/store.sqlite", "keys/private-key.pem",
                                      "signed.pdf"};
    for (const std::string& option : replayOutputs) {
        files.push_back("r" + option);
    }
    for (const std::string& name : testing::listFolder(path("demo"))) {
        files.push_back("demo/" + name);
    }
    EXPECT_EQ(files.size(), 8u + 3u + 10u);
    for (const std::string& file : files) {
        EXPECT_EQ(modeOf(path(file)), 0600u) << file;
    }
    for (const std::string folder : {"stores", "stores/a", "demo", "keys", "served"}) {
        EXPECT_EQ(modeOf(path(folder)), 0700u) << folder;
    }
}

}  // namespace
}  // namespace penwell::tools
