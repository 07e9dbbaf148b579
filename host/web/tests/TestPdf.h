#pragma once
// Small PDFs the web host's tests sign: one A4 page of text, built object by object with a
// cross-reference table of right offsets, so that every PDF tool reads them without repair.

#include <cstdio>
#include <string>
#include <vector>

namespace penwell::web {

/// A one-page PDF of these objects (object 1 the catalog, 2 the pages, 3 the page), with a
/// cross-reference table of right offsets.
inline std::string pdfOf(const std::vector<std::string>& objects) {
    std::string pdf = "%PDF-1.7\n%\xe2\xe3\xcf\xd3\n";
    std::vector<std::size_t> offsets;
    for (std::size_t i = 0; i < objects.size(); ++i) {
        offsets.push_back(pdf.size());
        pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    const std::size_t xref = pdf.size();
    pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (const std::size_t offset : offsets) {
        char entry[21];
        std::snprintf(entry, sizeof entry, "%010zu 00000 n \n", offset);
        pdf += entry;
    }
    pdf += "trailer\n<< /Size " + std::to_string(objects.size() + 1) +
           " /Root 1 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
    return pdf;
}

/// An A4 page with a line of text; `catalog` adds entries to the catalog, `more` objects.
inline std::string document(const std::string& catalog = "", std::vector<std::string> more = {}) {
    const std::string text = "BT /F1 18 Tf 72 700 Td (I agree to the terms above.) Tj ET";
    std::vector<std::string> objects = {
        "<< /Type /Catalog /Pages 2 0 R " + catalog + ">>",
        "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Contents 4 0 R "
        "/Resources << /Font << /F1 5 0 R >> >> >>",
        "<< /Length " + std::to_string(text.size()) + " >>\nstream\n" + text + "\nendstream",
        "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"};
    objects.insert(objects.end(), more.begin(), more.end());
    return pdfOf(objects);
}

}  // namespace penwell::web
