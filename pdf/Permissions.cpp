#include "penwell/pdf/Permissions.h"

#include <qpdf/QPDFAcroFormDocumentHelper.hh>

#include <set>

namespace penwell::pdf {

namespace {

/// The most /Reference entries or lock names read from one dictionary: real ones hold one or
/// two transforms and a few dozen names.
constexpr int kMaxItems = 4096;

std::optional<int> permissionsValue(QPDFObjectHandle value) {
    if (!value.isInteger()) {
        return std::nullopt;
    }
    const long long p = value.getIntValue();
    // Anything else is no level ISO 32000 defines; the strictest reading is the safe one.
    return p >= 1 && p <= 3 ? static_cast<int>(p) : 1;
}

}  // namespace

bool FieldLock::covers(const std::string& field) const {
    if (action == Action::All) {
        return true;
    }
    bool named = false;
    for (const std::string& name : fields) {
        named = named || field == name || field.starts_with(name + ".");
    }
    return action == Action::Include ? named : !named;
}

std::string FieldLock::describe() const {
    std::string names;
    for (const std::string& name : fields) {
        names += (names.empty() ? "" : ", ") + name;
    }
    switch (action) {
        case Action::All:
            return "all fields";
        case Action::Include:
            return fields.empty() ? "no fields" : "fields " + names;
        case Action::Exclude:
            return fields.empty() ? "all fields" : "all fields but " + names;
    }
    return "all fields";
}

QPDFObjectHandle FieldLock::transformParams() const {
    QPDFObjectHandle params = QPDFObjectHandle::parse("<< /Type /TransformParams /V /1.2 >>");
    const char* names[] = {"/All", "/Include", "/Exclude"};
    params.replaceKey("/Action", QPDFObjectHandle::newName(names[static_cast<int>(action)]));
    if (action != Action::All) {
        QPDFObjectHandle list = QPDFObjectHandle::newArray();
        for (const std::string& name : fields) {
            list.appendItem(QPDFObjectHandle::newUnicodeString(name));
        }
        params.replaceKey("/Fields", list);
    }
    return params;
}

std::optional<FieldLock> lockFrom(QPDFObjectHandle dictionary) {
    if (!dictionary.isDictionary()) {
        return std::nullopt;
    }
    FieldLock lock;
    lock.permissions = permissionsValue(dictionary.getKey("/P"));
    QPDFObjectHandle action = dictionary.getKey("/Action");
    if (action.isNameAndEquals("/All")) {
        lock.action = FieldLock::Action::All;
    } else if (action.isNameAndEquals("/Include")) {
        lock.action = FieldLock::Action::Include;
    } else if (action.isNameAndEquals("/Exclude")) {
        lock.action = FieldLock::Action::Exclude;
    } else if (lock.permissions) {
        // A lock that only narrows the permissions locks no field of its own.
        lock.action = FieldLock::Action::Include;
        return lock;
    } else {
        return std::nullopt;
    }
    QPDFObjectHandle names = dictionary.getKey("/Fields");
    for (int i = 0; names.isArray() && i < std::min(names.getArrayNItems(), kMaxItems); ++i) {
        if (names.getArrayItem(i).isString()) {
            lock.fields.push_back(names.getArrayItem(i).getUTF8Value());
        }
    }
    return lock;
}

SignatureTransforms transformsOf(QPDFObjectHandle signature) {
    SignatureTransforms found;
    QPDFObjectHandle references =
        signature.isDictionary() ? signature.getKey("/Reference") : QPDFObjectHandle::newNull();
    for (int i = 0; references.isArray() && i < std::min(references.getArrayNItems(), kMaxItems);
         ++i) {
        QPDFObjectHandle reference = references.getArrayItem(i);
        if (!reference.isDictionary()) {
            continue;
        }
        QPDFObjectHandle method = reference.getKey("/TransformMethod");
        QPDFObjectHandle params = reference.getKey("/TransformParams");
        if (method.isNameAndEquals("/DocMDP")) {
            const std::optional<int> p =
                params.isDictionary() ? permissionsValue(params.getKey("/P")) : std::nullopt;
            // Without /P the transform means 2; two transforms: the stricter counts.
            found.docMdp = std::min(found.docMdp.value_or(3), p.value_or(2));
        } else if (method.isNameAndEquals("/FieldMDP")) {
            if (std::optional<FieldLock> lock = lockFrom(params)) {
                found.locks.push_back(std::move(*lock));
            }
        }
    }
    return found;
}

std::optional<Certification> certificationOf(QPDF& document) {
    QPDFObjectHandle perms = document.getRoot().getKey("/Perms");
    QPDFObjectHandle signature =
        perms.isDictionary() ? perms.getKey("/DocMDP") : QPDFObjectHandle::newNull();
    if (!signature.isDictionary()) {
        return std::nullopt;
    }
    const std::optional<int> p = transformsOf(signature).docMdp;
    if (!p) {
        return std::nullopt;
    }
    return Certification{signature.getObjGen(), *p};
}

std::vector<SignedLock> signedLocks(QPDF& document, std::size_t limit) {
    std::vector<SignedLock> locks;
    std::set<QPDFObjGen> seen;
    QPDFAcroFormDocumentHelper form(document);
    std::size_t looked = 0;
    for (QPDFFormFieldObjectHelper field : form.getFormFields()) {
        if (++looked > limit) {
            break;
        }
        QPDFObjectHandle value = field.getValue();
        if (field.getFieldType() != "/Sig" || !value.isDictionary() ||
            !seen.insert(value.getObjGen()).second) {
            continue;
        }
        std::vector<FieldLock> found = transformsOf(value).locks;
        if (found.empty()) {
            // Signed by a program that left the transform out: the field's lock still holds.
            if (std::optional<FieldLock> lock = lockFrom(field.getInheritableFieldValue("/Lock"))) {
                found.push_back(std::move(*lock));
            }
        }
        for (FieldLock& lock : found) {
            locks.push_back({field.getFullyQualifiedName(), std::move(lock)});
        }
    }
    return locks;
}

std::string describePermissions(int permissions) {
    switch (permissions) {
        case 1:
            return "no changes";
        case 2:
            return "form filling and signing";
        default:
            return "form filling, signing and annotations";
    }
}

}  // namespace penwell::pdf
