// The model and record classes of the import tests: people with a to-one employer, unordered pets and
// ordered visits, steered by the user-info keys of the import.
#pragma once

#include <string>
#include <vector>

#include "store/import.h"
#include "store_test_support.h"

namespace lv::test {

inline const char* kImportModelText = R"({"entities": [
 {"name": "Person", "className": "ImportPerson", "attributes": [
   {"name": "personID", "type": "integer64"},
   {"name": "name", "type": "string", "userInfo": {"mappedKeyName": "full.name", "mappedKeyName.1": "nick"}},
   {"name": "alias", "type": "string", "userInfo": {"mappedKeyName": "a", "mappedKeyName.2": "c"}},
   {"name": "age", "type": "integer16"},
   {"name": "score", "type": "double"},
   {"name": "active", "type": "boolean"},
   {"name": "born", "type": "date"},
   {"name": "lastSeen", "type": "date", "userInfo": {"dateFormat": "UnixTime"}},
   {"name": "signup", "type": "date", "userInfo": {"dateFormat": "dd/MM/yyyy HH:mm"}},
   {"name": "note", "type": "string", "defaultValue": "none", "userInfo": {"useDefaultValueWhenNotPresent": "YES"}},
   {"name": "photo", "type": "binary"},
   {"name": "shade", "type": "transformable", "userInfo": {"attributeValueClassName": "UIColor"}},
   {"name": "level", "type": "integer32", "userInfo": {"attributeValueClassName": "NSString"}}],
  "relationships": [
   {"name": "employer", "destination": "Company", "inverse": "staff", "userInfo": {"relatedByAttribute": "code"}},
   {"name": "pets", "destination": "Pet", "inverse": "owner", "toMany": true},
   {"name": "visits", "destination": "Place", "toMany": true, "ordered": true},
   {"name": "friends", "destination": "Pet", "toMany": true, "userInfo": {"mappedKeyName": "info.pets"}}]},
 {"name": "Company", "userInfo": {"relatedByAttribute": "code"}, "attributes": [
   {"name": "code", "type": "string"}, {"name": "title", "type": "string"}],
  "relationships": [{"name": "staff", "destination": "Person", "inverse": "employer", "toMany": true}]},
 {"name": "Pet", "attributes": [{"name": "petID", "type": "integer64"}, {"name": "name", "type": "string"}],
  "relationships": [{"name": "owner", "destination": "Person", "inverse": "pets"}]},
 {"name": "Place", "attributes": [{"name": "placeID", "type": "integer64"}, {"name": "label", "type": "string"}]},
 {"name": "Tag", "userInfo": {"relatedByAttribute": "code"},
  "attributes": [{"name": "code", "type": "string"}, {"name": "label", "type": "string"}],
  "relationships": [{"name": "parent", "destination": "Tag", "userInfo": {"relatedByAttribute": "code"}}]},
 {"name": "Unit", "attributes": [{"name": "unitID", "type": "integer64"}, {"name": "label", "type": "string"}]},
 {"name": "Reading", "userInfo": {"relatedByAttribute": "value"},
  "attributes": [{"name": "value", "type": "double"}, {"name": "label", "type": "string"}]},
 {"name": "Label", "className": "ImportLabel", "userInfo": {"relatedByAttribute": "code"},
  "attributes": [{"name": "code", "type": "string"}]},
 {"name": "Gadget", "className": "ImportGadget", "userInfo": {"relatedByAttribute": "code"},
  "attributes": [{"name": "code", "type": "string"}, {"name": "decided", "type": "string"},
   {"name": "acted", "type": "string"}, {"name": "odd", "type": "string"}, {"name": "later", "type": "string"},
   {"name": "entries", "type": "integer64", "userInfo": {"mappedKeyName": "@count"}},
   {"name": "deep", "type": "string", "userInfo": {"mappedKeyName": "a.b"}},
   {"name": "made", "type": "date", "userInfo": {"dateFormat": "yyyy-M-d HH:mm:ss"}}]}
]})";

// What the hooks saw, in order (the tests run the imports on the main thread).
struct HookLog {
    std::vector<std::string> calls;
    Value petsData;      // shouldImportPets:
    Value employerData;  // importEmployer:
    bool raiseOnEmployer = false;
};
inline HookLog& hookLog() {
    static HookLog log;
    return log;
}

// Refuses data with "skip"; records the relationship hooks' data; attaches pets through its own
// add message.
class ImportPerson : public Record<ImportPerson> {
public:
    static std::string entityName() { return "Person"; }
    static const ClassInfo* runtimeClass() {
        static const ClassInfo* cls = [] {
            RecordClassDef<ImportPerson> def("ImportPerson");
            def.attribute("name", "String").attribute("personID", "Number");
            def.classDef()
                .instanceHook<bool(Object&, const Value&)>("shouldImport:",
                                                           [](Object&, const Value& data) {
                                                               hookLog().calls.push_back("shouldImport:");
                                                               return !data.isDictionary() || !data.dictionary().contains("skip");
                                                           })
                .instanceHook<void(Object&, const Value&)>("willImport:", [](Object&, const Value&) { hookLog().calls.push_back("willImport:"); })
                .instanceHook<void(Object&, const Value&)>("didImport:", [](Object&, const Value&) { hookLog().calls.push_back("didImport:"); })
                .instanceHook<bool(Object&, const Value&)>("shouldImportPets:",
                                                           [](Object&, const Value& data) {
                                                               hookLog().petsData = data;
                                                               return true;
                                                           })
                .instanceHook<bool(Object&, const Value&)>("importEmployer:",
                                                           [](Object&, const Value& data) {
                                                               hookLog().employerData = data;
                                                               return data.dictionary().contains("employerHandled");
                                                           })
                .instanceHook<void(Object&, const Value&)>("addPetsObject:",
                                                           [](Object& self, const Value& pet) {
                                                               hookLog().calls.push_back("addPetsObject:");
                                                               dynamic_cast<ManagedObject&>(self).addObject(pet.objectAs<ManagedObject>(), "pets");
                                                           })
                .instanceHook<void(Object&, const Value&)>("setEmployer:", [](Object& self, const Value& company) {
                    if (hookLog().raiseOnEmployer) Exception::raise(std::string(kInvalidArgumentException), "no employers today");
                    dynamic_cast<ManagedObject&>(self).setValueForKey(company, "employer");
                });
            return def.registerClass();
        }();
        return cls;
    }
};

// Labels whose import may rename another label: {"rename": old code, "to": new code}.
class ImportLabel : public Record<ImportLabel> {
public:
    static std::string entityName() { return "Label"; }
    static const ClassInfo* runtimeClass() {
        static const ClassInfo* cls = [] {
            RecordClassDef<ImportLabel> def("ImportLabel");
            def.attribute("code", "String");
            def.classDef().instanceHook<void(Object&, const Value&)>("didImport:", [](Object& self, const Value& data) {
                const Value& from = data.dictionary().get("rename");
                if (from.isNil()) return;
                auto context = dynamic_cast<ManagedObject&>(self).managedObjectContext();
                if (auto other = RecordEntity("Label").RS_findFirstByAttribute("code", from, context)) {
                    other->setValueForKey(data.dictionary().get("to"), "code");
                }
            });
            return def.registerClass();
        }();
        return cls;
    }
};

// Attribute import hooks of both signatures and one of neither: "importDecided:" takes values that
// start with "hook" (stored with " (hook)"), "importActed:" takes every value (stored with " (acted)"),
// "importOdd:" answers a number and is no import hook.
class ImportGadget : public Record<ImportGadget> {
public:
    static std::string entityName() { return "Gadget"; }
    static const ClassInfo* runtimeClass() {
        static const ClassInfo* cls = [] {
            RecordClassDef<ImportGadget> def("ImportGadget");
            def.attribute("code", "String");
            def.classDef()
                .instanceHook<bool(Object&, const Value&)>("importDecided:",
                                                           [](Object& self, const Value& value) {
                                                               if (!value.isString() || !value.string().starts_with("hook")) return false;
                                                               dynamic_cast<ManagedObject&>(self).setValueForKey(Value(value.string() + " (hook)"), "decided");
                                                               return true;
                                                           })
                .instanceHook<void(Object&, const Value&)>("importActed:",
                                                           [](Object& self, const Value& value) {
                                                               dynamic_cast<ManagedObject&>(self).setValueForKey(Value(value.stringValue() + " (acted)"), "acted");
                                                           })
                .instanceHook<int(Object&, const Value&)>("importOdd:", [](Object&, const Value&) { return 1; });
            return def.registerClass();
        }();
        return cls;
    }
};

class ImportTest : public StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        ImportPerson::runtimeClass();
        ImportLabel::runtimeClass();
        ImportGadget::runtimeClass();
        hookLog() = HookLog();
        Ref<Error> error;
        Ref<ManagedObjectModel> model = ManagedObjectModel::modelFromText(kImportModelText, &error);
        ASSERT_TRUE(model) << describe(error);
        RS_setDefaultManagedObjectModel(model);
        RecordStack::setupCoreDataStackWithStoreNamed("import.sqlite");
        context = RS_defaultContext();
        ASSERT_TRUE(context);
    }
    std::string importStorePath() const { return RS_urlForStoreName("import.sqlite").string(); }
    Ref<ImportPerson> import(const Value& data) { return ImportPerson::RS_importFromObject(data, context); }
    static Value get(const Ref<ManagedObject>& record, const std::string& key) { return record->valueForKey(key); }
    std::size_t count(const char* entity) { return RecordEntity(entity).RS_countOfEntitiesWithContext(context); }
    void save() { RS_saveToPersistentStoreAndWait(context); }
    Ref<AttributeDescription> attribute(const char* name) {
        return RS_attributeDescriptionForName(context->persistentStoreCoordinator()->managedObjectModel()->entityNamed("Person"), name);
    }

    Ref<ManagedObjectContext> context;
};

}  // namespace lv::test
