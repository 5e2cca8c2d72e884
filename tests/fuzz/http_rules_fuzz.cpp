// The HTTP header rules applied to what servers send: authentication challenges, redirect
// locations and content types. Any text gives an answer; a redirect target is a URL that reads
// back the same, and a content type read and written again reads the same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/net/detail/http_rules.h"
#include "platform/net/request.h"
#include "platform/net/url.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (const auto challenge = lv::net_detail::parseChallenge(text); challenge && challenge->realm) {
        if (challenge->realm->size() > text.size()) std::abort();
    }

    const auto [type, charset] = lv::parseContentType(text);
    if (type) {
        std::string rewritten = *type;
        const bool plainCharset = charset && charset->find_first_of("\";, \t\r\n") == std::string::npos && !charset->empty();
        if (plainCharset) rewritten += "; charset=" + *charset;
        const auto [typeAgain, charsetAgain] = lv::parseContentType(rewritten);
        if (typeAgain != type) std::abort();
        if (plainCharset && charsetAgain != charset) std::abort();
    }

    static const lv::Ref<lv::URL> current = lv::URL::URLWithString("http://example.test/a/b?c=d");
    lv::URLRequest request(current);
    request.setHTTPMethod("POST");
    request.setHTTPBody(lv::Bytes{1, 2, 3});
    for (const int status : {301, 303, 307}) {
        lv::HTTPHeaders headers;
        headers.set("Location", text);
        const lv::HTTPURLResponse response(current, status, headers);
        const auto next = lv::net_detail::redirectRequest(request, response);
        if (!next) continue;
        if (!next->URL()) std::abort();
        const std::string& target = next->URL()->absoluteString();
        const auto again = lv::URL::URLWithString(target);
        if (!again || again->absoluteString() != target) std::abort();
        if (status == 307 && next->HTTPMethod() != "POST") std::abort();
        if (status == 303 && (next->HTTPMethod() != "GET" || next->HTTPBody())) std::abort();
    }
    return 0;
}
