// The multipart form builder and multipart requests: boundaries, the byte-exact body of a request
// with parameters and parts, file parts and their failures, escaping of names, and an upload to a
// loopback server.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>

#include "http/multipart_form_data.h"
#include "http/request_serializer.h"
#include "http_test_support.h"
#include "platform/net/connection.h"
#include "platform/net/fixtures.h"
#include "platform/text/strings.h"

namespace lv {
namespace {

using test::FixedDevice;

std::string urlOf(const std::optional<URLRequest>& request) {
    return request && request->URL() ? request->URL()->absoluteString() : std::string("(none)");
}

URLRequest plainRequest() { return URLRequest(URL::URLWithString("http://h/upload")); }

std::string boundaryOf(const URLRequest& request) {
    const std::string type = request.valueForHTTPHeaderField("Content-Type").value_or("");
    const std::string prefix = "multipart/form-data; boundary=";
    return type.rfind(prefix, 0) == 0 ? type.substr(prefix.size()) : std::string();
}

TEST(MultipartForm, BoundariesAreRandomAndWellFormed) {
    HCStreamingMultipartFormData first(plainRequest(), StringEncoding::UTF8);
    HCStreamingMultipartFormData second(plainRequest(), StringEncoding::UTF8);
    EXPECT_NE(first.boundary(), second.boundary());
    for (const auto* form : {&first, &second}) {
        EXPECT_TRUE(std::regex_match(form->boundary(), std::regex("Boundary\\+[0-9A-F]{16}"))) << form->boundary();
    }
}

// Parameters become form fields in flattened order (data as is, null empty, others as text), then the
// block's parts; the whole body and its Content-Length, worked out by hand.
TEST(MultipartForm, RequestBodyIsExactWithParametersAndParts) {
    FixedDevice device;
    auto serializer = HCHTTPRequestSerializer::serializer();
    serializer->setTimeoutInterval(9);
    const Value params = Value::dictionary({{"b", Value::dictionary({{"x", Value::array({1, "two"})}})},
                                            {"a", "q r"},
                                            {"n", Value::null()},
                                            {"d", Value::data(std::string_view("\x00\xff", 2))}});
    auto request = serializer->multipartFormRequestWithMethod("POST", "http://h/upload?v=1", params, [](HCMultipartFormData& form) {
        EXPECT_TRUE(form.appendPartWithFileData(test::bytes("hello"), "file", "a.txt", "text/plain"));
    });
    ASSERT_TRUE(request);
    const std::string B = boundaryOf(*request);
    ASSERT_EQ(B.size(), 25u);
    const std::string expected =
        "--" + B + "\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nq r" +
        "\r\n--" + B + "\r\nContent-Disposition: form-data; name=\"b[x][]\"\r\n\r\n1" +
        "\r\n--" + B + "\r\nContent-Disposition: form-data; name=\"b[x][]\"\r\n\r\ntwo" +
        "\r\n--" + B + "\r\nContent-Disposition: form-data; name=\"d\"\r\n\r\n" + std::string("\x00\xff", 2) +
        "\r\n--" + B + "\r\nContent-Disposition: form-data; name=\"n\"\r\n\r\n" +
        "\r\n--" + B + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"a.txt\"\r\nContent-Type: text/plain\r\n\r\nhello" +
        "\r\n--" + B + "--\r\n";
    EXPECT_EQ(request->valueForHTTPHeaderField("Content-Length"), std::to_string(expected.size()));
    EXPECT_EQ(test::readAll(*request->HTTPBodyStream()), expected);
    EXPECT_EQ(urlOf(request), "http://h/upload?v=1");
    EXPECT_EQ(request->timeoutInterval(), 9);
    EXPECT_EQ(request->valueForHTTPHeaderField("User-Agent"), "Lunavexa/1.2 (iPhone; iOS 7.1; Scale/2.00)");
}

TEST(MultipartForm, NoPartsLeavesTheRequestAlone) {
    FixedDevice device;
    auto request = HCHTTPRequestSerializer::serializer()->multipartFormRequestWithMethod("POST", "http://h/", Value(), nullptr);
    ASSERT_TRUE(request);
    EXPECT_FALSE(request->HTTPBodyStream());
    EXPECT_FALSE(request->valueForHTTPHeaderField("Content-Type"));
    EXPECT_FALSE(request->valueForHTTPHeaderField("Content-Length"));
}

TEST(MultipartForm, FilePartsTakeNameTypeAndSizeFromTheFile) {
    test::TempDir dir;
    std::ofstream(dir.file("photo.JPG"), std::ios::binary) << "jpeg!";
    std::ofstream(dir.file("notes.unknownext"), std::ios::binary) << "??";
    HCStreamingMultipartFormData form(plainRequest(), StringEncoding::UTF8);
    ASSERT_TRUE(form.appendPartWithFileURL(URL::fileURLWithPath(dir.file("photo.JPG")), "pic", nullptr));
    ASSERT_TRUE(form.appendPartWithFileURL(URL::fileURLWithPath(dir.file("notes.unknownext")), "doc", nullptr));
    const auto& parts = form.bodyStream()->HTTPBodyParts();
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0]->headers().value("Content-Disposition"), "form-data; name=\"pic\"; filename=\"photo.JPG\"");
    EXPECT_EQ(parts[0]->headers().value("Content-Type"), "image/jpeg");
    EXPECT_EQ(parts[0]->bodyContentLength(), 5u);
    EXPECT_EQ(parts[1]->headers().value("Content-Type"), "application/octet-stream");
    const URLRequest request = form.requestByFinalizingMultipartFormData();
    EXPECT_NE(test::readAll(*request.HTTPBodyStream()).find("jpeg!"), std::string::npos);

    const std::pair<const char*, const char*> types[] = {
        {"png", "image/png"}, {"json", "application/json"}, {"txt", "text/plain"}, {"mp4", "video/mp4"},
        {"Gif", "image/gif"}, {"", "application/octet-stream"}, {"weird", "application/octet-stream"}};
    for (const auto& [extension, type] : types) EXPECT_EQ(mimeTypeForPathExtension(extension), type) << extension;
}

TEST(MultipartForm, FileAppendFailuresAddNothing) {
    test::TempDir dir;
    HCStreamingMultipartFormData form(plainRequest(), StringEncoding::UTF8);
    struct Case {
        Ref<URL> url;
        const char* reason;
    };
    const Case cases[] = {
        {URL::URLWithString("http://h/file.txt"), "Expected URL to be a file URL"},
        {nullptr, "Expected URL to be a file URL"},
        {URL::fileURLWithPath(dir.file("missing.txt")), "File URL not reachable."},
    };
    for (const auto& c : cases) {
        Ref<Error> error;
        EXPECT_FALSE(form.appendPartWithFileURL(c.url, "f", &error));
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain(), kURLRequestSerializationErrorDomain);
        EXPECT_EQ(error->code(), -1000);
        EXPECT_EQ(error->localizedFailureReason(), c.reason);
        EXPECT_FALSE(form.appendPartWithFileURL(c.url, "f", nullptr));
    }
    EXPECT_TRUE(form.bodyStream()->isEmpty());
    EXPECT_FALSE(form.requestByFinalizingMultipartFormData().HTTPBodyStream());
}

// Quotes, CR and LF cannot close the quoted name or start a header line of their own.
TEST(MultipartForm, NamesAreEscapedAndLineBreaksInHeaderValuesRefused) {
    HCStreamingMultipartFormData form(plainRequest(), StringEncoding::UTF8);
    ASSERT_TRUE(form.appendPartWithFormData(test::bytes("v"), "a\"b\r\nX-Injected: 1"));
    ASSERT_TRUE(form.appendPartWithFileData(test::bytes("v"), "f", "evil\".txt\n", "text/plain"));
    const auto& parts = form.bodyStream()->HTTPBodyParts();
    EXPECT_EQ(parts[0]->headers().value("Content-Disposition"), "form-data; name=\"a%22b%0D%0AX-Injected: 1\"");
    EXPECT_EQ(parts[1]->headers().value("Content-Disposition"), "form-data; name=\"f\"; filename=\"evil%22.txt%0A\"");

    HTTPHeaders injected;
    injected.set("X-Note", "ok\r\nX-Injected: 1");
    EXPECT_FALSE(form.appendPartWithHeaders(injected, test::bytes("v")));
    EXPECT_FALSE(form.appendPartWithFileData(test::bytes("v"), "f", "a.txt", "text/plain\r\nX-Injected: 1"));
    EXPECT_FALSE(form.appendPartWithInputStream(InputStream::withData(test::bytes("v")), "f", "a", 1, "a\nb"));
    test::TempDir dir;
    std::ofstream(dir.file("a.txt")) << "a";
    Ref<Error> error;
    EXPECT_FALSE(form.appendPartWithFileURL(URL::fileURLWithPath(dir.file("a.txt")), "f", "a.txt", "x\ry", &error));
    EXPECT_EQ(error->code(), -1000);
    EXPECT_EQ(parts.size(), 2u);
    const std::string body = test::readAll(*form.requestByFinalizingMultipartFormData().HTTPBodyStream());
    EXPECT_EQ(body.find("\r\nX-Injected"), std::string::npos);
}

TEST(MultipartForm, FinalizingAgainCountsThePartsPresentThen) {
    HCStreamingMultipartFormData form(plainRequest(), StringEncoding::UTF8);
    form.appendPartWithFormData(test::bytes("1"), "a");
    const URLRequest first = form.requestByFinalizingMultipartFormData();
    form.appendPartWithInputStream(InputStream::withData(test::bytes("22")), "b", "b.bin", 2, "application/x-b");
    form.throttleBandwidthWithPacketSize(10, 0.001);
    const URLRequest second = form.requestByFinalizingMultipartFormData();
    const auto& parts = form.bodyStream()->HTTPBodyParts();
    EXPECT_FALSE(parts[0]->hasFinalBoundary());
    EXPECT_TRUE(parts[1]->hasFinalBoundary());
    const std::string B = form.boundary();
    const std::string alone = "--" + B + "\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n--" + B + "--\r\n";
    EXPECT_EQ(first.valueForHTTPHeaderField("Content-Length"), std::to_string(alone.size()));
    const std::string body = test::readAll(*second.HTTPBodyStream());
    EXPECT_EQ(second.valueForHTTPHeaderField("Content-Length"), std::to_string(body.size()));
    EXPECT_EQ(form.bodyStream()->numberOfBytesInPacket(), 10u);
    EXPECT_EQ(form.bodyStream()->delay(), 0.001);
}

// The server reads exactly Content-Length bytes and gets the bytes the stream produced.
TEST(MultipartForm, UploadReachesALoopbackServerWhole) {
    FixedDevice device;
    auto& server = test::HttpFixture::shared();
    auto serializer = HCHTTPRequestSerializer::serializer();
    const std::string big(70000, 'b');
    auto build = [&] {
        auto request = serializer->multipartFormRequestWithMethod("POST", server.url("/echo"), Value::dictionary({{"a", "1"}}),
                                                                  [&](HCMultipartFormData& form) {
                                                                      form.appendPartWithFileData(test::bytes(big), "big", "big.bin", "application/octet-stream");
                                                                  });
        // The echo route shows raw bytes only for a type it does not parse.
        request->setValue("application/octet-stream", "Content-Type");
        return *request;
    };
    URLRequest request = build();
    const std::string expected = test::readAll(*request.HTTPBodyStream()->copy());
    Ref<Error> error;
    auto reply = URLConnection::sendSynchronousRequest(request, nullptr, &error);
    ASSERT_TRUE(reply) << (error ? error->description() : "");
    const std::string echoed = test::text(*reply);
    const auto blank = echoed.find("\n\n");
    ASSERT_NE(blank, std::string::npos);
    EXPECT_EQ(echoed.substr(blank + 2), expected);
    EXPECT_NE(echoed.find("Content-Length: " + std::to_string(expected.size()) + "\n"), std::string::npos);
}

// A part whose file is gone by upload time fails the upload with the file's error.
TEST(MultipartForm, UploadWithAFailingPartFails) {
    FixedDevice device;
    test::TempDir dir;
    std::ofstream(dir.file("gone.txt")) << std::string(1000, 'g');
    auto request = HCHTTPRequestSerializer::serializer()->multipartFormRequestWithMethod(
        "POST", test::HttpFixture::shared().url("/echo"), Value::dictionary({{"a", "1"}}), [&](HCMultipartFormData& form) {
            form.appendPartWithFileURL(URL::fileURLWithPath(dir.file("gone.txt")), "f", nullptr);
        });
    std::filesystem::remove(dir.file("gone.txt"));
    Ref<Error> error;
    EXPECT_FALSE(URLConnection::sendSynchronousRequest(*request, nullptr, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), kPOSIXErrorDomain);
    EXPECT_EQ(error->code(), ENOENT);
}

}  // namespace
}  // namespace lv
