#pragma once
// Sealing a document with a file: one incremental update that attaches the file to the
// document (an associated file of the catalog, /AFRelationship /Data, in the /EmbeddedFiles
// name tree, as PDF/A-3 attaches one) and signs the result with an invisible approval
// signature, so that the signature covers the file and every revision before it. The signing
// service seals a completed request's document with its audit trail this way; and finding
// such a file again, with what covers it, for verifying.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "penwell/pdf/PdfFailure.h"
#include "penwell/pdf/PdfSignature.h"
#include "penwell/pdf/Timestamp.h"
#include "penwell/platform/Bytes.h"

namespace penwell::pdf {

/// The largest file attached or read back.
inline constexpr std::size_t kMaxAttachedBytes = 64u << 20;

struct SealRequest {
    std::string fileName;     ///< the attachment's name, unique in the document ("x.json")
    std::string mediaType;    ///< "application/json"
    std::string description;  ///< what a reader lists beside it
    Bytes file;
    std::string reason, location, name;  ///< the signature's texts; left out when empty
    /// The signing time in /M and the file's /ModDate; now when nil.
    std::optional<std::chrono::system_clock::time_point> time;
    /// The seal's signature value time-stamped by this authority (B-T); nil: none.
    std::optional<TimestampAuthority> timestamp;
};

/// `in` followed by one update that attaches the file and seals it with an invisible signature
/// by `identity`. Refuses, naming `inName`, what signing refuses about a document (size,
/// encryption, repair), a certification or a signed field's lock that does not allow
/// annotations (a file attached to the document is judged as an annotation is: ISO 32000
/// grants attaching with neither form filling nor signing), an attachment of the same name,
/// and a file name or file out of bounds. On failure nothing is written anywhere.
Result<Bytes> sealPdf(ByteView in, const std::string& inName, const SealRequest& request,
                      const SigningIdentity& identity);

/// A file attached to a document, as the file now reads.
struct Attachment {
    Bytes bytes;
    bool associated = false;  ///< also among the catalog's associated files (/AF)
    /// Where the last object that holds it or names it (its /Filespec dictionary, its stream)
    /// starts: a signature whose revision ends after this covers the file as it reads now.
    std::uint64_t writtenAt = 0;
    /// Why its stated /Size or /CheckSum is not that of its bytes; empty when they agree.
    std::string problem;
};

/// The attachment named `fileName` in the document's /EmbeddedFiles, or nil when there is
/// none. Fails (naming `name`) when the document cannot be read, or the file is filtered or
/// over kMaxAttachedBytes.
Result<std::optional<Attachment>> findAttachment(ByteView file, const std::string& name,
                                                 const std::string& fileName);

}  // namespace penwell::pdf
