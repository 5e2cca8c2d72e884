// A stand-in for the analytics log service on 127.0.0.1. POST "/app_logs" takes one envelope, checks
// and decodes it (fields, version, app key, signature, guid, checksum, decryption, inflation, length,
// the log entry), records the upload and answers a Pack reply with an optional checksummed imprint.
// "/share/api/<appkey>/" plays the social-analytics API. Every request is logged; controls, for the
// next uploads or for all of them, make the service misbehave. A second instance plays the fallback.
// Thread rule: every public member may be called from any thread (state sits behind one lock).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/loopback_server.h"
#include "analytics/log_records.h"

namespace lv::tools {

// One imprint entry as the service sends it; an entry without a value asks the client to delete
// the key.
struct ImprintEntry {
    std::optional<std::string> value;
    std::int64_t ts = 0;
    std::optional<std::string> guid;
};

struct ReplyImprint {
    std::map<std::string, ImprintEntry> property;
    std::int32_t version = 1;
};

// How the service answers an upload. The defaults answer a well-formed success.
struct UploadReply {
    enum class Body {
        Response,      // the Pack reply
        Empty,         // no bytes
        Truncated,     // the first half of the Pack reply
        Garbage,       // bytes that are no Pack reply
        HugeCount,     // resp_code 1, then an imprint map announcing 2^31 - 1 entries
        DeepNesting,   // resp_code 1, then structs nested 10,000 deep
        NoReply,       // the connection closes with nothing sent
    };
    int status = 200;
    std::string contentType = "application/pack";
    Body body = Body::Response;
    std::int32_t respCode = 1;
    std::string msg = "ok";
    std::optional<ReplyImprint> imprint = std::nullopt;
    bool badImprintChecksum = false;  // the imprint's checksum is sent wrong
    double delaySeconds = 0;          // waits before answering (ends early when the service stops)
};

// What the service made of one POST to "/app_logs".
struct RecordedUpload {
    bool accepted = false;
    std::string failure;  // why it was refused; empty when accepted
    // The envelope's fields as read (unset ones empty or 0).
    std::string version, address, signature, guid, checksum;
    std::int32_t serialNum = 0, tsSecs = 0, length = 0, codex = 0;
    std::optional<TPKUALogEntry> entry;  // the decoded log entry, when every check passed
};

struct SocialRequest {
    std::string method;
    std::string appKey;  // the path segment after "/share/api/"
    std::string query;   // the raw query text
    std::string body;
};

// Named apart from the content stand-in's request record, so one program can hold both stand-ins.
struct LogServiceRequest {
    std::string method;
    std::string target;  // path and query as sent
    std::string contentType;
    std::size_t bodySize = 0;
    int status = 0;  // the status answered; -1 when the connection was dropped
};

// Writes the reply record ("resp_code", "msg", the imprint with its checksum) as the service sends it.
Bytes packResponse(const UploadReply& reply);
// The imprint of the given entries and version, signed with the client's imprint checksum.
TPKImprint makeImprint(const ReplyImprint& given);
// A short text of what an accepted upload held (for the program's output).
std::string describeUpload(const RecordedUpload& upload);

class AnalyticsService : public LoopbackService {
public:
    // The app key every envelope must carry; the name marks this instance's log lines.
    explicit AnalyticsService(std::string appKey, std::string name = "analytics-service");
    ~AnalyticsService();
    AnalyticsService(const AnalyticsService&) = delete;
    AnalyticsService& operator=(const AnalyticsService&) = delete;

    // start, stop, port and baseURL come from LoopbackService.
    const std::string& name() const { return name_; }

    // The reply for every upload that no queued reply answers.
    void setReply(UploadReply reply);
    // Replies for the next uploads, one each, in order.
    void queueReply(UploadReply reply);
    void resetReplies();

    // The social route answers {"st":200}, or text that is not JSON, after the delay.
    void setSocialReply(bool json, double delaySeconds = 0);
    // The social route's JSON reply padded with spaces to padTo bytes, or (endless) a chunked body that
    // never ends ("{" then spaces) until the client goes away or 256 MiB have gone out.
    void setSocialReplySize(std::size_t padTo, bool endless = false);
    // The endless social replies that ended because the client went away.
    int socialEndlessAbandoned() const;

    std::vector<RecordedUpload> uploads() const;
    std::vector<SocialRequest> socialRequests() const;
    // Requests are logged once answered, so a client may see the reply first: wait for the count.
    std::vector<LogServiceRequest> requests() const;
    bool waitForRequests(std::size_t count, double timeoutSeconds) const;
    void clear();

    // Called on the server's threads: with each request as it is logged, and with each upload.
    void setRequestObserver(std::function<void(const LogServiceRequest&)> observer);
    void setUploadObserver(std::function<void(const RecordedUpload&)> observer);

    // Checks and decodes one envelope exactly as the "/app_logs" route does.
    RecordedUpload decodeEnvelope(const std::string& body) const;

private:
    void install();
    UploadReply nextReply();

    const std::string appKey_;
    const std::string name_;
    mutable std::condition_variable logged_;
    UploadReply reply_;
    std::deque<UploadReply> queued_;
    bool socialJSON_ = true;
    double socialDelay_ = 0;
    std::size_t socialPadTo_ = 0;
    bool socialEndless_ = false;
    int socialEndlessAbandoned_ = 0;
    std::vector<RecordedUpload> uploads_;
    std::vector<SocialRequest> social_;
    std::vector<LogServiceRequest> log_;
    std::function<void(const LogServiceRequest&)> requestObserver_;
    std::function<void(const RecordedUpload&)> uploadObserver_;
};

}  // namespace lv::tools
