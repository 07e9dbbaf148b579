#pragma once
// What each object of a signed revision is to the document: the catalog, a page, an
// annotation, a form field, or something reached from one of them (a page's content, a
// field's appearance). A later change to an object is judged by what the object was when the
// document was signed, so an update cannot make an object look harmless by re-pointing it.
// Private to the PDF library.

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFObjGen.hh>

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace penwell::pdf {

/// What a change needs to be allowed after a signature, from least to most. Validation data
/// (a DSS, document timestamps, metadata) may be added whatever the permissions; a signature
/// and form filling need permissions 2 or more; annotations need 3; Other is never allowed.
enum class Need { Validation, Signing, FormFilling, Annotations, Other };

/// The objects whose changes are judged key by key; Leaf is every other object reached.
enum class RoleKind { Catalog, Page, AnnotsArray, Annotation, AcroForm, FieldsArray, Field, Leaf };

struct Role {
    RoleKind kind = RoleKind::Leaf;
    Need need = Need::Other;  ///< a Leaf's: what changing it needs
    std::string what;         ///< "the content of page 1"
    int page = 0;             ///< a Page's, an AnnotsArray's or an Annotation's, from 1
    std::string field;        ///< a Field's fully qualified name
    bool signatureField = false;
    bool signedField = false;         ///< a signature field that held a signature
    std::vector<std::string> fields;  ///< a Leaf's: the fields whose value or appearance it is
};

struct Roles {
    std::map<QPDFObjGen, Role> objects;
    /// False when a bound stopped the walk: the revision is then too large to judge.
    bool complete = true;
};

/// The roles of every object reachable in `revision` from its trailer. Spends at most `budget`
/// steps (an object or a direct value visited) and takes what it spends from it.
Roles rolesOf(QPDF& revision, std::size_t& budget);

}  // namespace penwell::pdf
