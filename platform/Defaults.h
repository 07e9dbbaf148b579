#pragma once
// The default backends wired together: Cairo graphics, the headless user-interface host,
// OpenSSL crypto and certificates, the SQLite certificate store, a resource folder and libuuid.

#include <filesystem>
#include <optional>

#include "penwell/platform/Services.h"
#include "penwell/platform/headless/Headless.h"

namespace penwell {

struct ServiceOptions {
    /// The certificate store's file. Default: $XDG_DATA_HOME/penwell/certificates.sqlite, else
    /// $HOME/.local/share/penwell/certificates.sqlite. It is read at the first data export and
    /// written only when that export installs the certificate, so a pad that never exports
    /// data never creates it. Why a store call failed: certificateStore->lastFailure().
    std::optional<std::filesystem::path> certificateStore;
    /// Without certificateStore: a store in memory, gone with the services, instead of the
    /// user's. For programs that must never install a certificate in the user's store unasked
    /// (a tool, a server for the public, a receiver restoring a record).
    bool memoryStore = false;
    /// The folder that holds Penwell.dat. Default: $PENWELL_RESOURCES, else the installed
    /// <prefix>/share/penwell.
    std::optional<std::filesystem::path> resources;
};

/// Services for a headless host: the host's application, device and run loop, and the
/// default backends for everything else.
Services headlessServices(const headless::HeadlessHost& host, const ServiceOptions& options = {});

/// What a person sees of an image view: its background colour with its image on top.
Image renderView(Graphics& graphics, const ImageView& view);

}  // namespace penwell
