#pragma once
// The default Cms backend: OpenSSL 3's CMS. The header exposes only the factory.

#include <memory>

#include "penwell/platform/Cms.h"

namespace penwell::openssl {

/// A Cms backed by OpenSSL's default library context. Never null.
std::shared_ptr<penwell::Cms> makeCms();

}  // namespace penwell::openssl
