#include "analytics/tally_envelope.h"

#include <unistd.h>

#include <cinttypes>
#include <cmath>
#include <cstdint>

#include "analytics/envelope_record.h"
#include "analytics/tally_app.h"
#include "analytics/tally_config.h"
#include "analytics/tally_pack.h"
#include "analytics/tally_utility.h"
#include "analytics/tly_util.h"
#include "analytics/upload_protocol.h"
#include "platform/base/clock.h"
#include "platform/base/format.h"
#include "platform/base/log.h"
#include "platform/security/aes.h"
#include "platform/storage/file_manager.h"
#include "platform/storage/json.h"

namespace lv {
namespace {

namespace protocol = upload_protocol;

// ts_secs is signed 32-bit on the wire: the low 32 bits of the whole seconds since 1970, two's
// complement (negative from 2038-01-19 03:14:08 UTC on; a reader taking them as unsigned reads the
// time right until 2106). The plain cast of the seconds would be undefined past 2038.
std::int32_t wireSeconds(double since1970) {
    if (!(std::fabs(since1970) < 9.0e18)) return 0;  // not a time (NaN, or past any 64-bit count)
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::int64_t>(std::floor(since1970))));
}

// A taken file name moves on by one millisecond, this many times at most.
constexpr int kNameAttempts = 1000;

}  // namespace

Ref<TallyEnvelope> TallyEnvelope::sharedInstance() {
    static const Ref<TallyEnvelope>& shared = *new Ref<TallyEnvelope>(makeRef<TallyEnvelope>());  // never destroyed
    return shared;
}

std::optional<Bytes> TallyEnvelope::signature() const {
    const Value stored = TallyConfig::configureWithKey(protocol::kSignatureKey);
    if (!stored.isData() || stored.bytes().empty()) return std::nullopt;
    return stored.bytes();
}

Bytes TallyEnvelope::ensureSignature() {
    if (std::optional<Bytes> existing = signature()) return std::move(*existing);
    Bytes made = randomBytes(protocol::kSignatureLength).value_or(Bytes{});
    if (!made.empty()) TallyConfig::setConfigure(Value(made), protocol::kSignatureKey);
    return made;
}

std::optional<Bytes> TallyEnvelope::makeEnvelopeData(const EnvelopeCommit* commit) {
    return makeEnvelopeData(*TallyPack::sharedInstance(), commit);
}

namespace {

// Writes the envelope under its hidden name, lets the commit record it, then links it under its own
// name (never replacing) and removes the hidden one. Answers whether the envelope file exists.
bool writeCommitted(const Bytes& envelope, const std::string& path, const EnvelopeCommit& commit) {
    const std::string pending = TallyUtility::pendingEnvelopePath(path);
    TallyUtility::removeFile(pending);  // a leftover of an envelope that was never recorded
    if (!TallyUtility::saveData(envelope, pending)) return false;
    if (commit.record && !commit.record(path)) {
        TallyUtility::removeFile(pending);
        return false;
    }
    if (::link(pending.c_str(), path.c_str()) != 0) {
        if (commit.abandon) commit.abandon();
        TallyUtility::removeFile(pending);
        return false;
    }
    TallyUtility::removeFile(pending);
    return true;
}

}  // namespace

std::optional<Bytes> TallyEnvelope::makeEnvelopeData(TallyPack& pack, const EnvelopeCommit* commit) {
    const std::optional<Bytes> entity = pack.entityData();
    if (!entity) return std::nullopt;
    ensureSignature();
    // The serial number is spent before any file exists: a kill after the file is linked cannot hand
    // the same number to the next envelope.
    const std::int64_t next = TallyConfig::accumulateCount(1, protocol::kSerialNumKey);
    std::optional<Bytes> envelope = toDataWithEntity(*entity, static_cast<std::int32_t>(next - 1));

    // The file is never replaced: a taken name moves to the next millisecond. Only a written file
    // counts as made; otherwise the caller keeps its caches and the activation message stays.
    bool written = false;
    if (envelope) {
        auto ms = static_cast<std::int64_t>(currentTimeSince1970() * 1000);
        for (int attempt = 0; attempt < kNameAttempts && !written; ++attempt, ++ms) {
            const std::string path = TallyUtility::generateEnvelopeFileNameWithTS(format("%lld", static_cast<long long>(ms)));
            if (commit) {
                if (TallyUtility::isExistAtPath(path)) continue;
                if (!writeCommitted(*envelope, path, *commit)) break;
                written = true;
                lastPath_ = path;
            } else if (TallyUtility::saveData(*envelope, path)) {
                written = true;
                lastPath_ = path;
            } else if (!TallyUtility::isExistAtPath(path)) {
                break;  // not a taken name: the folder or the disk failed
            }
        }
    }
    checkExchangeData();
    if (!written) return std::nullopt;
    pack.setActivateMsgFlag();
    return envelope;
}

std::optional<Bytes> TallyEnvelope::toDataWithEntity(std::span<const std::uint8_t> entity) {
    const Value serial = TallyConfig::configureWithKey(protocol::kSerialNumKey);
    return toDataWithEntity(entity, serial.isNil() ? 0 : serial.intValue());
}

std::optional<Bytes> TallyEnvelope::toDataWithEntity(std::span<const std::uint8_t> entity, std::int32_t serial) {
    const Bytes sig = signature().value_or(Bytes{});
    bool encrypt = false;
    if (const std::optional<std::string> codex = TallyPack::imprintPropertyValueWithKey("codex")) {
        encrypt = *codex == "1";
    } else {
        encrypt = TallyApp::sharedInstance()->encryptEnabled();
    }
    Bytes body(entity.begin(), entity.end());
    std::int32_t codex = 0;
    if (encrypt) {
        const Bytes key = protocol::entityKey(sig);
        if (std::optional<Bytes> sealed = TallyUtility::AES128EncryptData(entity, key)) {
            body = std::move(*sealed);
            codex = 1;
        }
    }
    const std::string checksum = protocol::envelopeChecksum(body);
    const Bytes guid = randomBytes(protocol::kGuidLength).value_or(Bytes(protocol::kGuidLength, 0));
    TLYEnvelope envelope(std::string(protocol::kEnvelopeVersion), TallyApp::sharedInstance()->appid(),
                         protocol::lowerHex(sig), serial,
                         wireSeconds(currentTimeSince1970()), length_, std::move(body),
                         protocol::lowerHex(guid), checksum, codex);
    TPKMemoryBuffer buffer;
    try {
        TPKBinaryProtocol binary(buffer);
        envelope.write(binary);
    } catch (const Exception& e) {
        log("Exception occurred: %@, %@", e.description(), Value(e.userInfo()));
        return std::nullopt;
    }
    return buffer.takeBuffer();
}

void TallyEnvelope::checkExchangeData() {
    const std::optional<Bytes> sig = signature();
    if (!sig) return;
    Dictionary identity;
    identity.set("appkey", Value(TallyApp::sharedInstance()->appid()));
    if (const auto tlyid = TallyPack::imprintPropertyValueWithKey("tlyid"); tlyid && !TLYUtil::isEmptyString(Value(*tlyid))) {
        identity.set("tlyid", Value(*tlyid));
    }
    identity.set("signature", Value(protocol::lowerHex(*sig)));
    identity.set("checksum", Value(protocol::exchangeChecksum(*sig)));
    const std::optional<Bytes> text = JSONSerialization::dataWithJSONObject(Value(std::move(identity)), 0, nullptr);
    if (!text) return;
    const std::string path = TallyUtility::exchangeIdentityPath();
    if (dataWithContentsOfFile(path) == text) return;
    TallyUtility::tallyDirectory();
    (void)writeToFile(*text, path, true);  // a failed write is tried again with the next envelope
}

}  // namespace lv
