#pragma once
// The default UUID generator, on libuuid's random (version 4) UUIDs.

#include <memory>

#include "penwell/platform/Uuid.h"

namespace penwell::libuuid {

std::shared_ptr<UuidGenerator> makeUuidGenerator();

}  // namespace penwell::libuuid
