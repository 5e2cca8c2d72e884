// Session configurations: the three kinds, copying and keyed archiving.
#include "platform/net/session_configuration.h"

#include "platform/net/url_cache.h"
#include "platform/runtime/runtime.h"

namespace lv {

namespace {

std::shared_ptr<URLCache> sharedCache() {
    // The shared cache lives for the process; the pointer only refers to it.
    return std::shared_ptr<URLCache>(&URLCache::shared(), [](URLCache*) {});
}

}  // namespace

Ref<URLSessionConfiguration> URLSessionConfiguration::defaultSessionConfiguration() {
    runtimeClass();
    auto configuration = makeRef<URLSessionConfiguration>();
    configuration->s_.cache = sharedCache();
    return configuration;
}

Ref<URLSessionConfiguration> URLSessionConfiguration::ephemeralSessionConfiguration() {
    auto configuration = defaultSessionConfiguration();
    configuration->s_.ephemeral = true;
    configuration->s_.cache = std::make_shared<lv::URLCache>();
    return configuration;
}

Ref<URLSessionConfiguration> URLSessionConfiguration::backgroundSessionConfigurationWithIdentifier(std::string identifier) {
    auto configuration = defaultSessionConfiguration();
    configuration->s_.identifier = std::move(identifier);
    return configuration;
}

Ref<URLSessionConfiguration> URLSessionConfiguration::copy() const {
    auto copy = makeRef<URLSessionConfiguration>();
    copy->s_ = s_;
    return copy;
}

const ClassInfo* URLSessionConfiguration::runtimeClass() {
    static const ClassInfo* cls = ClassDef<URLSessionConfiguration>("URLSessionConfiguration").factory().registerClass();
    return cls;
}

void URLSessionConfiguration::encodeWithCoder(Coder& coder) const {
    if (s_.identifier) {
        Exception::raise(std::string(kInvalidArchiveOperationException),
                         "a background session configuration cannot be archived");
    }
    coder.encodeBool(s_.ephemeral, "ephemeral");
    coder.encodeDouble(s_.requestTimeout, "timeoutIntervalForRequest");
    coder.encodeDouble(s_.resourceTimeout, "timeoutIntervalForResource");
    coder.encodeObject(Value(s_.headers.toDictionary()), "HTTPAdditionalHeaders");
    coder.encodeInteger(s_.connectionsPerHost, "HTTPMaximumConnectionsPerHost");
    coder.encodeInteger(static_cast<std::int64_t>(s_.cachePolicy), "requestCachePolicy");
    coder.encodeBool(s_.shouldSetCookies, "HTTPShouldSetCookies");
}

bool URLSessionConfiguration::initWithCoder(Coder& coder) {
    s_.ephemeral = coder.decodeBool("ephemeral");
    s_.cache = s_.ephemeral ? std::make_shared<lv::URLCache>() : sharedCache();
    s_.requestTimeout = coder.decodeDouble("timeoutIntervalForRequest");
    s_.resourceTimeout = coder.decodeDouble("timeoutIntervalForResource");
    const Value headers = coder.decodeObjectOfClass(classNamed("Dictionary"), "HTTPAdditionalHeaders");
    s_.headers = HTTPHeaders();
    for (const auto& [name, value] : headers.dictionary()) s_.headers.set(name, value.stringValue());
    s_.connectionsPerHost = static_cast<long>(coder.decodeInteger("HTTPMaximumConnectionsPerHost"));
    const auto policy = coder.decodeInteger("requestCachePolicy");
    if (policy < 0 || policy > 5) return false;
    s_.cachePolicy = static_cast<URLRequestCachePolicy>(policy);
    s_.shouldSetCookies = coder.decodeBool("HTTPShouldSetCookies");
    return true;
}

}  // namespace lv
