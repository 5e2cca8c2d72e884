// XML property lists: read with expat into Value, written in the platform's layout.
#include <expat.h>

#include <charconv>
#include <climits>
#include <cmath>
#include <limits>
#include <memory>

#include "platform/storage/detail/plist_codec.h"
#include "platform/storage/detail/value_access.h"
#include "platform/text/escape.h"

namespace lv::detail {

namespace {

constexpr std::string_view kXmlSpace = " \t\r\n";

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(kXmlSpace);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(kXmlSpace) - first + 1);
}

// Decimal (or "0x" hexadecimal) integers of the 64-bit signed or unsigned range.
Value integerFromText(std::string_view text) {
    text = trimmed(text);
    bool negative = false;
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    std::uint64_t magnitude = 0;
    if (text.empty()) return {};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
    if (error != std::errc() || end != text.data() + text.size()) return {};
    constexpr auto kSignedMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (negative) {
        if (magnitude > kSignedMax + 1) return {};
        return Value(magnitude == kSignedMax + 1 ? std::numeric_limits<std::int64_t>::min()
                                                 : -static_cast<std::int64_t>(magnitude));
    }
    if (magnitude > kSignedMax) return Value(magnitude);
    return Value(static_cast<std::int64_t>(magnitude));
}

Value realFromText(std::string_view text) {
    text = trimmed(text);
    if (text.size() > 1 && text[0] == '+' && text[1] != '-') text.remove_prefix(1);
    double d = 0;
    if (text.empty()) return {};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), d);
    if (error != std::errc() || end != text.data() + text.size()) return {};
    return Value(d);
}

// Base64 with white space anywhere; missing padding at the end is tolerated.
std::optional<Bytes> dataFromBase64(std::string_view text) {
    std::string symbols;
    symbols.reserve(text.size() + 3);
    for (char c : text) {
        if (kXmlSpace.find(c) == std::string_view::npos) symbols += c;
    }
    while (symbols.size() % 4 != 0) symbols += '=';
    return text::base64Decode(symbols);
}

// Builds the value from expat's events: a stack of open containers and the text of the open scalar.
class XmlReader {
public:
    explicit XmlReader(XML_Parser parser) : parser_(parser) {}

    // After a refusal the parser may still report the rest of the token it stopped in (an empty
    // element's end comes with its start): every event after the first refusal is ignored.
    void start(std::string_view name) {
        if (failed()) return;
        if (leaf_ != Leaf::None) return fail("An element inside a " + std::string(leafName_) + " element");
        if (name == "plist") {
            if (sawPlist_ || !frames_.empty() || done_) return fail("A plist element that is not the outermost");
            sawPlist_ = true;
            frames_.emplace_back(Frame::Plist);
            return;
        }
        if (name == "array" || name == "dict") {
            if (!valueAllowed()) return;
            if (++depth_ > kMaxPlistDepth) return fail("Too many nested arrays or dictionaries");
            frames_.emplace_back(name == "array" ? Frame::ArrayKind : Frame::DictKind);
            return;
        }
        static constexpr std::pair<std::string_view, Leaf> kLeaves[] = {
            {"string", Leaf::String}, {"key", Leaf::Key},   {"integer", Leaf::Integer}, {"real", Leaf::Real},
            {"data", Leaf::Data},     {"date", Leaf::Date}, {"true", Leaf::True},       {"false", Leaf::False},
        };
        for (const auto& [leafName, leaf] : kLeaves) {
            if (name != leafName) continue;
            if (leaf == Leaf::Key) {
                if (frames_.empty() || frames_.back().kind != Frame::DictKind || frames_.back().key) {
                    return fail("A key outside a dictionary or without a value");
                }
            } else if (!valueAllowed()) {
                return;
            }
            leaf_ = leaf;
            leafName_ = leafName;
            text_.clear();
            return;
        }
        fail("Unknown element " + std::string(name));
    }

    void text(std::string_view chunk) {
        if (failed()) return;
        if (leaf_ != Leaf::None) {
            text_.append(chunk);
        } else if (chunk.find_first_not_of(kXmlSpace) != std::string_view::npos) {
            fail("Text outside a value element");
        }
    }

    void end() {
        if (failed()) return;
        if (leaf_ != Leaf::None) return endLeaf();
        Frame frame = std::move(frames_.back());
        frames_.pop_back();
        switch (frame.kind) {
            case Frame::Plist:
                if (!frame.value) return fail("An empty plist element");
                result_ = std::move(*frame.value);
                done_ = true;
                return;
            case Frame::ArrayKind:
                --depth_;
                return place(Value(std::move(frame.items)));
            case Frame::DictKind:
                --depth_;
                if (frame.key) return fail("A dictionary key without a value");
                frame.entries.finishAppending();
                return place(Value(std::move(frame.entries)));
        }
    }

    // Internal entities could expand without bound: a property list needs none.
    void refuseEntityDeclaration() { fail("An entity declaration"); }

    const std::string& failure() const { return failure_; }
    Value result() { return done_ ? std::move(result_) : Value(); }

private:
    enum class Leaf { None, String, Key, Integer, Real, Data, Date, True, False };
    struct Frame {
        enum Kind { Plist, ArrayKind, DictKind };
        explicit Frame(Kind k) : kind(k) {}
        Kind kind;
        Array items;
        Dictionary entries;
        std::optional<std::string> key;
        std::optional<Value> value;  // the plist element's one value
    };

    bool failed() const { return !failure_.empty(); }
    void fail(std::string why) {
        if (failed()) return;
        failure_ = std::move(why);
        XML_StopParser(parser_, XML_FALSE);
    }

    bool valueAllowed() {
        if (frames_.empty()) {
            if (done_) fail("More than one value");
            return !done_;
        }
        const Frame& top = frames_.back();
        if (top.kind == Frame::DictKind && !top.key) {
            fail("A dictionary value without a key");
            return false;
        }
        if (top.kind == Frame::Plist && top.value) {
            fail("More than one value in the plist element");
            return false;
        }
        return true;
    }

    void place(Value value) {
        if (frames_.empty()) {
            result_ = std::move(value);
            done_ = true;
            return;
        }
        Frame& top = frames_.back();
        switch (top.kind) {
            case Frame::Plist: top.value = std::move(value); break;
            case Frame::ArrayKind: top.items.push_back(std::move(value)); break;
            case Frame::DictKind:
                top.entries.appendUnsorted(std::move(*top.key), std::move(value));
                top.key.reset();
                break;
        }
    }

    void endLeaf() {
        const Leaf leaf = leaf_;
        leaf_ = Leaf::None;
        Value value;
        switch (leaf) {
            case Leaf::Key:
                if (!plistStringIsValid(text_, true)) return fail("A key with NUL or invalid UTF-8");
                frames_.back().key = std::move(text_);
                return;
            case Leaf::String:
                if (!plistStringIsValid(text_, true)) return fail("A string with NUL or invalid UTF-8");
                value = Value(std::move(text_));
                break;
            case Leaf::Integer: value = integerFromText(text_); break;
            case Leaf::Real: value = realFromText(text_); break;
            case Leaf::Data:
                if (auto bytes = dataFromBase64(text_)) value = Value(std::move(*bytes));
                break;
            case Leaf::Date:
                if (auto seconds = xmlDateSeconds(trimmed(text_))) value = Value(Date::fromSinceReferenceDate(*seconds));
                break;
            case Leaf::True:
            case Leaf::False:
                if (trimmed(text_).empty()) value = Value(leaf == Leaf::True);
                break;
            case Leaf::None: break;
        }
        if (value.isNil()) return fail("Damaged " + std::string(leafName_) + " value: " + text_.substr(0, 64));
        place(std::move(value));
    }

    XML_Parser parser_;
    std::vector<Frame> frames_;
    Leaf leaf_ = Leaf::None;
    std::string_view leafName_;
    std::string text_;
    int depth_ = 0;
    bool sawPlist_ = false;
    bool done_ = false;
    Value result_;
    std::string failure_;
};

struct ParserFree {
    void operator()(XML_Parser parser) const { XML_ParserFree(parser); }
};

// ---- writing ----

void indent(std::string& out, int level) { out.append(static_cast<std::size_t>(level), '\t'); }

// Markup characters as entities; CR as a character reference so that readers do not turn it into LF.
void appendEscaped(std::string& out, std::string_view text) {
    for (char c : text) {
        switch (c) {
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '&': out += "&amp;"; break;
            case '\r': out += "&#13;"; break;
            default: out += c;
        }
    }
}

// The platform's real text: 17 significant digits; zero, infinities and NaN spelled out.
std::string realText(double d) {
    if (std::isnan(d)) return "nan";
    if (std::isinf(d)) return d < 0 ? "-infinity" : "+infinity";
    if (d == 0) return std::signbit(d) ? "-0.0" : "0.0";
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, d, std::chars_format::general, 17);
    return std::string(buffer, result.ptr);
}

// Base64 lines as the platform writes them: 76 columns less 8 per indent level (at most 8 levels),
// each line at the element's indent.
void appendBase64(std::string& out, const Bytes& bytes, int level) {
    static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const std::size_t lineLength = 76 - 8 * static_cast<std::size_t>(std::min(level, 8));
    std::string encoded;
    encoded.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::uint32_t b0 = bytes[i];
        const std::uint32_t b1 = i + 1 < bytes.size() ? bytes[i + 1] : 0;
        const std::uint32_t b2 = i + 2 < bytes.size() ? bytes[i + 2] : 0;
        const std::uint32_t bits = (b0 << 16) | (b1 << 8) | b2;
        encoded += kDigits[(bits >> 18) & 63];
        encoded += kDigits[(bits >> 12) & 63];
        encoded += i + 1 < bytes.size() ? kDigits[(bits >> 6) & 63] : '=';
        encoded += i + 2 < bytes.size() ? kDigits[bits & 63] : '=';
    }
    for (std::size_t at = 0; at < encoded.size(); at += lineLength) {
        indent(out, level);
        out.append(encoded, at, lineLength);
        out += '\n';
    }
}

void appendNumber(std::string& out, const Number& n) {
    if (n.isBool()) {
        out += n.boolValue() ? "<true/>\n" : "<false/>\n";
    } else if (n.isFloatingPoint()) {
        out += "<real>" + realText(n.doubleValue()) + "</real>\n";
    } else {
        out += "<integer>" + (n.isUnsigned() ? std::to_string(n.unsignedLongLongValue()) : std::to_string(n.longLongValue())) +
               "</integer>\n";
    }
}

void appendValue(std::string& out, const Value& value, int level) {
    indent(out, level);
    switch (value.type()) {
        case Value::Type::Number: return appendNumber(out, numberOf(value));
        case Value::Type::Decimal: return appendNumber(out, numberOf(plistNumberOfDecimal(decimalOf(value))));
        case Value::Type::String:
            out += "<string>";
            appendEscaped(out, value.string());
            out += "</string>\n";
            return;
        case Value::Type::Data:
            out += "<data>\n";
            appendBase64(out, value.bytes(), level);
            indent(out, level);
            out += "</data>\n";
            return;
        case Value::Type::Date:
            out += "<date>" + xmlDateText(dateOf(value).sinceReferenceDate()).value_or("") + "</date>\n";
            return;
        case Value::Type::Array:
            if (value.array().empty()) {
                out += "<array/>\n";
                return;
            }
            out += "<array>\n";
            for (const Value& item : value.array()) appendValue(out, item, level + 1);
            indent(out, level);
            out += "</array>\n";
            return;
        case Value::Type::Dictionary:
            if (value.dictionary().empty()) {
                out += "<dict/>\n";
                return;
            }
            out += "<dict>\n";
            for (const auto& [key, item] : value.dictionary()) {
                indent(out, level + 1);
                out += "<key>";
                appendEscaped(out, key);
                out += "</key>\n";
                appendValue(out, item, level + 1);
            }
            indent(out, level);
            out += "</dict>\n";
            return;
        case Value::Type::Object:  // a keyed-archive UID, in its XML form
            out += "<dict>\n";
            indent(out, level + 1);
            out += "<key>CF$UID</key>\n";
            indent(out, level + 1);
            out += "<integer>" + std::to_string(uidOf(value).value_or(0)) + "</integer>\n";
            indent(out, level);
            out += "</dict>\n";
            return;
        case Value::Type::Nil:
        case Value::Type::Null: return;  // refused before writing
    }
}

}  // namespace

Value readXmlPlist(std::span<const std::uint8_t> data, std::string* failure) {
    std::unique_ptr<std::remove_pointer_t<XML_Parser>, ParserFree> parser(XML_ParserCreate(nullptr));
    if (!parser) {
        *failure = "Out of memory";
        return {};
    }
    XmlReader reader(parser.get());
    XML_SetUserData(parser.get(), &reader);
    XML_SetParamEntityParsing(parser.get(), XML_PARAM_ENTITY_PARSING_NEVER);
    XML_SetElementHandler(
        parser.get(),
        [](void* user, const XML_Char* name, const XML_Char**) { static_cast<XmlReader*>(user)->start(name); },
        [](void* user, const XML_Char*) { static_cast<XmlReader*>(user)->end(); });
    XML_SetCharacterDataHandler(parser.get(), [](void* user, const XML_Char* text, int length) {
        static_cast<XmlReader*>(user)->text(std::string_view(text, static_cast<std::size_t>(length)));
    });
    XML_SetEntityDeclHandler(parser.get(), [](void* user, const XML_Char*, int, const XML_Char*, int, const XML_Char*,
                                              const XML_Char*, const XML_Char*, const XML_Char*) {
        static_cast<XmlReader*>(user)->refuseEntityDeclaration();
    });
    constexpr std::size_t kChunk = 1u << 30;
    for (std::size_t at = 0;;) {
        const std::size_t length = std::min(kChunk, data.size() - at);
        const bool last = at + length == data.size();
        if (XML_Parse(parser.get(), reinterpret_cast<const char*>(data.data() + at), static_cast<int>(length),
                      last ? XML_TRUE : XML_FALSE) != XML_STATUS_OK) {
            *failure = !reader.failure().empty()
                           ? reader.failure()
                           : std::string("Damaged XML property list: ") + XML_ErrorString(XML_GetErrorCode(parser.get())) +
                                 " at line " + std::to_string(XML_GetCurrentLineNumber(parser.get()));
            return {};
        }
        at += length;
        if (last) break;
    }
    Value value = reader.result();
    if (value.isNil()) *failure = "Damaged XML property list: no value";
    return value;
}

Bytes writeXmlPlist(const Value& value) {
    std::string out =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
        "<plist version=\"1.0\">\n";
    appendValue(out, value, 0);
    out += "</plist>\n";
    return Bytes(out.begin(), out.end());
}

}  // namespace lv::detail
