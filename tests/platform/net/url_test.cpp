// URLs, requests, responses, streams and the host map.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "fixtures.h"
#include "platform/net/host_map.h"
#include "platform/net/stream.h"
#include "platform/net/url.h"
#include "platform/runtime/runtime.h"
#include "recorder.h"
#include "support/temp_dir.h"

namespace lv {
namespace {

struct ParseCase {
    const char* text;
    bool valid;
    const char* scheme;
    const char* host;
    int port;  // -1: none
    const char* path;
    const char* query;  // nullptr: none
    const char* fragment;
};

class UrlParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(UrlParse, Components) {
    const auto& c = GetParam();
    const auto url = URL::URLWithString(c.text);
    ASSERT_EQ(url != nullptr, c.valid) << c.text;
    if (!url) return;
    EXPECT_EQ(url->scheme().value_or("-"), c.scheme);
    EXPECT_EQ(url->host().value_or("-"), c.host);
    EXPECT_EQ(url->port().value_or(-1), c.port);
    EXPECT_EQ(url->path(), c.path);
    EXPECT_EQ(url->query().has_value(), c.query != nullptr);
    if (c.query) {
        EXPECT_EQ(*url->query(), c.query);
    }
    EXPECT_EQ(url->fragment().value_or("-"), c.fragment);
    EXPECT_EQ(url->absoluteString(), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Url, UrlParse,
    ::testing::Values(
        ParseCase{"http://h", true, "http", "h", -1, "", nullptr, "-"},
        ParseCase{"https://user:pw@example.com:8443/a/b%20c?x=1&y=%5B#frag", true, "https", "example.com", 8443,
                  "/a/b c", "x=1&y=%5B", "frag"},
        ParseCase{"http://[::1]:80/", true, "http", "::1", 80, "/", nullptr, "-"},
        ParseCase{"api", true, "-", "-", -1, "api", nullptr, "-"},
        ParseCase{"?q=a[]", true, "-", "-", -1, "", "q=a[]", "-"},
        ParseCase{"mailto:a@b.c", true, "mailto", "-", -1, "a@b.c", nullptr, "-"},
        ParseCase{"file:///tmp/x.txt", true, "file", "", -1, "/tmp/x.txt", nullptr, "-"},
        ParseCase{"", false, "", "", 0, "", nullptr, ""},
        ParseCase{"no url", false, "", "", 0, "", nullptr, ""},
        ParseCase{"http://h/a\"b", false, "", "", 0, "", nullptr, ""},
        ParseCase{"http://h/%zz", false, "", "", 0, "", nullptr, ""},
        ParseCase{"http://h/%4", false, "", "", 0, "", nullptr, ""},
        ParseCase{"http://h:12ab/", false, "", "", 0, "", nullptr, ""},
        ParseCase{"1http://h/", false, "", "", 0, "", nullptr, ""},
        ParseCase{"http://h/a#b#c", false, "", "", 0, "", nullptr, ""},
        ParseCase{"http://h/\xc3\xa9", false, "", "", 0, "", nullptr, ""},
        ParseCase{"http://h/{x}", false, "", "", 0, "", nullptr, ""}));

struct ResolveCase {
    const char* base;
    const char* relative;
    const char* expected;
};

class UrlResolve : public ::testing::TestWithParam<ResolveCase> {};

TEST_P(UrlResolve, AgainstBase) {
    const auto& c = GetParam();
    const auto url = URL::URLWithString(c.relative, URL::URLWithString(c.base));
    ASSERT_TRUE(url);
    EXPECT_EQ(url->absoluteString(), c.expected);
    EXPECT_EQ(url->relativeString(), c.relative);
}

// The first rows follow the examples of RFC 3986 section 5.4.
INSTANTIATE_TEST_SUITE_P(Url, UrlResolve,
                         ::testing::Values(ResolveCase{"http://a/b/c/d;p?q", "g", "http://a/b/c/g"},
                                           ResolveCase{"http://a/b/c/d;p?q", "./g", "http://a/b/c/g"},
                                           ResolveCase{"http://a/b/c/d;p?q", "g/", "http://a/b/c/g/"},
                                           ResolveCase{"http://a/b/c/d;p?q", "/g", "http://a/g"},
                                           ResolveCase{"http://a/b/c/d;p?q", "//g", "http://g"},
                                           ResolveCase{"http://a/b/c/d;p?q", "?y", "http://a/b/c/d;p?y"},
                                           ResolveCase{"http://a/b/c/d;p?q", "#s", "http://a/b/c/d;p?q#s"},
                                           ResolveCase{"http://a/b/c/d;p?q", "../../g", "http://a/g"},
                                           ResolveCase{"http://a/b/c/d;p?q", "../../../../g", "http://a/g"},
                                           ResolveCase{"http://a/b/c/d;p?q", "g;x=1/../y", "http://a/b/c/y"},
                                           ResolveCase{"http://a/b/c/d;p?q", "https://x/y", "https://x/y"},
                                           ResolveCase{"http://h", "api", "http://h/api"},
                                           ResolveCase{"http://h/v1/x?q#f", "", "http://h/v1/x?q"},
                                           ResolveCase{"http://h/v1/", "api?x=1", "http://h/v1/api?x=1"},
                                           // No authority: a path that would start with "//" keeps "/."
                                           // before it, so its first segment never reads as a host.
                                           ResolveCase{"v:,", "/.//f", "v:/.//f"},
                                           ResolveCase{"v:a/b", "..//x", "v:/.//x"}));

struct PathCase {
    const char* url;
    std::function<Ref<URL>(const URL&)> op;
    const char* expected;
};

TEST(Url, PathOperations) {
    const std::vector<PathCase> cases = {
        {"http://h", [](const URL& u) { return u.URLByAppendingPathComponent("api"); }, "http://h/api"},
        {"http://h/a/", [](const URL& u) { return u.URLByAppendingPathComponent("b c"); }, "http://h/a/b%20c"},
        {"http://h/a?q=1", [](const URL& u) { return u.URLByAppendingPathComponent("d", true); }, "http://h/a/d/?q=1"},
        {"http://h/a/b.txt", [](const URL& u) { return u.URLByDeletingLastPathComponent(); }, "http://h/a/"},
        {"http://h/a/b", [](const URL& u) { return u.URLByAppendingPathExtension("json"); }, "http://h/a/b.json"},
        {"http://h/a/b.tar.gz", [](const URL& u) { return u.URLByDeletingPathExtension(); }, "http://h/a/b.tar"},
    };
    for (const auto& c : cases) {
        const auto result = c.op(*URL::URLWithString(c.url));
        ASSERT_TRUE(result) << c.url;
        EXPECT_EQ(result->absoluteString(), c.expected) << c.url;
    }
    const auto url = URL::URLWithString("http://h/a/b%20c/file.tar.gz");
    EXPECT_EQ(url->pathComponents(), (std::vector<std::string>{"/", "a", "b c", "file.tar.gz"}));
    EXPECT_EQ(url->lastPathComponent(), "file.tar.gz");
    EXPECT_EQ(url->pathExtension(), "gz");
}

TEST(Url, FileURLs) {
    const auto url = URL::fileURLWithPath("/tmp/a b/c.txt");
    EXPECT_EQ(url->absoluteString(), "file:///tmp/a%20b/c.txt");
    EXPECT_TRUE(url->isFileURL());
    EXPECT_EQ(url->path(), "/tmp/a b/c.txt");
    EXPECT_EQ(URL::fileURLWithPath("/tmp/dir", true)->absoluteString(), "file:///tmp/dir/");
    EXPECT_EQ(URL::fileURLWithPath("rel")->path().front(), '/');
    EXPECT_FALSE(URL::URLWithString("http://h/")->isFileURL());
}

TEST(Url, RuntimeClass) {
    registerURLClass();
    registerURLClass();
    const ClassInfo* cls = classNamed("URL");
    ASSERT_NE(cls, nullptr);
    const auto* make = cls->findClassHook<Ref<Object>(const std::string&)>("URLWithString:");
    ASSERT_NE(make, nullptr);
    const Ref<Object> url = (*make)("http://h/x?y=1");
    ASSERT_TRUE(url);
    EXPECT_TRUE(isKindOf(*url, "URL"));
    EXPECT_EQ(valueForKey(*url, "absoluteString"), Value("http://h/x?y=1"));
    EXPECT_FALSE((*make)("no url"));
    EXPECT_TRUE(url->isEqual(*URL::URLWithString("http://h/x?y=1")));
}

TEST(UrlRequest, DefaultsAndHeaders) {
    URLRequest request(URL::URLWithString("http://h/"));
    EXPECT_EQ(request.HTTPMethod(), "GET");
    EXPECT_EQ(request.timeoutInterval(), 60.0);
    EXPECT_TRUE(request.HTTPShouldHandleCookies());
    EXPECT_EQ(request.cachePolicy(), URLRequestCachePolicy::UseProtocolCachePolicy);
    request.setValue("text/plain", "Content-Type");
    request.setValue("a", "X-First");
    request.addValue("b", "x-first");
    request.setValue("json", "content-type");
    EXPECT_EQ(request.valueForHTTPHeaderField("CONTENT-TYPE"), "json");
    EXPECT_EQ(request.valueForHTTPHeaderField("x-FIRST"), "a, b");
    ASSERT_EQ(request.allHTTPHeaderFields().size(), 2u);
    EXPECT_EQ(request.allHTTPHeaderFields().fields()[0].first, "Content-Type");
    request.setValue(std::nullopt, "content-type");
    EXPECT_FALSE(request.valueForHTTPHeaderField("Content-Type"));
    request.setHTTPBody(test::bytesOf("x"));
    request.setHTTPBodyStream(InputStream::withData(test::bytesOf("y")));
    EXPECT_FALSE(request.HTTPBody());
    request.setHTTPBody(test::bytesOf("x"));
    EXPECT_FALSE(request.HTTPBodyStream());
}

TEST(UrlRequest, ResponseFields) {
    struct Case {
        const char* contentType;
        const char* length;
        std::optional<std::string> mime;
        std::optional<std::string> charset;
        std::int64_t expected;
    };
    const Case cases[] = {{"Text/HTML; Charset=\"ISO-8859-1\"", "12", "text/html", "ISO-8859-1", 12},
                          {"application/json", nullptr, "application/json", std::nullopt, -1},
                          {nullptr, "x1", std::nullopt, std::nullopt, -1}};
    for (const auto& c : cases) {
        HTTPHeaders headers;
        if (c.contentType) headers.set("Content-Type", c.contentType);
        if (c.length) headers.set("Content-Length", c.length);
        HTTPURLResponse response(URL::URLWithString("http://h/dir/file"), 200, headers);
        EXPECT_EQ(response.MIMEType(), c.mime);
        EXPECT_EQ(response.textEncodingName(), c.charset);
        EXPECT_EQ(response.expectedContentLength(), c.expected);
    }
    const std::pair<int, const char*> texts[] = {
        {200, "no error"}, {404, "not found"}, {500, "internal server error"}, {418, "client error"}, {599, "server error"}};
    for (const auto& [code, text] : texts) EXPECT_EQ(HTTPURLResponse::localizedStringForStatusCode(code), text);
}

TEST(Streams, MemoryAndFile) {
    test::TempDir dir;
    const std::string path = (dir.path() / "out.bin").string();
    auto out = OutputStream::toFileAtPath(path, false);
    out->open();
    const Bytes data = test::bytesOf("hello world");
    EXPECT_EQ(out->write(data.data(), data.size()), 11);
    EXPECT_EQ(out->propertyForKey(kStreamFileCurrentOffsetKey).longLongValue(), 11);
    out->close();
    EXPECT_EQ(out->streamStatus(), StreamStatus::Closed);

    for (auto in : {InputStream::withFileAtPath(path), InputStream::withData(data)}) {
        EXPECT_EQ(in->streamStatus(), StreamStatus::NotOpen);
        in->open();
        std::uint8_t buffer[8];
        Bytes got;
        long n;
        while ((n = in->read(buffer, sizeof buffer)) > 0) got.insert(got.end(), buffer, buffer + n);
        EXPECT_EQ(n, 0);
        EXPECT_EQ(got, data);
        EXPECT_EQ(in->streamStatus(), StreamStatus::AtEnd);
        auto again = in->copy();
        again->open();
        EXPECT_EQ(again->read(buffer, 5), 5);
    }
    auto missing = InputStream::withFileAtPath((dir.path() / "none").string());
    missing->open();
    EXPECT_EQ(missing->streamStatus(), StreamStatus::Error);
    std::uint8_t b;
    EXPECT_EQ(missing->read(&b, 1), -1);
    EXPECT_EQ(missing->streamError()->domain(), kPOSIXErrorDomain);

    auto memory = OutputStream::toMemory();
    EXPECT_EQ(memory->write(data.data(), 1), -1);  // not open
    memory->open();
    memory->write(data.data(), 5);
    const Value written = memory->propertyForKey(kStreamDataWrittenToMemoryStreamKey);
    EXPECT_EQ(written, Value(test::bytesOf("hello")));
    // The property shares the stream's bytes; what is written later does not change a value taken before.
    memory->write(data.data() + 5, 1);
    EXPECT_EQ(written, Value(test::bytesOf("hello")));
    EXPECT_EQ(memory->propertyForKey(kStreamDataWrittenToMemoryStreamKey).bytes().size(), 6u);
    memory->close();
    EXPECT_EQ(memory->write(data.data(), 1), -1);  // closed
    EXPECT_EQ(memory->propertyForKey(kStreamDataWrittenToMemoryStreamKey).bytes().size(), 6u);
}

TEST(HostMap, Lookup) {
    HostMap::clear();
    HostMap::set("svc.example:443", "127.0.0.1", 8443);
    HostMap::set("svc.example:80", "127.0.0.1", 8080);
    HostMap::set("any.example", "127.0.0.1", 0);
    const struct {
        const char* host;
        int port;
        std::optional<HostEndpoint> expected;
    } cases[] = {{"svc.example", 443, HostEndpoint{"127.0.0.1", 8443}},
                 {"SVC.example", 80, HostEndpoint{"127.0.0.1", 8080}},
                 {"svc.example", 81, std::nullopt},
                 {"any.example", 1234, HostEndpoint{"127.0.0.1", 1234}},
                 {"other.example", 80, std::nullopt}};
    for (const auto& c : cases) EXPECT_EQ(HostMap::lookup(c.host, c.port), c.expected) << c.host << ":" << c.port;
    HostMap::clear();
    EXPECT_FALSE(HostMap::lookup("svc.example", 443));
}

TEST(HostMap, EntriesReadFromText) {
    const struct {
        const char* text;
        bool taken;
        std::optional<HostEndpoint> target;  // of "name.example" on port 80 afterwards
    } cases[] = {
        {"name.example=127.0.0.1:8765", true, HostEndpoint{"127.0.0.1", 8765}},
        {"name.example=127.0.0.1:0", true, HostEndpoint{"127.0.0.1", 80}},  // 0 keeps the original port
        {"name.example:80=127.0.0.1:1", true, HostEndpoint{"127.0.0.1", 1}},
        {"name.example=127.0.0.1:65536", false, std::nullopt},
        {"name.example=127.0.0.1:-1", false, std::nullopt},
        {"name.example=127.0.0.1:80x", false, std::nullopt},
        {"name.example=127.0.0.1:", false, std::nullopt},
        {"name.example=:80", false, std::nullopt},
        {"=127.0.0.1:80", false, std::nullopt},
        {"name.example:127.0.0.1=80", false, std::nullopt},
        {"name.example", false, std::nullopt},
    };
    for (const auto& c : cases) {
        HostMap::clear();
        EXPECT_EQ(HostMap::setFromText(c.text), c.taken) << c.text;
        EXPECT_EQ(HostMap::lookup("name.example", 80), c.target) << c.text;
    }
    HostMap::clear();
}

TEST(HostMap, TransfersReachTheMappedPort) {
    auto& server = test::HttpFixture::shared();
    HostMap::set("content.example:80", "127.0.0.1", server.port());
    const auto recorder = test::load(test::requestFor("http://content.example/echo"));
    HostMap::clear();
    EXPECT_EQ(recorder->response ? recorder->response->statusCode() : 0, 200);
    EXPECT_NE(recorder->bodyText().find("Host: content.example\n"), std::string::npos) << recorder->bodyText();
}

}  // namespace
}  // namespace lv
