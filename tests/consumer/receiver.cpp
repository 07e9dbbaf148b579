// A receiver's program against the installed package: the evidence reader and the record
// decoder link and refuse bytes that are no record with their one-line reasons.
#include <penwell/receiver/OpenEvidence.h>
#include <penwell/receiver/OpenSignature.h>

#include <cstdio>

int main() {
    const penwell::Bytes garbage{0x30, 0x03, 0x02, 0x01, 0x00};
    const auto opened = penwell::receiver::openEvidence(garbage, {});
    const auto decoded = penwell::receiver::decodeRecord(garbage, "garbage");
    const bool ok = !opened && !opened.error().message.empty() && !decoded &&
                    decoded.error().domain == penwell::receiver::kSignatureErrorDomain;
    std::puts(ok ? "receiver consumer ok" : "receiver consumer failed");
    return ok ? 0 : 1;
}
