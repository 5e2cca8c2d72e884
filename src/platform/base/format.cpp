// printf-compatible formatting: numeric conversions are handed to the C library with the same flags,
// width and precision, so they print exactly as C prints them; %@ prints descriptions.
#include "platform/base/format.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

namespace lv {

std::int64_t FormatArg::asSigned() const {
    switch (kind_) {
        case Kind::Signed: return i_;
        case Kind::Unsigned: return static_cast<std::int64_t>(u_);
        case Kind::Real: return std::isfinite(d_) ? static_cast<std::int64_t>(d_) : 0;
        case Kind::Pointer: return static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(p_));
        case Kind::ValueRef: return value_->longLongValue();
        default: return 0;
    }
}

std::uint64_t FormatArg::asUnsigned() const {
    switch (kind_) {
        case Kind::Unsigned: return u_;
        case Kind::ValueRef: return value_->unsignedLongLongValue();
        default: return static_cast<std::uint64_t>(asSigned());
    }
}

double FormatArg::asReal() const {
    switch (kind_) {
        case Kind::Real: return d_;
        case Kind::Signed: return static_cast<double>(i_);
        case Kind::Unsigned: return static_cast<double>(u_);
        case Kind::ValueRef: return value_->doubleValue();
        default: return 0;
    }
}

const void* FormatArg::asPointer() const {
    switch (kind_) {
        case Kind::Pointer: return p_;
        case Kind::CString: return s_;
        case Kind::ObjectRef: return object_;
        case Kind::ValueRef:
            if (value_->isObject()) return value_->object().get();
            return value_;
        case Kind::Text: return text_.data();
        default: return reinterpret_cast<const void*>(static_cast<std::uintptr_t>(asUnsigned()));
    }
}

std::string FormatArg::describe() const {
    switch (kind_) {
        case Kind::Signed: return std::to_string(i_);
        case Kind::Unsigned: return std::to_string(u_);
        case Kind::Real: return Value(d_).stringValue();
        case Kind::CString: return s_ ? s_ : "(null)";
        case Kind::Text: return std::string(text_);
        case Kind::Pointer: return p_ ? addressText(p_) : "(null)";
        case Kind::ValueRef: return value_->isNil() ? "(null)" : value_->description();
        case Kind::ObjectRef: return object_ ? object_->description() : "(null)";
    }
    return {};
}

std::string FormatArg::cText() const {
    switch (kind_) {
        case Kind::CString: return s_ ? s_ : "(null)";
        case Kind::Text: return std::string(text_);
        case Kind::ValueRef: return value_->isNil() ? "(null)" : value_->stringValue();
        default: return describe();
    }
}

namespace {

// Widths and precisions are capped, so that a hostile format cannot demand a huge allocation or
// overflow the count.
constexpr int kMaxFieldSize = 65536;

enum class Length { None, Char, Short, Long, LongLong, Size, LongDouble };

struct Spec {
    std::string flags;
    int width = -1;
    int precision = -1;
    Length length = Length::None;
    char conversion = 0;
};

template <class... T>
void appendPrintf(std::string& out, const std::string& spec, T... values) {
    char stack[128];
    const int n = std::snprintf(stack, sizeof stack, spec.c_str(), values...);
    if (n < 0) return;
    if (static_cast<std::size_t>(n) < sizeof stack) {
        out.append(stack, static_cast<std::size_t>(n));
        return;
    }
    std::string big(static_cast<std::size_t>(n) + 1, '\0');
    std::snprintf(big.data(), big.size(), spec.c_str(), values...);
    big.resize(static_cast<std::size_t>(n));
    out += big;
}

std::string cSpec(const Spec& s, const char* lengthAndConversion) {
    std::string spec = "%" + s.flags;
    if (s.width >= 0) spec += std::to_string(s.width);
    if (s.precision >= 0) spec += "." + std::to_string(s.precision);
    spec += lengthAndConversion;
    return spec;
}

// Pads text (counted in UTF-16 units, as the platform counts characters) to the conversion's width.
void appendPadded(std::string& out, std::string text, const Spec& s) {
    if (s.precision >= 0 && s.conversion == '@') {
        const std::size_t cut = utf8OffsetOfUtf16Index(text, static_cast<std::size_t>(s.precision));
        text.resize(cut);
    }
    const std::size_t length = utf16Length(text);
    const std::size_t width = s.width > 0 ? static_cast<std::size_t>(s.width) : 0;
    if (length >= width) {
        out += text;
        return;
    }
    const bool left = s.flags.find('-') != std::string::npos;
    if (left) {
        out += text;
        out.append(width - length, ' ');
    } else {
        out.append(width - length, ' ');
        out += text;
    }
}

void appendCodePoint(std::string& out, std::uint32_t cp) {
    out += fromUtf16(std::u16string(1, static_cast<char16_t>(cp)));
}

}  // namespace

std::string formatArgs(std::string_view fmt, std::span<const FormatArg> args) {
    std::string out;
    out.reserve(fmt.size() + 16 * args.size());
    std::size_t nextArg = 0;
    const FormatArg* none = nullptr;
    auto argAt = [&](std::size_t index) -> const FormatArg* { return index < args.size() ? &args[index] : none; };

    std::size_t i = 0;
    while (i < fmt.size()) {
        const std::size_t percent = fmt.find('%', i);
        if (percent == std::string_view::npos) {
            out.append(fmt.substr(i));
            break;
        }
        out.append(fmt.substr(i, percent - i));
        std::size_t j = percent + 1;
        if (j < fmt.size() && fmt[j] == '%') {
            out += '%';
            i = j + 1;
            continue;
        }
        Spec spec;
        // Positional argument "N$".
        std::size_t position = 0;
        {
            std::size_t k = j;
            std::size_t n = 0;
            while (k < fmt.size() && fmt[k] >= '0' && fmt[k] <= '9') n = n * 10 + static_cast<std::size_t>(fmt[k++] - '0');
            if (k < fmt.size() && fmt[k] == '$' && k > j && n > 0) {
                position = n;
                j = k + 1;
            }
        }
        while (j < fmt.size() && std::string_view("-+ #0'").find(fmt[j]) != std::string_view::npos) {
            if (fmt[j] != '\'') spec.flags += fmt[j];
            ++j;
        }
        auto readCount = [&](int& target) {
            if (j < fmt.size() && fmt[j] == '*') {
                ++j;
                const FormatArg* a = argAt(nextArg++);
                const std::int64_t requested = a ? a->asSigned() : 0;
                if (&target == &spec.width && requested < 0) {
                    spec.flags += '-';
                    target = static_cast<int>(std::min<std::int64_t>(-(requested + 1), kMaxFieldSize - 1) + 1);
                } else {
                    target = static_cast<int>(std::clamp<std::int64_t>(requested, -1, kMaxFieldSize));
                }
                return;
            }
            if (j < fmt.size() && fmt[j] >= '0' && fmt[j] <= '9') {
                target = 0;
                while (j < fmt.size() && fmt[j] >= '0' && fmt[j] <= '9') {
                    target = std::min(target * 10 + (fmt[j++] - '0'), kMaxFieldSize);
                }
            }
        };
        readCount(spec.width);
        if (j < fmt.size() && fmt[j] == '.') {
            ++j;
            spec.precision = 0;
            readCount(spec.precision);
            if (spec.precision < 0) spec.precision = -1;
        }
        while (j < fmt.size()) {
            const char c = fmt[j];
            if (c == 'h') spec.length = spec.length == Length::Short ? Length::Char : Length::Short;
            else if (c == 'l') spec.length = spec.length == Length::Long ? Length::LongLong : Length::Long;
            else if (c == 'q' || c == 'j') spec.length = Length::LongLong;
            else if (c == 'z' || c == 't') spec.length = Length::Size;
            else if (c == 'L') spec.length = Length::LongDouble;
            else break;
            ++j;
        }
        if (j >= fmt.size()) {
            out.append(fmt.substr(percent));
            break;
        }
        spec.conversion = fmt[j];
        const std::string_view raw = fmt.substr(percent, j + 1 - percent);
        i = j + 1;

        static const std::string_view known = "diouxXcCsSpeEfFgGaA@n";
        if (known.find(spec.conversion) == std::string_view::npos) {
            out.append(raw);
            continue;
        }
        if (spec.conversion == 'n') continue;
        const FormatArg* arg = argAt(position > 0 ? position - 1 : nextArg);
        if (position == 0) ++nextArg;

        switch (spec.conversion) {
            case 'd':
            case 'i': {
                long long v = arg ? arg->asSigned() : 0;
                switch (spec.length) {
                    case Length::None: v = static_cast<int>(v); break;
                    case Length::Char: v = static_cast<signed char>(v); break;
                    case Length::Short: v = static_cast<short>(v); break;
                    default: break;
                }
                appendPrintf(out, cSpec(spec, "lld"), v);
                break;
            }
            case 'o':
            case 'u':
            case 'x':
            case 'X': {
                unsigned long long v = arg ? arg->asUnsigned() : 0;
                switch (spec.length) {
                    case Length::None: v = static_cast<unsigned>(v); break;
                    case Length::Char: v = static_cast<unsigned char>(v); break;
                    case Length::Short: v = static_cast<unsigned short>(v); break;
                    default: break;
                }
                const char conv[] = {'l', 'l', spec.conversion, '\0'};
                appendPrintf(out, cSpec(spec, conv), v);
                break;
            }
            case 'e':
            case 'E':
            case 'f':
            case 'F':
            case 'g':
            case 'G':
            case 'a':
            case 'A': {
                const char conv[] = {spec.conversion, '\0'};
                appendPrintf(out, cSpec(spec, conv), arg ? arg->asReal() : 0.0);
                break;
            }
            case 'c':
            case 'C': {
                const std::uint64_t v = arg ? arg->asUnsigned() : 0;
                std::string text;
                if (spec.conversion == 'c' && spec.length == Length::None) text = std::string(1, static_cast<char>(v));
                else appendCodePoint(text, static_cast<std::uint32_t>(v & 0xFFFF));
                Spec padded = spec;
                padded.precision = -1;
                appendPadded(out, text, padded);
                break;
            }
            case 's':
            case 'S': {
                std::string text = arg ? arg->cText() : "(null)";
                if (spec.precision >= 0 && static_cast<std::size_t>(spec.precision) < text.size()) {
                    text.resize(static_cast<std::size_t>(spec.precision));
                }
                Spec padded = spec;
                padded.precision = -1;
                appendPadded(out, text, padded);
                break;
            }
            case 'p': {
                const void* p = arg ? arg->asPointer() : nullptr;
                appendPadded(out, addressText(p), spec);
                break;
            }
            case '@': appendPadded(out, arg ? arg->describe() : "(null)", spec); break;
        }
    }
    return out;
}

}  // namespace lv
