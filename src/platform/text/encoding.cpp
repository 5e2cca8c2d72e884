#include "platform/text/encoding.h"

#include <array>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <unicode/normalizer2.h>
#include <unicode/translit.h>
#include <unicode/uchar.h>
#include <unicode/ucnv.h>
#include <unicode/uniset.h>
#include <unicode/uset.h>

#include "platform/base/lifetime.h"
#include "platform/text/detail/icu_util.h"

namespace lv::text {

namespace {

using detail::appendUtf8;
using detail::decodeUtf8;

enum class Family : std::uint8_t { Icu, Utf8, Utf16, Utf32 };

struct EncodingInfo {
    StringEncoding encoding;
    const char* icuName;  // converter name (or alias) for ICU; also matched against IANA names
    const char* iana;     // the IANA charset name the platform reports
    Family family;
    bool bigEndian;
    bool byteOrderMark;  // written when encoding, read when decoding
};

constexpr std::array kEncodings = {
    EncodingInfo{StringEncoding::UTF8, "UTF-8", "utf-8", Family::Utf8, false, false},
    EncodingInfo{StringEncoding::ASCII, "US-ASCII", "us-ascii", Family::Icu, false, false},
    EncodingInfo{StringEncoding::ISOLatin1, "ISO-8859-1", "iso-8859-1", Family::Icu, false, false},
    EncodingInfo{StringEncoding::UTF16, "UTF-16", "utf-16", Family::Utf16, false, true},
    EncodingInfo{StringEncoding::UTF16BigEndian, "UTF-16BE", "utf-16be", Family::Utf16, true, false},
    EncodingInfo{StringEncoding::UTF16LittleEndian, "UTF-16LE", "utf-16le", Family::Utf16, false, false},
    EncodingInfo{StringEncoding::UTF32, "UTF-32", "utf-32", Family::Utf32, false, true},
    EncodingInfo{StringEncoding::UTF32BigEndian, "UTF-32BE", "utf-32be", Family::Utf32, true, false},
    EncodingInfo{StringEncoding::UTF32LittleEndian, "UTF-32LE", "utf-32le", Family::Utf32, false, false},
    EncodingInfo{StringEncoding::JapaneseEUC, "EUC-JP", "euc-jp", Family::Icu, false, false},
    EncodingInfo{StringEncoding::ShiftJIS, "Shift_JIS", "shift_jis", Family::Icu, false, false},
    EncodingInfo{StringEncoding::ISOLatin2, "ISO-8859-2", "iso-8859-2", Family::Icu, false, false},
    EncodingInfo{StringEncoding::WindowsCP1251, "windows-1251", "windows-1251", Family::Icu, false, false},
    EncodingInfo{StringEncoding::WindowsCP1252, "windows-1252", "windows-1252", Family::Icu, false, false},
    EncodingInfo{StringEncoding::WindowsCP1253, "windows-1253", "windows-1253", Family::Icu, false, false},
    EncodingInfo{StringEncoding::WindowsCP1254, "windows-1254", "windows-1254", Family::Icu, false, false},
    EncodingInfo{StringEncoding::WindowsCP1250, "windows-1250", "windows-1250", Family::Icu, false, false},
    EncodingInfo{StringEncoding::ISO2022JP, "ISO-2022-JP", "iso-2022-jp", Family::Icu, false, false},
    EncodingInfo{StringEncoding::MacOSRoman, "macintosh", "macintosh", Family::Icu, false, false},
    EncodingInfo{StringEncoding::ISOLatin3, "ISO-8859-3", "iso-8859-3", Family::Icu, false, false},
    EncodingInfo{StringEncoding::ISOLatin4, "ISO-8859-4", "iso-8859-4", Family::Icu, false, false},
    EncodingInfo{StringEncoding::ISOLatinCyrillic, "ISO-8859-5", "iso-8859-5", Family::Icu, false, false},
    EncodingInfo{StringEncoding::ISOLatinArabic, "ISO-8859-6", "iso-8859-6", Family::Icu, false, false},
    EncodingInfo{StringEncoding::ISOLatinGreek, "ISO-8859-7", "iso-8859-7", Family::Icu, false, false},
    EncodingInfo{StringEncoding::ISOLatinHebrew, "ISO-8859-8", "iso-8859-8", Family::Icu, false, false},
    EncodingInfo{StringEncoding::ISOLatin5, "ISO-8859-9", "iso-8859-9", Family::Icu, false, false},
    EncodingInfo{StringEncoding::ISOLatin6, "ISO-8859-10", "iso-8859-10", Family::Icu, false, false},
    EncodingInfo{StringEncoding::ISOLatinThai, "ISO-8859-11", "iso-8859-11", Family::Icu, false, false},
    EncodingInfo{StringEncoding::ISOLatin7, "ISO-8859-13", "iso-8859-13", Family::Icu, false, false},
    EncodingInfo{StringEncoding::ISOLatin8, "ISO-8859-14", "iso-8859-14", Family::Icu, false, false},
    EncodingInfo{StringEncoding::ISOLatin9, "ISO-8859-15", "iso-8859-15", Family::Icu, false, false},
    EncodingInfo{StringEncoding::ISOLatin10, "ISO-8859-16", "iso-8859-16", Family::Icu, false, false},
    EncodingInfo{StringEncoding::WindowsHebrew, "windows-1255", "windows-1255", Family::Icu, false, false},
    EncodingInfo{StringEncoding::WindowsArabic, "windows-1256", "windows-1256", Family::Icu, false, false},
    EncodingInfo{StringEncoding::WindowsBalticRim, "windows-1257", "windows-1257", Family::Icu, false, false},
    EncodingInfo{StringEncoding::WindowsVietnamese, "windows-1258", "windows-1258", Family::Icu, false, false},
    EncodingInfo{StringEncoding::DOSThai, "windows-874", "windows-874", Family::Icu, false, false},
    EncodingInfo{StringEncoding::GBK, "GBK", "gbk", Family::Icu, false, false},
    EncodingInfo{StringEncoding::GB18030, "GB18030", "gb18030", Family::Icu, false, false},
    EncodingInfo{StringEncoding::EUCCN, "GB2312", "gb2312", Family::Icu, false, false},
    EncodingInfo{StringEncoding::EUCKR, "EUC-KR", "euc-kr", Family::Icu, false, false},
    EncodingInfo{StringEncoding::KOI8R, "KOI8-R", "koi8-r", Family::Icu, false, false},
    EncodingInfo{StringEncoding::Big5, "Big5", "big5", Family::Icu, false, false},
    EncodingInfo{StringEncoding::KOI8U, "KOI8-U", "koi8-u", Family::Icu, false, false},
};

const EncodingInfo* infoFor(StringEncoding encoding) {
    for (const auto& info : kEncodings) {
        if (info.encoding == encoding) return &info;
    }
    return nullptr;
}

// ICU's internal converter name for a name or alias ("" when ICU does not know it).
std::string icuConverterName(const char* name) {
    UErrorCode status = U_ZERO_ERROR;
    const char* canonical = ucnv_getAlias(name, 0, &status);
    if (U_FAILURE(status) || !canonical) return std::string();
    return canonical;
}

struct ConverterFacts {
    std::string internalName;      // ICU's internal name, for matching charset names
    icu::UnicodeSet roundTrip;      // characters with a lossless form (frozen; read-only)
    bool available = false;
};

// Facts per table entry, built once, read-only afterwards (so safe from any thread).
const std::vector<ConverterFacts>& converterFacts() {
    static const auto& facts = *new std::vector<ConverterFacts>([] {
        std::vector<ConverterFacts> all(kEncodings.size());
        for (std::size_t i = 0; i < kEncodings.size(); ++i) {
            const EncodingInfo& info = kEncodings[i];
            ConverterFacts& f = all[i];
            f.internalName = icuConverterName(info.icuName);
            if (info.family != Family::Icu) {
                f.available = true;
                continue;
            }
            UErrorCode status = U_ZERO_ERROR;
            UConverter* conv = ucnv_open(info.icuName, &status);
            if (U_FAILURE(status) || !conv) continue;
            ucnv_getUnicodeSet(conv, f.roundTrip.toUSet(), UCNV_ROUNDTRIP_SET, &status);
            ucnv_close(conv);
            if (U_FAILURE(status)) continue;
            f.roundTrip.freeze();
            f.available = true;
        }
        return all;
    }());
    return facts;
}

const ConverterFacts* factsFor(const EncodingInfo* info) {
    if (!info) return nullptr;
    const auto& all = converterFacts();
    const auto& f = all[static_cast<std::size_t>(info - kEncodings.data())];
    return f.available ? &f : nullptr;
}

bool isScalar(char32_t c) { return c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF); }

bool hasForm(const EncodingInfo& info, const ConverterFacts& facts, char32_t c) {
    if (info.family != Family::Icu) return isScalar(c);
    return facts.roundTrip.contains(static_cast<UChar32>(c));
}

// The lossy stand-in for a character without a form: the character without its accents when that has
// a form, else "?".
std::u32string lossyReplacement(const EncodingInfo& info, const ConverterFacts& facts, char32_t c) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
    if (U_SUCCESS(status)) {
        icu::UnicodeString decomposed;
        if (nfd->getDecomposition(static_cast<UChar32>(c), decomposed)) {
            std::u32string base;
            bool ok = true;
            for (std::int32_t i = 0; i < decomposed.length();) {
                const UChar32 d = decomposed.char32At(i);
                i += U16_LENGTH(d);
                if (u_charType(d) == U_NON_SPACING_MARK) continue;
                if (!hasForm(info, facts, static_cast<char32_t>(d))) {
                    ok = false;
                    break;
                }
                base.push_back(static_cast<char32_t>(d));
            }
            if (ok && !base.empty()) return base;
        }
    }
    return U"?";
}

void putUnit16(Bytes& out, std::uint16_t u, bool bigEndian) {
    if (bigEndian) {
        out.push_back(static_cast<std::uint8_t>(u >> 8));
        out.push_back(static_cast<std::uint8_t>(u & 0xFF));
    } else {
        out.push_back(static_cast<std::uint8_t>(u & 0xFF));
        out.push_back(static_cast<std::uint8_t>(u >> 8));
    }
}

void putUnit32(Bytes& out, std::uint32_t u, bool bigEndian) {
    for (int k = 0; k < 4; ++k) {
        const int shift = bigEndian ? 24 - 8 * k : 8 * k;
        out.push_back(static_cast<std::uint8_t>((u >> shift) & 0xFF));
    }
}

// Appends one scalar value in a Unicode encoding form.
void putScalar(const EncodingInfo& info, char32_t c, Bytes& out) {
    switch (info.family) {
        case Family::Utf8: {
            std::string s;
            appendUtf8(c, s);
            out.insert(out.end(), s.begin(), s.end());
            break;
        }
        case Family::Utf16:
            if (c >= 0x10000) {
                const char32_t v = c - 0x10000;
                putUnit16(out, static_cast<std::uint16_t>(0xD800 + (v >> 10)), info.bigEndian);
                putUnit16(out, static_cast<std::uint16_t>(0xDC00 + (v & 0x3FF)), info.bigEndian);
            } else {
                putUnit16(out, static_cast<std::uint16_t>(c), info.bigEndian);
            }
            break;
        case Family::Utf32: putUnit32(out, static_cast<std::uint32_t>(c), info.bigEndian); break;
        case Family::Icu: break;
    }
}

// Converts UTF-16 text to bytes with an ICU converter; nothing when a character does not convert.
std::optional<Bytes> icuFromUnicode(const EncodingInfo& info, const icu::UnicodeString& text) {
    UErrorCode status = U_ZERO_ERROR;
    UConverter* conv = ucnv_open(info.icuName, &status);
    if (U_FAILURE(status) || !conv) return std::nullopt;
    ucnv_setFromUCallBack(conv, UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
    const std::int32_t capacity = text.length() * ucnv_getMaxCharSize(conv) + 16;
    Bytes out(static_cast<std::size_t>(capacity));
    const std::int32_t n = ucnv_fromUChars(conv, reinterpret_cast<char*>(out.data()), capacity, text.getBuffer(),
                                           text.length(), &status);
    ucnv_close(conv);
    if (U_FAILURE(status)) return std::nullopt;
    out.resize(static_cast<std::size_t>(n));
    return out;
}

}  // namespace

std::optional<StringEncoding> encodingFromIANACharsetName(std::string_view name) {
    if (name.empty() || name.size() > 64) return std::nullopt;
    std::string trimmed(name);
    // Charset parameters may arrive quoted.
    if (trimmed.size() >= 2 && trimmed.front() == '"' && trimmed.back() == '"') trimmed = trimmed.substr(1, trimmed.size() - 2);
    const std::string internal = icuConverterName(trimmed.c_str());
    if (internal.empty()) return std::nullopt;
    const auto& facts = converterFacts();
    for (std::size_t i = 0; i < kEncodings.size(); ++i) {
        if (facts[i].available && facts[i].internalName == internal) return kEncodings[i].encoding;
    }
    return std::nullopt;
}

std::optional<std::string> ianaCharsetName(StringEncoding encoding) {
    const EncodingInfo* info = infoFor(encoding);
    if (!info) return std::nullopt;
    return std::string(info->iana);
}

bool isSupported(StringEncoding encoding) { return factsFor(infoFor(encoding)) != nullptr; }

bool canBeConverted(std::string_view text, StringEncoding encoding) {
    const EncodingInfo* info = infoFor(encoding);
    const ConverterFacts* facts = factsFor(info);
    if (!facts) return false;
    if (info->family == Family::Utf8 || info->family == Family::Utf16 || info->family == Family::Utf32) {
        return isWellFormedUtf8(text);
    }
    if (encoding == StringEncoding::ASCII) return detail::isAscii(text);
    for (std::size_t i = 0; i < text.size();) {
        bool valid = true;
        const char32_t c = decodeUtf8(text, i, &valid);
        if (!valid || !hasForm(*info, *facts, c)) return false;
    }
    return true;
}

std::optional<Bytes> encode(std::string_view text, StringEncoding encoding, bool allowLossy) {
    const EncodingInfo* info = infoFor(encoding);
    const ConverterFacts* facts = factsFor(info);
    if (!facts) return std::nullopt;
    if (info->family == Family::Utf8 && isWellFormedUtf8(text)) return Bytes(text.begin(), text.end());
    if (info->family != Family::Icu) {
        Bytes out;
        if (info->byteOrderMark) putScalar(*info, 0xFEFF, out);
        for (std::size_t i = 0; i < text.size();) {
            bool valid = true;
            const char32_t c = decodeUtf8(text, i, &valid);
            if (!valid) {
                if (!allowLossy) return std::nullopt;
                continue;  // malformed input bytes are dropped
            }
            putScalar(*info, c, out);
        }
        return out;
    }
    // Other encodings: replace (lossy) or refuse characters without a form, then convert in one pass
    // (stateful encodings such as ISO-2022-JP need the whole text).
    icu::UnicodeString prepared;
    for (std::size_t i = 0; i < text.size();) {
        bool valid = true;
        const char32_t c = decodeUtf8(text, i, &valid);
        if (!valid) {
            if (!allowLossy) return std::nullopt;
            prepared.append(static_cast<UChar>('?'));
            continue;
        }
        if (hasForm(*info, *facts, c)) {
            prepared.append(static_cast<UChar32>(c));
        } else if (allowLossy) {
            for (const char32_t r : lossyReplacement(*info, *facts, c)) prepared.append(static_cast<UChar32>(r));
        } else {
            return std::nullopt;
        }
    }
    return icuFromUnicode(*info, prepared);
}

namespace {

std::optional<std::string> decodeUtf16(std::span<const std::uint8_t> bytes, const EncodingInfo& info) {
    if (bytes.size() % 2 != 0) return std::nullopt;
    bool bigEndian = info.bigEndian;
    std::size_t i = 0;
    if (info.byteOrderMark && bytes.size() >= 2) {
        if (bytes[0] == 0xFE && bytes[1] == 0xFF) {
            bigEndian = true;
            i = 2;
        } else if (bytes[0] == 0xFF && bytes[1] == 0xFE) {
            bigEndian = false;
            i = 2;
        } else {
            bigEndian = true;
        }
    } else if (info.byteOrderMark) {
        bigEndian = true;
    }
    const auto unit = [&](std::size_t k) -> char32_t {
        return bigEndian ? static_cast<char32_t>((bytes[k] << 8) | bytes[k + 1])
                         : static_cast<char32_t>((bytes[k + 1] << 8) | bytes[k]);
    };
    std::string out;
    out.reserve(bytes.size());
    for (; i < bytes.size(); i += 2) {
        char32_t u = unit(i);
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (i + 4 > bytes.size()) return std::nullopt;
            const char32_t low = unit(i + 2);
            if (low < 0xDC00 || low > 0xDFFF) return std::nullopt;
            u = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
            i += 2;
        } else if (u >= 0xDC00 && u <= 0xDFFF) {
            return std::nullopt;
        }
        appendUtf8(u, out);
    }
    return out;
}

std::optional<std::string> decodeUtf32(std::span<const std::uint8_t> bytes, const EncodingInfo& info) {
    if (bytes.size() % 4 != 0) return std::nullopt;
    bool bigEndian = info.bigEndian;
    std::size_t i = 0;
    if (info.byteOrderMark) {
        bigEndian = true;
        if (bytes.size() >= 4 && bytes[0] == 0 && bytes[1] == 0 && bytes[2] == 0xFE && bytes[3] == 0xFF) {
            i = 4;
        } else if (bytes.size() >= 4 && bytes[0] == 0xFF && bytes[1] == 0xFE && bytes[2] == 0 && bytes[3] == 0) {
            bigEndian = false;
            i = 4;
        }
    }
    std::string out;
    for (; i < bytes.size(); i += 4) {
        char32_t u = 0;
        for (int k = 0; k < 4; ++k) {
            const std::size_t at = bigEndian ? i + static_cast<std::size_t>(k) : i + 3 - static_cast<std::size_t>(k);
            u = (u << 8) | bytes[at];
        }
        if (!isScalar(u)) return std::nullopt;
        appendUtf8(u, out);
    }
    return out;
}

}  // namespace

std::optional<std::string> decode(std::span<const std::uint8_t> bytes, StringEncoding encoding) {
    const EncodingInfo* info = infoFor(encoding);
    const ConverterFacts* facts = factsFor(info);
    if (!facts) return std::nullopt;
    switch (info->family) {
        case Family::Utf8: {
            std::string_view view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
            if (!isWellFormedUtf8(view)) return std::nullopt;
            return std::string(view);
        }
        case Family::Utf16: return decodeUtf16(bytes, *info);
        case Family::Utf32: return decodeUtf32(bytes, *info);
        case Family::Icu: break;
    }
    if (encoding == StringEncoding::ASCII) {
        std::string_view view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        if (!detail::isAscii(view)) return std::nullopt;
        return std::string(view);
    }
    UErrorCode status = U_ZERO_ERROR;
    UConverter* conv = ucnv_open(info->icuName, &status);
    if (U_FAILURE(status) || !conv) return std::nullopt;
    ucnv_setToUCallBack(conv, UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
    icu::UnicodeString text;
    const std::int32_t capacity = static_cast<std::int32_t>(bytes.size()) * 2 + 2;
    UChar* buffer = text.getBuffer(capacity);
    const std::int32_t n = ucnv_toUChars(conv, buffer, capacity, reinterpret_cast<const char*>(bytes.data()),
                                         static_cast<std::int32_t>(bytes.size()), &status);
    text.releaseBuffer(U_SUCCESS(status) ? n : 0);
    ucnv_close(conv);
    if (U_FAILURE(status)) return std::nullopt;
    return detail::fromIcu(text);
}

std::optional<std::string> decode(std::string_view bytes, StringEncoding encoding) {
    return decode(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()),
                  encoding);
}

BoundedConversion getBytes(std::string_view text, StringEncoding encoding, std::size_t maxLength) {
    BoundedConversion result;
    const EncodingInfo* info = infoFor(encoding);
    const ConverterFacts* facts = factsFor(info);
    if (!facts) return result;
    // Bounded conversion writes no byte-order mark: UTF16/UTF32 write host (little-endian) order.
    EncodingInfo plain = *info;
    plain.byteOrderMark = false;
    for (std::size_t i = 0; i < text.size();) {
        bool valid = true;
        const char32_t c = decodeUtf8(text, i, &valid);
        if (!valid || !hasForm(plain, *facts, c)) break;
        Bytes encoded;
        if (plain.family == Family::Icu) {
            icu::UnicodeString character;
            character.append(static_cast<UChar32>(c));
            auto converted = icuFromUnicode(plain, character);
            if (!converted) break;
            encoded = std::move(*converted);
        } else {
            putScalar(plain, c, encoded);
        }
        if (result.bytes.size() + encoded.size() > maxLength) break;
        result.bytes.insert(result.bytes.end(), encoded.begin(), encoded.end());
        result.consumedBytes = i;
        result.converted = true;
    }
    return result;
}

std::string prefixFittingUtf8Bytes(std::string_view text, std::size_t maxBytes) {
    std::size_t end = 0;
    for (std::size_t i = 0; i < text.size();) {
        decodeUtf8(text, i);
        if (i > maxBytes) break;
        end = i;
    }
    return std::string(text.substr(0, end));
}

std::optional<std::string> transform(std::string_view text, std::string_view transformId) {
    // Transliterators are not shared between threads: one per identifier per thread.
    static PerThread<std::map<std::string, std::unique_ptr<icu::Transliterator>, std::less<>>> caches;
    auto& cache = caches.get();
    auto it = cache.find(transformId);
    if (it == cache.end()) {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::Transliterator> t(icu::Transliterator::createInstance(
            icu::UnicodeString::fromUTF8(icu::StringPiece(transformId.data(), static_cast<std::int32_t>(transformId.size()))),
            UTRANS_FORWARD, status));
        if (U_FAILURE(status) || !t) return std::nullopt;
        if (cache.size() > 16) cache.clear();
        it = cache.emplace(std::string(transformId), std::move(t)).first;
    }
    icu::UnicodeString s = detail::toIcu(text);
    it->second->transliterate(s);
    return detail::fromIcu(s);
}

}  // namespace lv::text
