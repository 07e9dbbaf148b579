#include "host/common/SignatureBundle.h"

#include <ctime>
#include <iterator>
#include <random>

#include "capture/Penwell.h"
#include "platform/Errors.h"
#include "platform/filesystem/StagedFile.h"
#include "secure/StrokeRecord.h"

namespace penwell::host {

namespace {

Failure bundleFailure(BundleError code, std::string message) {
    return {kBundleErrorDomain, static_cast<std::int64_t>(code), std::move(message)};
}

/// Why there is no certificate to seal with, when the component said nothing more precise.
Failure noCertificate() {
    return bundleFailure(BundleError::noCertificate,
                         "no usable Penwell.dat in the resource folder nor in the certificate "
                         "store");
}

SignatureBundle bundleOf(PenwellViewController& c, Graphics& graphics,
                         const BundleSettings& settings) {
    if (!c.isSignature()) {
        throw Refusal{bundleFailure(BundleError::noSignature, "not a signature yet: more than " +
                                                                  std::to_string(c.MinSigPoints()) +
                                                                  " samples are needed")};
    }
    SignatureBundle bundle;
    try {
        std::optional<Bytes> key;
        std::optional<Bytes> data = c.getSignatureData(&key);
        if (!data || !key) {
            const auto& failure = c.lastExportFailure();
            throw Refusal{failure ? *failure : noCertificate()};
        }
        bundle.data = std::move(*data);
        bundle.key = std::move(*key);
        // Bound to the document when one is signed; else the pad does not know what is being
        // signed, and the record is bound to no document.
        EvidenceOptions options;
        options.signer = settings.signer;
        options.recipients = settings.recipients;
        options.documentSha256 = settings.documentSha256;
        options.fields = settings.fields;
        bundle.evidence = take(c.exportEvidence(options));
        if (settings.signDocument) {
            bundle.signedDocument = take(settings.signDocument(c, bundle.evidence));
        }
    } catch (const AssertionFailure&) {
        // The host was started without the receiver's certificate.
        throw Refusal{noCertificate()};
    }
    const std::optional<Image> image = c.getSignatureImage(true);
    std::optional<Bytes> png = image ? graphics.encodePng(*image) : std::nullopt;
    if (!png) {
        throw Refusal{
            bundleFailure(BundleError::noPicture, "the signature's picture could not be made")};
    }
    bundle.png = std::move(*png);
    bundle.sigma = c.calculateSigma();
    bundle.sigma2 = c.calculateSigma2();
    bundle.samples = sampleCount(recordOf(c.lines()));
    return bundle;
}

}  // namespace

Result<SignatureBundle> exportBundle(PenwellViewController& controller, Graphics& graphics,
                                     const BundleSettings& settings) {
    return refusing([&] { return bundleOf(controller, graphics, settings); });
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
    return refusing([&] {
        const std::string name = freshSignatureName(folder);
        filesystem::StagedOutputs outputs;
        const Bytes* contents[] = {&bundle.data, &bundle.key, &bundle.png, &bundle.evidence};
        static_assert(std::size(contents) == std::size(kBundleExtensions));
        for (std::size_t i = 0; i < std::size(contents); ++i) {
            take(outputs.stage(folder / (name + kBundleExtensions[i]), *contents[i]));
        }
        if (bundle.signedDocument) {
            take(outputs.stage(folder / (name + kSignedDocumentExtension), *bundle.signedDocument));
        }
        take(outputs.commitAll());
        return name;
    });
}

}  // namespace penwell::host
