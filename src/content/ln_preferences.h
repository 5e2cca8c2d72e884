// The app's settings: the video switch of the launch and the Microblog login. Every property starts
// nil; once persistence is switched on (PropertyPersistance::setPersistanceOn, which the application
// delegate does when it makes the object), every setter call rewrites <Documents>/LNPreferences.plist.
//
// Setters store the declared kind, so what is set survives the file: a number given for a text
// property is stored as its description, a text given for a boolean number as the text's boolean
// reading (as the platform reads "1", "YES", "true"), null as nil; a value that cannot be converted
// (text for the date, a list for the dictionary) is refused with one log line and the property keeps
// its value (the file is not rewritten).
//
// Threads: the properties are guarded by a lock, so the launch's background handlers and the main
// thread may set and read them at the same time; each setter saves on its own thread after releasing
// the lock (saves are serialised; the last one wins).
#pragma once

#include <functional>
#include <mutex>
#include <optional>

#include "platform/base/object.h"
#include "platform/base/value.h"

namespace lv {

class ClassInfo;

class LNPreferences : public Object {
public:
    LNPreferences();

    // The runtime class "LNPreferences" with its ten declared properties, in this order: appVersion,
    // appBuild (text), hideVideos, checkUpdate (boolean numbers), mbltoken, mblRefreshtoken (text),
    // mblExpireDate (date), mblCurrentUserID (text), mblCurrentUserInfo (dictionary), mblUsername (text).
    // Instance hook "isLoggin", for callers that reach the settings by name.
    static const ClassInfo* runtimeClass();

    // Running version for which the content service last enabled the video screens, and its build.
    Value appVersion() const;
    void setAppVersion(const Value& value);
    Value appBuild() const;
    void setAppBuild(const Value& value);
    // True: the reduced tab set is shown.
    Value hideVideos() const;
    void setHideVideos(const Value& value);
    // False on first launch, true once the service enabled the videos.
    Value checkUpdate() const;
    void setCheckUpdate(const Value& value);
    // The Microblog login: access token (non-empty means logged in), refresh token, expiry, user id,
    // user information of the authorisation response, screen name.
    Value mbltoken() const;
    void setMbltoken(const Value& value);
    Value mblRefreshtoken() const;
    void setMblRefreshtoken(const Value& value);
    Value mblExpireDate() const;
    void setMblExpireDate(const Value& value);
    Value mblCurrentUserID() const;
    void setMblCurrentUserID(const Value& value);
    Value mblCurrentUserInfo() const;
    void setMblCurrentUserInfo(const Value& value);
    Value mblUsername() const;
    void setMblUsername(const Value& value);

    // True when mbltoken is a text of non-zero length.
    bool isLoggin() const;
    // Ends the Microblog session (through the installed handler), then clears, in this order,
    // mbltoken, mblRefreshtoken, mblExpireDate, mblCurrentUserInfo and mblCurrentUserID (each set
    // saves). mblUsername stays.
    void logout();

    // The Microblog client's logout, which logout() calls first; installed by the Microblog glue.
    // Without one, logout() only clears the fields. Thread-safe; the handler runs without any lock held.
    using MicroblogLogout = std::function<void()>;
    static void setMicroblogLogoutHandler(MicroblogLogout handler);

private:
    // The declared kind of each property; a setter stores its value as that kind.
    enum class Kind { Text, Flag, Date, Dictionary };
    static std::optional<Value> asKind(Kind kind, const Value& value);
    static const char* kindName(Kind kind);
    void set(Value LNPreferences::*member, const Value& value, const char* key, Kind kind);
    Value get(const Value LNPreferences::*member) const;

    mutable std::mutex mutex_;
    Value appVersion_;
    Value appBuild_;
    Value hideVideos_;
    Value checkUpdate_;
    Value mbltoken_;
    Value mblRefreshtoken_;
    Value mblExpireDate_;
    Value mblCurrentUserID_;
    Value mblCurrentUserInfo_;
    Value mblUsername_;
};

}  // namespace lv
