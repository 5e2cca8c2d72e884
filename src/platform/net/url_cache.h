// A minimal in-memory URL cache: GET 200 replies with explicit freshness (max-age or Expires) and no
// "no-store" are kept; the cache policies of a request decide whether a load reads them. Thread-safe.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "platform/base/object.h"
#include "platform/base/value.h"
#include "platform/net/request.h"

namespace lv {

enum class URLCacheStoragePolicy : int { Allowed = 0, AllowedInMemoryOnly = 1, NotAllowed = 2 };

class CachedURLResponse : public Object {
public:
    CachedURLResponse(Ref<URLResponse> response, Bytes data,
                      URLCacheStoragePolicy policy = URLCacheStoragePolicy::AllowedInMemoryOnly)
        : response_(std::move(response)), data_(std::move(data)), policy_(policy) {}
    const Ref<URLResponse>& response() const { return response_; }
    const Bytes& data() const { return data_; }
    URLCacheStoragePolicy storagePolicy() const { return policy_; }

private:
    Ref<URLResponse> response_;
    Bytes data_;
    URLCacheStoragePolicy policy_;
};

class URLCache {
public:
    static URLCache& shared();

    // Nothing when no reply is stored for the request's URL (GET only).
    Ref<CachedURLResponse> cachedResponseForRequest(const URLRequest& request) const;
    // Whether the stored reply is still fresh (its max-age or Expires not passed).
    bool isFresh(const URLRequest& request) const;
    void storeCachedResponse(const Ref<CachedURLResponse>& cached, const URLRequest& request);
    void removeCachedResponseForRequest(const URLRequest& request);
    void removeAllCachedResponses();

    // Capacity in bytes; 0 disables storing. The disk capacity is kept only as a number.
    std::uint64_t memoryCapacity() const;
    void setMemoryCapacity(std::uint64_t bytes);
    std::uint64_t diskCapacity() const;
    void setDiskCapacity(std::uint64_t bytes);
    std::uint64_t currentMemoryUsage() const;

    // Seconds of explicit freshness of a reply, nothing when it has none or must not be stored.
    static std::optional<double> freshnessLifetime(const HTTPURLResponse& response);

private:
    struct Entry {
        Ref<CachedURLResponse> cached;
        double storedAt;
        double lifetime;
    };
    mutable std::mutex mutex_;
    std::map<std::string, Entry> entries_;
    std::uint64_t memoryCapacity_ = 4u << 20;
    std::uint64_t diskCapacity_ = 20u << 20;
    std::uint64_t usage_ = 0;
};

}  // namespace lv
