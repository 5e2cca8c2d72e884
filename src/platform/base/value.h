// Value: the value-semantic variant every layer passes around (numbers, text, data, dates,
// collections, the null object, and references to objects). Heavy payloads are shared and copied on
// the first write through a shared owner.
#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "platform/base/object.h"

namespace lv {

// The stored scalar kind of a number; encoders that write by kind read it back.
enum class NumberKind : std::uint8_t {
    Bool,
    Int8,
    Int16,
    Int32,
    Int64,
    UInt8,
    UInt16,
    UInt32,
    UInt64,
    Float,
    Double,
};

class Number {
public:
    constexpr Number() = default;

    template <class T, std::enable_if_t<std::is_arithmetic_v<T>, int> = 0>
    static constexpr Number of(T v) {
        Number n;
        if constexpr (std::is_same_v<T, bool>) {
            n.kind_ = NumberKind::Bool;
            n.u_ = v ? 1 : 0;
        } else if constexpr (std::is_floating_point_v<T>) {
            n.kind_ = sizeof(T) == sizeof(float) ? NumberKind::Float : NumberKind::Double;
            n.d_ = static_cast<double>(v);
        } else if constexpr (std::is_signed_v<T>) {
            n.kind_ = sizeof(T) == 1   ? NumberKind::Int8
                      : sizeof(T) == 2 ? NumberKind::Int16
                      : sizeof(T) == 4 ? NumberKind::Int32
                                       : NumberKind::Int64;
            n.i_ = static_cast<std::int64_t>(v);
        } else {
            n.kind_ = sizeof(T) == 1   ? NumberKind::UInt8
                      : sizeof(T) == 2 ? NumberKind::UInt16
                      : sizeof(T) == 4 ? NumberKind::UInt32
                                       : NumberKind::UInt64;
            n.u_ = static_cast<std::uint64_t>(v);
        }
        return n;
    }
    // A number of the given kind holding v converted as C converts.
    static Number withKind(NumberKind kind, double v);
    static Number withKind(NumberKind kind, std::int64_t v);

    NumberKind kind() const { return kind_; }
    bool isBool() const { return kind_ == NumberKind::Bool; }
    bool isFloatingPoint() const { return kind_ == NumberKind::Float || kind_ == NumberKind::Double; }
    bool isUnsigned() const;
    // Type-encoding character of the stored kind ('c' for booleans and 8-bit integers, 's', 'i', 'q',
    // 'C', 'S', 'I', 'Q', 'f', 'd').
    char objCType() const;

    // Readings as the platform converts: integer readings of reals truncate toward zero (saturating
    // at the 64-bit limits, NaN gives 0), narrower integer readings keep the low bits.
    std::int32_t intValue() const { return static_cast<std::int32_t>(static_cast<std::uint32_t>(longLongValue())); }
    std::uint32_t unsignedIntValue() const { return static_cast<std::uint32_t>(unsignedLongLongValue()); }
    std::int16_t shortValue() const { return static_cast<std::int16_t>(static_cast<std::uint16_t>(longLongValue())); }
    std::int64_t longLongValue() const;
    std::uint64_t unsignedLongLongValue() const;
    double doubleValue() const;
    float floatValue() const { return static_cast<float>(doubleValue()); }
    bool boolValue() const;
    // "1", "0", "1.5", "-3", "18446744073709551615".
    std::string stringValue() const;

    // Numeric comparison across kinds: -1, 0 or 1. NaN sorts below every other value and equals itself.
    int compare(const Number& other) const;
    bool operator==(const Number& other) const { return compare(other) == 0; }
    std::size_t hash() const;

private:
    NumberKind kind_ = NumberKind::Int32;
    union {
        std::int64_t i_ = 0;
        std::uint64_t u_;
        double d_;
    };
};

// The mantissa of a Decimal: 128 bits hold every 38-digit number.
__extension__ typedef unsigned __int128 UInt128;

// Exact base-10 number: up to 38 significant digits (more are rounded half up at the 38th), a
// power-of-ten exponent, and not-a-number.
class Decimal {
public:
    constexpr Decimal() = default;
    static Decimal notANumber();
    static Decimal fromInteger(std::int64_t v);
    static Decimal fromUnsigned(std::uint64_t v);
    // The shortest decimal text that reads back as v.
    static Decimal fromDouble(double v);
    static Decimal fromNumber(const Number& n);
    // A mantissa past 38 digits is rounded half up to 38.
    static Decimal withMantissa(UInt128 mantissa, int exponent, bool negative);
    // Reads a number at the start of the text, as a scanner would: leading white space, optional sign,
    // digits with an optional '.' fraction and optional exponent. Text without a leading number gives
    // not-a-number.
    static Decimal fromString(std::string_view text);
    // The whole text must be one number (surrounding white space allowed), otherwise nothing.
    static std::optional<Decimal> parse(std::string_view text);

    bool isNaN() const { return nan_; }
    bool isZero() const { return !nan_ && mantissa_ == 0; }
    bool isNegative() const { return negative_ && mantissa_ != 0; }
    UInt128 mantissa() const { return mantissa_; }
    int exponent() const { return exponent_; }

    // "199.9", "-0.5", "12", "NaN"; no exponent notation, no trailing zeros.
    std::string stringValue() const;
    double doubleValue() const;
    std::int64_t longLongValue() const;
    std::int32_t intValue() const { return static_cast<std::int32_t>(static_cast<std::uint32_t>(longLongValue())); }
    bool boolValue() const { return !nan_ && mantissa_ != 0; }

    // Exact comparison; NaN sorts below every number and equals only NaN.
    int compare(const Decimal& other) const;
    bool operator==(const Decimal& other) const { return compare(other) == 0; }
    std::size_t hash() const;

private:
    void normalize();
    UInt128 mantissa_ = 0;
    std::int32_t exponent_ = 0;
    bool negative_ = false;
    bool nan_ = false;
};

// A point in time: seconds since 1 January 2001 00:00:00 UTC, the platform's reference date.
class Date {
public:
    static constexpr double kReferenceDateSince1970 = 978307200.0;

    constexpr Date() = default;
    static Date now();
    static constexpr Date fromSince1970(double seconds) { return Date(seconds - kReferenceDateSince1970); }
    static constexpr Date fromSinceReferenceDate(double seconds) { return Date(seconds); }
    static Date distantFuture();
    static Date distantPast();

    double since1970() const { return seconds_ + kReferenceDateSince1970; }
    double sinceReferenceDate() const { return seconds_; }
    double sinceNow() const;
    double since(const Date& other) const { return seconds_ - other.seconds_; }
    Date adding(double seconds) const { return Date(seconds_ + seconds); }

    int compare(const Date& other) const { return seconds_ < other.seconds_ ? -1 : seconds_ > other.seconds_ ? 1 : 0; }
    bool operator==(const Date& other) const { return seconds_ == other.seconds_; }
    bool operator<(const Date& other) const { return seconds_ < other.seconds_; }
    // "2015-03-05 01:07:02 +0000" (UTC, whole seconds).
    std::string description() const;

private:
    explicit constexpr Date(double s) : seconds_(s) {}
    double seconds_ = 0;
};

using Bytes = std::vector<std::uint8_t>;

class Value;
using Array = std::vector<Value>;

class Dictionary;
// The payload of a text value (defined where Value is implemented).
class StoredText;

// The holder count of a text payload's allocation: a text made alone, or a TextBlock's allocation,
// which all its texts count together. The last holder to let go calls destroy.
struct TextHolders {
    std::atomic<std::size_t> count;
    void (*destroy)(TextHolders*) noexcept;
};

// A counted reference to a text payload: copies count the allocation holding it (as a shared
// pointer's copies would), moves do not.
class TextRef {
public:
    TextRef() noexcept = default;
    // Takes over one count already charged to `holders` for this text.
    TextRef(StoredText* text, TextHolders* holders) noexcept : text_(text), holders_(holders) {}
    TextRef(const TextRef& other) noexcept : text_(other.text_), holders_(other.holders_) {
        if (holders_) holders_->count.fetch_add(1, std::memory_order_relaxed);
    }
    TextRef(TextRef&& other) noexcept
        : text_(std::exchange(other.text_, nullptr)), holders_(std::exchange(other.holders_, nullptr)) {}
    TextRef& operator=(const TextRef& other) noexcept {
        TextRef(other).swap(*this);
        return *this;
    }
    TextRef& operator=(TextRef&& other) noexcept {
        TextRef(std::move(other)).swap(*this);
        return *this;
    }
    ~TextRef() { release(holders_, 1); }

    StoredText* get() const noexcept { return text_; }
    StoredText* operator->() const noexcept { return text_; }
    StoredText& operator*() const noexcept { return *text_; }
    // How many holders the allocation has (every text of a block counts its block's).
    std::size_t holderCount() const noexcept { return holders_ ? holders_->count.load(std::memory_order_acquire) : 0; }
    void swap(TextRef& other) noexcept {
        std::swap(text_, other.text_);
        std::swap(holders_, other.holders_);
    }
    // Gives back `counts` holds of the allocation, destroying it when they were the last. Holds that
    // are all there are cannot gain another meanwhile (a copy needs a holder), so they skip the
    // atomic subtraction.
    static void release(TextHolders* holders, std::size_t counts) noexcept {
        if (!holders) return;
        if (holders->count.load(std::memory_order_acquire) == counts ||
            holders->count.fetch_sub(counts, std::memory_order_acq_rel) == counts) {
            holders->destroy(holders);
        }
    }

private:
    StoredText* text_ = nullptr;
    TextHolders* holders_ = nullptr;
};

class Value {
    struct SharedTextTag {};

public:
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wshadow"  // scoped enumerators named like the payload types
    enum class Type : std::uint8_t { Nil, Null, Number, Decimal, String, Data, Date, Array, Dictionary, Object };
#pragma GCC diagnostic pop

    Value() = default;
    Value(const Value&) = default;
    Value(Value&&) noexcept = default;
    Value& operator=(const Value&) = default;
    Value& operator=(Value&&) noexcept = default;
    // A container this value owns alone is released by recursion for its first levels and level by
    // level below them, so that releasing a value nested deeper than the stack allows cannot overflow it.
    // A container value moved from (a vector's growth leaves one behind each time) holds no payload and
    // has nothing to release.
    ~Value() {
        if (const auto* array = std::get_if<std::shared_ptr<Array>>(&storage_)) {
            if (*array) releaseContainer();
        } else if (const auto* dictionary = std::get_if<std::shared_ptr<Dictionary>>(&storage_)) {
            if (*dictionary) releaseContainer();
        }
    }
    template <class T, std::enable_if_t<std::is_arithmetic_v<T>, int> = 0>
    Value(T v) : storage_(Number::of(v)) {}
    Value(Number n) : storage_(n) {}
    Value(Decimal d) : storage_(std::make_shared<const Decimal>(d)) {}
    Value(Date d) : storage_(d) {}
    Value(const char* s);
    Value(std::string s);
    Value(std::string_view s) : Value(std::string(s)) {}
    Value(Bytes b);
    Value(Array a);
    Value(Dictionary d);
    template <class T, std::enable_if_t<std::is_base_of_v<Object, T>, int> = 0>
    Value(const Ref<T>& object)
        : storage_(object ? Storage(std::static_pointer_cast<Object>(object)) : Storage()) {}
    // A value of the object that takes the given reference over (no count change).
    template <class T, std::enable_if_t<std::is_base_of_v<Object, T>, int> = 0>
    static Value adopting(Ref<T>&& object) {
        return Value(std::static_pointer_cast<Object>(std::move(object)), AdoptTag{});
    }

    // A text value taking over a counted payload (TextBlock's, or a reader's building its values in
    // place through detail/value_text.h). Only they can make the tag.
    Value(TextRef&& payload, SharedTextTag) noexcept : storage_(std::move(payload)) {}

    static Value null();
    static Value array(std::initializer_list<Value> items) { return Value(Array(items)); }
    static Value dictionary(std::initializer_list<std::pair<std::string, Value>> entries);
    static Value data(std::string_view bytes) { return Value(Bytes(bytes.begin(), bytes.end())); }

    Type type() const { return static_cast<Type>(storage_.index()); }
    bool isNil() const { return type() == Type::Nil; }
    bool isNull() const { return type() == Type::Null; }
    bool isNilOrNull() const { return isNil() || isNull(); }
    bool isNumber() const { return type() == Type::Number; }
    bool isDecimal() const { return type() == Type::Decimal; }
    // A number or a decimal.
    bool isNumeric() const { return isNumber() || isDecimal(); }
    bool isString() const { return type() == Type::String; }
    bool isData() const { return type() == Type::Data; }
    bool isDate() const { return type() == Type::Date; }
    bool isArray() const { return type() == Type::Array; }
    bool isDictionary() const { return type() == Type::Dictionary; }
    bool isObject() const { return type() == Type::Object; }
    explicit operator bool() const { return !isNil(); }

    // Typed access: the payload when the value has that type, otherwise an empty one (nullptr for the
    // pointer forms).
    const Number* number() const { return std::get_if<Number>(&storage_); }
    const Decimal* decimal() const {
        const auto* d = std::get_if<std::shared_ptr<const Decimal>>(&storage_);
        return d ? d->get() : nullptr;
    }
    const Date* date() const { return std::get_if<Date>(&storage_); }
    const std::string& string() const;
    const Bytes& bytes() const;
    const Array& array() const;
    const Dictionary& dictionary() const;
    const Ref<Object>& object() const;
    template <class T>
    Ref<T> objectAs() const {
        return std::dynamic_pointer_cast<T>(object());
    }

    // Mutable access; detaches a shared payload first. A value of another type becomes an empty one of
    // the requested type.
    std::string& mutableString();
    Bytes& mutableBytes();
    Array& mutableArray();
    Dictionary& mutableDictionary();

    // Dictionary lookup / array index; nil when absent, out of range or not a container.
    const Value& operator[](std::string_view key) const;
    const Value& operator[](const char* key) const { return (*this)[std::string_view(key)]; }
    const Value& operator[](std::size_t index) const;
    template <class I, std::enable_if_t<std::is_integral_v<I>, int> = 0>
    const Value& operator[](I index) const {
        if constexpr (std::is_signed_v<I>) {
            if (index < 0) return (*this)[std::numeric_limits<std::size_t>::max()];
        }
        return (*this)[static_cast<std::size_t>(index)];
    }
    // Element count of an array or dictionary, byte count of data, UTF-16 length of a string, else 0.
    std::size_t count() const;

    // Numeric readings of numbers, decimals and text (text read as the platform reads it: leading
    // blanks, optional sign, digits up to the first other character); 0 / false otherwise.
    std::int32_t intValue() const;
    std::int64_t longLongValue() const;
    std::uint64_t unsignedLongLongValue() const;
    double doubleValue() const;
    bool boolValue() const;
    // Text of a string, stringValue of a number or decimal, description otherwise.
    std::string stringValue() const;

    // Equality by value: numbers and decimals compare numerically across kinds, null equals only null,
    // objects by isEqual.
    bool isEqual(const Value& other) const;
    bool operator==(const Value& other) const { return isEqual(other); }
    std::size_t hash() const;
    // Ordering used by sorting: numbers/decimals numerically, strings by code points, dates by time;
    // values of different types order by type.
    int compare(const Value& other) const;

    // The platform's old-style description: strings bare at the top level and quoted where needed
    // inside collections, "{\n    key = value;\n}", "(\n    a,\n    b\n)", "<null>", "<0102 0304>".
    std::string description() const;
    void appendDescription(std::string& out, int indentLevel) const;

private:
    friend class TextBlock;
    friend struct ValueText;  // detail/value_text.h: the bytes of a text in place, for the layers' own readers
    struct AdoptTag {};
    Value(Ref<Object>&& object, AdoptTag) : storage_(object ? Storage(std::move(object)) : Storage()) {}
    void releaseContainer() noexcept;
    // The bytes of a text without making its std::string (empty for other types).
    std::string_view textView() const;

    struct NullTag {
        bool operator==(const NullTag&) const { return true; }
    };
    // Decimals are rare and wide (a 128-bit mantissa), so they live on the heap and a Value stays small.
    using Storage = std::variant<std::monostate, NullTag, Number, std::shared_ptr<const Decimal>, TextRef,
                                 std::shared_ptr<Bytes>, Date, std::shared_ptr<Array>, std::shared_ptr<Dictionary>,
                                 Ref<Object>>;
    Storage storage_;
};

// Texts made together in one allocation: the texts one reader makes at once (a fetched row's, a run
// of a JSON reply's). The allocation holds each text's bookkeeping and, up to `bytes` in all, the
// characters of texts too long to sit inside a std::string, so such a text needs no buffer of its own;
// the std::string that string() hands out is made from those characters on the first call. The
// allocation lives while any of its texts does, or the block; a change through mutableString() copies
// a text out first while the allocation is shared. The block counts its allocation's holders for all
// the texts it may make at once, so that making a text costs no atomic count of its own.
class TextBlock {
public:
    explicit TextBlock(std::size_t capacity, std::size_t bytes = 0) : capacity_(capacity), bytes_(bytes) {}
    // A block moved from is empty: it makes its texts in a new allocation.
    TextBlock(TextBlock&& other) noexcept
        : capacity_(other.capacity_),
          bytes_(other.bytes_),
          used_(std::exchange(other.used_, 0)),
          longBytes_(std::exchange(other.longBytes_, 0)),
          chunk_(std::exchange(other.chunk_, nullptr)) {}
    TextBlock& operator=(TextBlock&& other) noexcept {
        if (this != &other) {
            releaseChunk();
            capacity_ = other.capacity_;
            bytes_ = other.bytes_;
            used_ = std::exchange(other.used_, 0);
            longBytes_ = std::exchange(other.longBytes_, 0);
            chunk_ = std::exchange(other.chunk_, nullptr);
        }
        return *this;
    }
    TextBlock(const TextBlock&) = delete;
    TextBlock& operator=(const TextBlock&) = delete;
    ~TextBlock() { releaseChunk(); }

    bool full() const { return used_ == capacity_; }
    // How many more texts the block may make.
    std::size_t room() const { return capacity_ - used_; }
    // Characters of the texts made so far that are too long for a std::string's own room, kept in the
    // block or not: what a block for the same texts would want as its `bytes`.
    std::size_t longTextBytes() const { return longBytes_; }
    // Whether make(text) keeps the text's characters in the block: a place is left and a text too long
    // for a std::string's own room fits in the bytes left.
    bool holds(std::string_view text) const;
    // One of the block's texts; at most `capacity` of them.
    Value make(std::string_view text) { return Value(makePayload(text), Value::SharedTextTag{}); }
    // The same text's counted payload, for a reader that builds the value in place.
    TextRef makePayload(std::string_view text);

private:
    struct Chunk;
    // Gives back the block's own hold and those of the texts it did not make.
    void releaseChunk() noexcept;
    std::size_t capacity_;
    std::size_t bytes_;
    std::size_t used_ = 0;
    std::size_t longBytes_ = 0;
    Chunk* chunk_ = nullptr;
};

// String-keyed map kept in ascending key order (bytewise UTF-8, which is code-point order), so that
// iteration, descriptions and encodings are deterministic and equal maps print equal bytes.
class Dictionary {
public:
    using Entry = std::pair<std::string, Value>;
    using const_iterator = std::vector<Entry>::const_iterator;

    Dictionary() = default;
    Dictionary(std::initializer_list<Entry> entries);

    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    const_iterator begin() const { return entries_.begin(); }
    const_iterator end() const { return entries_.end(); }

    // The value under the key, nil when absent.
    const Value& get(std::string_view key) const;
    const Value* find(std::string_view key) const;
    bool contains(std::string_view key) const { return find(key) != nullptr; }
    // Setting nil removes the key.
    void set(std::string key, Value value);
    bool remove(std::string_view key);
    void clear() { entries_.clear(); }
    std::vector<std::string> keys() const;
    // Mutable reference to the value under key, inserting nil first when absent.
    Value& at(std::string key);

    // Bulk building for decoders: append in any order, then finish once (later duplicates win).
    void reserve(std::size_t n) { entries_.reserve(n); }
    void appendUnsorted(std::string key, Value value);
    void finishAppending();

    bool operator==(const Dictionary& other) const;

private:
    friend class Value;  // releases nested values without recursion
    friend class DictionaryOrderer;  // detail/dictionary_orderer.h: hands over entries it has ordered
    std::vector<Entry> entries_;
};

inline Value Value::dictionary(std::initializer_list<std::pair<std::string, Value>> entries) {
    return Value(Dictionary(entries));
}

// Readings of text as the platform reads numbers from strings.
std::int64_t readLongLong(std::string_view text);  // saturates at the 64-bit limits
std::int32_t readInt(std::string_view text);       // saturates at the 32-bit limits
double readDouble(std::string_view text);
// Y/y/T/t or a non-zero digit after blanks, an optional sign and zeros.
bool readBool(std::string_view text);

// UTF-16 helpers over UTF-8 text: length in UTF-16 code units, and the byte offset of a UTF-16 index
// (clamped to the text's end; an index inside a surrogate pair rounds down).
std::size_t utf16Length(std::string_view utf8);
std::size_t utf8OffsetOfUtf16Index(std::string_view utf8, std::size_t utf16Index);
std::u16string toUtf16(std::string_view utf8);
// Decodes the code point at utf8[i] and advances i past it. A malformed sequence gives U+FFFD,
// advances one byte and clears *valid (when given).
char32_t decodeUtf8(std::string_view utf8, std::size_t& i, bool* valid = nullptr);
// Well-formed UTF-8: every sequence decodes (no overlong form, surrogate or code point above U+10FFFF).
bool isWellFormedUtf8(std::string_view utf8);
void appendUtf8(char32_t codePoint, std::string& out);
std::string fromUtf16(std::u16string_view utf16);

}  // namespace lv

template <>
struct std::hash<lv::Value> {
    std::size_t operator()(const lv::Value& v) const { return v.hash(); }
};
