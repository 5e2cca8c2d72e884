// Fetched rows of records a context holds already: each row comes as its own store's and entity's
// record, the one the context holds (loaded or a fault, as it is) or a new fault, with or without values.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "context_test_support.h"

namespace lv {
namespace {

using test::request;

// Two files of the content model, each with one News row of key 1, the first with a Taobao row of
// key 1 as well, under one coordinator: rows of equal keys in two stores and two entities.
class HeldRows : public ::testing::Test {
protected:
    void SetUp() override {
        model = test::contentModel();
        for (const auto& [file, msgId] : {std::pair{"first.sqlite", "a1"}, std::pair{"second.sqlite", "b1"}}) {
            auto writer = test::openCoordinator(model, dir.file(file));
            ASSERT_TRUE(writer);
            auto news = test::insertRow(*writer, "News", {{"msgId", Value(msgId)}, {"cat_name", Value("ent")}});
            ASSERT_TRUE(news);
            ASSERT_EQ(news->key(), 1);
            ids[msgId] = news;
            if (std::string(msgId) == "a1") {
                taobao = test::insertRow(*writer, "Taobao", {{"t_id", Value("t1")}});
                ASSERT_TRUE(taobao);
                ASSERT_EQ(taobao->key(), 1);
            }
        }
        coordinator = makeRef<PersistentStoreCoordinator>(model);
        for (const char* file : {"first.sqlite", "second.sqlite"}) {
            Ref<Error> error;
            ASSERT_TRUE(coordinator->addPersistentStore(kSQLiteStoreType, "", dir.file(file), {}, &error)) << test::describe(error);
        }
    }

    Ref<ManagedObjectContext> freshContext() const {
        auto context = ManagedObjectContext::make(ManagedObjectContextConcurrencyType::Confinement);
        context->setPersistentStoreCoordinator(coordinator);
        return context;
    }

    test::TempDir dir;
    Ref<ManagedObjectModel> model;
    Ref<PersistentStoreCoordinator> coordinator;
    std::map<std::string, Ref<ManagedObjectID>> ids;  // by msgId, as the writers gave them
    Ref<ManagedObjectID> taobao;
};

TEST_F(HeldRows, EachRowTakesTheRecordOfItsOwnStoreAndEntity) {
    enum class Hold { Nothing, Loaded, Fault };
    struct Case {
        const char* name;
        Hold a1, b1;
        bool taobaoLoaded;
    };
    const Case cases[] = {
        {"nothing held", Hold::Nothing, Hold::Nothing, false},
        {"another entity's record of the same key held", Hold::Nothing, Hold::Nothing, true},
        {"the second store's record held", Hold::Nothing, Hold::Loaded, true},
        {"the first store's record held", Hold::Loaded, Hold::Nothing, false},
        {"both held", Hold::Loaded, Hold::Loaded, true},
        {"one held as a fault", Hold::Fault, Hold::Loaded, false},
    };
    for (const Case& c : cases) {
        for (const bool withValues : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (withValues ? ", with values" : ", keys only"));
            auto context = freshContext();
            std::map<std::string, Ref<ManagedObject>> held;
            for (const auto& [msgId, hold] : {std::pair{"a1", c.a1}, std::pair{"b1", c.b1}}) {
                if (hold == Hold::Fault) {
                    held[msgId] = context->objectWithID(ids[msgId]);
                    ASSERT_TRUE(held[msgId] && held[msgId]->isFault());
                } else if (hold == Hold::Loaded) {
                    auto found = test::fetch(context, request("News", Predicate::parse("msgId = %@", {Value(msgId)}, nullptr)));
                    ASSERT_EQ(found.size(), 1u);
                    held[msgId] = found[0];
                }
            }
            Ref<ManagedObject> heldTaobao;
            if (c.taobaoLoaded) {
                auto found = test::fetch(context, request("Taobao"));
                ASSERT_EQ(found.size(), 1u);
                heldTaobao = found[0];
            }
            auto r = request("News");
            r->setIncludesPropertyValues(withValues);
            const auto found = test::fetch(context, r);
            ASSERT_EQ(found.size(), 2u);
            EXPECT_NE(found[0].get(), found[1].get());
            std::map<std::string, Ref<ManagedObject>> byMsgId;
            for (std::size_t i = 0; i < found.size(); ++i) {
                const Ref<ManagedObject>& o = found[i];
                const std::string& store = coordinator->persistentStores()[i]->identifier();
                EXPECT_EQ(o->objectID()->storeIdentifier(), store);
                EXPECT_EQ(o->objectID()->entity()->name(), "News");
                EXPECT_EQ(o->objectID()->key(), 1);
                const std::string msgId = i == 0 ? "a1" : "b1";
                EXPECT_TRUE(o->objectID()->isEqual(*ids[msgId]));
                EXPECT_EQ(context->objectRegisteredForID(ids[msgId]).get(), o.get());
                // A held record comes as it is held; a new one is a fault unless the fetch read values.
                const Hold hold = i == 0 ? c.a1 : c.b1;
                if (hold != Hold::Nothing) {
                    EXPECT_EQ(o.get(), held[msgId].get());
                }
                EXPECT_EQ(o->isFault(), !withValues && hold != Hold::Loaded);
                EXPECT_EQ(o->valueForKey("msgId").stringValue(), msgId);
            }
            if (heldTaobao) {
                EXPECT_FALSE(heldTaobao->isFault());
                EXPECT_EQ(heldTaobao->valueForKey("t_id").stringValue(), "t1");
                EXPECT_EQ(context->objectRegisteredForID(taobao).get(), heldTaobao.get());
            }
        }
    }
}

}  // namespace
}  // namespace lv
