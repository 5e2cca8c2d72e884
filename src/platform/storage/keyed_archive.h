// Keyed archives: object graphs written as a property list in the platform's keyed-archive shape
// ({"$archiver": "NSKeyedArchiver", "$version": 100000, "$top": {...}, "$objects": [...]}, objects
// referenced by UID), and read back with their classes recreated by name through the runtime registry.
//
// What can be archived: every kind of Value (strings, numbers, data, dates, the null value, decimals,
// arrays and dictionaries), errors, sets (ArchivedSet), and objects whose class derives from Coding
// and is registered with the runtime (with a factory) under the name it is archived by. An object that appears several times
// in a graph is written once and read back as one shared object; cycles through objects are allowed.
// Values have no identity, so a value container that occurs twice is written twice.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/error.h"
#include "platform/base/value.h"
#include "platform/storage/property_list.h"

namespace lv {

class ClassInfo;
class Coder;

// Implemented by classes whose instances can be archived. A class takes part by deriving from Coding
// (beside Object) and registering with the runtime with a factory.
class Coding {
public:
    virtual ~Coding() = default;
    virtual void encodeWithCoder(Coder& coder) const = 0;
    // Called on a fresh instance made by the class's factory; false makes the object read as nil.
    virtual bool initWithCoder(Coder& coder) = 0;
    // Whether instances may be read by a coder that requires secure coding.
    virtual bool supportsSecureCoding() const { return false; }
};

// Exceptions the coders raise, and the Cocoa error codes of the never-raising entry points.
inline constexpr std::string_view kInvalidArchiveOperationException = "NSInvalidArchiveOperationException";
inline constexpr std::string_view kInvalidUnarchiveOperationException = "NSInvalidUnarchiveOperationException";
inline constexpr std::int64_t kCoderReadCorruptError = 4864;
inline constexpr std::int64_t kCoderValueNotFoundError = 4865;
inline constexpr std::int64_t kCoderInvalidValueError = 4866;

// The coder interface: KeyedArchiver implements the encode… calls, KeyedUnarchiver the decode… calls;
// calling the other side raises kInvalidArgumentException. Keys are any text (a leading "$" is escaped
// in the archive).
class Coder {
public:
    virtual ~Coder();
    virtual bool requiresSecureCoding() const = 0;
    bool allowsKeyedCoding() const { return true; }

    // An object (nil allowed); shared objects are written once.
    virtual void encodeObject(const Value& object, std::string_view key);
    // An object that is kept only when the archive also holds it unconditionally (objects by identity,
    // strings by value); otherwise the key reads as nil. Other kinds always read as nil.
    virtual void encodeConditionalObject(const Value& object, std::string_view key);
    virtual void encodeBool(bool value, std::string_view key);
    virtual void encodeInt32(std::int32_t value, std::string_view key);
    virtual void encodeInt64(std::int64_t value, std::string_view key);
    virtual void encodeInteger(std::int64_t value, std::string_view key);
    virtual void encodeDouble(double value, std::string_view key);
    virtual void encodeFloat(float value, std::string_view key);
    virtual void encodeBytes(std::span<const std::uint8_t> bytes, std::string_view key);

    virtual bool containsValueForKey(std::string_view key) const;
    // The object under the key, nil when absent. With secure coding this checks against the classes
    // of the innermost decodeObjectOfClasses call in progress (none at the top: it raises).
    virtual Value decodeObject(std::string_view key);
    // With secure coding the object must be an instance of one of the classes (or of a subclass), and
    // the elements of an array or dictionary likewise, except strings, numbers and data stored inline;
    // otherwise kInvalidUnarchiveOperationException. Without secure coding the classes are not checked.
    // A scalar written under the key (encodeInteger and the like) is read as its number, with secure
    // coding when "Number" is among the classes.
    virtual Value decodeObjectOfClass(const ClassInfo* cls, std::string_view key);
    virtual Value decodeObjectOfClasses(std::span<const ClassInfo* const> classes, std::string_view key);
    // Scalars: 0 / false / empty when absent; another kind under the key raises
    // kInvalidUnarchiveOperationException, so does an integer too wide for decodeInt32.
    virtual bool decodeBool(std::string_view key);
    virtual std::int32_t decodeInt32(std::string_view key);
    virtual std::int64_t decodeInt64(std::string_view key);
    virtual std::int64_t decodeInteger(std::string_view key);
    virtual double decodeDouble(std::string_view key);
    virtual float decodeFloat(std::string_view key);
    virtual Bytes decodeBytes(std::string_view key);
};

// A set of values as archives hold one (class "NSSet", the members under "NS.objects"). The archiver
// writes it; the unarchiver reads a set back as an Array of its members, in archive order (so a set is
// decoded with the "Array" class).
class ArchivedSet final : public Object {
public:
    explicit ArchivedSet(Array members) : members_(std::move(members)) {}
    static Ref<ArchivedSet> make(Array members) { return makeRef<ArchivedSet>(std::move(members)); }
    const Array& members() const { return members_; }

private:
    Array members_;
};

class KeyedArchiver final : public Coder {
public:
    explicit KeyedArchiver(bool requiresSecureCoding = false);
    ~KeyedArchiver() override;
    KeyedArchiver(const KeyedArchiver&) = delete;
    KeyedArchiver& operator=(const KeyedArchiver&) = delete;

    bool requiresSecureCoding() const override { return secure_; }
    // Binary (the default) or XML.
    void setOutputFormat(PropertyListFormat format) { format_ = format; }

    // Encoding raises kInvalidArgumentException for an object whose class cannot be archived (not a
    // Coding, or not registered under its own type) and kInvalidArchiveOperationException for a class
    // without secure coding when the archiver requires it, or for containers and objects nested more
    // than 512 deep.
    void encodeObject(const Value& object, std::string_view key) override;
    void encodeConditionalObject(const Value& object, std::string_view key) override;
    void encodeBool(bool value, std::string_view key) override;
    void encodeInt32(std::int32_t value, std::string_view key) override;
    void encodeInt64(std::int64_t value, std::string_view key) override;
    void encodeInteger(std::int64_t value, std::string_view key) override;
    void encodeDouble(double value, std::string_view key) override;
    void encodeFloat(float value, std::string_view key) override;
    void encodeBytes(std::span<const std::uint8_t> bytes, std::string_view key) override;

    // Finishes the archive and returns its bytes; later encoding raises. Text the property list cannot
    // hold (invalid UTF-8; in XML also control characters) raises kInvalidArchiveOperationException.
    Bytes encodedData();

    // The archive of the root object (under "root"); raises as encoding does.
    static Bytes archivedDataWithRootObject(const Value& root);
    // Never raises: nothing and a Cocoa error kCoderInvalidValueError instead.
    static std::optional<Bytes> archivedDataWithRootObject(const Value& root, bool requiringSecureCoding,
                                                           Ref<Error>* error);
    // Writes the archive of the root object to the file atomically; false on any failure.
    static bool archiveRootObject(const Value& root, std::string_view path);

private:
    struct State;
    bool secure_;
    PropertyListFormat format_ = PropertyListFormat::Binary;
    std::unique_ptr<State> state_;
};

class KeyedUnarchiver final : public Coder {
public:
    // Opens an archive; a damaged one (not a property list, no "$objects" or "$top") raises
    // kInvalidArgumentException.
    explicit KeyedUnarchiver(std::span<const std::uint8_t> data);
    // Never raises: nullptr and a kCoderReadCorruptError error for a damaged archive.
    static std::unique_ptr<KeyedUnarchiver> forReadingFromData(std::span<const std::uint8_t> data, Ref<Error>* error);
    ~KeyedUnarchiver() override;
    KeyedUnarchiver(const KeyedUnarchiver&) = delete;
    KeyedUnarchiver& operator=(const KeyedUnarchiver&) = delete;

    bool requiresSecureCoding() const override { return secure_; }
    void setRequiresSecureCoding(bool secure) { secure_ = secure; }

    // Decoding a damaged part (a UID out of range, an unknown or unregistered class, a container that
    // contains itself, a malformed object) raises kInvalidUnarchiveOperationException; unknown keys
    // read as nil / 0.
    bool containsValueForKey(std::string_view key) const override;
    Value decodeObject(std::string_view key) override;
    Value decodeObjectOfClass(const ClassInfo* cls, std::string_view key) override;
    Value decodeObjectOfClasses(std::span<const ClassInfo* const> classes, std::string_view key) override;
    bool decodeBool(std::string_view key) override;
    std::int32_t decodeInt32(std::string_view key) override;
    std::int64_t decodeInt64(std::string_view key) override;
    std::int64_t decodeInteger(std::string_view key) override;
    double decodeDouble(std::string_view key) override;
    float decodeFloat(std::string_view key) override;
    Bytes decodeBytes(std::string_view key) override;
    // Ends decoding; nothing else to release here.
    void finishDecoding() {}

    // The root object of the archive. A damaged archive logs one line and raises (kInvalidArgumentException
    // or kInvalidUnarchiveOperationException), as the platform does; callers catch it where their
    // caller expects nil.
    static Value unarchiveObjectWithData(std::span<const std::uint8_t> data);
    // The same for a file; nil when the file cannot be read.
    static Value unarchiveObjectWithFile(std::string_view path);
    // Never raises: a damaged archive logs one line and gives nil with a Cocoa error
    // kCoderReadCorruptError (kCoderValueNotFoundError when the archive has no root).
    static Value unarchivedObject(std::span<const std::uint8_t> data, Ref<Error>* error);
    // Secure reading of the root: it (and its elements) must be of the classes.
    static Value unarchivedObjectOfClasses(std::span<const ClassInfo* const> classes,
                                           std::span<const std::uint8_t> data, Ref<Error>* error);
    static Value unarchivedObjectOfClass(const ClassInfo* cls, std::span<const std::uint8_t> data, Ref<Error>* error);

private:
    struct State;
    KeyedUnarchiver();
    bool secure_ = false;
    std::unique_ptr<State> state_;
};

}  // namespace lv
