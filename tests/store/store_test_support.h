// Shared parts of the record-store tests: a fixture with a fresh sandbox per test (the store file lands
// in its application-support folder), record classes of the bundle's model, an error sink for
// RecordStack::handleErrors, a notification recorder, and a raw SQLite reader that looks at the file
// through a connection of its own.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/raw_sqlite.h"
#include "platform/base/error.h"
#include "platform/base/log.h"
#include "platform/data/context.h"
#include "platform/data/managed_object.h"
#include "platform/dispatch/notification_center.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/run_loop.h"
#include "platform/storage/bundle.h"
#include "platform/storage/sandbox.h"
#include "store/contexts.h"
#include "store/persistence.h"
#include "store/record_stack.h"
#include "store/records.h"
#include "store/saves.h"
#include "support/temp_dir.h"

namespace lv::test {

// Record classes of two entities of the bundle's model.
class News : public Record<News> {
public:
    LV_RECORD_ATTRIBUTE(msgId, MsgId)
    LV_RECORD_ATTRIBUTE(title, Title)
    LV_RECORD_ATTRIBUTE(cat_name, Cat_name)
    static const ClassInfo* runtimeClass() {
        static const ClassInfo* cls =
            RecordClassDef<News>("News").attribute("msgId", "String").attribute("title", "String").attribute("cat_name", "String").registerClass();
        return cls;
    }
};

class Toptenz : public Record<Toptenz> {
public:
    LV_RECORD_ATTRIBUTE(sid, Sid)
    LV_RECORD_ATTRIBUTE(rank, Rank)
    LV_RECORD_ATTRIBUTE(title, Title)
    static const ClassInfo* runtimeClass() {
        static const ClassInfo* cls =
            RecordClassDef<Toptenz>("Toptenz").attribute("sid", "Number").attribute("rank", "Number").attribute("title", "String").registerClass();
        return cls;
    }
};

// Collects what RecordStack::handleErrors hands its target (from any thread).
class ErrorSink : public Object {
public:
    void take(const Ref<Error>& error) {
        std::lock_guard lock(mutex_);
        errors_.push_back(error);
    }
    std::vector<Ref<Error>> errors() const {
        std::lock_guard lock(mutex_);
        return errors_;
    }
    std::size_t count() const { return errors().size(); }
    Ref<Error> last() const {
        auto all = errors();
        return all.empty() ? nullptr : all.back();
    }

private:
    mutable std::mutex mutex_;
    std::vector<Ref<Error>> errors_;
};

// Records the named notifications (name and user info) in the order they arrive.
class NotificationRecorder {
public:
    explicit NotificationRecorder(const std::vector<std::string_view>& names) {
        for (auto name : names) {
            tokens_.push_back(NotificationCenter::defaultCenter()->addObserverForName(name, nullptr, nullptr, [this](const Notification& n) {
                std::lock_guard lock(mutex_);
                names_.push_back(n.name());
                infos_.push_back(n.userInfo());
            }));
        }
    }
    ~NotificationRecorder() {
        for (auto& token : tokens_) NotificationCenter::defaultCenter()->removeObserver(token.get());
    }
    std::vector<std::string> names() const {
        std::lock_guard lock(mutex_);
        return names_;
    }
    Dictionary infoAt(std::size_t i) const {
        std::lock_guard lock(mutex_);
        return infos_.at(i);
    }

private:
    mutable std::mutex mutex_;
    std::vector<Ref<Object>> tokens_;
    std::vector<std::string> names_;
    std::vector<Dictionary> infos_;
};

// Runs the main loop until everything queued on the main queue so far has run, twice over (a block
// that queues another block is followed too).
inline void drainMain() {
    for (int round = 0; round < 2; ++round) {
        bool done = false;
        Queue::main()->async([&] { done = true; });
        ASSERT_TRUE(runMainUntil([&] { return done; }, 10.0));
    }
}

// Runs fn on a thread of its own while the main loop keeps running (fn may wait for the main queue).
inline void onBackgroundThread(const std::function<void()>& fn) {
    std::atomic<bool> finished{false};
    std::thread worker([&] {
        fn();
        finished = true;
    });
    const bool ok = runMainUntil([&] { return finished.load(); }, 20.0);
    worker.join();
    ASSERT_TRUE(ok);
}


inline std::string describe(const Ref<Error>& error) { return error ? error->description() : std::string("no error"); }

inline Ref<Predicate> predicate(std::string_view format, std::vector<Value> arguments = {}) {
    Ref<Error> error;
    auto p = Predicate::parse(format, arguments, &error);
    EXPECT_TRUE(p) << describe(error);
    return p;
}

inline std::vector<std::string> texts(const std::vector<Ref<News>>& records) {
    std::vector<std::string> out;
    for (const auto& r : records) out.push_back(r->title().stringValue());
    return out;
}

// A fresh sandbox per test; the stack, the options and the handler are put back afterwards.
class StoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Sandbox::setRoot(dir.path().string()));
        Bundle::setMainBundlePath(Bundle::defaultMainBundlePath());
        News::runtimeClass();
        Toptenz::runtimeClass();
        sink = makeRef<ErrorSink>();
        RecordStack::setErrorHandlerTarget(sink, &ErrorSink::take);
    }
    void TearDown() override {
        drainMain();
        RecordStack::cleanUp();
        RS_setDefaultPersistentStore(nullptr);
        RecordStack::setICloudEnabled(false);
        RecordStack::setShouldAutoCreateManagedObjectModel(true);
        RecordStack::setShouldAutoCreateDefaultPersistentStoreCoordinator(false);
        RecordStack::setShouldDeleteStoreOnModelMismatch(false);
        RecordStack::setLoggingLevel(RSLogMaskError);
        RecordEntity::RS_setDefaultBatchSize(20);
        Bundle::setMainBundlePath(Bundle::defaultMainBundlePath());
        drainMain();
    }

    std::string storePath() const { return RS_urlForStoreName("lunavexa.sqlite").string(); }
    void setUpStack() { RecordStack::setupCoreDataStackWithStoreNamed("lunavexa.sqlite"); }

    // A News record in the context (on its queue), not saved.
    static Ref<News> addNews(const Ref<ManagedObjectContext>& context, const std::string& msgId, const std::string& title,
                             const std::string& category = "ent") {
        Ref<News> record;
        context->performAndWait([&] {
            record = News::RS_createEntityInContext(context);
            record->setMsgId(msgId);
            record->setTitle(title);
            record->setCat_name(category);
        });
        return record;
    }

    TempDir dir;
    Ref<ErrorSink> sink;
};

// The same with the app's stack ("lunavexa.sqlite") set up before the test body.
class StackTest : public StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        setUpStack();
    }
};

}  // namespace lv::test
