// Pasteboards: named lists of items (each item a dictionary from a type name to a value) through which
// the app and other programs exchange data. A persistent pasteboard lives in the sandbox, at
// "Library/Pasteboards/<name, percent-escaped>.plist" (a binary property list {"items": [...]}), and
// every reading and writing goes to that file, so other processes using the same sandbox see it; the
// general pasteboard is always persistent. Others live in this process only.
//
// Threads: any thread; each pasteboard has its own lock and the name table another.
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/object.h"
#include "platform/base/value.h"

namespace lv {

// The type under which text is stored.
inline constexpr std::string_view kPasteboardTypeUTF8PlainText = "public.utf8-plain-text";

class Pasteboard : public Object {
public:
    // The general pasteboard (named "general").
    static Ref<Pasteboard> generalPasteboard();
    // The pasteboard of that name: one already used in this process, else a persistent one found in
    // the sandbox, else a new empty one when create is true (null otherwise).
    static Ref<Pasteboard> pasteboardWithName(std::string_view name, bool create);
    // Forgets the pasteboards of this process (not their files), as a new process starts.
    static void resetPasteboards();
    // The file of a persistent pasteboard of that name.
    static std::string filePath(std::string_view name);

    Pasteboard(std::string name, bool persistent);

    const std::string& name() const { return name_; }
    bool isPersistent() const;
    // Turning it on writes the items to the sandbox (a board without items keeps a file another process
    // wrote meanwhile); turning it off removes the file.
    void setPersistent(bool persistent);

    Array items() const;
    void setItems(Array items);
    // Reads the items, lets the change edit them and, when it answers true, writes them back: for a
    // persistent pasteboard under a lock every process takes for the same board, so no process's items
    // are lost between another's read and write.
    void updateItems(const std::function<bool(Array& items)>& change);
    // The first item's value for the type (nil when none).
    Value valueForPasteboardType(std::string_view type) const;
    // Replaces the items by one item holding the value under the type.
    void setValue(Value value, std::string_view type);
    std::optional<Bytes> dataForPasteboardType(std::string_view type) const;
    void setData(Bytes data, std::string_view type);
    // Text under kPasteboardTypeUTF8PlainText.
    std::optional<std::string> string() const;
    void setString(std::string text);

private:
    Array load() const;
    void save(const Array& items) const;

    const std::string name_;
    mutable std::mutex mutex_;
    bool persistent_;
    Array items_;  // while not persistent
};

}  // namespace lv
