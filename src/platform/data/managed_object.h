// Records: objects described by an entity of the model, living in one context. A record's values are
// read and written by key, limited to its entity's properties; a new record starts with the default
// values of its attributes; a record read from the store may start as a fault whose values load on
// first access. The context tracks what changed until the next save.
//
// Record classes. A class named by an entity ("News") derives from ManagedObject, declares typed
// accessors with LV_RECORD_ATTRIBUTE and registers itself with RecordClassDef; the context then makes
// records of that entity as instances of that class:
//
//   class News : public ManagedObject {
//   public:
//       LV_RECORD_ATTRIBUTE(title, Title)      // Value title() const; void setTitle(const Value&)
//       static const ClassInfo* runtimeClass() {
//           static const ClassInfo* cls = RecordClassDef<News>("News").attribute("title", "String").registerClass();
//           return cls;
//       }
//   };
//
// An entity whose class is not registered gets plain ManagedObject records.
//
// Threads: a record belongs to its context and is touched only on that context's queue; only
// objectID() and entity() may be read from any thread (the did-save notification hands records to
// other threads, which merge them by ID).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/error.h"
#include "platform/base/object.h"
#include "platform/base/value.h"
#include "platform/data/model.h"
#include "platform/data/object_id.h"
#include "platform/runtime/runtime.h"

namespace lv {

class ManagedObjectContext;

class ManagedObject : public Object {
public:
    // Records are made by a context (insertNewObject, fetches, objectWithID) or by make(); this
    // constructor serves the runtime's factories.
    ManagedObject();
    ~ManagedObject() override;

    // The runtime class "ManagedObject", superclass of every record class.
    static const ClassInfo* runtimeClass();

    // A new record of the named entity inserted into the context (nullptr when the context's model has
    // no such entity or the context has no model).
    static Ref<ManagedObject> insertNewObject(std::string_view entityName, const Ref<ManagedObjectContext>& context);
    // A new record of the entity, as an instance of the entity's registered record class, inserted
    // into the context when one is given.
    static Ref<ManagedObject> make(const Ref<EntityDescription>& entity, const Ref<ManagedObjectContext>& context);
    // The record an object is, or nullptr when it is none: what a dynamic cast gives, with the answer
    // for the last class met kept per thread (records come by the thousand of one class, and each cast
    // would walk the class hierarchy). Any thread.
    static ManagedObject* fromObject(Object* object);
    static Ref<ManagedObject> fromObject(const Ref<Object>& object) {
        ManagedObject* record = fromObject(object.get());
        return record ? Ref<ManagedObject>(object, record) : nullptr;
    }
    static Ref<ManagedObject> fromValue(const Value& value) { return value.isObject() ? fromObject(value.object()) : nullptr; }

    const Ref<EntityDescription>& entity() const { return entity_; }
    // Temporary until the record is saved or given a permanent ID. Any thread.
    Ref<ManagedObjectID> objectID() const;
    // Nullptr for a record that was never inserted, was deleted and saved, or whose context is gone.
    Ref<ManagedObjectContext> managedObjectContext() const;

    bool isInserted() const { return inserted_; }
    bool isUpdated() const { return updated_; }
    bool isDeleted() const { return deleted_; }
    // Whether the values are not loaded yet.
    bool isFault() const { return fault_; }
    bool hasChanges() const { return inserted_ || updated_ || deleted_; }

    // Values by key. Attributes give their values; a to-one relationship the related record (nil when
    // none); a to-many one an array of records, in order. A key that is not a property of the entity
    // raises kUndefinedKeyException; setting a value of a kind the attribute cannot hold (text for a
    // number, a number for a date, a record of another entity, ...) raises kInvalidArgumentException.
    // Setting a relationship keeps its inverse up to date.
    Value valueForKey(const std::string& key) const;
    void setValueForKey(const Value& value, const std::string& key);
    // setValueForKey for the property at `index` of entity()->properties() (what
    // entity()->propertyIndex(name) gives): for a caller that has the index already. Same checks,
    // conversions, change tracking and exceptions; the index must be one of the entity's.
    void setValueForPropertyIndex(std::size_t index, const Value& value) { setValueAtIndex(index, value); }
    // To-many relationships: adds (at the end) or removes one record.
    void addObject(const Ref<ManagedObject>& object, const std::string& relationship);
    void removeObject(const Ref<ManagedObject>& object, const std::string& relationship);

    // Whether a save would accept the record's values: false with the error a save would report for
    // them (an integer attribute no 64-bit integer holds: 1610/1620; a required value missing: 1570;
    // several: 1560). Lets a caller leave out one record instead of failing a whole save.
    bool validateForInsert(Ref<Error>* error) const;

    // The changed values since the record was fetched or last saved (nil as null).
    Dictionary changedValues() const;
    // The values as last fetched or saved, for the keys (all properties when empty; nil as null).
    Dictionary committedValuesForKeys(const std::vector<std::string>& keys = {}) const;

    // Loads the values of a fault (the key is not needed: all values load together).
    void willAccessValueForKey(const std::string& key = {}) const;

    // "<News: 0x…> (entity: News; id: <x-lvdata://…>; data: {\n    title = \"…\";\n})", or
    // "data: <fault>" while the values are not loaded.
    std::string description() const override;

private:
    friend class ManagedObjectContext;
    friend struct ContextAccess;

    enum List : std::uint8_t { kInserted, kUpdated, kDeleted, kNoteInserted, kNoteUpdated, kNoteDeleted, kNoteRefreshed, kListCount };
    static constexpr std::uint32_t kNoSlot = std::numeric_limits<std::uint32_t>::max();

    void bind(Ref<EntityDescription> entity, Ref<ManagedObjectID> id);
    // Takes the ID over (callers move IDs in when they are done with them: no count change).
    void setID(Ref<ManagedObjectID> id);
    void fire() const;
    void setRelationshipIDs(std::size_t index, const Value& ids, bool maintainInverse);
    int indexForKey(const std::string& key, bool setting) const;
    // valueForKey / setValueForKey once the key's property index is known.
    Value valueAtIndex(std::size_t index) const;
    void setValueAtIndex(std::size_t index, const Value& value);
    // Stores an attribute value of the stored form (announcing the change when there is one).
    template <class V>
    void storeAttribute(std::size_t index, V&& stored);
    // setValueForKey for an attribute value of another form, and for a relationship.
    void setConvertedAttribute(std::size_t index, const Value& value);
    void setRelationshipValue(std::size_t index, const Value& value);
    Value relatedValue(std::size_t index) const;

    Ref<EntityDescription> entity_;
    Ref<ManagedObjectID> id_;                               // the owner's copy
    std::atomic<std::shared_ptr<ManagedObjectID>> sharedID_;  // the copy other threads read
    Weak<ManagedObjectContext> context_;
    // Current values by property index (to-one: an object ID or nil; to-many: an array of IDs, or nil
    // while not loaded).
    mutable std::vector<Value> values_;
    // The values before the first unsaved change (empty when the record has none).
    std::vector<Value> committed_;
    std::int64_t version_ = 0;  // the row version the values are based on (0: not stored)
    mutable bool fault_ = false;
    bool inserted_ = false;
    bool updated_ = false;
    bool deleted_ = false;
    mutable bool gone_ = false;  // the record's row no longer exists
    bool registered_ = false;
    bool marked_ = false;  // scratch of one walk over records (set and cleared within it)
    std::array<std::uint32_t, kListCount> slots_;
};

// Declares a record's typed accessors: `Value name() const` and `void setName(const Value&)`.
#define LV_RECORD_ATTRIBUTE(name, Name)                                         \
    ::lv::Value name() const { return valueForKey(#name); }                     \
    void set##Name(const ::lv::Value& value) { setValueForKey(value, #name); }

// Registers a record class: superclass ManagedObject, a factory, and a declared dynamic property per
// attribute (class name "String", "Number", "DecimalNumber", "Date", "Data", or empty for any object)
// whose accessors go through the record's values.
template <class T>
class RecordClassDef {
public:
    explicit RecordClassDef(std::string name) : def_(std::move(name)) {
        ManagedObject::runtimeClass();
        def_.template superclass<ManagedObject>().factory();
    }
    RecordClassDef& attribute(const std::string& name, std::string_view className) {
        std::string encoding = className.empty() ? std::string("@") : "@\"" + std::string(className) + "\"";
        def_.property(
            name, std::move(encoding), "&,D,N", [name](const T& o) { return o.valueForKey(name); },
            [name](T& o, const Value& v) { o.setValueForKey(v, name); });
        return *this;
    }
    // Further runtime declarations (hooks, protocols).
    ClassDef<T>& classDef() { return def_; }
    const ClassInfo* registerClass() { return def_.registerClass(); }

private:
    ClassDef<T> def_;
};

}  // namespace lv
