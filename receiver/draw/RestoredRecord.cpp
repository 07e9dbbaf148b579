#include "penwell/receiver/draw/RestoredRecord.h"

#include <algorithm>
#include <memory>

#include "penwell/platform/Defaults.h"
#include "penwell/receiver/OpenSignature.h"

namespace penwell::receiver {

namespace {

/// Margin beyond the ink's far corner on the receiver's pad: the crop's margin, so a cropped
/// picture is never cut short by the pad's edge.
constexpr double kPadMargin = 20.0;
constexpr double kMaxPadSide = 8192.0;

}  // namespace

MaybeFailure withRestoredController(const PointRecord& record, const std::string& name,
                                    const RestoreSettings& settings,
                                    const std::function<void(PenwellViewController&)>& use) {
    if (sampleCount(record) == 0) {
        return signatureFailure(SignatureError::corrupt,
                                name + ": nothing to draw: the record holds no samples");
    }
    double maxX = 0.0, maxY = 0.0;
    for (const RecordStroke& stroke : record) {
        for (const RecordSample& s : stroke) {
            maxX = std::max<double>(maxX, signedField(s.x));
            maxY = std::max<double>(maxY, signedField(s.y));
        }
    }
    const Size size{maxX + kPadMargin, maxY + kPadMargin};
    if (size.width > kMaxPadSide || size.height > kMaxPadSide) {
        return signatureFailure(SignatureError::corrupt,
                                name + ": the ink spans " +
                                    std::to_string(static_cast<long>(size.width)) + " x " +
                                    std::to_string(static_cast<long>(size.height)) +
                                    " points, too large to draw (at most 8192 on a side)");
    }
    headless::HeadlessHost host;
    ServiceOptions services = settings.services;
    services.memoryStore = true;
    PenwellViewController controller(headlessServices(host, services));
    controller.setSigImage(std::make_shared<ImageView>(Rect{{0.0, 0.0}, size}));
    controller.setMinSigPoints(0);  // whatever the sender required, a record is shown whole
    controller.setLineWidth(static_cast<float>(settings.lineWidth));
    controller.setSmoothing(settings.smoothing);
    if (!controller.restoreSignature(strokesOf(record))) {
        // integers: never
        return signatureFailure(SignatureError::corrupt,
                                name + ": the record's samples cannot be restored");
    }
    use(controller);
    return {};
}

Result<std::vector<ExportResult>> drawRecord(const PointRecord& record, const std::string& name,
                                             const RestoreSettings& settings,
                                             const std::vector<ExportOptions>& pictures) {
    std::vector<ExportResult> results;
    std::optional<Failure> pictureFailed;
    MaybeFailure restored =
        withRestoredController(record, name, settings, [&](PenwellViewController& c) {
            for (const ExportOptions& picture : pictures) {
                std::optional<ExportResult> result = c.exportSignature(picture);
                if (!result) {
                    pictureFailed = signatureFailure(SignatureError::corrupt,
                                                     name + ": the picture could not be made");
                    return;
                }
                results.push_back(std::move(*result));
            }
        });
    if (restored) {
        return *restored;
    }
    if (pictureFailed) {
        return *pictureFailed;
    }
    return results;
}

}  // namespace penwell::receiver
