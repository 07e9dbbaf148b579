#include "penwell/pdf/Values.h"

#include <qpdf/QPDFNameTreeObjectHelper.hh>

#include <algorithm>
#include <set>

namespace penwell::pdf {

namespace {

/// Deeper values than this are not real documents; they count as changed.
constexpr int kMaxNesting = 128;

}  // namespace

QPDFObjectHandle keyOf(QPDFObjectHandle holder, const std::string& key) {
    return holder.isDictionary() ? holder.getKey(key) : QPDFObjectHandle::newNull();
}

void pushChildren(QPDFObjectHandle holder, std::vector<QPDFObjectHandle>& pending) {
    if (holder.isStream()) {
        holder = holder.getDict();
    }
    if (holder.isDictionary()) {
        for (const std::string& key : holder.getKeys()) {
            pending.push_back(holder.getKey(key));
        }
    } else if (holder.isArray()) {
        for (int i = 0; i < holder.getArrayNItems(); ++i) {
            pending.push_back(holder.getArrayItem(i));
        }
    }
}

std::optional<std::uint64_t> offsetOf(const std::map<QPDFObjGen, QPDFXRefEntry>& xref,
                                      QPDFObjGen id) {
    auto entry = xref.find(id);
    if (entry != xref.end() && entry->second.getType() == 2) {
        entry = xref.find(QPDFObjGen(entry->second.getObjStreamNumber(), 0));
    }
    if (entry == xref.end() || entry->second.getType() != 1 || entry->second.getOffset() < 0) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(entry->second.getOffset());
}

bool sameEntry(const std::map<QPDFObjGen, QPDFXRefEntry>& old,
               const std::map<QPDFObjGen, QPDFXRefEntry>& now, QPDFObjGen id, int depth) {
    const auto a = old.find(id), b = now.find(id);
    if (a == old.end() || b == now.end() || a->second.getType() != b->second.getType()) {
        return false;
    }
    if (a->second.getType() == 1) {
        return a->second.getOffset() == b->second.getOffset();
    }
    // In an object stream: the same place in the same, unchanged stream.
    return a->second.getObjStreamNumber() == b->second.getObjStreamNumber() &&
           a->second.getObjStreamIndex() == b->second.getObjStreamIndex() && depth == 0 &&
           sameEntry(old, now, QPDFObjGen(a->second.getObjStreamNumber(), 0), 1);
}

bool ValueComparison::spend(std::size_t steps) {
    if (exhausted_ || budget_ < steps) {
        exhausted_ = true;
        return false;
    }
    budget_ -= steps;
    return true;
}

bool ValueComparison::same(QPDFObjectHandle a, QPDFObjectHandle b, int depth) {
    if (!spend() || depth > kMaxNesting) {
        return false;
    }
    if (depth > 0 && (a.isIndirect() || b.isIndirect())) {
        return a.isIndirect() && b.isIndirect() && a.getObjGen() == b.getObjGen();
    }
    const qpdf_object_type_e type = a.getTypeCode();
    if (type != b.getTypeCode()) {
        return false;
    }
    switch (type) {
        case ::ot_null:
            return true;
        case ::ot_boolean:
            return a.getBoolValue() == b.getBoolValue();
        case ::ot_integer:
            return a.getIntValue() == b.getIntValue();
        case ::ot_real:
            return a.getRealValue() == b.getRealValue();
        case ::ot_string:
            return a.getStringValue() == b.getStringValue();
        case ::ot_name:
            return a.getName() == b.getName();
        case ::ot_array: {
            const int n = a.getArrayNItems();
            if (n != b.getArrayNItems()) {
                return false;
            }
            for (int i = 0; i < n; ++i) {
                if (!same(a.getArrayItem(i), b.getArrayItem(i), depth + 1)) {
                    return false;
                }
            }
            return true;
        }
        case ::ot_dictionary:
            return sameDictionary(a, b, depth, false);
        case ::ot_stream: {
            if (!sameDictionary(a.getDict(), b.getDict(), depth, true)) {
                return false;
            }
            const std::shared_ptr<Buffer> x = a.getRawStreamData();
            const std::shared_ptr<Buffer> y = b.getRawStreamData();
            return spend(1 + x->getSize() / 4096) && x->getSize() == y->getSize() &&
                   std::equal(x->getBuffer(), x->getBuffer() + x->getSize(), y->getBuffer());
        }
        default:
            return false;
    }
}

/// A stream's /Length may differ (written directly or as an object); its data is compared.
bool ValueComparison::sameDictionary(QPDFObjectHandle a, QPDFObjectHandle b, int depth,
                                     bool stream) {
    std::set<std::string> keys = a.getKeys();
    const std::set<std::string> other = b.getKeys();
    if (stream) {
        keys.erase("/Length");
    }
    for (const std::string& key : other) {
        if (!(stream && key == "/Length") && !keys.contains(key)) {
            return false;
        }
    }
    for (const std::string& key : keys) {
        if (!other.contains(key) || !same(a.getKey(key), b.getKey(key), depth + 1)) {
            return false;
        }
    }
    return true;
}

std::vector<std::string> ValueComparison::changedKeys(QPDFObjectHandle a, QPDFObjectHandle b) {
    std::set<std::string> keys;
    if (a.isDictionary()) {
        keys = a.getKeys();
    }
    if (b.isDictionary()) {
        const std::set<std::string> more = b.getKeys();
        keys.insert(more.begin(), more.end());
    }
    std::vector<std::string> out;
    for (const std::string& key : keys) {
        QPDFObjectHandle x = a.isDictionary() ? a.getKey(key) : QPDFObjectHandle();
        QPDFObjectHandle y = b.isDictionary() ? b.getKey(key) : QPDFObjectHandle();
        if (!x.isInitialized() || !y.isInitialized() || !same(x, y, 1)) {
            out.push_back(key);
        }
    }
    return out;
}

bool ValueComparison::keptEntries(QPDF& beforeDocument, QPDFObjectHandle before,
                                  QPDF& afterDocument, QPDFObjectHandle after) {
    if (before.isNull()) {
        return after.isDictionary();
    }
    if (!before.isDictionary() || !after.isDictionary()) {
        return false;
    }
    QPDFNameTreeObjectHelper now(after, afterDocument);
    for (const auto& [name, value] : QPDFNameTreeObjectHelper(before, beforeDocument)) {
        QPDFObjectHandle found;
        if (!spend() || !now.findObject(name, found) || !same(value, found, 1)) {
            return false;
        }
    }
    return true;
}

bool ValueComparison::appended(QPDFObjectHandle before, QPDFObjectHandle after) {
    const int count = before.isArray() ? before.getArrayNItems() : 0;
    if ((!before.isNull() && !before.isArray()) || !after.isArray() ||
        after.getArrayNItems() <= count) {
        return false;
    }
    for (int i = 0; i < count; ++i) {
        if (!same(before.getArrayItem(i), after.getArrayItem(i), 1)) {
            return false;
        }
    }
    return true;
}

}  // namespace penwell::pdf
