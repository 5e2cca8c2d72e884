// Reflective records: a record class declares each Tlv field as a runtime property named
// "tlvv2_p_<tag>_<r|o>_<name>[__b0x9i_<element descriptor>]" with accessors tlv_<name> and
// setTlv_<name>:, its type encoding taken from the C++ member. PNTlvObjectV2 reads the declarations
// once per class into a field table (ascending tags, each accessor resolved once) and packs and
// unpacks the fields through it. TlvRecordDef registers such a class.
//
// Threads: records may be packed and unpacked on any thread, one thread per record at a time. The
// field tables and reference instances are built once per class under their own locks and then
// only read.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "platform/runtime/runtime.h"
#include "push/tlv_object.h"

namespace lv {

using TlvGetterSignature = Value(const Object&);
using TlvSetterSignature = void(Object&, const Value&);
using TlvGetter = std::function<TlvGetterSignature>;
using TlvSetter = std::function<TlvSetterSignature>;

// One field of a record class.
class PNTlvPropertyInfo : public Object {
public:
    static Ref<PNTlvPropertyInfo> propertyInfo() { return makeRef<PNTlvPropertyInfo>(); }

    std::int64_t tag() const { return tag_; }
    void setTag(std::int64_t tag) { tag_ = tag; }
    bool flag() const { return flag_; }
    void setFlag(bool flag) { flag_ = flag; }
    // The accessor key, "tlv_" + the field's name.
    const std::string& name() const { return name_; }
    void setName(std::string name) { name_ = std::move(name); }
    // The type encoding ("I", "q", "@\"String\"", ...).
    const std::string& type() const { return type_; }
    void setType(std::string type) { type_ = std::move(type); }
    // The parsed element descriptor; nil without one.
    const TlvDescription& ext() const { return ext_; }
    void setExt(TlvDescription ext) { ext_ = std::move(ext); }

    // -1, 0 or 1 as this tag is lower than, equal to or higher than the other's.
    int compareWithTag(const PNTlvPropertyInfo& other) const;
    std::string description() const override;

    // Resolved once when the field table is built: the accessors (the instance hooks named tlv_<name>
    // and setTlv_<name>:), and the declared class of an object field (nullptr when unknown or not an
    // object).
    const std::function<TlvGetterSignature>* getter = nullptr;
    const std::function<TlvSetterSignature>* setter = nullptr;
    const ClassInfo* declaredClass = nullptr;
    // What the reader is told: ext, else the declared class.
    TlvDescription readDescription;
    // For classes that declare the properties without the codec's hooks: the properties' own accessors.
    TlvGetter propertyGetter;
    TlvSetter propertySetter;

private:
    std::int64_t tag_ = 0;
    bool flag_ = false;
    std::string name_;
    std::string type_;
    TlvDescription ext_;
};

// A class's fields in ascending tag order (one per tag).
struct TlvFieldTable {
    std::vector<Ref<PNTlvPropertyInfo>> fields;
    const PNTlvPropertyInfo* find(std::int64_t tag) const;
};

class PNTlvObjectV2 : public PNTlvObject {
public:
    PNTlvObjectV2();
    static const ClassInfo* runtimeClass();

    // The class's field table, built on first use under the field-table lock; lives until the process
    // ends.
    static const TlvFieldTable& tlvPropsDescription(const ClassInfo* cls);
    // The class's reference instance (default values), made once under its own lock.
    static Ref<PNTlvObject> tlvRefObject(const ClassInfo* cls);

    // This record's field table (record classes cache it).
    virtual const TlvFieldTable& tlvFields() const { return tlvPropsDescription(tlvClass()); }

    // Writes the fields that are required or not nil, in ascending tag order.
    void pack(PNTlvOutputStream& writer) const override;
    // Reads the declared fields in ascending tag order; absent fields keep their values, and a value
    // of another class than the declared one is reported and not stored.
    void unpack(PNTlvInputStream& reader) override;
};

// The shared empty text and empty list that field defaults start from (no allocation per record).
const Value& tlvEmptyText();
const Value& tlvEmptyList();

// The accessor name part of a declaration ("tlvv2_p_2_o_some_value" gives "some_value"); empty when the
// declaration has fewer than five "_"-separated parts.
std::string tlvFieldNameOf(std::string_view declaration);

// Registers a record class under PNTlvObjectV2 with a factory, one field per call:
//   TlvRecordDef<PNAppInfo>("PNAppInfo").field("tlvv2_p_0_r_accessId", &PNAppInfo::accessId_)
//       .field("tlvv2_p_1_r_accessKey", &PNAppInfo::accessKey_, "String").registerClass();
// Each field is a read-write, non-atomic property with getter tlv_<name> and setter setTlv_<name>:.
template <class T>
class TlvRecordDef {
public:
    explicit TlvRecordDef(std::string name) : def_((PNTlvObjectV2::runtimeClass(), std::move(name))) {
        def_.template superclass<PNTlvObjectV2>().factory();
    }
    // A scalar member: the encoding follows its C++ type.
    template <class M, std::enable_if_t<std::is_arithmetic_v<M>, int> = 0>
    TlvRecordDef& field(std::string declaration, M T::*member) {
        const std::string name = tlvFieldNameOf(declaration);
        def_.property(declaration, member, accessorFlags(name, false));
        return accessors(
            name, [member](const Object& o) { return Value(static_cast<const T&>(o).*member); },
            [member, declaration](Object& o, const Value& v) {
                const Number n = runtime_detail::scalarFromValue(runtime_detail::numberKindOf<M>(), v, o, declaration);
                static_cast<T&>(o).*member = runtime_detail::scalarOf<M>(n);
            });
    }
    // A Value member declared as an object of the class ("String", "Array", "Data", ...).
    TlvRecordDef& field(std::string declaration, Value T::*member, std::string_view className) {
        const std::string name = tlvFieldNameOf(declaration);
        def_.property(std::move(declaration), member, className, accessorFlags(name, true));
        return accessors(
            name, [member](const Object& o) { return static_cast<const T&>(o).*member; },
            [member](Object& o, const Value& v) { static_cast<T&>(o).*member = v; });
    }
    // A nested record.
    template <class M, std::enable_if_t<std::is_base_of_v<Object, M>, int> = 0>
    TlvRecordDef& field(std::string declaration, Ref<M> T::*member, std::string_view className) {
        const std::string name = tlvFieldNameOf(declaration);
        def_.property(std::move(declaration), member, className, accessorFlags(name, true));
        return accessors(
            name, [member](const Object& o) { return Value(static_cast<const T&>(o).*member); },
            [member](Object& o, const Value& v) { static_cast<T&>(o).*member = v.objectAs<M>(); });
    }
    const ClassInfo* registerClass() { return def_.registerClass(); }

private:
    static std::string accessorFlags(const std::string& name, bool object) {
        std::string flags = object ? "&,N" : "N";
        if (!name.empty()) flags += ",Gtlv_" + name + ",SsetTlv_" + name + ":";
        return flags;
    }
    // The codec's accessors, instance hooks named like the property's getter and setter; they skip the
    // property-set announcements, which no record has observers for.
    TlvRecordDef& accessors(const std::string& name, TlvGetter getter, TlvSetter setter) {
        if (name.empty()) return *this;
        def_.template instanceHook<TlvGetterSignature>("tlv_" + name, std::move(getter));
        def_.template instanceHook<TlvSetterSignature>("setTlv_" + name + ":", std::move(setter));
        return *this;
    }
    ClassDef<T> def_;
};

}  // namespace lv

// Declares a record class's members: the runtime class, the factory, the class-level decode, the type
// name and the cached field table. Define them with LV_TLV_RECORD_DEFINE in the source file.
#define LV_TLV_RECORD(Class, TypeName)                                             \
public:                                                                            \
    Class();                                                                       \
    static const ::lv::ClassInfo* runtimeClass();                                  \
    static ::lv::Ref<Class> object() { return ::lv::makeRef<Class>(); }            \
    static ::lv::Ref<Class> fromData(std::span<const std::uint8_t> data) {         \
        return ::lv::PNTlvObject::decodeAs<Class>(data);                           \
    }                                                                              \
    static std::string classTlvType() { return TypeName; }                         \
    std::optional<std::string> tlvType() const override { return classTlvType(); } \
    const ::lv::ClassInfo* tlvClass() const override { return runtimeClass(); }    \
    const ::lv::TlvFieldTable& tlvFields() const override;

#define LV_TLV_RECORD_DEFINE(Class)                                                    \
    Class::Class() { runtimeClass(); }                                                 \
    const ::lv::TlvFieldTable& Class::tlvFields() const {                              \
        static const ::lv::TlvFieldTable& table = tlvPropsDescription(runtimeClass()); \
        return table;                                                                  \
    }

// A scalar field: member name##_, accessors tlv_##name() / setTlv_##name(v).
#define LV_TLV_SCALAR(Type, name)                       \
public:                                                 \
    Type tlv_##name() const { return name##_; }         \
    void setTlv_##name(Type value) { name##_ = value; } \
                                                        \
private:                                                \
    Type name##_ = 0;

// A text or list field held as a Value (nil = none).
#define LV_TLV_VALUE(name, initial)                                       \
public:                                                                   \
    const ::lv::Value& tlv_##name() const { return name##_; }             \
    void setTlv_##name(::lv::Value value) { name##_ = std::move(value); } \
                                                                          \
private:                                                                  \
    ::lv::Value name##_ = initial;

// A nested record field (nullptr = none).
#define LV_TLV_NESTED(Type, name, initial)                                    \
public:                                                                       \
    const ::lv::Ref<Type>& tlv_##name() const { return name##_; }             \
    void setTlv_##name(::lv::Ref<Type> value) { name##_ = std::move(value); } \
                                                                              \
private:                                                                      \
    ::lv::Ref<Type> name##_ = initial;
