// URL parsing and relative resolution. The first line is a URL, the second a reference resolved
// against it when it is absolute: every URL read writes back a text that reads back as the same URL.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/net/url.h"

namespace {

void expectStable(const lv::Ref<lv::URL>& url) {
    const std::string& text = url->absoluteString();
    const lv::Ref<lv::URL> again = lv::URL::URLWithString(text);
    if (!again || again->absoluteString() != text || again->scheme() != url->absoluteURL()->scheme() ||
        again->host() != url->absoluteURL()->host() || again->query() != url->absoluteURL()->query() ||
        again->fragment() != url->absoluteURL()->fragment()) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t lineEnd = input.find('\n');
    const lv::Ref<lv::URL> base = lv::URL::URLWithString(input.substr(0, lineEnd));
    if (!base) return 0;
    expectStable(base);
    // References resolve against an absolute URL only.
    if (lineEnd == std::string_view::npos || !base->scheme()) return 0;
    const lv::Ref<lv::URL> resolved = lv::URL::URLWithString(input.substr(lineEnd + 1), base);
    if (!resolved) return 0;
    const lv::Ref<lv::URL> absolute = resolved->absoluteURL();
    if (!absolute || absolute->absoluteString() != resolved->absoluteString()) std::abort();
    expectStable(absolute);
    return 0;
}
