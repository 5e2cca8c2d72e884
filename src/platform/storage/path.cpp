#include "platform/storage/path.h"

namespace lv::path {

std::string standardized(std::string_view path) {
    std::string out;
    out.reserve(path.size());
    for (char c : path) {
        if (c == '/' && !out.empty() && out.back() == '/') continue;
        out.push_back(c);
    }
    if (out.size() > 1 && out.back() == '/') out.pop_back();
    return out;
}

std::string appendingPathComponent(std::string_view base, std::string_view component) {
    std::size_t start = 0;
    while (start < component.size() && component[start] == '/') ++start;
    component.remove_prefix(start);
    if (base.empty()) return standardized(component);
    std::string joined(base);
    if (joined.back() != '/') joined.push_back('/');
    joined.append(component);
    return standardized(joined);
}

std::string lastPathComponent(std::string_view path) {
    const std::string clean = standardized(path);
    if (clean == "/") return clean;
    const auto slash = clean.rfind('/');
    return slash == std::string::npos ? clean : clean.substr(slash + 1);
}

std::string deletingLastPathComponent(std::string_view path) {
    const std::string clean = standardized(path);
    if (clean == "/") return clean;
    const auto slash = clean.rfind('/');
    if (slash == std::string::npos) return "";
    if (slash == 0) return "/";
    return clean.substr(0, slash);
}

namespace {

// Position of the extension's "." in a standardized path, or npos.
std::size_t extensionDot(const std::string& clean) {
    const auto slash = clean.rfind('/');
    const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const auto dot = clean.rfind('.');
    if (dot == std::string::npos || dot <= nameStart || dot + 1 == clean.size()) return std::string::npos;
    return dot;
}

}  // namespace

std::string pathExtension(std::string_view path) {
    const std::string clean = standardized(path);
    const auto dot = extensionDot(clean);
    return dot == std::string::npos ? "" : clean.substr(dot + 1);
}

std::string deletingPathExtension(std::string_view path) {
    const std::string clean = standardized(path);
    const auto dot = extensionDot(clean);
    return dot == std::string::npos ? clean : clean.substr(0, dot);
}

std::string appendingPathExtension(std::string_view path, std::string_view extension) {
    std::string clean = standardized(path);
    if (extension.empty()) return clean;
    clean.push_back('.');
    clean.append(extension);
    return clean;
}

std::vector<std::string> pathComponents(std::string_view path) {
    std::vector<std::string> parts;
    if (path.empty()) return parts;
    std::size_t i = 0;
    if (path[0] == '/') {
        parts.emplace_back("/");
        while (i < path.size() && path[i] == '/') ++i;
    }
    while (i < path.size()) {
        const auto next = path.find('/', i);
        if (next == std::string_view::npos) {
            parts.emplace_back(path.substr(i));
            break;
        }
        parts.emplace_back(path.substr(i, next - i));
        i = next;
        while (i < path.size() && path[i] == '/') ++i;
        if (i == path.size()) parts.emplace_back("/");
    }
    return parts;
}

}  // namespace lv::path
