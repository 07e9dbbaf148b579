#pragma once
// The API's JSON: the model as clients read it (requests, signers, documents, the audit
// trail), and a new request as clients write it, read field by field with its bounds. Times
// are milliseconds since the Unix epoch (UTC), as the webhooks carry them.

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "penwell/platform/Result.h"
#include "penwell/service/SigningService.h"

namespace penwell::web::api {

/// Signers in one request, at most.
inline constexpr std::size_t kMaxSigners = 20;
/// The integrator's metadata, at most, as compact JSON.
inline constexpr std::size_t kMaxMetadataBytes = 4096;
/// A name, reason, location, e-mail address or access code, at most, in bytes of UTF-8 (what
/// a signature dictionary takes).
inline constexpr std::size_t kMaxTextBytes = 1024;
inline constexpr std::size_t kMaxUrlBytes = 2048;

/// A request, its signers in order. `links` (one per signer, or none) are the signing links,
/// which exist only in the answer to the request's creation.
nlohmann::json requestJson(const service::Request& request,
                           const std::vector<std::string>& links = {});

/// The audit trail and whether its hash chain holds.
nlohmann::json auditJson(const std::string& requestId,
                         const std::vector<service::AuditEvent>& events);

/// A new request from its JSON body; `now` turns "expiresIn" into an expiry. Fails with the
/// JSON path of the value at fault ("signers[1].place: ...").
Result<service::RequestSpec> readRequestSpec(const std::string& body, service::TimeMs now);

}  // namespace penwell::web::api
