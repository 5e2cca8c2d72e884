// Text encodings: the platform's string encoding numbers, IANA charset names, conversion between UTF-8
// text and bytes of an encoding (strict or lossy), the byte-bounded cut, and ICU transforms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/base/value.h"

namespace lv {

// The platform's string encoding numbers (an unsigned integer in properties such as `stringEncoding`).
// Encodings that the platform numbers only in its lower-level table carry 0x80000000 | that number.
enum class StringEncoding : std::uint64_t {
    ASCII = 1,
    NEXTSTEP = 2,
    JapaneseEUC = 3,
    UTF8 = 4,
    ISOLatin1 = 5,
    Symbol = 6,
    NonLossyASCII = 7,
    ShiftJIS = 8,
    ISOLatin2 = 9,
    UTF16 = 10,  // "Unicode": a byte-order mark, then host (little-endian) order
    WindowsCP1251 = 11,
    WindowsCP1252 = 12,
    WindowsCP1253 = 13,
    WindowsCP1254 = 14,
    WindowsCP1250 = 15,
    ISO2022JP = 21,
    MacOSRoman = 30,
    UTF16BigEndian = 0x90000100,
    UTF16LittleEndian = 0x94000100,
    UTF32 = 0x8c000100,
    UTF32BigEndian = 0x98000100,
    UTF32LittleEndian = 0x9c000100,
    // Encodings from the lower-level table, as the platform numbers them (0x80000000 | number).
    ISOLatin3 = 0x80000203,
    ISOLatin4 = 0x80000204,
    ISOLatinCyrillic = 0x80000205,
    ISOLatinArabic = 0x80000206,
    ISOLatinGreek = 0x80000207,
    ISOLatinHebrew = 0x80000208,
    ISOLatin5 = 0x80000209,
    ISOLatin6 = 0x8000020A,
    ISOLatinThai = 0x8000020B,
    ISOLatin7 = 0x8000020D,
    ISOLatin8 = 0x8000020E,
    ISOLatin9 = 0x8000020F,
    ISOLatin10 = 0x80000210,
    WindowsHebrew = 0x80000505,
    WindowsArabic = 0x80000506,
    WindowsBalticRim = 0x80000507,
    WindowsVietnamese = 0x80000508,
    DOSThai = 0x8000041D,
    GBK = 0x80000631,
    GB18030 = 0x80000632,
    EUCCN = 0x80000930,  // GB 2312
    EUCKR = 0x80000940,
    KOI8R = 0x80000A02,
    Big5 = 0x80000A03,
    KOI8U = 0x80000A08,
};

namespace text {

// The encoding that an IANA charset name (or one of its
// aliases, any case: "utf-8", "UTF8", "latin1", "iso-8859-1", "us-ascii", "gb2312", "Shift_JIS")
// names, or nothing when the name is unknown or names an encoding this layer does not carry.
std::optional<StringEncoding> encodingFromIANACharsetName(std::string_view name);
// The IANA charset name of an encoding: "utf-8", "us-ascii", "iso-8859-1", "utf-16", ...
std::optional<std::string> ianaCharsetName(StringEncoding encoding);
// True for the encodings above (conversion is available).
bool isSupported(StringEncoding encoding);

// Lossless test: every character of the text has a form in the encoding. Malformed UTF-8
// converts to nothing.
bool canBeConverted(std::string_view text, StringEncoding encoding);
// The bytes of the text in the encoding, or nothing when a
// character has no form there and lossy conversion is off. Lossy conversion first tries the character
// without its accents ("é" → "e") and otherwise writes "?"; to UTF-8 and UTF-16/32 it drops the
// malformed bytes of the input instead. UTF16 and UTF32 start with a byte-order mark.
std::optional<Bytes> encode(std::string_view text, StringEncoding encoding, bool allowLossy = false);
// The text of the bytes, or nothing when the bytes are not valid in the encoding.
// UTF16/UTF32 honour a byte-order mark and read big-endian without one; a mark is not part of the text.
std::optional<std::string> decode(std::span<const std::uint8_t> bytes, StringEncoding encoding);
std::optional<std::string> decode(std::string_view bytes, StringEncoding encoding);

// Bounded conversion into a byte buffer: converts whole characters
// from the start of the text while they fit in maxLength bytes (a character is never cut, and a
// surrogate pair never split); stops at the first character that has no form in the encoding.
struct BoundedConversion {
    Bytes bytes;                    // the bytes written (usedLength = bytes.size())
    std::size_t consumedBytes = 0;  // UTF-8 bytes of the text that were converted
    bool converted = false;         // the platform's result: true when at least one character was converted
};
BoundedConversion getBytes(std::string_view text, StringEncoding encoding, std::size_t maxLength);
// The longest leading part of the text whose UTF-8 form has at most maxBytes bytes, cut at a character
// boundary. (A caller that wants the platform's "input unchanged when nothing converted" rule uses
// getBytes and its `converted` flag.)
std::string prefixFittingUtf8Bytes(std::string_view text, std::size_t maxBytes);

// String transform: the text through an ICU transform identifier (for example
// "Any-Latin; Latin-ASCII; [:^ASCII:] Remove"), forward, over the whole text; nothing when the
// identifier is not a valid transform.
std::optional<std::string> transform(std::string_view text, std::string_view transformId);
// The transform the HTTP request serializer applies to its User-Agent.
inline constexpr std::string_view kToAsciiTransform = "Any-Latin; Latin-ASCII; [:^ASCII:] Remove";

}  // namespace text
}  // namespace lv
