// Query string encoding.
#include "http/query_string.h"

#include <algorithm>

#include "platform/text/compare.h"
#include "platform/text/escape.h"

namespace lv {

namespace {

constexpr std::string_view kEscapedAlways = ":/?&=;+!@#$()',*";

std::string escape(std::string_view text, std::string_view leave, StringEncoding encoding) {
    if (auto escaped = text::percentEscape(text, leave, kEscapedAlways, encoding)) return std::move(*escaped);
    return text::percentEscape(text, leave, kEscapedAlways, StringEncoding::UTF8).value_or(std::string());
}

// The platform's ascending sort by description text (UTF-16 order, case-sensitive).
void sortByDescription(std::vector<std::pair<std::string, Value>>& items) {
    std::stable_sort(items.begin(), items.end(),
                     [](const auto& a, const auto& b) { return text::compare(a.first, b.first) < 0; });
}

void flattenInto(const Value& key, const Value& value, std::vector<HCQueryStringPair>& out) {
    if (value.isDictionary()) {
        std::vector<std::pair<std::string, Value>> entries;
        for (const auto& [k, v] : value.dictionary()) entries.emplace_back(k, v);
        sortByDescription(entries);
        for (const auto& [k, v] : entries) {
            if (v.isNil()) continue;
            Value nestedKey = key.isNil() ? Value(k) : Value(key.description() + "[" + k + "]");
            flattenInto(nestedKey, v, out);
        }
    } else if (value.isArray()) {
        const Value nestedKey(key.isNil() ? std::string("(null)[]") : key.description() + "[]");
        for (const auto& element : value.array()) flattenInto(nestedKey, element, out);
    } else if (auto set = value.objectAs<ValueSet>()) {
        std::vector<std::pair<std::string, Value>> elements;
        for (const auto& element : set->items()) elements.emplace_back(element.description(), element);
        sortByDescription(elements);
        for (const auto& element : elements) flattenInto(key, element.second, out);
    } else {
        out.emplace_back(key, value);
    }
}

}  // namespace

std::string ValueSet::description() const { return "{" + Value(items_).description() + "}"; }

std::string escapeQueryKey(std::string_view key, StringEncoding encoding) { return escape(key, "[].", encoding); }

std::string escapeQueryValue(std::string_view value, StringEncoding encoding) { return escape(value, "", encoding); }

std::string HCQueryStringPair::URLEncodedStringValueWithEncoding(StringEncoding encoding) const {
    const std::string field = field_.isNil() ? "(null)" : field_.description();
    if (value_.isNilOrNull()) return escapeQueryKey(field, encoding);
    return escapeQueryKey(field, encoding) + "=" + escapeQueryValue(value_.description(), encoding);
}

std::vector<HCQueryStringPair> flattenQueryPairs(const Value& key, const Value& value) {
    std::vector<HCQueryStringPair> pairs;
    flattenInto(key, value, pairs);
    return pairs;
}

std::string queryStringFromParameters(const Value& parameters, StringEncoding encoding) {
    std::string query;
    bool first = true;
    for (const auto& pair : flattenQueryPairs(Value(), parameters)) {
        if (!first) query += '&';
        first = false;
        query += pair.URLEncodedStringValueWithEncoding(encoding);
    }
    return query;
}

}  // namespace lv
