// Shared by the log builder, envelope and upload tests: a fresh sandbox and an engine whose caches
// the test fills (the engine's own classes live elsewhere; the builder reaches them only through
// TallyPackEngine).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "analytics/items.h"
#include "analytics/tally_pack.h"
#include "settings_test_support.h"

namespace lv::test {

class CacheEngine : public TallyPackEngine {
public:
    std::vector<Ref<TLYEvent>> events() const override { return events_; }
    std::vector<Ref<TLYError>> errors() const override { return errors_; }
    std::vector<Ref<TLYEkv>> ekv() const override { return ekv_; }
    std::vector<Ref<TLYTerminate>> terminates() const override { return terminates_; }
    void removeInstanceMsgs() override { calls.push_back("removeInstanceMsgs"), dropMessages(); }
    void removeSessions() override { calls.push_back("removeSessions"), terminates_.clear(); }
    void buildDummySession() override { calls.push_back("buildDummySession"), addSession("current", 60); }
    void removeCacheData() override { calls.push_back("removeCacheData"), dropMessages(), terminates_.clear(); }
    // The fake keeps its events in the order added, oldest first: the front ones go.
    std::size_t removeOldestEvents(std::size_t count) override {
        calls.push_back("removeOldestEvents");
        const std::size_t fromEvents = std::min(count, events_.size());
        events_.erase(events_.begin(), events_.begin() + static_cast<std::ptrdiff_t>(fromEvents));
        const std::size_t fromEkv = std::min(count - fromEvents, ekv_.size());
        ekv_.erase(ekv_.begin(), ekv_.begin() + static_cast<std::ptrdiff_t>(fromEkv));
        return fromEvents + fromEkv;
    }
    std::string wrapperType() const override { return wrapper; }
    std::string wrapperVersion() const override { return wrapper.empty() ? "" : "1.2"; }
    std::int32_t defcon() const override { return level; }
    void setDefcon(std::int32_t value) override { level = value; }
    std::int32_t latency() const override { return latencySeconds; }
    bool bDisguisedLatency() const override { return disguised; }
    double elapsedTimeFromPost() const override { return elapsed; }

    Ref<TLYEvent> addEvent(const std::string& session, const std::string& id, const std::string& label = "") {
        auto event = makeRef<TLYEvent>();
        event->session_id = session, event->event_id = id, event->label = label;
        return events_.emplace_back(event);
    }
    Ref<TLYError> addError(const std::string& session, const std::string& context) {
        auto error = makeRef<TLYError>();
        error->session_id = session, error->context = context;
        return errors_.emplace_back(error);
    }
    Ref<TLYEkv> addEkv(const std::string& session, const std::string& id, const Dictionary& values, bool game = false) {
        auto ekv = TLYEkv::make(id, "", {}, game);
        ekv->values = values;  // as the engine holds them, past the attribute filter
        ekv->session_id = session;
        return ekv_.emplace_back(ekv);
    }
    Ref<TLYTerminate> addSession(const std::string& session, double duration, Array pages = {}) {
        auto terminate = makeRef<TLYTerminate>(duration);
        terminate->session_id = session, terminate->pageViews = std::move(pages);
        return terminates_.emplace_back(terminate);
    }

    std::vector<std::string> calls;
    std::string wrapper;
    std::int32_t level = 0, latencySeconds = 0;
    bool disguised = false;
    double elapsed = -1;

private:
    void dropMessages() { events_.clear(), errors_.clear(), ekv_.clear(); }
    std::vector<Ref<TLYEvent>> events_;
    std::vector<Ref<TLYError>> errors_;
    std::vector<Ref<TLYEkv>> ekv_;
    std::vector<Ref<TLYTerminate>> terminates_;
};

// Identifiers per domain, changed by the test between "processes".
inline IdentifierSource identifiersFrom(const std::map<std::string, std::string>* ids) {
    return [ids](std::string_view domain) {
        const auto found = ids->find(std::string(domain));
        return found == ids->end() ? std::string() : found->second;
    };
}

// A builder over a fresh engine in a fresh sandbox.
struct PackFixture {
    ScopedAnalyticsSandbox sandbox;
    std::shared_ptr<CacheEngine> engine = std::make_shared<CacheEngine>();
    std::map<std::string, std::string> ids{{"mc", "02:00:00:00:00:00"}, {"oid", "0123456789abcdef0123456789abcdef01234567"}};
    Ref<TallyPack> pack = makeRef<TallyPack>(engine, identifiersFrom(&ids));

    // A new process's builder over the same stored state.
    void restart() { pack = makeRef<TallyPack>(engine, identifiersFrom(&ids)); }
    TPKUALogEntry build() {
        const auto bytes = pack->toData();
        EXPECT_TRUE(bytes.has_value());
        return bytes ? TallyPack::fromData(*bytes) : TPKUALogEntry{};
    }
};

}  // namespace lv::test
