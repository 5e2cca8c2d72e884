// Payload readers that do not go through a possibly-null pointer (the caller has checked the type).
#pragma once

#include "platform/base/value.h"

namespace lv::detail {

inline Number numberOf(const Value& v) {
    const Number* n = v.number();
    return n ? *n : Number();
}
inline Decimal decimalOf(const Value& v) {
    const Decimal* d = v.decimal();
    return d ? *d : Decimal();
}
inline Date dateOf(const Value& v) {
    const Date* d = v.date();
    return d ? *d : Date();
}

}  // namespace lv::detail
