// The shared cookie store, kept by libcurl's cookie engine in a share handle. The calls here use a
// private easy handle attached to the share to read and change it.
#include "platform/net/cookie_storage.h"

#include <mutex>
#include <sstream>

#include "platform/base/clock.h"
#include "platform/net/detail/cookie_share.h"
#include "platform/net/detail/curl_library.h"

namespace lv {

namespace net_detail {

namespace {

std::mutex& shareMutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}

void lockShare(CURL*, curl_lock_data, curl_lock_access, void*) { shareMutex().lock(); }
void unlockShare(CURL*, curl_lock_data, void*) { shareMutex().unlock(); }

}  // namespace

CURLSH* cookieShare() {
    static CURLSH* share = [] {
        CURLSH* s = curlLibrary().share_init();
        curlLibrary().share_setopt(s, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
        curlLibrary().share_setopt(s, CURLSHOPT_LOCKFUNC, lockShare);
        curlLibrary().share_setopt(s, CURLSHOPT_UNLOCKFUNC, unlockShare);
        return s;
    }();
    return share;
}

}  // namespace net_detail

namespace {

using net_detail::curlLibrary;

// Serialises the storage calls among themselves (the share's own lock covers each libcurl call).
std::mutex& storageMutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}

struct CookieHandle {
    CookieHandle() : easy(curlLibrary().easy_init()) {
        curlLibrary().easy_setopt(easy, CURLOPT_SHARE, net_detail::cookieShare());
    }
    ~CookieHandle() { curlLibrary().easy_cleanup(easy); }
    CookieHandle(const CookieHandle&) = delete;
    CookieHandle& operator=(const CookieHandle&) = delete;
    CURL* easy;
};

// One line of libcurl's cookie list (the Netscape file format).
std::string toLine(const HTTPCookie& c) {
    std::ostringstream line;
    if (c.httpOnly) line << "#HttpOnly_";
    const bool subdomains = !c.domain.empty() && c.domain[0] == '.';
    line << c.domain << '\t' << (subdomains ? "TRUE" : "FALSE") << '\t' << (c.path.empty() ? "/" : c.path) << '\t'
         << (c.secure ? "TRUE" : "FALSE") << '\t'
         << (c.expiresDate ? static_cast<long long>(c.expiresDate->since1970()) : 0LL) << '\t' << c.name
         << '\t' << c.value;
    return line.str();
}

std::optional<HTTPCookie> fromLine(std::string line) {
    HTTPCookie c;
    if (line.rfind("#HttpOnly_", 0) == 0) {
        c.httpOnly = true;
        line = line.substr(10);
    }
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        const auto tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) break;
        start = tab + 1;
    }
    if (fields.size() < 7) return std::nullopt;
    c.domain = fields[0];
    c.path = fields[2];
    c.secure = fields[3] == "TRUE";
    const long long expires = std::atoll(fields[4].c_str());
    if (expires != 0) c.expiresDate = Date::fromSince1970(static_cast<double>(expires));
    c.name = fields[5];
    c.value = fields[6];
    return c;
}

std::vector<HTTPCookie> readAll(const CookieHandle& handle) {
    std::vector<HTTPCookie> out;
    curl_slist* list = nullptr;
    curlLibrary().easy_getinfo(handle.easy, CURLINFO_COOKIELIST, &list);
    for (curl_slist* it = list; it; it = it->next) {
        if (auto cookie = fromLine(it->data)) out.push_back(std::move(*cookie));
    }
    curlLibrary().slist_free_all(list);
    return out;
}

bool domainMatches(const std::string& host, std::string domain) {
    if (!domain.empty() && domain[0] == '.') domain = domain.substr(1);
    if (host == domain) return true;
    return host.size() > domain.size() && host.compare(host.size() - domain.size(), domain.size(), domain) == 0 &&
           host[host.size() - domain.size() - 1] == '.';
}

}  // namespace

HTTPCookieStorage& HTTPCookieStorage::shared() {
    static auto* storage = new HTTPCookieStorage;
    return *storage;
}

std::vector<HTTPCookie> HTTPCookieStorage::cookies() const {
    std::lock_guard lock(storageMutex());
    CookieHandle handle;
    return readAll(handle);
}

std::vector<HTTPCookie> HTTPCookieStorage::cookiesForURL(const Ref<URL>& url) const {
    std::vector<HTTPCookie> out;
    if (!url || !url->host()) return out;
    const std::string host = *url->host();
    std::string path = url->path();
    if (path.empty()) path = "/";
    const bool https = url->scheme() && *url->scheme() == "https";
    const double now = currentTimeSince1970();
    for (auto& c : cookies()) {
        if (!domainMatches(host, c.domain)) continue;
        if (path.rfind(c.path, 0) != 0) continue;
        if (c.secure && !https) continue;
        if (c.expiresDate && c.expiresDate->since1970() <= now) continue;
        out.push_back(std::move(c));
    }
    return out;
}

void HTTPCookieStorage::setCookie(const HTTPCookie& cookie) {
    std::lock_guard lock(storageMutex());
    CookieHandle handle;
    curlLibrary().easy_setopt(handle.easy, CURLOPT_COOKIELIST, toLine(cookie).c_str());
}

void HTTPCookieStorage::deleteCookie(const HTTPCookie& cookie) {
    std::lock_guard lock(storageMutex());
    CookieHandle handle;
    auto all = readAll(handle);
    curlLibrary().easy_setopt(handle.easy, CURLOPT_COOKIELIST, "ALL");
    for (const auto& c : all) {
        if (c.name == cookie.name && c.domain == cookie.domain && c.path == cookie.path) continue;
        curlLibrary().easy_setopt(handle.easy, CURLOPT_COOKIELIST, toLine(c).c_str());
    }
}

void HTTPCookieStorage::removeCookiesForDomain(const std::string& domain) {
    std::lock_guard lock(storageMutex());
    CookieHandle handle;
    auto all = readAll(handle);
    curlLibrary().easy_setopt(handle.easy, CURLOPT_COOKIELIST, "ALL");
    for (const auto& c : all) {
        std::string bare = c.domain;
        if (!bare.empty() && bare[0] == '.') bare = bare.substr(1);
        if (domainMatches(bare, domain)) continue;
        curlLibrary().easy_setopt(handle.easy, CURLOPT_COOKIELIST, toLine(c).c_str());
    }
}

void HTTPCookieStorage::removeAllCookies() {
    std::lock_guard lock(storageMutex());
    CookieHandle handle;
    curlLibrary().easy_setopt(handle.easy, CURLOPT_COOKIELIST, "ALL");
}

}  // namespace lv
