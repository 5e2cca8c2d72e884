#include "push/push_operations.h"

#include <set>

#include "platform/base/clock.h"
#include "platform/base/log.h"
#include "platform/dispatch/queue.h"
#include "platform/text/strings.h"
#include "push/push_helper.h"
#include "push/push_keychain.h"
#include "push/push_sqlite.h"
#include "push/tlv_frame.h"
#include "push/wire_records.h"

namespace lv {
namespace {

// Live operations; touched on the main thread only.
std::set<Ref<PNWireOperation>>& registry() {
    static auto& operations = *new std::set<Ref<PNWireOperation>>;  // never destroyed
    return operations;
}

Value textValue(const PNText& text) {
    return text ? Value(*text) : Value();
}

std::optional<Bytes> frameOf(const PNTlvObject& record, std::uint8_t command) {
    const Bytes bytes = record.toData();
    return PNTlv::toFullTlvData(bytes, command);
}

// The length a gathered reply announces (bytes 6-9, big-endian), once its header is in.
std::optional<std::uint32_t> announcedLength(const Bytes& bytes) {
    if (bytes.size() < 10) {
        return std::nullopt;
    }
    return (std::uint32_t{bytes[6]} << 24) | (std::uint32_t{bytes[7]} << 16) | (std::uint32_t{bytes[8]} << 8) |
           std::uint32_t{bytes[9]};
}

std::string accessKeyOf(const PNText& token, const PNText& appkey) {
    return PNHelper::getInstance().md5(token.value_or("") + appkey.value_or(""));
}

// Touched on the main thread only, like the operations.
double& replyTimeoutSeconds() {
    static double seconds = kPNReplyTimeout;
    return seconds;
}

}  // namespace

// ---- the base ----

void PNWireOperation::adopt(const Ref<PNWireOperation>& operation) {
    registry().insert(operation);
}

std::size_t PNWireOperation::liveOperations() {
    return registry().size();
}

double PNWireOperation::replyTimeout() {
    return replyTimeoutSeconds();
}

void PNWireOperation::setReplyTimeoutForTesting(double seconds) {
    replyTimeoutSeconds() = seconds;
}

void PNWireOperation::release() {
    endExchange();
    if (!finished_) {
        finished_ = true;
        registry().erase(shared_from_this());
    }
}

bool PNWireOperation::answers(PNAsyncSocketDelegateMethod method) const {
    return method == PNAsyncSocketDelegateMethod::DidConnectToHost ||
           method == PNAsyncSocketDelegateMethod::DidReadData || method == PNAsyncSocketDelegateMethod::DidDisconnect;
}

bool PNWireOperation::connect() {
    socket_ = PNAsyncSocket::makeWithDelegate(shared_from_this(), Queue::main());
    return socket_ != nullptr;
}

bool PNWireOperation::startWithFrame(const Bytes& frame, std::int64_t tag, bool queueReadToo) {
    if (!socket_) {
        connect();
    }
    Ref<Error> error;
    if (!socket_->connectToHost(kPNPushServerHost, kPNPushServerPort, &error)) {
        log("socket get error: %@", error);
        socket_->setDelegate(nullptr);
        socket_ = nullptr;
        giveUp();
        return false;
    }
    beginExchange(tag);
    socket_->writeData(frame, -1, tag);
    if (queueReadToo) {
        queueRead(tag);
    }
    return true;
}

void PNWireOperation::writeFrameAndRead(const Bytes& frame, std::int64_t tag) {
    if (!socket_) {
        return;
    }
    beginExchange(tag);
    socket_->writeData(frame, -1, tag);
    if (readsPending_ == 0) {
        queueRead(tag);
    }
}

void PNWireOperation::beginExchange(std::int64_t tag) {
    endExchange();
    exchange_ = tag;
    gathered_.clear();
    replyTimer_ = Source::makeTimer(Queue::main());
    replyTimer_->setEventHandler([weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->replyTimedOut();
        }
    });
    replyTimer_->setTimer(replyTimeout(), 0);
    replyTimer_->resume();
}

void PNWireOperation::endExchange() {
    if (replyTimer_) {
        replyTimer_->cancel();
        replyTimer_ = nullptr;
    }
}

// A reply short of its length, or none at all, within the time: a failed exchange, and the end.
void PNWireOperation::replyTimedOut() {
    endExchange();
    if (!socket_) {
        return;
    }
    log("[pnpush error]no whole reply within %g s", replyTimeout());
    gathered_.clear();
    callError();
    closeSocket();
}

void PNWireOperation::giveUp() {
    callError();
    release();
}

void PNWireOperation::queueRead(std::int64_t tag) {
    ++readsPending_;
    socket_->readDataWithTimeout(-1, tag);
}

void PNWireOperation::closeSocket() {
    if (socket_) {
        Ref<PNAsyncSocket> socket = std::move(socket_);
        socket->disconnect();
        socket->setDelegate(nullptr);
    }
}

// Messages are posted to the main queue as the socket makes them; the operation may have ended the
// exchange (and dropped the socket) before they run.
void PNWireOperation::didConnectToHost(const Ref<PNAsyncSocket>& socket, const std::string&, std::uint16_t) {
    if (socket_ && socket == socket_) {
        connected();
    }
}

void PNWireOperation::didReadData(const Ref<PNAsyncSocket>& socket, const PNSocketData& data, std::int64_t) {
    if (!socket_ || socket != socket_) {
        return;
    }
    --readsPending_;
    gathered_.insert(gathered_.end(), data.data(), data.data() + data.size());
    if (!deliverGatheredReply() && readsPending_ == 0 && socket_) {
        queueRead(exchange_);
    }
}

// Hands on the whole reply once gathered; false while it is still short. The exchange ends with it:
// bytes after the reply answer nothing that was asked and are dropped.
bool PNWireOperation::deliverGatheredReply() {
    const auto length = announcedLength(gathered_);
    if (!length) {
        return false;
    }
    if (*length < PNTlv::kHeaderLength || *length > PNTlv::kMaxFrameLength) {
        log("[pnpush error]reply length %u is outside 17...65535", *length);
        gathered_.clear();
        endExchange();
        replyArrived(std::nullopt, exchange_);
        return true;
    }
    if (gathered_.size() < *length) {
        return false;
    }
    const Bytes frame(gathered_.begin(), gathered_.begin() + *length);
    gathered_.clear();
    endExchange();
    replyArrived(PNTlv::fromFullTlvData(frame), exchange_);
    return true;
}

void PNWireOperation::socketDidDisconnect(const Ref<PNAsyncSocket>&, const Ref<Error>&) {
    log("[pnpush]Finished.");
    // A connection that ended before the operation's reply -- refused, reset, closed unanswered or
    // inside a reply, or never made for want of a descriptor -- is a failed operation.
    gathered_.clear();
    callError();
    closeSocket();
    release();
}

void PNWireOperation::report(bool good) {
    if (reported_) {
        return;
    }
    reported_ = true;
    if (good) {
        if (success_) {
            success_();
        }
    } else if (error_) {
        error_();
    }
}

void PNWireOperation::callError() {
    report(false);
}

// ---- register ----

void PNWireRegister::send(const PNText& token, std::uint32_t appID, const PNText& appkey, const PNText& account) {
    if (!appkey) {
        log("[pnpuh error]appkey is nil");
    }
    if (!token) {
        log("[pnpuh error]deviceTokenStr is nil");
    }
    if (!appkey || !token) {
        giveUp();
        return;
    }
    const PNHelper& helper = PNHelper::getInstance();
    PNWireRegisterReq request;
    request.setTlv_accessId(appID);
    request.setTlv_accessKey(accessKeyOf(token, appkey));
    request.setTlv_deviceId(std::string());
    request.setTlv_appCert(std::string());
    request.setTlv_account(textValue(account));
    request.setTlv_deviceType(1);
    auto deviceInfo = makeRef<PNDeviceInfo>();
    deviceInfo->setTlv_language(textValue(helper.getLanguage()));
    request.setTlv_deviceInfo(deviceInfo);
    request.setTlv_token(*token);
    request.setTlv_keyEncrypted(1);
    const Dictionary network = helper.fetchSSIDInfo();
    auto mutableInfo = makeRef<PNMutableInfo>();
    mutableInfo->setTlv_ssid(text::lowercase(network.get("SSID").stringValue()));
    mutableInfo->setTlv_bssid(text::lowercase(network.get("BSSID").stringValue()));
    mutableInfo->setTlv_mac(PNHelper::getMacAddress());
    request.setTlv_mutableInfo(mutableInfo);
    request.setTlv_updateAutoTag(2);
    request.setTlv_appVersion(helper.getAppVersion());
    Dictionary reserved;
    const PNSetting& setting = PNSetting::getInstance();
    if (setting.Channel()) {
        reserved.set("ch", *setting.Channel());
    }
    if (setting.GameServer()) {
        reserved.set("gs", *setting.GameServer());
    }
    request.setTlv_reserved(helper.getJson(Value(reserved)));
    const auto frame = frameOf(request, 4);
    if (!frame) {
        giveUp();
        return;
    }
    token_ = token;
    startWithFrame(*frame, 0, true);
}

void PNWireRegister::connected() {
    queueRead(0);
}

void PNWireRegister::replyArrived(const std::optional<Bytes>& record, std::int64_t) {
    if (record) {
        // The token counts as registered from here on (kept before the row is queued, so a row of
        // this registration never stands beside an older token).
        PNStore::getInstance().saveRegisteredToken(token_);
        auto model = makeRef<PNRegisterModel>();
        model->setAccount(account_);
        model->setIsRegistered(1);
        PNSqlite::getInstance().storeRegisterModel(model);
    }
    report(record.has_value());
    closeSocket();
}

// ---- reconnect first ----

bool PNWireReconnectFirst::sendReconnect(const PNText& token) {
    if (!token) {
        log("[pnpuh error]deviceTokenStr is nil");
        giveUp();
        return false;
    }
    PNWireReconnectReq request;
    request.setTlv_token(*token);
    auto mutableInfo = makeRef<PNMutableInfo>();
    mutableInfo->setTlv_ssid(Value());
    mutableInfo->setTlv_bssid(Value());
    mutableInfo->setTlv_mac(Value());
    request.setTlv_mutableInfo(mutableInfo);
    request.setTlv_deviceType(1);
    const auto frame = frameOf(request, 6);
    if (!frame) {
        giveUp();
        return false;
    }
    return startWithFrame(*frame, 0, false);
}

void PNWireReconnectFirst::connected() {
    queueRead(0);
}

void PNWireReconnectFirst::replyArrived(const std::optional<Bytes>& record, std::int64_t tag) {
    if (tag == 0) {
        // Decoded and not judged: the second frame follows whatever came back.
        if (record) {
            static_cast<void>(PNWireReconnectRsp::fromData(*record));
        }
        sendSecond();
        return;
    }
    report(record.has_value());
    closeSocket();
}

void PNWireReconnectFirst::sendSecond() {
    const auto frame = secondFrame();
    if (!frame) {
        callError();
        closeSocket();
        return;
    }
    writeFrameAndRead(*frame, 1);
}

// ---- unregister, tag, click ----

void PNWireUnregister::send(const PNText& token) {
    const PNConfig& config = PNConfig::getInstance();
    if (!config.appkey()) {
        log("[pnpuh error]appkey is nil");
        giveUp();
        return;
    }
    token_ = token;
    sendReconnect(token_);
}

std::optional<Bytes> PNWireUnregister::secondFrame() {
    const PNConfig& config = PNConfig::getInstance();
    auto appInfo = makeRef<PNAppInfo>();
    appInfo->setTlv_accessId(config.appId());
    appInfo->setTlv_accessKey(accessKeyOf(token_, config.appkey()));
    appInfo->setTlv_appCert(std::string());
    appInfo->setTlv_keyEncrypted(1);
    auto info = makeRef<PNUnregInfo>();
    info->setTlv_appInfo(appInfo);
    info->setTlv_isUninstall(1);
    info->setTlv_timestamp(static_cast<std::uint32_t>(static_cast<std::int64_t>(currentTimeSince1970())));
    PNWireUnregisterReq request;
    request.setTlv_unregInfo(info);
    request.setTlv_deviceType(1);
    return frameOf(request, 5);
}

void PNWireTokenTag::send(const PNText& tag, std::uint8_t flag) {
    if (!tag) {
        log("[pnwarn]tag's value is nil");
        giveUp();
        return;
    }
    tag_ = tag;
    flag_ = flag;
    // A tag too large for the frame that will carry it gives up before anything is opened (the frame
    // layer logs it).
    PNWireTokenTagReq request;
    fillRequest(request);
    const Bytes record = request.toData();
    if (record.size() + PNTlv::kHeaderLength > PNTlv::kMaxFrameLength) {
        static_cast<void>(PNTlv::toFullTlvData(record, 15));
        giveUp();
        return;
    }
    sendReconnect(PNStore::getInstance().getLocalToken());
}

void PNWireTokenTag::fillRequest(PNWireTokenTagReq& request) const {
    request.setTlv_accessId(PNConfig::getInstance().appId());
    request.setTlv_tag(textValue(tag_));
    request.setTlv_flag(flag_);
}

std::optional<Bytes> PNWireTokenTag::secondFrame() {
    PNWireTokenTagReq request;
    fillRequest(request);
    return frameOf(request, 15);
}

void PNWirePushClick::send(std::uint32_t kind) {
    type_ = kind;
    sendReconnect(PNStore::getInstance().getLocalToken());
}

std::optional<Bytes> PNWirePushClick::secondFrame() {
    auto report = makeRef<PNWireClickClientReport>();
    report->setTlv_msgId(0);
    report->setTlv_accessId(PNConfig::getInstance().appId());
    report->setTlv_broadcastId(bid_);
    report->setTlv_timestamp(ts_);
    report->setTlv_type(type_);
    PNWirePushClickReq request;
    request.setTlv_msgClickList(Value::array({Value(Ref<Object>(report))}));
    return frameOf(request, 16);
}

}  // namespace lv
