// The messages that pass between this app and the Microblog app (or the client's own web
// authorisation): a keyed archive of plain values, put on the client's named pasteboard under a
// message id, and announced by opening a URL "<scheme>://request?id=…" or "…://response?id=…".
//
// Archive layout (a dictionary at the archive's root): "kind" ("request" or "response"), "type"
// ("authorize" or another request type), "id", "requestID" (a response: the id of the request it
// answers), "appKey", "statusCode" (integer), and, when present, "accessToken", "refreshToken",
// "expirationDate" (date), "userID", "redirectURI", "scope", "userInfo" and "requestUserInfo"
// (dictionaries).
//
// Threads: any thread (the pasteboard has its own lock).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "platform/base/value.h"

namespace lv {

struct MicroblogMessage {
    std::string kind;
    std::string type;
    std::string messageID;
    std::string requestID;
    std::string appKey;
    std::int64_t statusCode = 0;
    std::string accessToken;
    std::string refreshToken;
    std::optional<Date> expirationDate;
    std::string userID;
    std::string redirectURI;
    std::string scope;
    Dictionary userInfo;
    Dictionary requestUserInfo;

    bool operator==(const MicroblogMessage&) const = default;
};

// The name of the pasteboard the messages travel on (persistent, so another program sees it).
inline constexpr const char* kMicroblogTransferPasteboard = "com.microblog.sdk.transfer";

// The archive of the message (secure coding, binary property list).
Bytes archiveMicroblogMessage(const MicroblogMessage& message);
// Reads an archive with the never-raising secure unarchiver (plain value classes only). Nothing for
// anything that is not such an archive of a message: a missing or empty "kind", "id" or "appKey", a
// field of the wrong kind.
std::optional<MicroblogMessage> readMicroblogMessage(std::span<const std::uint8_t> archive);

// Adds the message's archive to the transfer pasteboard under its id, dated now. Posting, taking and
// dropping hold the board's lock across processes.
void postMicroblogMessage(const MicroblogMessage& message);
// Removes hand-over items from the transfer pasteboard: every item when all, else those whose
// hand-over ended without a reader (dated more than kStaleMicroblogMessageSeconds from now: a process
// ended between posting and reading). An undated item (another program's, or an earlier version's)
// is dated now, so it goes at a later call if still unread. The file is rewritten owner-only.
inline constexpr double kStaleMicroblogMessageSeconds = 60;
void dropMicroblogMessages(bool all);
// The archive posted under the id, removed from the pasteboard; nothing when there is none.
std::optional<Bytes> takeMicroblogMessageData(const std::string& messageID);
// A fresh message id (32 hex digits).
std::string makeMicroblogMessageID();

}  // namespace lv
