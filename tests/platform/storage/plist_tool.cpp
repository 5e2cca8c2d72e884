// Writes and reads property lists and keyed archives on command, for plist_independent_reader.py:
//   plist_tool write DIR          ours-xml.plist, ours-binary.plist, ours-archive.plist, ours-archive-xml.plist
//   plist_tool read FILE CASE     reads FILE and compares it with the sample CASE (xml, binary or archive)
#include <cstdio>
#include <string>

#include "platform/storage/file_manager.h"
#include "platform/storage/keyed_archive.h"
#include "platform/storage/property_list.h"

namespace {

using namespace lv;

// The sample both sides build. XML drops what XML 1.0 cannot carry (U+0001, U+001F) and keeps dates
// to whole seconds; the XML the other side writes has no CR either (its writer turns CR into LF).
Value sample(bool forXml, bool withCR) {
    Dictionary d{
        {"max", UINT64_MAX},
        {"min", INT64_MIN},
        {"negative", -42},
        {"wide", std::int64_t{5000000000}},
        {"real", 0.1},
        {"huge", 1e300},
        {"yes", true},
        {"no", false},
        {"old", Value(Date::fromSince1970(-5364617385.0))},        // 1800-01-01T12:30:15Z
        {"future", Value(Date::fromSince1970(7273756799.0))},      // 2200-06-30T23:59:59Z
        {"fraction", Value(Date::fromSince1970(forXml ? 978307199.0 : 978307199.75))},  // 2000-12-31T23:59:59.75Z
        {"text", "韩剧 \U0001F3B5 <&> \"quoted\""},
        {"tabs", "a\tb\nc"},
        {"data", Value(Bytes(200, 0x5A))},
        {"nested", Value::dictionary({{"list", Value::array({1, Value::array({2, Value::dictionary({{"deep", Value::array({Value::array({})})}})}), Value::dictionary({})})}, {"empty", Value::array({})}})},
    };
    if (!forXml) d.set("controls", "\x01\x1f");
    if (withCR) d.set("cr", "a\rb\r\n");
    return Value(std::move(d));
}

Value archiveRoot() { return Value::dictionary({{"k", "v"}, {"max", UINT64_MAX}, {"wide", std::int64_t{5000000000}}}); }

bool write(const std::string& dir) {
    auto plist = [&](const Value& v, PropertyListFormat format, const char* name) {
        auto bytes = PropertyListSerialization::dataWithPropertyList(v, format, 0, nullptr);
        return bytes && writeToFile(*bytes, dir + "/" + name, true);
    };
    KeyedArchiver xml;
    xml.setOutputFormat(PropertyListFormat::XML);
    xml.encodeObject(archiveRoot(), "root");
    return plist(sample(true, true), PropertyListFormat::XML, "ours-xml.plist") &&
           plist(sample(false, true), PropertyListFormat::Binary, "ours-binary.plist") &&
           writeToFile(KeyedArchiver::archivedDataWithRootObject(archiveRoot()), dir + "/ours-archive.plist", true) &&
           writeToFile(xml.encodedData(), dir + "/ours-archive-xml.plist", true);
}

bool read(const std::string& file, const std::string& which) {
    auto bytes = dataWithContentsOfFile(file, nullptr);
    if (!bytes) return false;
    Ref<Error> error;
    const Value expected = which == "archive" ? archiveRoot() : sample(which == "xml", which != "xml");
    const Value actual = which == "archive" ? KeyedUnarchiver::unarchivedObject(*bytes, &error)
                                            : PropertyListSerialization::propertyListWithData(*bytes, 0, nullptr, &error);
    const bool unsignedKept = actual["max"].number() && actual["max"].number()->isUnsigned();
    if (actual == expected && unsignedKept) return true;
    std::fprintf(stderr, "%s read as:\n%s\nexpected:\n%s\n%s\n", file.c_str(), actual.description().c_str(),
                 expected.description().c_str(), error ? error->description().c_str() : "");
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "write" && argc == 3) return write(argv[2]) ? 0 : 1;
    if (command == "read" && argc == 4) return read(argv[2], argv[3]) ? 0 : 1;
    std::fprintf(stderr, "usage: plist_tool write DIR | read FILE xml|binary|archive\n");
    return 2;
}
