#include "analytics/upload_link.h"

#include "analytics/tally_envelope.h"
#include "analytics/tally_internal.h"
#include "analytics/tally_job.h"
#include "analytics/tally_pack.h"
#include "analytics/tly_worker.h"

namespace lv {

namespace {

template <class T>
std::vector<Ref<T>> itemsOf(const std::vector<Ref<TLYBaseEvent>>& list) {
    std::vector<Ref<T>> items;
    items.reserve(list.size());
    for (const auto& item : list) {
        if (auto typed = std::dynamic_pointer_cast<T>(item)) items.push_back(std::move(typed));
    }
    return items;
}

class InternalPackEngine final : public TallyPackEngine {
public:
    std::vector<Ref<TLYEvent>> events() const override { return itemsOf<TLYEvent>(engine()->events()); }
    std::vector<Ref<TLYError>> errors() const override { return itemsOf<TLYError>(engine()->errors()); }
    std::vector<Ref<TLYEkv>> ekv() const override { return itemsOf<TLYEkv>(engine()->ekv()); }
    std::vector<Ref<TLYTerminate>> terminates() const override {
        return itemsOf<TLYTerminate>(engine()->terminates());
    }
    void removeInstanceMsgs() override { engine()->removeInstanceMsgs(); }
    void removeSessions() override { engine()->removeSessions(); }
    void buildDummySession() override { engine()->buildDummySession(); }
    void removeCacheData() override { engine()->removeCacheData(); }
    std::size_t removeOldestEvents(std::size_t count) override { return engine()->removeOldestEvents(count); }
    std::string wrapperType() const override { return engine()->wrapperType(); }
    std::string wrapperVersion() const override { return engine()->wrapperVersion(); }
    std::int32_t defcon() const override { return TallyJob::sharedInstance()->defcon(); }
    void setDefcon(std::int32_t level) override { TallyJob::sharedInstance()->setDefcon(level); }
    std::int32_t latency() const override { return TallyJob::sharedInstance()->latency(); }
    bool bDisguisedLatency() const override { return TallyJob::sharedInstance()->bDisguisedLatency(); }
    double elapsedTimeFromPost() const override { return TallyJob::elapsedTimeFromPost(); }

private:
    static Ref<TallyInternal> engine() { return TallyInternal::sharedInstance(); }
};

}  // namespace

std::optional<Bytes> UploadLink::makeEnvelopeData(const EnvelopeCommit* commit) {
    return TallyEnvelope::sharedInstance()->makeEnvelopeData(commit);
}

Ref<Operation> UploadLink::makeWorker(std::vector<std::string> envelopeFilePaths) {
    auto worker = makeRef<TLYWorker>();
    worker->setEnvelopeFilePaths(std::move(envelopeFilePaths));
    worker->setJobEndedHandler([] { TallyJob::sharedInstance()->setJobRunning(false); });
    return worker;
}

std::shared_ptr<TallyPackEngine> UploadLink::packEngine() {
    static const auto& engine = *new std::shared_ptr<InternalPackEngine>(std::make_shared<InternalPackEngine>());
    return engine;
}

}  // namespace lv
