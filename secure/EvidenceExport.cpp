#include <stdexcept>
#include <string>

#include "penwell/capture/Penwell.h"
#include "penwell/platform/Certificates.h"
#include "penwell/secure/AES.h"
#include "penwell/secure/Evidence.h"
#include "penwell/secure/KeyWrap.h"
#include "penwell/secure/StrokeRecord.h"

#ifndef PENWELL_VERSION
#error "PENWELL_VERSION must name the library's version"
#endif

namespace penwell {

namespace {

Failure evidenceFailure(EvidenceError code, std::string message) {
    return {kEvidenceErrorDomain, static_cast<std::int64_t>(code), std::move(message)};
}

}  // namespace

void PenwellViewController::noteStrokeKind(std::int64_t touchType) {
    // lineKinds_ may still describe strokes since removed from the end (undo, clear): cut it
    // to the strokes before this one first.
    lineKinds_.resize(_lines.size() - 1, PointerKind::unknown);
    lineKinds_.push_back(pointerKindOf(touchType));
}

Result<Bytes> PenwellViewController::exportEvidence(const EvidenceOptions& options) {
    exportFailure_.reset();
    const auto fail = [this](Failure failure) -> Result<Bytes> {
        exportFailure_ = failure;
        return failure;
    };
    if (!isSignature()) {
        return fail(evidenceFailure(EvidenceError::noSignature,
                                    "no signature to export: more than MinSigPoints = " +
                                        std::to_string(MinSigPoints()) + " samples are needed"));
    }
    if (const std::string fault = evidenceFieldsFault(options.fields); !fault.empty()) {
        return fail(evidenceFailure(EvidenceError::badOptions, fault));
    }
    if (options.recipients.size() > kMaxEvidenceRecipients) {
        // A receiver refuses to try its key on more; such a record could never be opened.
        return fail(evidenceFailure(EvidenceError::badOptions,
                                    std::to_string(options.recipients.size()) +
                                        " recipients, at most " +
                                        std::to_string(kMaxEvidenceRecipients) + " are allowed"));
    }
    if (!services_.cms) {
        throw std::invalid_argument("the evidence export needs the CMS service");
    }
    std::vector<Bytes> recipients = options.recipients;
    if (recipients.empty()) {
        if (!services_.crypto || !services_.certificates || !services_.certificateStore ||
            !services_.resources) {
            throw std::invalid_argument(
                "sealing for the pinned certificate needs the crypto, certificate, store and "
                "resource services");
        }
        Failure why;
        const auto certificate =
            pinnedCertificate(*services_.certificates, *services_.certificateStore,
                              *services_.resources, AES(services_.crypto), defaultPin(), &why);
        if (certificate == nullptr) {
            return fail(why);
        }
        recipients.push_back(certificate->derData());
    }

    _assignLineColorRBG();
    EvidencePayload payload;
    payload.record = encodedStrokes();
    payload.pointerKinds = lineKinds_;
    payload.pointerKinds.resize(_lines.size(), PointerKind::unknown);
    if (sigImage_) {
        payload.padWidth = sigImage_->frame().size.width;
        payload.padHeight = sigImage_->frame().size.height;
    }
    payload.red = red;
    payload.green = green;
    payload.blue = blue;
    payload.alpha = alpha;
    payload.lineWidth = lineWidth_;
    payload.smoothing = smoothing_;
    payload.sigma = calculateSigma();
    payload.sigma2 = calculateSigma2();
    payload.documentSha256 = options.documentSha256;
    payload.captureTime = options.captureTime.value_or(
        std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now()));
    payload.software = std::string("Penwell ") + PENWELL_VERSION;
    payload.fields = options.fields;

    Result<Bytes> der = encodeEvidencePayload(payload);
    secureWipe(payload.record);
    if (!der) {
        return fail(der.error());
    }
    Result<Bytes> sealed = services_.cms->envelope(*der, recipients);
    secureWipe(*der);
    if (!sealed) {
        return fail(sealed.error());
    }
    if (!options.signer) {
        return sealed;
    }
    Result<Bytes> signedRecord = services_.cms->sign(*sealed, *options.signer);
    if (!signedRecord) {
        return fail(signedRecord.error());
    }
    return signedRecord;
}

}  // namespace penwell
