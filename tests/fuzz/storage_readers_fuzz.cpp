// The readers of outside files and replies: JSON, property lists (XML and binary) and keyed archives.
// Every input must give a value or an error; what a reader accepts must write back and read back equal.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <rapidjson/reader.h>

#include "platform/base/log.h"
#include "platform/storage/json.h"
#include "platform/storage/keyed_archive.h"
#include "platform/storage/property_list.h"

namespace {

// XML dates carry whole seconds.
lv::Value wholeSeconds(const lv::Value& v) {
    if (const lv::Date* d = v.date()) return lv::Value(lv::Date::fromSinceReferenceDate(std::floor(d->sinceReferenceDate())));
    if (v.isArray()) {
        lv::Array items;
        for (const lv::Value& item : v.array()) items.push_back(wholeSeconds(item));
        return lv::Value(std::move(items));
    }
    if (v.isDictionary()) {
        lv::Dictionary entries;
        for (const auto& [key, item] : v.dictionary()) entries.appendUnsorted(key, wholeSeconds(item));
        entries.finishAppending();
        return lv::Value(std::move(entries));
    }
    return v;
}

void checkPlistRoundTrip(const lv::Value& plist) {
    for (lv::PropertyListFormat format : {lv::PropertyListFormat::Binary, lv::PropertyListFormat::XML}) {
        lv::Ref<lv::Error> error;
        auto bytes = lv::PropertyListSerialization::dataWithPropertyList(plist, format, 0, &error);
        if (!bytes) {
            // Only XML may refuse what was read (characters XML 1.0 cannot hold, years beyond 9999).
            if (format == lv::PropertyListFormat::Binary || !error ||
                error->code() != lv::kPropertyListWriteInvalidError ||
                lv::PropertyListSerialization::propertyListIsValidForFormat(plist, format)) {
                __builtin_trap();
            }
            continue;
        }
        lv::PropertyListFormat detected{};
        const lv::Value back = lv::PropertyListSerialization::propertyListWithData(*bytes, 0, &detected, nullptr);
        const lv::Value expected = format == lv::PropertyListFormat::XML ? wholeSeconds(plist) : plist;
        if (detected != format || !(back == expected)) __builtin_trap();
    }
}

// The input as RapidJSON's SAX reader sees it, members kept in the order written. Read in place with
// numbers as their text: its reader then needs no stack of its own (whose first growth does a
// null-pointer sum that UBSan stops at).
struct WrittenNode {
    enum class Kind { Null, Bool, Number, String, Array, Object } kind = Kind::Null;
    std::string text;
    std::vector<WrittenNode> items;  // an array's items, an object's values
    std::vector<std::string> keys;   // an object's keys, beside its values
};

class WrittenTree : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, WrittenTree> {
public:
    WrittenNode root;
    bool Null() { return add(WrittenNode::Kind::Null, {}); }
    bool Bool(bool) { return add(WrittenNode::Kind::Bool, {}); }
    bool RawNumber(const char* s, rapidjson::SizeType n, bool) { return add(WrittenNode::Kind::Number, {s, n}); }
    bool String(const char* s, rapidjson::SizeType n, bool) { return add(WrittenNode::Kind::String, {s, n}); }
    bool Key(const char* s, rapidjson::SizeType n, bool) {
        key_.assign(s, n);
        return true;
    }
    bool StartObject() { return open(WrittenNode::Kind::Object); }
    bool StartArray() { return open(WrittenNode::Kind::Array); }
    bool EndObject(rapidjson::SizeType) { return close(); }
    bool EndArray(rapidjson::SizeType) { return close(); }

private:
    WrittenNode& add(WrittenNode node) {
        if (open_.empty()) return root = std::move(node);
        WrittenNode& parent = *open_.back();
        if (parent.kind == WrittenNode::Kind::Object) parent.keys.push_back(key_);
        return parent.items.emplace_back(std::move(node));
    }
    bool add(WrittenNode::Kind kind, std::string_view text) {
        add(WrittenNode{kind, std::string(text), {}, {}});
        return true;
    }
    bool open(WrittenNode::Kind kind) {
        open_.push_back(&add(WrittenNode{kind, {}, {}, {}}));
        return true;
    }
    bool close() {
        open_.pop_back();
        return true;
    }
    std::string key_;
    std::vector<WrittenNode*> open_;  // nodes stay put: a container's list grows only while it is open
};

// Whether what the reader made of the input is what the written tree says: an object's keys once
// each in ascending byte order, each holding the last value written under it; the same all the way
// down (numbers are only checked to be numbers).
bool sameAsWritten(const lv::Value& ours, const WrittenNode& written) {
    switch (written.kind) {
        case WrittenNode::Kind::Null: return ours.isNull();
        case WrittenNode::Kind::Bool:
        case WrittenNode::Kind::Number: return ours.isNumber() || ours.isDecimal();
        case WrittenNode::Kind::String: return ours.isString() && ours.string() == written.text;
        case WrittenNode::Kind::Array: {
            if (!ours.isArray() || ours.array().size() != written.items.size()) return false;
            for (std::size_t i = 0; i < written.items.size(); ++i) {
                if (!sameAsWritten(ours.array()[i], written.items[i])) return false;
            }
            return true;
        }
        case WrittenNode::Kind::Object: break;
    }
    if (!ours.isDictionary()) return false;
    const lv::Dictionary& members = ours.dictionary();
    for (auto entry = members.begin(); entry != members.end(); ++entry) {
        if (entry != members.begin() && !(std::prev(entry)->first < entry->first)) return false;
    }
    std::map<std::string_view, const WrittenNode*> last;
    for (std::size_t i = 0; i < written.keys.size(); ++i) last[written.keys[i]] = &written.items[i];
    if (last.size() != members.size()) return false;
    for (const auto& [key, node] : last) {
        const lv::Value* value = members.find(key);
        if (!value || !sameAsWritten(*value, *node)) return false;
    }
    return true;
}

// JSON: a value or an error, never both; what is read is written, and the written bytes read back
// as the same value and write the same bytes again. Where RapidJSON's reader, which keeps members as
// written, reads the input too, both say the same of it.
void checkJSONRoundTrip(std::span<const std::uint8_t> bytes) {
    using lv::JSONSerialization;
    lv::Ref<lv::Error> error;
    const lv::Value json = JSONSerialization::JSONObjectWithData(bytes, lv::kJSONReadingAllowFragments, &error);
    if (json.isNil() == (error == nullptr)) __builtin_trap();
    if (json.isNil()) return;
    const auto written = JSONSerialization::dataWithJSONObject(json, lv::kJSONWritingFragmentsAllowed, &error);
    if (!written) __builtin_trap();
    const lv::Value back = JSONSerialization::JSONObjectWithData(*written, lv::kJSONReadingAllowFragments, &error);
    if (back != json) __builtin_trap();
    const auto rewritten = JSONSerialization::dataWithJSONObject(back, lv::kJSONWritingFragmentsAllowed, &error);
    if (!rewritten || *rewritten != *written) __builtin_trap();
    std::string copy(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    rapidjson::InsituStringStream stream(copy.data());
    rapidjson::Reader reader;
    WrittenTree tree;
    constexpr unsigned kFlags =
        rapidjson::kParseInsituFlag | rapidjson::kParseNumbersAsStringsFlag | rapidjson::kParseStopWhenDoneFlag;
    if (!reader.Parse<kFlags>(stream, tree).IsError() && !sameAsWritten(json, tree.root)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static lv::LogCapture quiet;  // the readers log one line per refused input
    quiet.clear();
    const std::span<const std::uint8_t> bytes(data, size);

    checkJSONRoundTrip(bytes);

    lv::Ref<lv::Error> error;
    lv::PropertyListFormat format{};
    const lv::Value plist = lv::PropertyListSerialization::propertyListWithData(bytes, 0, &format, &error);
    if (plist.isNil() == (error == nullptr)) __builtin_trap();
    if (!plist.isNil()) checkPlistRoundTrip(plist);

    error = nullptr;
    const lv::Value root = lv::KeyedUnarchiver::unarchivedObject(bytes, &error);
    if (!root.isNil()) {
        auto archive = lv::KeyedArchiver::archivedDataWithRootObject(root, false, &error);
        if (!archive || !(lv::KeyedUnarchiver::unarchivedObject(*archive, nullptr) == root)) __builtin_trap();
    }
    return 0;
}
