// The managers' base-URL rule: a base URL with a path gets a trailing slash, so relative paths resolve
// beneath it ("api" under "http://h/v1" → "http://h/v1/api").
#pragma once

#include <string>

#include "platform/net/url.h"

namespace lv::detail {

inline Ref<URL> baseURLWithTrailingSlash(const Ref<URL>& url) {
    if (!url || url->path().empty()) return url;
    const std::string& text = url->absoluteString();
    if (!text.empty() && text.back() == '/') return url;
    return url->URLByAppendingPathComponent("");
}

}  // namespace lv::detail
