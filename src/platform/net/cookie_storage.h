// The shared cookie store that every transfer whose request handles cookies reads and fills.
// Thread-safe: any thread may call it while transfers run.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/base/object.h"
#include "platform/base/value.h"
#include "platform/net/url.h"

namespace lv {

struct HTTPCookie {
    std::string name;
    std::string value;
    std::string domain;  // a leading "." matches subdomains too
    std::string path = "/";
    std::optional<Date> expiresDate;  // nothing for a session cookie
    bool secure = false;
    bool httpOnly = false;
    bool operator==(const HTTPCookie&) const = default;
};

class HTTPCookieStorage {
public:
    static HTTPCookieStorage& shared();

    std::vector<HTTPCookie> cookies() const;
    // The cookies a request to the URL would send (domain, path, secure and expiry matched).
    std::vector<HTTPCookie> cookiesForURL(const Ref<URL>& url) const;
    void setCookie(const HTTPCookie& cookie);
    void deleteCookie(const HTTPCookie& cookie);
    // Removes the cookies of the domain and its subdomains.
    void removeCookiesForDomain(const std::string& domain);
    void removeAllCookies();
};

}  // namespace lv
