#include "penwell/pdf/Appending.h"

#include <algorithm>
#include <chrono>

#include "penwell/pdf/Document.h"
#include "penwell/pdf/Revisions.h"
#include "penwell/pdf/Update.h"

namespace penwell::pdf {

Result<Appending> appendingTo(QPDF& qpdf, ByteView in, const std::string& inName) {
    const std::optional<std::uint64_t> startXref = lastStartXref(in);
    const std::optional<XrefSection> lastSection =
        startXref ? readXrefSection(in, *startXref) : std::nullopt;
    if (!lastSection || !endsWithEof(in)) {
        return needsRepair(inName, "it does not end with a cross-reference section and %%EOF");
    }
    Appending appending;
    appending.startXref = *startXref;
    appending.table = lastSection->table;
    QPDFObjectHandle trailer = qpdf.getTrailer();
    const std::map<QPDFObjGen, QPDFXRefEntry> xref = qpdf.getXRefTable();
    appending.size =
        trailer.getKey("/Size").isInteger() ? trailer.getKey("/Size").getIntValue() : 0;
    const long long first =
        std::max<long long>(appending.size, xref.empty() ? 1 : xref.rbegin()->first.getObj() + 1);
    if (first > (1 << 23)) {
        return needsRepair(inName, "its /Size or object numbers are beyond 8388608");
    }
    appending.first = static_cast<int>(first);
    return appending;
}

UpdateText updateText(QPDF& qpdf, ByteView in, const Appending& appending,
                      const std::map<QPDFObjGen, std::string>& objects) {
    UpdateText out;
    if (!in.empty() && in.back() != '\n' && in.back() != '\r') {
        out.body += '\n';
    }
    std::vector<XrefEntry> entries;
    for (const auto& [id, text] : objects) {
        out.at[id] = out.body.size();
        entries.push_back({id.getObj(), id.getGen(), in.size() + out.body.size()});
        out.body += text;
    }
    const long long newSize = std::max<long long>(appending.size, entries.back().id + 1);
    const std::string common =
        updateTrailer(qpdf.getTrailer(), appending.startXref,
                      pdfDate(std::chrono::system_clock::now()), out.body, in);
    out.body += xrefSection(std::move(entries), appending.table, in.size() + out.body.size(),
                            newSize, common);
    return out;
}

}  // namespace penwell::pdf
