#include "analytics/tally_pack.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <utility>

#include "analytics/deflated.h"
#include "analytics/imprint.h"
#include "analytics/tally_app.h"
#include "analytics/tally_config.h"
#include "analytics/tally_envelope.h"
#include "analytics/tly_util.h"
#include "analytics/upload_link.h"
#include "platform/base/clock.h"
#include "platform/base/log.h"

namespace lv {
namespace {

std::int64_t milliseconds(double seconds) { return static_cast<std::int64_t>(seconds * 1000); }

void logException(const Exception& e) { log("Exception occurred: %@, %@", e.description(), Value(e.userInfo())); }

// An engine with empty caches and level 0, for a builder made before the engine exists.
class NoEngine final : public TallyPackEngine {
public:
    std::vector<Ref<TLYEvent>> events() const override { return {}; }
    std::vector<Ref<TLYError>> errors() const override { return {}; }
    std::vector<Ref<TLYEkv>> ekv() const override { return {}; }
    std::vector<Ref<TLYTerminate>> terminates() const override { return {}; }
    void removeInstanceMsgs() override {}
    void removeSessions() override {}
    void buildDummySession() override {}
    void removeCacheData() override {}
    std::size_t removeOldestEvents(std::size_t) override { return 0; }
    std::string wrapperType() const override { return {}; }
    std::string wrapperVersion() const override { return {}; }
    std::int32_t defcon() const override { return defcon_; }
    void setDefcon(std::int32_t level) override { defcon_ = level; }
    std::int32_t latency() const override { return 0; }
    bool bDisguisedLatency() const override { return false; }
    double elapsedTimeFromPost() const override { return -1; }

private:
    std::int32_t defcon_ = 0;
};

std::mutex sharedMutex;
std::shared_ptr<TallyPackEngine>& sharedEngine = *new std::shared_ptr<TallyPackEngine>;  // never destroyed

// A message being grouped: its lists grow in place and become the record's fields at the end.
struct DraftMessage {
    std::string id;
    std::optional<std::vector<TPKEvent>> events;
    std::optional<std::vector<TPKError>> errors;
};

// The last message of the session, or a new one (with an empty event list) appended to the list.
DraftMessage& messageForSession(std::vector<DraftMessage>& messages, const std::string& sessionId) {
    for (auto it = messages.rbegin(); it != messages.rend(); ++it) {
        if (it->id == sessionId) return *it;
    }
    messages.push_back({sessionId, std::vector<TPKEvent>{}, std::nullopt});
    return messages.back();
}

}  // namespace

TallyPack::TallyPack(std::shared_ptr<TallyPackEngine> engine, IdentifierSource identifiers)
    : engine_(engine ? std::move(engine) : std::make_shared<NoEngine>()), identifiers_(std::move(identifiers)) {
    buildDeviceInfo();
    buildAppInfo();
    buildMiscInfo();
    buildLogEntry();
    buildActivateMsg();
    idTracking_ = buildIdTracking(identifiers_);
    entry_.setId_tracking(idTracking_);
}

namespace {
Ref<TallyPack>& packSlot() {
    static Ref<TallyPack>& shared = *new Ref<TallyPack>();  // never destroyed
    return shared;
}
}  // namespace

Ref<TallyPack> TallyPack::sharedInstance() {
    Ref<TallyPack>& shared = packSlot();
    std::lock_guard lock(sharedMutex);
    if (!shared) shared = makeRef<TallyPack>(sharedEngine ? sharedEngine : UploadLink::packEngine());
    return shared;
}

void TallyPack::resetSharedInstance() {
    Ref<TallyPack> old;
    std::lock_guard lock(sharedMutex);
    old = std::exchange(packSlot(), nullptr);
}

void TallyPack::setSharedEngine(std::shared_ptr<TallyPackEngine> engine) {
    std::lock_guard lock(sharedMutex);
    sharedEngine = std::move(engine);
}

void TallyPack::buildDeviceInfo() {
    deviceInfo_.setDevice_id(TLYUtil::deviceUIDString());
    deviceInfo_.setMac_address(TLYUtil::deviceMacAddressString());
    deviceInfo_.setModel(TLYUtil::deviceModelString());
    deviceInfo_.setOs(TLYUtil::osString());
    deviceInfo_.setOs_version(TLYUtil::osVersionString());
    deviceInfo_.setResolution(makeResolution(TLYUtil::resolutionHeight(), TLYUtil::resolutionWidth()));
}

void TallyPack::buildAppInfo() {
    const Ref<TallyApp> app = TallyApp::sharedInstance();
    appInfo_.setKey(app->appid());
    appInfo_.setVersion(TLYUtil::appVersionString());
    appInfo_.setPackage_name(TLYUtil::appPackageNameString());
    appInfo_.setSdk_type(1);
    appInfo_.setSdk_version(TLYUtil::sdkVersionString());
    appInfo_.setChannel(app->channel());
    if (const std::string type = engine_->wrapperType(); !TLYUtil::isEmptyString(Value(type))) {
        appInfo_.setWrapper_type(type);
    }
    if (const std::string version = engine_->wrapperVersion(); !TLYUtil::isEmptyString(Value(version))) {
        appInfo_.setWrapper_version(version);
    }
}

void TallyPack::buildMiscInfo() {
    miscInfo_.setTime_zone(static_cast<std::int32_t>(TLYUtil::timezone()));
    miscInfo_.setLanguage(TLYUtil::languageString());
    miscInfo_.setCountry(TLYUtil::countryString());
    miscInfo_.setCarrier(TLYUtil::carrierString());
    miscInfo_.setDisplay_name(TLYUtil::appDisplayNameString());
    const std::string access = TLYUtil::accessString();
    miscInfo_.setAccess_type(access == "WiFi" ? 2 : access == "CellNetwork" ? 1 : 0);
}

void TallyPack::buildLogEntry() {
    entry_.setApp_info(appInfo_);
    entry_.setDevice_info(deviceInfo_);
    entry_.setMisc_info(miscInfo_);
}

void TallyPack::buildActivateMsg() {
    if (!TallyConfig::configureWithKey("tlyActivateMsg").isNil()) return;
    TPKActivateMsg message;
    message.setTs(milliseconds(currentTimeSince1970()));
    activateMsg_ = message;
    entry_.setActivate_msg(message);
}

void TallyPack::buildClientStats() {
    TPKClientStats stats;
    const Value successful = TallyConfig::configureWithKey("tlySuccessfulRequests");
    const Value failed = TallyConfig::configureWithKey("tlyFailedRequests");
    const Value spent = TallyConfig::configureWithKey("tlyLastRequestSpentMS");
    if (!successful.isNil()) stats.setSuccessful_requests(successful.intValue());
    if (!failed.isNil()) stats.setFailed_requests(failed.intValue());
    if (!spent.isNil()) stats.setLast_request_spent_ms(spent.intValue());
    entry_.setClient_stats(std::move(stats));
}

void TallyPack::buildSessionsAndInstantMessages() {
    switch (engine_->defcon()) {
        case 0:
            buildInstantMessages();
            buildSessions();
            return;
        case 2:
            engine_->removeInstanceMsgs();
            entry_.setInstant_msgs(std::vector<TPKInstantMsg>{});
            engine_->removeSessions();
            engine_->buildDummySession();
            buildSessions();
            return;
        case 3:
            engine_->removeInstanceMsgs();
            entry_.setInstant_msgs(std::vector<TPKInstantMsg>{});
            engine_->removeSessions();
            buildSessions();
            return;
        default:  // 1 and any unknown level
            engine_->removeInstanceMsgs();
            entry_.setInstant_msgs(std::vector<TPKInstantMsg>{});
            buildSessions();
            return;
    }
}

void TallyPack::buildInstantMessages() {
    std::vector<DraftMessage> drafts;
    for (const auto& event : engine_->events()) {
        DraftMessage& message = messageForSession(drafts, event->session_id);
        if (!message.events) message.events.emplace();
        message.events->push_back(eventFromEvent(*event));
    }
    for (const auto& error : engine_->errors()) {
        drafts.push_back({error->session_id, std::nullopt, std::vector<TPKError>{errorFromError(*error)}});
    }
    for (const auto& ekv : engine_->ekv()) {
        DraftMessage& message = messageForSession(drafts, ekv->session_id);
        if (!message.events) message.events.emplace();
        // Only "ekv" items are sent: "gkv" (game) items still list their message but never reach
        // the wire, as the log format has no game events.
        if (ekv->type == "ekv") message.events->push_back(eventFromEkv(*ekv));
    }
    std::vector<TPKInstantMsg> messages;
    messages.reserve(drafts.size());
    for (auto& draft : drafts) {
        TPKInstantMsg message;
        message.setId(std::move(draft.id));
        if (draft.events) message.setEvents(std::move(draft.events));
        if (draft.errors) message.setErrors(std::move(draft.errors));
        messages.push_back(std::move(message));
    }
    entry_.setInstant_msgs(std::move(messages));
}

void TallyPack::buildSessions() {
    std::vector<TPKSession> sessions;
    for (const auto& terminate : engine_->terminates()) sessions.push_back(buildSessionFrom(*terminate));
    entry_.setSessions(std::move(sessions));
}

TPKSession TallyPack::buildSessionFrom(const TLYTerminate& terminate) {
    TPKSession session;
    session.setId(terminate.session_id);
    session.setStart_time(milliseconds(terminate.ts - terminate.duration));
    session.setEnd_time(milliseconds(terminate.ts));
    session.setDuration(milliseconds(terminate.duration));
    if (!terminate.pageViews.empty()) {
        std::vector<TPKPage> pages;
        for (const Value& view : terminate.pageViews) {
            try {
                if (!view.isArray() || view.count() != 2) {
                    Exception::raise("NSRangeException", "page view is not a [name, seconds] pair");
                }
                TPKPage page;
                page.setPage_name(view.array()[0].isString() ? view.array()[0].string() : std::string());
                // The whole seconds are taken first, then scaled in 64 bits (no 32-bit overflow).
                page.setDuration(static_cast<std::int64_t>(view.array()[1].intValue()) * 1000);
                pages.push_back(std::move(page));
            } catch (const Exception& e) {
                logException(e);
            }
        }
        session.setPages(std::move(pages));
    }
    if (terminate.hasGPSInfo()) {
        session.setLocations(std::vector<TPKLocation>{makeLocation(terminate.latitude, terminate.longitude, terminate.gps_time)});
    }
    return session;
}

TPKEvent TallyPack::eventFromEvent(const TLYEvent& event) {
    TPKEvent record;
    record.setName(event.event_id);
    TPKPropertyValue label;
    label.setString_value(event.label);
    record.setProperties(std::map<std::string, TPKPropertyValue>{{event.event_id, label}});
    record.setDuration(event.du);
    // The wire count is 32 bits: a larger count is sent as the largest one rather than wrapped.
    record.setAcc(static_cast<std::int32_t>(std::clamp<std::int64_t>(event.acc, INT32_MIN, INT32_MAX)));
    record.setTs(milliseconds(event.ts));
    return record;
}

TPKEvent TallyPack::eventFromEkv(const TLYEkv& ekv) {
    TPKEvent record;
    record.setName(ekv.id);
    std::map<std::string, TPKPropertyValue> properties;
    for (const auto& [key, value] : ekv.values) {
        TPKPropertyValue property;
        if (value.isString()) {
            property.setString_value(value.string());
        } else if (value.isNumeric()) {
            property.setLong_value(value.longLongValue());
        }
        properties.insert_or_assign(key, std::move(property));
    }
    record.setProperties(std::move(properties));
    record.setDuration(ekv.du);
    record.setTs(milliseconds(ekv.ts));
    return record;
}

TPKError TallyPack::errorFromError(const TLYError& error) {
    TPKError record;
    record.setTs(milliseconds(error.ts));
    record.setContext(error.context);
    return record;
}

void TallyPack::buildImprint() {
    std::optional<TPKImprint> stored = storedImprint();
    if (stored && imprintChecksumHolds(stored)) entry_.setImprint(std::move(*stored));
}

void TallyPack::buildControlPolicy() {
    const std::int32_t latency = engine_->latency();
    if (engine_->defcon() != 0 || (!engine_->bDisguisedLatency() && latency < 1)) {
        entry_.unsetControl_policy();
        return;
    }
    const double elapsed = engine_->elapsedTimeFromPost();
    TPKLatent latent;
    latent.setLatency(latency);
    latent.setInterval(elapsed > 0 ? milliseconds(elapsed) : 0);
    TPKControlPolicy policy;
    policy.setLatent(std::move(latent));
    entry_.setControl_policy(std::move(policy));
}

void TallyPack::buildGroupInfo() {
    const Value groups = TallyConfig::configureWithKey("tlyExperimentGroupInfo");
    if (!groups.isDictionary() || groups.dictionary().empty() || TallyApp::isIntegratedTestModel()) {
        entry_.unsetGroup_info();
        return;
    }
    std::map<std::string, std::int32_t> info;
    for (const auto& [key, value] : groups.dictionary()) info.insert_or_assign(key, value.intValue());
    entry_.setGroup_info(std::move(info));
}

void TallyPack::buildActiveUser() {
    const Value puid = TallyConfig::configureWithKey("TLYProfilePUID");
    if (puid.isNil()) {
        entry_.unsetActive_user();
        return;
    }
    TPKActiveUser user;
    if (const Value provider = TallyConfig::configureWithKey("TLYProfileProvider"); provider.isString()) {
        user.setProvider(provider.string());
    }
    if (puid.isString()) user.setPuid(puid.string());
    entry_.setActive_user(std::move(user));
}

Bytes TallyPack::serialize() {
    buildClientStats();
    buildSessionsAndInstantMessages();
    buildImprint();
    buildControlPolicy();
    buildGroupInfo();
    buildActiveUser();
    TPKMemoryBuffer buffer;
    try {
        TPKBinaryProtocol protocol(buffer);
        entry_.write(protocol);
    } catch (const Exception& e) {
        logException(e);
    }
    return buffer.takeBuffer();
}

bool TallyPack::shedEvents(std::size_t size, std::size_t cap) {
    const std::size_t count = engine_->events().size() + engine_->ekv().size();
    if (count == 0) return false;
    // The entry's size is mostly its events: drop the share that is over the cap, and a tenth more so
    // that a few rounds at most reach it.
    const double keep = 0.9 * static_cast<double>(cap) / static_cast<double>(std::max<std::size_t>(size, 1));
    const auto drop = static_cast<std::size_t>(std::ceil(static_cast<double>(count) * (1.0 - std::min(keep, 1.0))));
    return engine_->removeOldestEvents(std::max<std::size_t>(drop, 1)) > 0;
}

std::optional<Bytes> TallyPack::toData() {
    for (;;) {
        Bytes bytes = serialize();
        if (bytes.size() < caps_.rawBytes) {
            TallyEnvelope::sharedInstance()->setLength(static_cast<std::int32_t>(bytes.size()));
            return bytes;
        }
        if (!shedEvents(bytes.size(), caps_.rawBytes)) break;
    }
    engine_->removeCacheData();
    return std::nullopt;
}

std::optional<Bytes> TallyPack::entityData() {
    for (;;) {
        const std::optional<Bytes> raw = toData();
        if (!raw) return std::nullopt;
        std::optional<Bytes> deflated = TLYUtil::deflatedData(*raw);
        if (!deflated) return std::nullopt;
        if (deflated->size() < caps_.deflatedBytes) return deflated;
        if (!shedEvents(deflated->size(), caps_.deflatedBytes)) break;
    }
    engine_->removeCacheData();
    return std::nullopt;
}

void TallyPack::setActivateMsgFlag() {
    const auto& message = entry_.activate_msg();
    if (!message) return;
    if (TallyConfig::configureWithKey("tlyActivateMsg").isNil()) {
        TallyConfig::setConfigure(Value(message->ts()), "tlyActivateMsg");
    }
    entry_.unsetActivate_msg();
    activateMsg_.reset();
}

TPKUALogEntry TallyPack::fromData(std::span<const std::uint8_t> bytes) {
    TPKUALogEntry entry;
    try {
        TPKMemoryBuffer buffer(bytes);
        TPKBinaryProtocol protocol(buffer);
        entry.read(protocol);
    } catch (const Exception& e) {
        logException(e);
    }
    return entry;
}

void TallyPack::saveIdTracking() {
    lv::saveIdTracking(idTracking_);
    entry_.setId_tracking(idTracking_);
}

}  // namespace lv
