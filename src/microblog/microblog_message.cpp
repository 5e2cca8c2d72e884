#include "microblog/microblog_message.h"

#include <array>
#include <algorithm>
#include <atomic>
#include <cmath>

#include "platform/runtime/runtime.h"
#include "platform/security/aes.h"
#include "platform/security/digest.h"
#include "platform/storage/keyed_archive.h"
#include "platform/ui/pasteboard.h"

namespace lv {

namespace {

constexpr const char* kIDKey = "id";
constexpr const char* kMessageKey = "message";
constexpr const char* kDateKey = "date";

void putText(Dictionary& out, const char* key, const std::string& text) {
    if (!text.empty()) out.set(key, Value(text));
}

// Text fields: absent reads as empty; any other kind refuses the message.
bool takeText(const Dictionary& in, const char* key, std::string& out) {
    const Value& value = in.get(key);
    if (value.isNil()) return true;
    if (!value.isString()) return false;
    out = value.string();
    return true;
}

bool takeDictionary(const Dictionary& in, const char* key, Dictionary& out) {
    const Value& value = in.get(key);
    if (value.isNil()) return true;
    if (!value.isDictionary()) return false;
    out = value.dictionary();
    return true;
}

}  // namespace

Bytes archiveMicroblogMessage(const MicroblogMessage& message) {
    Dictionary root;
    putText(root, "kind", message.kind);
    putText(root, "type", message.type);
    putText(root, "id", message.messageID);
    putText(root, "requestID", message.requestID);
    putText(root, "appKey", message.appKey);
    root.set("statusCode", Value(message.statusCode));
    putText(root, "accessToken", message.accessToken);
    putText(root, "refreshToken", message.refreshToken);
    if (message.expirationDate) root.set("expirationDate", Value(*message.expirationDate));
    putText(root, "userID", message.userID);
    putText(root, "redirectURI", message.redirectURI);
    putText(root, "scope", message.scope);
    if (!message.userInfo.empty()) root.set("userInfo", Value(message.userInfo));
    if (!message.requestUserInfo.empty()) root.set("requestUserInfo", Value(message.requestUserInfo));
    std::optional<Bytes> data = KeyedArchiver::archivedDataWithRootObject(Value(std::move(root)), true, nullptr);
    return data ? std::move(*data) : Bytes();
}

std::optional<MicroblogMessage> readMicroblogMessage(std::span<const std::uint8_t> archive) {
    static const std::array<const ClassInfo*, 7> classes{classNamed("Dictionary"), classNamed("Array"),
                                                         classNamed("String"),     classNamed("Number"),
                                                         classNamed("Date"),       classNamed("Data"),
                                                         classNamed("Null")};
    std::array<const ClassInfo*, 7> known{};
    std::size_t count = 0;
    for (const ClassInfo* cls : classes) {
        if (cls) known[count++] = cls;
    }
    Ref<Error> error;
    Value root = KeyedUnarchiver::unarchivedObjectOfClasses(std::span(known.data(), count), archive, &error);
    if (!root.isDictionary()) return std::nullopt;
    const Dictionary& in = root.dictionary();
    MicroblogMessage message;
    if (!takeText(in, "kind", message.kind) || !takeText(in, "type", message.type) ||
        !takeText(in, "id", message.messageID) || !takeText(in, "requestID", message.requestID) ||
        !takeText(in, "appKey", message.appKey) || !takeText(in, "accessToken", message.accessToken) ||
        !takeText(in, "refreshToken", message.refreshToken) || !takeText(in, "userID", message.userID) ||
        !takeText(in, "redirectURI", message.redirectURI) || !takeText(in, "scope", message.scope) ||
        !takeDictionary(in, "userInfo", message.userInfo) ||
        !takeDictionary(in, "requestUserInfo", message.requestUserInfo)) {
        return std::nullopt;
    }
    if (message.kind.empty() || message.messageID.empty() || message.appKey.empty()) return std::nullopt;
    const Value& status = in.get("statusCode");
    if (!status.isNil()) {
        if (!status.isNumber()) return std::nullopt;
        message.statusCode = status.longLongValue();
    }
    const Value& expiry = in.get("expirationDate");
    if (!expiry.isNil()) {
        if (!expiry.isDate()) return std::nullopt;
        message.expirationDate = *expiry.date();
    }
    return message;
}

void postMicroblogMessage(const MicroblogMessage& message) {
    Ref<Pasteboard> board = Pasteboard::pasteboardWithName(kMicroblogTransferPasteboard, true);
    if (!board->isPersistent()) board->setPersistent(true);
    board->updateItems([&](Array& items) {
        items.push_back(Value(Dictionary{{kIDKey, Value(message.messageID)},
                                         {kMessageKey, Value(archiveMicroblogMessage(message))},
                                         {kDateKey, Value(Date::now())}}));
        return true;
    });
}

std::optional<Bytes> takeMicroblogMessageData(const std::string& messageID) {
    Ref<Pasteboard> board = Pasteboard::pasteboardWithName(kMicroblogTransferPasteboard, false);
    if (!board) return std::nullopt;
    std::optional<Bytes> taken;
    board->updateItems([&](Array& items) {
        const auto it = std::find_if(items.begin(), items.end(), [&](const Value& item) {
            return item[kIDKey].isString() && item[kIDKey].string() == messageID;
        });
        if (it == items.end()) return false;
        if ((*it)[kMessageKey].isData()) taken = (*it)[kMessageKey].bytes();
        items.erase(it);
        return true;
    });
    return taken;
}

void dropMicroblogMessages(bool all) {
    Ref<Pasteboard> board = Pasteboard::pasteboardWithName(kMicroblogTransferPasteboard, false);
    if (!board) return;
    const Date now = Date::now();
    board->updateItems([&](Array& items) {
        if (items.empty()) return false;
        std::erase_if(items, [&](const Value& item) {
            const Value& date = item[kDateKey];
            return all || (date.isDate() && std::fabs(now.since1970() - date.date()->since1970()) >
                                                kStaleMicroblogMessageSeconds);
        });
        // An undated item (another program's, or an earlier version's) is dated now, so a launch past
        // the limit drops it if no one has read it; the rewrite also leaves the file owner-only.
        for (Value& item : items) {
            if (!item[kDateKey].isDate() && item.isDictionary()) item.mutableDictionary().set(kDateKey, Value(now));
        }
        return true;
    });
}

std::string makeMicroblogMessageID() {
    static std::atomic<std::uint64_t> counter{0};
    std::optional<Bytes> random = randomBytes(16);
    if (random) return hexString(*random);
    // Without random bytes: a process-wide counter keeps ids apart.
    return "local" + std::to_string(counter.fetch_add(1));
}

}  // namespace lv
