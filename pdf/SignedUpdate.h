#pragma once
// What every signature Penwell appends shares, whatever the update holds besides: the input
// opened for an update, the new field put into the form, and the update written after the
// input's bytes with its signature dictionary, then signed over its byte range. Signing with
// ink (Sign.cpp), sealing with an attached file (Seal.cpp) and document time-stamps
// (DocumentTimestamp.cpp) make their objects and hand them here; validation data (LongTerm.cpp)
// is an update with no signature. Private to the PDF library.

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFObjectHandle.hh>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "penwell/pdf/PdfSignature.h"
#include "penwell/pdf/Revisions.h"
#include "penwell/pdf/Timestamp.h"
#include "penwell/pdf/Update.h"

namespace penwell::pdf {

namespace cms {
struct ReadSigners;
class PrefixHash;
}

/// The input opened for an incremental update: parsed, and ending with a cross-reference
/// section (whose kind the update keeps) and %%EOF.
struct UpdateBase {
    std::shared_ptr<QPDF> qpdf;
    std::uint64_t startXref = 0;
    XrefSection lastSection;
    long long size = 0;   ///< the trailer's /Size
    long long first = 1;  ///< the number of the update's first new object
    /// The hash of the file's first bytes so far, which each signed update extends over itself
    /// for the next one; nil: each hashes its whole byte range.
    std::shared_ptr<cms::PrefixHash> hashed;
};

/// Opens `in` (which must outlive the result) for an update. Refuses, naming `inName`, what
/// openDocument() refuses, a file that does not end with a cross-reference section and %%EOF,
/// and object numbers beyond 8388608.
Result<UpdateBase> openForUpdate(ByteView in, const std::string& inName);

/// Puts a new signature field into the document's form (made when there is none), and sets
/// the form's /SigFlags to SignaturesExist | AppendOnly when they are not; every object this
/// rewrites goes into `changed`. `newField` false: the field is in the form already.
void enterSignatureField(QPDF& qpdf, NewObjects& objects, QPDFObjectHandle field, bool newField,
                         std::set<QPDFObjGen>& changed);

/// A new invisible signature field on `page` holding `value` (no area; Print | Locked, since
/// PDF/A refuses hidden annotations and an editor must not move it), named after `stem`, put
/// on the page and into the form; every new object of `objects` then goes into `changed`, so
/// call it after the last one is made. Answers the field (its widget), for an /AP.
QPDFObjectHandle addInvisibleField(QPDF& qpdf, NewObjects& objects, QPDFObjectHandle page,
                                   QPDFObjectHandle value, const std::string& stem,
                                   std::set<QPDFObjGen>& changed);

/// An update's text: each object's whole "N G obj ... endobj" text in order of number, then a
/// cross-reference section of the kind `base` ends with and its trailer, chained to the
/// input's last section. `stamp` (the update's time) makes its second identifier new.
struct UpdateText {
    std::string body;                      ///< to go right after `in`
    std::map<QPDFObjGen, std::size_t> at;  ///< where each object starts in body
    std::uint64_t xrefAt = 0;              ///< where its cross-reference section starts in the file
    long long size = 0;                    ///< the /Size it writes
};
UpdateText updateText(QPDF& qpdf, ByteView in, const UpdateBase& base,
                      const std::map<QPDFObjGen, std::string>& objects, const std::string& stamp);

/// The base for a further update after `text`, which was written after `base`'s input with
/// new objects numbered below `end`: the same qpdf, which already holds every object the
/// update changed or made, so the file is not parsed again.
UpdateBase chainedBase(const UpdateBase& base, const UpdateText& text, int end);

/// What the signature dictionary says besides its byte range and its CMS.
struct SignatureEntries {
    std::chrono::system_clock::time_point time;  ///< /M; the update's second identifier
    std::string reason, location, name;          ///< left out when empty
    std::optional<QPDFObjectHandle> reference;   ///< /Reference: DocMDP, FieldMDP transforms
    /// A document time-stamp: /Type /DocTimeStamp, /SubFilter /ETSI.RFC3161, and none of the
    /// entries above.
    bool documentTimestamp = false;
};

/// What fills /Contents once the byte range's digest is known. Its size is known only then
/// (a time-stamp token's varies), so the room is a first guess: when what make() answers is
/// larger, the update is written once more with room for it, and what does not fit then
/// fails with tooLarge().
struct ContentsSource {
    std::size_t room = 0;  ///< bytes
    std::function<Result<Bytes>(const Sha256& digest)> make;
    std::function<Failure()> tooLarge;
    /// The certificates of what make() last made, as it read them; nil when it tells none.
    std::shared_ptr<cms::ReadSigners> read;
};

/// A CAdES signature by `identity`, its value time-stamped by `tsa` when there is one (B-T).
Result<ContentsSource> cadesContents(const SigningIdentity& identity,
                                     const std::optional<TimestampAuthority>& tsa);

/// `in` followed by the update: each object of `changed` (in qpdf's model of `in` or a scratch
/// object of `objects`), the signature dictionary at `signature` written with `entries` and
/// room for its contents, a cross-reference section of the kind `base` ends with and its
/// trailer; then the byte range filled in and `contents` made from its digest into /Contents.
/// On failure nothing is written anywhere; messages name `inName`.
///
/// `after`, when given, appends further updates to the same copy before it is answered (the
/// long-term validation data), on `next`, the base chained after the signature's update, with
/// the signature's certificates as `contents.read` holds them (it must then be set): qpdf's
/// model of the new signature dictionary is empty, its text being written here. The file is
/// then read and copied once for all of them.
using AfterSignature = std::function<MaybeFailure(Bytes& file, const UpdateBase& next,
                                                  const cms::ReadSigners& signature)>;
Result<Bytes> writeSignedUpdate(ByteView in, const std::string& inName, const UpdateBase& base,
                                const NewObjects& objects, const std::set<QPDFObjGen>& changed,
                                QPDFObjGen signature, const SignatureEntries& entries,
                                const ContentsSource& contents, const AfterSignature& after = {});

/// signPdf() and sealPdf() with `after` run as writeSignedUpdate() runs it.
Result<Bytes> signPdfThen(ByteView in, const std::string& inName, const SignRequest& request,
                          const SigningIdentity& identity, const AfterSignature& after);
struct SealRequest;
Result<Bytes> sealPdfThen(ByteView in, const std::string& inName, const SealRequest& request,
                          const SigningIdentity& identity, const AfterSignature& after);

/// As writeSignedUpdate(), onto `file`, which holds the input `base` was opened on (and any
/// update appended since, `base` chained after it) and grows by the update; on failure `file`
/// is as it was. Answers the update's text, for chainedBase().
Result<UpdateText> appendSignedUpdate(Bytes& file, const std::string& inName,
                                      const UpdateBase& base, const NewObjects& objects,
                                      const std::set<QPDFObjGen>& changed, QPDFObjGen signature,
                                      const SignatureEntries& entries,
                                      const ContentsSource& contents);

/// A document time-stamp from `tsa` appended to `file` as appendSignedUpdate() appends, in a
/// new invisible field on the first page (what addDocumentTimestamp() writes).
Result<UpdateText> appendDocumentTimestamp(Bytes& file, const std::string& inName,
                                           const UpdateBase& base, const TimestampAuthority& tsa);

}  // namespace penwell::pdf
