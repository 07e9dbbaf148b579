// The walk: first the objects whose changes are judged key by key (catalog, page tree, form
// fields, annotations), then everything reached from their other keys, strictest first, so
// an object shared between a page's content and an annotation's appearance counts as content.

#include "penwell/pdf/Roles.h"

#include "penwell/pdf/Values.h"

#include <qpdf/QPDFObjectHandle.hh>

#include <algorithm>
#include <set>

namespace penwell::pdf {

namespace {

/// Deeper page or field trees are not real documents; past this depth nothing is walked.
constexpr int kMaxDepth = 64;
/// The most field names remembered for one shared object (for field locks).
constexpr std::size_t kMaxFieldsPerObject = 256;

Role roleOf(RoleKind kind, std::string what) {
    Role role;
    role.kind = kind;
    role.what = std::move(what);
    return role;
}

std::string nameOf(QPDFObjectHandle key) {
    return key.isName() ? key.getName() : std::string("?");
}

class Walker {
public:
    Walker(QPDF& revision, std::size_t& budget) : revision_(revision), budget_(budget) {}

    Roles run() {
        QPDFObjectHandle trailer = revision_.getTrailer();
        QPDFObjectHandle catalog = trailer.getKey("/Root");
        if (!catalog.isDictionary()) {
            roles_.complete = false;
            return std::move(roles_);
        }
        mark(catalog, roleOf(RoleKind::Catalog, "the document catalog"));
        seedKeys(catalog, {"/Pages", "/AcroForm"}, [](const std::string& key) {
            if (key == "/DSS") {
                return std::pair{Need::Validation, std::string("the DSS")};
            }
            if (key == "/Metadata") {
                return std::pair{Need::Validation, std::string("the XMP metadata")};
            }
            return std::pair{Need::Other, "the document catalog's " + key};
        });
        if (trailer.getKey("/Info").isIndirect()) {
            seeds_.push_back(
                {trailer.getKey("/Info"), Need::Validation, "the document information", {}});
        }
        pageTree(catalog.getKey("/Pages"));
        QPDFObjectHandle form = catalog.getKey("/AcroForm");
        if (form.isDictionary()) {
            mark(form, roleOf(RoleKind::AcroForm, "the form (/AcroForm)"));
            seedKeys(form, {"/Fields"}, [](const std::string& key) {
                return key == "/DR" ? std::pair{Need::FormFilling,
                                                std::string("the form's default resources")}
                                    : std::pair{Need::Other, "the form's " + key};
            });
            fieldTree(form.getKey("/Fields"));
        }
        annotations();
        // Strictest first: what an object needs is the most any path to it needs.
        std::stable_sort(seeds_.begin(), seeds_.end(),
                         [](const Seed& a, const Seed& b) { return a.need > b.need; });
        for (const Seed& seed : seeds_) {
            spread(seed);
        }
        return std::move(roles_);
    }

private:
    struct Seed {
        QPDFObjectHandle value;
        Need need;
        std::string what;
        std::vector<std::string> fields;
    };

    bool spend() {
        if (budget_ == 0) {
            roles_.complete = false;
            return false;
        }
        --budget_;
        return true;
    }

    /// Records a judged-by-key role; false when the object was met before (then it is not
    /// walked again). An object that is two different things is judged as Other.
    bool mark(QPDFObjectHandle object, const Role& role) {
        if (!object.isIndirect()) {
            return true;
        }
        auto [at, fresh] = roles_.objects.emplace(object.getObjGen(), role);
        if (!fresh && at->second.kind != role.kind) {
            const std::string both = at->second.what + " and " + role.what;
            at->second = Role{};
            at->second.what = both;
        }
        return fresh;
    }

    template <typename Classify>
    void seedKeys(QPDFObjectHandle holder, std::initializer_list<const char*> skip,
                  Classify classify, const std::vector<std::string>& fields = {}) {
        for (const std::string& key : holder.getKeys()) {
            if (key == "/Parent" ||
                std::any_of(skip.begin(), skip.end(), [&](const char* s) { return key == s; })) {
                continue;
            }
            auto [need, what] = classify(key);
            seeds_.push_back({holder.getKey(key), need, std::move(what), fields});
        }
    }

    void pageTree(QPDFObjectHandle root) {
        std::vector<std::pair<QPDFObjectHandle, int>> pending{{root, 0}};
        std::set<QPDFObjGen> seen;
        while (!pending.empty() && spend()) {
            auto [node, depth] = pending.back();
            pending.pop_back();
            if (!node.isDictionary() || depth > kMaxDepth ||
                (node.isIndirect() && !seen.insert(node.getObjGen()).second)) {
                continue;
            }
            QPDFObjectHandle kids = node.getKey("/Kids");
            if (kids.isArray() && !node.getKey("/Type").isNameAndEquals("/Page")) {
                mark(node, roleOf(RoleKind::Leaf, "the page tree"));
                seedKeys(node, {"/Kids"}, [](const std::string&) {
                    return std::pair{Need::Other, std::string("the page tree")};
                });
                for (int i = kids.getArrayNItems() - 1; i >= 0; --i) {
                    pending.push_back({kids.getArrayItem(i), depth + 1});
                }
                continue;
            }
            const int number = static_cast<int>(pages_.size()) + 1;
            const std::string page = "page " + std::to_string(number);
            Role role = roleOf(RoleKind::Page, page);
            role.page = number;
            mark(node, role);
            pages_.push_back(node);
            seedKeys(node, {"/Annots"}, [&](const std::string& key) {
                const std::string what = key == "/Contents"    ? "the content of " + page
                                         : key == "/Resources" ? "the resources of " + page
                                                               : page + "'s " + key;
                return std::pair{Need::Other, what};
            });
        }
    }

    void fieldTree(QPDFObjectHandle fields) {
        mark(fields, roleOf(RoleKind::FieldsArray, "the form's field list"));
        struct Node {
            QPDFObjectHandle object;
            std::string parentName, type;
            bool parentSigned;
            int depth;
        };
        std::vector<Node> pending;
        for (int i = fields.isArray() ? fields.getArrayNItems() - 1 : -1; i >= 0; --i) {
            pending.push_back({fields.getArrayItem(i), "", "", false, 0});
        }
        std::set<QPDFObjGen> seen;
        while (!pending.empty() && spend()) {
            Node node = std::move(pending.back());
            pending.pop_back();
            QPDFObjectHandle o = node.object;
            if (!o.isDictionary() || node.depth > kMaxDepth ||
                (o.isIndirect() && !seen.insert(o.getObjGen()).second)) {
                continue;
            }
            // A kid without /T is a widget of its parent field, not a field of its own.
            const bool named = o.getKey("/T").isString();
            const std::string partial = named ? o.getKey("/T").getUTF8Value() : "";
            const std::string name = !named                    ? node.parentName
                                     : node.parentName.empty() ? partial
                                                               : node.parentName + "." + partial;
            const std::string type =
                o.getKey("/FT").isName() ? o.getKey("/FT").getName() : node.type;
            Role role = roleOf(RoleKind::Field, "");
            role.field = name;
            role.signatureField = type == "/Sig";
            role.signedField =
                named ? role.signatureField && o.getKey("/V").isDictionary() : node.parentSigned;
            role.what = (role.signatureField ? "signature field " : "field ") + name;
            if (!mark(o, role)) {
                continue;
            }
            seedField(o, role);
            QPDFObjectHandle kids = o.getKey("/Kids");
            if (kids.isIndirect()) {
                mark(kids, roleOf(RoleKind::Leaf, "the kids of " + role.what));
            }
            for (int i = kids.isArray() ? kids.getArrayNItems() - 1 : -1; i >= 0; --i) {
                pending.push_back(
                    {kids.getArrayItem(i), name, type, role.signedField, node.depth + 1});
            }
        }
    }

    void seedField(QPDFObjectHandle field, const Role& role) {
        const std::string& name = role.field;
        const Need look = !role.signatureField ? Need::FormFilling
                          : role.signedField   ? Need::Other
                                               : Need::Signing;
        seedKeys(
            field, {"/Kids", "/P"},
            [&](const std::string& key) {
                if (key == "/V") {
                    return role.signatureField
                               ? std::pair{Need::Other, "the signature in field " + name}
                               : std::pair{Need::FormFilling, "the value of field " + name};
                }
                if (key == "/AP" || key == "/MK" || key == "/AS" || key == "/DA" || key == "/DR") {
                    return std::pair{look, "the appearance of " + role.what};
                }
                if (key == "/AF") {
                    return std::pair{Need::Other, "the evidence of " + role.what};
                }
                return std::pair{Need::Other, role.what + "'s " + key};
            },
            {name});
    }

    void annotations() {
        for (std::size_t i = 0; i < pages_.size(); ++i) {
            const int number = static_cast<int>(i) + 1;
            QPDFObjectHandle annots = pages_[i].getKey("/Annots");
            Role arrayRole =
                roleOf(RoleKind::AnnotsArray, "the annotations of page " + std::to_string(number));
            arrayRole.page = number;
            if (annots.isIndirect() && !mark(annots, arrayRole)) {
                continue;
            }
            for (int k = 0; annots.isArray() && k < annots.getArrayNItems() && spend(); ++k) {
                QPDFObjectHandle annot = annots.getArrayItem(k);
                const auto known = roles_.objects.find(annot.getObjGen());
                if (!annot.isDictionary() ||
                    (known != roles_.objects.end() && known->second.kind == RoleKind::Field)) {
                    continue;
                }
                Role role = roleOf(RoleKind::Annotation, "an annotation (" +
                                                             nameOf(annot.getKey("/Subtype")) +
                                                             ") on page " + std::to_string(number));
                role.page = number;
                if (mark(annot, role)) {
                    seedKeys(annot, {"/P", "/Popup", "/IRT"}, [&](const std::string&) {
                        return std::pair{Need::Annotations, role.what};
                    });
                }
            }
        }
    }

    /// Gives every object reached from `seed` the seed's need, unless a stricter one has it,
    /// and adds the seed's fields to it; judged-by-key objects are not entered.
    void spread(const Seed& seed) {
        std::vector<QPDFObjectHandle> pending{seed.value};
        std::set<QPDFObjGen> seen;
        while (!pending.empty() && spend()) {
            QPDFObjectHandle h = pending.back();
            pending.pop_back();
            if (h.isIndirect()) {
                if (!seen.insert(h.getObjGen()).second) {
                    continue;
                }
                auto [at, fresh] = roles_.objects.try_emplace(h.getObjGen());
                Role& role = at->second;
                if (fresh) {
                    role.need = seed.need;
                    role.what = seed.what;
                    role.fields = seed.fields;
                } else if (role.kind != RoleKind::Leaf || !addFields(role, seed.fields)) {
                    continue;
                }
            }
            pushChildren(h, pending);
        }
    }

    /// Adds `fields` to a shared object's; whether any was new (then its children get them).
    static bool addFields(Role& role, const std::vector<std::string>& fields) {
        bool added = false;
        for (const std::string& f : fields) {
            if (role.fields.size() < kMaxFieldsPerObject &&
                std::find(role.fields.begin(), role.fields.end(), f) == role.fields.end()) {
                role.fields.push_back(f);
                added = true;
            }
        }
        return added;
    }

    QPDF& revision_;
    std::size_t& budget_;
    Roles roles_;
    std::vector<Seed> seeds_;
    std::vector<QPDFObjectHandle> pages_;
};

}  // namespace

Roles rolesOf(QPDF& revision, std::size_t& budget) {
    return Walker(revision, budget).run();
}

}  // namespace penwell::pdf
