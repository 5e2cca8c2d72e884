// RapidJSON in a namespace of its own, built with its SSE2 scans as the reader's own instance is: input
// already checked as UTF-8 is parsed without the per-byte check, and then each text's end is found 16
// bytes at a time. The classes differ from the default build's, hence the namespace and the file of its
// own (kept out of unity batches).
#define RAPIDJSON_NAMESPACE lv_bench_rapidjson
#if defined(__x86_64__) && !defined(RAPIDJSON_SSE2)
#define RAPIDJSON_SSE2
#endif
#include "json_floor.h"

#include <rapidjson/document.h>

#include <cstring>
#include <memory>

#include "platform/base/value.h"

namespace lv::bench {

FloorParse parseFloor(const std::string& text, bool wantTitle) {
    FloorParse result;
    // The cheapest whole-input check we have (the reader's own), then a parse that trusts the encoding.
    if (!isWellFormedUtf8(text)) return result;
    // The document's strings stay in the copy: it lives as long as the document.
    const auto copy = std::make_unique_for_overwrite<char[]>(text.size() + 1);
    std::memcpy(copy.get(), text.data(), text.size());
    copy[text.size()] = '\0';
    // Recursive, as the reader parses (this reply nests three levels).
    lv_bench_rapidjson::Document document;
    document.ParseInsitu<lv_bench_rapidjson::kParseFullPrecisionFlag>(copy.get());
    if (document.HasParseError() || !document.IsObject()) return result;
    // Looked up by HasMember, not by comparing FindMember's iterator with MemberEnd(): in C++20 that
    // comparison of RapidJSON's iterators is ambiguous to clang (a warning, an error with -Werror).
    if (!document.HasMember("mItems")) return result;
    const auto& items = document["mItems"];
    if (!items.IsArray()) return result;
    result.ok = true;
    result.items = items.Size();
    if (wantTitle && result.items > 0) result.lastTitle = items[result.items - 1]["title"].GetString();
    return result;
}

}  // namespace lv::bench
