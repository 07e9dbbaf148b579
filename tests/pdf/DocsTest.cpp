// docs/pdf-signing.md as a newcomer follows it: every command of its sh blocks runs, word for
// word, in a folder holding the files the page says it holds, and exits as the page says
// (0, or the N of a trailing "# exits N"). `penwell serve` must start and print its address.

#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "pdf/Fixtures.h"

namespace penwell::pdftest {
namespace {

/// The commands of the page's sh blocks, continuation lines joined, in order.
std::vector<std::string> commandsOf(const std::string& page) {
    std::vector<std::string> commands;
    std::istringstream lines(page);
    bool inBlock = false;
    std::string pending;
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("```")) {
            inBlock = line == "```sh";
            continue;
        }
        if (!inBlock || line.empty() || line.starts_with("#")) {
            continue;
        }
        if (line.ends_with("\\")) {
            pending += line.substr(0, line.size() - 1);
            continue;
        }
        commands.push_back(pending + line);
        pending.clear();
    }
    return commands;
}

TEST(Docs, EveryCommandOfPdfSigningRunsAsWritten) {
    test::TempDir folder;
    const fs::path& f = folder.path();
    spit(f / "contract.pdf", contract());
    spit(f / "t.json", slurp(kTrace));
    for (const auto& [key, certificate, name] :
         {std::tuple{"key.pem", "cert.pem", "Ann Operator"},
          {"bob-key.pem", "bob.pem", "Bob"},
          {"receiver.pem", "receiver.crt", "Archive"}}) {
        ASSERT_EQ(
            run("openssl req -x509 -newkey rsa:2048 -nodes -subj '/CN=" + std::string(name) +
                "' -days 2 -keyout " + (f / key).string() + " -out " + (f / certificate).string())
                .status,
            0);
    }
    ASSERT_EQ(run("openssl pkcs12 -export -passout pass:docs -inkey " + (f / "key.pem").string() +
                  " -in " + (f / "cert.pem").string() + " -out " + (f / "id.p12").string())
                  .status,
              0);
    const std::string environment = "cd " + f.string() +
                                    " && export PATH=" + fs::path(kTool).parent_path().string() +
                                    ":$PATH PENWELL_RESOURCES=" PENWELL_SOURCE_DIR
                                    "/demo-certificate PENWELL_SIGN_PASSWORD=docs && ";
    const std::vector<std::string> commands =
        commandsOf(slurp(PENWELL_SOURCE_DIR "/docs/pdf-signing.md"));
    ASSERT_GE(commands.size(), 14u);
    for (const std::string& command : commands) {
        SCOPED_TRACE(command);
        std::smatch exits;
        const int expected = std::regex_search(command, exits, std::regex("# exits (\\d+)"))
                                 ? std::stoi(exits[1])
                                 : 0;
        if (command.starts_with("penwell serve")) {
            // A server runs until stopped: it must come up and say where, within 20 s. It is
            // stopped with SIGTERM: a background job of a script ignores SIGINT, and serve
            // prints its address a moment before it takes the signals over.
            const Shell s = run(environment + "( " + command +
                                " > serve.log 2>&1 & pid=$!; for i in $(seq 200); do grep -q "
                                "http:// serve.log && break; sleep 0.1; done; kill -TERM $pid; "
                                "sleep 1; kill -KILL $pid 2>/dev/null; wait $pid; grep http:// "
                                "serve.log || cat serve.log; ) | grep -q 'penwell serve: open "
                                "http://'");
            EXPECT_EQ(s.status, 0) << slurp(f / "serve.log");
            continue;
        }
        const Shell s = run(environment + command);
        EXPECT_EQ(s.status, expected) << s.output;
    }
    // What the page's commands write is there, and the last document checks out.
    for (const char* written : {"signed.pdf", "approved.pdf", "certified.pdf",
                                "countersigned.pdf", "evidenced.pdf", "ink.png", "signed"}) {
        EXPECT_TRUE(fs::exists(f / written)) << written;
    }
    const Shell last = run(environment + "penwell pdf verify countersigned-by-bob.pdf --trust " +
                           "cert.pem --trust bob.pem --private-key receiver.pem");
    EXPECT_EQ(last.status, 0) << last.output;
    EXPECT_NE(last.output.find("all 2 signature(s) check out"), std::string::npos);
}

}  // namespace
}  // namespace penwell::pdftest
