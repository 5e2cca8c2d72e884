// Social analytics: splitting the shares, the request's query and body, and the reply.
#include "analytics/social_analytics.h"

#include "analytics/analytics_log.h"
#include "analytics/protocol_data.h"
#include "analytics/tly_util.h"
#include "platform/base/clock.h"
#include "platform/base/log.h"
#include "platform/dispatch/queue.h"

namespace lv {
namespace {

constexpr std::string_view kNoPlatformMessage = "TallySocialAnalytics: 请提供分享平台名称";

std::string elementText(const Value& element) { return element.isString() ? element.string() : format("%@", element); }

// A copy of the list with each element's text URL-encoded.
Value encodedList(const Value& list) {
    Array encoded;
    if (list.isArray()) {
        for (const auto& element : list.array()) encoded.emplace_back(TLYUtil::urlEncode(elementText(element)));
    }
    return Value(std::move(encoded));
}

}  // namespace

TallySocialMicroblog::TallySocialMicroblog(std::optional<std::string> platformType, std::optional<std::string> microblogId,
                                           std::optional<std::string> usid, Value param)
    : platformType_(std::move(platformType)),
      microblogId_(std::move(microblogId)),
      userId_(std::move(usid)),
      param_(std::move(param)) {
    if (!platformType_ || platformType_->empty()) logLine(kNoPlatformMessage);
}

std::string TallySocialMicroblog::description() const {
    Dictionary fields;
    if (platformType_) fields.set("platformType", Value(*platformType_));
    if (microblogId_) fields.set("microblogId", Value(*microblogId_));
    if (userId_) fields.set("usid", Value(*userId_));
    if (!param_.isNil()) fields.set("param", param_);
    return format("%@", Value(std::move(fields)));
}

const std::shared_ptr<TallySocialAnalytics>& TallySocialAnalytics::sharedInstance() {
    static const auto& instance = *new std::shared_ptr<TallySocialAnalytics>([] {  // never destroyed
        auto made = std::make_shared<TallySocialAnalytics>();
        made->self_ = made;
        return made;
    }());
    return instance;
}

TallySocialAnalytics::TallySocialAnalytics() : operationQueue_(OperationQueue::make()) {
    operationQueue_->setMaxConcurrentOperationCount(kMaxConcurrentRequests);
}

void TallySocialAnalytics::postMicroblogCounts(const Value& microblogs, const std::optional<std::string>& appKey,
                                               const std::optional<std::string>& topic, Completion completion) {
    if (!microblogs.isArray() || microblogs.array().empty()) {
        logLine(kNoPlatformMessage);
        return;
    }
    if (!appKey || appKey->empty()) {
        logLine("TallySocialAnalytics: appKey 不能为空");
        return;
    }
    Array platforms, users, microblogIds;
    Dictionary params;
    for (const auto& element : microblogs.array()) {
        auto share = element.objectAs<TallySocialMicroblog>();
        if (!share) {
            logLine("TallySocialAnalytics: the element in microblogs must be TallySocialMicroblog object!");
            break;
        }
        // A share without a platform name counts under the empty name.
        const std::string platform = share->platformType().value_or("");
        platforms.emplace_back(platform);
        users.emplace_back(share->userId().value_or(""));
        microblogIds.emplace_back(share->microblogId().value_or(""));
        if (!share->param().isNilOrNull()) params.set(platform, share->param());
    }
    std::optional<Bytes> body;
    if (!params.empty()) {
        Value gathered(std::move(params));
        TLYAnalyticsLog("(Social  Analytics param) %@", gathered);
        const std::string text = "data=" + TLYUtils::JSONFragment(gathered).value_or("(null)");
        body = Bytes(text.begin(), text.end());
    }
    sharedInstance()->postPlatform(Value(std::move(platforms)), *appKey, Value(std::move(users)),
                                   Value(std::move(microblogIds)), topic, std::move(body), std::move(completion));
}

std::optional<std::string> TallySocialAnalytics::convertArrayToString(const Value& list) const {
    if (!list.isArray() || list.array().empty()) {
        logLine("TallySocialAnalytics: you must pass a NSArray!");
        return std::nullopt;
    }
    std::string joined;
    for (std::size_t i = 0; i < list.array().size(); ++i) joined += (i ? "," : "") + elementText(list[i]);
    return joined;
}

void TallySocialAnalytics::postPlatform(const Value& platforms, const std::string& appKey, const Value& users,
                                        const Value& microblogIds, const std::optional<std::string>& topic,
                                        std::optional<Bytes> paramData, Completion completion) {
    const std::string deviceUID = TLYDeviceUID::value();
    const std::string mac = TLYUtil::deviceMacAddressString();
    const auto date = static_cast<long long>(currentTimeSince1970());
    const std::string platformText = convertArrayToString(platforms).value_or("");
    const std::string userText = convertArrayToString(users).value_or("");
    const std::string microblogText = convertArrayToString(microblogIds).value_or("");
    const bool sendsMicroblogIds =
        !(microblogIds.isArray() && microblogIds.array().size() == 1 && elementText(microblogIds[0]).empty());

    std::string url = format("http://%s/share/api/%s/?", std::string(upload_protocol::kSocialAnalyticsHost).c_str(),
                             TLYUtil::urlEncode(appKey).c_str());
    url += "deviceid=" + deviceUID + "," + mac;
    url += "&idtype=deviceuid,mac";
    url += "&platform=" + convertArrayToString(encodedList(platforms)).value_or("");
    url += "&channel=3";
    url += "&version=" + TLYUtil::sdkVersionString();
    url += "&usid=" + convertArrayToString(encodedList(users)).value_or("");
    if (sendsMicroblogIds) url += "&microblogid=" + convertArrayToString(encodedList(microblogIds)).value_or("");
    if (topic) url += "&topic=" + TLYUtil::urlEncode(*topic);
    url += format("&date=%lld", date);

    Dictionary logged{{"appKey", Value(appKey)},
                      {"deviceid", Value(deviceUID)},
                      {"mc", Value(mac)},
                      {"platform", Value(platformText)},
                      {"channel", Value("3")},
                      {"version", Value(TLYUtil::sdkVersionString())},
                      {"usid", Value(userText)},
                      {"date", Value(static_cast<std::int64_t>(date))}};
    if (sendsMicroblogIds) logged.set("microblogid", Value(microblogText));
    if (topic) logged.set("topic", Value(*topic));
    TLYAnalyticsLog("(Social  Analytics) %@", Value(std::move(logged)));

    auto operation = makeRef<TallySocialOperation>(std::move(url), std::move(paramData), self_);
    {
        std::lock_guard lock(mutex_);
        completions_[operation.get()] = std::move(completion);
    }
    operationQueue_->addOperation(operation);
}

void TallySocialAnalytics::TallyOperate_Finish(TallySocialOperation& operation, std::optional<Bytes> data,
                                               Ref<Error> error) {
    Completion completion;
    {
        std::lock_guard lock(mutex_);
        auto found = completions_.find(&operation);
        if (found != completions_.end()) {
            completion = std::move(found->second);
            completions_.erase(found);
        }
    }
    Value result;
    try {
        if (data) result = TLYUtils::JSONValue(std::string_view(reinterpret_cast<const char*>(data->data()), data->size()));
    } catch (const std::exception& e) {
        log("TallySocialAnalytics: exception is %s data is %@", e.what(), data ? Value(*data) : Value());
        return;
    }
    if (!completion) return;
    Queue::main()->async([completion = std::move(completion), result = std::move(result), error = std::move(error)] {
        completion(result, error);
    });
}

}  // namespace lv
