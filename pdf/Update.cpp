#include "penwell/pdf/Update.h"

#include "penwell/pdf/SignedData.h"
#include "penwell/pdf/Values.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace penwell::pdf {

namespace {

/// The most objects the ink's picture may bring: Cairo writes a dozen.
constexpr std::size_t kMaxScratchObjects = 100000;

/// Runs of consecutive object numbers: the subsections of a table, the /Index of a stream.
std::vector<std::pair<int, int>> runs(const std::vector<XrefEntry>& entries) {
    std::vector<std::pair<int, int>> out;
    for (const XrefEntry& e : entries) {
        if (!out.empty() && out.back().first + out.back().second == e.id) {
            ++out.back().second;
        } else {
            out.push_back({e.id, 1});
        }
    }
    return out;
}

void putBigEndian(std::string& out, std::uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) {
        out += static_cast<char>((value >> (8 * i)) & 0xff);
    }
}

}  // namespace

std::string hex(ByteView bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (std::uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

std::string number(double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.4f", value);
    std::string s = buffer;
    s.erase(s.find_last_not_of('0') + 1);
    if (s.back() == '.') {
        s.pop_back();
    }
    return s == "-0" ? "0" : s;
}

std::string pdfDate(std::chrono::system_clock::time_point time) {
    const std::time_t t = std::chrono::system_clock::to_time_t(time);
    std::tm utc{};
    gmtime_r(&t, &utc);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "D:%Y%m%d%H%M%SZ", &utc);
    return buffer;
}

Result<QPDFObjectHandle> NewObjects::adopt(QPDFObjectHandle root) {
    std::vector<QPDFObjectHandle> pending{root};
    while (!pending.empty()) {
        QPDFObjectHandle h = pending.back();
        pending.pop_back();
        if (h.isIndirect()) {
            if (scratchIds_.contains(h.getObjGen())) {
                continue;
            }
            if (scratchIds_.size() >= kMaxScratchObjects) {
                return fail(PdfErrorKind::Appearance, "the ink's picture has too many objects");
            }
            scratchIds_[h.getObjGen()] = next_;
            scratch_[next_++] = h;
        }
        pushChildren(h, pending);
    }
    const int id = scratchIds_.at(root.getObjGen());
    qpdf_.replaceObject(id, 0, QPDFObjectHandle::newDictionary());
    return qpdf_.getObject(id, 0);
}

std::optional<std::string> NewObjects::scratchText(int id) const {
    const auto found = scratch_.find(id);
    if (found == scratch_.end()) {
        return std::nullopt;
    }
    QPDFObjectHandle object = found->second;
    std::string text = std::to_string(id) + " 0 obj\n";
    if (object.isStream()) {
        const std::shared_ptr<Buffer> data = object.getRawStreamData();
        QPDFObjectHandle dict = object.getDict().shallowCopy();
        dict.replaceKey("/Length",
                        QPDFObjectHandle::newInteger(static_cast<long long>(data->getSize())));
        text += value(dict) + "\nstream\n";
        text.append(reinterpret_cast<const char*>(data->getBuffer()), data->getSize());
        text += "\nendstream";
    } else {
        text += value(object, true);
    }
    return text + "\nendobj\n";
}

std::string NewObjects::value(QPDFObjectHandle h, bool top) const {
    if (h.isIndirect() && !top) {
        return std::to_string(scratchIds_.at(h.getObjGen())) + " 0 R";
    }
    if (h.isDictionary()) {
        std::string text = "<<";
        for (const std::string& key : h.getKeys()) {
            // Appended piece by piece: GCC 12 at -O3 warns falsely about " " + string.
            text += ' ';
            text += QPDFObjectHandle::newName(key).unparse();
            text += ' ';
            text += value(h.getKey(key));
        }
        return text + " >>";
    }
    if (h.isArray()) {
        std::string text = "[";
        for (int i = 0; i < h.getArrayNItems(); ++i) {
            text += ' ';
            text += value(h.getArrayItem(i));
        }
        return text + " ]";
    }
    return h.unparse();
}

/// Appends `item` to the array under `key` of `holder` (made when missing), and names the
/// object that changed: the array when it is an object of its own, else `holder`.
QPDFObjGen appendTo(QPDFObjectHandle holder, const char* key, QPDFObjectHandle item,
                    QPDFObjGen owner) {
    QPDFObjectHandle array = holder.getKey(key);
    if (!array.isArray()) {
        holder.replaceKey(key, QPDFObjectHandle::newArray());
        array = holder.getKey(key);
    }
    array.appendItem(item);
    return array.isIndirect()    ? array.getObjGen()
           : holder.isIndirect() ? holder.getObjGen()
                                 : owner;
}

/// An indirect object as it is written in the update.
std::string objectText(QPDFObjectHandle object) {
    const QPDFObjGen id = object.getObjGen();
    std::string text = std::to_string(id.getObj()) + " " + std::to_string(id.getGen()) + " obj\n";
    if (object.isStream()) {
        const std::shared_ptr<Buffer> data = object.getRawStreamData();
        QPDFObjectHandle dict = object.getDict();
        dict.replaceKey("/Length",
                        QPDFObjectHandle::newInteger(static_cast<long long>(data->getSize())));
        text += dict.unparse() + "\nstream\n";
        text.append(reinterpret_cast<const char*>(data->getBuffer()), data->getSize());
        text += "\nendstream";
    } else {
        text += object.unparseResolved();
    }
    return text + "\nendobj\n";
}

std::string updateTrailer(QPDFObjectHandle trailer, std::uint64_t startXref,
                          const std::string& stamp, const std::string& body, ByteView in) {
    // The second identifier is new for this revision; hashing the whole input again for it
    // would double the cost of a large document, and the update and the time are unique.
    const Sha256 second = cms::sha256(
        {asBytes(stamp), asBytes(body), in.last(std::min<std::size_t>(in.size(), 4096))});
    QPDFObjectHandle oldId = trailer.getKey("/ID");
    const Bytes firstId = [&] {
        if (oldId.isArray() && oldId.getArrayNItems() == 2 && oldId.getArrayItem(0).isString()) {
            const std::string s = oldId.getArrayItem(0).getStringValue();
            return Bytes(s.begin(), s.end());
        }
        return Bytes(second.begin(), second.begin() + 16);
    }();
    std::string common = "/Root " + trailer.getKey("/Root").unparse();
    if (trailer.getKey("/Info").isIndirect()) {
        common += " /Info " + trailer.getKey("/Info").unparse();
    }
    return common + " /ID [<" + hex(firstId) + "> <" + hex(ByteView(second).first(16)) +
           ">] /Prev " + std::to_string(startXref);
}

std::string xrefSection(std::vector<XrefEntry> entries, bool table, std::uint64_t at,
                        long long size, const std::string& trailer) {
    std::string body;
    if (table) {
        body += "xref\n";
        std::size_t next = 0;
        for (const auto& [first, count] : runs(entries)) {
            body += std::to_string(first) + " " + std::to_string(count) + "\n";
            for (int i = 0; i < count; ++i, ++next) {
                char line[32];
                std::snprintf(line, sizeof line, "%010llu %05d n\r\n",
                              static_cast<unsigned long long>(entries[next].offset),
                              entries[next].gen);
                body += line;
            }
        }
        body += "trailer\n<< /Size " + std::to_string(size) + " " + trailer + " >>\n";
    } else {
        // The stream is an object of the update too, numbered after every other.
        entries.push_back({static_cast<int>(size), 0, at});
        std::string rows;
        for (const XrefEntry& e : entries) {
            putBigEndian(rows, 1, 1);
            putBigEndian(rows, e.offset, 4);
            putBigEndian(rows, static_cast<std::uint64_t>(e.gen), 2);
        }
        std::string index;
        for (const auto& [first, count] : runs(entries)) {
            // Appended piece by piece: GCC 12 at -O3 misreads `"x" + std::string` as an
            // overlapping copy (-Wrestrict).
            if (!index.empty()) {
                index += ' ';
            }
            index.append(std::to_string(first)).append(" ").append(std::to_string(count));
        }
        body += std::to_string(size) + " 0 obj\n<< /Type /XRef /Size " + std::to_string(size + 1) +
                " /Index [" + index + "] /W [1 4 2] " + trailer + " /Length " +
                std::to_string(rows.size()) + " >>\nstream\n" + rows + "\nendstream\nendobj\n";
    }
    return body + "startxref\n" + std::to_string(at) + "\n%%EOF\n";
}

}  // namespace penwell::pdf
