// A receiver's program against the installed package: the evidence reader links and refuses
// bytes that are no record with its one-line reason.
#include <receiver/Evidence.h>

#include <cstdio>

int main() {
    const penwell::Bytes garbage{0x30, 0x03, 0x02, 0x01, 0x00};
    const auto opened = penwell::receiver::openEvidence(garbage, {});
    const bool ok = !opened && !opened.error().message.empty();
    std::puts(ok ? "receiver consumer ok" : "receiver consumer failed");
    return ok ? 0 : 1;
}
