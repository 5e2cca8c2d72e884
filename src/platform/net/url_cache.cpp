// In-memory URL cache.
#include "platform/net/url_cache.h"

#include <ctime>

#include "platform/base/clock.h"

namespace lv {

namespace {

std::string cacheKey(const URLRequest& request) {
    if (!request.URL() || request.HTTPMethod() != "GET") return {};
    return request.URL()->absoluteString();
}

std::string lowered(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// An HTTP date (RFC 7231 IMF-fixdate) as seconds since 1970.
std::optional<double> parseHTTPDate(const std::string& text) {
    std::tm tm{};
    if (!::strptime(text.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &tm)) return std::nullopt;
    return static_cast<double>(::timegm(&tm));
}

}  // namespace

URLCache& URLCache::shared() {
    static auto* cache = new URLCache;
    return *cache;
}

std::optional<double> URLCache::freshnessLifetime(const HTTPURLResponse& response) {
    if (response.statusCode() != 200) return std::nullopt;
    const std::string control = lowered(response.valueForHTTPHeaderField("Cache-Control").value_or(""));
    if (control.find("no-store") != std::string::npos || control.find("no-cache") != std::string::npos) {
        return std::nullopt;
    }
    if (const auto at = control.find("max-age="); at != std::string::npos) {
        const double age = std::atof(control.c_str() + at + 8);
        return age > 0 ? std::optional<double>(age) : std::nullopt;
    }
    if (const auto expires = response.valueForHTTPHeaderField("Expires")) {
        const auto when = parseHTTPDate(*expires);
        const double now = currentTimeSince1970();
        if (when && *when > now) return *when - now;
    }
    return std::nullopt;
}

Ref<CachedURLResponse> URLCache::cachedResponseForRequest(const URLRequest& request) const {
    std::lock_guard lock(mutex_);
    const auto found = entries_.find(cacheKey(request));
    return found == entries_.end() ? nullptr : found->second.cached;
}

bool URLCache::isFresh(const URLRequest& request) const {
    std::lock_guard lock(mutex_);
    const auto found = entries_.find(cacheKey(request));
    return found != entries_.end() && currentTimeSince1970() < found->second.storedAt + found->second.lifetime;
}

void URLCache::storeCachedResponse(const Ref<CachedURLResponse>& cached, const URLRequest& request) {
    const std::string key = cacheKey(request);
    const auto* http = dynamic_cast<const HTTPURLResponse*>(cached ? cached->response().get() : nullptr);
    if (key.empty() || !http || cached->storagePolicy() == URLCacheStoragePolicy::NotAllowed) return;
    const auto lifetime = freshnessLifetime(*http);
    if (!lifetime) return;
    std::lock_guard lock(mutex_);
    if (cached->data().size() > memoryCapacity_) return;
    if (const auto old = entries_.find(key); old != entries_.end()) {
        usage_ -= old->second.cached->data().size();
        entries_.erase(old);
    }
    // Oldest entries make room.
    while (usage_ + cached->data().size() > memoryCapacity_ && !entries_.empty()) {
        auto oldest = entries_.begin();
        for (auto it = entries_.begin(); it != entries_.end(); ++it) {
            if (it->second.storedAt < oldest->second.storedAt) oldest = it;
        }
        usage_ -= oldest->second.cached->data().size();
        entries_.erase(oldest);
    }
    entries_[key] = Entry{cached, currentTimeSince1970(), *lifetime};
    usage_ += cached->data().size();
}

void URLCache::removeCachedResponseForRequest(const URLRequest& request) {
    std::lock_guard lock(mutex_);
    const auto found = entries_.find(cacheKey(request));
    if (found == entries_.end()) return;
    usage_ -= found->second.cached->data().size();
    entries_.erase(found);
}

void URLCache::removeAllCachedResponses() {
    std::lock_guard lock(mutex_);
    entries_.clear();
    usage_ = 0;
}

std::uint64_t URLCache::memoryCapacity() const {
    std::lock_guard lock(mutex_);
    return memoryCapacity_;
}

void URLCache::setMemoryCapacity(std::uint64_t bytes) {
    {
        std::lock_guard lock(mutex_);
        memoryCapacity_ = bytes;
    }
    if (bytes == 0) removeAllCachedResponses();
}

std::uint64_t URLCache::diskCapacity() const {
    std::lock_guard lock(mutex_);
    return diskCapacity_;
}

void URLCache::setDiskCapacity(std::uint64_t bytes) {
    std::lock_guard lock(mutex_);
    diskCapacity_ = bytes;
}

std::uint64_t URLCache::currentMemoryUsage() const {
    std::lock_guard lock(mutex_);
    return usage_;
}

}  // namespace lv
