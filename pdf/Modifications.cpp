#include "penwell/pdf/Modifications.h"

#include <qpdf/QPDFObjectHandle.hh>
#include <qpdf/QPDFXRefEntry.hh>

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>

#include "penwell/pdf/Document.h"
#include "penwell/pdf/Values.h"

namespace penwell::pdf {

namespace {

struct Finding {
    Need need;
    std::string what;
    std::vector<std::string> fields;
};

std::string label(QPDFObjGen id) {
    return "object " + std::to_string(id.getObj());
}

class Comparer {
public:
    Comparer(QPDF& before, QPDF& after, const Roles& roles, std::size_t& budget)
        : before_(before), after_(after), roles_(roles), values_(budget) {}

    /// The changes found, or nothing when the budget ran out before they were all judged.
    std::optional<std::vector<Finding>> run() {
        const std::map<QPDFObjGen, QPDFXRefEntry> old = before_.getXRefTable();
        const std::map<QPDFObjGen, QPDFXRefEntry> now = after_.getXRefTable();
        // What each revision takes as its catalog: one update may replace it whole.
        QPDFObjectHandle oldRoot = before_.getTrailer().getKey("/Root");
        QPDFObjectHandle newRoot = after_.getTrailer().getKey("/Root");
        if (oldRoot.getObjGen() != newRoot.getObjGen()) {
            add(Need::Other, "the trailer (its /Root names another catalog)");
        }
        if (before_.getTrailer().getKey("/Info").getObjGen() !=
            after_.getTrailer().getKey("/Info").getObjGen()) {
            add(Need::Validation, "the trailer (its /Info names other document information)");
        }
        std::set<QPDFObjGen> candidates;
        for (const auto& [id, entry] : now) {
            if (!sameEntry(old, now, id)) {
                candidates.insert(id);
            }
        }
        for (const auto& [id, entry] : old) {
            if (!now.contains(id)) {
                candidates.insert(id);  // freed by a later revision
            }
        }
        for (const QPDFObjGen& id : candidates) {
            if (!values_.spend()) {
                break;
            }
            const auto role = roles_.objects.find(id);
            // An object the signed revision did not reach changes nothing that was signed;
            // it matters only if a changed object now reaches it, and that one is judged.
            if (role == roles_.objects.end()) {
                continue;
            }
            QPDFObjectHandle a = before_.getObjectByObjGen(id);
            QPDFObjectHandle b = after_.getObjectByObjGen(id);
            if (!values_.same(a, b, 0)) {
                changed(id, role->second, a, b);
            }
        }
        if (values_.exhausted()) {
            return std::nullopt;
        }
        return std::move(findings_);
    }

private:
    void add(Need need, std::string what, std::vector<std::string> fields = {}) {
        findings_.push_back({need, std::move(what), std::move(fields)});
    }

    void changed(QPDFObjGen id, const Role& role, QPDFObjectHandle a, QPDFObjectHandle b) {
        const std::string at = label(id) + " (";
        switch (role.kind) {
            case RoleKind::Leaf: {
                std::string what = role.what;
                if (a.isDictionary() && a.getKey("/Type").isNameAndEquals("/Font")) {
                    QPDFObjectHandle font = a.getKey("/BaseFont");
                    what = "a font (" + (font.isName() ? font.getName() : "") + ") of " + what;
                }
                add(role.need, at + what + ")", role.fields);
                return;
            }
            case RoleKind::Annotation:
                add(Need::Annotations, at + role.what + (b.isNull() ? ", deleted)" : ")"));
                return;
            case RoleKind::Catalog:
                return catalog(at, a, b);
            case RoleKind::Page:
                return page(at, role, a, b);
            case RoleKind::AnnotsArray:
                return annotations(at, role.page, a, b);
            case RoleKind::AcroForm:
                return form(at, a, b);
            case RoleKind::FieldsArray:
                return fieldList(at, a, b);
            case RoleKind::Field:
                return field(at, role, a, b);
        }
    }

    void catalog(const std::string& at, QPDFObjectHandle a, QPDFObjectHandle b) {
        for (const std::string& key : values_.changedKeys(a, b)) {
            if (key == "/AcroForm") {
                form(at, keyOf(a, key), keyOf(b, key));
            } else if (key == "/DSS" || key == "/Metadata" || key == "/Extensions") {
                add(Need::Validation, at + "the document catalog's " + key + ")");
            } else if (key == "/Perms") {
                add(Need::Other, at + "the document catalog's /Perms: its certification)");
            } else if (key == "/Names") {
                names(at, keyOf(a, key), keyOf(b, key));
            } else if (key == "/AF" && values_.appended(keyOf(a, key), keyOf(b, key))) {
                add(Need::Annotations, at + "the document's associated files, one added)");
            } else {
                add(Need::Other, at + "the document catalog's " + key + ")");
            }
        }
    }

    /// A file attached to the document is judged as an annotation: ISO 32000 grants attaching
    /// with neither form filling nor signing, and a file attachment annotation, allowed with
    /// P = 3, carries one. It is an attachment only when every file there before is still
    /// there under its name, with the same value; a replaced or removed file is any other change.
    void names(const std::string& at, QPDFObjectHandle a, QPDFObjectHandle b) {
        for (const std::string& key : values_.changedKeys(a, b)) {
            if (key == "/EmbeddedFiles" &&
                values_.keptEntries(before_, keyOf(a, key), after_, keyOf(b, key))) {
                add(Need::Annotations, at + "a file attached to the document)");
            } else {
                add(Need::Other, at + "the document catalog's /Names " + key + ")");
            }
        }
    }

    void page(const std::string& at, const Role& role, QPDFObjectHandle a, QPDFObjectHandle b) {
        for (const std::string& key : values_.changedKeys(a, b)) {
            if (key == "/Annots") {
                annotations(at, role.page, keyOf(a, key), keyOf(b, key));
            } else {
                add(Need::Other, at +
                                     (key == "/Contents" ? "the content of " + role.what
                                                         : role.what + "'s " + key) +
                                     ")");
            }
        }
    }

    /// The role an object had in the signed revision; nil for a new one.
    const Role* known(QPDFObjectHandle h) const {
        const auto found =
            h.isIndirect() ? roles_.objects.find(h.getObjGen()) : roles_.objects.end();
        return found == roles_.objects.end() ? nullptr : &found->second;
    }

    void annotations(const std::string& at, int page, QPDFObjectHandle a, QPDFObjectHandle b) {
        const std::string where = " on page " + std::to_string(page);
        std::map<QPDFObjGen, QPDFObjectHandle> before, after;
        for (auto [array, into] : {std::pair{a, &before}, std::pair{b, &after}}) {
            for (int i = 0; array.isArray() && i < array.getArrayNItems() && values_.spend(); ++i) {
                QPDFObjectHandle item = array.getArrayItem(i);
                if (!item.isIndirect()) {
                    // Annotations written into the list itself: rare, judged as annotations.
                    add(Need::Annotations,
                        at + "an annotation written into the list" + where + ")");
                    continue;
                }
                into->emplace(item.getObjGen(), item);
            }
        }
        for (const auto& [id, annot] : before) {
            if (!after.contains(id)) {
                const Role* role = known(annot);
                if (role && role->kind == RoleKind::Annotation) {
                    add(Need::Annotations, at + role->what + ", removed)");
                } else {
                    add(Need::Other,
                        at + (role ? role->what : label(id)) + ", removed" + where + ")");
                }
            }
        }
        for (const auto& [id, annot] : after) {
            if (!before.contains(id)) {
                added(at, annot, where);
            }
        }
    }

    /// An annotation put on a page after the signature.
    void added(const std::string& at, QPDFObjectHandle annot, const std::string& where) {
        if (const Role* role = known(annot)) {
            if (role->kind == RoleKind::Annotation) {
                add(Need::Annotations, at + role->what + ", put" + where + " too)");
            } else {
                add(Need::Other, at + role->what + ", put" + where + " as an annotation)");
            }
            return;
        }
        QPDFObjectHandle subtype = keyOf(annot, "/Subtype");
        if (!subtype.isNameAndEquals("/Widget")) {
            add(Need::Annotations, at + "an annotation (" +
                                       (subtype.isName() ? subtype.getName() : "?") + ") added" +
                                       where + ")");
            return;
        }
        // A widget's field: the widget itself when it has a name, else its parent.
        QPDFObjectHandle field = annot;
        for (int i = 0; i < kMaxFieldParents && !keyOf(field, "/T").isString() &&
                        keyOf(field, "/Parent").isDictionary();
             ++i) {
            field = field.getKey("/Parent");
        }
        if (const Role* role = known(field)) {
            add(Need::Other, at + "a widget added to " + role->what + where + ")");
            return;
        }
        newField(at, field, where);
    }

    /// A field the signed revision did not have: a new signature field (with its widgets) is
    /// signing, or validation data when it holds a document timestamp; any other is not allowed.
    void newField(const std::string& at, QPDFObjectHandle field, const std::string& where) {
        QPDFObjectHandle type = keyOf(field, "/FT");
        QPDFObjectHandle up = field;
        for (int i = 0;
             i < kMaxFieldParents && !type.isName() && keyOf(up, "/Parent").isDictionary(); ++i) {
            up = up.getKey("/Parent");
            type = up.getKey("/FT");
        }
        std::string name;
        if (keyOf(field, "/T").isString()) {
            name.append(" ").append(field.getKey("/T").getUTF8Value());
        }
        QPDFObjectHandle kids = keyOf(field, "/Kids");
        bool childFields = false;
        for (int i = 0; kids.isArray() && i < kids.getArrayNItems() && values_.spend(); ++i) {
            childFields = childFields || keyOf(kids.getArrayItem(i), "/T").isString();
        }
        if (!type.isNameAndEquals("/Sig") || childFields) {
            add(Need::Other, at + "a new form field" + name + where + ")");
            return;
        }
        const bool timestamp = keyOf(keyOf(field, "/V"), "/Type").isNameAndEquals("/DocTimeStamp");
        add(timestamp ? Need::Validation : Need::Signing,
            at + (timestamp ? "a document timestamp" : "a new signature field") + name + where +
                ")");
    }

    void form(const std::string& at, QPDFObjectHandle a, QPDFObjectHandle b) {
        for (const std::string& key : values_.changedKeys(a, b)) {
            if (key == "/Fields") {
                fieldList(at, keyOf(a, key), keyOf(b, key));
            } else if (key == "/SigFlags") {
                add(Need::Validation, at + "the form's /SigFlags)");
            } else if (key == "/DR" || key == "/DA" || key == "/NeedAppearances" || key == "/Q") {
                add(Need::FormFilling, at + "the form's " + key + ")");
            } else {
                add(Need::Other, at + "the form's " + key + ")");
            }
        }
    }

    void fieldList(const std::string& at, QPDFObjectHandle a, QPDFObjectHandle b) {
        std::set<QPDFObjGen> before, after;
        for (auto [array, into] : {std::pair{a, &before}, std::pair{b, &after}}) {
            for (int i = 0; array.isArray() && i < array.getArrayNItems() && values_.spend(); ++i) {
                into->insert(array.getArrayItem(i).getObjGen());
            }
        }
        for (const QPDFObjGen& id : before) {
            if (!after.contains(id)) {
                const auto role = roles_.objects.find(id);
                add(Need::Other,
                    at + (role != roles_.objects.end() ? role->second.what : label(id)) +
                        ", removed from the form)");
            }
        }
        for (int i = 0; b.isArray() && i < b.getArrayNItems(); ++i) {
            QPDFObjectHandle item = b.getArrayItem(i);
            if (before.contains(item.getObjGen())) {
                continue;
            }
            if (const Role* role = known(item)) {
                add(Need::Other, at + role->what + ", put into the form's field list)");
            } else {
                newField(at, item, "");
            }
        }
    }

    void field(const std::string& at, const Role& role, QPDFObjectHandle a, QPDFObjectHandle b) {
        if (!b.isDictionary()) {
            add(Need::Other, at + role.what + ", deleted)", {role.field});
            return;
        }
        for (const std::string& key : values_.changedKeys(a, b)) {
            const std::string what = at + role.what + ": " + key + ")";
            if (role.signedField) {
                add(Need::Other, what, {role.field});
            } else if (role.signatureField && key == "/V") {
                const bool timestamp =
                    keyOf(keyOf(b, key), "/Type").isNameAndEquals("/DocTimeStamp");
                add(timestamp ? Need::Validation : Need::Signing, at + role.what + ", signed)",
                    {role.field});
            } else if (key == "/AP" || key == "/AS" || key == "/MK" ||
                       (role.signatureField && key == "/AF") ||
                       (!role.signatureField && key == "/V")) {
                add(role.signatureField ? Need::Signing : Need::FormFilling, what, {role.field});
            } else {
                add(Need::Other, what, {role.field});
            }
        }
    }

    QPDF& before_;
    QPDF& after_;
    const Roles& roles_;
    ValueComparison values_;
    std::vector<Finding> findings_;
};

ModificationLevel levelOf(Need need) {
    switch (need) {
        case Need::Validation:
        case Need::Signing:
            return ModificationLevel::SignaturesAndValidation;
        case Need::FormFilling:
            return ModificationLevel::FormFilling;
        case Need::Annotations:
            return ModificationLevel::Annotations;
        case Need::Other:
            break;
    }
    return ModificationLevel::Other;
}

/// The most a level of permissions allows.
Need allowedBy(int permissions) {
    return permissions <= 1   ? Need::Validation
           : permissions == 2 ? Need::FormFilling
                              : Need::Annotations;
}

}  // namespace

Analysis analyseChanges(QPDF& signedRevision, QPDF& current, const Allowance& allowance,
                        std::size_t& budget) {
    Analysis analysis;
    std::vector<Finding> findings;
    // qpdf throws when a later revision cannot be read, at any object the walk reaches.
    try {
        const Roles roles = rolesOf(signedRevision, budget);
        std::optional<std::vector<Finding>> found;
        if (roles.complete) {
            found = Comparer(signedRevision, current, roles, budget).run();
        }
        findings = found
                       ? std::move(*found)
                       : std::vector<Finding>{
                             {Need::Other, "the document: too large to compare its revisions", {}}};
    } catch (const std::exception& e) {
        findings = {
            {Need::Other, std::string("a later revision, which cannot be read: ") + e.what(), {}}};
    }
    for (const Finding& f : findings) {
        analysis.level = std::max(analysis.level, levelOf(f.need));
        std::string reason;
        for (const std::string& field : f.fields) {
            for (const FieldLock& lock : allowance.locks) {
                if (reason.empty() && lock.covers(field)) {
                    reason = "; field " + field + " is locked by this signature";
                }
            }
        }
        if (reason.empty() && f.need != Need::Other && f.need > allowedBy(allowance.permissions)) {
            reason = "; " + allowance.permissionSource + " allows " +
                     describePermissions(allowance.permissions);
        }
        if ((f.need == Need::Other || !reason.empty()) &&
            analysis.disallowed.size() < kMaxReported) {
            analysis.disallowed.push_back(f.what + reason);
        }
    }
    return analysis;
}

}  // namespace penwell::pdf
