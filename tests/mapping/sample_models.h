// Small model classes for the mapping tests, each registered with the runtime from its runtimeClass().
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "mapping/json_adapter.h"
#include "mapping/model.h"
#include "mapping/value_transformer.h"

namespace lv::test {

// Stands for the URL class of the URL layer: "URL" with URLWithString: and absoluteString. Text without
// "://" or with a blank is malformed.
class TestURL : public Object {
public:
    explicit TestURL(std::string text);
    static const ClassInfo* runtimeClass();
    static Value URLWithString(const std::string& text);
    std::string description() const override { return absoluteString_.string(); }
    bool isEqual(const Object& other) const override;
    Value absoluteString_;
};

// A content-like item: one property of each kind the adapter discovers transformers for.
class SampleItem : public JMModel {
public:
    SampleItem() { runtimeClass(); }
    static const ClassInfo* runtimeClass();
    static Dictionary JSONKeyPathsByPropertyKey();
    // Seconds since 1970 as text <-> date.
    static Ref<JMReversibleValueTransformer> createdJSONTransformer();
    static std::atomic<int> createdTransformerCalls;

    Value title_;     // @"String"
    Value count_;     // @"Number"
    Value userName_;  // @"String", key path user.name
    Value created_;   // @"Date", through createdJSONTransformer
    Value link_;      // @"URL"
    Value extra_;     // untyped
    bool flag_ = false;
    std::int64_t rank_ = 0;
};

// Storage classification cases.
class StoredModel : public JMModel {
public:
    StoredModel() { runtimeClass(); }
    static const ClassInfo* runtimeClass();
    Value title_;   // read-write, stored
    Value name_;    // read-only, stored (instance variable)
    // "computed": read-only getter without instance variable → not a key.
    // "description": redeclared read-only without instance variable → JMModel's answer, none.
};

class StoredSubModel : public StoredModel {
public:
    StoredSubModel() { runtimeClass(); }
    static const ClassInfo* runtimeClass();
    // "title" redeclared read-only without instance variable → the superclass's answer (permanent);
    // "dynamicRW" dynamic read-write without accessors → permanent; "dynamicRO" dynamic read-only → none
    // (no superclass declares it); "noAccess": neither accessors nor instance variable → none.
};

// A model that marks one key transitory through the storage hook.
class TransitoryModel : public JMModel {
public:
    TransitoryModel() { runtimeClass(); }
    static const ClassInfo* runtimeClass();
    static JMPropertyStorage storageBehaviorForPropertyWithKey(const ClassInfo* cls, const std::string& key);
    Value title_;
    Value scratch_;  // transitory
};

// Validation and merge hooks on "title"; "note" has none.
class HookedModel : public JMModel {
public:
    HookedModel() { runtimeClass(); }
    static const ClassInfo* runtimeClass();
    // "bad" becomes "good"; "refuse" is refused with an error of domain "Test" code 7.
    bool validateTitle(Value& value, Ref<Error>* error);
    void mergeTitleFromModel(const Ref<JMModel>& model);
    Value title_;
    Value note_;
    std::int64_t count_ = 0;
    int mergeCalls = 0;
    bool mergeSawNil = false;
};

// Equality: two classes with the same property, a subclass, and a class without permanent keys.
class PairModel : public JMModel {
public:
    PairModel() { runtimeClass(); }
    static const ClassInfo* runtimeClass();
    Value first_;
    Value second_;
};
class OtherPairModel : public JMModel {
public:
    OtherPairModel() { runtimeClass(); }
    static const ClassInfo* runtimeClass();
    Value first_;
    Value second_;
};
class PairSubModel : public PairModel {
public:
    PairSubModel() { runtimeClass(); }
    static const ClassInfo* runtimeClass();
};
class EmptyModel : public JMModel {
public:
    EmptyModel() { runtimeClass(); }
    static const ClassInfo* runtimeClass();
};

// A model with a key whose first character is not ASCII ("élan") and its merge hook "mergeÉlanFromModel:".
class AccentModel : public JMModel {
public:
    AccentModel() { runtimeClass(); }
    static const ClassInfo* runtimeClass();
    void mergeElanFromModel(const Ref<JMModel>& model);
    Value elan_;
    bool merged = false;
};

// Class selection: "kind" = "circle" parses as Circle, "none" finds no class.
class Shape : public JMModel {
public:
    Shape() { runtimeClass(); }
    static const ClassInfo* runtimeClass();
    static Dictionary JSONKeyPathsByPropertyKey();
    static const ClassInfo* classForParsingJSONDictionary(const Dictionary& json);
    Value kind_;
};
class Circle : public Shape {
public:
    Circle() { runtimeClass(); }
    static const ClassInfo* runtimeClass();
    static Dictionary JSONKeyPathsByPropertyKey();
    Value radius_;
};

// Array key paths: "coords" ← ["lat", "pos.lng"]; "label" ← "info.label".
class Location : public JMModel {
public:
    Location() { runtimeClass(); }
    static const ClassInfo* runtimeClass();
    static Dictionary JSONKeyPathsByPropertyKey();
    Value coords_;
    Value label_;
};

// Key-path maps the adapter refuses.
class BadKeyModel : public JMModel {
public:
    BadKeyModel() { runtimeClass(); }
    static const ClassInfo* runtimeClass();
    static Dictionary JSONKeyPathsByPropertyKey();  // names "missing", not a property key
    Value title_;
};
class BadPathModel : public JMModel {
public:
    BadPathModel() { runtimeClass(); }
    static const ClassInfo* runtimeClass();
    static Dictionary JSONKeyPathsByPropertyKey();  // maps "title" to a number
    Value title_;
};

// A key-path hook that raises.
class RaisingMapModel : public JMModel {
public:
    RaisingMapModel() { runtimeClass(); }
    static const ClassInfo* runtimeClass();
    static Dictionary JSONKeyPathsByPropertyKey();
    Value title_;
};

// Transformers from JSONTransformerForKey:, one of which raises, one returns nil for null, and a
// reverse direction with nested paths.
class Tricky : public JMModel {
public:
    Tricky() { runtimeClass(); }
    static const ClassInfo* runtimeClass();
    static Dictionary JSONKeyPathsByPropertyKey();
    static Ref<ValueTransformer> JSONTransformerForKey(const std::string& key);
    Value name_;      // "a.b", no transformer of its own (validating String)
    Value boom_;      // "boom", a transformer that raises
    Value nullable_;  // "nullable", a transformer that maps nil to nil and records what it saw
    Value forward_;   // "f.x", forward-only transformer
    Value dropped_;   // "d.y", error-handling reverse that gives nil
    static std::atomic<int> nullableSawNil;
};

// Conflicting key paths in the reverse direction: "x" ← "a" and "y" ← "a.b".
class Conflict : public JMModel {
public:
    Conflict() { runtimeClass(); }
    static const ClassInfo* runtimeClass();
    static Dictionary JSONKeyPathsByPropertyKey();
    Value x_;
    Value y_;
};

// Nested models: "pet" declared as Pet (found by type), "pets" through the array transformer.
class Pet : public JMModel {
public:
    Pet() { runtimeClass(); }
    static const ClassInfo* runtimeClass();
    static Dictionary JSONKeyPathsByPropertyKey();
    Value name_;
};
class Owner : public JMModel {
public:
    Owner() { runtimeClass(); }
    static const ClassInfo* runtimeClass();
    static Dictionary JSONKeyPathsByPropertyKey();
    static Ref<ValueTransformer> petsJSONTransformer();
    Ref<Pet> pet_;
    Value pets_;
};

}  // namespace lv::test
