// The README's signing service in three steps, as a newcomer runs it: the block under "The
// signing service" runs as one bash script, word for word but for the port (a free one instead
// of 8080, which a test machine may have taken), in a folder holding what the README says it
// holds. It must print a signing link, and that link must open the signing page.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "penwell/host/web/tests/TestPdf.h"
#include "support/CertificateFixtures.h"
#include "support/Shell.h"

namespace penwell::web {
namespace {

namespace fs = std::filesystem;

/// The first sh block after the heading that starts with `heading`.
std::string blockAfter(const std::string& page, const std::string& heading) {
    const std::size_t at = page.find("\n" + heading);
    const std::size_t open = page.find("\n```sh\n", at);
    const std::size_t close = page.find("\n```\n", open + 1);
    if (at == std::string::npos || open == std::string::npos || close == std::string::npos) {
        return {};
    }
    return page.substr(open + 7, close - open - 6);
}

/// A port nobody listens on now (the kernel's choice for port 0).
int freePort() {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    ::close(s);
    return port;
}

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

TEST(Readme, TheSigningServiceInThreeStepsPrintsALinkThatOpensTheSigningPage) {
    std::string block =
        blockAfter(test::readText(PENWELL_SOURCE_DIR "/README.md"), "### The signing service");
    ASSERT_NE(block.find("penwell serve"), std::string::npos) << "no block under the heading";
    const int port = freePort();
    ASSERT_NE(port, 0);
    replaceAll(block, "8080", std::to_string(port));

    test::TempDir folder;
    const fs::path& f = folder.path();
    test::writeFile(f / "contract.pdf", document());
    test::run("openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=Operator -days 2 -keyout " +
              (f / "key.pem").string() + " -out " + (f / "cert.pem").string() + " 2>/dev/null");
    // Whatever happens, the server started in the background stops with the script.
    std::ofstream(f / "readme.sh")
        << "trap 'kill -TERM $(jobs -p) 2>/dev/null; wait' EXIT\n"
        << "{\n"
        << block << "} > out.txt 2> err.txt\n"
        << "link=$(tail -n 1 out.txt)\n"
        << "echo \"$link\"\n"
        << "curl -s -o /dev/null -w '%{http_code}\\n' -L --max-time 10 \"$link\"\n";
    const std::string environment = "cd " + test::quoted(f.string()) + " && PATH=" +
                                    test::quoted(fs::path(PENWELL_TOOL).parent_path().string()) +
                                    ":$PATH PENWELL_RESOURCES=" PENWELL_SOURCE_DIR
                                    "/demo-certificate timeout 60 bash readme.sh";
    std::string output;
    ASSERT_NO_THROW(output = test::run(environment)) << test::readText(f / "err.txt");
    const std::size_t newline = output.find('\n');
    ASSERT_NE(newline, std::string::npos) << output << test::readText(f / "err.txt");
    const std::string link = output.substr(0, newline);
    EXPECT_TRUE(link.starts_with("http://127.0.0.1:" + std::to_string(port) + "/s/"))
        << link << "\n"
        << test::readText(f / "out.txt") << test::readText(f / "err.txt");
    EXPECT_EQ(output.substr(newline + 1), "200") << test::readText(f / "err.txt");
}

}  // namespace
}  // namespace penwell::web
