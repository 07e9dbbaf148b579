#include "Support.h"

#include <sys/wait.h>

#include <cstdlib>

namespace penwell::tools::testing {

const NewCertificate& receiverCertificate() {
    static const NewCertificate made = makeSelfSignedCertificate(2048, 30);
    return made;
}

::testing::AssertionResult succeeded(const Run& run) {
    if (run.status == 0) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "exited " << run.status << ": " << run.err;
}

Run runProgram(const std::string& program, const std::vector<std::string>& args,
               const std::filesystem::path& scratch, const std::string& prefix) {
    std::string command = prefix.empty() ? "" : prefix + " ";
    command += quoted(program);
    for (const std::string& arg : args) {
        command += " " + quoted(arg);
    }
    const int status = std::system(
        (command + " >" + quoted(scratch / "stdout.txt") + " 2>" + quoted(scratch / "stderr.txt"))
            .c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readText(scratch / "stdout.txt"),
            readText(scratch / "stderr.txt")};
}

}  // namespace penwell::tools::testing
