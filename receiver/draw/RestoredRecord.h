#pragma once
// A received record brought back into a controller, as the sender's controller held it, so the
// receiver's pictures and any evidence made from it come from the component itself. An add-on
// to the receiver (Penwell::penwell_receiver_draw): it links the controller, with its drawing
// and its certificate store, which a receiver that only opens records does without.

#include <functional>
#include <string>
#include <vector>

#include "penwell/capture/Penwell.h"
#include "penwell/platform/Defaults.h"
#include "penwell/platform/Result.h"
#include "penwell/receiver/Record.h"
#include "penwell/secure/StrokeRecord.h"

namespace penwell::receiver {

using penwell::recordOf;
using penwell::strokesOf;

struct RestoreSettings {
    double lineWidth = 3.0;
    bool smoothing = false;
    /// The folder holding the pinned certificate (for evidence made from the restored
    /// controller) and the store's file; without one, a store in memory.
    ServiceOptions services;
};

/// Restores `record` into a controller on a pad from the origin to the ink's far corner plus a
/// margin (ink left of or above the origin lies off the pad, as it did on the sender's), with
/// the default headless backends, and runs `use` on it. Fails naming `name` when the record
/// holds nothing to restore or is too large (kSignatureErrorDomain, SignatureError::corrupt);
/// what `use` throws passes through.
MaybeFailure withRestoredController(const PointRecord& record, const std::string& name,
                                    const RestoreSettings& settings,
                                    const std::function<void(PenwellViewController&)>& use);

/// The pictures of the record, drawn by a restored controller.
Result<std::vector<ExportResult>> drawRecord(const PointRecord& record, const std::string& name,
                                             const RestoreSettings& settings,
                                             const std::vector<ExportOptions>& pictures);

}  // namespace penwell::receiver
