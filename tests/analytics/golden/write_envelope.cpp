// Writes two envelope files (the first encrypted, the second plain) and the identity exchange file
// into a sandbox for check_envelope.py, an independent reader.
#include <iostream>
#include <string>

#include "analytics/items.h"
#include "analytics/tally_app.h"
#include "analytics/tally_envelope.h"
#include "analytics/tally_pack.h"
#include "analytics/tally_utility.h"
#include "platform/base/clock.h"
#include "platform/storage/sandbox.h"

namespace {

using namespace lv;

// One session with one page and one labelled event.
class OneSessionEngine final : public TallyPackEngine {
public:
    OneSessionEngine() {
        auto event = makeRef<TLYEvent>();
        event->session_id = "S1";
        event->event_id = "newsTab";
        event->label = "ent";
        events_.push_back(event);
        auto end = makeRef<TLYTerminate>(42.5);
        end->session_id = "S1";
        end->pageViews = {Value::array({"Screen", 3})};
        terminates_.push_back(end);
    }
    std::vector<Ref<TLYEvent>> events() const override { return events_; }
    std::vector<Ref<TLYError>> errors() const override { return {}; }
    std::vector<Ref<TLYEkv>> ekv() const override { return {}; }
    std::vector<Ref<TLYTerminate>> terminates() const override { return terminates_; }
    void removeInstanceMsgs() override {}
    void removeSessions() override {}
    void buildDummySession() override {}
    void removeCacheData() override {}
    std::size_t removeOldestEvents(std::size_t) override { return 0; }
    std::string wrapperType() const override { return {}; }
    std::string wrapperVersion() const override { return {}; }
    std::int32_t defcon() const override { return 0; }
    void setDefcon(std::int32_t) override {}
    std::int32_t latency() const override { return 0; }
    bool bDisguisedLatency() const override { return false; }
    double elapsedTimeFromPost() const override { return -1; }

private:
    std::vector<Ref<TLYEvent>> events_;
    std::vector<Ref<TLYTerminate>> terminates_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: write_envelope <sandbox folder>\n";
        return 2;
    }
    if (!Sandbox::setRoot(argv[1])) return 1;
    ScopedClock clock([] { return 1700000000.5; });
    TallyApp::sharedInstance()->setAppid("9f3b6c2a41e07d58b2c4a6e1");
    auto pack = makeRef<TallyPack>(std::make_shared<OneSessionEngine>());
    for (bool encrypt : {true, false}) {
        TallyApp::sharedInstance()->setEncryptEnabledFlag(encrypt);
        if (!TallyEnvelope::sharedInstance()->makeEnvelopeData(*pack)) return 1;
        std::cout << TallyEnvelope::sharedInstance()->lastEnvelopePath() << "\n";
    }
    std::cout << TallyUtility::exchangeIdentityPath() << "\n";
    return 0;
}
