// The settings a URL session copies when it is made: time-outs, extra headers, cookie and cache
// handling. A configuration is a plain value object: set it up on one thread, then hand it to the
// session (which keeps a copy). Default and ephemeral configurations can be archived (keyed archiver,
// class "URLSessionConfiguration"); a background one raises kInvalidArchiveOperationException when
// encoded, since its identifier names state that lives outside the archive.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/base/object.h"
#include "platform/net/request.h"
#include "platform/storage/keyed_archive.h"

namespace lv {

class URLCache;

class URLSessionConfiguration : public Object, public Coding {
public:
    static Ref<URLSessionConfiguration> defaultSessionConfiguration();
    // Keeps nothing past the session: its own URL cache in memory.
    static Ref<URLSessionConfiguration> ephemeralSessionConfiguration();
    // Accepted and run in the process: its tasks end with the process.
    static Ref<URLSessionConfiguration> backgroundSessionConfigurationWithIdentifier(std::string identifier);

    URLSessionConfiguration() = default;
    Ref<URLSessionConfiguration> copy() const;

    const std::optional<std::string>& identifier() const { return s_.identifier; }
    bool isEphemeral() const { return s_.ephemeral; }
    bool supportsArchiving() const { return !s_.identifier; }

    // Used for requests that keep the default time-out of 60 s.
    double timeoutIntervalForRequest() const { return s_.requestTimeout; }
    void setTimeoutIntervalForRequest(double seconds) { s_.requestTimeout = seconds; }
    double timeoutIntervalForResource() const { return s_.resourceTimeout; }
    void setTimeoutIntervalForResource(double seconds) { s_.resourceTimeout = seconds; }
    // Added to each request that does not set the field itself.
    const HTTPHeaders& HTTPAdditionalHeaders() const { return s_.headers; }
    void setHTTPAdditionalHeaders(HTTPHeaders headers) { s_.headers = std::move(headers); }
    long HTTPMaximumConnectionsPerHost() const { return s_.connectionsPerHost; }
    void setHTTPMaximumConnectionsPerHost(long count) { s_.connectionsPerHost = count; }
    // Used for requests that keep the protocol cache policy.
    URLRequestCachePolicy requestCachePolicy() const { return s_.cachePolicy; }
    void setRequestCachePolicy(URLRequestCachePolicy policy) { s_.cachePolicy = policy; }
    // Off: no request of the session sends or stores cookies.
    bool HTTPShouldSetCookies() const { return s_.shouldSetCookies; }
    void setHTTPShouldSetCookies(bool set) { s_.shouldSetCookies = set; }
    // The shared cache, or the ephemeral configuration's own; nothing disables caching.
    const std::shared_ptr<lv::URLCache>& cache() const { return s_.cache; }
    void setCache(std::shared_ptr<lv::URLCache> cache) { s_.cache = std::move(cache); }

    static const ClassInfo* runtimeClass();
    void encodeWithCoder(Coder& coder) const override;
    bool initWithCoder(Coder& coder) override;
    bool supportsSecureCoding() const override { return true; }

private:
    struct Settings {
        std::optional<std::string> identifier;
        bool ephemeral = false;
        double requestTimeout = 60;
        double resourceTimeout = 7 * 24 * 3600;
        HTTPHeaders headers;
        long connectionsPerHost = 6;
        URLRequestCachePolicy cachePolicy = URLRequestCachePolicy::UseProtocolCachePolicy;
        bool shouldSetCookies = true;
        std::shared_ptr<lv::URLCache> cache;
    };
    Settings s_;
};

}  // namespace lv
