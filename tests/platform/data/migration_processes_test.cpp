// Migrations between processes: several launches opening, at the same moment, a store that needs a
// migration. The launches are this test binary run again (the disabled test below, selected by name);
// they wait on a shared pipe, and the parent lets them all go at once by closing its end.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "context_test_support.h"
#include "support/child_process.h"
#include "support/raw_sqlite.h"

namespace lv {
namespace {

// The second model: one column removed (the table is rewritten, which takes a while over many rows)
// and a required attribute with a default added.
Ref<ManagedObjectModel> secondModel() {
    auto model = test::makeItemModel();
    auto item = model->entityNamed("Item");
    item->removeProperty("ratio");
    auto level = AttributeDescription::make("level", AttributeType::Integer32, false);
    level->setDefaultValue(Value(3));
    item->addAttribute(level);
    return model;
}

// Run only as a child of SimultaneousLaunchesMigrateOnceAndAllOpen: waits for the go, opens the store
// with the second model and migration options, and saves one row named after itself.
TEST(MigrationProcesses, DISABLED_Launch) {
    const char* path = std::getenv("LV_MIGRATE_STORE");
    const char* name = std::getenv("LV_MIGRATE_NAME");
    const char* goRead = std::getenv("LV_MIGRATE_GO_READ");
    const char* goWrite = std::getenv("LV_MIGRATE_GO_WRITE");
    const char* reportText = std::getenv("LV_MIGRATE_FD");
    ASSERT_TRUE(path && name && goRead && goWrite && reportText);
    ::close(std::atoi(goWrite));
    char c = 0;
    while (::read(std::atoi(goRead), &c, 1) > 0) {
    }
    Ref<Error> error;
    auto coordinator = test::openCoordinator(secondModel(), path, test::migrationOptions(), &error);
    ASSERT_TRUE(coordinator) << test::describe(error);
    auto context = ManagedObjectContext::make(ManagedObjectContextConcurrencyType::Confinement);
    context->setPersistentStoreCoordinator(coordinator);
    test::insert(context, "Item", {{"name", Value(name)}});
    ASSERT_TRUE(context->save(&error)) << test::describe(error);
    ASSERT_EQ(::write(std::atoi(reportText), "O", 1), 1);
}

TEST(MigrationProcesses, SimultaneousLaunchesMigrateOnceAndAllOpen) {
    constexpr int kLaunches = 3;
    constexpr int kRows = 40000;
    test::TempDir dir;
    const std::string path = dir.file("m.sqlite");
    {
        auto coordinator = test::openCoordinator(test::makeItemModel(), path);
        ASSERT_TRUE(coordinator);
        ChangeSet changes;
        auto entity = coordinator->managedObjectModel()->entityNamed("Item");
        for (int i = 0; i < kRows; ++i) {
            changes.inserts.push_back({ManagedObjectID::makeTemporary(entity), {{"name", Value("old")}, {"ratio", Value(0.5 * i)}}});
        }
        Ref<Error> error;
        ASSERT_TRUE(coordinator->saveChanges(changes, nullptr, &error)) << test::describe(error);
    }
    int go[2];
    ASSERT_EQ(::pipe(go), 0);
    std::vector<test::PipedChild> children;
    for (int i = 0; i < kLaunches; ++i) {
        children.push_back(test::startThisBinaryWithPipe(
            "MigrationProcesses.DISABLED_Launch",
            {{"LV_MIGRATE_STORE", path}, {"LV_MIGRATE_NAME", "launch" + std::to_string(i)},
             {"LV_MIGRATE_GO_READ", std::to_string(go[0])}, {"LV_MIGRATE_GO_WRITE", std::to_string(go[1])}},
            "LV_MIGRATE_FD", false));
        ASSERT_GT(children.back().pid, 0);
    }
    ::close(go[0]);
    ::close(go[1]);  // the go: every launch now reads the end of the pipe
    for (auto& child : children) {
        char mark = 0;
        EXPECT_EQ(::read(child.readFd, &mark, 1), 1);
        EXPECT_EQ(mark, 'O');
        int status = 0;
        ::waitpid(child.pid, &status, 0);
        ::close(child.readFd);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    // Migrated once: the old rows with the default, one row per launch, and the model opens as it is.
    EXPECT_EQ(test::rowsInFile(secondModel(), path, "Item"), static_cast<std::size_t>(kRows + kLaunches));
    EXPECT_EQ(test::rawTexts(path, "SELECT count(*) FROM \"Item\" WHERE \"level\" = 3 AND \"name\" = 'old'"),
              std::vector<std::string>{std::to_string(kRows)});
}

}  // namespace
}  // namespace lv
