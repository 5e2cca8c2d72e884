#include "platform/storage/json.h"

// The reader's own instance of RapidJSON, in a namespace of its own: it is built with its SSE2 scans on
// x86-64 (each text's end found 16 bytes at a time once the input is known to be well-formed), which
// changes its classes, so they must not be the ones another file of the same program builds without.
#define RAPIDJSON_NAMESPACE lv_rapidjson
#if defined(__x86_64__) && !defined(RAPIDJSON_SSE2)
#define RAPIDJSON_SSE2
#endif
#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

#include "platform/base/detail/dictionary_orderer.h"
#include "platform/base/detail/value_text.h"
#include "platform/base/format.h"
#include "platform/storage/detail/value_access.h"
#include "platform/storage/property_list.h"

namespace lv {

namespace {

// Deepest nesting of arrays and objects read or written (deeper input is refused rather than risking
// the stack of later recursive walks over the value; the writer recurses too). The parser recurses as
// well, and the builder refuses a container past this depth before the parser goes into it.
constexpr int kMaxJSONDepth = 512;

// The parser stops after the value and what follows is checked here (the parser takes a NUL byte for
// the end of its input). Numbers come as their text and are converted here (the parser's own
// conversion reads a zero significand with a large exponent as garbage). It reads a private copy of
// the text and decodes strings in place there, which saves copying each one through its own stack.
constexpr unsigned kParseFlags = lv_rapidjson::kParseValidateEncodingFlag | lv_rapidjson::kParseNumbersAsStringsFlag |
                                 lv_rapidjson::kParseStopWhenDoneFlag |
                                 lv_rapidjson::kParseInsituFlag;
// The same without the parser's UTF-8 check of each text, for input already known to be well-formed
// UTF-8 as a whole: every text of it is then well-formed too (a text ends at an ASCII quote, and no
// byte of a multi-byte sequence is ASCII), so the check could find nothing.
constexpr unsigned kParseFlagsWellFormed = kParseFlags & ~static_cast<unsigned>(lv_rapidjson::kParseValidateEncodingFlag);
// NUL bytes after the copy: the end for the parser, room for the up to three bytes its UTF-8 check
// reads past a cut-off sequence, for the 16 bytes read at once at any short text's start, and for the
// aligned 16 bytes its text scan reads around where a text stops, at the latest the first NUL after
// the copy (the allocation is 16-byte aligned, so those bytes lie within the padding).
constexpr std::size_t kCopyPadding = 16;

bool isJSONWhiteSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Whether a real that std::from_chars found out of range is too large rather than too small: the
// power of ten of its first significant digit is not negative. The text is a valid JSON number.
// Whether the double read from a JSON number is the number its text writes: always for 15
// significant digits or fewer (within the double's normal range), otherwise when the shortest text of
// the double is the same decimal.
bool doubleKeepsDigits(std::string_view text, double d) {
    std::size_t significant = 0;
    bool leading = true;
    std::size_t trailingZeros = 0;
    std::size_t i = text.front() == '-' ? 1 : 0;
    for (; i < text.size() && text[i] != 'e' && text[i] != 'E'; ++i) {
        const char c = text[i];
        if (c == '.') continue;
        if (leading && c == '0') continue;
        leading = false;
        ++significant;
        trailingZeros = c == '0' ? trailingZeros + 1 : 0;
    }
    const double magnitude = d < 0 ? -d : d;
    if (significant - trailingZeros <= 15 && (magnitude == 0 || (magnitude > 1e-300 && magnitude < 1e300))) return true;
    const std::optional<Decimal> written = Decimal::parse(text);
    return !written || *written == Decimal::fromDouble(d);
}

bool magnitudeAtLeastOne(std::string_view text) {
    auto isDigit = [&](std::size_t at) { return at < text.size() && text[at] >= '0' && text[at] <= '9'; };
    std::size_t i = text.front() == '-' ? 1 : 0;
    long power = -1;  // of the first significant digit
    bool significant = false;
    for (; isDigit(i); ++i) {
        if (significant || text[i] != '0') {
            significant = true;
            ++power;
        }
    }
    if (i < text.size() && text[i] == '.') {
        for (++i; isDigit(i); ++i) {
            if (text[i] != '0') significant = true;
            if (!significant) --power;
        }
    }
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        const bool negative = text[++i] == '-';
        if (!isDigit(i)) ++i;
        long exponent = 0;
        for (; isDigit(i) && exponent < 1'000'000; ++i) exponent = exponent * 10 + (text[i] - '0');
        power += negative ? -exponent : exponent;
    }
    return power >= 0;
}

// The parser validates raw UTF-8 (which refuses encoded surrogates) but turns a \u escape of a lone
// low surrogate into one. Such a character is encoded as ED A0..BF, so it can only come from an escape.
bool holdsSurrogate(const char* s, std::size_t length) {
    const char* end = s + length;
    while (const void* found = std::memchr(s, 0xED, static_cast<std::size_t>(end - s))) {
        s = static_cast<const char*>(found) + 1;
        if (s < end && static_cast<unsigned char>(*s) >= 0xA0) return true;
    }
    return false;
}

Ref<Error> jsonError(std::int64_t code, std::string debugDescription) {
    return Error::make(std::string(kCocoaErrorDomain), code,
                       {{std::string(kDebugDescriptionErrorKey), Value(std::move(debugDescription))}});
}

// What the pass over the input tells before parsing.
struct InputScan {
    // A backslash before a 'u' somewhere: the text may hold a \u escape. An escaped backslash before a
    // 'u' answers yes as well, which costs only the check of each string for a surrogate.
    bool mayHoldUnicodeEscape = false;
    // A byte 0x1A..0x1F somewhere. The parser's 16-byte scan of a string stops at the other control
    // characters but not at these (it compares with 0x19), so input that holds one is parsed with the
    // byte-by-byte check, which refuses it where it stands.
    bool holdsLateControl = false;
    // The whole input is well-formed UTF-8.
    bool wellFormed = true;
};

// Scans the n bytes at s for the escapes and control characters above; `readable` (n or n + 1) says
// whether the byte after them may be read, for an escape that straddles the end. The bytes are looked
// at 64 at a time: the escapes writers put in every URL ("\/") would otherwise stop a search for
// backslashes thousands of times in a reply. True when every byte is ASCII (then they are well-formed
// UTF-8 without a further look).
bool scanPiece(const char* s, std::size_t n, std::size_t readable, InputScan& scan) {
    using Bytes16 = std::uint8_t __attribute__((vector_size(16)));
    auto load = [s](std::size_t at) {
        Bytes16 bytes;
        std::memcpy(&bytes, s + at, sizeof bytes);
        return bytes;
    };
    auto escapesAt = [&](std::size_t at) { return (load(at) == '\\') & (load(at + 1) == 'u'); };
    auto lateControlsAt = [&](std::size_t at) { return static_cast<Bytes16>(load(at) - 0x1A) <= 5; };
    auto any = [](auto found) {
        std::uint64_t halves[2];
        static_assert(sizeof found == sizeof halves);
        std::memcpy(halves, &found, sizeof halves);
        return (halves[0] | halves[1]) != 0;
    };
    Bytes16 bytesOred{};
    std::size_t i = 0;
    for (; i + 64 <= n && i + 65 <= readable; i += 64) {
        if (!scan.mayHoldUnicodeEscape) {
            scan.mayHoldUnicodeEscape = any(escapesAt(i) | escapesAt(i + 16) | escapesAt(i + 32) | escapesAt(i + 48));
        }
        if (!scan.holdsLateControl) {
            scan.holdsLateControl =
                any(lateControlsAt(i) | lateControlsAt(i + 16) | lateControlsAt(i + 32) | lateControlsAt(i + 48));
        }
        bytesOred |= load(i) | load(i + 16) | load(i + 32) | load(i + 48);
    }
    std::uint8_t tailOred = 0;
    for (; i < n; ++i) {
        if (s[i] == '\\' && i + 1 < readable && s[i + 1] == 'u') scan.mayHoldUnicodeEscape = true;
        if (static_cast<std::uint8_t>(s[i] - 0x1A) <= 5) scan.holdsLateControl = true;
        tailOred |= static_cast<std::uint8_t>(s[i]);
    }
    return !any(bytesOred & 0x80) && tailOred < 0x80;
}

// Copies the input for the parser and scans it in the same pass, a piece at a time, so that each piece
// is read from memory once and then looked at again (for the escapes, for UTF-8) while it is at hand.
InputScan copyAndScan(const char* input, std::size_t length, char* copy) {
    constexpr std::size_t kPiece = 8192;
    InputScan scan;
    for (std::size_t at = 0; at < length;) {
        std::size_t end = std::min(length, at + kPiece);
        // A piece ends before a byte that is not a continuation byte (backing up at most three), so
        // the UTF-8 of the whole is well-formed exactly when that of every piece is: no sequence is
        // split, and one cut short is still cut short within its piece.
        for (int back = 0; back < 3 && end < length && end - 1 > at &&
                           (static_cast<std::uint8_t>(input[end]) & 0xC0) == 0x80;
             ++back) {
            --end;
        }
        const std::size_t n = end - at;
        std::memcpy(copy + at, input + at, n);
        const bool ascii = scanPiece(input + at, n, end < length ? n + 1 : n, scan);
        if (scan.wellFormed && !ascii) scan.wellFormed = isWellFormedUtf8(std::string_view(input + at, n));
        at = end;
    }
    return scan;
}

// SAX handler that builds the Value directly. Each open container gathers its members in a vector of
// its own, one per nesting depth, which becomes the container's storage when its closing bracket
// comes: no member is moved twice. The vector is made with room for as many members as the last
// container closed at that depth held (the items of a list are mostly alike), and one left with much
// spare room is trimmed.
class ValueBuilder {
public:
    // Text blocks are sized by the input: a text takes at least its two quotes, so a small input gets a
    // small block, and a large one blocks of kMaxTextsPerBlock texts.
    ValueBuilder(bool mayHoldSurrogates, std::size_t inputLength)
        : mayHoldSurrogates_(mayHoldSurrogates),
          textsPerBlock_(std::clamp<std::size_t>(inputLength / 32, 1, kMaxTextsPerBlock)),
          textBytesPerBlock_(std::min(inputLength, textsPerBlock_ * kTextBytesPerText)) {}

    bool Null() { return push(Value::null()); }
    bool Bool(bool b) { return push(b); }
    bool Int(int i) { return push(static_cast<std::int64_t>(i)); }
    bool Uint(unsigned u) { return push(static_cast<std::int64_t>(u)); }
    bool Int64(std::int64_t i) { return push(i); }
    bool Uint64(std::uint64_t u) {
        if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return push(static_cast<std::int64_t>(u));
        }
        return push(u);
    }
    bool Double(double d) { return push(d); }
    // Integers within 64 bits stay integers (unsigned above the signed range); an integer past them is
    // a decimal. Other numbers are doubles, or decimals when a double would not keep their digits.
    bool RawNumber(const char* s, lv_rapidjson::SizeType length, bool) {
        const char* end = s + length;
        if (std::optional<bool> pushed = pushShortNumber(s, end)) return *pushed;
        const std::string_view text(s, length);
        const bool integer = std::find_if(s, end, [](char c) { return c == '.' || c == 'e' || c == 'E'; }) == end;
        if (integer) {
            if (*s == '-') {
                std::int64_t i = 0;
                // "-0" keeps its sign as a double, so that it is written back as it was read.
                if (std::from_chars(s, end, i).ec == std::errc()) return i == 0 ? push(-0.0) : Int64(i);
            } else {
                std::uint64_t u = 0;
                if (std::from_chars(s, end, u).ec == std::errc()) return Uint64(u);
            }
        }
        double d = 0;
        const std::from_chars_result r = std::from_chars(s, end, d);
        if (r.ec == std::errc::result_out_of_range) {
            if (magnitudeAtLeastOne(text)) return refuseNumber();
            d = *s == '-' ? -0.0 : 0.0;
        } else if (r.ec != std::errc() || r.ptr != end) {
            return refuseNumber();
        } else if (integer || !doubleKeepsDigits(text, d)) {
            if (const std::optional<Decimal> decimal = Decimal::parse(text)) return push(*decimal);
        }
        return push(d);
    }
    // Most numbers are read here without the full conversion: integers of up to 18 digits (within 64
    // bits whatever they are), and reals of up to 15 digits whose power of ten is within 22 of them.
    // Such a real's digits make a double exactly, so one multiplication or division by an exact power
    // of ten rounds as the full conversion does, and the double keeps its digits. Others: nothing.
    std::optional<bool> pushShortNumber(const char* s, const char* end) {
        const bool negative = *s == '-';
        const char* p = s + (negative ? 1 : 0);
        std::uint64_t digits = 0;
        int count = 0;
        auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
        for (; p < end && isDigit(*p); ++p, ++count) digits = digits * 10 + static_cast<unsigned>(*p - '0');
        if (p == end) {
            if (count > 18) return std::nullopt;
            const auto integer = static_cast<std::int64_t>(digits);
            // "-0" keeps its sign as a double, so that it is written back as it was read.
            if (negative) return integer == 0 ? push(-0.0) : push(-integer);
            return push(integer);
        }
        int exponent = 0;
        if (*p == '.') {
            for (++p; p < end && isDigit(*p); ++p, ++count, --exponent) {
                digits = digits * 10 + static_cast<unsigned>(*p - '0');
            }
        }
        if (p < end) {  // the exponent: 'e' or 'E', an optional sign, digits
            ++p;
            const bool negativeExponent = *p == '-';
            if (*p == '-' || *p == '+') ++p;
            if (end - p > 3) return std::nullopt;
            int written = 0;
            for (; p < end; ++p) written = written * 10 + (*p - '0');
            exponent += negativeExponent ? -written : written;
        }
        if (count > 15 || exponent < -22 || exponent > 22) return std::nullopt;
        static constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                                  1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                                  1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
        double d = static_cast<double>(digits);
        d = exponent < 0 ? d / kPowersOfTen[-exponent] : d * kPowersOfTen[exponent];
        return push(negative ? -d : d);
    }

    bool String(const char* s, lv_rapidjson::SizeType length, bool) {
        if (mayHoldSurrogates_ && holdsSurrogate(s, length)) return refuseSurrogate();
        const std::string_view text(s, length);
        if (length > kShareableLength) return push(newText(text), ValueText::sharedTextTag());
        // Short texts that repeat within a reply (categories, tags, states) share one payload; values
        // copy their payload before a write, so the sharing cannot be seen. The text's bytes are taken
        // as two words, zero past its end (the parsed copy has room to read them at once).
        std::uint64_t words[2];
        std::memcpy(words, s, sizeof words);
        words[0] &= kLeadingBytes[length][0];
        words[1] &= kLeadingBytes[length][1];
        const std::uint64_t mixed = (words[0] ^ (words[1] * 0x9E3779B97F4A7C15u) ^ length) * 0xFF51AFD7ED558CCDu;
        RecentText& recent = recentShortTexts_[(mixed >> 58) % kShortTextSlots];
        if (recent.words[0] != words[0] || recent.words[1] != words[1] || recent.size != length) {
            recent.value = Value(newText(text), ValueText::sharedTextTag());
            recent.size = length;
            recent.words[0] = words[0];
            recent.words[1] = words[1];
        }
        return push(recent.value);
    }
    bool Key(const char* s, lv_rapidjson::SizeType length, bool) {
        if (mayHoldSurrogates_ && holdsSurrogate(s, length)) return refuseSurrogate();
        Level& open = level();
        open.key = std::string_view(s, length);
        if (open.placing) {
            if (open.placed < open.members.size() && open.orderer.sameKeyAt(open.placed, open.key)) {
                open.place = open.orderer.placeOf(open.placed);
            } else {
                stopPlacing(open);
            }
        }
        return true;
    }
    bool StartObject() { return enter(true); }
    bool StartArray() { return enter(false); }
    bool EndObject(lv_rapidjson::SizeType) {
        Level& open = level();
        // Every member made at its place: the members are in key order as they stand.
        const bool placedAll = open.placing && open.placed == open.members.size();
        if (open.placing && !placedAll) stopPlacing(open);
        open.placing = false;
        std::vector<Dictionary::Entry> members = std::move(open.members);
        open.members.clear();
        trim(members, open.expected);
        --depth_;
        return push(placedAll ? open.orderer.makePlaced(std::move(members)) : open.orderer.make(std::move(members)));
    }
    bool EndArray(lv_rapidjson::SizeType) {
        Level& open = level();
        Array items = std::move(open.items);
        open.items.clear();
        trim(items, open.expected);
        --depth_;
        return push(std::move(items));
    }

    bool tooDeep() const { return tooDeep_; }
    bool loneSurrogate() const { return loneSurrogate_; }
    bool badNumber() const { return badNumber_; }
    Value result() { return std::move(result_); }

private:
    static constexpr std::size_t kShareableLength = 15;
    static constexpr std::size_t kShortTextSlots = 64;

    // Texts read one after another are made up to kMaxTextsPerBlock to an allocation, with room for
    // kTextBytesPerText characters each on average (the texts of a run of items are kept and dropped
    // together); a block whose room is spent gives way to a new one.
    static constexpr std::size_t kMaxTextsPerBlock = 512;
    static constexpr std::size_t kTextBytesPerText = 48;

    // The container open at one depth: an object's members (and the key read last, which stays in the
    // parsed copy until its value comes) or an array's items, how many members the last container
    // closed at this depth held, and the orderer of its objects' members. The objects at one depth are
    // mostly alike (the items of a list, written in their writer's key order): while an object's keys
    // come as the last sorted ones came, each member is made at its place in key order, and the object
    // needs no ordering when it closes.
    struct Level {
        std::vector<Dictionary::Entry> members;
        DictionaryOrderer orderer;
        bool placing = false;     // members are made at their places: `members` holds a slot for each
        std::size_t placed = 0;   // members made so far while placing
        std::uint32_t place = 0;  // while placing, the slot of the key read last
        std::string_view key;
        Array items;
        std::size_t expected = 0;
        bool object = false;
    };

    Level& level() { return levels_[static_cast<std::size_t>(depth_)]; }

    // For each length up to 16, the two words whose bytes are all ones in the first `length` bytes.
    static constexpr auto kLeadingBytes = [] {
        std::array<std::array<std::uint64_t, 2>, 17> masks{};
        for (std::size_t length = 0; length <= 16; ++length) {
            std::array<unsigned char, 16> bytes{};
            for (std::size_t i = 0; i < length; ++i) bytes[i] = 0xFF;
            masks[length] = std::bit_cast<std::array<std::uint64_t, 2>>(bytes);
        }
        return masks;
    }();

    // A short text read lately: its bytes (compared in place) and its value.
    struct RecentText {
        std::size_t size = kShareableLength + 1;  // matches no text at first
        std::uint64_t words[2] = {0, 0};  // the bytes, zero past the text's end
        Value value;
    };

    // Records the count for the next container at this depth and gives back spare room beyond a
    // quarter of the members (which only a container larger than its predecessor leaves).
    template <class T>
    static void trim(std::vector<T>& gathered, std::size_t& expected) {
        expected = gathered.size();
        if (gathered.capacity() - gathered.size() > gathered.size() / 4) gathered.shrink_to_fit();
    }

    TextRef newText(std::string_view text) {
        // A text longer than any block's room gets a buffer of its own in the current block.
        if (!texts_.holds(text) && (texts_.full() || text.size() <= textBytesPerBlock_)) {
            texts_ = TextBlock(textsPerBlock_, textBytesPerBlock_);
        }
        return texts_.makePayload(text);
    }

    // A value, made in place from the arguments, goes to the key just read when inside an object, to
    // the items inside an array, else it is the result.
    template <class... Args>
    bool push(Args&&... args) {
        if (depth_ == 0) {
            result_ = Value(std::forward<Args>(args)...);
            return true;
        }
        Level& open = level();
        if (open.placing) {
            // The slot's key is empty (each slot is filled once): appending skips assign's general
            // replace.
            Dictionary::Entry& slot = open.members[open.place];
            slot.first.append(open.key);
            // The slot's value is empty and holds nothing to release, so the value is made in its
            // storage (no temporary moved in and then destroyed); if making it fails, an empty value
            // is put back so that the slot can still be destroyed.
            try {
                std::construct_at(&slot.second, std::forward<Args>(args)...);
            } catch (...) {
                std::construct_at(&slot.second);
                throw;
            }
            ++open.placed;
        } else if (open.object) {
            open.members.emplace_back(std::piecewise_construct, std::forward_as_tuple(open.key),
                                      std::forward_as_tuple(std::forward<Args>(args)...));
        } else {
            open.items.emplace_back(std::forward<Args>(args)...);
        }
        return true;
    }
    bool enter(bool object) {
        if (++depth_ > kMaxJSONDepth) {
            tooDeep_ = true;
            return false;
        }
        if (levels_.size() <= static_cast<std::size_t>(depth_)) levels_.resize(static_cast<std::size_t>(depth_) + 1);
        Level& open = level();
        open.object = object;
        if (object) {
            // Slots are made only for as many members as the last container at this depth held, so
            // objects smaller than a large one before them (hostile input: one object of many keys,
            // then many empty ones) cost no more than that container did.
            const std::size_t slots = open.orderer.placesKnown();
            open.placing = slots > 0 && slots <= open.expected;
            open.placed = 0;
            if (open.placing) open.members.resize(slots);
            else open.members.reserve(open.expected);
        } else {
            open.items.reserve(open.expected);
        }
        return true;
    }
    // The object's keys came otherwise than the last sorted ones: the members made so far go back to
    // the order they came in, and the rest follow them.
    static void stopPlacing(Level& open) {
        std::vector<Dictionary::Entry> cameIn;
        cameIn.reserve(open.members.size() + 1);
        for (std::size_t k = 0; k < open.placed; ++k) cameIn.push_back(std::move(open.members[open.orderer.placeOf(k)]));
        open.members = std::move(cameIn);
        open.placing = false;
    }

    bool refuseSurrogate() {
        loneSurrogate_ = true;
        return false;
    }
    bool refuseNumber() {
        badNumber_ = true;
        return false;
    }

    bool mayHoldSurrogates_;
    int depth_ = 0;
    std::vector<Level> levels_;  // by depth (1: the outermost container)
    Value result_;
    std::array<RecentText, kShortTextSlots> recentShortTexts_;  // the last short text read per slot
    std::size_t textsPerBlock_;
    std::size_t textBytesPerBlock_;
    TextBlock texts_{0};  // the block new texts are made in (none before the first text)
    bool tooDeep_ = false;
    bool loneSurrogate_ = false;
    bool badNumber_ = false;
};

std::string parseFailureText(lv_rapidjson::ParseErrorCode code, std::size_t offset, std::size_t length) {
    using namespace lv_rapidjson;
    const auto at = static_cast<unsigned long>(offset);
    if (offset >= length && code != kParseErrorDocumentEmpty && code != kParseErrorDocumentRootNotSingular) {
        return "Unexpected end of file during JSON parse.";
    }
    switch (code) {
        case kParseErrorDocumentEmpty: return "No value.";
        case kParseErrorDocumentRootNotSingular: return format("Garbage at end around character %lu.", at);
        case kParseErrorObjectMissName: return format("No string key for value in object around character %lu.", at);
        case kParseErrorObjectMissColon: return format("No ':' after key around character %lu.", at);
        case kParseErrorObjectMissCommaOrCurlyBracket: return format("Badly formed object around character %lu.", at);
        case kParseErrorArrayMissCommaOrSquareBracket: return format("Badly formed array around character %lu.", at);
        case kParseErrorStringUnicodeEscapeInvalidHex:
        case kParseErrorStringEscapeInvalid: return format("Invalid escape sequence around character %lu.", at);
        case kParseErrorStringUnicodeSurrogateInvalid:
            return format("Unable to convert hex escape sequence to a character around character %lu.", at);
        case kParseErrorStringMissQuotationMark: return format("Unterminated string around character %lu.", at);
        case kParseErrorStringInvalidEncoding:
            return format("Unable to convert data to a string around character %lu. The data may be corrupt.", at);
        case kParseErrorNumberTooBig:
        case kParseErrorNumberMissFraction:
        case kParseErrorNumberMissExponent: return format("Invalid number around character %lu.", at);
        default: return format("Invalid value around character %lu.", at);
    }
}

// ---- writer ----

class JSONWriter {
public:
    explicit JSONWriter(bool pretty) : pretty_(pretty) {}

    bool write(const Value& value, int level) {
        switch (value.type()) {
            case Value::Type::Null: out_ += "null"; return true;
            case Value::Type::String: writeString(value.string()); return true;
            case Value::Type::Number: return writeNumber(detail::numberOf(value));
            case Value::Type::Decimal: {
                const Decimal d = detail::decimalOf(value);
                if (d.isNaN()) return refuse("Invalid number value (NaN) in JSON write");
                out_ += d.stringValue();
                return true;
            }
            case Value::Type::Array: {
                if (level >= kMaxJSONDepth) return refuse("Too many nested arrays or dictionaries in JSON write");
                const Array& items = value.array();
                out_ += '[';
                if (items.empty()) return closeEmpty(']', level);
                bool first = true;
                for (const Value& item : items) {
                    if (!first) out_ += ',';
                    first = false;
                    newline(level + 1);
                    if (!write(item, level + 1)) return false;
                }
                newline(level);
                out_ += ']';
                return true;
            }
            case Value::Type::Dictionary: {
                if (level >= kMaxJSONDepth) return refuse("Too many nested arrays or dictionaries in JSON write");
                const Dictionary& entries = value.dictionary();
                out_ += '{';
                if (entries.empty()) return closeEmpty('}', level);
                bool first = true;
                for (const auto& [key, item] : entries) {
                    if (!first) out_ += ',';
                    first = false;
                    newline(level + 1);
                    writeString(key);
                    out_ += pretty_ ? " : " : ":";
                    if (!write(item, level + 1)) return false;
                }
                newline(level);
                out_ += '}';
                return true;
            }
            case Value::Type::Nil: return refuse("Invalid value (nil) in JSON write");
            case Value::Type::Date: return refuse("Invalid type in JSON write (Date)");
            case Value::Type::Data: return refuse("Invalid type in JSON write (Data)");
            case Value::Type::Object:
                return refuse(format("Invalid type in JSON write (%@)", value.object()->className()));
        }
        return refuse("Invalid type in JSON write");
    }

    std::string& text() { return out_; }
    const std::string& failure() const { return failure_; }

private:
    bool refuse(std::string why) {
        failure_ = std::move(why);
        return false;
    }

    void newline(int level) {
        if (!pretty_) return;
        out_ += '\n';
        out_.append(static_cast<std::size_t>(level) * 2, ' ');
    }

    bool closeEmpty(char bracket, int level) {
        if (pretty_) {
            out_ += '\n';
            newline(level);
        }
        out_ += bracket;
        return true;
    }

    bool writeNumber(const Number& n) {
        char buffer[64];
        std::to_chars_result r{};
        if (n.isBool()) {
            out_ += n.boolValue() ? "true" : "false";
            return true;
        }
        if (n.isFloatingPoint()) {
            const double d = n.doubleValue();
            if (std::isnan(d)) return refuse("Invalid number value (NaN) in JSON write");
            if (std::isinf(d)) return refuse("Invalid number value (infinite) in JSON write");
            r = n.kind() == NumberKind::Float ? std::to_chars(buffer, buffer + sizeof buffer, n.floatValue())
                                              : std::to_chars(buffer, buffer + sizeof buffer, d);
        } else if (n.isUnsigned()) {
            r = std::to_chars(buffer, buffer + sizeof buffer, n.unsignedLongLongValue());
        } else {
            r = std::to_chars(buffer, buffer + sizeof buffer, n.longLongValue());
        }
        out_.append(buffer, r.ptr);
        return true;
    }

    void writeString(const std::string& s) {
        static const char hex[] = "0123456789abcdef";
        out_ += '"';
        std::size_t run = 0;
        for (std::size_t i = 0; i < s.size(); ++i) {
            const auto c = static_cast<unsigned char>(s[i]);
            if (c >= 0x20 && c != '"' && c != '\\' && c != '/') continue;
            out_.append(s, run, i - run);
            run = i + 1;
            switch (c) {
                case '"': out_ += "\\\""; break;
                case '\\': out_ += "\\\\"; break;
                case '/': out_ += "\\/"; break;
                case '\b': out_ += "\\b"; break;
                case '\f': out_ += "\\f"; break;
                case '\n': out_ += "\\n"; break;
                case '\r': out_ += "\\r"; break;
                case '\t': out_ += "\\t"; break;
                default:
                    out_ += "\\u00";
                    out_ += hex[c >> 4];
                    out_ += hex[c & 0xF];
            }
        }
        out_.append(s, run, std::string::npos);
        out_ += '"';
    }

    bool pretty_;
    std::string out_;
    std::string failure_;
};

}  // namespace

Value JSONSerialization::JSONObjectWithData(std::span<const std::uint8_t> data, JSONReadingOptions options,
                                            Ref<Error>* error) {
    const char* begin = reinterpret_cast<const char*>(data.data());
    std::size_t length = data.size();
    if (length >= 3 && std::string_view(begin, 3) == "\xEF\xBB\xBF") {
        begin += 3;
        length -= 3;
    }
    if ((options & kJSONReadingAllowFragments) == 0) {
        std::size_t i = 0;
        while (i < length && isJSONWhiteSpace(begin[i])) ++i;
        if (i < length && begin[i] != '[' && begin[i] != '{') {
            setError(error, jsonError(kPropertyListReadCorruptError,
                                      "JSON text did not start with array or object and option to allow fragments "
                                      "not set."));
            return {};
        }
    }
    auto copy = std::make_unique_for_overwrite<char[]>(length + kCopyPadding);
    const InputScan scan = copyAndScan(begin, length, copy.get());
    std::memset(copy.get() + length, 0, kCopyPadding);
    ValueBuilder builder(scan.mayHoldUnicodeEscape, length);
    lv_rapidjson::InsituStringStream stream(copy.get());
    lv_rapidjson::Reader reader;
    // The UTF-8 check of the whole input, eight ASCII bytes at a time, stands for the parser's check
    // byte by byte in every text, which lets the parser find each text's end 16 bytes at a time; input
    // that is not well-formed, or holds a control character that scan misses, is read with the parser's
    // check, which reports the first bad text where it stands.
    const lv_rapidjson::ParseResult result = scan.wellFormed && !scan.holdsLateControl
                                              ? reader.Parse<kParseFlagsWellFormed>(stream, builder)
                                              : reader.Parse<kParseFlags>(stream, builder);
    if (result.IsError()) {
        const auto at = static_cast<unsigned long>(result.Offset());
        std::string text = parseFailureText(result.Code(), result.Offset(), length);
        if (builder.tooDeep()) text = format("Too many nested arrays or dictionaries around character %lu.", at);
        if (builder.badNumber()) text = format("Invalid number around character %lu.", at);
        if (builder.loneSurrogate()) {
            text = format("Unable to convert hex escape sequence to a character around character %lu.", at);
        }
        setError(error, jsonError(kPropertyListReadCorruptError, std::move(text)));
        return {};
    }
    std::size_t rest = stream.Tell();
    while (rest < length && isJSONWhiteSpace(begin[rest])) ++rest;
    if (rest < length) {
        setError(error, jsonError(kPropertyListReadCorruptError,
                                  format("Garbage at end around character %lu.", static_cast<unsigned long>(rest))));
        return {};
    }
    return builder.result();
}

std::optional<std::string> JSONSerialization::stringWithJSONObject(const Value& value, JSONWritingOptions options,
                                                                   Ref<Error>* error) {
    if ((options & kJSONWritingFragmentsAllowed) == 0 && !value.isArray() && !value.isDictionary()) {
        setError(error, jsonError(kPropertyListWriteInvalidError, "Invalid top-level type in JSON write"));
        return std::nullopt;
    }
    JSONWriter writer((options & kJSONWritingPrettyPrinted) != 0);
    if (!writer.write(value, 0)) {
        setError(error, jsonError(kPropertyListWriteInvalidError, writer.failure()));
        return std::nullopt;
    }
    return std::move(writer.text());
}

std::optional<Bytes> JSONSerialization::dataWithJSONObject(const Value& value, JSONWritingOptions options,
                                                          Ref<Error>* error) {
    auto text = stringWithJSONObject(value, options, error);
    if (!text) return std::nullopt;
    return Bytes(text->begin(), text->end());
}

bool JSONSerialization::isValidJSONObject(const Value& value) {
    if (!value.isArray() && !value.isDictionary()) return false;
    JSONWriter writer(false);
    return writer.write(value, 0);
}

}  // namespace lv
