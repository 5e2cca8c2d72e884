// URL: an immutable RFC 3986 reference, optionally relative to a base URL. Malformed text gives no
// URL. Path operations, file URLs, and the runtime class "URL" (registerURLClass), under which URLs are
// archived ("NS.base" and "NS.relative", as the platform writes them). Any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/object.h"
#include "platform/storage/keyed_archive.h"

namespace lv {

class URL : public Object, public Coding {
public:
    // Nothing (nullptr) for text that is not a valid URL reference (empty text without a base,
    // characters outside the URL set, a bad escape, a bad scheme or port). Relative text resolves
    // against base; empty text against a base is the base without its fragment.
    static Ref<URL> URLWithString(std::string_view text, const Ref<URL>& base = nullptr);
    // "file://" + the absolute, escaped path; a trailing "/" when isDirectory. A relative path is
    // taken from the current directory.
    static Ref<URL> fileURLWithPath(std::string_view path, bool isDirectory = false);

    // Text as given (relative to baseURL when there is one) and the resolved absolute text.
    const std::string& relativeString() const { return text_; }
    const std::string& absoluteString() const { return absolute_; }
    const Ref<URL>& baseURL() const { return base_; }
    // The same location without a base.
    Ref<URL> absoluteURL() const;

    // Components of the resolved URL. Scheme and host as written (host without IPv6 brackets);
    // path percent-decoded; query and fragment raw; nothing for absent components.
    std::optional<std::string> scheme() const { return parts_.scheme; }
    std::optional<std::string> host() const;
    std::optional<int> port() const;
    std::optional<std::string> user() const;
    std::optional<std::string> password() const;
    std::string path() const;
    const std::string& rawPath() const { return parts_.path; }
    std::optional<std::string> query() const { return parts_.query; }
    std::optional<std::string> fragment() const { return parts_.fragment; }
    bool isFileURL() const;
    // The port written in the URL, else 80 for http and 443 for https, else nothing.
    std::optional<int> effectivePort() const;

    std::vector<std::string> pathComponents() const;
    std::string lastPathComponent() const;
    std::string pathExtension() const;
    Ref<URL> URLByAppendingPathComponent(std::string_view component, bool isDirectory = false) const;
    Ref<URL> URLByDeletingLastPathComponent() const;
    Ref<URL> URLByAppendingPathExtension(std::string_view extension) const;
    Ref<URL> URLByDeletingPathExtension() const;

    std::string description() const override { return absolute_; }
    bool isEqual(const Object& other) const override;
    std::size_t hash() const override;

    struct Parts {
        std::optional<std::string> scheme;
        std::optional<std::string> authority;
        std::string path;
        std::optional<std::string> query;
        std::optional<std::string> fragment;
    };
    URL(std::string text, Parts parts, Ref<URL> base, std::string absolute);

    // The class "URL" (registered by every new URL).
    static const ClassInfo* runtimeClass();
    void encodeWithCoder(Coder& coder) const override;
    // The relative text resolved against the base again; false when it is not a URL.
    bool initWithCoder(Coder& coder) override;
    bool supportsSecureCoding() const override { return true; }

private:
    Ref<URL> withPath(std::string path) const;

    std::string text_;
    Parts parts_;  // of the resolved URL
    Ref<URL> base_;
    std::string absolute_;
};

// Registers the runtime class "URL" (property "absoluteString", class hook "URLWithString:" of
// signature Ref<Object>(const std::string&)). Idempotent; any thread.
void registerURLClass();

}  // namespace lv
