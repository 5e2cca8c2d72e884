// URL requests (a value type, with URLRequestObject as its archivable object form), responses and HTTP
// header fields. Values and immutable responses may be used from any thread; a URLRequest itself is not
// shared between threads while being changed. Requests and responses can be keyed-archived (classes
// "URLRequest", "URLResponse", "HTTPURLResponse"; the keys are the property names).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/base/object.h"
#include "platform/base/value.h"
#include "platform/net/url.h"
#include "platform/storage/keyed_archive.h"

namespace lv {

class InputStream;

// Header fields: names kept as given, looked up without regard to case, insertion order kept.
class HTTPHeaders {
public:
    using Field = std::pair<std::string, std::string>;

    // The value of the field, nothing when absent.
    std::optional<std::string> value(std::string_view name) const;
    bool contains(std::string_view name) const { return value(name).has_value(); }
    // Replaces the field (keeping its first position and the name as first given); nothing removes it.
    void set(std::string_view name, std::optional<std::string> value);
    // Appends to an existing field with ", ", else adds it.
    void add(std::string_view name, std::string_view value);
    void remove(std::string_view name) { set(name, std::nullopt); }

    const std::vector<Field>& fields() const { return fields_; }
    std::size_t size() const { return fields_.size(); }
    bool empty() const { return fields_.empty(); }
    // Name → value, as a dictionary value.
    Dictionary toDictionary() const;
    bool operator==(const HTTPHeaders& other) const = default;

private:
    std::vector<Field> fields_;
};

enum class URLRequestCachePolicy : int {
    UseProtocolCachePolicy = 0,
    ReloadIgnoringLocalCacheData = 1,
    ReturnCacheDataElseLoad = 2,
    ReturnCacheDataDontLoad = 3,
    ReloadIgnoringLocalAndRemoteCacheData = 4,
    ReloadRevalidatingCacheData = 5,
};

inline constexpr double kDefaultTimeoutInterval = 60.0;

class URLRequest {
public:
    URLRequest() = default;
    explicit URLRequest(Ref<lv::URL> url, URLRequestCachePolicy cachePolicy = URLRequestCachePolicy::UseProtocolCachePolicy,
                        double timeoutInterval = kDefaultTimeoutInterval)
        : url_(std::move(url)), cachePolicy_(cachePolicy), timeoutInterval_(timeoutInterval) {}

    const Ref<lv::URL>& URL() const { return url_; }
    void setURL(Ref<lv::URL> url) { url_ = std::move(url); }
    // "GET" unless set; the case is kept.
    const std::string& HTTPMethod() const { return method_; }
    void setHTTPMethod(std::string method) { method_ = method.empty() ? "GET" : std::move(method); }

    const HTTPHeaders& allHTTPHeaderFields() const { return headers_; }
    void setAllHTTPHeaderFields(HTTPHeaders headers) { headers_ = std::move(headers); }
    std::optional<std::string> valueForHTTPHeaderField(std::string_view name) const { return headers_.value(name); }
    void setValue(std::optional<std::string> value, std::string_view field) { headers_.set(field, std::move(value)); }
    void addValue(std::string_view value, std::string_view field) { headers_.add(field, value); }

    // The body, or a stream giving it; setting one clears the other.
    const std::optional<Bytes>& HTTPBody() const { return body_; }
    void setHTTPBody(std::optional<Bytes> body);
    const Ref<InputStream>& HTTPBodyStream() const { return bodyStream_; }
    void setHTTPBodyStream(Ref<InputStream> stream);

    // Idle time-out in seconds (60 by default).
    double timeoutInterval() const { return timeoutInterval_; }
    void setTimeoutInterval(double seconds) { timeoutInterval_ = seconds; }
    // Time-out in seconds for the whole load, redirects and retries included, counted from its first
    // transfer (0, the default: none); a load still running then fails with -1001. Connections honour
    // it; a session task uses the smaller of it and its configuration's resource time-out.
    double resourceTimeoutInterval() const { return resourceTimeout_; }
    void setResourceTimeoutInterval(double seconds) { resourceTimeout_ = seconds; }
    // The most bytes a reply body may hold once decoded (0, the default: no bound); a reply that grows
    // past it fails with -1103 as the bytes arrive, so no more than that is ever delivered.
    std::int64_t maximumResponseBodySize() const { return maximumBodySize_; }
    void setMaximumResponseBodySize(std::int64_t bytes) { maximumBodySize_ = bytes; }
    URLRequestCachePolicy cachePolicy() const { return cachePolicy_; }
    void setCachePolicy(URLRequestCachePolicy policy) { cachePolicy_ = policy; }
    bool HTTPShouldHandleCookies() const { return handleCookies_; }
    void setHTTPShouldHandleCookies(bool handle) { handleCookies_ = handle; }
    bool HTTPShouldUsePipelining() const { return pipelining_; }
    void setHTTPShouldUsePipelining(bool use) { pipelining_ = use; }
    bool allowsCellularAccess() const { return cellular_; }
    void setAllowsCellularAccess(bool allow) { cellular_ = allow; }
    int networkServiceType() const { return serviceType_; }
    void setNetworkServiceType(int type) { serviceType_ = type; }

    std::string description() const;

private:
    Ref<lv::URL> url_;
    std::string method_ = "GET";
    HTTPHeaders headers_;
    std::optional<Bytes> body_;
    Ref<InputStream> bodyStream_;
    URLRequestCachePolicy cachePolicy_ = URLRequestCachePolicy::UseProtocolCachePolicy;
    double timeoutInterval_ = kDefaultTimeoutInterval;
    double resourceTimeout_ = 0;
    std::int64_t maximumBodySize_ = 0;
    bool handleCookies_ = true;
    bool pipelining_ = false;
    bool cellular_ = true;
    int serviceType_ = 0;
};

// A request as an object: the form in which archives hold one. The body stream is not archived (a
// stream has no archived form); the header fields come back in name order.
class URLRequestObject final : public Object, public Coding {
public:
    URLRequestObject();
    explicit URLRequestObject(URLRequest request);
    static Ref<URLRequestObject> make(URLRequest request) { return makeRef<URLRequestObject>(std::move(request)); }
    const URLRequest& request() const { return request_; }
    std::string description() const override { return request_.description(); }

    static const ClassInfo* runtimeClass();
    void encodeWithCoder(Coder& coder) const override;
    bool initWithCoder(Coder& coder) override;
    bool supportsSecureCoding() const override { return true; }

private:
    URLRequest request_;
};

// A response to a URL load. Immutable once made (decoding fills a new one).
class URLResponse : public Object, public Coding {
public:
    URLResponse(Ref<lv::URL> url, std::optional<std::string> mimeType, std::int64_t expectedContentLength,
                std::optional<std::string> textEncodingName);

    const Ref<lv::URL>& URL() const { return url_; }
    // Lower-case, without parameters; nothing when unknown.
    const std::optional<std::string>& MIMEType() const { return mimeType_; }
    // Content length, or -1 when unknown.
    std::int64_t expectedContentLength() const { return expectedContentLength_; }
    // The charset parameter; nothing when absent.
    const std::optional<std::string>& textEncodingName() const { return textEncodingName_; }
    // The last path component of the URL, else "Unknown"; with an extension from the MIME type when
    // it has none and the type is known.
    std::string suggestedFilename() const;

    // The class "URLResponse" (registered, with "HTTPURLResponse", by every new response).
    static const ClassInfo* runtimeClass();
    void encodeWithCoder(Coder& coder) const override;
    bool initWithCoder(Coder& coder) override;
    bool supportsSecureCoding() const override { return true; }

protected:
    Ref<lv::URL> url_;
    std::optional<std::string> mimeType_;
    std::int64_t expectedContentLength_;
    std::optional<std::string> textEncodingName_;
};

class HTTPURLResponse : public URLResponse {
public:
    // MIME type, charset and expected length are read from the fields.
    HTTPURLResponse(Ref<lv::URL> url, int statusCode, HTTPHeaders headerFields);

    int statusCode() const { return statusCode_; }
    const HTTPHeaders& allHeaderFields() const { return headers_; }
    std::optional<std::string> valueForHTTPHeaderField(std::string_view name) const { return headers_.value(name); }

    // The reason phrase of a status in lower case ("not found"); "server error" or "informational" and
    // the like for unknown codes of a class.
    static std::string localizedStringForStatusCode(int statusCode);
    std::string description() const override;

    // The class "HTTPURLResponse"; archived with the URL, "statusCode" and "allHeaderFields", from which
    // decoding works out the rest again.
    static const ClassInfo* runtimeClass();
    void encodeWithCoder(Coder& coder) const override;
    bool initWithCoder(Coder& coder) override;

private:
    int statusCode_;
    HTTPHeaders headers_;
};

// A "type/subtype; charset=x" value split into the lower-case type and the charset (unquoted).
std::pair<std::optional<std::string>, std::optional<std::string>> parseContentType(std::string_view value);

}  // namespace lv
