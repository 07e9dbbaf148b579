#pragma once
// The default backends wired together: Cairo graphics and the headless user-interface host.

#include "platform/Services.h"
#include "platform/headless/Headless.h"

namespace penwell {

/// Services for a headless host: Cairo graphics and the host's application, device and run
/// loop.
Services headlessServices(const headless::HeadlessHost& host);

/// What a person sees of an image view: its background colour with its image on top.
Image renderView(Graphics& graphics, const ImageView& view);

}  // namespace penwell
