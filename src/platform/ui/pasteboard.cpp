#include "platform/ui/pasteboard.h"

#include <map>

#include "platform/base/format.h"
#include "platform/base/log.h"
#include "platform/storage/file_manager.h"
#include "platform/storage/property_list.h"
#include "platform/storage/sandbox.h"

namespace lv {
namespace {

constexpr std::string_view kGeneralName = "general";

struct Registry {
    std::mutex mutex;
    std::map<std::string, Ref<Pasteboard>, std::less<>> byName;
};
Registry& registry() {
    static Registry* r = new Registry;  // never destroyed: used from any thread until exit
    return *r;
}

std::string escapedName(std::string_view name) {
    std::string out;
    for (unsigned char c : name) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
            c == '_') {
            out += static_cast<char>(c);
        } else {
            out += format("%%%02X", c);
        }
    }
    return out;
}

void makePasteboardFolder() {
    FileManager::defaultManager().createDirectoryAtPath(libraryDirectory() + "/Pasteboards", true,
                                                        Dictionary{{std::string(kFilePosixPermissions), Value(0700)}},
                                                        nullptr);
}

}  // namespace

std::string Pasteboard::filePath(std::string_view name) {
    return libraryDirectory() + "/Pasteboards/" + escapedName(name) + ".plist";
}

Ref<Pasteboard> Pasteboard::generalPasteboard() {
    Ref<Pasteboard> general = pasteboardWithName(kGeneralName, true);
    general->setPersistent(true);
    return general;
}

Ref<Pasteboard> Pasteboard::pasteboardWithName(std::string_view name, bool create) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    if (auto it = r.byName.find(name); it != r.byName.end()) return it->second;
    const bool stored = FileManager::defaultManager().fileExistsAtPath(filePath(name));
    if (!stored && !create) return nullptr;
    auto board = makeRef<Pasteboard>(std::string(name), stored);
    r.byName.emplace(std::string(name), board);
    return board;
}

void Pasteboard::resetPasteboards() {
    Registry& r = registry();
    std::map<std::string, Ref<Pasteboard>, std::less<>> dropped;
    std::lock_guard lock(r.mutex);
    dropped.swap(r.byName);
}

Pasteboard::Pasteboard(std::string name, bool persistent) : name_(std::move(name)), persistent_(persistent) {}

bool Pasteboard::isPersistent() const {
    std::lock_guard lock(mutex_);
    return persistent_;
}

void Pasteboard::setPersistent(bool persistent) {
    std::lock_guard lock(mutex_);
    if (persistent == persistent_) return;
    if (persistent) {
        // Under the processes' lock: a board with no items of its own keeps a file another process
        // wrote since this one looked.
        makePasteboardFolder();
        const FileTurn turn(filePath(name_));
        if (!items_.empty() || !FileManager::defaultManager().fileExistsAtPath(filePath(name_))) save(items_);
        items_.clear();
    } else {
        items_ = load();
        FileManager::defaultManager().removeItemAtPath(filePath(name_), nullptr);
    }
    persistent_ = persistent;
}

Array Pasteboard::load() const {
    // A board holds a few items; a file past this is no board (a sparse or endless file is not read).
    constexpr std::size_t kMostBoardBytes = 16u << 20;
    const std::optional<Bytes> bytes = dataWithContentsOfFile(filePath(name_), kMostBoardBytes, nullptr);
    if (!bytes) return Array();
    const Value stored = PropertyListSerialization::propertyListWithData(*bytes, 0, nullptr, nullptr);
    const Value& items = stored["items"];
    return items.isArray() ? items.array() : Array();
}

void Pasteboard::save(const Array& items) const {
    const std::string path = filePath(name_);
    Ref<Error> error;
    auto bytes = PropertyListSerialization::dataWithPropertyList(Value::dictionary({{"items", Value(items)}}),
                                                                 PropertyListFormat::Binary, 0, &error);
    // What a pasteboard holds can be private (a hand-over between apps carries credentials): the folder
    // and the files are the owner's alone.
    makePasteboardFolder();
    if (!bytes || !writeToFile(*bytes, path, kDataWritingAtomic | kDataWritingFileProtectionComplete, &error)) {
        log("Pasteboard \"%@\" could not be saved: %@", name_, error);
    }
}

Array Pasteboard::items() const {
    std::lock_guard lock(mutex_);
    return persistent_ ? load() : items_;
}

void Pasteboard::setItems(Array items) {
    std::lock_guard lock(mutex_);
    if (persistent_) {
        save(items);
    } else {
        items_ = std::move(items);
    }
}

void Pasteboard::updateItems(const std::function<bool(Array& items)>& change) {
    std::lock_guard lock(mutex_);
    if (!persistent_) {
        change(items_);
        return;
    }
    makePasteboardFolder();
    const FileTurn turn(filePath(name_));
    Array items = load();
    if (change(items)) save(items);
}

Value Pasteboard::valueForPasteboardType(std::string_view type) const {
    const Array all = items();
    return all.empty() ? Value() : all.front()[type];
}

void Pasteboard::setValue(Value value, std::string_view type) {
    Dictionary item;
    item.set(std::string(type), std::move(value));
    setItems(Array{Value(std::move(item))});
}

std::optional<Bytes> Pasteboard::dataForPasteboardType(std::string_view type) const {
    const Value v = valueForPasteboardType(type);
    if (!v.isData()) return std::nullopt;
    return v.bytes();
}

void Pasteboard::setData(Bytes data, std::string_view type) { setValue(Value(std::move(data)), type); }

std::optional<std::string> Pasteboard::string() const {
    const Value v = valueForPasteboardType(kPasteboardTypeUTF8PlainText);
    if (!v.isString()) return std::nullopt;
    return v.string();
}

void Pasteboard::setString(std::string text) { setValue(Value(std::move(text)), kPasteboardTypeUTF8PlainText); }

}  // namespace lv
