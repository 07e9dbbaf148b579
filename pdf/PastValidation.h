#pragma once
// Judging signatures as of a given time from what the file itself carries, on OpenSSL: each
// chain at the earliest time the file proves it was used (a signature's time-stamp, else the
// first document time-stamp over it, else the validation time), each certificate's revocation
// from the /DSS. This is what keeps a B-LTA file verifiable after its signer's certificate
// expired or its CA's responders went away. Private to the PDF library.

#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "penwell/platform/Bytes.h"

namespace penwell::pdf {

/// An item of the /DSS, and where its object is written: a document time-stamp over that
/// offset proves the item existed at the stamp's time.
struct StoredItem {
    Bytes der;
    std::uint64_t offset = 0;
};

/// The validation data a file carries.
struct StoredValidationData {
    std::vector<StoredItem> certificates, ocsp, crls;
    /// Why a /VRI entry is not what the /DSS holds, by its key (the upper-case hex SHA-1 of
    /// the signature's /Contents).
    std::map<std::string, std::string> vriProblems;
};

/// A signature or a document time-stamp of the file, as the long-term judgement needs it.
struct PastSubject {
    Bytes contents;                    ///< the CMS SignedData, or a document time-stamp's token
    std::uint64_t contentsOffset = 0;  ///< where its /Contents starts in the file
    std::uint64_t signedBytes = 0;     ///< the end of the revision it covers
    bool documentTimestamp = false;
    bool intact = false;  ///< its digest, signature and any token check out
};

struct PastVerdict {
    bool trusted = false;
    std::string problem;   ///< why not, one line
    std::string judgedAt;  ///< the time its chain was judged at, "YYYY-MM-DD HH:MM:SSZ"
};

/// One verdict per subject, as of `at` (seconds since the epoch), with `trust` (files of
/// certificates) as the anchors. Document time-stamps are judged newest first, each at the
/// time of the next one over it; the newest at `at`. Every certificate below an anchor needs
/// revocation data in `stored` that was current at, or issued after, the time the
/// certificate was used, except the newest document time-stamp's, which nothing in the file
/// can postdate (renewing it before it expires is what keeps the file verifiable).
std::vector<PastVerdict> validateAsOf(const std::vector<PastSubject>& subjects,
                                      const StoredValidationData& stored,
                                      const std::vector<Bytes>& trust, std::time_t at);

}  // namespace penwell::pdf
