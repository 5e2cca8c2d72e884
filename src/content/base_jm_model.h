// BaseJMModel: the base of the content models that reply items are mapped into. A content model knows
// which of its values go into which attribute of its store record (its copy pairs) and copies them
// into a record by key; the three date formatters read the content service's time texts.
#pragma once

#include <initializer_list>
#include <string_view>

#include "mapping/json_adapter.h"
#include "mapping/model.h"
#include "platform/base/object.h"
#include "platform/base/value.h"
#include "platform/runtime/runtime.h"
#include "platform/time/date_formatter.h"

namespace lv {

class BaseJMModel : public JMModel {
public:
    BaseJMModel();

    // The runtime class "BaseJMModel" (a JMModel). Registering it also registers the seven content
    // record classes, so that the records made for mapped items are instances of their classes.
    static const ClassInfo* runtimeClass();

    // The copy pairs: an array of dictionaries with exactly one entry each, model property key →
    // entity attribute key, in copy order. Empty here; every content model gives its own. The array
    // lives at least as long as the calling thread (the pairs follow from the class, made once).
    virtual const Array& propertiesList() const;

    // Copies the model into the target (in practice a new store record) by key-value access: for each
    // pair, in order, the model's value under the model key is set on the target under the entity key,
    // unless it is nil or null (the target keeps what it had). Values pass unchanged. A pair the target
    // refuses (a key it does not have, a kind it cannot hold) is logged and skipped; nothing is
    // reported to the caller. A null target copies nothing.
    void migratePropertiesToObject(Object& target) const;
    void migratePropertiesToObject(const Ref<Object>& target) const;

    // Whether the copy of this model is the class's identity pairs read through the properties that
    // hold Values (PropertyInfo::holdsValue) of its own class: migratePlainValuesToObject then copies
    // values held for a model of the class exactly as migratePropertiesToObject copies the model.
    bool copiesPlainly() const;
    // The copy migratePropertiesToObject makes of a model of values.modelClass() holding these values
    // (a class whose models copiesPlainly, values from JMJSONAdapter::plainValuesFromJSONDictionary);
    // className: the model's, for the log line of a refused pair.
    static void migratePlainValuesToObject(const JMPlainValues& values, const std::string& className, Object& target);

    // New formatters on every call, with only the pattern set (the device's locale, calendar and time
    // zone): "yyyy-MM-dd:HH" (a colon between day and hour), "yyyy-M-d HH:mm:ss", "yyyy-MM-dd".
    static DateFormatter dateFormatter1();
    static DateFormatter dateFormatter2();
    static DateFormatter dateFormatter3();

protected:
    // One pair per property the model's own class declares, each key mapped to itself, in
    // declaration order (the content models' properties are named after their entity's attributes).
    // Made once per class and thread, and kept for the thread's life.
    const Array& identityPropertiesList() const;
    // A key-path map sending every key to the JSON key of the same name.
    static Dictionary identityKeyPaths(std::initializer_list<std::string_view> keys);
};

}  // namespace lv

// Declares one model property held as a Value: `const Value& name() const`, `void setName(const Value&)`
// and the member `name_` that the runtime declaration points at (instance variable "_name").
#define LV_JM_PROPERTY(name, Name)                          \
public:                                                     \
    const ::lv::Value& name() const { return name##_; }     \
    void set##Name(const ::lv::Value& value) {              \
        name##_ = value;                                    \
        ::lv::didSetProperty(*this, #name);                 \
    }                                                       \
                                                            \
private:                                                    \
    ::lv::Value name##_;                                    \
                                                            \
public:
