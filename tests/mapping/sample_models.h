// Model classes shared by the mapping tests, each registered with the runtime from its runtimeClass().
#pragma once

#include <string>

#include "mapping/json_adapter.h"
#include "platform/base/format.h"

namespace lv::test {

// The declaration of a JSON model class with a fixed key-path map.
template <class T, class Super = JMModel>
ClassDef<T> jsonModel(std::string name, Dictionary keyPaths) {
    ClassDef<T> def = defineModelClass<T, Super>(std::move(name));
    def.protocol(std::string(kJMJSONSerializingProtocol))
        .template classHook<JMKeyPathsHook>("JSONKeyPathsByPropertyKey", [keyPaths] { return keyPaths; });
    return def;
}

// One property of each kind the adapter finds transformers for.
class Item : public JMModel {
public:
    Item() { runtimeClass(); }
    static const ClassInfo* runtimeClass() {
        static const ClassInfo* cls =
            jsonModel<Item>("Item", {{"title", "title"}, {"count", "count"}, {"userName", "user.name"},
                                     {"created", "created"}, {"link", "link"}, {"note", "note"},
                                     {"flag", "flag"}, {"rank", "rank"}})
                .property("title", &Item::title_, "String", "&,N")
                .property("count", &Item::count_, "Number", "&,N")
                .property("userName", &Item::userName_, "String", "C,N")
                .property("created", &Item::created_, "Date", "&,N")
                .property("link", &Item::link_, "URL", "&,N")
                .property("note", &Item::note_, "String", "C,N")
                .property("flag", &Item::flag_, "N")
                .property("rank", &Item::rank_, "N")
                .classMethod("createdJSONTransformer", &Item::createdJSONTransformer)
                .classHook<JMKeyTransformerHook>("noteJSONTransformer", [] { return Ref<ValueTransformer>(); })
                .registerClass();
        return cls;
    }
    // Seconds since 1970 as text <-> date.
    static Ref<JMReversibleValueTransformer> createdJSONTransformer() {
        return JMValueTransformer::transformerUsingForwardBlock(
            [](const Value& v, bool*, Ref<Error>*) {
                return v.isString() ? Value(Date::fromSince1970(readDouble(v.string()))) : Value();
            },
            [](const Value& v, bool*, Ref<Error>*) {
                return v.isDate() ? Value(format("%.0f", v.date()->since1970())) : Value();
            });
    }
    Value title_, count_, userName_, created_, link_, note_;
    bool flag_ = false;
    std::int64_t rank_ = 0;
};

// Class selection: "kind" = "circle" parses as Circle, "none" finds no class.
class Circle;
class Shape : public JMModel {
public:
    Shape() { runtimeClass(); }
    static const ClassInfo* runtimeClass() {
        static const ClassInfo* cls = jsonModel<Shape>("Shape", {{"kind", "kind"}})
                                          .property("kind", &Shape::kind_, "String", "C,N")
                                          .classMethod("classForParsingJSONDictionary:", &Shape::classFor)
                                          .registerClass();
        return cls;
    }
    static const ClassInfo* classFor(const Dictionary& json);
    Value kind_;
};
class Circle : public Shape {
public:
    Circle() { runtimeClass(); }
    static const ClassInfo* runtimeClass() {
        static const ClassInfo* cls = jsonModel<Circle, Shape>("Circle", {{"kind", "kind"}, {"radius", "r"}})
                                          .property("radius", &Circle::radius_, "Number", "&,N")
                                          .registerClass();
        return cls;
    }
    Value radius_;
};
inline const ClassInfo* Shape::classFor(const Dictionary& json) {
    const Value& kind = json.get("kind");
    return kind == Value("circle") ? Circle::runtimeClass() : kind == Value("none") ? nullptr : Shape::runtimeClass();
}

// Nested models: "pet" found by its declared type, "pets" through the array transformer.
class Pet : public JMModel {
public:
    Pet() { runtimeClass(); }
    static const ClassInfo* runtimeClass() {
        static const ClassInfo* cls =
            jsonModel<Pet>("Pet", {{"name", "name"}}).property("name", &Pet::name_, "String", "C,N").registerClass();
        return cls;
    }
    Value name_;
};
class Owner : public JMModel {
public:
    Owner() { runtimeClass(); }
    static const ClassInfo* runtimeClass() {
        static const ClassInfo* cls = (Pet::runtimeClass(), jsonModel<Owner>("Owner", {{"pet", "pet"}, {"pets", "pets"}}))
                                          .property("pet", &Owner::pet_, "Pet", "&,N")
                                          .property("pets", &Owner::pets_, "Array", "C,N")
                                          .classHook<JMKeyTransformerHook>("petsJSONTransformer", [] {
                                              return Ref<ValueTransformer>(
                                                  JMJSONAdapter::arrayTransformerWithModelClass(Pet::runtimeClass()));
                                          })
                                          .registerClass();
        return cls;
    }
    Ref<Pet> pet_;
    Value pets_;
};

}  // namespace lv::test
