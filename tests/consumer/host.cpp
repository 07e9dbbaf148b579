// A host of one's own against the installed package: the hosts' library links, with the
// signer's wording table built in, and its trace reader refuses what is no trace.
#include <penwell/host/common/Trace.h>
#include <penwell/host/common/Wording.h>

#include <cstdio>

int main() {
    const auto german = penwell::host::Wording::load("de");
    const auto trace = penwell::host::parseTrace("[]", "empty.json");
    const bool ok = german && german->text("done") == "Fertig" && !trace;
    std::puts(ok ? "host consumer ok" : "host consumer failed");
    return ok ? 0 : 1;
}
