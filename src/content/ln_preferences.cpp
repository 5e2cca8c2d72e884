#include "content/ln_preferences.h"

#include <memory>

#include "platform/base/log.h"
#include "platform/runtime/runtime.h"

namespace lv {

namespace {

std::mutex& handlerMutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}

std::shared_ptr<const LNPreferences::MicroblogLogout>& handlerSlot() {
    static auto* slot = new std::shared_ptr<const LNPreferences::MicroblogLogout>;
    return *slot;
}

}  // namespace

const ClassInfo* LNPreferences::runtimeClass() {
    static const ClassInfo* cls = [] {
        ClassDef<LNPreferences> def("LNPreferences");
        def.factory();
        def.instanceMethod("isLoggin", &LNPreferences::isLoggin);
        // Accessor-backed properties, so that key-value access goes through the lock and the saving setters.
        auto add = [&def](const char* name, const char* className, Value (LNPreferences::*getter)() const,
                          void (LNPreferences::*setter)(const Value&)) {
            def.property(
                name, std::string("@\"") + className + "\"", "&,N",
                [getter](const LNPreferences& p) { return (p.*getter)(); },
                [setter](LNPreferences& p, const Value& v) { (p.*setter)(v); }, std::string("_") + name);
        };
        add("appVersion", "String", &LNPreferences::appVersion, &LNPreferences::setAppVersion);
        add("appBuild", "String", &LNPreferences::appBuild, &LNPreferences::setAppBuild);
        add("hideVideos", "Number", &LNPreferences::hideVideos, &LNPreferences::setHideVideos);
        add("checkUpdate", "Number", &LNPreferences::checkUpdate, &LNPreferences::setCheckUpdate);
        add("mbltoken", "String", &LNPreferences::mbltoken, &LNPreferences::setMbltoken);
        add("mblRefreshtoken", "String", &LNPreferences::mblRefreshtoken, &LNPreferences::setMblRefreshtoken);
        add("mblExpireDate", "Date", &LNPreferences::mblExpireDate, &LNPreferences::setMblExpireDate);
        add("mblCurrentUserID", "String", &LNPreferences::mblCurrentUserID, &LNPreferences::setMblCurrentUserID);
        add("mblCurrentUserInfo", "Dictionary", &LNPreferences::mblCurrentUserInfo,
            &LNPreferences::setMblCurrentUserInfo);
        add("mblUsername", "String", &LNPreferences::mblUsername, &LNPreferences::setMblUsername);
        return def.registerClass();
    }();
    return cls;
}

LNPreferences::LNPreferences() { runtimeClass(); }

Value LNPreferences::get(const Value LNPreferences::*member) const {
    std::lock_guard lock(mutex_);
    return this->*member;
}

// The value as the declared kind, or nothing when it cannot be one.
std::optional<Value> LNPreferences::asKind(Kind kind, const Value& value) {
    if (value.isNilOrNull()) return Value();
    switch (kind) {
        case Kind::Text:
            if (value.isString()) return value;
            if (value.isNumeric()) return Value(value.description());
            return std::nullopt;
        case Kind::Flag:
            if (value.isNumeric()) return value;
            if (value.isString()) return Value(readBool(value.string()));
            return std::nullopt;
        case Kind::Date:
            if (value.isDate()) return value;
            return std::nullopt;
        case Kind::Dictionary:
            if (value.isDictionary()) return value;
            return std::nullopt;
    }
    return std::nullopt;
}

const char* LNPreferences::kindName(Kind kind) {
    switch (kind) {
        case Kind::Text: return "text";
        case Kind::Flag: return "boolean number";
        case Kind::Date: return "date";
        case Kind::Dictionary: return "dictionary";
    }
    return "";
}

void LNPreferences::set(Value LNPreferences::*member, const Value& value, const char* key, Kind kind) {
    std::optional<Value> stored = asKind(kind, value);
    if (!stored) {
        log("LNPreferences: %@ takes a %@, not %@; kept its value", key, kindName(kind), value.description());
        return;
    }
    Value previous;  // released after the lock
    {
        std::lock_guard lock(mutex_);
        previous = std::move(this->*member);
        this->*member = std::move(*stored);
    }
    didSetProperty(*this, key);
}

Value LNPreferences::appVersion() const { return get(&LNPreferences::appVersion_); }
void LNPreferences::setAppVersion(const Value& value) { set(&LNPreferences::appVersion_, value, "appVersion", Kind::Text); }
Value LNPreferences::appBuild() const { return get(&LNPreferences::appBuild_); }
void LNPreferences::setAppBuild(const Value& value) { set(&LNPreferences::appBuild_, value, "appBuild", Kind::Text); }
Value LNPreferences::hideVideos() const { return get(&LNPreferences::hideVideos_); }
void LNPreferences::setHideVideos(const Value& value) { set(&LNPreferences::hideVideos_, value, "hideVideos", Kind::Flag); }
Value LNPreferences::checkUpdate() const { return get(&LNPreferences::checkUpdate_); }
void LNPreferences::setCheckUpdate(const Value& value) { set(&LNPreferences::checkUpdate_, value, "checkUpdate", Kind::Flag); }
Value LNPreferences::mbltoken() const { return get(&LNPreferences::mbltoken_); }
void LNPreferences::setMbltoken(const Value& value) { set(&LNPreferences::mbltoken_, value, "mbltoken", Kind::Text); }
Value LNPreferences::mblRefreshtoken() const { return get(&LNPreferences::mblRefreshtoken_); }
void LNPreferences::setMblRefreshtoken(const Value& value) {
    set(&LNPreferences::mblRefreshtoken_, value, "mblRefreshtoken", Kind::Text);
}
Value LNPreferences::mblExpireDate() const { return get(&LNPreferences::mblExpireDate_); }
void LNPreferences::setMblExpireDate(const Value& value) { set(&LNPreferences::mblExpireDate_, value, "mblExpireDate", Kind::Date); }
Value LNPreferences::mblCurrentUserID() const { return get(&LNPreferences::mblCurrentUserID_); }
void LNPreferences::setMblCurrentUserID(const Value& value) {
    set(&LNPreferences::mblCurrentUserID_, value, "mblCurrentUserID", Kind::Text);
}
Value LNPreferences::mblCurrentUserInfo() const { return get(&LNPreferences::mblCurrentUserInfo_); }
void LNPreferences::setMblCurrentUserInfo(const Value& value) {
    set(&LNPreferences::mblCurrentUserInfo_, value, "mblCurrentUserInfo", Kind::Dictionary);
}
Value LNPreferences::mblUsername() const { return get(&LNPreferences::mblUsername_); }
void LNPreferences::setMblUsername(const Value& value) { set(&LNPreferences::mblUsername_, value, "mblUsername", Kind::Text); }

bool LNPreferences::isLoggin() const {
    const Value token = mbltoken();
    return token.isString() && !token.string().empty();
}

void LNPreferences::logout() {
    std::shared_ptr<const MicroblogLogout> handler;
    {
        std::lock_guard lock(handlerMutex());
        handler = handlerSlot();
    }
    if (handler && *handler) (*handler)();
    setMbltoken(Value());
    setMblRefreshtoken(Value());
    setMblExpireDate(Value());
    setMblCurrentUserInfo(Value());
    setMblCurrentUserID(Value());
}

void LNPreferences::setMicroblogLogoutHandler(MicroblogLogout handler) {
    auto next = handler ? std::make_shared<const MicroblogLogout>(std::move(handler)) : nullptr;
    std::lock_guard lock(handlerMutex());
    handlerSlot() = std::move(next);
}

}  // namespace lv
