// Redirect and challenge rules.
#include "platform/net/detail/http_rules.h"

#include <cctype>

#include "platform/net/auth.h"

namespace lv::net_detail {

bool isRedirect(int status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

std::optional<ChallengeInfo> parseChallenge(const std::string& value) {
    std::string lower = value;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::optional<ChallengeInfo> info;
    std::size_t at = std::string::npos;
    if (const auto digest = lower.find("digest"); digest != std::string::npos) {
        info = ChallengeInfo{std::string(kAuthenticationMethodHTTPDigest), std::nullopt};
        at = digest;
    }
    if (const auto basic = lower.find("basic"); basic != std::string::npos && basic < at) {
        info = ChallengeInfo{std::string(kAuthenticationMethodHTTPBasic), std::nullopt};
        at = basic;
    }
    if (!info) return std::nullopt;
    if (const auto realm = lower.find("realm=", at); realm != std::string::npos) {
        std::size_t start = realm + 6;
        std::size_t end;
        if (start < value.size() && value[start] == '"') {
            ++start;
            end = value.find('"', start);
        } else {
            end = value.find_first_of(", ", start);
        }
        info->realm = value.substr(start, end == std::string::npos ? std::string::npos : end - start);
    }
    return info;
}

namespace {

std::string lowered(std::optional<std::string> text) {
    std::string out = text.value_or("");
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// Whether two URLs name the same server: scheme, host and port alike.
bool sameOrigin(const URL& a, const URL& b) {
    return lowered(a.scheme()) == lowered(b.scheme()) && lowered(a.host()) == lowered(b.host()) &&
           a.effectivePort() == b.effectivePort();
}

}  // namespace

std::optional<URLRequest> redirectRequest(const URLRequest& current, const HTTPURLResponse& response) {
    const auto location = response.valueForHTTPHeaderField("Location");
    if (!location) return std::nullopt;
    const auto target = URL::URLWithString(*location, current.URL());
    if (!target) return std::nullopt;
    URLRequest proposed = current;
    proposed.setURL(target->absoluteURL());
    if (!sameOrigin(*current.URL(), *proposed.URL())) {
        // Credentials and cookies set for one server are not handed to another (a redirect hook may
        // still add them back on purpose).
        proposed.setValue(std::nullopt, "Authorization");
        proposed.setValue(std::nullopt, "Proxy-Authorization");
        proposed.setValue(std::nullopt, "Cookie");
    }
    const int status = response.statusCode();
    const std::string& method = proposed.HTTPMethod();
    if (((status == 301 || status == 302) && method == "POST") || (status == 303 && method != "HEAD")) {
        proposed.setHTTPMethod("GET");
        proposed.setHTTPBody(std::nullopt);
        proposed.setHTTPBodyStream(nullptr);
        proposed.setValue(std::nullopt, "Content-Type");
        proposed.setValue(std::nullopt, "Content-Length");
    }
    return proposed;
}

}  // namespace lv::net_detail
