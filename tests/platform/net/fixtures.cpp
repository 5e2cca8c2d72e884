// Loopback servers.
#include "fixtures.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <httplib.h>

#include <chrono>
#include <map>
#include <cstring>

namespace lv::test {

void writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0) return;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

std::string compressed(const std::string& text, int windowBits, int level) {
    z_stream z{};
    deflateInit2(&z, level, Z_DEFLATED, windowBits, 9, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, text.size()) + 32, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    z.avail_in = static_cast<uInt>(text.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

std::string gzip(const std::string& text) { return compressed(text, 16 + MAX_WBITS, Z_BEST_COMPRESSION); }

namespace {

std::string md5Hex(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr);
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < length; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 15];
    }
    return out;
}

// The name="value" (or name=value) parameters of a Digest authorization field.
std::map<std::string, std::string> digestParameters(std::string_view text) {
    std::map<std::string, std::string> out;
    while (!text.empty()) {
        while (!text.empty() && (text[0] == ' ' || text[0] == ',')) text.remove_prefix(1);
        const auto eq = text.find('=');
        if (eq == std::string_view::npos) break;
        const std::string name(text.substr(0, eq));
        text.remove_prefix(eq + 1);
        std::size_t end;
        if (!text.empty() && text[0] == '"') {
            end = text.find('"', 1);
            out[name] = std::string(text.substr(1, end - 1));
            text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        } else {
            end = text.find(',');
            out[name] = std::string(text.substr(0, end));
            text.remove_prefix(end == std::string_view::npos ? text.size() : end);
        }
    }
    return out;
}

std::string echo(const httplib::Request& req) {
    std::string target = req.path;
    if (!req.params.empty()) {
        std::string query;
        for (const auto& [k, v] : req.params) query += (query.empty() ? "" : "&") + k + "=" + v;
        target += "?" + query;
    }
    std::string out = req.method + " " + target + "\n";
    for (const auto& [name, value] : req.headers) {
        if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" || name == "LOCAL_PORT") continue;
        out += name + ": " + value + "\n";
    }
    return out + "\n" + req.body;
}

}  // namespace

struct HttpFixture::Impl {
    httplib::Server server;
    std::thread thread;
    std::atomic<int> cacheHits{0};
};

HttpFixture::HttpFixture() : impl_(std::make_unique<Impl>()) {
    auto& s = impl_->server;
    s.set_keep_alive_max_count(1000000);
    s.set_keep_alive_timeout(1);
    s.set_tcp_nodelay(true);
    const auto echoHandler = [](const httplib::Request& req, httplib::Response& res) {
        res.set_content(echo(req), "text/plain");
    };
    s.Get("/echo", echoHandler);
    s.Post("/echo", echoHandler);
    s.Put("/echo", echoHandler);
    s.Delete("/echo", echoHandler);
    s.Options("/echo", echoHandler);
    s.Patch("/echo", echoHandler);
    // A multipart/form-data body parsed by the server library: "name=content\n" per part, by name.
    s.Post("/multipart", [](const httplib::Request& req, httplib::Response& res) {
        std::string out;
        for (const auto& [name, part] : req.files) out += name + "=" + part.content + "\n";
        res.set_content(out, "text/plain");
    });
    s.set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
        // Methods the library has no route kind for still reach the echo.
        if (req.path == "/echo" && req.method == "HEAD") {
            res.set_content(echo(req), "text/plain");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    s.Get(R"(/status/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
        res.status = std::stoi(req.matches[1]);
        res.set_content("status " + std::string(req.matches[1]), "text/plain");
    });
    s.Get(R"(/bytes/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
        const std::size_t total = std::stoul(req.matches[1]);
        const std::size_t chunk = req.has_param("chunk") ? std::stoul(req.get_param_value("chunk")) : 65536;
        const int delay = req.has_param("delay_ms") ? std::stoi(req.get_param_value("delay_ms")) : 0;
        res.set_content_provider(total, "application/octet-stream",
                                 [chunk, delay, total](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                     if (delay > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
                                     std::string piece(std::min(chunk, total - offset), '\0');
                                     for (std::size_t i = 0; i < piece.size(); ++i) {
                                         piece[i] = static_cast<char>(patternByte(offset + i));
                                     }
                                     return sink.write(piece.data(), piece.size());
                                 });
    });
    const auto redirect = [](const httplib::Request& req, httplib::Response& res) {
        res.status = std::stoi(req.matches[1]);
        res.set_header("Location", req.has_param("to") ? req.get_param_value("to") : "/echo");
        res.set_content("redirecting", "text/plain");
    };
    s.Get(R"(/redirect/(\d+))", redirect);
    s.Post(R"(/redirect/(\d+))", redirect);
    s.Put(R"(/redirect/(\d+))", redirect);
    s.Get(R"(/chain/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
        const int left = std::stoi(req.matches[1]);
        res.status = 302;
        res.set_header("Location", left <= 1 ? "/echo" : "/chain/" + std::to_string(left - 1));
    });
    // "café" as an HTML page in the named charset (Latin-1 bytes for "iso-8859-1", else UTF-8).
    s.Get(R"(/page/([\w.-]+))", [](const httplib::Request& req, httplib::Response& res) {
        const std::string charset = req.matches[1];
        res.set_content(charset == "iso-8859-1" ? "caf\xE9" : "caf\xC3\xA9", "text/html; charset=" + charset);
    });
    s.Get("/loop", [](const httplib::Request&, httplib::Response& res) {
        res.status = 302;
        res.set_header("Location", "/loop");
    });
    s.Get("/basic-auth", [](const httplib::Request& req, httplib::Response& res) {
        if (req.get_header_value("Authorization") == "Basic dXNlcjpwYXNz") {  // user:pass
            res.set_content("authenticated", "text/plain");
            return;
        }
        res.status = 401;
        res.set_header("WWW-Authenticate", "Basic realm=\"fixture\"");
        res.set_content("denied", "text/plain");
    });
    s.Get("/digest-auth", [](const httplib::Request& req, httplib::Response& res) {
        const std::string field = req.get_header_value("Authorization");
        if (field.rfind("Digest ", 0) == 0) {
            auto p = digestParameters(std::string_view(field).substr(7));
            const std::string ha1 = md5Hex("user:fixture:pass");
            const std::string ha2 = md5Hex(req.method + ":" + p["uri"]);
            const std::string expected =
                md5Hex(ha1 + ":" + p["nonce"] + ":" + p["nc"] + ":" + p["cnonce"] + ":" + p["qop"] + ":" + ha2);
            if (p["username"] == "user" && p["nonce"] == "fixture-nonce" && p["response"] == expected) {
                res.set_content("authenticated", "text/plain");
                return;
            }
        }
        res.status = 401;
        res.set_header("WWW-Authenticate", "Digest realm=\"fixture\", nonce=\"fixture-nonce\", qop=\"auth\"");
        res.set_content("denied", "text/plain");
    });
    s.Get("/range", [](const httplib::Request&, httplib::Response& res) {
        std::string body(1000, '\0');
        for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(patternByte(i));
        res.set_header("ETag", "\"fixture-range\"");
        res.set_content(body, "application/octet-stream");
    });
    // A 300 000-byte pattern body with an ETag, written in 16 KiB pieces 2 ms apart. A "Range: bytes=N-"
    // request gets, by mode: 206 from N, 200 with the whole body, 416, or a 206 from 0 ("bad206").
    s.Get(R"(/resumable/(\w+))", [](const httplib::Request& req, httplib::Response& res) {
        constexpr std::size_t total = 300000;
        const std::string mode = req.matches[1];
        std::size_t from = 0;
        res.status = 200;
        res.set_header("ETag", "\"resumable\"");
        if (const auto range = req.get_header_value("Range"); range.rfind("bytes=", 0) == 0 && mode != "200") {
            if (mode == "416") {
                res.status = 416;
                return;
            }
            from = mode == "bad206" ? 0 : std::stoul(range.substr(6));
            res.status = 206;
            res.set_header("Content-Range", "bytes " + std::to_string(from) + "-" + std::to_string(total - 1) + "/" +
                                                std::to_string(total));
        }
        // Chunked, so that the server library leaves the Range to this route.
        res.set_chunked_content_provider("application/octet-stream", [from](std::size_t offset, httplib::DataSink& sink) {
            if (from + offset >= total) {
                sink.done();
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            std::string piece(std::min<std::size_t>(16384, total - from - offset), '\0');
            for (std::size_t i = 0; i < piece.size(); ++i) piece[i] = static_cast<char>(patternByte(from + offset + i));
            return sink.write(piece.data(), piece.size());
        });
    });
    s.Get("/cookie/set", [](const httplib::Request& req, httplib::Response& res) {
        for (const auto& [k, v] : req.params) res.set_header("Set-Cookie", k + "=" + v + "; Path=/");
        res.set_content("set", "text/plain");
    });
    s.Get("/cookie/show", [](const httplib::Request& req, httplib::Response& res) {
        res.set_content(req.get_header_value("Cookie"), "text/plain");
    });
    s.Get(R"(/cache/max-age/(\d+))", [impl = impl_.get()](const httplib::Request& req, httplib::Response& res) {
        res.set_header("Cache-Control", "max-age=" + std::string(req.matches[1]));
        res.set_content("hit " + std::to_string(++impl->cacheHits), "text/plain");
    });
    s.Get("/gzip", [](const httplib::Request&, httplib::Response& res) {
        res.set_header("Content-Encoding", "gzip");
        res.set_content(gzip(std::string(2000, 'z') + "end"), "text/plain");
    });
    s.Get("/bad-gzip", [](const httplib::Request&, httplib::Response& res) {
        res.set_header("Content-Encoding", "gzip");
        res.set_content("this is not gzip at all", "text/plain");
    });
    s.Get(R"(/sleep/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(std::stoi(req.matches[1]), 2000)));
        res.set_content("awake", "text/plain");
    });
    port_ = s.bind_to_any_port("127.0.0.1");
    impl_->thread = std::thread([this] { impl_->server.listen_after_bind(); });
    while (!impl_->server.is_running()) std::this_thread::yield();
}

HttpFixture& HttpFixture::shared() {
    static auto* server = new HttpFixture;
    return *server;
}

HttpFixture::~HttpFixture() {
    impl_->server.stop();
    impl_->thread.join();
}

std::string HttpFixture::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

RawFixture::RawFixture(Mode mode)
    : RawFixture([this, mode](int fd, const std::string&) {
          const char* reply = "";
          switch (mode) {
              case Mode::CloseMidBody:
                  reply = "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\nContent-Type: text/plain\r\n\r\n0123456789";
                  break;
              case Mode::MalformedStatus:
                  reply = "HTTP/1.1 abc what\r\n\r\nbody";
                  break;
              case Mode::ShortBody:
                  reply = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n0123456789";
                  break;
              case Mode::NeverAnswer: {
                  std::lock_guard guard(mutex_);
                  silent_.push_back(fd);
                  return;
              }
          }
          (void)!::write(fd, reply, std::strlen(reply));
          ::close(fd);
      }) {}

RawFixture::RawFixture(Handler handler) : handler_(std::move(handler)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(listener_, 16);
    socklen_t len = sizeof addr;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { serve(); });
}

RawFixture::~RawFixture() {
    stop_ = true;
    thread_.join();
    for (auto& worker : workers_) worker.join();
    for (const int fd : silent_) ::close(fd);
    ::close(listener_);
}

std::string RawFixture::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void RawFixture::serve() {
    while (!stop_) {
        pollfd p{listener_, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        const int fd = ::accept(listener_, nullptr, nullptr);
        if (fd < 0) continue;
        workers_.emplace_back([this, fd] {
            std::string head;
            char buffer[4096];
            while (head.find("\r\n\r\n") == std::string::npos) {
                pollfd c{fd, POLLIN, 0};
                if (::poll(&c, 1, 2000) <= 0) break;
                const ssize_t n = ::read(fd, buffer, sizeof buffer);
                if (n <= 0) break;
                head.append(buffer, static_cast<std::size_t>(n));
            }
            handler_(fd, head);
        });
    }
}

}  // namespace lv::test
