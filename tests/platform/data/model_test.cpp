#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "data_test_support.h"
#include "platform/data/errors.h"
#include "platform/data/model.h"
#include "platform/storage/bundle.h"

namespace lv {
namespace {

using test::TempDir;

TEST(ModelFile, TheBundleModelLoadsFromItsDirectoryAndTheMainBundleAlike) {
    auto fromDirectory = ManagedObjectModel::mergedModelFromDirectories({test::bundleDirectory()});
    ASSERT_TRUE(fromDirectory);
    auto fromBundle = ManagedObjectModel::mergedModelFromBundles();
    ASSERT_TRUE(fromBundle);
    EXPECT_EQ(fromBundle->entityVersionHashesByName(), fromDirectory->entityVersionHashesByName());
    EXPECT_EQ(fromBundle->entities().size(), 7u);
}

TEST(ModelFile, TextRoundTripKeepsEverythingTheStoreDependsOn) {
    auto model = test::makeItemModel();
    model->entityNamed("Item")->attributeNamed("count")->setDefaultValue(Value(7));
    model->entityNamed("Item")->attributeNamed("price")->setDefaultValue(Value(*Decimal::parse("19.99")));
    model->entityNamed("Item")->setUserInfo(Dictionary{{"relatedByAttribute", Value("name")}});
    Ref<Error> error;
    auto back = ManagedObjectModel::modelFromText(model->textRepresentation(), &error);
    ASSERT_TRUE(back) << error->description();
    EXPECT_EQ(back->entityVersionHashesByName(), model->entityVersionHashesByName());
    auto item = back->entityNamed("Item");
    EXPECT_EQ(item->attributeNamed("count")->defaultValue(), Value(7));
    EXPECT_EQ(item->attributeNamed("price")->defaultValue().decimal()->stringValue(), "19.99");
    EXPECT_EQ(item->userInfo().get("relatedByAttribute"), Value("name"));
    EXPECT_EQ(item->relationshipNamed("owner")->destinationEntity(), back->entityNamed("Owner"));
    EXPECT_EQ(item->relationshipNamed("owner")->inverseRelationship(), back->entityNamed("Owner")->relationshipNamed("items"));
    EXPECT_TRUE(back->entityNamed("Owner")->relationshipNamed("items")->isOrdered());
    EXPECT_EQ(back->textRepresentation(), model->textRepresentation());
}

TEST(ModelFile, BadFilesAreErrors) {
    struct Case {
        const char* text;
    };
    const Case cases[] = {
        {"not json"},
        {"[]"},
        {R"({"entities": [{"attributes": []}]})"},
        {R"({"entities": [{"name": "A", "attributes": [{"name": "x", "type": "colour"}]}]})"},
        {R"({"entities": [{"name": "A"}, {"name": "A"}]})"},
        {R"({"entities": [{"name": "A", "relationships": [{"name": "b", "destination": "Missing"}]}]})"},
        {R"({"entities": [{"name": "A", "attributes": [{"name": "_pk", "type": "string"}]}]})"},
    };
    for (const auto& c : cases) {
        Ref<Error> error;
        EXPECT_FALSE(ManagedObjectModel::modelFromText(c.text, &error)) << c.text;
        ASSERT_TRUE(error) << c.text;
        EXPECT_EQ(error->domain(), kCocoaErrorDomain);
    }
    Ref<Error> error;
    EXPECT_FALSE(ManagedObjectModel::modelWithContentsOfFile("/nonexistent/model.lvmodel", &error));
    EXPECT_TRUE(error);
    // A FIFO (a read would wait for a writer for ever) or an endless device is no model file.
    TempDir dir;
    ASSERT_EQ(::mkfifo(dir.file("fifo.lvmodel").c_str(), 0600), 0);
    ASSERT_EQ(::symlink("/dev/zero", dir.file("zero.lvmodel").c_str()), 0);
    for (const char* name : {"fifo.lvmodel", "zero.lvmodel"}) {
        error = nullptr;
        EXPECT_FALSE(ManagedObjectModel::modelWithContentsOfFile(dir.file(name), &error)) << name;
        EXPECT_TRUE(error) << name;
    }
}

TEST(ModelMerge, DuplicateEntityNamesGiveNoModel) {
    TempDir dir;
    auto write = [&](const std::string& name, const std::string& text) {
        std::ofstream(dir.file(name)) << text;
    };
    write("a.lvmodel", R"({"entities": [{"name": "A", "attributes": [{"name": "x", "type": "string"}]}]})");
    write("b.lvmodel", R"({"entities": [{"name": "B", "attributes": []}]})");
    write("ignored.txt", "not a model");
    auto merged = ManagedObjectModel::mergedModelFromDirectories({dir.path()});
    ASSERT_TRUE(merged);
    EXPECT_EQ(merged->entities().size(), 2u);
    EXPECT_TRUE(merged->entityNamed("A")->attributeNamed("x"));
    write("c.lvmodel", R"({"entities": [{"name": "A", "attributes": []}]})");
    EXPECT_FALSE(ManagedObjectModel::mergedModelFromDirectories({dir.path()}));
    EXPECT_TRUE(ManagedObjectModel::mergedModelFromDirectories({dir.path() / "missing"}));  // no files: empty model
}

TEST(VersionHash, FollowsTheStoredShapeOnly) {
    auto base = [] {
        auto e = EntityDescription::make("E");
        e->addAttribute(AttributeDescription::make("a", AttributeType::String));
        e->addAttribute(AttributeDescription::make("b", AttributeType::Integer32));
        return e;
    };
    const Bytes hash = base()->versionHash();
    EXPECT_EQ(hash.size(), 32u);
    EXPECT_EQ(base()->versionHash(), hash);

    auto reordered = EntityDescription::make("E");
    reordered->addAttribute(AttributeDescription::make("b", AttributeType::Integer32));
    reordered->addAttribute(AttributeDescription::make("a", AttributeType::String));
    EXPECT_EQ(reordered->versionHash(), hash);

    auto withUserInfo = base();
    withUserInfo->setUserInfo(Dictionary{{"k", Value("v")}});
    withUserInfo->attributeNamed("a")->setDefaultValue(Value("x"));
    EXPECT_EQ(withUserInfo->versionHash(), hash);

    auto retyped = base();
    retyped->attributeNamed("b")->setAttributeType(AttributeType::Integer64);
    EXPECT_NE(retyped->versionHash(), hash);
    auto added = base();
    added->addAttribute(AttributeDescription::make("c", AttributeType::Date));
    EXPECT_NE(added->versionHash(), hash);
    auto mandatory = base();
    mandatory->attributeNamed("a")->setOptional(false);
    EXPECT_NE(mandatory->versionHash(), hash);
    auto renamed = base();
    renamed->setName("F");
    EXPECT_NE(renamed->versionHash(), hash);
}

}  // namespace
}  // namespace lv
