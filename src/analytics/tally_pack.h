// The analytics log builder (TallyPack): keeps one log entry for the process, refreshes it from the
// engine's caches, the settings store and the upload scheduler at each build, serialises and deflates
// it for the envelope writer, and applies the server's replies (imprint, back-off level, experiments)
// and the id-tracking record. The engine and scheduler are reached through TallyPackEngine.
//
// Threads: building, updateImprint and saveIdTracking run on the main thread (where the engine keeps
// its caches). verifyResponseData runs on the upload worker: it only decodes and checks the reply and
// queues the imprint's application on the main queue. The static look-ups read the settings store and
// are callable from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "analytics/id_tracking.h"
#include "analytics/items.h"
#include "analytics/log_records.h"
#include "platform/base/object.h"
#include "platform/base/value.h"

namespace lv {

// What the builder needs of the engine (caches and their operations) and of the upload scheduler
// (back-off level and latency). Called on the main thread only.
class TallyPackEngine {
public:
    virtual ~TallyPackEngine() = default;
    // The caches, in cache order.
    virtual std::vector<Ref<TLYEvent>> events() const = 0;
    virtual std::vector<Ref<TLYError>> errors() const = 0;
    virtual std::vector<Ref<TLYEkv>> ekv() const = 0;
    virtual std::vector<Ref<TLYTerminate>> terminates() const = 0;
    // Empties events, errors and ekv.
    virtual void removeInstanceMsgs() = 0;
    // Empties terminates.
    virtual void removeSessions() = 0;
    // Appends a 60 s session-end item stamped now with the current session id.
    virtual void buildDummySession() = 0;
    // Empties every cache and the timed events in progress.
    virtual void removeCacheData() = 0;
    // Drops up to count of the oldest counted and keyed events (by their time; sessions and crash
    // reports stay) and answers how many went.
    virtual std::size_t removeOldestEvents(std::size_t count) = 0;
    virtual std::string wrapperType() const = 0;
    virtual std::string wrapperVersion() const = 0;
    // The scheduler's back-off level (0 to 3) and its setter.
    virtual std::int32_t defcon() const = 0;
    virtual void setDefcon(std::int32_t level) = 0;
    // The pending upload's latency in seconds, and whether the scheduler's own rule chose it.
    virtual std::int32_t latency() const = 0;
    virtual bool bDisguisedLatency() const = 0;
    // Seconds since "lastPostInterval", or -1 when none is stored.
    virtual double elapsedTimeFromPost() const = 0;
};

class TallyPack : public Object {
public:
    // Refusal limits: a raw entry of rawBytes or more, or a deflated one of deflatedBytes or more
    // (205 KiB: deflated length / 1024 must stay below 205), is not sent. The oldest events go first
    // until the entry fits; only when no event is left to drop and it still does not fit are the
    // caches dropped (nothing is given then).
    struct SizeCaps {
        std::size_t rawBytes = 4194304;
        std::size_t deflatedBytes = 205 * 1024;
    };

    // Start-up: device, app and misc facts, the log entry, the activation message (unless
    // "tlyActivateMsg" is stored) and the id-tracking record. A null engine has empty caches and
    // level 0.
    explicit TallyPack(std::shared_ptr<TallyPackEngine> engine, IdentifierSource identifiers = defaultIdentifierSource());

    // The process's builder, made on first use (under a lock) with the engine given to setSharedEngine.
    static Ref<TallyPack> sharedInstance();
    // Drops the process's builder: the next use builds the start-up records afresh, as a new launch
    // does (its activation message, app facts and id tracking). A worker holding the old one keeps it.
    static void resetSharedInstance();
    // The engine the shared builder is made with; call before its first use.
    static void setSharedEngine(std::shared_ptr<TallyPackEngine> engine);

    // Deflated bytes of the serialised entry; nothing over a cap or when deflating fails.
    std::optional<Bytes> entityData();
    // Runs the build steps in order and serialises; nothing over the raw cap. Tells the envelope
    // writer the length (TallyEnvelope::setLength).
    std::optional<Bytes> toData();
    // After an envelope was written: stores "tlyActivateMsg" (once) and clears the entry's message.
    void setActivateMsgFlag();
    // The entry read from bytes; a read exception is logged and the partly read entry returned.
    static TPKUALogEntry fromData(std::span<const std::uint8_t> bytes);

    // The build steps, in the order toData runs them.
    void buildClientStats();
    void buildSessionsAndInstantMessages();
    void buildInstantMessages();
    void buildSessions();
    void buildImprint();
    void buildControlPolicy();
    void buildGroupInfo();
    void buildActiveUser();

    // Record conversions of cached items (times in seconds become 64-bit milliseconds).
    static TPKSession buildSessionFrom(const TLYTerminate& terminate);
    static TPKEvent eventFromEvent(const TLYEvent& event);
    static TPKEvent eventFromEkv(const TLYEkv& ekv);
    static TPKError errorFromError(const TLYError& error);

    // Reply handling. Decodes the reply on the calling thread: YES exactly when resp_code is 1; a
    // valid imprint is then applied by updateImprint on the main queue.
    bool verifyResponseData(std::span<const std::uint8_t> body);
    // Merges the server's imprint into "tlyImprint" and applies defcon, experiments and intervals.
    // Main thread.
    void updateImprint(const TPKImprint& server);
    // After a successful upload: empties the journals and stores the record (when it has snapshots).
    // Main thread.
    void saveIdTracking();
    // Runs the experiment definition "method|groups|test|threshold|key|values".
    void configureExperimentWithString(std::string_view text);
    // A draw in [0, 1) from 5 signature bytes at the index; 0.0 without enough signature bytes.
    float calcProbWithSigIndex(std::size_t index) const;

    static std::string generateImprintChecksum(const TPKImprint& imprint);
    static bool validateImprintChecksum(const std::optional<TPKImprint>& imprint);
    // The stored imprint's value for the key ("tlyImprint" read afresh, checksum not checked).
    static std::optional<std::string> imprintPropertyValueWithKey(std::string_view key);

    const TPKUALogEntry& UALogEntry() const { return entry_; }
    const TPKIdTracking& idTracking() const { return idTracking_; }
    void setSizeCaps(SizeCaps caps) { caps_ = caps; }

private:
    void buildDeviceInfo();
    void buildAppInfo();
    void buildMiscInfo();
    void buildLogEntry();
    void buildActivateMsg();
    // The entry serialised from the current caches.
    Bytes serialize();
    // Drops a share of the oldest events sized by how far the entry is over its cap; false when there
    // is no event left to drop.
    bool shedEvents(std::size_t size, std::size_t cap);

    std::shared_ptr<TallyPackEngine> engine_;
    IdentifierSource identifiers_;
    SizeCaps caps_;
    TPKUALogEntry entry_;
    TPKDeviceInfo deviceInfo_;
    TPKAppInfo appInfo_;
    TPKMiscInfo miscInfo_;
    TPKIdTracking idTracking_;
    std::optional<TPKActivateMsg> activateMsg_;
};

}  // namespace lv
