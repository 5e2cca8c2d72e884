// A stand-in for the content service on 127.0.0.1: path "/api", GET for "videoConfig" and form POST
// for every other action, replies {"mItems": …} from the fixture files with the "time" cursor applied.
// Every request is logged; per-action behaviours let tests make the service misbehave.
// Thread rule: every public member may be called from any thread (state sits behind one lock).
#pragma once

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/loopback_server.h"

namespace lv::tools {

// What the service sends for an action instead of (or around) its fixture reply.
struct ContentBehaviour {
    enum class Body { Fixture, Malformed, NoItems, Null, EmptyList, CloseEarly };
    int status = 200;
    std::string contentType = "application/json";
    double delaySeconds = 0;
    Body body = Body::Fixture;
    std::string customBody;  // when not empty, sent in place of the reply (any shape a test needs)
    // When above 1: each reply waits until this many requests of the action have arrived since the
    // behaviour was set (or 30 s, or the service stops), so that that many clients get theirs together.
    int together = 0;
};

struct LoggedRequest {
    std::string method;
    std::string path;
    std::string query;  // the raw query text after "?", empty when none
    std::string body;
    std::string contentType;
};

class ContentService : public LoopbackService {
public:
    explicit ContentService(std::string fixturesDirectory);
    ~ContentService();
    ContentService(const ContentService&) = delete;
    ContentService& operator=(const ContentService&) = delete;

    // start, stop, port and baseURL come from LoopbackService.

    void setBehaviour(const std::string& action, ContentBehaviour behaviour);
    void resetBehaviours();
    std::vector<LoggedRequest> requests() const;
    void clearRequests();
    // Called with each request as it is logged, on the server's thread (the program prints them).
    void setRequestObserver(std::function<void(const LoggedRequest&)> observer);

    // The reply body for an action and its form parameters (the request's values written into the
    // items, the time cursor applied): {"mItems": list} or {"mItems": null}; empty for an unknown action.
    std::string replyFor(const std::map<std::string, std::string>& parameters) const;

private:
    void install();
    void record(LoggedRequest request);
    ContentBehaviour behaviourFor(const std::string& action) const;
    // The gzip form of a reply body, kept for the last few bodies; nullptr when zlib fails.
    std::shared_ptr<const std::string> compressedBody(const std::string& body);

    std::string fixturesDirectory_;
    std::map<std::string, ContentBehaviour> behaviours_;
    std::map<std::string, int> arrivals_;  // requests per action since its behaviour was set
    std::vector<LoggedRequest> log_;
    std::function<void(const LoggedRequest&)> observer_;
    static constexpr std::size_t kCompressedKept = 4;
    std::vector<std::pair<std::string, std::shared_ptr<const std::string>>> compressed_;  // oldest first
};

}  // namespace lv::tools
