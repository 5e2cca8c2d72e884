// Our property-list codec: XML (read with expat, written in the platform's layout) and binary
// ("bplist00"), over Value. Keyed archives use it with UIDs held as PlistUID objects.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "platform/base/object.h"
#include "platform/base/value.h"
#include "platform/storage/property_list.h"

namespace lv::detail {

// Deepest nesting of arrays and dictionaries read or written.
inline constexpr int kMaxPlistDepth = 512;

// A keyed-archive object reference. Only the archive code puts these in a Value; the public reader
// shows them as {"CF$UID": n} and the public writer refuses them.
class PlistUID final : public Object {
public:
    explicit PlistUID(std::uint64_t uid) : value(uid) {}
    std::uint64_t value;
    bool isEqual(const Object& other) const override;
    std::size_t hash() const override { return static_cast<std::size_t>(value); }
};
Value makeUID(std::uint64_t value);
// The reference a PlistUID value (or its XML form {"CF$UID": n}) holds.
std::optional<std::uint64_t> uidOf(const Value& value);
// An archive key as stored: a key that starts with "$" gains a second "$", so that it never takes
// the place of the archive's own "$"-keys.
std::string escapedArchiveKey(std::string_view key);

struct PlistOptions {
    bool uidsAsObjects = false;  // reading: UIDs as PlistUID (else {"CF$UID": n}); writing: allowed
};

// Reads binary or XML property-list bytes; nil with a reason on failure.
Value readPlist(std::span<const std::uint8_t> data, PlistOptions options, PropertyListFormat* format,
                std::string* failure);
// Nothing with a reason when the value is not a property list of the format (or the format is not
// XML or binary: *invalid is then false).
std::optional<Bytes> writePlist(const Value& value, PropertyListFormat format, PlistOptions options,
                                std::string* failure, bool* invalid = nullptr);
// Whether writePlist would accept the value.
bool plistIsValid(const Value& value, PropertyListFormat format, PlistOptions options, std::string* failure);

// ---- shared by the XML and binary halves ----

// The integer or real a decimal is written as.
Value plistNumberOfDecimal(const Decimal& d);
// A valid UTF-8 string without NUL (both formats); for XML also without the characters XML 1.0 cannot
// hold (C0 controls other than tab, LF and CR; U+FFFE, U+FFFF).
bool plistStringIsValid(std::string_view text, bool forXml);
// Dates in XML: whole seconds, years 0001–9999.
std::optional<std::string> xmlDateText(double sinceReferenceDate);
std::optional<double> xmlDateSeconds(std::string_view text);

// Binary encodings, appended to `out`: a big-endian integer of n bytes, the bytes an integer needs (1,
// 2, 4 or 8), an integer object, a marker with its length, a number object and a text object (ASCII
// or UTF-16BE).
void putBigEndian(Bytes& out, std::uint64_t v, unsigned n);
unsigned bytesFor(std::uint64_t v);
void putInteger(Bytes& out, std::uint64_t v, bool negative);
void putMarker(Bytes& out, std::uint8_t type, std::uint64_t length);
void putNumber(Bytes& out, const Number& n);
void putText(Bytes& out, std::string_view text);

Value readXmlPlist(std::span<const std::uint8_t> data, std::string* failure);
Bytes writeXmlPlist(const Value& value);
Value readBinaryPlist(std::span<const std::uint8_t> data, bool uidsAsObjects, std::string* failure);
Bytes writeBinaryPlist(const Value& value);

}  // namespace lv::detail
