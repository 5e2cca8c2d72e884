#include "operation_server.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <sstream>

namespace lv::test {

namespace {

std::string pattern(std::size_t from, std::size_t to) {
    std::string out;
    for (std::size_t i = from; i < to; ++i) out.push_back(static_cast<char>(patternByte(i)));
    return out;
}

std::string reply(int status, const std::string& reason, const std::string& fields, const std::string& body) {
    return "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\nConnection: close\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n" + fields + "\r\n" + body;
}

}  // namespace

OperationServer::OperationServer() : raw_([this](int fd, const std::string& head) { answer(fd, head); }) {}

void OperationServer::release() {
    std::lock_guard guard(mutex_);
    isReleased_ = true;
    released_.notify_all();
}

std::map<std::string, std::string> OperationServer::lastFields(const std::string& path) {
    std::lock_guard guard(mutex_);
    return fields_[path];
}

void OperationServer::answer(int fd, const std::string& head) {
    std::istringstream lines(head);
    std::string method, target, line;
    lines >> method >> target;
    std::getline(lines, line);
    std::map<std::string, std::string> fields;
    while (std::getline(lines, line) && line != "\r") {
        const auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string name = line.substr(0, colon);
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char ch) { return std::tolower(ch); });
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(' '));
        if (!value.empty() && value.back() == '\r') value.pop_back();
        fields[name] = value;
    }
    const std::string path = target.substr(0, target.find('?'));
    const std::string query = target.find('?') == std::string::npos ? "" : target.substr(target.find('?') + 1);
    {
        std::lock_guard guard(mutex_);
        fields_[path] = fields;
    }
    if (path.rfind("/json/", 0) == 0) {
        const std::string status = path.substr(6);
        writeAll(fd, reply(std::stoi(status), "Status", "Content-Type: application/json\r\n",
                           "{\"status\":" + status + "}"));
    } else if (path == "/text") {
        const std::string charset = query.substr(query.find('=') + 1);
        writeAll(fd, reply(200, "OK", "Content-Type: text/plain" + (charset.empty() ? "" : "; charset=" + charset) + "\r\n",
                           "caf\xe9"));
    } else if (path == "/resumable") {
        const std::string mode = query.substr(query.find('=') + 1);
        const std::string etag = "ETag: \"resumable\"\r\nContent-Type: application/octet-stream\r\n";
        const auto range = fields.find("range");
        if (range == fields.end()) {
            const std::string whole = reply(200, "OK", etag, pattern(0, kResumableLength));
            const std::size_t firstHalf = whole.size() - kResumableLength / 2;
            writeAll(fd, whole.substr(0, firstHalf));
            std::unique_lock lock(mutex_);
            released_.wait_for(lock, std::chrono::seconds(10), [this] { return isReleased_; });
            lock.unlock();
            writeAll(fd, whole.substr(firstHalf));
        } else {
            const std::size_t from = std::stoul(range->second.substr(6));
            if (mode == "range") {
                writeAll(fd, reply(206, "Partial Content",
                                   etag + "Content-Range: bytes " + std::to_string(from) + "-1999/2000\r\n",
                                   pattern(from, kResumableLength)));
            } else if (mode == "wrong") {
                writeAll(fd, reply(206, "Partial Content", etag + "Content-Range: bytes 0-1999/2000\r\n",
                                   pattern(0, kResumableLength)));
            } else if (mode == "refuse") {
                writeAll(fd, reply(416, "Range Not Satisfiable", "Content-Range: bytes */2000\r\n", ""));
            } else {
                writeAll(fd, reply(200, "OK", etag, pattern(0, kResumableLength)));
            }
        }
    }
    ::shutdown(fd, SHUT_WR);
    ::close(fd);
}

}  // namespace lv::test
