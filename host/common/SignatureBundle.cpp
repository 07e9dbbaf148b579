#include "penwell/host/common/SignatureBundle.h"

#include <ctime>
#include <iterator>
#include <random>

#include "penwell/capture/Penwell.h"
#include "penwell/platform/Errors.h"
#include "penwell/platform/filesystem/StagedFile.h"
#include "penwell/secure/StrokeRecord.h"

namespace penwell::host {

namespace {

Failure bundleFailure(BundleError code, const BundleSettings& settings, const std::string& what) {
    return Failure{kBundleErrorDomain, static_cast<std::int64_t>(code),
                   settings.name.empty() ? what : settings.name + ": " + what, settings.name};
}

/// Why there is no certificate to seal with, when the component said nothing more precise.
Failure noCertificate(const BundleSettings& settings) {
    if (settings.resources) {
        return Failure::at(kBundleErrorDomain, static_cast<std::int64_t>(BundleError::noCertificate),
                           settings.resources->string(),
                           "no Penwell.dat there and none in the certificate store (give the "
                           "folder with --resources)");
    }
    return bundleFailure(BundleError::noCertificate, settings,
                         "no usable Penwell.dat in the resource folder nor in the certificate "
                         "store");
}

/// The record and its wrapped key. The controller throws AssertionFailure when it has no
/// certificate at all (none in the store, no Penwell.dat): a host cannot know that before it
/// asks, as the certificate may be in a store another process fills, so it is caught here, at
/// the call, and nowhere else.
MaybeFailure takeRecord(PenwellViewController& c, const BundleSettings& settings,
                        SignatureBundle& bundle) {
    std::optional<Bytes> key;
    std::optional<Bytes> data;
    try {
        data = c.getSignatureData(&key);
    } catch (const AssertionFailure&) {
        return noCertificate(settings);
    }
    if (!data || !key) {
        const auto& failure = c.lastExportFailure();
        return failure ? *failure : noCertificate(settings);
    }
    bundle.data = std::move(*data);
    bundle.key = std::move(*key);
    return std::nullopt;
}

/// The evidence and, with a document, the signed document. Bound to the document when one is
/// signed; else the pad does not know what is being signed, and the record is bound to no
/// document.
MaybeFailure takeEvidence(PenwellViewController& c, const BundleSettings& settings,
                          SignatureBundle& bundle) {
    EvidenceOptions options;
    options.signer = settings.signer;
    options.recipients = settings.recipients;
    options.documentSha256 = settings.documentSha256;
    options.fields = settings.fields;
    Result<Bytes> evidence = Failure{};
    try {  // as takeRecord: without recipients the evidence is sealed for the pinned certificate
        evidence = c.exportEvidence(options);
    } catch (const AssertionFailure&) {
        return noCertificate(settings);
    }
    if (!evidence) {
        return evidence.error();
    }
    bundle.evidence = std::move(*evidence);
    if (settings.signDocument) {
        Result<Bytes> signedDocument = settings.signDocument(c, bundle.evidence);
        if (!signedDocument) {
            return signedDocument.error();
        }
        bundle.signedDocument = std::move(*signedDocument);
    }
    return std::nullopt;
}

/// The pictures: Images for a host that writes them itself, the PNG, and exportSignature's.
MaybeFailure takePictures(PenwellViewController& c, Graphics& graphics,
                          const BundleSettings& settings, SignatureBundle& bundle) {
    const Failure tooLarge = bundleFailure(
        BundleError::tooLarge, settings,
        "the export could not be made: the pad is too large for a bitmap or a document at this "
        "scale");
    if (settings.image && !(bundle.image = c.getSignatureImage(false))) {
        return tooLarge;
    }
    if (settings.cropped && !(bundle.cropped = c.getSignatureImage(true))) {
        return tooLarge;
    }
    for (const ExportOptions& file : settings.files) {
        std::optional<ExportResult> result = c.exportSignature(file);
        if (!result) {
            return tooLarge;
        }
        bundle.files.push_back(std::move(*result));
    }
    if (settings.picture) {
        const std::optional<Image> image =
            bundle.cropped ? bundle.cropped : c.getSignatureImage(true);
        std::optional<Bytes> png = image ? graphics.encodePng(*image) : std::nullopt;
        if (!png) {
            return bundleFailure(BundleError::noPicture, settings,
                                 "the signature's picture could not be made");
        }
        bundle.png = std::move(*png);
    }
    return std::nullopt;
}

}  // namespace

Result<SignatureBundle> exportBundle(PenwellViewController& c, Graphics& graphics,
                                     const BundleSettings& settings) {
    // Counted once, from the strokes: what the record holds and what a refusal reports.
    const PointRecord strokes = recordOf(c.lines());
    if (!c.isSignature()) {
        return bundleFailure(BundleError::noSignature, settings,
                             "not a signature yet: " + std::to_string(strokes.size()) +
                                 " strokes with " + std::to_string(sampleCount(strokes)) +
                                 " samples, and more than MinSigPoints = " +
                                 std::to_string(c.MinSigPoints()) + " are needed");
    }
    SignatureBundle bundle;
    // The record and the evidence carry the same point stream: encoded once, here.
    std::optional<PenwellViewController::SharedEncoding> encoding;
    if (settings.record && settings.evidence) {
        encoding.emplace(c);
    }
    if (settings.record) {
        if (MaybeFailure failed = takeRecord(c, settings, bundle)) {
            return *failed;
        }
    }
    if (settings.evidence) {
        if (MaybeFailure failed = takeEvidence(c, settings, bundle)) {
            return *failed;
        }
    }
    if (MaybeFailure failed = takePictures(c, graphics, settings, bundle)) {
        return *failed;
    }
    bundle.sigma = c.calculateSigma();
    bundle.sigma2 = c.calculateSigma2();
    bundle.samples = sampleCount(strokes);
    return bundle;
}

std::string freshSignatureName(const std::filesystem::path& folder) {
    std::random_device random;
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &utc);
    for (;;) {
        char name[64];
        std::snprintf(name, sizeof name, "signature-%s-%08x", stamp, random());
        bool taken = false;
        for (const char* ext : kBundleExtensions) {
            taken = taken || std::filesystem::exists(folder / (std::string(name) + ext));
        }
        taken = taken ||
                std::filesystem::exists(folder / (std::string(name) + kSignedDocumentExtension));
        if (!taken) {
            return name;
        }
    }
}

Result<std::string> writeBundle(const SignatureBundle& bundle,
                                const std::filesystem::path& folder) {
    const std::string name = freshSignatureName(folder);
    filesystem::StagedOutputs outputs;
    const Bytes* contents[] = {&bundle.data, &bundle.key, &bundle.png, &bundle.evidence};
    static_assert(std::size(contents) == std::size(kBundleExtensions));
    for (std::size_t i = 0; i < std::size(contents); ++i) {
        if (MaybeFailure failed = outputs.stage(folder / (name + kBundleExtensions[i]), *contents[i])) {
            return *failed;
        }
    }
    if (bundle.signedDocument) {
        if (MaybeFailure failed =
                outputs.stage(folder / (name + kSignedDocumentExtension), *bundle.signedDocument)) {
            return *failed;
        }
    }
    if (MaybeFailure failed = outputs.commitAll()) {
        return *failed;
    }
    return name;
}

}  // namespace penwell::host
