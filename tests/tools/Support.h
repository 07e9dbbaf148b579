#pragma once
// What the tool tests share: the test support's files and sealed exports, and a receiver's key
// pair made at run time by the tool's own certificate code.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "penwell/tools/CertificateTool.h"
#include "support/CertificateFixtures.h"
#include "support/Shell.h"

namespace penwell::tools {

/// The source tree, and the example trace every signing test replays.
inline const std::filesystem::path kSource = PENWELL_SOURCE_DIR;
inline const std::string kTrace = (kSource / "examples/finger-signature.json").string();

}  // namespace penwell::tools

namespace penwell::tools::testing {

using test::listFolder;
using test::quoted;
using test::readText;
using test::seal;
using test::Sealed;
using test::wrapWithCertificate;
using test::writeFile;

/// A key pair made once per test program (RSA keys take a moment to generate).
const NewCertificate& receiverCertificate();

/// How a program ended and what it printed.
struct Run {
    int status = -1;  ///< exit code, or -1 when the program did not exit normally
    std::string out;
    std::string err;
};

/// Success when the program exited 0; otherwise a failure showing its exit code and stderr.
::testing::AssertionResult succeeded(const Run& run);

/// Runs `program` with `args` through the shell, its output captured through files in
/// `scratch`; `prefix` goes before it on the command line (variables, `timeout 30`, a
/// redirection of standard input).
Run runProgram(const std::string& program, const std::vector<std::string>& args,
               const std::filesystem::path& scratch, const std::string& prefix = "");

}  // namespace penwell::tools::testing
