#include "content/microblog_helper.h"

#include <typeinfo>

#include "content/share_music_view_controller.h"
#include "http/query_string.h"
#include "platform/dispatch/notification_center.h"
#include "platform/dispatch/operation.h"
#include "platform/net/connection.h"
#include "platform/runtime/runtime.h"
#include "platform/storage/json.h"

namespace lv {

namespace {

std::mutex sourceMutex;
std::function<Ref<LNPreferences>()>& preferencesSource = *new std::function<Ref<LNPreferences>()>;  // never destroyed

std::optional<std::string> nonEmptyText(const Value& value) {
    if (value.isString() && !value.string().empty()) return value.string();
    return std::nullopt;
}

}  // namespace

std::string MicroblogHelper::redirectURI() { return std::string(kMicroblogSocialAPIBaseURL) + "/oauth2/default.html"; }

const Ref<MicroblogHelper>& MicroblogHelper::sharedMicroblogHelper() {
    static const Ref<MicroblogHelper>& shared = *new Ref<MicroblogHelper>([] {  // never destroyed
        MicroblogSDK::registerApp(kAppKey);
        MicroblogSDK::enableDebugMode(true);
        return makeRef<MicroblogHelper>();
    }());
    return shared;
}

const ClassInfo* MicroblogHelper::runtimeClass() {
    static const ClassInfo* cls =
        ClassDef<MicroblogHelper>("MicroblogHelper")
            .classHook<Ref<Object>()>("sharedMicroblogHelper",
                                      [] { return std::static_pointer_cast<Object>(sharedMicroblogHelper()); })
            .classHook<Ref<Object>()>("preferences", [] { return std::static_pointer_cast<Object>(preferences()); })
            .instanceMethod("MBLAuthorize", &MicroblogHelper::MBLAuthorize)
            .instanceMethod("setWbDelegate:", &MicroblogHelper::setWbDelegate)
            .instanceMethod("generateMBLContentURL:", &MicroblogHelper::generateMBLContentURL)
            .registerClass();
    return cls;
}

void MicroblogHelper::attachPreferences(std::function<Ref<LNPreferences>()> source) {
    // The screens sit below this layer and reach the helper and the share screen by class name.
    runtimeClass();
    ShareMusicViewController::runtimeClass();
    {
        std::lock_guard lock(sourceMutex);
        preferencesSource = std::move(source);
    }
    LNPreferences::setMicroblogLogoutHandler([] { sharedMicroblogHelper()->logout(); });
}

Ref<LNPreferences> MicroblogHelper::preferences() {
    std::function<Ref<LNPreferences>()> source;
    {
        std::lock_guard lock(sourceMutex);
        source = preferencesSource;
    }
    return source ? source() : nullptr;
}

std::shared_ptr<MicroblogResponseDelegate> MicroblogHelper::mblDelegate() const {
    std::lock_guard lock(mutex_);
    return mblDelegate_;
}

void MicroblogHelper::setWbDelegate(std::shared_ptr<MicroblogResponseDelegate> delegate) {
    std::lock_guard lock(mutex_);
    mblDelegate_ = std::move(delegate);
}

void MicroblogHelper::MBLAuthorize() {
    Ref<MBLAuthorizeRequest> request = MBLAuthorizeRequest::request();
    request->setRedirectURI(redirectURI());
    request->setScope(kScope);
    request->setUserInfo(Dictionary{{"SSO_From", Value("ViewController")},
                                    {"Other_Info_1", Value(123)},
                                    {"Other_Info_2", Value::array({Value("obj1"), Value("obj2")})},
                                    {"Other_Info_3", Value::dictionary({{"key1", Value("obj1")}, {"key2", Value("obj2")}})}});
    MicroblogSDK::sendRequest(request);
}

void MicroblogHelper::logout() {
    Ref<LNPreferences> settings = preferences();
    const Value token = settings ? settings->mbltoken() : Value();
    MicroblogSDK::logOutWithToken(token.isString() ? token.string() : std::string(),
                                  std::static_pointer_cast<MicroblogHelper>(shared_from_this()), kLogoutTag);
}

void MicroblogHelper::sendTextContent(const std::string& statusText, const Bytes& imageData) {
    Ref<MBLImageObject> picture = MBLImageObject::object();
    picture->setImageData(imageData);
    Ref<LNPreferences> settings = preferences();
    Weak<MicroblogHelper> weakSelf = std::static_pointer_cast<MicroblogHelper>(shared_from_this());
    MBLHttpRequest::requestForShareAStatus(
        statusText, picture, std::nullopt, settings ? nonEmptyText(settings->mbltoken()) : std::nullopt, Dictionary(), nullptr,
        [weakSelf](const Ref<MBLHttpRequest>&, const Value&, const Ref<Error>& error) {
            Ref<MicroblogHelper> self = weakSelf.lock();
            if (!self) return;
            auto delegate = self->mblDelegate();
            if (delegate && delegate->respondsToDidSendMicroblogPost()) delegate->didSendMicroblogPost(error);
        });
}

void MicroblogHelper::getUserInfo(const std::string& userID) {
    Ref<LNPreferences> settings = preferences();
    auto self = std::static_pointer_cast<MicroblogHelper>(shared_from_this());
    MBLHttpRequest::requestForUserProfile(
        userID, settings ? nonEmptyText(settings->mbltoken()) : std::nullopt, Dictionary(), nullptr,
        [self](const Ref<MBLHttpRequest>&, const Value& result, const Ref<Error>&) {
            auto user = result.objectAs<MicroblogUser>();
            if (!user) return;
            const MicroblogUser& exact = *user;
            if (typeid(exact) != typeid(MicroblogUser)) return;
            if (Ref<LNPreferences> current = preferences()) current->setMblUsername(Value(user->screenName()));
            NotificationCenter::defaultCenter()->post(kUsernameUpdatedNotification, self);
        });
}

std::string MicroblogHelper::generateMBLContentURL(const std::string& postID) {
    Ref<LNPreferences> settings = preferences();
    auto escaped = [](const Value& value) {
        return value.isNil() ? std::string("(null)") : escapeQueryValue(value.stringValue(), StringEncoding::UTF8);
    };
    return std::string(kMicroblogStatusLinkBaseURL) + "?access_token=" + escaped(settings ? settings->mbltoken() : Value()) +
           "&uid=" + escaped(settings ? settings->mblCurrentUserID() : Value()) + "&id=" + escaped(Value(postID));
}

bool MicroblogHelper::isAuthorizeExpired() {
    Ref<LNPreferences> settings = preferences();
    const Value expiry = settings ? settings->mblExpireDate() : Value();
    const Date* date = expiry.date();
    if (!date) return true;
    return Date::now().compare(*date) > 0;
}

void MicroblogHelper::autoRenewToken() {
    Ref<LNPreferences> settings = preferences();
    MBLHttpRequest::requestForRenewAccessTokenWithRefreshToken(
        settings ? nonEmptyText(settings->mblRefreshtoken()) : std::nullopt, nullptr,
        [](const Ref<MBLHttpRequest>&, const Value& result, const Ref<Error>& error) {
            if (error || !nonEmptyText(result["access_token"])) return;
            Ref<LNPreferences> current = preferences();
            if (!current) return;
            current->setMbltoken(result["access_token"]);
            current->setMblRefreshtoken(result["refresh_token"]);
            current->setMblCurrentUserID(result["uid"]);
            current->setMblExpireDate(Value(Date::now().adding(result["expires_in"].doubleValue())));
        });
}

void MicroblogHelper::didReceiveMicroblogRequest(const Ref<MBLBaseRequest>&) {}

void MicroblogHelper::didReceiveMicroblogResponse(const Ref<MBLBaseResponse>& response) {
    if (!response) return;
    const MBLBaseResponse& exact = *response;
    if (typeid(exact) != typeid(MBLAuthorizeResponse) || response->statusCode() != MicroblogSDKResponseStatusCodeSuccess) {
        return;
    }
    auto authorize = std::static_pointer_cast<MBLAuthorizeResponse>(response);
    Ref<LNPreferences> settings = preferences();
    if (settings) {
        settings->setMbltoken(Value(authorize->accessToken()));
        settings->setMblRefreshtoken(Value(authorize->refreshToken()));
        settings->setMblExpireDate(authorize->expirationDate());
        settings->setMblCurrentUserID(Value(authorize->userID()));
        settings->setMblCurrentUserInfo(Value(authorize->userInfo()));
        getUserInfo(settings->mblCurrentUserID().stringValue());
    }
    if (auto delegate = mblDelegate()) delegate->didReceiveMicroblogResponse(response);
}

void MicroblogHTTP::sendRequestToPath(const std::string& path, const std::string& method, const Value& params,
                                      Completion completion) {
    std::optional<URLRequest> request =
        generateRequestWithURL(std::string(kMicroblogSocialAPIBaseURL) + path, method, params);
    if (!request) {
        if (completion) OperationQueue::mainQueue()->addOperationWithBlock([completion] { completion(Value()); });
        return;
    }
    // The social API's reply bound: a larger reply fails as it arrives and yields nil.
    request->setMaximumResponseBodySize(kMBLHttpMaxReplyBytes);
    URLConnection::sendAsynchronousRequest(
        *request, OperationQueue::mainQueue(), [completion](Ref<URLResponse>, std::optional<Bytes> data, Ref<Error> error) {
            if (!completion) return;
            if (error || !data) return completion(Value());
            completion(JSONSerialization::JSONObjectWithData(std::span(data->data(), data->size()), 0, nullptr));
        });
}

void MicroblogHTTP::postJsonToPath(const std::string& path, const Value& object, Completion completion) {
    URLRequest request(URL::URLWithString(std::string(kMicroblogSocialAPIBaseURL) + path));
    request.setHTTPMethod("POST");
    request.setHTTPBody(JSONSerialization::dataWithJSONObject(object, kJSONWritingPrettyPrinted, nullptr));
    request.setValue("application/json", "Content-Type");
    request.setValue("application/json", "Accept");
    request.setMaximumResponseBodySize(kMBLHttpMaxReplyBytes);
    URLConnection::sendAsynchronousRequest(
        request, OperationQueue::mainQueue(), [completion](Ref<URLResponse>, std::optional<Bytes> data, Ref<Error> error) {
            if (!completion) return;
            if (error || !data) return completion(Value());
            completion(JSONSerialization::JSONObjectWithData(std::span(data->data(), data->size()), 0, nullptr));
        });
}

std::optional<URLRequest> MicroblogHTTP::generateRequestWithURL(const std::string& url, const std::string& method,
                                                                const Value& params) {
    const std::string parameters = generateParamString(params);
    if (method == "GET") {
        URLRequest request(URL::URLWithString(url + "?" + parameters));
        request.setHTTPMethod("GET");
        return request;
    }
    if (method == "POST") {
        URLRequest request(URL::URLWithString(url));
        request.setHTTPMethod("POST");
        request.setValue("application/x-www-form-urlencoded", "Content-Type");
        request.setHTTPBody(Bytes(parameters.begin(), parameters.end()));
        return request;
    }
    return std::nullopt;
}

std::string MicroblogHTTP::generateParamString(const Value& params) {
    if (!params.isDictionary()) return {};
    std::string out;
    for (const auto& [key, value] : params.dictionary()) {
        out += escapeQueryValue(key, StringEncoding::UTF8) + "=" + escapeQueryValue(value.stringValue(), StringEncoding::UTF8) + "&";
    }
    return out;
}

}  // namespace lv
