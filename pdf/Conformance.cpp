#include "penwell/pdf/Conformance.h"

#include <qpdf/QPDFObjectHandle.hh>

#include <cctype>

#include "penwell/pdf/Document.h"

namespace penwell::pdf {

namespace {

/// XMP packets are a few KiB; a larger one is not read (its filter could inflate without end).
constexpr std::size_t kMaxMetadataBytes = 1u << 20;

/// The value of an XMP property written as an attribute (pdfaid:part="2") or an element
/// (<pdfaid:part>2</pdfaid:part>).
std::string property(const std::string& xmp, const std::string& name) {
    std::size_t at = xmp.find(name);
    while (at != std::string::npos) {
        std::size_t from = at + name.size();
        while (from < xmp.size() && std::isspace(static_cast<unsigned char>(xmp[from])) != 0) {
            ++from;
        }
        if (from < xmp.size() && (xmp[from] == '=' || xmp[from] == '>')) {
            from += 1;
            while (from < xmp.size() &&
                   (xmp[from] == '"' || xmp[from] == '\'' ||
                    std::isspace(static_cast<unsigned char>(xmp[from])) != 0)) {
                ++from;
            }
            std::string value;
            while (from < xmp.size() && std::isalnum(static_cast<unsigned char>(xmp[from])) != 0) {
                value += xmp[from++];
            }
            return value;
        }
        at = xmp.find(name, at + 1);
    }
    return {};
}

}  // namespace

std::optional<std::string> pdfaClaim(QPDF& document) {
    try {
        QPDFObjectHandle metadata = document.getRoot().getKey("/Metadata");
        if (!metadata.isStream()) {
            return std::nullopt;
        }
        const std::optional<std::string> xmp = boundedStreamData(metadata, kMaxMetadataBytes);
        if (!xmp) {
            return std::nullopt;
        }
        const std::string part = property(*xmp, "pdfaid:part");
        if (part.empty()) {
            return std::nullopt;
        }
        std::string conformance = property(*xmp, "pdfaid:conformance");
        for (char& c : conformance) {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        return "PDF/A-" + part + conformance;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<std::string> pdfaLoss(const std::string& claim, bool withEvidence) {
    const char part = claim.size() > 6 ? claim[6] : '?';
    if (part == '1') {
        return std::string("PDF/A-1 allows neither the ink's transparency group") +
               (withEvidence ? " nor an embedded file (the evidence record)" : "");
    }
    const bool filesAllowed = part == '3' || (part == '4' && claim.ends_with('F'));
    if (withEvidence && !filesAllowed) {
        return "PDF/A-" + std::string(1, part) +
               " embeds only PDF/A files, and the evidence record is none; sign a PDF/A-3 "
               "file to keep conformance";
    }
    return std::nullopt;
}

}  // namespace penwell::pdf
