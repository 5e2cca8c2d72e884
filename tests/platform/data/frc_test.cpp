// The fetched-results controller: fetched objects and sections, and the change reports a table follows
// (insert 1, delete 2, move 3, update 4) for changes made in its context and merged into it.
#include <gtest/gtest.h>

#include "context_test_support.h"
#include "platform/data/fetched_results_controller.h"

namespace lv {
namespace {

using test::fetch;
using test::insert;
using test::request;
using test::Stack;

std::string pathText(const std::optional<IndexPath>& p) {
    return p ? std::to_string(p->section) + "." + std::to_string(p->row) : std::string("-");
}

// Writes each report as one line: "will", "did", "section <type> <index> <name>",
// "object <type> <from> <to> <title>".
class Recorder : public Object, public FetchedResultsControllerDelegate {
public:
    void controllerWillChangeContent(FetchedResultsController&) override { lines.push_back("will"); }
    void controllerDidChangeSection(FetchedResultsController&, const Ref<FetchedResultsSectionInfo>& info, std::size_t index,
                                    FetchedResultsChangeType type) override {
        lines.push_back("section " + std::to_string(static_cast<int>(type)) + " " + std::to_string(index) + " " + info->name());
    }
    void controllerDidChangeObject(FetchedResultsController&, const Ref<ManagedObject>& object, std::optional<IndexPath> from,
                                   FetchedResultsChangeType type, std::optional<IndexPath> to) override {
        lines.push_back("object " + std::to_string(static_cast<int>(type)) + " " + pathText(from) + " " + pathText(to) + " " +
                        object->valueForKey("title").stringValue());
    }
    void controllerDidChangeContent(FetchedResultsController&) override { lines.push_back("did"); }
    std::vector<std::string> lines;
};

struct Controller : ::testing::Test {
    void SetUp() override {
        s = std::make_unique<Stack>();
        // Two sites; the list shows site 1 by rank.
        s->main->performAndWait([&] {
            for (auto [title, sid, rank] : {std::tuple{"r1", 1, 1}, std::tuple{"r2", 1, 2}, std::tuple{"r3", 1, 3}, std::tuple{"x", 2, 1}}) {
                insert(s->main, "Toptenz", {{"title", Value(title)}, {"sid", Value(sid)}, {"rank", Value(rank)}});
            }
        });
        ASSERT_TRUE(s->saveAll());
        controller = FetchedResultsController::make(request("Toptenz", Predicate::format("sid = %d", nullptr, 1), {SortDescriptor("rank", true)}),
                                                    s->main, "", "RecordStack-Cache-Toptenz");
        recorder = makeRef<Recorder>();
        controller->setDelegate(recorder);
        Ref<Error> error;
        ASSERT_TRUE(controller->performFetch(&error)) << test::describe(error);
    }
    // Runs a change on the main context and lets it announce itself.
    void change(const std::function<void()>& block) {
        s->main->performAndWait(block);
        s->main->performAndWait([&] { s->main->processPendingChanges(); });
    }
    Ref<ManagedObject> titled(const char* title) { return fetch(s->main, request("Toptenz", Predicate::format("title = %@", nullptr, title)))[0]; }

    std::unique_ptr<Stack> s;
    Ref<FetchedResultsController> controller;
    Ref<Recorder> recorder;
};

TEST_F(Controller, FetchGivesObjectsSectionsAndIndexPaths) {
    EXPECT_EQ(test::texts(controller->fetchedObjects(), "title"), (std::vector<std::string>{"r1", "r2", "r3"}));
    EXPECT_EQ(controller->cacheName(), "RecordStack-Cache-Toptenz");
    auto sections = controller->sections();
    ASSERT_EQ(sections.size(), 1u);
    EXPECT_EQ(sections[0]->numberOfObjects(), 3u);
    EXPECT_EQ(controller->objectAtIndexPath({0, 1})->valueForKey("title"), Value("r2"));
    EXPECT_FALSE(controller->objectAtIndexPath({0, 3}));
    EXPECT_FALSE(controller->objectAtIndexPath({1, 0}));
    EXPECT_EQ(controller->indexPathForObject(titled("r3")), (IndexPath{0, 2}));
    EXPECT_FALSE(controller->indexPathForObject(titled("x")));
    EXPECT_TRUE(recorder->lines.empty());
}

TEST_F(Controller, ReportsInsertDeleteMoveAndUpdate) {
    change([&] { insert(s->main, "Toptenz", {{"title", Value("r0")}, {"sid", Value(1)}, {"rank", Value(0)}}); });
    EXPECT_EQ(recorder->lines, (std::vector<std::string>{"will", "object 1 - 0.0 r0", "did"}));
    recorder->lines.clear();

    change([&] { s->main->deleteObject(titled("r2")); });
    EXPECT_EQ(recorder->lines, (std::vector<std::string>{"will", "object 2 0.2 - r2", "did"}));
    recorder->lines.clear();

    // An update of the sort key moves the row; an update of another value updates it in place.
    change([&] { titled("r1")->setValueForKey(Value(9), "rank"); });
    EXPECT_EQ(recorder->lines, (std::vector<std::string>{"will", "object 3 0.1 0.2 r1", "did"}));
    recorder->lines.clear();
    change([&] { titled("r3")->setValueForKey(Value("http://x"), "avatar"); });
    EXPECT_EQ(recorder->lines, (std::vector<std::string>{"will", "object 4 0.1 - r3", "did"}));
    recorder->lines.clear();
    EXPECT_EQ(test::texts(controller->fetchedObjects(), "title"), (std::vector<std::string>{"r0", "r3", "r1"}));

    // Leaving the predicate is a delete; changes outside the list are not reported.
    change([&] {
        titled("r0")->setValueForKey(Value(2), "sid");
        titled("x")->setValueForKey(Value(7), "rank");
    });
    EXPECT_EQ(recorder->lines, (std::vector<std::string>{"will", "object 2 0.0 - r0", "did"}));
    recorder->lines.clear();
    change([&] { titled("x")->setValueForKey(Value(8), "rank"); });
    EXPECT_TRUE(recorder->lines.empty());
}

TEST_F(Controller, ReportsWhatARootSaveMergesIn) {
    // The main context merges root saves, as the app's default context does.
    NotificationCenter::defaultCenter()->addObserver(this, kManagedObjectContextDidSaveNotification, s->root, [this](const Notification& n) {
        auto note = Notification::make(n.name(), n.object(), n.userInfo());
        Weak<ManagedObjectContext> main = s->main;
        Queue::main()->async([main, note] {
            if (auto m = main.lock()) m->mergeChangesFromContextDidSaveNotification(*note);
        });
    });
    auto worker = ManagedObjectContext::make(ManagedObjectContextConcurrencyType::PrivateQueue);
    worker->setParentContext(s->root);
    worker->performAndWait([&] {
        auto items = fetch(worker, request("Toptenz", Predicate::format("sid = 1", nullptr), {SortDescriptor("rank", true)}));
        items[0]->setValueForKey(Value(5), "rank");  // r1 goes last
        worker->deleteObject(items[1]);             // r2
        insert(worker, "Toptenz", {{"title", Value("new")}, {"sid", Value(1)}, {"rank", Value(4)}});
        ASSERT_TRUE(worker->save(nullptr));
    });
    s->root->performAndWait([&] { ASSERT_TRUE(s->root->save(nullptr)); });
    ASSERT_TRUE(runMainUntil([&] { return !recorder->lines.empty(); }, 10));
    NotificationCenter::defaultCenter()->removeObserver(this);
    EXPECT_EQ(recorder->lines,
              (std::vector<std::string>{"will", "object 2 0.1 - r2", "object 1 - 0.1 new", "object 3 0.0 0.2 r1", "did"}));
    EXPECT_EQ(test::texts(controller->fetchedObjects(), "title"), (std::vector<std::string>{"r3", "new", "r1"}));
}

TEST_F(Controller, SectionsAppearAndEmpty) {
    auto bySite = FetchedResultsController::make(request("Toptenz", nullptr, {SortDescriptor("sid", true), SortDescriptor("rank", true)}),
                                                 s->main, "sid");
    auto log = makeRef<Recorder>();
    bySite->setDelegate(log);
    ASSERT_TRUE(bySite->performFetch(nullptr));
    auto sections = bySite->sections();
    ASSERT_EQ(sections.size(), 2u);
    EXPECT_EQ(sections[0]->name(), "1");
    EXPECT_EQ(sections[1]->name(), "2");
    EXPECT_EQ(sections[1]->numberOfObjects(), 1u);
    EXPECT_EQ(bySite->indexPathForObject(titled("x")), (IndexPath{1, 0}));

    change([&] { insert(s->main, "Toptenz", {{"title", Value("y")}, {"sid", Value(3)}, {"rank", Value(1)}}); });
    EXPECT_EQ(log->lines, (std::vector<std::string>{"will", "section 1 2 3", "object 1 - 2.0 y", "did"}));
    log->lines.clear();
    change([&] { s->main->deleteObject(titled("x")); });
    EXPECT_EQ(log->lines, (std::vector<std::string>{"will", "section 2 1 2", "object 2 1.0 - x", "did"}));
    log->lines.clear();
    // Moving to another section.
    change([&] { titled("y")->setValueForKey(Value(1), "sid"); });
    EXPECT_EQ(log->lines, (std::vector<std::string>{"will", "section 2 1 3", "object 3 1.0 0.1 y", "did"}));
    EXPECT_EQ(bySite->sections().size(), 1u);
}

TEST_F(Controller, TheDelegateIsHeldWeaklyAndResetFetchesAgain) {
    recorder.reset();  // the controller does not keep it
    EXPECT_FALSE(controller->delegate());
    change([&] { insert(s->main, "Toptenz", {{"title", Value("r4")}, {"sid", Value(1)}, {"rank", Value(4)}}); });
    EXPECT_EQ(controller->fetchedObjects().size(), 4u);

    auto log = makeRef<Recorder>();
    controller->setDelegate(log);
    s->main->performAndWait([&] { s->main->reset(); });
    // After a reset the list holds the stored rows again, as new records.
    EXPECT_EQ(test::texts(controller->fetchedObjects(), "title"), (std::vector<std::string>{"r1", "r2", "r3"}));
    EXPECT_EQ(log->lines.front(), "will");
    EXPECT_EQ(log->lines.back(), "did");
    EXPECT_EQ(log->lines.size(), 2u + 4u + 3u);  // four deletes, three inserts
}

}  // namespace
}  // namespace lv
