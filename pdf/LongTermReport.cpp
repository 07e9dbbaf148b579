#include "penwell/pdf/LongTermReport.h"

#include <qpdf/QPDFObjectHandle.hh>

#include <algorithm>
#include <cctype>
#include <set>

#include "penwell/pdf/Document.h"
#include "penwell/pdf/Timestamp.h"
#include "penwell/pdf/Values.h"

namespace penwell::pdf {

namespace {

/// The largest item of a /DSS read: a large CA's CRL runs to a few MiB.
constexpr std::size_t kMaxValidationItemBytes = 16u << 20;

/// The most items of each /DSS array and /VRI entries read: a document's signatures need a
/// few dozen, and each renewal adds a few.
constexpr int kMaxValidationItems = 1024;

/// Each signature's level: B-T with a valid token, B-LT when the file also keeps validation
/// data (a /DSS with revocation data), B-LTA when a valid document time-stamp covers more.
void assignLevels(std::vector<SignatureReport>& reports, QPDF& qpdf) {
    QPDFObjectHandle dss = qpdf.getRoot().getKey("/DSS");
    const auto entries = [&](const char* key) {
        return dss.isDictionary() && dss.getKey(key).isArray() ? dss.getKey(key).getArrayNItems()
                                                               : 0;
    };
    const bool validationData = entries("/OCSPs") + entries("/CRLs") > 0;
    for (SignatureReport& report : reports) {
        if (report.documentTimestamp || !report.signatureValid) {
            continue;
        }
        report.level = report.timestampTime.empty() ? "B-B" : "B-T";
        if (report.level == "B-T" && validationData) {
            report.level = "B-LT";
            for (const SignatureReport& stamp : reports) {
                if (stamp.documentTimestamp && stamp.signatureValid &&
                    stamp.signedBytes > report.signedBytes) {
                    report.level = "B-LTA";
                }
            }
        }
    }
}

/// Each item of the /DSS array `key`: its bytes and where its object is written.
std::vector<StoredItem> itemsOf(QPDFObjectHandle dss, const char* key,
                                const std::map<QPDFObjGen, QPDFXRefEntry>& xref) {
    std::vector<StoredItem> out;
    QPDFObjectHandle array = keyOf(dss, key);
    for (int i = 0; array.isArray() && i < std::min(array.getArrayNItems(), kMaxValidationItems);
         ++i) {
        QPDFObjectHandle item = array.getArrayItem(i);
        const std::optional<std::string> data = boundedStreamData(item, kMaxValidationItemBytes);
        const std::optional<std::uint64_t> offset =
            item.isIndirect() ? offsetOf(xref, item.getObjGen()) : std::nullopt;
        if (data && offset) {
            out.push_back({Bytes(data->begin(), data->end()), *offset});
        }
    }
    return out;
}

/// What the /VRI entry `entry` holds that `items` (of the /DSS) do not, as "a certificate",
/// "an OCSP answer" or "a CRL"; empty when nothing.
std::string strayIn(QPDFObjectHandle entry, const char* key, const std::vector<StoredItem>& items,
                    const char* what) {
    QPDFObjectHandle array = keyOf(entry, key);
    if (array.isNull()) {
        return {};
    }
    if (!array.isArray()) {
        return std::string(key) + " that is no array";
    }
    // By digest: the items are compared whole, and a set of digests stays small.
    std::set<Sha256> held;
    for (const StoredItem& item : items) {
        held.insert(cms::sha256({item.der}));
    }
    for (int i = 0; i < std::min(array.getArrayNItems(), kMaxValidationItems); ++i) {
        const std::optional<std::string> data =
            boundedStreamData(array.getArrayItem(i), kMaxValidationItemBytes);
        if (!data || held.count(cms::sha256({asBytes(*data)})) == 0) {
            return what;
        }
    }
    return {};
}

}  // namespace

cms::CmsCheck checkSignature(SignatureReport& report, const std::string& contents,
                             const std::vector<ByteView>& parts, const std::vector<Bytes>& trust) {
    cms::CmsCheck check = cms::verifyDetached(asBytes(contents), parts, trust);
    if (!check.valid) {
        return check;
    }
    if (const std::optional<SignatureTimestamp> stamp = signatureTimestampOf(asBytes(contents))) {
        const Sha256 imprint = cms::sha256({stamp->signatureValue});
        const TokenCheck token = checkTimestampToken(stamp->token, imprint, trust);
        report.timestampTime = token.time;
        if (!token.valid) {
            check.valid = false;
            check.problem = "its time-stamp token: " + token.problem;
        } else if (token.trusted == false) {
            check.trusted = false;
            check.problem = "its time-stamp token: " + token.problem;
        }
    }
    return check;
}

cms::CmsCheck checkDocumentTimestamp(SignatureReport& report, const std::string& contents,
                                     const std::vector<ByteView>& parts,
                                     const std::vector<Bytes>& trust) {
    const Sha256 imprint = cms::sha256(parts);
    const TokenCheck token = checkTimestampToken(asBytes(contents), imprint, trust);
    report.timestampTime = token.time;
    cms::CmsCheck check;
    check.valid = token.valid;
    check.problem = token.problem;
    check.signer = token.tsa;
    check.trusted = token.valid ? token.trusted : std::nullopt;
    return check;
}

StoredValidationData storedValidationData(QPDF& qpdf,
                                          const std::map<QPDFObjGen, QPDFXRefEntry>& xref) {
    StoredValidationData out;
    QPDFObjectHandle dss = keyOf(qpdf.getRoot(), "/DSS");
    out.certificates = itemsOf(dss, "/Certs", xref);
    out.ocsp = itemsOf(dss, "/OCSPs", xref);
    out.crls = itemsOf(dss, "/CRLs", xref);
    QPDFObjectHandle vri = keyOf(dss, "/VRI");
    if (!vri.isDictionary()) {
        return out;
    }
    int read = 0;
    for (const std::string& key : vri.getKeys()) {
        if (++read > kMaxValidationItems) {
            break;
        }
        QPDFObjectHandle entry = vri.getKey(key);
        std::string stray = strayIn(entry, "/Cert", out.certificates, "a certificate");
        if (stray.empty()) {
            stray = strayIn(entry, "/OCSP", out.ocsp, "an OCSP answer");
        }
        if (stray.empty()) {
            stray = strayIn(entry, "/CRL", out.crls, "a CRL");
        }
        if (!stray.empty()) {
            std::string name = key.substr(1);
            for (char& c : name) {
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            }
            out.vriProblems[name] = "its /VRI entry holds " + stray + " the /DSS does not";
        }
    }
    return out;
}

void judgeOverTime(std::vector<SignatureReport>& reports, const std::vector<PastSubject>& subjects,
                   QPDF& qpdf, const std::map<QPDFObjGen, QPDFXRefEntry>& xref,
                   const VerifyOptions& options) {
    assignLevels(reports, qpdf);
    if (!options.at) {
        return;
    }
    const std::vector<PastVerdict> verdicts =
        validateAsOf(subjects, storedValidationData(qpdf, xref), options.trust,
                     static_cast<std::time_t>(*options.at));
    for (std::size_t i = 0; i < reports.size() && i < verdicts.size(); ++i) {
        SignatureReport& report = reports[i];
        report.trusted = verdicts[i].trusted;
        report.judgedAt = verdicts[i].judgedAt;
        if (!verdicts[i].problem.empty()) {
            report.signatureProblem = verdicts[i].problem;
        }
    }
}

}  // namespace penwell::pdf
