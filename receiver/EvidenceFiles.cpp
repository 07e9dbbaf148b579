#include "penwell/receiver/OpenEvidence.h"

#include "penwell/platform/filesystem/StagedFile.h"
#include "penwell/receiver/Limits.h"

namespace penwell::receiver {

Result<OpenedEvidence> openEvidenceFile(const std::filesystem::path& evidence,
                                        const KeyLocation& privateKey,
                                        const std::optional<Sha256>& document,
                                        const std::vector<std::filesystem::path>& trust,
                                        const std::optional<std::filesystem::path>& certificate) {
    Result<Bytes> record = filesystem::readFile(evidence, kMaxRecordBytes, "an evidence record");
    if (!record) {
        return record.error();
    }
    return openEvidenceRecord(*record, evidence.string(), privateKey, document, trust,
                              certificate);
}

Result<OpenedEvidence> openEvidenceRecord(ByteView record, const std::string& name,
                                          const KeyLocation& privateKey,
                                          const std::optional<Sha256>& document,
                                          const std::vector<std::filesystem::path>& trust,
                                          const std::optional<std::filesystem::path>& certificate) {
    OpenOptions open;
    open.name = name;
    open.keyName = privateKey.name();
    open.keyLocation = privateKey;
    open.documentSha256 = document;
    for (const auto& trusted : trust) {
        Result<Bytes> certificate = filesystem::readFile(trusted, kMaxKeyBytes, "a certificate");
        if (!certificate) {
            return certificate.error();
        }
        open.trusted.push_back(std::move(*certificate));
    }
    if (certificate) {
        Result<Bytes> own = filesystem::readFile(*certificate, kMaxKeyBytes, "a certificate");
        if (!own) {
            return own.error();
        }
        open.certificate = std::move(*own);
    }
    return openEvidence(record, open);
}

}  // namespace penwell::receiver
