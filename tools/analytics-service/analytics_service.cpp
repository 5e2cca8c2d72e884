// The analytics log-service stand-in: envelope checks and decoding, the Pack reply with its imprint,
// the reply controls, the social route and the request log.
#include "analytics_service.h"

#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <filesystem>

#include "analytics/envelope_record.h"
#include "analytics/imprint.h"
#include "analytics/pack_protocol.h"
#include "analytics/tally_utility.h"
#include "analytics/upload_protocol.h"
#include "platform/base/format.h"
#include "support/endless_body.h"
#include "support/loopback_server.h"

namespace lv::tools {
namespace {

namespace protocol = upload_protocol;

// No log entry the client makes comes near this; a larger "length" is refused before inflating.
constexpr std::int64_t kMaxEntryLength = 64 << 20;

std::span<const std::uint8_t> bytesOf(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// The zlib stream's content, or nothing when it is not one whole stream of at most limit bytes.
std::optional<Bytes> inflateBounded(std::span<const std::uint8_t> input, std::size_t limit) {
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK) return std::nullopt;
    stream.next_in = const_cast<Bytef*>(input.data());
    stream.avail_in = static_cast<uInt>(input.size());
    Bytes output;
    std::uint8_t chunk[16384];
    int status = Z_OK;
    while (status == Z_OK) {
        stream.next_out = chunk;
        stream.avail_out = sizeof chunk;
        status = inflate(&stream, Z_NO_FLUSH);
        output.insert(output.end(), chunk, chunk + (sizeof chunk - stream.avail_out));
        if (output.size() > limit) status = Z_BUF_ERROR;
        if (status == Z_BUF_ERROR && stream.avail_in == 0 && stream.avail_out != 0) break;  // input ended early
    }
    const bool whole = status == Z_STREAM_END && stream.avail_in == 0;
    inflateEnd(&stream);
    if (!whole) return std::nullopt;
    return output;
}

// Ends the connection between the two local ports at once, with nothing sent: the socket is shut
// down and its descriptor replaced by /dev/null, so the server's own later writes and close go nowhere.
void dropConnection(int localPort, int remotePort) {
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ignored)) {
        const int fd = std::atoi(entry.path().filename().c_str());
        sockaddr_in local{}, peer{};
        socklen_t localSize = sizeof local, peerSize = sizeof peer;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localSize) != 0 || local.sin_family != AF_INET) continue;
        if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerSize) != 0) continue;
        if (ntohs(local.sin_port) != localPort || ntohs(peer.sin_port) != remotePort) continue;
        ::shutdown(fd, SHUT_RDWR);
        const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        if (null >= 0) {
            ::dup2(null, fd);
            ::close(null);
        }
        return;
    }
}

void writeField(TPKBinaryProtocol& protocol, PackType type, std::int16_t id) {
    protocol.writeFieldBegin("", static_cast<std::uint8_t>(type), id);
}

Bytes hostileResponse(UploadReply::Body kind) {
    TPKMemoryBuffer buffer;
    TPKBinaryProtocol protocol(buffer);
    writeField(protocol, PackType::I32, 1);
    protocol.writeI32(1);
    writeField(protocol, PackType::Struct, 3);
    if (kind == UploadReply::Body::HugeCount) {
        writeField(protocol, PackType::Map, 1);
        protocol.writeMapBegin(static_cast<std::uint8_t>(PackType::String), static_cast<std::uint8_t>(PackType::Struct),
                               0x7FFFFFFF);
    } else {
        constexpr int kDepth = 10000;
        for (int i = 0; i < kDepth; ++i) writeField(protocol, PackType::Struct, 9);
        for (int i = 0; i <= kDepth; ++i) protocol.writeFieldStop();
    }
    return buffer.takeBuffer();
}

}  // namespace

TPKImprint makeImprint(const ReplyImprint& given) {
    std::map<std::string, TPKImprintValue> property;
    for (const auto& [key, entry] : given.property) {
        TPKImprintValue value;
        if (entry.value) value.setValue(entry.value);
        value.setTs(entry.ts);
        if (entry.guid) value.setGuid(entry.guid);
        property.emplace(key, std::move(value));
    }
    TPKImprint imprint;
    imprint.setProperty(std::move(property));
    imprint.setVersion(given.version);
    imprint.setChecksum(imprintChecksum(imprint));
    return imprint;
}

Bytes packResponse(const UploadReply& reply) {
    TPKResponse response;
    response.setResp_code(reply.respCode);
    response.setMsg(reply.msg);
    if (reply.imprint) {
        TPKImprint imprint = makeImprint(*reply.imprint);
        if (reply.badImprintChecksum) {
            std::string wrong = *imprint.checksum();
            wrong[0] = wrong[0] == '0' ? '1' : '0';
            imprint.setChecksum(wrong);
        }
        response.setImprint(std::move(imprint));
    }
    return packBytes(response);
}

std::string describeUpload(const RecordedUpload& upload) {
    std::string text = format("serial %d, codex %d, %d bytes: ", upload.serialNum, upload.codex, upload.length);
    if (!upload.accepted) return text + "refused (" + upload.failure + ")";
    const TPKUALogEntry& entry = *upload.entry;
    std::vector<std::string> parts;
    if (entry.activate_msg()) parts.push_back("activation");
    for (const auto& session : entry.sessions().value_or(std::vector<TPKSession>{})) {
        std::string pages;
        for (const auto& page : session.pages().value_or(std::vector<TPKPage>{})) {
            pages += format("%s%s %lld ms", pages.empty() ? "" : ", ", page.page_name().value_or("").c_str(),
                            static_cast<long long>(page.duration()));
        }
        parts.push_back(format("session of %lld ms [%s]", static_cast<long long>(session.duration()), pages.c_str()));
    }
    for (const auto& message : entry.instant_msgs().value_or(std::vector<TPKInstantMsg>{})) {
        std::string events;
        for (const auto& event : message.events().value_or(std::vector<TPKEvent>{})) {
            events += (events.empty() ? "" : ", ") + event.name().value_or("");
        }
        const auto errors = message.errors().value_or(std::vector<TPKError>{});
        std::string crashes;
        for (const auto& error : errors) {
            // When it happened and the report's first line.
            const std::string context = error.context().value_or("");
            crashes += format(" (at %lld ms: %s)", static_cast<long long>(error.ts()),
                              context.substr(0, context.find('\n')).c_str());
        }
        parts.push_back(format("%zu error(s)%s, events [%s]", errors.size(), crashes.c_str(), events.c_str()));
    }
    if (entry.client_stats()) {
        parts.push_back(format("requests %d ok, %d failed", entry.client_stats()->successful_requests(),
                               entry.client_stats()->failed_requests()));
    }
    for (const auto& [key, group] : entry.group_info().value_or(std::map<std::string, std::int32_t>{})) {
        parts.push_back(format("group %s=%d", key.c_str(), group));
    }
    for (std::size_t i = 0; i < parts.size(); ++i) text += (i ? "; " : "") + parts[i];
    return parts.empty() ? text + "nothing" : text;
}

AnalyticsService::AnalyticsService(std::string appKey, std::string name)
    : appKey_(std::move(appKey)), name_(std::move(name)) {
    install();
}

AnalyticsService::~AnalyticsService() { stop(); }

void AnalyticsService::setReply(UploadReply reply) {
    std::lock_guard lock(mutex_);
    reply_ = std::move(reply);
}

void AnalyticsService::queueReply(UploadReply reply) {
    std::lock_guard lock(mutex_);
    queued_.push_back(std::move(reply));
}

void AnalyticsService::resetReplies() {
    std::lock_guard lock(mutex_);
    reply_ = UploadReply();
    queued_.clear();
    socialJSON_ = true;
    socialDelay_ = 0;
    socialPadTo_ = 0;
    socialEndless_ = false;
}

void AnalyticsService::setSocialReply(bool json, double delaySeconds) {
    std::lock_guard lock(mutex_);
    socialJSON_ = json;
    socialDelay_ = delaySeconds;
}

void AnalyticsService::setSocialReplySize(std::size_t padTo, bool endless) {
    std::lock_guard lock(mutex_);
    socialPadTo_ = padTo;
    socialEndless_ = endless;
}

int AnalyticsService::socialEndlessAbandoned() const {
    std::lock_guard lock(mutex_);
    return socialEndlessAbandoned_;
}

std::vector<RecordedUpload> AnalyticsService::uploads() const {
    std::lock_guard lock(mutex_);
    return uploads_;
}

std::vector<SocialRequest> AnalyticsService::socialRequests() const {
    std::lock_guard lock(mutex_);
    return social_;
}

std::vector<LogServiceRequest> AnalyticsService::requests() const {
    std::lock_guard lock(mutex_);
    return log_;
}

bool AnalyticsService::waitForRequests(std::size_t count, double timeoutSeconds) const {
    std::unique_lock lock(mutex_);
    return logged_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds), [&] { return log_.size() >= count; });
}

void AnalyticsService::clear() {
    std::lock_guard lock(mutex_);
    uploads_.clear();
    social_.clear();
    log_.clear();
}

void AnalyticsService::setRequestObserver(std::function<void(const LogServiceRequest&)> observer) {
    std::lock_guard lock(mutex_);
    requestObserver_ = std::move(observer);
}

void AnalyticsService::setUploadObserver(std::function<void(const RecordedUpload&)> observer) {
    std::lock_guard lock(mutex_);
    uploadObserver_ = std::move(observer);
}

UploadReply AnalyticsService::nextReply() {
    std::lock_guard lock(mutex_);
    if (queued_.empty()) return reply_;
    UploadReply reply = std::move(queued_.front());
    queued_.pop_front();
    return reply;
}

RecordedUpload AnalyticsService::decodeEnvelope(const std::string& body) const {
    RecordedUpload upload;
    TLYEnvelope envelope;
    std::string unreadable;
    try {
        TPKMemoryBuffer buffer(bytesOf(body));
        TPKBinaryProtocol protocol(buffer);
        envelope.read(protocol);
    } catch (const TPKException& e) {
        unreadable = e.reason();
    }
    upload.version = envelope.version().value_or("");
    upload.address = envelope.address().value_or("");
    upload.signature = envelope.signature().value_or("");
    upload.guid = envelope.guid().value_or("");
    upload.checksum = envelope.checksum().value_or("");
    upload.serialNum = envelope.serial_num();
    upload.tsSecs = envelope.ts_secs();
    upload.length = envelope.length();
    upload.codex = envelope.codex();
    auto refuse = [&upload](std::string why) {
        upload.failure = std::move(why);
        return upload;
    };
    if (!unreadable.empty()) return refuse("envelope unreadable: " + unreadable);
    try {
        envelope.validate();
    } catch (const TPKException& e) {
        return refuse(e.reason());
    }
    // A field set to nothing counts as missing too.
    if (!envelope.version() || !envelope.address() || !envelope.signature() || !envelope.entity() ||
        !envelope.guid() || !envelope.checksum()) {
        return refuse("a required field holds nothing");
    }
    if (upload.version != protocol::kEnvelopeVersion) {
        return refuse(format("version is \"%s\", not \"%s\"", upload.version.c_str(), std::string(protocol::kEnvelopeVersion).c_str()));
    }
    if (upload.address != appKey_) return refuse("address \"" + upload.address + "\" is not the app key");
    if (!protocol::isLowerHex(upload.signature, protocol::kSignatureLength)) return refuse("signature is not 64 hexadecimal digits");
    if (!protocol::isLowerHex(upload.guid, protocol::kGuidLength)) return refuse("guid is not 64 hexadecimal digits");
    const Bytes& entity = *envelope.entity();
    if (protocol::envelopeChecksum(entity) != upload.checksum) return refuse("checksum does not match the entity");
    if (upload.codex != 0 && upload.codex != 1) return refuse(format("codex %d is unknown", upload.codex));
    Bytes deflated = entity;
    if (upload.codex == 1) {
        auto plain = TallyUtility::AES128DecryptData(entity, protocol::entityKey(*protocol::bytesFromLowerHex(upload.signature)));
        if (!plain) return refuse("entity does not decrypt");
        deflated = std::move(*plain);
    }
    if (upload.length < 0 || upload.length > kMaxEntryLength) return refuse(format("length %d is out of range", upload.length));
    auto raw = inflateBounded(deflated, static_cast<std::size_t>(upload.length));
    if (!raw) return refuse("entity does not inflate to at most length bytes");
    if (raw->size() != static_cast<std::size_t>(upload.length)) {
        return refuse(format("entity inflates to %zu bytes, length says %d", raw->size(), upload.length));
    }
    try {
        TPKMemoryBuffer buffer(*raw);
        TPKBinaryProtocol protocol(buffer);
        TPKUALogEntry entry;
        entry.read(protocol);
        upload.entry = std::move(entry);
    } catch (const TPKException& e) {
        return refuse("log entry unreadable: " + e.reason());
    }
    upload.accepted = true;
    return upload;
}

void AnalyticsService::install() {
    server_->Post(std::string(protocol::kLogPath), [this](const httplib::Request& request, httplib::Response& response) {
        RecordedUpload upload = decodeEnvelope(request.body);
        std::function<void(const RecordedUpload&)> observer;
        {
            std::lock_guard lock(mutex_);
            uploads_.push_back(upload);
            observer = uploadObserver_;
        }
        if (observer) observer(upload);
        if (!upload.accepted) {
            response.status = 400;
            response.set_content(upload.failure, "text/plain");
            return;
        }
        const UploadReply reply = nextReply();
        if (reply.delaySeconds > 0 && !waitUnlessStopped(reply.delaySeconds)) return;
        using Body = UploadReply::Body;
        Bytes body;
        switch (reply.body) {
            case Body::Response: body = packResponse(reply); break;
            case Body::Empty: break;
            case Body::Truncated:
                body = packResponse(reply);
                body.resize(body.size() / 2);
                break;
            case Body::Garbage: {
                const std::string text = "<html>this is no reply</html>";
                body.assign(text.begin(), text.end());
                break;
            }
            case Body::HugeCount:
            case Body::DeepNesting: body = hostileResponse(reply.body); break;
            case Body::NoReply: dropConnection(request.local_port, request.remote_port); return;
        }
        response.status = reply.status;
        response.set_content(std::string(body.begin(), body.end()), reply.contentType);
    });

    auto social = [this](const httplib::Request& request, httplib::Response& response) {
        SocialRequest logged{request.method, request.matches[1], {}, request.body};
        auto mark = request.target.find('?');
        if (mark != std::string::npos) logged.query = request.target.substr(mark + 1);
        bool json = true;
        double delay = 0;
        std::size_t padTo = 0;
        bool endless = false;
        {
            std::lock_guard lock(mutex_);
            social_.push_back(logged);
            json = socialJSON_;
            delay = socialDelay_;
            padTo = socialPadTo_;
            endless = socialEndless_;
        }
        if (delay > 0 && !waitUnlessStopped(delay)) return;
        if (endless) {
            setEndlessJsonBody(response, "application/json", [this] {
                std::lock_guard lock(mutex_);
                ++socialEndlessAbandoned_;
            });
        } else if (json) {
            std::string body = "{\"st\":200}";
            if (padTo > body.size()) body.resize(padTo, ' ');
            response.set_content(body, "application/json");
        } else {
            response.set_content("st=200, not JSON", "text/plain");
        }
    };
    server_->Get(R"(/share/api/([^/]+)/)", social);
    server_->Post(R"(/share/api/([^/]+)/)", social);

    // Every request, whatever its route, is logged once it has been answered.
    server_->set_logger([this](const httplib::Request& request, const httplib::Response& response) {
        LogServiceRequest logged{request.method, request.target, request.get_header_value("Content-Type"), request.body.size(),
                             response.status};
        std::function<void(const LogServiceRequest&)> observer;
        {
            std::lock_guard lock(mutex_);
            log_.push_back(logged);
            observer = requestObserver_;
        }
        logged_.notify_all();
        if (observer) observer(logged);
    });
}

}  // namespace lv::tools
