#pragma once
// A received record brought back into a controller, as the sender's controller held it, so the
// receiver's pictures and any evidence made from it come from the component itself.

#include <functional>
#include <string>
#include <vector>

#include "capture/Penwell.h"
#include "tools/Record.h"

namespace penwell::tools {

struct RestoreSettings {
    double lineWidth = 3.0;
    bool smoothing = false;
};

/// Restores `record` into a controller on a pad from the origin to the ink's far corner plus a
/// margin (ink left of or above the origin lies off the pad, as it did on the sender's), with
/// the tool's services (the pinned certificate of its resource folder), and runs `use` on it.
/// Throws ToolError naming `name` when the record holds nothing to restore or is too large.
void withRestoredController(const PointRecord& record, const std::string& name,
                            const RestoreSettings& settings,
                            const std::function<void(PenwellViewController&)>& use);

/// The pictures of the record, drawn by a restored controller.
std::vector<ExportResult> drawRecord(const PointRecord& record, const std::string& name,
                                     const RestoreSettings& settings,
                                     const std::vector<ExportOptions>& pictures);

}  // namespace penwell::tools
