#include "platform/runtime/fixtures.h"

namespace lv::test {

const ClassInfo* Animal::runtimeClass() {
    static const ClassInfo* cls = ClassDef<Animal>("Animal")
                                      .factory()
                                      .protocol("Coding")
                                      .property("name", &Animal::name, "String", "C,N")
                                      .property("legs", &Animal::legs, "N")
                                      .property("tame", &Animal::tame, "N,GisTame")
                                      .property("friendAnimal", &Animal::friendAnimal, "Animal", "&,N")
                                      .property("toys", &Animal::toys, "Dictionary", "&,N")
                                      .classHook<std::string()>("kingdom", [] { return std::string("animals"); })
                                      .classHook<int(int)>("twice", [](int v) { return 2 * v; })
                                      .registerClass();
    return cls;
}

bool Dog::validateTricks(Value& value, Ref<Error>* error) {
    validateCalled = true;
    if (value.isString()) {
        value = Value::array({value});
        return true;
    }
    if (!value.isNil() && !value.isArray()) {
        setError(error, Error::make("TestDomain", 7));
        return false;
    }
    return true;
}

std::string Dog::bark(int times) const {
    std::string out;
    for (int i = 0; i < times; ++i) out += "woof";
    return out;
}

const ClassInfo* Dog::runtimeClass() {
    static const ClassInfo* cls = [] {
        Animal::runtimeClass();
        return ClassDef<Dog>("Dog")
            .superclass<Animal>()
            .factory()
            .protocol("Barking")
            .property("tricks", &Dog::tricks, "Array", "C,N")
            .property("legs", "q", "R,N", [](const Dog& d) { return Value(d.legs); })
            .instanceMethod("validateTricks:error:", &Dog::validateTricks)
            .instanceMethod("bark:", &Dog::bark)
            .classHook<std::string()>("kingdom", [] { return std::string("dogs"); })
            .registerClass();
    }();
    return cls;
}

const ClassInfo* Kinds::runtimeClass() {
    static const ClassInfo* cls = [] {
        Animal::runtimeClass();
        return ClassDef<Kinds>("Kinds")
            .factory()
            .property("text", &Kinds::text, "String", "C,N")
            .property("anything", &Kinds::anything, "", "&,N")
            .property("flag", &Kinds::flag, "N")
            .property("int8", &Kinds::int8, "N")
            .property("uint8", &Kinds::uint8, "N")
            .property("int16", &Kinds::int16, "N")
            .property("uint16", &Kinds::uint16, "N")
            .property("int32", &Kinds::int32, "N")
            .property("uint32", &Kinds::uint32, "N")
            .property("int64", &Kinds::int64, "N")
            .property("uint64", &Kinds::uint64, "N")
            .property("real32", &Kinds::real32, "N")
            .property("real64", &Kinds::real64, "")
            .property("pet", &Kinds::pet, "Animal", "N,&")
            .property("owner", &Kinds::owner, "Animal", "W,N")
            .property("count", &Kinds::count, "R,N")
            .property("isEmpty", "B", "R,N", [](const Kinds& k) { return Value(k.count == 0); })
            .property(
                "visible", "B", "N,SsetVisible:,GisVisible", [](const Kinds& k) { return Value(k.visible); },
                [](Kinds& k, const Value& v) {
                    k.visible = v.boolValue();
                    ++k.visibleSets;
                })
            .property(
                "extra", "@\"Dictionary\"", "D,&,N", [](const Kinds& k) { return k.extra; },
                [](Kinds& k, const Value& v) { k.extra = v; })
            .property("tlvv2_p_0_r_accessId", &Kinds::accessId, "String", "&,N,Gtlv_accessId,SsetTlv_accessId:")
            .registerClass();
    }();
    return cls;
}

const ClassInfo* RecordImpl::runtimeClass() {
    static const ClassInfo* cls =
        ClassDef<RecordImpl>("TestRecord")
            .property("title", &RecordImpl::title, "String", "&,N")
            .keyValueHandler(KeyValueHandler{
                [](const Object& o, const std::string& key, Value& out) {
                    const auto& r = static_cast<const RecordImpl&>(o);
                    const Value* v = r.attributes.find(key);
                    if (!v) return false;
                    out = *v;
                    return true;
                },
                [](Object& o, const std::string& key, const Value& value) {
                    auto& r = static_cast<RecordImpl&>(o);
                    if (!r.attributes.contains(key)) return false;
                    r.attributes.set(key, value.isNil() ? Value::null() : value);
                    return true;
                }})
            .registerClass();
    return cls;
}

}  // namespace lv::test
