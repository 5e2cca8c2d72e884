#include "sample_models.h"

#include "platform/base/format.h"

namespace lv::test {

// TestURL

TestURL::TestURL(std::string text) : absoluteString_(std::move(text)) {
    runtimeClass();
}

const ClassInfo* TestURL::runtimeClass() {
    static const ClassInfo* cls = ClassDef<TestURL>("URL")
                                      .property("absoluteString", &TestURL::absoluteString_, "String", "R,C,N")
                                      .classMethod("URLWithString:", &TestURL::URLWithString)
                                      .registerClass();
    return cls;
}

Value TestURL::URLWithString(const std::string& text) {
    if (text.find("://") == std::string::npos || text.find(' ') != std::string::npos) return Value();
    return Value(makeRef<TestURL>(text));
}

bool TestURL::isEqual(const Object& other) const {
    const auto* url = dynamic_cast<const TestURL*>(&other);
    return url && url->absoluteString_ == absoluteString_;
}

// SampleItem

std::atomic<int> SampleItem::createdTransformerCalls{0};

const ClassInfo* SampleItem::runtimeClass() {
    TestURL::runtimeClass();
    static const ClassInfo* cls = defineModelClass<SampleItem>("SampleItem")
                                      .protocol(std::string(kJMJSONSerializingProtocol))
                                      .property("title", &SampleItem::title_, "String", "&,N")
                                      .property("count", &SampleItem::count_, "Number", "&,N")
                                      .property("userName", &SampleItem::userName_, "String", "C,N")
                                      .property("created", &SampleItem::created_, "Date", "&,N")
                                      .property("link", &SampleItem::link_, "URL", "&,N")
                                      .property("extra", &SampleItem::extra_, "", "&,N")
                                      .property("flag", &SampleItem::flag_, "N")
                                      .property("rank", &SampleItem::rank_, "N")
                                      .classMethod("JSONKeyPathsByPropertyKey", &SampleItem::JSONKeyPathsByPropertyKey)
                                      .classMethod("createdJSONTransformer", &SampleItem::createdJSONTransformer)
                                      .registerClass();
    return cls;
}

Dictionary SampleItem::JSONKeyPathsByPropertyKey() {
    return Dictionary{{"title", "title"}, {"count", "count"}, {"userName", "user.name"}, {"created", "created"},
                      {"link", "link"},   {"extra", "extra"}, {"flag", "flag"},          {"rank", "rank"}};
}

Ref<JMReversibleValueTransformer> SampleItem::createdJSONTransformer() {
    ++createdTransformerCalls;
    return JMValueTransformer::transformerUsingForwardBlock(
        [](const Value& value, bool*, Ref<Error>*) -> Value {
            if (!value.isString()) return Value();
            return Value(Date::fromSince1970(readDouble(value.string())));
        },
        [](const Value& value, bool*, Ref<Error>*) -> Value {
            if (!value.isDate()) return Value();
            return Value(format("%.0f", value.date()->since1970()));
        });
}

// Storage classification

const ClassInfo* StoredModel::runtimeClass() {
    static const ClassInfo* cls =
        defineModelClass<StoredModel>("StoredModel")
            .property("title", &StoredModel::title_, "String", "C,N")
            .property("name", &StoredModel::name_, "String", "R,C,N")
            .property("computed", "@\"String\"", "R,N", [](const StoredModel& m) { return Value(m.title_.stringValue() + "!"); })
            .property("description", "@\"String\"", "R,C", [](const StoredModel& m) { return Value(m.description()); })
            .registerClass();
    return cls;
}

const ClassInfo* StoredSubModel::runtimeClass() {
    static const ClassInfo* cls =
        defineModelClass<StoredSubModel, StoredModel>("StoredSubModel")
            .property("title", "@\"String\"", "R,C,N", [](const StoredSubModel& m) { return m.title_; })
            .property("dynamicRW", "@\"String\"", "D,N", nullptr)
            .property("dynamicRO", "@\"String\"", "R,D,N", nullptr)
            .property("noAccess", "@\"String\"", "N", nullptr)
            .registerClass();
    return cls;
}

const ClassInfo* TransitoryModel::runtimeClass() {
    static const ClassInfo* cls =
        defineModelClass<TransitoryModel>("TransitoryModel")
            .property("title", &TransitoryModel::title_, "String", "C,N")
            .property("scratch", &TransitoryModel::scratch_, "String", "C,N")
            .classMethod("storageBehaviorForPropertyWithKey:", &TransitoryModel::storageBehaviorForPropertyWithKey)
            .registerClass();
    return cls;
}

JMPropertyStorage TransitoryModel::storageBehaviorForPropertyWithKey(const ClassInfo* cls, const std::string& key) {
    if (key == "scratch") return JMPropertyStorageTransitory;
    return JMModel::defaultStorageBehaviorForPropertyWithKey(cls, key);
}

// Hooks

const ClassInfo* HookedModel::runtimeClass() {
    static const ClassInfo* cls = defineModelClass<HookedModel>("HookedModel")
                                      .property("title", &HookedModel::title_, "String", "C,N")
                                      .property("note", &HookedModel::note_, "String", "C,N")
                                      .property("count", &HookedModel::count_, "N")
                                      .instanceMethod("validateTitle:error:", &HookedModel::validateTitle)
                                      .instanceMethod("mergeTitleFromModel:", &HookedModel::mergeTitleFromModel)
                                      .registerClass();
    return cls;
}

bool HookedModel::validateTitle(Value& value, Ref<Error>* error) {
    if (value == Value("bad")) value = Value("good");
    if (value == Value("refuse")) {
        setError(error, Error::make("Test", 7));
        return false;
    }
    return true;
}

void HookedModel::mergeTitleFromModel(const Ref<JMModel>& model) {
    ++mergeCalls;
    mergeSawNil = !model;
}

// Equality

const ClassInfo* PairModel::runtimeClass() {
    static const ClassInfo* cls = defineModelClass<PairModel>("PairModel")
                                      .property("first", &PairModel::first_, "", "&,N")
                                      .property("second", &PairModel::second_, "", "&,N")
                                      .registerClass();
    return cls;
}

const ClassInfo* OtherPairModel::runtimeClass() {
    static const ClassInfo* cls = defineModelClass<OtherPairModel>("OtherPairModel")
                                      .property("first", &OtherPairModel::first_, "", "&,N")
                                      .property("second", &OtherPairModel::second_, "", "&,N")
                                      .registerClass();
    return cls;
}

const ClassInfo* PairSubModel::runtimeClass() {
    static const ClassInfo* cls = defineModelClass<PairSubModel, PairModel>("PairSubModel").registerClass();
    return cls;
}

const ClassInfo* EmptyModel::runtimeClass() {
    static const ClassInfo* cls = defineModelClass<EmptyModel>("EmptyModel").registerClass();
    return cls;
}

const ClassInfo* AccentModel::runtimeClass() {
    static const ClassInfo* cls = defineModelClass<AccentModel>("AccentModel")
                                      .property("\xC3\xA9lan", &AccentModel::elan_, "String", "C,N")
                                      .instanceMethod("merge\xC3\x89lanFromModel:", &AccentModel::mergeElanFromModel)
                                      .registerClass();
    return cls;
}

void AccentModel::mergeElanFromModel(const Ref<JMModel>&) {
    merged = true;
}

// Class selection

const ClassInfo* Shape::runtimeClass() {
    static const ClassInfo* cls =
        defineModelClass<Shape>("Shape")
            .protocol(std::string(kJMJSONSerializingProtocol))
            .property("kind", &Shape::kind_, "String", "C,N")
            .classMethod("JSONKeyPathsByPropertyKey", &Shape::JSONKeyPathsByPropertyKey)
            .classMethod("classForParsingJSONDictionary:", &Shape::classForParsingJSONDictionary)
            .registerClass();
    return cls;
}

Dictionary Shape::JSONKeyPathsByPropertyKey() {
    return Dictionary{{"kind", "kind"}};
}

const ClassInfo* Shape::classForParsingJSONDictionary(const Dictionary& json) {
    const Value& kind = json.get("kind");
    if (kind == Value("circle")) return Circle::runtimeClass();
    if (kind == Value("none")) return nullptr;
    return Shape::runtimeClass();
}

const ClassInfo* Circle::runtimeClass() {
    static const ClassInfo* cls = defineModelClass<Circle, Shape>("Circle")
                                      .property("radius", &Circle::radius_, "Number", "&,N")
                                      .classMethod("JSONKeyPathsByPropertyKey", &Circle::JSONKeyPathsByPropertyKey)
                                      .registerClass();
    return cls;
}

Dictionary Circle::JSONKeyPathsByPropertyKey() {
    return Dictionary{{"kind", "kind"}, {"radius", "r"}};
}

// Array key paths

const ClassInfo* Location::runtimeClass() {
    static const ClassInfo* cls = defineModelClass<Location>("Location")
                                      .protocol(std::string(kJMJSONSerializingProtocol))
                                      .property("coords", &Location::coords_, "Dictionary", "C,N")
                                      .property("label", &Location::label_, "String", "C,N")
                                      .classMethod("JSONKeyPathsByPropertyKey", &Location::JSONKeyPathsByPropertyKey)
                                      .registerClass();
    return cls;
}

Dictionary Location::JSONKeyPathsByPropertyKey() {
    return Dictionary{{"coords", Value::array({"lat", "pos.lng"})}, {"label", "info.label"}};
}

// Refused maps

const ClassInfo* BadKeyModel::runtimeClass() {
    static const ClassInfo* cls = defineModelClass<BadKeyModel>("BadKeyModel")
                                      .protocol(std::string(kJMJSONSerializingProtocol))
                                      .property("title", &BadKeyModel::title_, "String", "C,N")
                                      .classMethod("JSONKeyPathsByPropertyKey", &BadKeyModel::JSONKeyPathsByPropertyKey)
                                      .registerClass();
    return cls;
}

Dictionary BadKeyModel::JSONKeyPathsByPropertyKey() {
    return Dictionary{{"title", "title"}, {"missing", "missing"}};
}

const ClassInfo* BadPathModel::runtimeClass() {
    static const ClassInfo* cls = defineModelClass<BadPathModel>("BadPathModel")
                                      .protocol(std::string(kJMJSONSerializingProtocol))
                                      .property("title", &BadPathModel::title_, "String", "C,N")
                                      .classMethod("JSONKeyPathsByPropertyKey", &BadPathModel::JSONKeyPathsByPropertyKey)
                                      .registerClass();
    return cls;
}

Dictionary BadPathModel::JSONKeyPathsByPropertyKey() {
    return Dictionary{{"title", 3}};
}

const ClassInfo* RaisingMapModel::runtimeClass() {
    static const ClassInfo* cls = defineModelClass<RaisingMapModel>("RaisingMapModel")
                                      .protocol(std::string(kJMJSONSerializingProtocol))
                                      .property("title", &RaisingMapModel::title_, "String", "C,N")
                                      .classMethod("JSONKeyPathsByPropertyKey", &RaisingMapModel::JSONKeyPathsByPropertyKey)
                                      .registerClass();
    return cls;
}

Dictionary RaisingMapModel::JSONKeyPathsByPropertyKey() {
    Exception::raise(std::string(kInternalInconsistencyException), "no map today");
}

// Tricky

std::atomic<int> Tricky::nullableSawNil{0};

const ClassInfo* Tricky::runtimeClass() {
    static const ClassInfo* cls = defineModelClass<Tricky>("Tricky")
                                      .protocol(std::string(kJMJSONSerializingProtocol))
                                      .property("name", &Tricky::name_, "String", "C,N")
                                      .property("boom", &Tricky::boom_, "String", "C,N")
                                      .property("nullable", &Tricky::nullable_, "String", "C,N")
                                      .property("forward", &Tricky::forward_, "String", "C,N")
                                      .property("dropped", &Tricky::dropped_, "String", "C,N")
                                      .classMethod("JSONKeyPathsByPropertyKey", &Tricky::JSONKeyPathsByPropertyKey)
                                      .classMethod("JSONTransformerForKey:", &Tricky::JSONTransformerForKey)
                                      .registerClass();
    return cls;
}

Dictionary Tricky::JSONKeyPathsByPropertyKey() {
    return Dictionary{{"name", "a.b"}, {"boom", "boom"}, {"nullable", "nullable"}, {"forward", "f.x"}, {"dropped", "d.y"}};
}

Ref<ValueTransformer> Tricky::JSONTransformerForKey(const std::string& key) {
    if (key == "boom") {
        return JMValueTransformer::transformerUsingForwardBlock([](const Value& value, bool*, Ref<Error>*) -> Value {
            if (value == Value("explode")) Exception::raise(std::string(kInvalidArgumentException), "boom went the value");
            return value;
        });
    }
    if (key == "nullable") {
        return JMValueTransformer::transformerUsingForwardBlock([](const Value& value, bool*, Ref<Error>*) -> Value {
            if (value.isNil()) ++nullableSawNil;
            return value;
        });
    }
    if (key == "forward") {
        return JMValueTransformer::transformerUsingForwardBlock(
            [](const Value& value, bool*, Ref<Error>*) { return value; });
    }
    if (key == "dropped") {
        return JMValueTransformer::transformerUsingForwardBlock([](const Value& value, bool*, Ref<Error>*) { return value; },
                                                                [](const Value&, bool*, Ref<Error>*) { return Value(); });
    }
    return nullptr;  // "name": no transformer at all
}

// Conflict

const ClassInfo* Conflict::runtimeClass() {
    static const ClassInfo* cls = defineModelClass<Conflict>("Conflict")
                                      .protocol(std::string(kJMJSONSerializingProtocol))
                                      .property("x", &Conflict::x_, "", "&,N")
                                      .property("y", &Conflict::y_, "", "&,N")
                                      .classMethod("JSONKeyPathsByPropertyKey", &Conflict::JSONKeyPathsByPropertyKey)
                                      .registerClass();
    return cls;
}

Dictionary Conflict::JSONKeyPathsByPropertyKey() {
    return Dictionary{{"x", "a"}, {"y", "a.b"}};
}

// Nested models

const ClassInfo* Pet::runtimeClass() {
    static const ClassInfo* cls = defineModelClass<Pet>("Pet")
                                      .protocol(std::string(kJMJSONSerializingProtocol))
                                      .property("name", &Pet::name_, "String", "C,N")
                                      .classMethod("JSONKeyPathsByPropertyKey", &Pet::JSONKeyPathsByPropertyKey)
                                      .registerClass();
    return cls;
}

Dictionary Pet::JSONKeyPathsByPropertyKey() {
    return Dictionary{{"name", "name"}};
}

const ClassInfo* Owner::runtimeClass() {
    Pet::runtimeClass();
    static const ClassInfo* cls = defineModelClass<Owner>("Owner")
                                      .protocol(std::string(kJMJSONSerializingProtocol))
                                      .property("pet", &Owner::pet_, "Pet", "&,N")
                                      .property("pets", &Owner::pets_, "Array", "C,N")
                                      .classMethod("JSONKeyPathsByPropertyKey", &Owner::JSONKeyPathsByPropertyKey)
                                      .classMethod("petsJSONTransformer", &Owner::petsJSONTransformer)
                                      .registerClass();
    return cls;
}

Dictionary Owner::JSONKeyPathsByPropertyKey() {
    return Dictionary{{"pet", "pet"}, {"pets", "pets"}};
}

Ref<ValueTransformer> Owner::petsJSONTransformer() {
    return JMJSONAdapter::arrayTransformerWithModelClass(Pet::runtimeClass());
}

}  // namespace lv::test

namespace {
// The application registers the named transformers at start-up; so does this test program.
[[maybe_unused]] const bool kNamedTransformersRegistered = (lv::jm_registerNamedTransformers(), true);
}  // namespace
