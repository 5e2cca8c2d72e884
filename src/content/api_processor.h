// The content-service protocol: one method per kind of content. Each builds the request parameters
// ("action", the operation's own keys and the "time" cursor), sends them through the content client,
// and for the seven content lists replaces the category's cached records with the reply's items on the
// main queue before calling the success block there. The video configuration and the chart-update
// check store nothing and call back on the client's background queue, as every failure does.
// Thread rule: call on the main thread; the lazily made content client sits behind a lock.
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "content/rest_api_helper.h"
#include "platform/base/value.h"

namespace lv {

// The reply's "mItems": a list, the null value (nothing newer), or nil (the key is absent).
using APISuccessBlock = std::function<void(const Value& items)>;
// The transport's error, unchanged.
using APIFailureBlock = std::function<void(const Ref<Error>& error)>;

class APIProcessor : public Object {
public:
    static const Ref<APIProcessor>& sharedAPIProcessor();
    static const Ref<APIProcessor>& instance() { return sharedAPIProcessor(); }

    Ref<RestAPIHelper> apiHelper();

    // GET with today's "yyyy-MM-dd" and the bundle's short version; calls back on the background queue.
    // A reply without "mItems" (or not a JSON object) reaches success with nil, so the launch still decides.
    void videoConfigSuccess(APISuccessBlock success, APIFailureBlock failure);
    void loadMicroblogWithGap(const std::string& gap, std::optional<Date> time, APISuccessBlock success,
                              APIFailureBlock failure);
    void loadTaobaoWithStore(const std::string& store, const std::string& type, std::optional<Date> time,
                             APISuccessBlock success, APIFailureBlock failure);
    void loadNewsWithCatname(const std::string& category, std::optional<Date> time, APISuccessBlock success,
                             APIFailureBlock failure);
    void loadToptenzWithSite(const std::string& site, std::optional<Date> time, APISuccessBlock success,
                             APIFailureBlock failure);
    void loadVideoWithType(const std::string& type, std::optional<Date> time, APISuccessBlock success,
                           APIFailureBlock failure);
    void loadMediaWithType(const std::string& type, bool ended, std::optional<Date> time, APISuccessBlock success,
                           APIFailureBlock failure);
    void loadNovelsWithTitle(const std::string& title, std::optional<Date> time, APISuccessBlock success,
                             APIFailureBlock failure);
    // Stores nothing; calls back on the background queue with "mItems" (nil when absent).
    void checkToptenzUpdateWithSite(const std::string& site, std::optional<Date> time, APISuccessBlock success,
                                    APIFailureBlock failure);

    // The "time" value: the server style for the site ("hanteo_day", "naver", any other) in
    // serviceTimeZone(), "" without a date.
    static std::string timeCursor(std::optional<Date> time, const std::string& site = {});

    // How a storing operation clears its category, maps and stores its items (one per action).
    struct StoringOperation;

private:
    void sendStoring(Dictionary params, std::shared_ptr<const StoringOperation> operation, APISuccessBlock success,
                     APIFailureBlock failure);

    std::mutex mutex_;
    Ref<RestAPIHelper> apiHelper_;
};

}  // namespace lv
