// URLs, requests and responses in keyed archives, with and without secure coding.
#include <gtest/gtest.h>

#include "platform/net/request.h"
#include "platform/net/url.h"
#include "platform/runtime/runtime.h"
#include "platform/storage/keyed_archive.h"

namespace lv {
namespace {

template <class T>
Ref<T> codedCopy(const Ref<T>& object, bool secure) {
    Ref<Error> error;
    const auto data = KeyedArchiver::archivedDataWithRootObject(Value(object), secure, &error);
    EXPECT_TRUE(data) << (error ? error->description() : "");
    if (!data) return nullptr;
    return (secure ? KeyedUnarchiver::unarchivedObjectOfClass(T::runtimeClass(), *data, &error)
                   : KeyedUnarchiver::unarchivedObject(*data, &error))
        .template objectAs<T>();
}

TEST(NetCoding, URLsKeepTheirTextAndBase) {
    const auto base = URL::URLWithString("http://content.test/v1/");
    const Ref<URL> urls[] = {URL::URLWithString("https://h.test:8443/a%20b?q=1#f"), URL::URLWithString("api?x=1", base),
                             URL::fileURLWithPath("/tmp/韩流.txt")};
    for (const auto& url : urls) {
        for (const bool secure : {false, true}) {
            const auto decoded = codedCopy(url, secure);
            ASSERT_NE(decoded, nullptr) << url->absoluteString();
            EXPECT_TRUE(decoded->isEqual(*url)) << decoded->absoluteString();
            EXPECT_EQ(decoded->absoluteString(), url->absoluteString());
            EXPECT_EQ(decoded->baseURL() != nullptr, url->baseURL() != nullptr);
        }
    }
    // Text that is not a URL reads as nil.
    KeyedArchiver archiver;
    archiver.encodeObject(Value("not a url \x01"), "NS.relative");
    const Bytes data = archiver.encodedData();
    KeyedUnarchiver reader(data);
    EXPECT_FALSE(makeRef<URL>(std::string(), URL::Parts{}, nullptr, std::string())->initWithCoder(reader));
}

TEST(NetCoding, RequestsKeepEveryArchivedProperty) {
    URLRequest defaults;
    URLRequest full(URL::URLWithString("http://content.test/api?cat=3"), URLRequestCachePolicy::ReloadIgnoringLocalCacheData, 4);
    full.setHTTPMethod("PATCH");
    full.setValue("zh-Hans", "Accept-Language");
    full.setValue("bytes=10-", "Range");
    full.setHTTPBody(Bytes{0, 1, 2, 255});
    full.setHTTPShouldHandleCookies(false);
    full.setHTTPShouldUsePipelining(true);
    full.setAllowsCellularAccess(false);
    full.setNetworkServiceType(3);
    for (const URLRequest& request : {defaults, full}) {
        for (const bool secure : {false, true}) {
            const auto decoded = codedCopy(URLRequestObject::make(request), secure);
            ASSERT_NE(decoded, nullptr);
            const URLRequest& r = decoded->request();
            EXPECT_EQ(r.URL() ? r.URL()->absoluteString() : "", request.URL() ? request.URL()->absoluteString() : "");
            EXPECT_EQ(r.HTTPMethod(), request.HTTPMethod());
            EXPECT_EQ(r.allHTTPHeaderFields().toDictionary(), request.allHTTPHeaderFields().toDictionary());
            EXPECT_EQ(r.HTTPBody(), request.HTTPBody());
            EXPECT_EQ(r.timeoutInterval(), request.timeoutInterval());
            EXPECT_EQ(r.cachePolicy(), request.cachePolicy());
            EXPECT_EQ(r.HTTPShouldHandleCookies(), request.HTTPShouldHandleCookies());
            EXPECT_EQ(r.HTTPShouldUsePipelining(), request.HTTPShouldUsePipelining());
            EXPECT_EQ(r.allowsCellularAccess(), request.allowsCellularAccess());
            EXPECT_EQ(r.networkServiceType(), request.networkServiceType());
        }
    }
}

TEST(NetCoding, ResponsesKeepTheirFields) {
    HTTPHeaders headers;
    headers.set("Content-Type", "application/json; charset=gbk");
    headers.set("Content-Length", "12");
    headers.set("ETag", "\"v1\"");
    const auto http = makeRef<HTTPURLResponse>(URL::URLWithString("http://content.test/api"), 404, headers);
    for (const bool secure : {false, true}) {
        const auto decoded = codedCopy(http, secure);
        ASSERT_NE(decoded, nullptr);
        EXPECT_EQ(decoded->statusCode(), 404);
        EXPECT_EQ(decoded->URL()->absoluteString(), "http://content.test/api");
        EXPECT_EQ(decoded->allHeaderFields().toDictionary(), headers.toDictionary());
        EXPECT_EQ(decoded->MIMEType(), "application/json");
        EXPECT_EQ(decoded->textEncodingName(), "gbk");
        EXPECT_EQ(decoded->expectedContentLength(), 12);
        // A plain response is read back as one, and secure reading of a response accepts either.
        const auto plain = makeRef<URLResponse>(URL::fileURLWithPath("/tmp/a.txt"), "text/plain", 5, std::nullopt);
        const auto plainAgain = codedCopy(plain, secure);
        ASSERT_NE(plainAgain, nullptr);
        EXPECT_FALSE(std::dynamic_pointer_cast<HTTPURLResponse>(plainAgain));
        EXPECT_EQ(plainAgain->MIMEType(), "text/plain");
        EXPECT_EQ(plainAgain->expectedContentLength(), 5);
        EXPECT_EQ(plainAgain->textEncodingName(), std::nullopt);
        EXPECT_EQ(plainAgain->URL()->absoluteString(), plain->URL()->absoluteString());
    }
}

}  // namespace
}  // namespace lv
