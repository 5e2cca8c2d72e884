// The HTTP request serializer.
#include "http/request_serializer.h"

#include <cerrno>

#include "http/query_string.h"
#include "platform/base/format.h"
#include "platform/dispatch/queue.h"
#include "platform/runtime/runtime.h"
#include "platform/net/stream.h"
#include "platform/storage/bundle.h"
#include "platform/text/escape.h"
#include "platform/text/locale.h"
#include "platform/text/strings.h"
#include "platform/ui/device.h"

namespace lv {

namespace {

constexpr std::size_t kFileCopyChunk = 1024;

// "en;q=1, fr;q=0.9, …": q falls by 0.1 (single precision) per language, down to 0.5 at most.
std::string acceptLanguage() {
    std::string header;
    const auto languages = Locale::preferredLanguages();
    for (std::size_t i = 0; i < languages.size(); ++i) {
        const float q = 1.0f + static_cast<float>(i) * -0.1f;
        if (!header.empty()) header += ", ";
        header += format("%@;q=%0.1g", languages[i], static_cast<double>(q));
        if (q <= 0.5f) break;
    }
    return header;
}

// "Executable/Version (Model; iOS Version; Scale/2.00)", folded to ASCII when it is not ASCII.
std::string userAgent() {
    const auto bundle = Bundle::mainBundle();
    Value executable = bundle->objectForInfoDictionaryKey("CFBundleExecutable");
    if (executable.isNil()) executable = bundle->objectForInfoDictionaryKey("CFBundleIdentifier");
    Value version = bundle->objectForInfoDictionaryKey("CFBundleShortVersionString");
    if (version.isNil()) version = bundle->objectForInfoDictionaryKey("CFBundleVersion");
    const auto device = Device::currentDevice();
    std::string agent = format("%@/%@ (%@; iOS %@; Scale/%0.2f)", executable, version, device->model(),
                               device->systemVersion(), Screen::mainScreen()->scale());
    if (!text::canBeConverted(agent, StringEncoding::ASCII)) {
        if (auto ascii = text::transform(agent, text::kToAsciiTransform)) agent = std::move(*ascii);
    }
    return agent;
}

// The URL with the query appended, before any fragment.
Ref<URL> URLWithQuery(const Ref<URL>& url, const std::string& query) {
    if (!url) return url;
    const std::string& absolute = url->absoluteString();
    const std::size_t hash = absolute.find('#');
    std::string head = absolute.substr(0, hash);
    const std::string fragment = hash == std::string::npos ? std::string() : absolute.substr(hash);
    head += (url->query() ? "&" : "?") + query;
    return URL::URLWithString(head + fragment);
}

Ref<Error> streamErrorOr(const Ref<Stream>& stream, int code) {
    if (stream->streamError()) return stream->streamError();
    return Error::make(std::string(kPOSIXErrorDomain), code);
}

// Copies the stream into the file: every chunk written fully; ends at the stream's end or the first
// error of either side.
Ref<Error> copyStreamToFile(const Ref<InputStream>& input, const std::string& path) {
    auto output = OutputStream::toFileAtPath(path, false);
    output->open();
    Ref<Error> error;
    if (output->streamStatus() == StreamStatus::Error) error = output->streamError();
    if (input && !error) {
        input->open();
        std::uint8_t buffer[kFileCopyChunk];
        while (!error) {
            const long n = input->read(buffer, sizeof buffer);
            if (n < 0) {
                error = streamErrorOr(input, EIO);
                break;
            }
            if (n == 0) break;
            for (long written = 0; written < n;) {
                const long w = output->write(buffer + written, static_cast<std::size_t>(n - written));
                if (w <= 0) {
                    error = streamErrorOr(output, EIO);
                    break;
                }
                written += w;
            }
        }
    }
    output->close();
    if (input) input->close();
    return error;
}

}  // namespace

HCHTTPRequestSerializer::HCHTTPRequestSerializer() {
    runtimeClass();
    settings_.headers.set("Accept-Language", Value(acceptLanguage()));
    settings_.headers.set("User-Agent", Value(userAgent()));
}

HCHTTPRequestSerializer::Settings HCHTTPRequestSerializer::snapshot() const {
    std::lock_guard lock(mutex_);
    return settings_;
}

template <class T>
void HCHTTPRequestSerializer::setObserved(T Settings::*field, T value, ObservedProperty bit) {
    std::lock_guard lock(mutex_);
    settings_.*field = value;
    settings_.setProperties |= bit;
}

StringEncoding HCHTTPRequestSerializer::stringEncoding() const {
    std::lock_guard lock(mutex_);
    return settings_.stringEncoding;
}

void HCHTTPRequestSerializer::setStringEncoding(StringEncoding encoding) {
    std::lock_guard lock(mutex_);
    settings_.stringEncoding = encoding;
}

bool HCHTTPRequestSerializer::allowsCellularAccess() const {
    std::lock_guard lock(mutex_);
    return settings_.allowsCellularAccess;
}

void HCHTTPRequestSerializer::setAllowsCellularAccess(bool allow) {
    setObserved(&Settings::allowsCellularAccess, allow, kAllowsCellularAccess);
}

URLRequestCachePolicy HCHTTPRequestSerializer::cachePolicy() const {
    std::lock_guard lock(mutex_);
    return settings_.cachePolicy;
}

void HCHTTPRequestSerializer::setCachePolicy(URLRequestCachePolicy policy) {
    setObserved(&Settings::cachePolicy, policy, kCachePolicy);
}

bool HCHTTPRequestSerializer::HTTPShouldHandleCookies() const {
    std::lock_guard lock(mutex_);
    return settings_.HTTPShouldHandleCookies;
}

void HCHTTPRequestSerializer::setHTTPShouldHandleCookies(bool handle) {
    setObserved(&Settings::HTTPShouldHandleCookies, handle, kHTTPShouldHandleCookies);
}

bool HCHTTPRequestSerializer::HTTPShouldUsePipelining() const {
    std::lock_guard lock(mutex_);
    return settings_.HTTPShouldUsePipelining;
}

void HCHTTPRequestSerializer::setHTTPShouldUsePipelining(bool use) {
    setObserved(&Settings::HTTPShouldUsePipelining, use, kHTTPShouldUsePipelining);
}

int HCHTTPRequestSerializer::networkServiceType() const {
    std::lock_guard lock(mutex_);
    return settings_.networkServiceType;
}

void HCHTTPRequestSerializer::setNetworkServiceType(int type) {
    setObserved(&Settings::networkServiceType, type, kNetworkServiceType);
}

double HCHTTPRequestSerializer::timeoutInterval() const {
    std::lock_guard lock(mutex_);
    return settings_.timeoutInterval;
}

void HCHTTPRequestSerializer::setTimeoutInterval(double seconds) {
    setObserved(&Settings::timeoutInterval, seconds, kTimeoutInterval);
}

std::set<std::string> HCHTTPRequestSerializer::HTTPMethodsEncodingParametersInURI() const {
    std::lock_guard lock(mutex_);
    return settings_.URIMethods;
}

void HCHTTPRequestSerializer::setHTTPMethodsEncodingParametersInURI(std::set<std::string> methods) {
    std::lock_guard lock(mutex_);
    settings_.URIMethods = std::move(methods);
}

bool HCHTTPRequestSerializer::encodesParametersInURI(std::string_view method) const {
    std::lock_guard lock(mutex_);
    return settings_.URIMethods.contains(text::asciiUppercase(method));
}

Dictionary HCHTTPRequestSerializer::HTTPRequestHeaders() const {
    std::lock_guard lock(mutex_);
    return settings_.headers;
}

void HCHTTPRequestSerializer::setValue(std::optional<std::string> value, std::string_view field) {
    std::lock_guard lock(mutex_);
    settings_.headers.set(std::string(field), value ? Value(std::move(*value)) : Value());
}

std::optional<std::string> HCHTTPRequestSerializer::valueForHTTPHeaderField(std::string_view field) const {
    std::lock_guard lock(mutex_);
    const Value* value = settings_.headers.find(field);
    if (!value) return std::nullopt;
    return value->string();
}

void HCHTTPRequestSerializer::setAuthorizationHeaderFieldWithUsername(std::string_view username,
                                                                      std::string_view password) {
    const std::string credentials = std::string(username) + ":" + std::string(password);
    setValue("Basic " + text::base64Encode(credentials), "Authorization");
}

void HCHTTPRequestSerializer::setAuthorizationHeaderFieldWithToken(std::string_view token) {
    setValue("Token token=\"" + std::string(token) + "\"", "Authorization");
}

void HCHTTPRequestSerializer::clearAuthorizationHeader() { setValue(std::nullopt, "Authorization"); }

HCHTTPRequestQueryStringSerializationStyle HCHTTPRequestSerializer::queryStringSerializationStyle() const {
    std::lock_guard lock(mutex_);
    return settings_.style;
}

void HCHTTPRequestSerializer::setQueryStringSerializationWithStyle(HCHTTPRequestQueryStringSerializationStyle style) {
    std::lock_guard lock(mutex_);
    settings_.style = style;
    settings_.queryBlock = nullptr;
}

void HCHTTPRequestSerializer::setQueryStringSerializationWithBlock(QueryStringSerialization block) {
    std::lock_guard lock(mutex_);
    settings_.queryBlock = std::move(block);
}

std::optional<URLRequest> HCHTTPRequestSerializer::requestWithMethod(std::string_view method,
                                                                     std::string_view URLString,
                                                                     const Value& parameters, Ref<Error>* error) const {
    URLRequest request(URL::URLWithString(URLString));
    request.setHTTPMethod(std::string(method));
    const Settings settings = snapshot();
    const unsigned set = settings.setProperties;
    if (set & kAllowsCellularAccess) request.setAllowsCellularAccess(settings.allowsCellularAccess);
    if (set & kCachePolicy) request.setCachePolicy(settings.cachePolicy);
    if (set & kHTTPShouldHandleCookies) request.setHTTPShouldHandleCookies(settings.HTTPShouldHandleCookies);
    if (set & kHTTPShouldUsePipelining) request.setHTTPShouldUsePipelining(settings.HTTPShouldUsePipelining);
    if (set & kNetworkServiceType) request.setNetworkServiceType(settings.networkServiceType);
    if (set & kTimeoutInterval) request.setTimeoutInterval(settings.timeoutInterval);
    return requestBySerializingRequest(request, parameters, error);
}

URLRequest HCHTTPRequestSerializer::requestWithDefaultHeaders(const URLRequest& request) const {
    URLRequest copy = request;
    for (const auto& [field, value] : HTTPRequestHeaders()) {
        if (!request.valueForHTTPHeaderField(field)) copy.setValue(value.stringValue(), field);
    }
    return copy;
}

std::optional<URLRequest> HCHTTPRequestSerializer::requestBySerializingRequest(const URLRequest& request,
                                                                               const Value& parameters,
                                                                               Ref<Error>* error) const {
    URLRequest copy = requestWithDefaultHeaders(request);
    if (parameters.isNil()) return copy;
    const Settings settings = snapshot();
    std::optional<std::string> query;
    if (settings.queryBlock) {
        Ref<Error> blockError;
        query = settings.queryBlock(request, parameters, &blockError);
        if (blockError) {
            setError(error, std::move(blockError));
            return std::nullopt;
        }
    } else if (settings.style == HCHTTPRequestQueryStringSerializationStyle::Default) {
        query = queryStringFromParameters(parameters, settings.stringEncoding);
    }
    if (!query) return copy;
    if (settings.URIMethods.contains(text::asciiUppercase(request.HTTPMethod()))) {
        copy.setURL(URLWithQuery(copy.URL(), *query));
    } else {
        if (!copy.valueForHTTPHeaderField("Content-Type"))
            copy.setValue("application/x-www-form-urlencoded", "Content-Type");
        copy.setHTTPBody(text::encode(*query, settings.stringEncoding).value_or(Bytes()));
    }
    return copy;
}

std::optional<URLRequest> HCHTTPRequestSerializer::multipartFormRequestWithMethod(std::string_view method,
                                                                                  std::string_view URLString,
                                                                                  const Value& parameters,
                                                                                  const BodyConstruction& block,
                                                                                  Ref<Error>* error) const {
    auto request = requestWithMethod(method, URLString, Value(), error);
    if (!request) return std::nullopt;
    auto form = makeRef<HCStreamingMultipartFormData>(std::move(*request), StringEncoding::UTF8);
    if (!parameters.isNil()) {
        const StringEncoding encoding = stringEncoding();
        for (const auto& pair : flattenQueryPairs(Value(), parameters)) {
            std::optional<Bytes> data;
            if (pair.value().isData()) data = pair.value().bytes();
            else if (pair.value().isNull()) data = Bytes();
            else data = text::encode(pair.value().isNil() ? "(null)" : pair.value().description(), encoding);
            if (!data) continue;
            form->appendPartWithFormData(std::move(*data), pair.field().isNil() ? "(null)" : pair.field().description());
        }
    }
    if (block) block(*form);
    return form->requestByFinalizingMultipartFormData();
}

URLRequest HCHTTPRequestSerializer::requestWithMultipartFormRequest(const URLRequest& request, const Ref<URL>& fileURL,
                                                                    WriteCompletion handler) const {
    Ref<InputStream> input = request.HTTPBodyStream();
    const std::string path = fileURL ? fileURL->path() : std::string();
    Queue::global()->async([input, path, handler = std::move(handler)] {
        Ref<Error> error = copyStreamToFile(input, path);
        if (handler) Queue::main()->async([handler, error] { handler(error); });
    });
    URLRequest copy = request;
    copy.setHTTPBodyStream(nullptr);
    return copy;
}

void HCHTTPRequestSerializer::copyConfigurationInto(HCHTTPRequestSerializer& target) const {
    const Settings settings = snapshot();
    std::lock_guard lock(target.mutex_);
    target.settings_.headers = settings.headers;
    target.settings_.style = settings.style;
    target.settings_.queryBlock = settings.queryBlock;
}

Ref<HCHTTPRequestSerializer> HCHTTPRequestSerializer::copy() const {
    auto copy = makeRef<HCHTTPRequestSerializer>();
    copyConfigurationInto(*copy);
    return copy;
}

const ClassInfo* HCHTTPRequestSerializer::runtimeClass() {
    static const ClassInfo* cls = ClassDef<HCHTTPRequestSerializer>("HCHTTPRequestSerializer").factory().registerClass();
    return cls;
}

void HCHTTPRequestSerializer::encodeWithCoder(Coder& coder) const {
    const Settings settings = snapshot();
    coder.encodeObject(Value(settings.headers), "mutableHTTPRequestHeaders");
    coder.encodeInteger(static_cast<std::int64_t>(settings.style), "queryStringSerializationStyle");
}

bool HCHTTPRequestSerializer::initWithCoder(Coder& coder) {
    const Value headers = coder.decodeObjectOfClass(classNamed("Dictionary"), "mutableHTTPRequestHeaders");
    const auto style = static_cast<HCHTTPRequestQueryStringSerializationStyle>(coder.decodeInteger("queryStringSerializationStyle"));
    std::lock_guard lock(mutex_);
    settings_.headers = headers.dictionary();
    settings_.style = style;
    return true;
}

}  // namespace lv
