// Header fields, requests and responses.
#include "platform/net/request.h"

#include <strings.h>

#include "platform/base/format.h"
#include "platform/net/stream.h"

namespace lv {

namespace {

bool sameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return std::string(s);
}

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace

std::optional<std::string> HTTPHeaders::value(std::string_view name) const {
    for (const auto& [key, value] : fields_) {
        if (sameName(key, name)) return value;
    }
    return std::nullopt;
}

void HTTPHeaders::set(std::string_view name, std::optional<std::string> value) {
    for (auto it = fields_.begin(); it != fields_.end(); ++it) {
        if (!sameName(it->first, name)) continue;
        if (value) {
            it->second = std::move(*value);
        } else {
            fields_.erase(it);
        }
        return;
    }
    if (value) fields_.emplace_back(std::string(name), std::move(*value));
}

void HTTPHeaders::add(std::string_view name, std::string_view value) {
    for (auto& [key, existing] : fields_) {
        if (sameName(key, name)) {
            existing += ", ";
            existing += value;
            return;
        }
    }
    fields_.emplace_back(std::string(name), std::string(value));
}

Dictionary HTTPHeaders::toDictionary() const {
    Dictionary out;
    for (const auto& [key, value] : fields_) out.set(key, Value(value));
    return out;
}

void URLRequest::setHTTPBody(std::optional<Bytes> body) {
    body_ = std::move(body);
    if (body_) bodyStream_.reset();
}

void URLRequest::setHTTPBodyStream(Ref<InputStream> stream) {
    bodyStream_ = std::move(stream);
    if (bodyStream_) body_.reset();
}

std::string URLRequest::description() const {
    return format("<URLRequest: %@ %@>", Value(method_), Value(url_ ? url_->absoluteString() : std::string("(null)")));
}

std::pair<std::optional<std::string>, std::optional<std::string>> parseContentType(std::string_view value) {
    std::optional<std::string> type;
    std::optional<std::string> charset;
    const auto semi = value.find(';');
    std::string head = trim(value.substr(0, semi));
    if (!head.empty()) type = lower(head);
    std::string_view rest = semi == std::string_view::npos ? std::string_view() : value.substr(semi + 1);
    while (!rest.empty()) {
        const auto next = rest.find(';');
        std::string_view param = rest.substr(0, next);
        rest = next == std::string_view::npos ? std::string_view() : rest.substr(next + 1);
        const auto eq = param.find('=');
        if (eq == std::string_view::npos) continue;
        if (lower(trim(param.substr(0, eq))) != "charset") continue;
        std::string v = trim(param.substr(eq + 1));
        if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
        charset = v;
    }
    return {type, charset};
}

URLResponse::URLResponse(Ref<lv::URL> url, std::optional<std::string> mimeType, std::int64_t expectedContentLength,
                         std::optional<std::string> textEncodingName)
    : url_(std::move(url)),
      mimeType_(std::move(mimeType)),
      expectedContentLength_(expectedContentLength),
      textEncodingName_(std::move(textEncodingName)) {
    HTTPURLResponse::runtimeClass();
}

std::string URLResponse::suggestedFilename() const {
    std::string name = url_ ? url_->lastPathComponent() : std::string();
    if (name.empty() || name == "/") name = "Unknown";
    if (name.find('.') == std::string::npos && mimeType_) {
        static const std::pair<const char*, const char*> extensions[] = {
            {"text/html", "html"}, {"text/plain", "txt"}, {"application/json", "json"}, {"image/png", "png"},
            {"image/jpeg", "jpg"}, {"image/gif", "gif"},  {"application/xml", "xml"},   {"text/xml", "xml"}};
        for (const auto& [type, ext] : extensions) {
            if (*mimeType_ == type) return name + "." + ext;
        }
    }
    return name;
}

namespace {

std::int64_t contentLength(const HTTPHeaders& headers) {
    const auto text = headers.value("Content-Length");
    if (!text || text->empty()) return -1;
    std::int64_t n = 0;
    for (char c : *text) {
        if (c < '0' || c > '9' || n > (INT64_MAX - 9) / 10) return -1;
        n = n * 10 + (c - '0');
    }
    return n;
}

}  // namespace

HTTPURLResponse::HTTPURLResponse(Ref<lv::URL> url, int statusCode, HTTPHeaders headerFields)
    : URLResponse(std::move(url), std::nullopt, contentLength(headerFields), std::nullopt),
      statusCode_(statusCode),
      headers_(std::move(headerFields)) {
    if (const auto type = headers_.value("Content-Type")) {
        auto [mime, charset] = parseContentType(*type);
        mimeType_ = std::move(mime);
        textEncodingName_ = std::move(charset);
    }
}

std::string HTTPURLResponse::localizedStringForStatusCode(int statusCode) {
    static const std::pair<int, const char*> texts[] = {
        {100, "continue"}, {101, "switching protocols"}, {200, "no error"}, {201, "created"},
        {202, "accepted"}, {203, "non-authoritative information"}, {204, "no content"}, {205, "reset content"},
        {206, "partial content"}, {300, "multiple choices"}, {301, "moved permanently"}, {302, "found"},
        {303, "see other"}, {304, "unmodified"}, {305, "needs proxy"}, {307, "temporarily redirected"},
        {308, "permanent redirect"}, {400, "bad request"}, {401, "unauthorized"}, {402, "payment required"},
        {403, "forbidden"}, {404, "not found"}, {405, "method not allowed"}, {406, "unacceptable"},
        {407, "proxy authentication required"}, {408, "request timed out"}, {409, "conflict"},
        {410, "no longer exists"}, {411, "length required"}, {412, "precondition failed"},
        {413, "request too large"}, {414, "requested URL too long"}, {415, "unsupported media type"},
        {416, "requested range not satisfiable"}, {417, "expectation failed"}, {500, "internal server error"},
        {501, "unimplemented"}, {502, "bad gateway"}, {503, "service unavailable"}, {504, "gateway timed out"},
        {505, "unsupported version"}};
    for (const auto& [code, text] : texts) {
        if (code == statusCode) return text;
    }
    switch (statusCode / 100) {
        case 1: return "informational";
        case 2: return "success";
        case 3: return "redirected";
        case 4: return "client error";
        case 5: return "server error";
        default: return "server error";
    }
}

std::string HTTPURLResponse::description() const {
    return format("<HTTPURLResponse: %p> { URL: %@ } { status code: %d }", static_cast<const void*>(this),
                  Value(url_ ? url_->absoluteString() : std::string("(null)")), statusCode_);
}

}  // namespace lv
