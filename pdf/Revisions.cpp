#include "penwell/pdf/Revisions.h"

#include <qpdf/Buffer.hh>
#include <qpdf/BufferInputSource.hh>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFExc.hh>
#include <qpdf/QPDFObjectHandle.hh>
#include <qpdf/QPDFTokenizer.hh>

#include <algorithm>
#include <cctype>
#include <set>
#include <string_view>

namespace penwell::pdf {

namespace {

std::string_view text(ByteView bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

bool isPdfSpace(char c) {
    return c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\f' || c == '\0';
}

std::size_t skipSpace(std::string_view s, std::size_t at) {
    while (at < s.size() && isPdfSpace(s[at])) {
        ++at;
    }
    return at;
}

/// Reads an unsigned decimal at `at`, moving past it; nil for none or one beyond 2^53.
std::optional<std::uint64_t> readNumber(std::string_view s, std::size_t& at) {
    std::uint64_t value = 0;
    const std::size_t start = at;
    while (at < s.size() && std::isdigit(static_cast<unsigned char>(s[at])) != 0) {
        if (at - start >= 15) {
            return std::nullopt;
        }
        value = value * 10 + static_cast<std::uint64_t>(s[at] - '0');
        ++at;
    }
    return at > start ? std::optional(value) : std::nullopt;
}

/// The largest trailer or cross-reference stream dictionary read. Real ones are a few hundred
/// bytes; the bound keeps a chain of hostile sections (each a dictionary hiding the next in a
/// long string) from costing more than its length times this.
constexpr std::size_t kMaxDictionaryBytes = 64u << 10;

/// The dictionary that starts at `at` (after whitespace), parsed by qpdf.
std::optional<QPDFObjectHandle> parseDictionaryAt(ByteView file, std::size_t at) {
    try {
        const ByteView window = file.subspan(at, std::min(file.size() - at, kMaxDictionaryBytes));
        // A Buffer over the caller's bytes: qpdf reads through it and never writes.
        auto buffer =
            std::make_shared<Buffer>(const_cast<unsigned char*>(window.data()), window.size());
        auto input = std::make_shared<BufferInputSource>("revision", buffer.get());
        QPDFTokenizer tokenizer;
        bool empty = false;
        // References need a document to point into; only direct values are read here.
        QPDF context;
        context.emptyPDF();
        QPDFObjectHandle object =
            QPDFObjectHandle::parse(input, "trailer", tokenizer, empty, nullptr, &context);
        if (empty || !object.isDictionary()) {
            return std::nullopt;
        }
        return object;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace

std::optional<std::uint64_t> lastStartXref(ByteView bytes) {
    const std::string_view s = text(bytes);
    const std::size_t from = s.size() > 1024 ? s.size() - 1024 : 0;
    const std::size_t found = s.rfind("startxref");
    if (found == std::string_view::npos || found < from) {
        return std::nullopt;
    }
    std::size_t at = skipSpace(s, found + 9);
    return readNumber(s, at);
}

std::optional<XrefSection> readXrefSection(ByteView file, std::uint64_t offset) {
    const std::string_view s = text(file);
    if (offset >= s.size()) {
        return std::nullopt;
    }
    XrefSection section{offset, false, std::nullopt};
    std::size_t at = static_cast<std::size_t>(offset);
    std::optional<QPDFObjectHandle> dictionary;
    if (s.substr(at, 4) == "xref") {
        section.table = true;
        // The table is 20 bytes an entry, so its trailer is not far unless it is huge; the
        // window bounds the search on hostile input.
        const std::size_t window = std::min<std::size_t>(s.size() - at, 64u << 20);
        const std::size_t trailer = s.substr(at, window).find("trailer");
        if (trailer == std::string_view::npos) {
            return std::nullopt;
        }
        dictionary = parseDictionaryAt(file, at + trailer + 7);
    } else {
        // "N G obj << ... >> stream"
        if (!readNumber(s, at)) {
            return std::nullopt;
        }
        at = skipSpace(s, at);
        if (!readNumber(s, at)) {
            return std::nullopt;
        }
        at = skipSpace(s, at);
        if (s.substr(at, 3) != "obj") {
            return std::nullopt;
        }
        dictionary = parseDictionaryAt(file, at + 3);
        if (dictionary && !dictionary->getKey("/Type").isNameAndEquals("/XRef")) {
            return std::nullopt;
        }
    }
    if (!dictionary) {
        return std::nullopt;
    }
    QPDFObjectHandle prev = dictionary->getKey("/Prev");
    if (prev.isInteger()) {
        const long long value = prev.getIntValue();
        if (value < 0) {
            return std::nullopt;
        }
        section.prev = static_cast<std::uint64_t>(value);
    }
    return section;
}

std::optional<std::vector<std::uint64_t>> xrefChain(ByteView file, std::size_t limit) {
    std::optional<std::uint64_t> offset = lastStartXref(file);
    std::vector<std::uint64_t> chain;
    std::set<std::uint64_t> seen;
    while (offset) {
        // A link may point forward: a linearized file's first-page section, at the start,
        // names the main section after it as its /Prev. Only a section seen before is a loop.
        if (chain.size() >= limit || !seen.insert(*offset).second) {
            return std::nullopt;
        }
        const std::optional<XrefSection> section = readXrefSection(file, *offset);
        if (!section) {
            return std::nullopt;
        }
        chain.push_back(*offset);
        offset = section->prev;
    }
    if (chain.empty()) {
        return std::nullopt;
    }
    return chain;
}

bool endsWithEof(ByteView bytes) {
    std::string_view s = text(bytes);
    // Writers leave line ends, spaces or NUL padding after the marker; readers look back
    // from the end for it, so that much is still a file that ends there.
    while (!s.empty() && bytes.size() - s.size() < 1024 && isPdfSpace(s.back())) {
        s.remove_suffix(1);
    }
    return s.ends_with("%%EOF");
}

}  // namespace penwell::pdf
