// printf-compatible formatting with the object conversion %@ (an argument's description).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "platform/base/object.h"
#include "platform/base/value.h"

namespace lv {

// One argument of format(). Integers keep their signedness and width; the conversion decides how
// many bits are read, as C does for a matching argument.
class FormatArg {
public:
    enum class Kind : std::uint8_t { Signed, Unsigned, Real, CString, Text, Pointer, ValueRef, ObjectRef };

    template <class T, std::enable_if_t<std::is_integral_v<T>, int> = 0>
    FormatArg(T v) {
        if constexpr (std::is_signed_v<T>) {
            kind_ = Kind::Signed;
            i_ = v;
        } else {
            kind_ = Kind::Unsigned;
            u_ = v;
        }
    }
    template <class T, std::enable_if_t<std::is_floating_point_v<T>, int> = 0>
    FormatArg(T v) : kind_(Kind::Real), d_(static_cast<double>(v)) {}
    FormatArg(const char* s) : kind_(Kind::CString), s_(s) {}
    FormatArg(const std::string& s) : kind_(Kind::Text), text_(s) {}
    FormatArg(std::string_view s) : kind_(Kind::Text), text_(s) {}
    FormatArg(const void* p) : kind_(Kind::Pointer), p_(p) {}
    FormatArg(const Value& v) : kind_(Kind::ValueRef), value_(&v) {}
    template <class T, std::enable_if_t<std::is_base_of_v<Object, T>, int> = 0>
    FormatArg(const Ref<T>& o) : kind_(Kind::ObjectRef), object_(o.get()) {}
    template <class T, std::enable_if_t<std::is_base_of_v<Object, T>, int> = 0>
    FormatArg(const T& o) : kind_(Kind::ObjectRef), object_(&o) {}

    Kind kind() const { return kind_; }
    // Readings used by the conversions.
    std::int64_t asSigned() const;
    std::uint64_t asUnsigned() const;
    double asReal() const;
    const void* asPointer() const;
    // %@: the description; nil (and a null pointer) print "(null)".
    std::string describe() const;
    // %s: the C text, "(null)" for a null pointer.
    std::string cText() const;

private:
    Kind kind_;
    union {
        std::int64_t i_;
        std::uint64_t u_;
        double d_;
        const char* s_;
        const void* p_;
        const Value* value_;
        const Object* object_;
    };
    std::string_view text_;
};

std::string formatArgs(std::string_view fmt, std::span<const FormatArg> args);

// format("%@ = %d", name, 3). Conversions: d i u o x X c s p e E f F g G a A and @, flags "-+ #0",
// widths and precisions (also "*"), length modifiers hh h l ll q j z t L, positional "%1$@", "%%".
template <class... Args>
std::string format(std::string_view fmt, const Args&... args) {
    if constexpr (sizeof...(Args) == 0) {
        return formatArgs(fmt, {});
    } else {
        const FormatArg list[] = {FormatArg(args)...};
        return formatArgs(fmt, list);
    }
}

}  // namespace lv
