#include "push/push_dispatcher.h"

#include "platform/base/log.h"
#include "platform/net/connection.h"
#include "platform/net/request.h"
#include "platform/net/url.h"
#include "platform/text/encoding.h"
#include "push/push_helper.h"
#include "push/push_keychain.h"
#include "push/push_reachability.h"

namespace lv {

namespace {

constexpr std::uint8_t kFlagPlain = 0x04;
constexpr std::uint8_t kFlagGzip = 0x06;
constexpr std::uint8_t kReplyHasPayload = 0x04;
constexpr std::uint8_t kReplyZipped = 0x02;
constexpr std::size_t kEnvelopeHead = 3;
constexpr std::size_t kMaxPayload = 0xFFFF;
constexpr int kMaxTokenRetries = 3;

}  // namespace

PNDispatcher& PNDispatcher::getInstance() {
    static auto& instance = *new PNDispatcher;
    return instance;
}

PNDispatcher::PNDispatcher() : taskQueue_(Queue::makeSerial("HttpDispatcher")) {}

Array PNDispatcher::streams() const {
    std::lock_guard lock(fieldsLock_);
    return streams_;
}
void PNDispatcher::setStreams(Array streams) {
    std::lock_guard lock(fieldsLock_);
    streams_.swap(streams);  // the old list is released after the lock
}
Bytes PNDispatcher::data() const {
    std::lock_guard lock(fieldsLock_);
    return data_;
}
void PNDispatcher::setData(Bytes data) {
    std::lock_guard lock(fieldsLock_);
    data_.swap(data);
}

std::string PNDispatcher::channelURL() {
    return "http://" + std::string(kPNPushServerHost) + std::string(kPNHttpChannelPath);
}

void PNDispatcher::pnSend(std::string payload, std::string sendType) {
    taskQueue_->async([this, payload = std::move(payload), sendType = std::move(sendType)] { send(payload, sendType); });
}

void PNDispatcher::send(const std::string& payload, const std::string& sendType) {
    const Ref<PNReachability> reachability = PNReachability::reachabilityForInternetConnection();
    if (!reachability || !reachability->isReachable()) {
        log("no active network.");
        return;
    }
    const PNStore& store = PNStore::getInstance();
    const bool tokenSend = sendType == "TOKEN";
    if (tokenSend) {
        if (store.ifDeviceTokenRegistered()) {
            log("device token is already registered");
            return;
        }
        const int retryNum = store.getDeviceTokenRetryNum();
        log("device token retryNum is %d", retryNum);
        if (retryNum >= kMaxTokenRetries) return;
    }
    PNText reply;
    pnRequest(channelURL(), payload, &reply);
    log("response is %@", reply ? Value(*reply) : Value());
    if (!reply) return;
    const Value object = PNHelper::getInstance().json2Obj(*reply);
    if (object.isNil() || !tokenSend) return;
    // Only a dictionary answers; one without "st" counts as a rejection.
    if (!object.isDictionary()) return;
    // Only the number 0 accepts: not text, not a truth value, and not a number whose 32-bit reading
    // happens to be 0 (2^32) or that truncates to 0 (0.5).
    const Value& status = object["st"];
    const Number* number = status.number();
    if (number && !number->isBool() && number->compare(Number::of(0)) == 0) {
        store.saveDeviceTokenRegistered();
    } else {
        store.saveDeviceTokenRetryNum(Value(std::to_string(store.getDeviceTokenRetryNum() + 1)));
    }
}

bool PNDispatcher::pnRequest(std::string_view url, std::string_view requestText, PNText* responseData) {
    Bytes payload(requestText.begin(), requestText.end());
    std::uint8_t flag = kFlagPlain;
    if (payload.size() >= kPNGzipThreshold) {
        Bytes compressed;
        if (PNHelper::GZip(payload, &compressed) != 0) {
            log("Failed to gzip data.");
            return false;
        }
        payload = std::move(compressed);
        flag = kFlagGzip;
    }
    // The envelope's length has 16 bits: a longer payload cannot be framed.
    if (payload.size() > kMaxPayload) {
        log("Payload is too long to send:%lu", static_cast<unsigned long>(payload.size()));
        return false;
    }
    Bytes body{flag, static_cast<std::uint8_t>(payload.size() >> 8), static_cast<std::uint8_t>(payload.size() & 0xFF)};
    body.insert(body.end(), payload.begin(), payload.end());

    URLRequest request(URL::URLWithString(url), URLRequestCachePolicy::UseProtocolCachePolicy, kPNHttpTimeout);
    request.setHTTPMethod("POST");
    request.setValue("keep-alive", "Connection");
    request.setValue("json", "Content-Type");
    request.setHTTPBody(std::move(body));
    request.setResourceTimeoutInterval(kPNHttpWholeTimeout);
    request.setMaximumResponseBodySize(kPNHttpMaxReplyBytes);

    Ref<URLResponse> response;
    Ref<Error> error;
    const std::optional<Bytes> reply = URLConnection::sendSynchronousRequest(request, &response, &error);
    const auto http = std::dynamic_pointer_cast<HTTPURLResponse>(response);
    if (!reply || !http) {
        log("Failed to send request for reason:%@", error);
        return false;
    }
    if (http->statusCode() != 200) {
        log("Receive invalid response:%ld", static_cast<long>(http->statusCode()));
        if (!reply->empty()) log("[ERROR]%@", Value(text::decode(*reply, StringEncoding::UTF8).value_or("")));
        return false;
    }
    if (reply->empty()) {
        if (responseData) *responseData = std::nullopt;
        return true;
    }
    // A body shorter than the envelope's head carries no payload.
    std::optional<Bytes> content;
    const std::uint8_t replyFlag = (*reply)[0];
    const auto takePayload = [&] {
        if (!content && reply->size() >= kEnvelopeHead) content = Bytes(reply->begin() + kEnvelopeHead, reply->end());
    };
    if (replyFlag & kReplyHasPayload) takePayload();
    if (replyFlag & kReplyZipped) {
        log("zip is true");
        takePayload();
        if (content) {
            Bytes unzipped;
            if (PNHelper::GUnzip(*content, &unzipped) != 0) {
                log("Failed to gzip data.");
                return false;
            }
            content = std::move(unzipped);
        }
    }
    log("httpcode is %@", Value(http->allHeaderFields().toDictionary()));
    PNText text;
    if (content) text = text::decode(*content, StringEncoding::UTF8);
    log("Report response content is %@ with length:%lu", text ? Value(*text) : Value(),
        static_cast<unsigned long>(content ? content->size() : 0));
    if (responseData) *responseData = std::move(text);
    return true;
}

void PNDispatcher::requestLite(std::string_view url, std::string_view body) {
    URLRequest request(URL::URLWithString(url));
    request.setHTTPMethod("POST");
    request.setValue("json", "Content-Type");
    request.setHTTPBody(text::encode(body, StringEncoding::UTF8, true).value_or(Bytes()));
    request.setMaximumResponseBodySize(kPNHttpMaxReplyBytes);
    Ref<URLResponse> response;
    Ref<Error> error;
    const std::optional<Bytes> reply = URLConnection::sendSynchronousRequest(request, &response, &error);
    if (error) log("error is %@", error->description());
    const auto http = std::dynamic_pointer_cast<HTTPURLResponse>(response);
    log("httpcode is %@", http ? Value(http->allHeaderFields().toDictionary()) : Value());
    log("result is %@", reply ? Value(*reply) : Value());
}

std::vector<std::string> PNDispatcher::splitSpeedString(std::string_view text) {
    std::vector<std::string> urls;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find(';', start), text.size());
        std::string piece(text.substr(start, end - start));
        if (!piece.empty()) {
            for (char& c : piece) {
                if (c == ',') c = ':';
            }
            urls.push_back("http://" + piece);
        }
        start = end + 1;
    }
    return urls;
}

}  // namespace lv
