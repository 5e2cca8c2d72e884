// The envelope writer (TallyEnvelope): wraps the log builder's entity data into an envelope record
// (signature, serial number, time, length, guid, checksum, optionally AES-encrypted body), saves it as
// a new envelope file under "<caches>/.tally", counts "tlySerialNum" and keeps the identity exchange
// file "exchangeIdentity.json" current.
//
// Threads: main thread (the engine makes envelopes there). The signature lives in the settings store.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "platform/base/object.h"
#include "platform/base/value.h"

namespace lv {

class TallyPack;

// How a caller that keeps the envelope's items elsewhere (the engine's cache archive) learns that
// they are in a file: record(path) runs after the envelope is written under a hidden name and before
// it is linked under its own name (false: no envelope after all); abandon() runs when the link then
// fails. So a kill at any moment leaves the items either where they were or in exactly one envelope.
struct EnvelopeCommit {
    std::function<bool(const std::string& envelopePath)> record;
    std::function<void()> abandon;
};

class TallyEnvelope : public Object {
public:
    static Ref<TallyEnvelope> sharedInstance();

    // The install's 32 signature bytes ("tlySignature"); nothing before the first envelope.
    std::optional<Bytes> signature() const;
    // The raw log-entry length that becomes the envelope's length field.
    void setLength(std::int32_t length) { length_ = length; }
    std::int32_t length() const { return length_; }

    // Builds the entity with the shared builder (or the given one), makes the signature on first use,
    // fills and writes the envelope and saves it to "<ms>_envelope.log" (a taken name moves to the next
    // millisecond). Only when the file was written: marks the activation message sent and returns the
    // envelope bytes; otherwise nothing, so the caller keeps its caches. Once an entity exists,
    // "tlySerialNum" grows by 1 before any file is written (a serial number is never given twice, even
    // across a kill) and the exchange file is checked. With a commit, the file is written under a
    // hidden name first and linked under its own once commit.record agreed.
    std::optional<Bytes> makeEnvelopeData(const EnvelopeCommit* commit = nullptr);
    std::optional<Bytes> makeEnvelopeData(TallyPack& pack, const EnvelopeCommit* commit = nullptr);
    // The envelope bytes for a deflated entity: encrypted when the imprint's "codex" is "1", or, with
    // no "codex" in the imprint, when encryption is enabled; codex 1 when encrypted, else 0. The
    // serial number is the stored "tlySerialNum" unless given.
    std::optional<Bytes> toDataWithEntity(std::span<const std::uint8_t> entity);
    std::optional<Bytes> toDataWithEntity(std::span<const std::uint8_t> entity, std::int32_t serial);
    // Writes {"appkey", "tlyid" (when not empty), "signature", "checksum"} to the exchange file when
    // its bytes differ from what is there (or it is missing); nothing without a signature.
    void checkExchangeData();
    // The file last written by makeEnvelopeData ("" before any).
    const std::string& lastEnvelopePath() const { return lastPath_; }

private:
    Bytes ensureSignature();

    std::int32_t length_ = 0;
    std::string lastPath_;
};

}  // namespace lv
