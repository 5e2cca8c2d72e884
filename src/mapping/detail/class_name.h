// The class name of a value as the mapping layer's messages print a class ("(null)" for nil, through
// format's nil).
#pragma once

#include "platform/base/value.h"
#include "platform/runtime/runtime.h"

namespace lv::mapping_detail {

inline Value classNameValue(const Value& value) {
    if (value.isObject()) return Value(value.object()->className());
    const ClassInfo* cls = classOfValue(value);
    return cls ? Value(cls->name()) : Value();
}

}  // namespace lv::mapping_detail
