// Classes registered with the runtime for the tests, each registered the way the runtime's header
// recommends: from a function with a function-local static, called before first use.
#pragma once

#include <cstdint>

#include <gtest/gtest.h>

#include "platform/runtime/runtime.h"

namespace lv::test {

// The exception f raises; a test failure (and an empty exception) when it raises none.
template <class F>
Exception caught(F&& f) {
    try {
        f();
    } catch (const Exception& e) {
        return e;
    }
    ADD_FAILURE() << "no exception";
    return Exception("", "");
}

class Animal : public Object {
public:
    static const ClassInfo* runtimeClass();

    Value name;
    std::int64_t legs = 4;
    bool tame = false;
    Ref<Animal> friendAnimal;
    Value toys;  // a dictionary
};

class Dog : public Animal {
public:
    static const ClassInfo* runtimeClass();

    Value tricks;
    bool validateCalled = false;
    // validateTricks:error: — refuses a non-array, replaces a string by a one-element array.
    bool validateTricks(Value& value, Ref<Error>* error);
    std::string bark(int times) const;
};

// Not registered: its runtime class is Dog's.
class Puppy : public Dog {};

// One property of every kind, for attribute texts and typed access.
class Kinds : public Object {
public:
    static const ClassInfo* runtimeClass();

    Value text;
    Value anything;
    bool flag = false;
    std::int8_t int8 = 0;
    std::uint8_t uint8 = 0;
    std::int16_t int16 = 0;
    std::uint16_t uint16 = 0;
    std::int32_t int32 = 0;
    std::uint32_t uint32 = 0;
    std::int64_t int64 = 0;
    std::uint64_t uint64 = 0;
    float real32 = 0;
    double real64 = 0;
    Ref<Animal> pet;
    Weak<Animal> owner;
    std::int64_t count = 0;  // read-only, backed by an instance variable
    bool visible = false;    // accessors isVisible / setVisible:
    Value extra;             // dynamic
    Value accessId;          // a tagged record field: accessors tlv_accessId / setTlv_accessId:
    int visibleSets = 0;
};

// A class whose C++ name differs from its registered name, with custom key-value access.
class RecordImpl : public Object {
public:
    static const ClassInfo* runtimeClass();

    Dictionary attributes;
    Value title;
};

}  // namespace lv::test
