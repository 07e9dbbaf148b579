// A document program against the installed package: the PDF library (with qpdf) links and
// refuses bytes that are no PDF with its one-line reason.
#include <penwell/pdf/PdfSignature.h>

#include <cstdio>

int main() {
    const penwell::Bytes notPdf{'n', 'o', 't', ' ', 'a', ' ', 'P', 'D', 'F'};
    const auto reports = penwell::pdf::verifyPdf(notPdf, "not.pdf", {});
    const bool ok = !reports && reports.error().message.find("not.pdf") != std::string::npos;
    std::puts(ok ? "pdf consumer ok" : "pdf consumer failed");
    return ok ? 0 : 1;
}
