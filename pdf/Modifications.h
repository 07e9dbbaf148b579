#pragma once
// What the revisions after a signature changed, object by object, and whether the document's
// permissions allow it. Every object the later revisions wrote anew is compared with its
// version in the signed revision; a change is judged by what the object was there (Roles.h)
// and, for the catalog, pages, annotation lists, the form and its fields, key by key. New
// objects count only through the changed objects that reach them. Private to the PDF library.

#include <qpdf/QPDF.hh>

#include <cstddef>
#include <string>
#include <vector>

#include "penwell/pdf/PdfSignature.h"
#include "penwell/pdf/Permissions.h"
#include "penwell/pdf/Roles.h"

namespace penwell::pdf {

/// What may change after one signature.
struct Allowance {
    int permissions = 3;           ///< 1 no changes, 2 form filling and signing, 3 also annotations
    std::string permissionSource;  ///< "the certification", "the lock of field X"
    std::vector<FieldLock> locks;  ///< the fields this signature locked
};

struct Analysis {
    ModificationLevel level = ModificationLevel::None;
    /// "object N (what it is)" for each change not allowed, at most kMaxReported of them, with
    /// the reason when the change is of an allowed kind but beyond the permissions.
    std::vector<std::string> disallowed;
};

inline constexpr std::size_t kMaxReported = 8;

/// Compares `current` (the whole file) with `signedRevision` (the file as it was signed).
/// Spends at most `budget` steps and takes what it spends; a document too large to judge
/// within it is reported as changed beyond the permissions, never as unchanged.
Analysis analyseChanges(QPDF& signedRevision, QPDF& current, const Allowance& allowance,
                        std::size_t& budget);

}  // namespace penwell::pdf
