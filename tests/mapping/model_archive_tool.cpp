// Writes model archives for model_archives_plistlib.py: <dir>/note.bplist (binary) and <dir>/note.xml
// (XML) of one note with a nil body, and <dir>/pair.bplist of two notes in an array.
#include <cstdio>
#include <string>

#include "archive_models.h"
#include "platform/storage/file_manager.h"
#include "platform/storage/keyed_archive.h"

using namespace lv;

namespace {

bool write(const Value& root, PropertyListFormat format, const std::string& path) {
    KeyedArchiver archiver;
    archiver.setOutputFormat(format);
    archiver.encodeObject(root, "root");
    const Bytes data = archiver.encodedData();
    return writeToFile(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()), path, true);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    auto note = makeRef<test::ArchivedNote>();
    note->title = Value("韩流 <news>");
    note->count = 42;
    note->extra = Value(Dictionary{{"tags", Value(Array{Value("a"), Value("b")})}});
    auto second = makeRef<test::ArchivedNote>();
    second->title = Value("second");
    const bool ok = write(Value(note), PropertyListFormat::Binary, dir + "/note.bplist") &&
                    write(Value(note), PropertyListFormat::XML, dir + "/note.xml") &&
                    write(Value(Array{Value(note), Value(second), Value(note)}), PropertyListFormat::Binary, dir + "/pair.bplist");
    return ok ? 0 : 1;
}
