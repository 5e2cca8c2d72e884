// HTTP rules shared by connection- and session-style loading: redirects and authentication
// challenges (internal to lv_net).
#pragma once

#include <optional>
#include <string>

#include "platform/net/request.h"

namespace lv::net_detail {

bool isRedirect(int status);

struct ChallengeInfo {
    std::string method;
    std::optional<std::string> realm;
};

// The first Basic or Digest challenge of a WWW-Authenticate (or Proxy-Authenticate) value.
std::optional<ChallengeInfo> parseChallenge(const std::string& value);

// The request a redirect reply proposes: the Location resolved against the current URL; 301/302 turn
// POST into GET, 303 everything but HEAD (body and its headers dropped); nothing without a usable
// Location. A Location on another server (scheme, host or port) drops the Authorization,
// Proxy-Authorization and Cookie fields.
std::optional<URLRequest> redirectRequest(const URLRequest& current, const HTTPURLResponse& response);

}  // namespace lv::net_detail
