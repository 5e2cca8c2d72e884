// Keyed archiving of URLs, requests and responses: the property names as keys, URLs as the platform
// writes them ("NS.base", "NS.relative").
#include "platform/net/request.h"
#include "platform/net/url.h"
#include "platform/runtime/runtime.h"

namespace lv {

namespace {

Dictionary dictionaryOfHeaders(const HTTPHeaders& headers) { return headers.toDictionary(); }

// Header fields from a dictionary of texts; false when a value is not text.
bool headersFrom(const Value& value, HTTPHeaders& headers) {
    headers = HTTPHeaders();
    if (value.isNil()) return true;
    if (!value.isDictionary()) return false;
    for (const auto& [name, field] : value.dictionary()) {
        if (!field.isString()) return false;
        headers.set(name, field.string());
    }
    return true;
}

// A URL under the key; false when something else is there.
bool decodeURL(Coder& coder, std::string_view key, Ref<URL>& url) {
    const Value value = coder.decodeObjectOfClass(URL::runtimeClass(), key);
    url = value.objectAs<URL>();
    return value.isNil() || url;
}

std::optional<std::string> optionalText(const Value& value) {
    return value.isString() ? std::optional<std::string>(value.string()) : std::nullopt;
}

}  // namespace

// ---- URL ----

const ClassInfo* URL::runtimeClass() {
    registerURLClass();
    return classOf<URL>();
}

void URL::encodeWithCoder(Coder& coder) const {
    coder.encodeObject(base_ ? Value(base_) : Value(), "NS.base");
    coder.encodeObject(Value(text_), "NS.relative");
}

bool URL::initWithCoder(Coder& coder) {
    Ref<URL> base;
    if (!decodeURL(coder, "NS.base", base)) return false;
    const Value relative = coder.decodeObjectOfClass(classNamed("String"), "NS.relative");
    if (!relative.isString()) return false;
    const Ref<URL> url = URLWithString(relative.string(), base);
    if (!url) return false;
    text_ = url->text_;
    parts_ = url->parts_;
    base_ = url->base_;
    absolute_ = url->absolute_;
    return true;
}

// ---- Requests ----

URLRequestObject::URLRequestObject() { runtimeClass(); }

URLRequestObject::URLRequestObject(URLRequest request) : request_(std::move(request)) { runtimeClass(); }

const ClassInfo* URLRequestObject::runtimeClass() {
    static const ClassInfo* cls = ClassDef<URLRequestObject>("URLRequest").factory().registerClass();
    return cls;
}

void URLRequestObject::encodeWithCoder(Coder& coder) const {
    const URLRequest& r = request_;
    coder.encodeObject(r.URL() ? Value(r.URL()) : Value(), "URL");
    coder.encodeObject(Value(r.HTTPMethod()), "HTTPMethod");
    coder.encodeObject(Value(dictionaryOfHeaders(r.allHTTPHeaderFields())), "allHTTPHeaderFields");
    if (r.HTTPBody()) coder.encodeObject(Value(*r.HTTPBody()), "HTTPBody");
    coder.encodeDouble(r.timeoutInterval(), "timeoutInterval");
    coder.encodeInteger(static_cast<std::int64_t>(r.cachePolicy()), "cachePolicy");
    coder.encodeBool(r.HTTPShouldHandleCookies(), "HTTPShouldHandleCookies");
    coder.encodeBool(r.HTTPShouldUsePipelining(), "HTTPShouldUsePipelining");
    coder.encodeBool(r.allowsCellularAccess(), "allowsCellularAccess");
    coder.encodeInteger(r.networkServiceType(), "networkServiceType");
}

bool URLRequestObject::initWithCoder(Coder& coder) {
    URLRequest r;
    Ref<URL> url;
    if (!decodeURL(coder, "URL", url)) return false;
    r.setURL(std::move(url));
    const Value method = coder.decodeObjectOfClass(classNamed("String"), "HTTPMethod");
    if (method.isString()) r.setHTTPMethod(method.string());
    HTTPHeaders headers;
    if (!headersFrom(coder.decodeObjectOfClass(classNamed("Dictionary"), "allHTTPHeaderFields"), headers)) return false;
    r.setAllHTTPHeaderFields(std::move(headers));
    const Value body = coder.decodeObjectOfClass(classNamed("Data"), "HTTPBody");
    if (body.isData()) r.setHTTPBody(body.bytes());
    if (coder.containsValueForKey("timeoutInterval")) r.setTimeoutInterval(coder.decodeDouble("timeoutInterval"));
    const std::int64_t policy = coder.decodeInteger("cachePolicy");
    if (policy < 0 || policy > 5) return false;
    r.setCachePolicy(static_cast<URLRequestCachePolicy>(policy));
    if (coder.containsValueForKey("HTTPShouldHandleCookies")) {
        r.setHTTPShouldHandleCookies(coder.decodeBool("HTTPShouldHandleCookies"));
    }
    r.setHTTPShouldUsePipelining(coder.decodeBool("HTTPShouldUsePipelining"));
    if (coder.containsValueForKey("allowsCellularAccess")) {
        r.setAllowsCellularAccess(coder.decodeBool("allowsCellularAccess"));
    }
    r.setNetworkServiceType(coder.decodeInt32("networkServiceType"));
    request_ = std::move(r);
    return true;
}

// ---- Responses ----

const ClassInfo* URLResponse::runtimeClass() {
    static const ClassInfo* cls =
        ClassDef<URLResponse>("URLResponse")
            .factory([] {
                return std::static_pointer_cast<Object>(makeRef<URLResponse>(nullptr, std::nullopt, -1, std::nullopt));
            })
            .registerClass();
    return cls;
}

void URLResponse::encodeWithCoder(Coder& coder) const {
    coder.encodeObject(url_ ? Value(url_) : Value(), "URL");
    coder.encodeObject(mimeType_ ? Value(*mimeType_) : Value(), "MIMEType");
    coder.encodeInt64(expectedContentLength_, "expectedContentLength");
    coder.encodeObject(textEncodingName_ ? Value(*textEncodingName_) : Value(), "textEncodingName");
}

bool URLResponse::initWithCoder(Coder& coder) {
    if (!decodeURL(coder, "URL", url_)) return false;
    mimeType_ = optionalText(coder.decodeObjectOfClass(classNamed("String"), "MIMEType"));
    expectedContentLength_ =
        coder.containsValueForKey("expectedContentLength") ? coder.decodeInt64("expectedContentLength") : -1;
    textEncodingName_ = optionalText(coder.decodeObjectOfClass(classNamed("String"), "textEncodingName"));
    return true;
}

const ClassInfo* HTTPURLResponse::runtimeClass() {
    static const ClassInfo* cls =
        ClassDef<HTTPURLResponse>("HTTPURLResponse")
            .superclassNamed(URLResponse::runtimeClass())
            .factory([] {
                return std::static_pointer_cast<Object>(makeRef<HTTPURLResponse>(nullptr, 0, HTTPHeaders()));
            })
            .registerClass();
    return cls;
}

void HTTPURLResponse::encodeWithCoder(Coder& coder) const {
    URLResponse::encodeWithCoder(coder);
    coder.encodeInteger(statusCode_, "statusCode");
    coder.encodeObject(Value(dictionaryOfHeaders(headers_)), "allHeaderFields");
}

bool HTTPURLResponse::initWithCoder(Coder& coder) {
    Ref<lv::URL> url;
    if (!decodeURL(coder, "URL", url)) return false;
    HTTPHeaders headers;
    if (!headersFrom(coder.decodeObjectOfClass(classNamed("Dictionary"), "allHeaderFields"), headers)) return false;
    // The type, charset and length follow from the fields, as for a received response.
    const HTTPURLResponse made(std::move(url), coder.decodeInt32("statusCode"), std::move(headers));
    url_ = made.url_;
    mimeType_ = made.mimeType_;
    expectedContentLength_ = made.expectedContentLength_;
    textEncodingName_ = made.textEncodingName_;
    statusCode_ = made.statusCode_;
    headers_ = made.headers_;
    return true;
}

}  // namespace lv
