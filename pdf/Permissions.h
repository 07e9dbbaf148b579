#pragma once
// What a document's signatures allow after them: the certification (DocMDP: /Perms names a
// signature whose /Reference carries the DocMDP transform with its /P) and field locks
// (FieldMDP: a signature field's /Lock, recorded in its signature's /Reference). Private to the
// PDF library; signing writes them, and refuses what they forbid, and verification honours them.

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFObjectHandle.hh>

#include <optional>
#include <string>
#include <vector>

namespace penwell::pdf {

/// The fields a FieldMDP lock covers: all of them, the ones named, or all but the ones named.
/// A name covers the field itself and every field under it ("Parent" covers "Parent.Child").
struct FieldLock {
    enum class Action { All, Include, Exclude };
    Action action = Action::All;
    std::vector<std::string> fields;
    /// ISO 32000-2 lets a lock also narrow the document's permissions (1 to 3); nil: it does not.
    std::optional<int> permissions;

    bool covers(const std::string& field) const;
    /// "all fields", "fields A, B", "all fields but A".
    std::string describe() const;
    /// The lock as a /TransformParams dictionary of a FieldMDP /Reference.
    QPDFObjectHandle transformParams() const;
};

/// The lock stated by a signature field's /Lock dictionary or a FieldMDP transform's
/// parameters; nil when `dictionary` is none or names no known action.
std::optional<FieldLock> lockFrom(QPDFObjectHandle dictionary);

/// What one signature dictionary's /Reference says.
struct SignatureTransforms {
    std::optional<int> docMdp;     ///< the DocMDP transform's /P (2 when it gives none)
    std::vector<FieldLock> locks;  ///< every FieldMDP transform
};
SignatureTransforms transformsOf(QPDFObjectHandle signature);

/// The document's certification: the signature dictionary /Perms /DocMDP names, when it
/// carries a DocMDP transform, and that transform's /P.
struct Certification {
    QPDFObjGen signature;
    int permissions = 2;
};
std::optional<Certification> certificationOf(QPDF& document);

/// A signed signature field that locks others, by its fully qualified name.
struct SignedLock {
    std::string field;
    FieldLock lock;
};
/// The locks of every signed signature field of `document` (from its signature's /Reference,
/// else the field's /Lock), at most `limit` fields looked at.
std::vector<SignedLock> signedLocks(QPDF& document, std::size_t limit = 4096);

/// "no changes", "form filling and signing", "form filling, signing and annotations".
std::string describePermissions(int permissions);

}  // namespace penwell::pdf
