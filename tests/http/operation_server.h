// A loopback server (127.0.0.1) for the operation tests, answering what the shared HTTP fixture does
// not: JSON replies with any status, text in a chosen charset, and a 2000-byte resumable body that
// holds back its second half until released, answering Range requests in one of several ways.
#pragma once

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>

#include "platform/net/fixtures.h"

namespace lv::test {

// Routes (one request per connection):
//   /json/<status>            status with the body {"status":<status>} as application/json
//   /text?charset=<name>      "caf\xe9" with "text/plain; charset=<name>" (no charset when empty)
//   /resumable?mode=<mode>    ETag "\"resumable\""; without Range: 2000 pattern bytes, the last 1000
//                             sent only after release(). With "Range: bytes=N-": mode "range" 206 with
//                             Content-Range "bytes N-1999/2000"; "ignore" 200 with the whole body;
//                             "wrong" 206 starting at 0; "refuse" 416.
class OperationServer {
public:
    OperationServer();
    ~OperationServer() { release(); }

    std::string url(const std::string& path) const { return raw_.url(path); }
    // Lets held-back bodies continue.
    void release();
    // The request head fields of the last request for a path (names as sent, lower-cased).
    std::map<std::string, std::string> lastFields(const std::string& path);

    static constexpr std::size_t kResumableLength = 2000;

private:
    void answer(int fd, const std::string& head);

    std::mutex mutex_;
    std::condition_variable released_;
    bool isReleased_ = false;
    std::map<std::string, std::map<std::string, std::string>> fields_;
    RawFixture raw_;  // last, so that it ends (joining its connections) first
};

}  // namespace lv::test
