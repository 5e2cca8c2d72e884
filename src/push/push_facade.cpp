#include "push/push_facade.h"

#include "platform/base/log.h"
#include "platform/storage/bundle.h"
#include "platform/time/time_zone.h"
#include "platform/ui/alert_view.h"
#include "platform/ui/application.h"
#include "push/push_device.h"
#include "push/push_helper.h"
#include "push/push_keychain.h"
#include "push/push_operations.h"
#include "push/push_reachability.h"
#include "push/push_sqlite.h"

namespace lv {
namespace {

constexpr std::int32_t kRegistrationCacheHours = 15;

// The common guard: started, then a network.
bool passesGuard() {
    if (!PNConfig::getInstance().isStarted()) {
        return false;
    }
    if (!PNReachability::reachabilityForInternetConnection()->isReachable()) {
        log("no network");
        return false;
    }
    return true;
}

bool sameText(const Value& value, const PNText& text) {
    return text && value.isString() && value.string() == *text;
}

std::uint32_t u32Of(const Value& value) {
    return static_cast<std::uint32_t>(value.longLongValue());
}

void reportClick(const Value& pn, std::uint32_t kind, PNPush::Callback success, PNPush::Callback error) {
    auto click = PNWirePushClick::make();
    click->setClicksuccessCallback(std::move(success));
    click->setClickErrorCallback(std::move(error));
    click->setBid(u32Of(pn["bid"]));
    click->setTs(u32Of(pn["ts"]));
    click->connect();
    click->send(kind);
}

}  // namespace

void PNPush::startApp(std::uint32_t appId, const PNText& appKey) {
    PNConfig& config = PNConfig::getInstance();
    config.setAppId(appId);
    config.setAppkey(appKey);
    config.setKeyForKeyChain(PNHelper::getInstance().getCompanyDomain());
}

void PNPush::startAppForMSDK(std::uint32_t appId, const PNText& appKey) {
    struct Range {
        std::int64_t first, end, offset;
    };
    static constexpr Range kRanges[] = {
        {1, 200'000, 90'000'000},
        {99'000'000, 100'000'000, 0},
        {100'200'000, 100'600'000, -10'000'000},
        {101'000'000, 101'400'000, -10'400'000},
        {900'000'000, 900'100'000, -809'000'000},
        {1'000'000'000, 1'000'100'000, -908'900'000},
        {1'101'000'000, 1'104'500'000, -1'009'800'000},
        {1'150'000'000, 1'150'100'000, -1'055'300'000},
        {100'600'000, 101'000'000, -5'800'000},
    };
    const std::int64_t id = appId;
    for (const Range& range : kRanges) {
        if (id >= range.first && id < range.end) {
            const std::int64_t mapped = id + range.offset + 2'200'000'000;
            log("resultAppId is %lld", static_cast<long long>(mapped));
            startApp(static_cast<std::uint32_t>(mapped), appKey);
            return;
        }
    }
    log("[pnpush error]appId is not valid");
}

void PNPush::initForReregister(std::function<void()> block) {
    PNSqlite::getInstance().storeUnRegisterStatus(0, std::move(block));
}

bool PNPush::isUnRegisterStatus() {
    return PNSqlite::getInstance().loadUnRegisterStatus() == 1;
}

void PNPush::setAccount(const PNText& account) {
    PNConfig::getInstance().setAccount(account);
}

std::uint32_t PNPush::getAccessID() {
    return PNConfig::getInstance().appId();
}

PNText PNPush::getDeviceToken(const std::optional<Bytes>& token) {
    return PNDevice::getInstance().getDeviceToken(token);
}

PNText PNPush::registerDevice(const std::optional<Bytes>& token, Callback success, Callback error) {
    const Ref<PNRegisterModel> row = PNSqlite::getInstance().loadRegisterModel();
    const PNText stored = PNStore::getInstance().getLocalToken();
    if (!passesGuard()) {
        return stored;
    }
    const PNText text = PNDevice::getInstance().getDeviceToken(token);
    return registerWith(row, text, false, std::move(success), std::move(error));
}

PNText PNPush::registerDevice(const std::optional<Bytes>& token) {
    return registerDevice(token, nullptr, nullptr);
}

PNText PNPush::registerDeviceStr(const PNText& token) {
    const Ref<PNRegisterModel> row = PNSqlite::getInstance().loadRegisterModel();
    const PNText stored = PNStore::getInstance().getLocalToken();
    if (!passesGuard()) {
        return stored;
    }
    return registerWith(row, token, true, nullptr, nullptr);
}

// Steps 4-11 of a registration, after the guard, with the token text in hand.
PNText PNPush::registerWith(const Ref<PNRegisterModel>& row, const PNText& token, bool fromText, Callback success,
                            Callback error) {
    PNConfig& config = PNConfig::getInstance();
    const PNHelper& helper = PNHelper::getInstance();
    config.setDeviceToken(token);
    const std::uint32_t appId = config.appId();
    const PNText appkey = config.appkey();
    const PNText account = config.account();

    // A row time that cannot be read counts as stale. A slightly future one (another zone's reading of
    // the zone-less text, a clock a little off) counts as recent; one more than the cache span ahead
    // (a clock once set ahead) as stale, or it would hold re-registration until that time.
    std::optional<std::int32_t> ageHours;
    if (row && row->UpdateTime()) {
        if (auto updated = helper.strToTime(*row->UpdateTime())) {
            const std::int32_t seconds = helper.secondsBetweenTimes(*updated, Date::now());
            if (seconds >= -kRegistrationCacheHours * 3600) ageHours = seconds / 3600;
        }
    }
    const Value lastAccessID = PNConfig::loadValueByKey(kPNLastAccessIDKey);
    const bool changed = !lastAccessID.isNil() && lastAccessID.longLongValue() != static_cast<std::int64_t>(appId);
    if (changed) {
        log(fromText ? "accessID Changed" : "startChanged");
    }
    const bool accountMatches = !account || (row && row->Account() && *row->Account() == *account);
    // The row tells when the device last registered, not which token: only the token the server last
    // accepted is cached. A new token, or one whose registration failed or was cut off, registers.
    const PNText registered = PNStore::getInstance().getRegisteredToken();
    const bool sameToken = token && registered && *token == *registered;
    const bool skip = row && row->IsRegistered() != 0 && accountMatches && ageHours &&
                      *ageHours < kRegistrationCacheHours && !changed && sameToken;
    if (skip) {
        log(fromText ? "[pnpush]本次注册由于策略缓存，没有请求服务器。如需查看注册日志，请删除app后再安装。"
                     : "[pnpush]注册策略缓存，本次启动没有请求后台服务器");
    } else {
        // Until the new access id is registered, the cached row must not count as registered.
        if (changed) {
            PNSqlite::getInstance().updateRegisterStatus(0);
        }
        auto registration = PNWireRegister::make();
        registration->setAccount(account);
        registration->setRegistersuccessCallback(std::move(success));
        registration->setRegisterErrorCallback(std::move(error));
        registration->connect();
        registration->send(token, appId, appkey, account);
    }
    config.saveLastAccessID();
    return token;
}

std::string PNPush::registerError(const Ref<Error>& error) {
    return PNDevice::getInstance().getDeviceTokenErrorInfo(error);
}

void PNPush::unRegisterDevice() {
    unRegisterDevice(nullptr, nullptr);
}

void PNPush::unRegisterDevice(Callback success, Callback error) {
    if (!PNConfig::getInstance().isStarted()) {
        return;
    }
    Application::sharedApplication()->unregisterForRemoteNotifications();
    PNSqlite& database = PNSqlite::getInstance();
    database.storeUnRegisterStatus(1, nullptr);
    database.updateRegisterStatus(0);
    const PNText token = PNStore::getInstance().getLocalToken();
    if (!PNReachability::reachabilityForInternetConnection()->isReachable()) {
        log("no network");
        return;
    }
    auto unregister = PNWireUnregister::make();
    unregister->setUnRegistersuccessCallback(std::move(success));
    unregister->setUnRegisterErrorCallback(std::move(error));
    unregister->connect();
    unregister->send(token);
}

static void sendTag(const PNText& tag, std::uint8_t flag, PNPush::Callback success, PNPush::Callback error) {
    if (!passesGuard()) {
        return;
    }
    auto operation = PNWireTokenTag::make();
    operation->setTagsuccessCallback(std::move(success));
    operation->setTagErrorCallback(std::move(error));
    operation->connect();
    operation->send(tag, flag);
}

void PNPush::setTag(const PNText& tag, Callback success, Callback error) {
    sendTag(tag, 1, std::move(success), std::move(error));
}

void PNPush::setTag(const PNText& tag) {
    setTag(tag, nullptr, nullptr);
}

void PNPush::delTag(const PNText& tag, Callback success, Callback error) {
    sendTag(tag, 2, std::move(success), std::move(error));
}

void PNPush::delTag(const PNText& tag) {
    delTag(tag, nullptr, nullptr);
}

Value PNPush::getBid(const Value& payload) {
    if (payload.isNil()) {
        return Value("0");
    }
    const Value& pn = payload["pn"];
    if (pn.isNil()) {
        log("msgid is not found!");
        return Value("0");
    }
    const Value& bid = pn["bid"];
    if (bid.isNil()) {
        log("bid is not found!");
        return Value("0");
    }
    return bid;
}

void PNPush::handleReceiveNotification(const Value& payload, Callback success, Callback error, Callback completion) {
    if (!passesGuard() || payload.isNil()) {
        return;
    }
    const Value& pn = payload["pn"];
    if (pn.isNil()) {
        log("msgid is not found!");
        return;
    }
    if (Application::sharedApplication()->applicationState() == ApplicationState::Active) {
        reportClick(pn, 2, std::move(success), std::move(error));
        log("[pnpush success]receive message, but not alarm");
    } else {
        reportClick(pn, 1, std::move(success), std::move(error));
        log("[pnpush success]clicked message");
    }
    if (completion) {
        completion();
    }
}

void PNPush::handleReceiveNotification(const Value& payload) {
    handleReceiveNotification(payload, Callback());
}

void PNPush::handleReceiveNotification(const Value& payload, Callback completion) {
    handleReceiveNotification(payload, nullptr, nullptr, std::move(completion));
}

void PNPush::handleLaunching(const Value& launchOptions, Callback success, Callback error) {
    if (!passesGuard()) {
        return;
    }
    const Value& payload = launchOptions[kApplicationLaunchOptionsRemoteNotificationKey];
    if (payload.isNil()) {
        return;
    }
    const Value& pn = payload["pn"];
    if (pn.isNil()) {
        log("msgid is not found!");
        return;
    }
    reportClick(pn, 1, std::move(success), std::move(error));
    log("[pnpush success]clicked message on launching");
}

void PNPush::handleLaunching(const Value& launchOptions) {
    handleLaunching(launchOptions, nullptr, nullptr);
}

void PNPush::localNotification(const Value& fireDate, const std::string& alertBody, std::int32_t badge,
                               const std::string& alertAction, const Dictionary& userInfo) {
    auto notification = LocalNotification::make();
    notification->fireDate = fireDate;
    notification->timeZoneName = TimeZone::defaultTimeZone().name();
    notification->alertBody = alertBody;
    notification->alertAction = Bundle::mainBundle()->localizedStringForKey(alertAction, "", "");
    notification->soundName = std::string(kLocalNotificationDefaultSoundName);
    if (badge != -1) {
        notification->applicationIconBadgeNumber = badge;
    }
    notification->userInfo = userInfo;
    Application::sharedApplication()->scheduleLocalNotification(notification);
}

void PNPush::localNotificationAtFrontEnd(const Ref<LocalNotification>& notification, std::string_view key,
                                         const PNText& value) {
    if (!notification || Application::sharedApplication()->applicationState() != ApplicationState::Active ||
        !sameText(notification->userInfo.get(key), value)) {
        return;
    }
    const Value title = Bundle::mainBundle()->objectForInfoDictionaryKey("CFBundleDisplayName");
    AlertView::make(title.isString() ? title.string() : std::string(), notification->alertBody, {}, "关闭")->show();
}

void PNPush::delLocalNotification(const Ref<LocalNotification>& notification) {
    if (notification) {
        Application::sharedApplication()->cancelLocalNotification(notification);
    }
}

void PNPush::delLocalNotification(std::string_view key, const PNText& value) {
    const Ref<Application> application = Application::sharedApplication();
    for (const Ref<LocalNotification>& notification : application->scheduledLocalNotifications()) {
        if (sameText(notification->userInfo.get(key), value)) {
            application->cancelLocalNotification(notification);
        }
    }
}

void PNPush::clearLocalNotifications() {
    Application::sharedApplication()->cancelAllLocalNotifications();
}

}  // namespace lv
