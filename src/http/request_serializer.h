// The HTTP request serializer: builds every request the client sends from a method, a URL string and
// parameters. It applies the request properties its owner has set, adds its default headers
// (Accept-Language, User-Agent, Authorization), and encodes the parameters into the URL (GET, HEAD,
// DELETE) or as a form body; it also builds multipart requests and copies a multipart body to a file.
//
// Threads: every call may come from any thread; one lock guards the settings, and a request is built
// from a snapshot of them, so a setting reaches exactly the requests built after it was set. The
// custom query block and the body-construction block run on the caller's thread with no lock held.
// Writing a body to a file runs on a global queue and reports on the main queue. Archives keep the
// headers and the query style; decoding rebuilds everything else for the running device.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "http/multipart_form_data.h"
#include "platform/base/error.h"
#include "platform/net/request.h"
#include "platform/storage/keyed_archive.h"
#include "platform/text/encoding.h"

namespace lv {

// Adopted by every request serializer: the request with the parameters encoded and the default
// headers applied, or nothing with the error.
class HCURLRequestSerialization {
public:
    virtual ~HCURLRequestSerialization() = default;
    virtual std::optional<URLRequest> requestBySerializingRequest(const URLRequest& request, const Value& parameters,
                                                                  Ref<Error>* error) const = 0;
};

enum class HCHTTPRequestQueryStringSerializationStyle : unsigned { Default = 0 };

class HCHTTPRequestSerializer : public Object, public HCURLRequestSerialization, public Coding {
public:
    // (request, parameters, error out-parameter) → query text; nothing with an error fails the request,
    // nothing without one adds no query.
    using QueryStringSerialization =
        std::function<std::optional<std::string>(const URLRequest&, const Value&, Ref<Error>*)>;
    using BodyConstruction = std::function<void(HCMultipartFormData&)>;
    using WriteCompletion = std::function<void(const Ref<Error>&)>;

    static Ref<HCHTTPRequestSerializer> serializer() { return makeRef<HCHTTPRequestSerializer>(); }
    // UTF-8; Accept-Language from the preferred languages, User-Agent from the bundle and the device;
    // URI methods GET, HEAD, DELETE; no request property applied yet.
    HCHTTPRequestSerializer();

    StringEncoding stringEncoding() const;
    void setStringEncoding(StringEncoding encoding);

    // The observed request properties: a request built before a setter's first call keeps the request's
    // own default; every request built after it carries the value current at build time.
    bool allowsCellularAccess() const;
    void setAllowsCellularAccess(bool allow);
    URLRequestCachePolicy cachePolicy() const;
    void setCachePolicy(URLRequestCachePolicy policy);
    bool HTTPShouldHandleCookies() const;
    void setHTTPShouldHandleCookies(bool handle);
    bool HTTPShouldUsePipelining() const;
    void setHTTPShouldUsePipelining(bool use);
    int networkServiceType() const;
    void setNetworkServiceType(int type);
    double timeoutInterval() const;
    void setTimeoutInterval(double seconds);

    // Methods (upper case) whose parameters go into the URL.
    std::set<std::string> HTTPMethodsEncodingParametersInURI() const;
    void setHTTPMethodsEncodingParametersInURI(std::set<std::string> methods);

    // Snapshot of the default headers.
    Dictionary HTTPRequestHeaders() const;
    // Sets a default header; nothing removes it.
    void setValue(std::optional<std::string> value, std::string_view field);
    // Exact-name look-up.
    std::optional<std::string> valueForHTTPHeaderField(std::string_view field) const;
    // "Authorization: Basic " + Base64 of "user:password".
    void setAuthorizationHeaderFieldWithUsername(std::string_view username, std::string_view password);
    // "Authorization: Token token=\"…\"".
    void setAuthorizationHeaderFieldWithToken(std::string_view token);
    void clearAuthorizationHeader();

    HCHTTPRequestQueryStringSerializationStyle queryStringSerializationStyle() const;
    // Sets the style and drops the custom block.
    void setQueryStringSerializationWithStyle(HCHTTPRequestQueryStringSerializationStyle style);
    void setQueryStringSerializationWithBlock(QueryStringSerialization block);

    // A request for the method (kept as given) and URL with the set properties applied, passed through
    // requestBySerializingRequest; nothing when that fails.
    std::optional<URLRequest> requestWithMethod(std::string_view method, std::string_view URLString,
                                                const Value& parameters, Ref<Error>* error = nullptr) const;
    // Default headers the request lacks; then nil parameters: done; URI methods: the query appended
    // with "?" or "&" (before any "#fragment"); other methods: the form body in stringEncoding with
    // "application/x-www-form-urlencoded" unless the request has a Content-Type.
    std::optional<URLRequest> requestBySerializingRequest(const URLRequest& request, const Value& parameters,
                                                          Ref<Error>* error) const override;
    // A request without encoded parameters whose body streams the parameters as form-data parts (in
    // flattened order) followed by the parts the block adds.
    std::optional<URLRequest> multipartFormRequestWithMethod(std::string_view method, std::string_view URLString,
                                                             const Value& parameters, const BodyConstruction& block,
                                                             Ref<Error>* error = nullptr) const;
    // Copies the request's body stream into the file (created or truncated) on a global queue; the
    // handler gets nothing or the stream's error on the main queue. Returns the request without its
    // body stream at once.
    URLRequest requestWithMultipartFormRequest(const URLRequest& request, const Ref<URL>& fileURL,
                                               WriteCompletion handler) const;

    // A fresh serializer of the same class with the headers, the style and the custom block; no
    // encoding, URI methods or request properties carried over.
    virtual Ref<HCHTTPRequestSerializer> copy() const;

    // The runtime class "HCHTTPRequestSerializer" (archiving finds the class by it).
    static const ClassInfo* runtimeClass();
    // "mutableHTTPRequestHeaders" (dictionary) and "queryStringSerializationStyle" (integer).
    void encodeWithCoder(Coder& coder) const override;
    bool initWithCoder(Coder& coder) override;
    bool supportsSecureCoding() const override { return true; }

protected:
    // The fields that a copy carries.
    void copyConfigurationInto(HCHTTPRequestSerializer& target) const;
    // The request with the default headers it lacks.
    URLRequest requestWithDefaultHeaders(const URLRequest& request) const;
    bool encodesParametersInURI(std::string_view method) const;

private:
    enum ObservedProperty : unsigned {
        kAllowsCellularAccess = 1u << 0,
        kCachePolicy = 1u << 1,
        kHTTPShouldHandleCookies = 1u << 2,
        kHTTPShouldUsePipelining = 1u << 3,
        kNetworkServiceType = 1u << 4,
        kTimeoutInterval = 1u << 5,
    };
    struct Settings {
        StringEncoding stringEncoding = StringEncoding::UTF8;
        bool allowsCellularAccess = false;
        URLRequestCachePolicy cachePolicy = URLRequestCachePolicy::UseProtocolCachePolicy;
        bool HTTPShouldHandleCookies = false;
        bool HTTPShouldUsePipelining = false;
        int networkServiceType = 0;
        double timeoutInterval = 0;
        unsigned setProperties = 0;  // ObservedProperty bits: which setters have been called
        std::set<std::string> URIMethods{"GET", "HEAD", "DELETE"};
        Dictionary headers;
        HCHTTPRequestQueryStringSerializationStyle style = HCHTTPRequestQueryStringSerializationStyle::Default;
        QueryStringSerialization queryBlock;
    };

    Settings snapshot() const;
    template <class T>
    void setObserved(T Settings::*field, T value, ObservedProperty bit);

    mutable std::mutex mutex_;
    Settings settings_;
};

}  // namespace lv
