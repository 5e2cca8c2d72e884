// What the analytics client and the log service agree on beyond the records: where envelopes go, how
// a post looks and is judged, how the envelope's signature, guid, serial number, checksum and body key
// are made, and the social-analytics host. Shared by the client and the local stand-in service.
//
// Threads: constants and stateless functions; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/base/value.h"

namespace lv::upload_protocol {

// Reserved names: only the host map sends them anywhere.
inline constexpr std::string_view kLogHost = "tally-log.invalid";
inline constexpr std::string_view kLogFallbackHost = "tally-log2.invalid";
inline constexpr std::string_view kSocialAnalyticsHost = "tally-social.invalid";

// POST <host>/app_logs, body = one envelope file unchanged.
inline constexpr std::string_view kLogPath = "/app_logs";
inline constexpr std::string_view kMethod = "POST";
// The request's and the reply's content type; a reply of another type is not read.
inline constexpr std::string_view kContentType = "application/pack";
inline constexpr double kTimeoutSeconds = 30.0;
// A post ends, from connecting to the reply's last byte, within this many seconds whatever the
// service does (a reply trickling in byte by byte included).
inline constexpr double kPostTimeoutSeconds = 30.0;
// A worker's run starts no post after this many seconds and bounds each post by what is left, so a
// terminate waiting for the run waits at most this long (plus one connection's clean-up).
inline constexpr double kRunBudgetSeconds = 60.0;
// The most bytes a reply body may hold once decoded. The service's reply is one response record with
// its imprint, a few KiB; anything larger is not the service's and fails as it arrives.
inline constexpr std::int64_t kMaxReplyBytes = 1 << 20;
// A 200 from the log URL itself whose body, of the type above, reads back as the service's response
// record (with its resp_code) is a successful post: redirects are not followed (a 3xx is a failed
// post), and a 200 of any other form (a captive portal's page) is a failed post that keeps the file.
// A transport error or a 5xx from the primary host tries the fallback host once; anything else is a
// failed post.
inline constexpr int kSuccessStatus = 200;

// The primary and fallback URLs: "http://<host><path>".
std::string logURL();
std::string logFallbackURL();
// A transport failure (no status) or a server error moves to the fallback host.
inline bool triesFallback(int status) { return status <= 0 || (status >= 500 && status <= 599); }

// Envelope identity.
inline constexpr std::string_view kEnvelopeVersion = "V1.0";
// 32 random bytes made with the first envelope and kept under this user-defaults key as data.
inline constexpr std::string_view kSignatureKey = "tlySignature";
inline constexpr std::size_t kSignatureLength = 32;
// The serial number sent is the stored value before its increment (0 when absent).
inline constexpr std::string_view kSerialNumKey = "tlySerialNum";
// A guid is the hexadecimal text of this many random bytes.
inline constexpr std::size_t kGuidLength = 32;

// Two lower-case hexadecimal digits per byte (the signature and guid texts).
std::string lowerHex(std::span<const std::uint8_t> bytes);
// Whether the text is exactly byteCount bytes written by lowerHex.
bool isLowerHex(std::string_view text, std::size_t byteCount);
// The bytes of a lowerHex text; nothing when the text is not one.
std::optional<Bytes> bytesFromLowerHex(std::string_view text);
// The envelope checksum: lower-case hexadecimal MD5 of the entity bytes as sent.
std::string envelopeChecksum(std::span<const std::uint8_t> entity);
// The 16-byte AES key of an encrypted entity: MD5 of the signature bytes.
Bytes entityKey(std::span<const std::uint8_t> signature);
// The exchange file's checksum: upper-case hexadecimal MD5 of the lower-case hexadecimal text of the
// first 16 signature bytes.
std::string exchangeChecksum(std::span<const std::uint8_t> signature);

}  // namespace lv::upload_protocol
