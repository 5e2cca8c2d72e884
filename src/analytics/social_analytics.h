// Social analytics: shares to social platforms, reported to the social-analytics host in one request
// per post (a GET, or a POST when a share carries extra parameters), sent on an operation queue of
// two; the parsed JSON reply goes to the post's own completion on the main queue. Independent of the
// session and envelope machinery.
// Thread rule: postMicroblogCounts may be called from any thread; completions run on the main queue.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "analytics/social_operation.h"
#include "analytics/upload_protocol.h"
#include "platform/base/object.h"
#include "platform/base/value.h"
#include "platform/dispatch/operation.h"

namespace lv {

// One share: the platform's name, the post's id, the user's id there and extra parameters.
class TallySocialMicroblog : public Object {
public:
    // Logs "TallySocialAnalytics: 请提供分享平台名称" when the platform name is missing or empty,
    // and keeps the values all the same.
    TallySocialMicroblog(std::optional<std::string> platformType, std::optional<std::string> microblogId,
                         std::optional<std::string> usid, Value param);
    static Ref<TallySocialMicroblog> make(std::optional<std::string> platformType, std::optional<std::string> microblogId,
                                          std::optional<std::string> usid, Value param = {}) {
        return makeRef<TallySocialMicroblog>(std::move(platformType), std::move(microblogId), std::move(usid),
                                             std::move(param));
    }

    const std::optional<std::string>& platformType() const { return platformType_; }
    const std::optional<std::string>& microblogId() const { return microblogId_; }
    const std::optional<std::string>& userId() const { return userId_; }
    const Value& param() const { return param_; }

    // The description of a dictionary of the set fields under "platformType", "microblogId", "usid"
    // and "param".
    std::string description() const override;

private:
    std::optional<std::string> platformType_;
    std::optional<std::string> microblogId_;
    std::optional<std::string> userId_;
    Value param_;
};

class TallySocialAnalytics : public TallySocialOperationDelegate {
public:
    // The parsed JSON reply (nil when there is none or it is not JSON) and the request's error.
    using Completion = std::function<void(const Value& result, const Ref<Error>& error)>;
    static constexpr long kMaxConcurrentRequests = 2;

    // Reports the shares (a list of TallySocialMicroblog objects) for the app key, with an optional
    // topic. A missing or empty list logs "TallySocialAnalytics: 请提供分享平台名称", a missing or empty
    // key "TallySocialAnalytics: appKey 不能为空", and nothing is sent. An element that is no share
    // ends the walk ("TallySocialAnalytics: the element in microblogs must be TallySocialMicroblog
    // object!"); what was gathered before it is still sent.
    static void postMicroblogCounts(const Value& microblogs, const std::optional<std::string>& appKey,
                                    const std::optional<std::string>& topic, Completion completion);

    static const std::shared_ptr<TallySocialAnalytics>& sharedInstance();
    TallySocialAnalytics();

    // The elements' texts joined by ","; nothing, after "TallySocialAnalytics: you must pass a
    // NSArray!", when the list is empty or no list.
    std::optional<std::string> convertArrayToString(const Value& list) const;

    // Builds the request from the separated lists (texts in share order) and queues it; the completion
    // belongs to this request alone. Each caller-given value is URL-encoded (commas between values stay);
    // the date is 64-bit seconds since 1970.
    void postPlatform(const Value& platforms, const std::string& appKey, const Value& users, const Value& microblogIds,
                      const std::optional<std::string>& topic, std::optional<Bytes> paramData, Completion completion);

    void TallyOperate_Finish(TallySocialOperation& operation, std::optional<Bytes> data, Ref<Error> error) override;

    const Ref<OperationQueue>& operationQueue() const { return operationQueue_; }

private:
    std::weak_ptr<TallySocialAnalytics> self_;
    Ref<OperationQueue> operationQueue_;
    std::mutex mutex_;  // completions_
    std::map<const TallySocialOperation*, Completion> completions_;
};

}  // namespace lv
