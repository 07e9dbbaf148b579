#pragma once
// The API's handlers, one per route: each reads what its route takes, calls the signing
// service once, and answers the JSON of what it did or the refusal.

#include <string>
#include <vector>

#include "penwell/host/web/api/Api.h"

namespace penwell::web::api {

/// What a handler is given: the request, authenticated, and the ids its path named.
struct Call {
    service::SigningService& service;
    const ApiRequest& request;
    std::vector<std::string> ids;  ///< the path's "{id}" segments, in order
    std::string origin;            ///< signing links are made under it
};

/// The refusal for a service failure: its status and code, its message without the server's
/// own file names.
ApiResponse refusalOf(const Failure& failure);

ApiResponse postDocument(const Call& call);
ApiResponse postRequest(const Call& call);
ApiResponse getRequest(const Call& call);
ApiResponse listRequests(const Call& call);
ApiResponse getRequestDocument(const Call& call);
ApiResponse getAudit(const Call& call);
ApiResponse cancelRequest(const Call& call);

/// The largest page of GET /requests, and the page when none is asked for.
inline constexpr int kMaxPage = 100;
inline constexpr int kDefaultPage = 20;

}  // namespace penwell::web::api
