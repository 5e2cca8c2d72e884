// Records: values by key limited to the entity's properties, default values, record classes from the
// runtime, change tracking, faults, relationships and their inverses, delete rules.
#include <gtest/gtest.h>

#include <thread>

#include "context_test_support.h"
#include "platform/runtime/runtime.h"

namespace lv {
namespace {

using test::fetch;
using test::request;

// A record class registered in the runtime, for the entity "Article" (class name "ArticleRecord").
class ArticleRecord : public ManagedObject {
public:
    LV_RECORD_ATTRIBUTE(headline, Headline)
    LV_RECORD_ATTRIBUTE(views, Views)

    static const ClassInfo* runtimeClass() {
        static const ClassInfo* cls =
            RecordClassDef<ArticleRecord>("ArticleRecord").attribute("headline", "String").attribute("views", "Number").registerClass();
        return cls;
    }
};

Ref<ManagedObjectModel> articleModel() {
    auto model = test::makeItemModel();
    auto article = EntityDescription::make("Article", "ArticleRecord");
    auto headline = AttributeDescription::make("headline", AttributeType::String);
    headline->setDefaultValue(Value("Untitled"));
    article->addAttribute(headline);
    auto views = AttributeDescription::make("views", AttributeType::Integer64);
    views->setDefaultValue(Value(0));
    article->addAttribute(views);
    article->addAttribute(AttributeDescription::make("price", AttributeType::Decimal));
    model->addEntity(article);
    return model;
}

struct Records : ::testing::Test {
    void SetUp() override {
        ArticleRecord::runtimeClass();
        coordinator = test::openCoordinator(articleModel(), "");
        ASSERT_TRUE(coordinator);
        context = ManagedObjectContext::make(ManagedObjectContextConcurrencyType::Confinement);
        context->setPersistentStoreCoordinator(coordinator);
    }
    Ref<ManagedObject> saved(const std::string& entity, const std::vector<std::pair<std::string, Value>>& values) {
        auto o = test::insert(context, entity, values);
        Ref<Error> error;
        EXPECT_TRUE(context->save(&error)) << test::describe(error);
        return o;
    }
    Ref<PersistentStoreCoordinator> coordinator;
    Ref<ManagedObjectContext> context;
};

TEST_F(Records, NewRecordsStartWithDefaultsAndTheRegisteredClass) {
    auto article = ManagedObject::insertNewObject("Article", context);
    ASSERT_TRUE(article);
    auto typed = std::dynamic_pointer_cast<ArticleRecord>(article);
    ASSERT_TRUE(typed);
    EXPECT_EQ(article->className(), "ArticleRecord");
    EXPECT_EQ(typed->headline(), Value("Untitled"));
    EXPECT_EQ(typed->views(), Value(0));
    EXPECT_TRUE(article->valueForKey("price").isNil());
    typed->setHeadline(Value("Hello"));
    EXPECT_EQ(article->valueForKey("headline"), Value("Hello"));
    EXPECT_TRUE(article->isInserted());
    EXPECT_TRUE(article->objectID()->isTemporaryID());

    // An entity without a registered class gets plain records.
    auto item = ManagedObject::insertNewObject("Item", context);
    EXPECT_EQ(item->className(), "ManagedObject");
    EXPECT_FALSE(ManagedObject::insertNewObject("Nothing", context));

    // The record class declares its attributes as dynamic properties that go through the values.
    const PropertyInfo* p = ArticleRecord::runtimeClass()->findProperty("headline");
    ASSERT_TRUE(p);
    EXPECT_EQ(p->attributes, "T@\"String\",&,D,N");
    EXPECT_TRUE(ArticleRecord::runtimeClass()->isSubclassOf("ManagedObject"));
    EXPECT_EQ(valueForKey(static_cast<Object&>(*article), "headline"), Value("Hello"));
}

// Records are made as the class their entity names at the time: the class name changed between two
// records of one entity, and back.
TEST_F(Records, EachRecordIsOfTheClassItsEntityNamesNow) {
    auto entity = coordinator->managedObjectModel()->entityNamed("Article");
    ASSERT_TRUE(entity);
    const std::pair<const char*, const char*> steps[] = {
        {"ArticleRecord", "ArticleRecord"}, {"NoSuchClass", "ManagedObject"}, {"ArticleRecord", "ArticleRecord"}, {"", "ManagedObject"}};
    for (const auto& [className, expected] : steps) {
        SCOPED_TRACE(className);
        entity->setManagedObjectClassName(className);
        for (int i = 0; i < 2; ++i) {
            auto record = ManagedObject::insertNewObject("Article", context);
            ASSERT_TRUE(record);
            EXPECT_EQ(record->className(), expected);
            EXPECT_EQ(record->valueForKey("headline"), Value("Untitled"));
        }
    }
    entity->setManagedObjectClassName("ArticleRecord");
}

// A record class whose record part follows another base.
struct Tag {
    virtual ~Tag() = default;
    int mark = 7;
};
class TaggedRecord : public Tag, public ManagedObject {};

// The record an object is, by its class: the same answer as a dynamic cast for every kind of object,
// one after another in any order (the last class's answer is kept), on two threads.
TEST_F(Records, FromObjectAnswersAsADynamicCast) {
    auto article = ManagedObject::insertNewObject("Article", context);
    auto item = ManagedObject::insertNewObject("Item", context);
    auto tagged = makeRef<TaggedRecord>();
    Ref<Object> id = article->objectID();
    const std::vector<Ref<Object>> sequence = {article, article, item, id, article, nullptr, tagged, tagged, id, item, article, tagged};
    auto check = [&] {
        for (const auto& object : sequence) {
            ManagedObject* expected = dynamic_cast<ManagedObject*>(object.get());
            EXPECT_EQ(ManagedObject::fromObject(object.get()), expected);
            EXPECT_EQ(ManagedObject::fromObject(object).get(), expected);
            EXPECT_EQ(ManagedObject::fromValue(Value(object)).get(), expected);
        }
        EXPECT_EQ(ManagedObject::fromValue(Value("text")), nullptr);
    };
    check();
    std::thread other(check);
    other.join();
    EXPECT_EQ(ManagedObject::fromObject(static_cast<Object*>(tagged.get())), static_cast<ManagedObject*>(tagged.get()));
}

TEST_F(Records, UnknownKeysRaiseAsThePlatformDoes) {
    auto item = ManagedObject::insertNewObject("Item", context);
    try {
        item->valueForKey("colour");
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.name(), kUndefinedKeyException);
        EXPECT_EQ(e.reason(), "[<ManagedObject " + addressText(item.get()) +
                                  "> valueForUndefinedKey:]: the entity Item is not key value coding-compliant for the key \"colour\".");
    }
    EXPECT_THROW(item->setValueForKey(Value(1), "colour"), Exception);
    // Key-value access through the runtime answers the entity's keys and raises for the others.
    setValueForKey(static_cast<Object&>(*item), Value("via runtime"), "name");
    EXPECT_EQ(item->valueForKey("name"), Value("via runtime"));
    EXPECT_THROW(valueForKey(static_cast<const Object&>(*item), "colour"), Exception);
    EXPECT_EQ(valueForKey(static_cast<const Object&>(*item), "self").objectAs<ManagedObject>(), item);
}

TEST_F(Records, ValuesOfTheWrongKindRaiseAndOthersAreConvertedToTheAttributesForm) {
    struct Case {
        const char* key;
        Value value;
        bool accepted;
        Value stored;  // what reads back (nil: the value itself)
        std::optional<NumberKind> kind = std::nullopt;
    };
    const Case cases[] = {
        {"name", Value("text"), true, Value()},
        {"name", Value(5), false, Value()},
        {"count", Value(7), true, Value(), NumberKind::Int32},
        {"count", Value(*Decimal::parse("12")), true, Value(12), NumberKind::Int32},
        {"count", Value(12.9), true, Value(12), NumberKind::Int32},
        {"count", Value("12"), false, Value()},
        {"small", Value(-32768), true, Value(), NumberKind::Int16},
        // Out of the type's range: whole, never wrapped; out of any 64-bit integer's: unchanged.
        {"small", Value(70000), true, Value(), NumberKind::Int64},
        {"count", Value(-2147483649.5), true, Value(std::int64_t{-2147483649}), NumberKind::Int64},
        {"big", Value(*Decimal::parse("-3.9")), true, Value(-3), NumberKind::Int64},
        {"big", Value(std::uint64_t{1} << 63), true, Value(), NumberKind::UInt64},
        {"price", Value(3), true, Value(*Decimal::parse("3"))},
        {"price", Value("3"), false, Value()},
        {"ratio", Value(2), true, Value(2.0), NumberKind::Double},
        {"weight", Value(0.5), true, Value(0.5f), NumberKind::Float},
        {"flag", Value(2), true, Value(true), NumberKind::Bool},
        {"flag", Value("YES"), false, Value()},
        {"when", Value(Date::fromSinceReferenceDate(10)), true, Value()},
        {"when", Value(10), false, Value()},
        {"blob", Value::data("ab"), true, Value()},
        {"blob", Value("ab"), false, Value()},
        {"extra", Value(Dictionary{{"a", Value(1)}}), true, Value()},
        {"name", Value::null(), false, Value()},
        {"name", Value(), true, Value()},
    };
    auto item = ManagedObject::insertNewObject("Item", context);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.key) + " = " + c.value.description());
        if (!c.accepted) {
            try {
                item->setValueForKey(c.value, c.key);
                ADD_FAILURE() << "accepted";
            } catch (const Exception& e) {
                EXPECT_EQ(e.name(), kInvalidArgumentException);
                EXPECT_NE(e.reason().find("Unacceptable type of value for attribute: property = \"" + std::string(c.key) + "\""),
                          std::string::npos);
            }
            continue;
        }
        item->setValueForKey(c.value, c.key);
        const Value expected = c.stored.isNil() ? c.value : c.stored;
        const Value read = item->valueForKey(c.key);
        EXPECT_EQ(read, expected);
        EXPECT_EQ(read.type(), expected.type());
        if (c.kind) {
            ASSERT_TRUE(read.isNumber());
            EXPECT_EQ(read.number()->kind(), *c.kind);
        }
    }
}

TEST_F(Records, ChangesAreTrackedAgainstTheSavedValues) {
    auto item = saved("Item", {{"name", Value("a")}, {"count", Value(1)}});
    EXPECT_FALSE(item->hasChanges());
    EXPECT_FALSE(item->objectID()->isTemporaryID());
    item->setValueForKey(Value("a"), "name");  // the same value is no change
    EXPECT_FALSE(item->isUpdated());
    item->setValueForKey(Value("b"), "name");
    EXPECT_TRUE(item->isUpdated());
    EXPECT_EQ(item->changedValues(), (Dictionary{{"name", Value("b")}}));
    EXPECT_EQ(item->committedValuesForKeys({"name", "count"}), (Dictionary{{"count", Value(1)}, {"name", Value("a")}}));
    item->setValueForKey(Value(), "count");
    EXPECT_EQ(item->changedValues(), (Dictionary{{"count", Value::null()}, {"name", Value("b")}}));
    EXPECT_EQ(context->updatedObjects(), (std::vector<Ref<ManagedObject>>{item}));
    ASSERT_TRUE(context->save(nullptr));
    EXPECT_FALSE(item->isUpdated());
    EXPECT_TRUE(item->changedValues().empty());
    EXPECT_EQ(item->committedValuesForKeys({"name"}), (Dictionary{{"name", Value("b")}}));
}

TEST_F(Records, FaultsLoadOnFirstAccessAndGoneRecordsAreErrors) {
    auto id = saved("Item", {{"name", Value("stored")}})->objectID();
    auto other = ManagedObjectContext::make(ManagedObjectContextConcurrencyType::Confinement);
    other->setPersistentStoreCoordinator(coordinator);
    auto fault = other->objectWithID(id);
    ASSERT_TRUE(fault);
    EXPECT_TRUE(fault->isFault());
    EXPECT_EQ(other->objectWithID(id), fault);
    EXPECT_NE(fault->description().find("data: <fault>"), std::string::npos);
    EXPECT_EQ(fault->valueForKey("name"), Value("stored"));
    EXPECT_FALSE(fault->isFault());

    // The record is deleted elsewhere: a lookup reports 133000, a fault reads nil instead of crashing.
    auto third = ManagedObjectContext::make(ManagedObjectContextConcurrencyType::Confinement);
    third->setPersistentStoreCoordinator(coordinator);
    auto laterFault = third->objectWithID(id);
    context->deleteObject(context->objectWithID(id));
    ASSERT_TRUE(context->save(nullptr));
    auto fourth = ManagedObjectContext::make(ManagedObjectContextConcurrencyType::Confinement);
    fourth->setPersistentStoreCoordinator(coordinator);
    Ref<Error> error;
    EXPECT_FALSE(fourth->existingObjectWithID(id, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), kManagedObjectReferentialIntegrityError);
    EXPECT_EQ(error->domain(), kCocoaErrorDomain);
    EXPECT_TRUE(laterFault->valueForKey("name").isNil());
    error = nullptr;
    EXPECT_FALSE(fourth->existingObjectWithID(ManagedObjectID::makeTemporary(id->entity()), &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), kManagedObjectReferentialIntegrityError);
}

TEST_F(Records, RelationshipsKeepTheirInversesAndSurviveTheStore) {
    auto owner = test::insert(context, "Owner", {{"name", Value("o")}});
    auto a = test::insert(context, "Item", {{"name", Value("a")}});
    auto b = test::insert(context, "Item", {{"name", Value("b")}});
    a->setValueForKey(Value(owner), "owner");
    owner->addObject(b, "items");
    EXPECT_EQ(b->valueForKey("owner").objectAs<ManagedObject>(), owner);
    Array items = owner->valueForKey("items").array();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].objectAs<ManagedObject>(), a);
    EXPECT_EQ(items[1].objectAs<ManagedObject>(), b);

    // Records of the wrong entity or of another context are refused.
    EXPECT_THROW(a->setValueForKey(Value(b), "owner"), Exception);
    auto elsewhere = ManagedObjectContext::make(ManagedObjectContextConcurrencyType::Confinement);
    elsewhere->setPersistentStoreCoordinator(coordinator);
    auto stranger = test::insert(elsewhere, "Owner", {});
    EXPECT_THROW(a->setValueForKey(Value(stranger), "owner"), Exception);

    ASSERT_TRUE(context->save(nullptr));
    auto reader = ManagedObjectContext::make(ManagedObjectContextConcurrencyType::Confinement);
    reader->setPersistentStoreCoordinator(coordinator);
    auto owners = fetch(reader, request("Owner"));
    ASSERT_EQ(owners.size(), 1u);
    const Value readItems = owners[0]->valueForKey("items");
    std::vector<Ref<ManagedObject>> readList;
    for (const Value& v : readItems.array()) readList.push_back(v.objectAs<ManagedObject>());
    EXPECT_EQ(test::texts(readList, "name"), (std::vector<std::string>{"a", "b"}));

    // Moving b to another owner takes it out of the first one's items.
    auto second = test::insert(reader, "Owner", {{"name", Value("p")}});
    auto readB = fetch(reader, request("Item", Predicate::format("name = %@", nullptr, "b")))[0];
    readB->setValueForKey(Value(second), "owner");
    EXPECT_EQ(owners[0]->valueForKey("items").array().size(), 1u);
    EXPECT_EQ(second->valueForKey("items").array().size(), 1u);
    // A predicate on a to-one relationship takes the record as its argument.
    auto ofSecond = fetch(reader, request("Item", Predicate::format("owner = %@", nullptr, second)));
    ASSERT_EQ(ofSecond.size(), 1u);
    EXPECT_EQ(ofSecond[0], readB);
    ASSERT_TRUE(reader->save(nullptr));
}

TEST_F(Records, DeletingNullifiesOrCascadesByTheRule) {
    auto owner = test::insert(context, "Owner", {{"name", Value("o")}});
    auto a = test::insert(context, "Item", {{"name", Value("a")}});
    a->setValueForKey(Value(owner), "owner");
    ASSERT_TRUE(context->save(nullptr));
    context->deleteObject(owner);
    EXPECT_TRUE(a->valueForKey("owner").isNil());
    EXPECT_TRUE(a->isUpdated());
    ASSERT_TRUE(context->save(nullptr));
    EXPECT_EQ(fetch(context, request("Item")).size(), 1u);

    auto model = test::makeItemModel();
    model->entityNamed("Owner")->relationshipNamed("items")->setDeleteRule(DeleteRule::Cascade);
    auto c = test::openCoordinator(model, "");
    auto cascading = ManagedObjectContext::make(ManagedObjectContextConcurrencyType::Confinement);
    cascading->setPersistentStoreCoordinator(c);
    auto o = test::insert(cascading, "Owner", {});
    auto i = test::insert(cascading, "Item", {});
    o->addObject(i, "items");
    ASSERT_TRUE(cascading->save(nullptr));
    cascading->deleteObject(o);
    EXPECT_TRUE(i->isDeleted());
    ASSERT_TRUE(cascading->save(nullptr));
    EXPECT_TRUE(fetch(cascading, request("Item")).empty());
}

TEST_F(Records, DescriptionShowsEntityIDAndValues) {
    auto item = saved("Item", {{"name", Value("x y")}, {"count", Value(3)}});
    const std::string text = item->description();
    EXPECT_EQ(text.rfind("<ManagedObject: " + addressText(item.get()) + "> (entity: Item; id: " + item->objectID()->description() +
                             "; data: {\n",
                         0),
              0u);
    EXPECT_NE(text.find("    count = 3;\n"), std::string::npos);
    EXPECT_NE(text.find("    name = \"x y\";\n"), std::string::npos);
    EXPECT_NE(text.find("    blob = nil;\n"), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 2), "})");
}

}  // namespace
}  // namespace lv
