// The multipart form builder and multipart requests: the byte-exact body of a request with parameters
// and parts, file parts and their failures, escaped names, and uploads to a loopback server.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <future>

#include "http/request_serializer.h"
#include "http_test_support.h"
#include "platform/net/connection.h"

namespace lv {
namespace {

using test::FixedDevice;

// Parameters become form fields in flattened order (data as is, null empty, others as text), then the
// block's parts; the whole body and its Content-Length, worked out by hand.
TEST(MultipartForm, RequestBodyIsExactWithParametersAndParts) {
    FixedDevice device;
    auto serializer = HCHTTPRequestSerializer::serializer();
    const Value params = Value::dictionary({{"b", Value::dictionary({{"x", Value::array({1, "two"})}})}, {"a", "q r"},
                                            {"n", Value::null()}, {"d", Value::data(std::string_view("\x00\xff", 2))}});
    auto build = [&] {
        return serializer->multipartFormRequestWithMethod("POST", "http://h/up", params, [](HCMultipartFormData& form) {
            EXPECT_TRUE(form.appendPartWithFileData(test::bytes("hello"), "file", "a.txt", "text/plain"));
        });
    };
    auto request = build();
    const std::string type = request->valueForHTTPHeaderField("Content-Type").value_or("");
    const std::string B = type.substr(type.find('=') + 1);
    EXPECT_EQ(type, "multipart/form-data; boundary=" + B);
    EXPECT_EQ(std::pair(B.size(), B.substr(0, 9)), std::pair(std::size_t{25}, std::string("Boundary+")));
    EXPECT_EQ(B.find_first_not_of("0123456789ABCDEF", 9), std::string::npos) << B;
    EXPECT_NE(type, build()->valueForHTTPHeaderField("Content-Type"));  // a new random boundary each time
    const std::string D = "\r\nContent-Disposition: form-data; name=";
    const std::string expected = "--" + B + D + "\"a\"\r\n\r\nq r" + "\r\n--" + B + D + "\"b[x][]\"\r\n\r\n1" +
                                 "\r\n--" + B + D + "\"b[x][]\"\r\n\r\ntwo" + "\r\n--" + B + D + "\"d\"\r\n\r\n" +
                                 std::string("\x00\xff", 2) + "\r\n--" + B + D + "\"n\"\r\n\r\n" + "\r\n--" + B + D +
                                 "\"file\"; filename=\"a.txt\"\r\nContent-Type: text/plain\r\n\r\nhello" + "\r\n--" + B + "--\r\n";
    EXPECT_EQ(request->valueForHTTPHeaderField("Content-Length"), std::to_string(expected.size()));
    EXPECT_EQ(test::readAll(*request->HTTPBodyStream()), expected);

    auto empty = serializer->multipartFormRequestWithMethod("POST", "http://h/", Value(), nullptr);
    EXPECT_TRUE(empty && !empty->HTTPBodyStream() && !empty->valueForHTTPHeaderField("Content-Type") &&
                !empty->valueForHTTPHeaderField("Content-Length"));
}

TEST(MultipartForm, FilePartsAndTheirFailures) {
    test::TempDir dir;
    std::ofstream(dir.file("photo.JPG"), std::ios::binary) << "jpeg!";
    std::ofstream(dir.file("notes.unknownext"), std::ios::binary) << "??";
    HCStreamingMultipartFormData form(URLRequest(URL::URLWithString("http://h/")), StringEncoding::UTF8);
    const std::pair<Ref<URL>, const char*> failures[] = {{URL::URLWithString("http://h/file.txt"), "Expected URL to be a file URL"},
                                                         {URL::fileURLWithPath(dir.file("missing.txt")), "File URL not reachable."}};
    for (const auto& [url, reason] : failures) {
        Ref<Error> error;
        EXPECT_FALSE(form.appendPartWithFileURL(url, "f", &error));
        EXPECT_EQ(error ? std::tuple(error->domain(), error->code(), error->localizedFailureReason()) : std::tuple(std::string(), std::int64_t{0}, std::string()),
                  std::tuple(std::string(kURLRequestSerializationErrorDomain), std::int64_t{-1000}, std::string(reason)));
    }
    EXPECT_TRUE(form.bodyStream()->isEmpty());
    ASSERT_TRUE(form.appendPartWithFileURL(URL::fileURLWithPath(dir.file("photo.JPG")), "pic", nullptr));
    ASSERT_TRUE(form.appendPartWithFileURL(URL::fileURLWithPath(dir.file("notes.unknownext")), "doc", nullptr));
    const auto& parts = form.bodyStream()->HTTPBodyParts();
    EXPECT_EQ(parts[0]->headers().value("Content-Disposition"), "form-data; name=\"pic\"; filename=\"photo.JPG\"");
    EXPECT_EQ(std::pair(parts[0]->headers().value("Content-Type"), parts[0]->bodyContentLength()),
              std::pair(std::optional<std::string>("image/jpeg"), std::uint64_t{5}));
    EXPECT_EQ(parts[1]->headers().value("Content-Type"), "application/octet-stream");
}

// Quotes, CR and LF cannot close the quoted name or start a header line of their own.
TEST(MultipartForm, NamesAreEscapedAndLineBreaksInHeaderValuesRefused) {
    HCStreamingMultipartFormData form(URLRequest(URL::URLWithString("http://h/")), StringEncoding::UTF8);
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
    EXPECT_EQ(parts.size(), 2u);
}

// Takes one request on 127.0.0.1: reads the head and up to Content-Length body bytes (less when the
// client gives up), answers 200 with no body, and ends.
class OneRequestServer {
public:
    OneRequestServer() {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), size);
        ::listen(listener_, 1);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
        port_ = ntohs(address.sin_port);
        received_ = std::async(std::launch::async, [this] { return serve(); });
    }
    ~OneRequestServer() { ::close(listener_); }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/upload"; }
    // The head (up to the blank line) and the body bytes received.
    std::pair<std::string, std::string> received() { return received_.get(); }

private:
    std::pair<std::string, std::string> serve() {
        const int connection = ::accept(listener_, nullptr, nullptr);
        std::string data;
        char buffer[65536];
        std::size_t headEnd = std::string::npos, length = 0;
        for (long n; (n = ::read(connection, buffer, sizeof buffer)) > 0;) {
            data.append(buffer, static_cast<std::size_t>(n));
            if (headEnd == std::string::npos && (headEnd = data.find("\r\n\r\n")) != std::string::npos) {
                const auto at = data.find("Content-Length: ");
                length = at < headEnd ? std::stoul(data.substr(at + 16)) : 0;
            }
            if (headEnd != std::string::npos && data.size() >= headEnd + 4 + length) break;
        }
        const std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        (void)!::write(connection, reply.data(), reply.size());
        ::close(connection);
        if (headEnd == std::string::npos) return {data, ""};
        return {data.substr(0, headEnd), data.substr(headEnd + 4)};
    }

    int listener_ = -1;
    int port_ = 0;
    std::future<std::pair<std::string, std::string>> received_;
};

// The server reads exactly Content-Length bytes and gets what the stream produced; a part whose file
// is gone by upload time fails the upload with the file's error.
TEST(MultipartForm, UploadsToALoopbackServer) {
    FixedDevice device;
    test::TempDir dir;
    std::ofstream(dir.file("gone.txt")) << "g";
    auto upload = [&](const std::string& url, bool withFile) {
        return *HCHTTPRequestSerializer::serializer()->multipartFormRequestWithMethod(
            "POST", url, Value::dictionary({{"a", "1"}}), [&](HCMultipartFormData& form) {
                form.appendPartWithFileData(Bytes(70000, 'b'), "big", "big.bin", "application/octet-stream");
                if (withFile) form.appendPartWithFileURL(URL::fileURLWithPath(dir.file("gone.txt")), "f", nullptr);
            });
    };
    OneRequestServer server;
    const URLRequest whole = upload(server.url(), false);
    const std::string expected = test::readAll(*whole.HTTPBodyStream()->copy());
    Ref<Error> error;
    EXPECT_TRUE(URLConnection::sendSynchronousRequest(whole, nullptr, &error)) << error->description();
    const auto [head, body] = server.received();
    EXPECT_EQ(body, expected);
    EXPECT_NE((head + "\r\n").find("\r\nContent-Length: " + std::to_string(expected.size()) + "\r\n"), std::string::npos);

    OneRequestServer second;
    const URLRequest broken = upload(second.url(), true);
    std::filesystem::remove(dir.file("gone.txt"));
    EXPECT_FALSE(URLConnection::sendSynchronousRequest(broken, nullptr, &error));
    EXPECT_EQ(error ? error->code() : 0, ENOENT);
    EXPECT_LT(second.received().second.size(), std::stoull(broken.valueForHTTPHeaderField("Content-Length").value_or("0")));
}

}  // namespace
}  // namespace lv
