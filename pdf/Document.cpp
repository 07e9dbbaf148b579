#include "penwell/pdf/Document.h"

#include <qpdf/Pipeline.hh>
#include <qpdf/QPDFExc.hh>

#include <stdexcept>
#include <string_view>

#include "penwell/pdf/PdfSignature.h"

namespace penwell::pdf {

namespace {

/// Collects a stream's decoded bytes, stopping the decoding past a limit.
class BoundedData : public Pipeline {
public:
    explicit BoundedData(std::size_t limit) : Pipeline("bounded data", nullptr), limit_(limit) {}
    void write(unsigned char const* data, size_t length) override {
        if (length > limit_ - bytes.size()) {
            throw std::length_error("stream data over its limit");
        }
        bytes.append(reinterpret_cast<const char*>(data), length);
    }
    void finish() override {}
    std::string bytes;

private:
    std::size_t limit_;
};

}  // namespace

std::optional<std::string> boundedStreamData(QPDFObjectHandle stream, std::size_t limit) {
    if (!stream.isStream()) {
        return std::nullopt;
    }
    BoundedData data(limit);
    try {
        if (!stream.pipeStreamData(&data, 0, qpdf_dl_generalized, true)) {
            return std::nullopt;
        }
    } catch (const std::exception&) {
        return std::nullopt;  // over the limit, or qpdf could not decode it
    }
    return std::move(data.bytes);
}

Failure needsRepair(const std::string& name, const std::string& what) {
    return fail(PdfErrorKind::NeedsRepair, name,
                "damaged (" + what + "); rewrite it first, e.g. `qpdf " + name +
                    " fixed.pdf`, and sign that");
}

Result<std::shared_ptr<QPDF>> openDocument(ByteView bytes, const std::string& name) {
    if (bytes.size() > kMaxDocumentBytes) {
        return fail(PdfErrorKind::TooLarge, name,
                    std::to_string(bytes.size()) + " bytes, over the " +
                        std::to_string(kMaxDocumentBytes >> 20) + " MiB a document may have");
    }
    const std::string_view head(reinterpret_cast<const char*>(bytes.data()),
                                std::min<std::size_t>(bytes.size(), 1024));
    if (head.find("%PDF-") == std::string_view::npos) {
        return fail(PdfErrorKind::Unreadable, name, "not a PDF file (no %PDF- header)");
    }
    auto qpdf = std::make_shared<QPDF>();
    qpdf->setSuppressWarnings(true);
    // A repaired reading is qpdf's guess at the file, not the file: what would be signed or
    // checked is not what other readers see.
    qpdf->setAttemptRecovery(false);
    try {
        qpdf->processMemoryFile(name.c_str(), reinterpret_cast<const char*>(bytes.data()),
                                bytes.size());
    } catch (const QPDFExc& e) {
        if (e.getErrorCode() == qpdf_e_password) {
            return fail(PdfErrorKind::Encrypted, name,
                        "encrypted; decrypt it first (`qpdf --decrypt`)");
        }
        return needsRepair(name, e.getMessageDetail());
    } catch (const std::exception& e) {
        return needsRepair(name, e.what());
    }
    if (qpdf->isEncrypted()) {
        return fail(PdfErrorKind::Encrypted, name,
                    "encrypted; decrypt it first (`qpdf --decrypt`)");
    }
    if (qpdf->anyWarnings()) {
        return needsRepair(name, "qpdf warns while reading it");
    }
    return qpdf;
}

}  // namespace penwell::pdf
