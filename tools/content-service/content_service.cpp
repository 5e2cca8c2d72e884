// The content-service stand-in: fixture replies, the time cursor, the request log and the behaviours.
#include "content_service.h"

#include <httplib.h>
#include <zlib.h>

#include <chrono>
#include <fstream>
#include <sstream>

#include "platform/base/value.h"
#include "platform/storage/json.h"
#include "support/loopback_server.h"

namespace lv::tools {
namespace {

// The chart sites' numbers, as the items' "sid" carries them.
const std::map<std::string, int>& siteNumbers() {
    static const std::map<std::string, int> sites{{"hanteo_real", 1}, {"hanteo_day", 2}, {"mnet", 3},
                                                  {"melon", 4},       {"bugs", 5},       {"naver", 6}};
    return sites;
}

// The numbers of a service time ("2015-3-5 09:07:02", "2015-03-05:09", "2015-03-05") in order, six
// of them with missing ones zero, so that times compare as tuples whatever their form.
std::vector<long> timeFields(const std::string& text) {
    std::vector<long> fields;
    long current = -1;
    for (char c : text) {
        if (c >= '0' && c <= '9') {
            current = (current < 0 ? 0 : current * 10) + (c - '0');
        } else if (current >= 0) {
            fields.push_back(current);
            current = -1;
        }
    }
    if (current >= 0) fields.push_back(current);
    fields.resize(6, 0);
    return fields;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string parameter(const std::map<std::string, std::string>& parameters, const std::string& key) {
    auto found = parameters.find(key);
    return found == parameters.end() ? std::string() : found->second;
}

std::string itemsReply(const Value& items) {
    auto text = JSONSerialization::stringWithJSONObject(Value::dictionary({{"mItems", items}}), {}, nullptr);
    return text ? *text : std::string();
}

// Whether the client takes a gzip body and the server library would pick gzip for it: the library
// compresses JSON bodies for a client naming gzip, and prefers brotli when the client names that too
// (such a request is left to the library).
bool servesGzip(const httplib::Request& request, const std::string& contentType) {
    const std::string accepted = request.get_header_value("Accept-Encoding");
    return contentType == "application/json" && accepted.find("gzip") != std::string::npos &&
           accepted.find("br") == std::string::npos;
}

// The body in the gzip format, at zlib's default level.
std::string gzipped(const std::string& body) {
    z_stream stream{};
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) return {};
    std::string out(deflateBound(&stream, body.size()), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(body.data()));
    stream.avail_in = static_cast<uInt>(body.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    const int rc = deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return rc == Z_STREAM_END ? out : std::string();
}

}  // namespace

// The last few compressed bodies: a service answering the same fixture again and again (a benchmark,
// a page loaded in turn) compresses it once, as a real server keeps its compressed static replies,
// instead of spending the compression on every request.
std::shared_ptr<const std::string> ContentService::compressedBody(const std::string& body) {
    {
        std::lock_guard lock(mutex_);
        for (const auto& [plain, packed] : compressed_) {
            if (plain == body) return packed;
        }
    }
    auto packed = std::make_shared<const std::string>(gzipped(body));
    if (packed->empty()) return nullptr;
    std::lock_guard lock(mutex_);
    if (compressed_.size() == kCompressedKept) compressed_.erase(compressed_.begin());
    compressed_.emplace_back(body, packed);
    return packed;
}

ContentService::ContentService(std::string fixturesDirectory)
    : fixturesDirectory_(std::move(fixturesDirectory)) {
    install();
}

ContentService::~ContentService() { stop(); }

void ContentService::setBehaviour(const std::string& action, ContentBehaviour behaviour) {
    std::lock_guard lock(mutex_);
    behaviours_[action] = std::move(behaviour);
    arrivals_[action] = 0;
}

void ContentService::resetBehaviours() {
    std::lock_guard lock(mutex_);
    behaviours_.clear();
}

std::vector<LoggedRequest> ContentService::requests() const {
    std::lock_guard lock(mutex_);
    return log_;
}

void ContentService::setRequestObserver(std::function<void(const LoggedRequest&)> observer) {
    std::lock_guard lock(mutex_);
    observer_ = std::move(observer);
}

void ContentService::record(LoggedRequest request) {
    std::function<void(const LoggedRequest&)> observer;
    {
        std::lock_guard lock(mutex_);
        log_.push_back(request);
        observer = observer_;
    }
    if (observer) observer(request);
}

void ContentService::clearRequests() {
    std::lock_guard lock(mutex_);
    log_.clear();
}

ContentBehaviour ContentService::behaviourFor(const std::string& action) const {
    std::lock_guard lock(mutex_);
    auto found = behaviours_.find(action);
    return found == behaviours_.end() ? ContentBehaviour() : found->second;
}

std::string ContentService::replyFor(const std::map<std::string, std::string>& parameters) const {
    const std::string action = parameter(parameters, "action");
    const bool ended = parameters.count("is_end") > 0;
    static const std::map<std::string, std::string> files{
        {"newsList", "newsList"}, {"rank", "rank"},   {"taobao", "taobao"},           {"microblog", "microblog"},
        {"video", "video"},       {"novel", "novel"}, {"checkUpdate", "checkUpdate"}, {"videoConfig", "videoConfig"}};
    auto file = files.find(action);
    if (file == files.end()) return {};
    const std::string name = action == "video" && ended ? "media" : file->second;
    Value reply = JSONSerialization::JSONObjectWithData(readFile(fixturesDirectory_ + "/" + name + ".json"), {}, nullptr);
    if (!reply["mItems"].isArray()) return {};
    Array items = reply["mItems"].array();

    // The request's selecting values go into every item, as the service would store them.
    std::map<std::string, Value> written;
    if (action == "newsList") written["cat_name"] = Value(parameter(parameters, "cat"));
    if (action == "microblog") written["type"] = Value(parameter(parameters, "gap"));
    if (action == "taobao") {
        written["store"] = Value(parameter(parameters, "store"));
        written["type"] = Value(parameter(parameters, "type"));
    }
    if (action == "video") written["type"] = Value(parameter(parameters, "type"));
    if (action == "video" && ended) written["is_end"] = Value(parameter(parameters, "is_end"));
    if (action == "rank") {
        auto site = siteNumbers().find(parameter(parameters, "site"));
        if (site != siteNumbers().end()) written["sid"] = Value(site->second);
    }
    for (auto& item : items) {
        if (!item.isDictionary()) continue;
        for (const auto& [key, value] : written) item.mutableDictionary().set(key, value);
    }

    // The cursor: items newer than it; null when nothing is newer. An empty item time reads "now".
    const std::string cursor = parameter(parameters, "time");
    if (cursor.empty() || action == "videoConfig" || action == "checkUpdate") return itemsReply(Value(items));
    const auto since = timeFields(cursor);
    Array newer;
    for (const auto& item : items) {
        const std::string time = item["update_time"].isString() ? item["update_time"].string() : std::string();
        if (time.empty() || timeFields(time) > since) newer.push_back(item);
    }
    return newer.empty() ? itemsReply(Value::null()) : itemsReply(Value(newer));
}

void ContentService::install() {
    auto handle = [this](const httplib::Request& request, httplib::Response& response) {
        LoggedRequest logged{request.method, request.path, {}, request.body, request.get_header_value("Content-Type")};
        auto mark = request.target.find('?');
        if (mark != std::string::npos) logged.query = request.target.substr(mark + 1);
        record(logged);
        std::map<std::string, std::string> parameters;
        for (const auto& [key, value] : request.params) parameters.emplace(key, value);
        const std::string action = parameter(parameters, "action");
        const bool wantsGet = action == "videoConfig";
        if (action.empty() || wantsGet != (request.method == "GET")) {
            response.status = 400;
            response.set_content("{\"error\":\"bad request\"}", "application/json");
            return;
        }
        std::string body = replyFor(parameters);
        if (body.empty()) {
            response.status = 404;
            response.set_content("{\"error\":\"unknown action\"}", "application/json");
            return;
        }
        const ContentBehaviour behaviour = behaviourFor(action);
        if (behaviour.together > 1) {
            std::unique_lock lock(mutex_);
            ++arrivals_[action];
            stopped_.notify_all();  // the stop's condition, so that a stop ends the wait too
            stopped_.wait_for(lock, std::chrono::seconds(30),
                              [&] { return stopping_ || arrivals_[action] >= behaviour.together; });
            if (stopping_) return;
        }
        if (behaviour.delaySeconds > 0 && !waitUnlessStopped(behaviour.delaySeconds)) return;
        using Body = ContentBehaviour::Body;
        switch (behaviour.body) {
            case Body::Fixture: break;
            case Body::Malformed: body = "{\"mItems\": [{\"title\": "; break;
            case Body::NoItems: body = "{\"status\":\"ok\"}"; break;
            case Body::Null: body = itemsReply(Value::null()); break;
            case Body::EmptyList: body = itemsReply(Value(Array())); break;
            case Body::CloseEarly: {
                // Announces the whole reply, sends half and closes the connection.
                response.status = behaviour.status;
                auto half = std::make_shared<std::string>(body.substr(0, body.size() / 2));
                response.set_content_provider(body.size(), behaviour.contentType,
                                              [half](std::size_t, std::size_t, httplib::DataSink& sink) {
                                                  sink.write(half->data(), half->size());
                                                  return false;
                                              });
                return;
            }
        }
        if (!behaviour.customBody.empty()) body = behaviour.customBody;
        response.status = behaviour.status;
        if (servesGzip(request, behaviour.contentType)) {
            if (auto packed = compressedBody(body)) {
                // The headers the library's own compression sends; the compressed body made once per body.
                response.set_header("Content-Encoding", "gzip");
                response.set_content_provider(packed->size(), behaviour.contentType,
                                              [packed](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                                                  sink.write(packed->data() + offset, length);
                                                  return true;
                                              });
                return;
            }
        }
        response.set_content(body, behaviour.contentType);
    };
    server_->Get("/api", handle);
    server_->Post("/api", handle);
    // Every other path is logged too, and answered 404.
    server_->set_error_handler([this](const httplib::Request& request, httplib::Response&) {
        if (request.path == "/api") return;
        record({request.method, request.path, {}, request.body, request.get_header_value("Content-Type")});
    });
}

}  // namespace lv::tools
