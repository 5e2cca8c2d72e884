// Loopback servers for the URL loading tests and benchmark: an HTTP server with fixed routes, and a
// raw socket server for replies an HTTP server library cannot produce. Both listen on 127.0.0.1 only.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace lv::test {

// The text compressed by zlib with the given window bits (16 + 15: gzip; 15: zlib; -15: raw deflate).
std::string compressed(const std::string& text, int windowBits, int level = -1);
// The text compressed in the gzip format (the most compact form zlib makes).
std::string gzip(const std::string& text);

// Routes:
//   /echo                     "METHOD target\n" + "Name: value\n" per request field + "\n" + body
//   /multipart                POST: "name=content\n" per form-data part, sorted by name
//   /status/<n>               status n, body "status <n>"
//   /bytes/<n>?chunk=&delay_ms=  n bytes (byte i = i % 251) with Content-Length, written in chunks
//   /redirect/<code>?to=<path>   <code> with Location <path> (default /echo)
//   /chain/<n>                n redirects (302) before /echo
//   /loop                     302 to itself
//   /basic-auth               200 "authenticated" for user:pass, else 401 with a Basic challenge
//   /digest-auth              the same with a Digest challenge (realm "fixture", qop auth)
//   /range                    a 1000-byte body with an ETag; Range requests answered with 206
//   /resumable/<mode>         300 000 bytes with an ETag, chunked, slowly; Range answered by mode
//                             (206 from N, 200 whole, 416, bad206: a 206 from 0)
//   /cookie/set?name=value    sets the cookie; /cookie/show echoes the Cookie field
//   /cache/max-age/<n>        Cache-Control: max-age=<n>; body is a count of hits
//   /gzip                     a gzip-encoded text body; /bad-gzip claims gzip for plain text
//   /sleep/<ms>               answers after min(ms, 2000) ms
//   /page/<charset>           "café" as text/html in that charset (Latin-1 or UTF-8 bytes)
class HttpFixture {
public:
    HttpFixture();
    ~HttpFixture();
    // One server for the whole process, never stopped (stopping waits for kept-alive connections).
    static HttpFixture& shared();
    HttpFixture(const HttpFixture&) = delete;
    HttpFixture& operator=(const HttpFixture&) = delete;
    int port() const { return port_; }
    std::string url(const std::string& path) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    int port_ = 0;
};

// A raw socket server: each connection, its request head read, goes to a handler on a thread of its
// own, which writes the reply and closes the socket. The modes give every connection the same
// misbehaviour.
class RawFixture {
public:
    enum class Mode {
        CloseMidBody,     // Content-Length 1000, 10 bytes, then close
        MalformedStatus,  // a status line that is not HTTP
        ShortBody,        // Content-Length 100, 10 bytes, then close
        NeverAnswer,      // reads the request and stays silent until the fixture ends
    };
    using Handler = std::function<void(int fd, const std::string& head)>;
    explicit RawFixture(Mode mode);
    explicit RawFixture(Handler handler);
    ~RawFixture();
    RawFixture(const RawFixture&) = delete;
    RawFixture& operator=(const RawFixture&) = delete;
    int port() const { return port_; }
    std::string url(const std::string& path) const;

private:
    void serve();
    Handler handler_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::vector<std::thread> workers_;  // the serving thread's, joined after it
    std::mutex mutex_;
    std::vector<int> silent_;
};

// Writes every byte to the socket, stopping early only when the peer has gone.
void writeAll(int fd, std::string_view bytes);

// The test pattern byte at offset i.
inline unsigned char patternByte(std::size_t i) { return static_cast<unsigned char>(i % 251); }

}  // namespace lv::test
