// A Qt application against the installed package: the widget's library links (no display is
// needed to link it; the widget's own tests show it).
#include <penwell/host/qt/PenwellWidget.h>

#include <cstdio>

int main() {
    const bool ok = &penwell::qt::PenwellWidget::undo != nullptr;
    std::puts(ok ? "qt consumer ok" : "qt consumer failed");
    return ok ? 0 : 1;
}
