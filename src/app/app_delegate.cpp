#include "app/app_delegate.h"

#include <cctype>

#include "content/api_processor.h"
#include "content/color_customize.h"
#include "content/content_records.h"
#include "content/launch_glue.h"
#include "content/logger.h"
#include "content/microblog_helper.h"
#include "content/property_persistance.h"
#include "content/reachability.h"
#include "content/utils.h"
#include "mapping/value_transformer.h"
#include "platform/base/log.h"
#include "platform/dispatch/queue.h"
#include "platform/runtime/runtime.h"
#include "platform/storage/bundle.h"
#include "platform/ui/color.h"
#include "platform/ui/device.h"
#include "platform/ui/font.h"
#include "platform/ui/image.h"
#include "store/contexts.h"
#include "store/record_stack.h"
#include "store/saves.h"

namespace lv {

namespace {

std::mutex observerMutex;
std::function<void(bool)>& tabSetObserver = *new std::function<void(bool)>;  // never destroyed
auto& expectedRegistrationFailure = *new std::function<bool(const Ref<Error>&)>;  // main thread; never destroyed

// The running version is lower than or equal to the service's: text order, case-insensitive, character by
// character (so "1.10" is lower than "1.9").
bool versionNotGreater(const std::string& running, const std::string& service) {
    std::size_t i = 0;
    for (; i < running.size() && i < service.size(); ++i) {
        int a = std::tolower(static_cast<unsigned char>(running[i]));
        int b = std::tolower(static_cast<unsigned char>(service[i]));
        if (a != b) return a < b;
    }
    return running.size() <= service.size();
}

std::string infoText(const char* key) { return Bundle::mainBundle()->objectForInfoDictionaryKey(key).stringValue(); }

template <class Screen>
Ref<Screen> makeScreen(Ref<Screen>& slot, const char* className, const char* title) {
    if (!slot) {
        slot = makeRef<Screen>(className, nullptr);
        slot->setTitle(title);
    }
    return slot;
}

}  // namespace

const ClassInfo* AppDelegate::runtimeClass() {
    static const ClassInfo* cls = ClassDef<AppDelegate>("AppDelegate").factory().registerClass();
    return cls;
}

void registerAppClasses() {
    registerURLClass();
    jm_registerNamedTransformers();
    registerContentRecordClasses();
    LNPreferences::runtimeClass();
    AppDelegate::runtimeClass();
}

int appMain(int argc, char** argv) {
    registerAppClasses();
    return applicationMain(argc, argv, "", "AppDelegate");
}

const std::vector<std::string>& AppDelegate::fullTabImageNames() {
    static const auto& names = *new std::vector<std::string>{"tabbar_music", "tabbar_news", "tabbar_life",
                                                             "tabbar_mall", "tabbar_variety"};
    return names;
}

const std::vector<std::string>& AppDelegate::reducedTabImageNames() {
    static const auto& names = *new std::vector<std::string>{"tabbar_music", "tabbar_news", "tabbar_mall"};
    return names;
}

void AppDelegate::setTabSetInstalledObserver(std::function<void(bool)> observer) {
    std::lock_guard lock(observerMutex);
    tabSetObserver = std::move(observer);
}

void AppDelegate::setExpectedRegistrationFailure(std::function<bool(const Ref<Error>&)> filter) {
    expectedRegistrationFailure = std::move(filter);
}

bool AppDelegate::applicationDidFinishLaunchingWithOptions(Application&, const Dictionary& launchOptions) {
    window_ = Window::make(Screen::mainScreen()->bounds());
    tabBarController_ = TCTabBarController::make();
    // Auto-migrating, so a store written while the counts were 32-bit opens with every row kept.
    RecordStack::setupCoreDataStackWithAutoMigratingSqliteStoreNamed("lunavexa.sqlite");
    window_->setBackgroundColor(Color::whiteColor());
    Utils::sharedUtils()->setIsNetworkRunning(CheckNetwork::isExistenceNetwork());

    Ref<LNPreferences> settings = preferences();
    if (settings->hideVideos().isNil()) settings->setHideVideos(Value(true));
    if (settings->checkUpdate().isNil()) settings->setCheckUpdate(Value(false));

    std::string running = infoText("CFBundleShortVersionString");
    if (!settings->hideVideos().boolValue() && settings->appVersion().isString() &&
        settings->appVersion().string() == running) {
        showAllControllers();
    } else {
        auto self = std::static_pointer_cast<AppDelegate>(shared_from_this());
        APIProcessor::sharedAPIProcessor()->videoConfigSuccess(
            [self](const Value& items) { self->videoConfigReply(items); },
            [self](const Ref<Error>& error) { self->videoConfigFailure(error); });
    }
    Logger::sharedLogger()->setLogLevel(7);
    AnalyticsHelper::start();
    PushHelper::instance()->didFinishLaunchingWithOptions(launchOptions);
    return true;
}

void AppDelegate::videoConfigReply(const Value& items) {
    Ref<LNPreferences> settings = preferences();
    // No usable list: handled like a failure.
    if (!items.isArray()) {
        videoConfigFailure(nullptr);
        return;
    }
    Value video;
    Value version;
    for (const Value& item : items.array()) {
        if (!item.isDictionary()) continue;
        const Value& name = item["name"];
        if (!name.isString()) continue;
        if (name.string() == "video") video = item["value"];
        if (name.string() == "version") version = item["value"];
    }
    // Without the service's version there is nothing to compare with: handled like a failure.
    if (version.isNilOrNull()) {
        videoConfigFailure(nullptr);
        return;
    }
    std::string running = infoText("CFBundleShortVersionString");
    if (versionNotGreater(running, version.stringValue())) {
        if (video.isString() && video.string() == "1") {
            settings->setHideVideos(Value(false));
            settings->setCheckUpdate(Value(true));
            settings->setAppVersion(Value(running));
            settings->setAppBuild(Value(infoText("CFBundleVersion")));
        } else {
            settings->setHideVideos(Value(true));
        }
    }
    if (settings->hideVideos().boolValue()) {
        showNormalControllers();
    } else {
        showAllControllers();
    }
}

void AppDelegate::videoConfigFailure(const Ref<Error>&) {
    preferences()->setHideVideos(Value(true));
    showNormalControllers();
}

void AppDelegate::showAllControllers() { install(true); }
void AppDelegate::showNormalControllers() { install(false); }

void AppDelegate::install(bool full) {
    if (tabSetChosen_.exchange(true)) {
        log("AppDelegate: a tab set is already installed; %s set ignored", full ? "full" : "reduced");
        return;
    }
    auto self = std::static_pointer_cast<AppDelegate>(shared_from_this());
    Queue::main()->async([self, full] {
        std::vector<Ref<ViewController>> screens;
        screens.push_back(self->topMusicViewController());
        screens.push_back(self->newsViewController());
        if (full) screens.push_back(self->liveViewController());
        screens.push_back(self->marketViewController());
        if (full) screens.push_back(self->mediaViewController());
        self->tabBarController_->setViewControllers(screens);
        self->window_->setRootViewController(self->tabBarController_);
        self->setupTabBarStyle(self->tabBarController_);
        self->window_->makeKeyAndVisible();
        std::function<void(bool)> observer;
        {
            std::lock_guard lock(observerMutex);
            observer = tabSetObserver;
        }
        if (observer) observer(full);
    });
}

void AppDelegate::setupTabBarStyle(const Ref<TCTabBarController>& controller) {
    const Ref<TCTabBar>& bar = controller->tabBar();
    Rect frame = bar->frame();
    frame.size.height = 63;
    bar->setFrame(frame);
    const auto& names = preferences()->hideVideos().boolValue() ? reducedTabImageNames() : fullTabImageNames();
    const auto& items = bar->items();
    for (std::size_t i = 0; i < items.size(); ++i) {
        const Ref<TCTabBarItem>& item = items[i];
        item->setBackgroundColor(ColorCustomize::colorWithHexString("#2B3D59"));
        Ref<Font> font = Font::systemFontOfSize(11);
        item->setSelectedTitleAttributes(Dictionary{
            {"NSForegroundColorAttributeName", Value(ColorCustomize::colorWithHexString("#72DCD6"))},
            {"NSFontAttributeName", Value(font)}});
        item->setUnselectedTitleAttributes(Dictionary{
            {"NSForegroundColorAttributeName", Value(ColorCustomize::colorWithHexString("#AACACC"))},
            {"NSFontAttributeName", Value(font)}});
        if (i < names.size()) {
            item->setFinishedSelectedImage(Image::imageNamed(names[i] + "_selected"), Image::imageNamed(names[i]));
        }
        item->setImagePositionAdjustment(Offset{0, -3});
        item->setTitlePositionAdjustment(Offset{0, 2});
    }
}

void AppDelegate::applicationDidBecomeActive(Application&) {
    bool online = CheckNetwork::isExistenceNetwork();
    Utils::sharedUtils()->setIsNetworkRunning(online);
    if (!online) {
        auto self = std::static_pointer_cast<AppDelegate>(shared_from_this());
        AlertView::make("警告", "未连接网络,将使用离线模式", Weak<AlertViewDelegate>(self), "确认", {})->show();
    }
}

void AppDelegate::applicationWillTerminate(Application&) {
    RS_saveToPersistentStoreAndWait(RS_context());
    // The root saving context may hold changes saved into it but not yet written: write them too.
    if (Ref<ManagedObjectContext> root = RS_rootSavingContext()) {
        bool changed = false;
        root->performAndWait([&] { changed = root->hasChanges(); });
        if (changed) RS_saveToPersistentStoreAndWait(root);
    }
    RecordStack::cleanUp();
}

bool AppDelegate::applicationOpenURL(Application&, const Ref<URL>& url, const std::string&, const Value&) {
    return MicroblogSDK::handleOpenURL(url, MicroblogHelper::sharedMicroblogHelper());
}

void AppDelegate::applicationDidReceiveRemoteNotification(Application&, const Dictionary& payload) {
    PushHelper::instance()->didReceiveRemoteNotification(payload);
}

void AppDelegate::applicationDidReceiveLocalNotification(Application&, const Ref<LocalNotification>& n) {
    PushHelper::instance()->didReceiveLocalNotification(n);
}

void AppDelegate::applicationDidRegisterUserNotificationSettings(Application&,
                                                                 const Ref<UserNotificationSettings>& settings) {
    PushHelper::instance()->didRegisterUserNotificationSettings(settings);
}

void AppDelegate::applicationHandleActionWithIdentifier(Application&, const std::string& identifier,
                                                        const Dictionary& payload, std::function<void()> completion) {
    PushHelper::instance()->handleActionWithIdentifier(identifier, payload, completion);
}

void AppDelegate::applicationDidRegisterForRemoteNotificationsWithDeviceToken(Application&, const Bytes& token) {
    PushHelper::instance()->didRegisterForRemoteNotificationsWithDeviceToken(token);
}

void AppDelegate::applicationDidFailToRegisterForRemoteNotificationsWithError(Application&, const Ref<Error>& error) {
    if (expectedRegistrationFailure && expectedRegistrationFailure(error)) return;
    PushHelper::instance()->didFailToRegisterForRemoteNotificationsWithError(error);
}

Ref<LNPreferences> AppDelegate::preferences() {
    std::call_once(preferencesOnce_, [this] {
        preferences_ = makeRef<LNPreferences>();
        PropertyPersistance::setPersistanceOn(*preferences_);
        MicroblogHelper::attachPreferences([preferences = preferences_] { return preferences; });
    });
    return preferences_;
}

Ref<TopMusicViewController> AppDelegate::topMusicViewController() {
    return makeScreen(topMusic_, "TopMusicViewController", "音乐排行榜");
}
Ref<NewsViewController> AppDelegate::newsViewController() {
    return makeScreen(news_, "NewsViewController", "新闻资讯");
}
Ref<MarketViewController> AppDelegate::marketViewController() {
    return makeScreen(market_, "MarketViewController", "岚朵商城");
}
Ref<MediaViewController> AppDelegate::mediaViewController() {
    return makeScreen(media_, "MediaViewController", "韩剧综艺");
}
Ref<AboutUsViewController> AppDelegate::aboutUsViewController() {
    return makeScreen(aboutUs_, "AboutUsViewController", "关于岚朵");
}
Ref<LiveViewController> AppDelegate::liveViewController() {
    return makeScreen(live_, "LiveViewController", "韩流生活");
}

}  // namespace lv
