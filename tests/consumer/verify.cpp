// A verifier's program against the installed package: the verification library links on its
// own and refuses a signature with nothing to compare, naming it.
#include <penwell/verify/Signature.h>

#include <cstdio>

int main() {
    penwell::verify::Signature empty;
    empty.name = "empty";
    const penwell::MaybeFailure refused = penwell::verify::checkSignature(empty);
    const bool ok = refused && refused->message.find("empty") != std::string::npos;
    std::puts(ok ? "verify consumer ok" : "verify consumer failed");
    return ok ? 0 : 1;
}
