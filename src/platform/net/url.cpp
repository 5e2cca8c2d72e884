// RFC 3986 parsing and reference resolution, path operations and the runtime class "URL".
#include "platform/net/url.h"

#include <unistd.h>

#include <climits>
#include <functional>

#include "platform/runtime/runtime.h"
#include "platform/text/escape.h"

namespace lv {

namespace {

bool isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isHex(char c) { return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// Characters allowed anywhere in URL text: unreserved, reserved (except a second "#"), "%".
bool isURLCharacter(char c) {
    if (isAlpha(c) || isDigit(c)) return true;
    switch (c) {
        case '-': case '.': case '_': case '~': case ':': case '/': case '?': case '#': case '[': case ']':
        case '@': case '!': case '$': case '&': case '\'': case '(': case ')': case '*': case '+': case ',':
        case ';': case '=': case '%':
            return true;
        default:
            return false;
    }
}

bool validCharacters(std::string_view text) {
    bool seenHash = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (!isURLCharacter(c)) return false;
        if (c == '%' && (i + 2 >= text.size() || !isHex(text[i + 1]) || !isHex(text[i + 2]))) return false;
        if (c == '#') {
            if (seenHash) return false;
            seenHash = true;
        }
    }
    return true;
}

bool validScheme(std::string_view s) {
    if (s.empty() || !isAlpha(s[0])) return false;
    for (char c : s) {
        if (!isAlpha(c) && !isDigit(c) && c != '+' && c != '-' && c != '.') return false;
    }
    return true;
}

struct Authority {
    std::optional<std::string> userInfo;
    std::string host;
    std::optional<std::string> port;
};

std::optional<Authority> splitAuthority(std::string_view authority) {
    Authority out;
    if (const auto at = authority.rfind('@'); at != std::string_view::npos) {
        out.userInfo = std::string(authority.substr(0, at));
        authority.remove_prefix(at + 1);
    }
    if (!authority.empty() && authority[0] == '[') {
        const auto close = authority.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        out.host = std::string(authority.substr(0, close + 1));
        authority.remove_prefix(close + 1);
        if (!authority.empty()) {
            if (authority[0] != ':') return std::nullopt;
            out.port = std::string(authority.substr(1));
        }
    } else {
        const auto colon = authority.find(':');
        out.host = std::string(authority.substr(0, colon));
        if (colon != std::string_view::npos) out.port = std::string(authority.substr(colon + 1));
        if (out.host.find_first_of("[]") != std::string::npos) return std::nullopt;
    }
    if (out.port) {
        if (out.port->size() > 5) return std::nullopt;
        for (char c : *out.port) {
            if (!isDigit(c)) return std::nullopt;
        }
    }
    return out;
}

// The five components of RFC 3986 appendix B; nothing for malformed text.
std::optional<URL::Parts> split(std::string_view text) {
    if (text.empty() || !validCharacters(text)) return std::nullopt;
    URL::Parts parts;
    if (const auto hash = text.find('#'); hash != std::string_view::npos) {
        parts.fragment = std::string(text.substr(hash + 1));
        text = text.substr(0, hash);
    }
    if (const auto question = text.find('?'); question != std::string_view::npos) {
        parts.query = std::string(text.substr(question + 1));
        text = text.substr(0, question);
    }
    if (const auto colon = text.find(':'); colon != std::string_view::npos) {
        const auto slash = text.find('/');
        if (slash == std::string_view::npos || colon < slash) {
            if (!validScheme(text.substr(0, colon))) return std::nullopt;
            parts.scheme = std::string(text.substr(0, colon));
            text.remove_prefix(colon + 1);
        }
    }
    if (text.substr(0, 2) == "//") {
        text.remove_prefix(2);
        const auto end = text.find('/');
        parts.authority = std::string(text.substr(0, end));
        if (!splitAuthority(*parts.authority)) return std::nullopt;
        text = end == std::string_view::npos ? std::string_view() : text.substr(end);
    }
    parts.path = std::string(text);
    if (parts.path.find('[') != std::string::npos || parts.path.find(']') != std::string::npos) {
        // Brackets are accepted in queries and fragments only.
        return std::nullopt;
    }
    return parts;
}

// RFC 3986 section 5.2.4.
std::string removeDotSegments(std::string_view input) {
    std::string output;
    while (!input.empty()) {
        if (input.substr(0, 3) == "../") {
            input.remove_prefix(3);
        } else if (input.substr(0, 2) == "./") {
            input.remove_prefix(2);
        } else if (input.substr(0, 3) == "/./") {
            input.remove_prefix(2);
        } else if (input == "/.") {
            input = "/";
        } else if (input.substr(0, 4) == "/../" || input == "/..") {
            input = input.size() == 3 ? std::string_view("/") : input.substr(3);
            const auto last = output.rfind('/');
            output.erase(last == std::string::npos ? 0 : last);
        } else if (input == "." || input == "..") {
            input = {};
        } else {
            const auto next = input.find('/', input[0] == '/' ? 1 : 0);
            output.append(input.substr(0, next));
            input = next == std::string_view::npos ? std::string_view() : input.substr(next);
        }
    }
    return output;
}

std::string join(const URL::Parts& p) {
    std::string out;
    if (p.scheme) out += *p.scheme + ":";
    if (p.authority) out += "//" + *p.authority;
    // Without an authority a path may not start with "//", or the text would read back with its first
    // segment as the host: "/." keeps the same path.
    if (!p.authority && p.path.substr(0, 2) == "//") out += "/.";
    out += p.path;
    if (p.query) out += "?" + *p.query;
    if (p.fragment) out += "#" + *p.fragment;
    return out;
}

// RFC 3986 section 5.2.2 (strict).
URL::Parts resolve(const URL::Parts& r, const URL::Parts& base) {
    URL::Parts t;
    if (r.scheme) {
        t = r;
        t.path = removeDotSegments(r.path);
        return t;
    }
    t.scheme = base.scheme;
    t.fragment = r.fragment;
    if (r.authority) {
        t.authority = r.authority;
        t.path = removeDotSegments(r.path);
        t.query = r.query;
        return t;
    }
    t.authority = base.authority;
    if (r.path.empty()) {
        t.path = base.path;
        t.query = r.query ? r.query : base.query;
        return t;
    }
    if (r.path[0] == '/') {
        t.path = removeDotSegments(r.path);
    } else {
        std::string merged;
        if (base.authority && base.path.empty()) {
            merged = "/" + r.path;
        } else {
            const auto slash = base.path.rfind('/');
            merged = (slash == std::string::npos ? std::string() : base.path.substr(0, slash + 1)) + r.path;
        }
        t.path = removeDotSegments(merged);
    }
    t.query = r.query;
    return t;
}

Ref<URL> build(std::string text, const Ref<URL>& base) {
    // An empty reference is the base itself (without its fragment); alone it is no URL.
    auto parts = text.empty() && base ? std::optional<URL::Parts>(URL::Parts()) : split(text);
    if (!parts) return nullptr;
    if (base && !parts->scheme) {
        auto resolved = resolve(*parts, *split(base->absoluteString()));
        std::string absolute = join(resolved);
        return makeRef<URL>(std::move(text), std::move(resolved), base, std::move(absolute));
    }
    std::string absolute = text;
    return makeRef<URL>(std::move(text), std::move(*parts), nullptr, std::move(absolute));
}

// Path characters kept by the path operations; the rest is escaped as UTF-8.
std::string escapePathComponent(std::string_view component) {
    return text::percentEscape(component, "", "?#[]%;").value_or(std::string());
}

}  // namespace

URL::URL(std::string text, Parts parts, Ref<URL> base, std::string absolute)
    : text_(std::move(text)), parts_(std::move(parts)), base_(std::move(base)), absolute_(std::move(absolute)) {
    registerURLClass();
}

Ref<URL> URL::URLWithString(std::string_view text, const Ref<URL>& base) { return build(std::string(text), base); }

Ref<URL> URL::fileURLWithPath(std::string_view path, bool isDirectory) {
    std::string absolutePath(path);
    if (absolutePath.empty() || absolutePath[0] != '/') {
        char buffer[PATH_MAX];
        const char* cwd = ::getcwd(buffer, sizeof buffer);
        std::string dir = cwd ? cwd : "/";
        if (dir.back() != '/') dir += '/';
        absolutePath = dir + absolutePath;
    }
    if (isDirectory && absolutePath.back() != '/') absolutePath += '/';
    std::string escaped = text::percentEscape(absolutePath, "", "?#[]%;").value_or(std::string());
    return URLWithString("file://" + escaped);
}

Ref<URL> URL::absoluteURL() const {
    if (!base_) return std::static_pointer_cast<URL>(std::const_pointer_cast<Object>(shared_from_this()));
    return URLWithString(absolute_);
}

std::optional<std::string> URL::host() const {
    if (!parts_.authority) return std::nullopt;
    auto authority = splitAuthority(*parts_.authority);
    std::string h = authority->host;
    if (h.size() >= 2 && h.front() == '[') h = h.substr(1, h.size() - 2);
    return h;
}

std::optional<int> URL::port() const {
    if (!parts_.authority) return std::nullopt;
    auto authority = splitAuthority(*parts_.authority);
    if (!authority->port || authority->port->empty()) return std::nullopt;
    return std::stoi(*authority->port);
}

std::optional<std::string> URL::user() const {
    if (!parts_.authority) return std::nullopt;
    auto info = splitAuthority(*parts_.authority)->userInfo;
    if (!info) return std::nullopt;
    return text::percentUnescape(info->substr(0, info->find(':'))).value_or(std::string());
}

std::optional<std::string> URL::password() const {
    if (!parts_.authority) return std::nullopt;
    auto info = splitAuthority(*parts_.authority)->userInfo;
    if (!info || info->find(':') == std::string::npos) return std::nullopt;
    return text::percentUnescape(info->substr(info->find(':') + 1)).value_or(std::string());
}

std::string URL::path() const { return text::percentUnescape(parts_.path).value_or(parts_.path); }

bool URL::isFileURL() const {
    if (!parts_.scheme) return false;
    std::string s = *parts_.scheme;
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s == "file";
}

std::optional<int> URL::effectivePort() const {
    if (auto p = port()) return p;
    if (!parts_.scheme) return std::nullopt;
    std::string s = *parts_.scheme;
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (s == "http") return 80;
    if (s == "https") return 443;
    return std::nullopt;
}

std::vector<std::string> URL::pathComponents() const {
    std::vector<std::string> out;
    const std::string p = path();
    if (p.empty()) return out;
    if (p[0] == '/') out.emplace_back("/");
    std::size_t start = 0;
    while (start <= p.size()) {
        const auto end = p.find('/', start);
        std::string piece = p.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!piece.empty()) out.push_back(std::move(piece));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return out;
}

std::string URL::lastPathComponent() const {
    const auto components = pathComponents();
    return components.empty() ? std::string() : components.back();
}

std::string URL::pathExtension() const {
    const std::string last = lastPathComponent();
    const auto dot = last.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == last.size()) return {};
    return last.substr(dot + 1);
}

Ref<URL> URL::withPath(std::string newPath) const {
    Parts p = parts_;
    p.path = std::move(newPath);
    return URLWithString(join(p));
}

Ref<URL> URL::URLByAppendingPathComponent(std::string_view component, bool isDirectory) const {
    std::string p = parts_.path;
    if (p.empty() || p.back() != '/') p += '/';
    p += escapePathComponent(component);
    if (isDirectory && p.back() != '/') p += '/';
    return withPath(std::move(p));
}

Ref<URL> URL::URLByDeletingLastPathComponent() const {
    std::string p = parts_.path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    const auto slash = p.rfind('/');
    if (p.empty() || p == "/") return withPath(p.empty() ? "../" : "/../");
    p = slash == std::string::npos ? std::string("./") : p.substr(0, slash + 1);
    return withPath(std::move(p));
}

Ref<URL> URL::URLByAppendingPathExtension(std::string_view extension) const {
    std::string p = parts_.path;
    const bool slash = !p.empty() && p.back() == '/';
    if (slash) p.pop_back();
    if (p.empty() || p.back() == '/') return withPath(parts_.path);
    p += "." + escapePathComponent(extension);
    if (slash) p += '/';
    return withPath(std::move(p));
}

Ref<URL> URL::URLByDeletingPathExtension() const {
    std::string p = parts_.path;
    const bool slash = !p.empty() && p.back() == '/';
    if (slash) p.pop_back();
    const auto lastSlash = p.rfind('/');
    const auto dot = p.rfind('.');
    if (dot != std::string::npos && (lastSlash == std::string::npos || dot > lastSlash + 1)) p.erase(dot);
    if (slash) p += '/';
    return withPath(std::move(p));
}

bool URL::isEqual(const Object& other) const {
    const auto* url = dynamic_cast<const URL*>(&other);
    if (!url) return false;
    if (text_ != url->text_) return false;
    if (!base_ || !url->base_) return !base_ && !url->base_;
    return base_->isEqual(*url->base_);
}

std::size_t URL::hash() const { return std::hash<std::string>()(text_); }

void registerURLClass() {
    static const ClassInfo* registered = [] {
        return ClassDef<URL>("URL")
            .factory([] {
                return std::static_pointer_cast<Object>(makeRef<URL>(std::string(), URL::Parts{}, nullptr, std::string()));
            })
            .property("absoluteString", "@\"String\"", "R,N",
                      std::function<Value(const URL&)>([](const URL& url) { return Value(url.absoluteString()); }))
            .classHook<Ref<Object>(const std::string&)>(
                "URLWithString:",
                std::function<Ref<Object>(const std::string&)>(
                    [](const std::string& text) -> Ref<Object> { return URL::URLWithString(text); }))
            .registerClass();
    }();
    (void)registered;
}

}  // namespace lv
