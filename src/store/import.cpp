#include "store/import.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/base/error.h"
#include "platform/base/format.h"
#include "platform/base/lifetime.h"
#include "platform/data/errors.h"
#include "platform/data/predicate.h"
#include "platform/runtime/detail/generation.h"
#include "platform/runtime/runtime.h"
#include "store/detail/import_values.h"
#include "store/detail/state.h"
#include "store/record_stack.h"

namespace lv {

using store_detail::attributeEntry;
using store_detail::attributeValueRefusal;
using store_detail::convertedAttributeValue;
using store_detail::dataValueForKeyPath;
using store_detail::logEnabled;
using store_detail::logMasked;
using store_detail::lookupValue;
using store_detail::userInfoEntry;
using store_detail::userInfoText;

namespace {

using DataHook = void(Object&, const Value&);
using DecisionHook = bool(Object&, const Value&);

const ClassInfo* classOfRecord(const ManagedObject& record) { return classOf(record); }

// The integer a numeric value stands for when every numeric kind compares equal to it exactly and to
// no other value: integral and below 2^53 in magnitude (a double holds every such integer, so no
// rounding joins two of them); nothing for other values.
std::optional<std::int64_t> exactInteger(const Value& value) {
    constexpr std::int64_t kLimit = std::int64_t{1} << 53;
    if (const Number* n = value.number()) {
        if (n->isFloatingPoint()) {
            const double d = n->doubleValue();
            if (!(std::fabs(d) < static_cast<double>(kLimit)) || d != std::trunc(d)) return std::nullopt;
            return static_cast<std::int64_t>(d);
        }
        if (n->isUnsigned()) {
            const std::uint64_t u = n->unsignedLongLongValue();
            if (u >= static_cast<std::uint64_t>(kLimit)) return std::nullopt;
            return static_cast<std::int64_t>(u);
        }
        const std::int64_t i = n->longLongValue();
        if (i <= -kLimit || i >= kLimit) return std::nullopt;
        return i;
    }
    if (const Decimal* d = value.decimal()) {
        if (d->isNaN()) return std::nullopt;
        const std::int64_t i = d->longLongValue();
        if (i <= -kLimit || i >= kLimit || Decimal::fromInteger(i).compare(*d) != 0) return std::nullopt;
        return i;
    }
    return std::nullopt;
}

// Finds the records of an array import by their identifying value: one fetch of the entity's records
// (everything a query would see: stored rows and the unsaved records of the context and its parents)
// and a map of their values, brought up to date after each element with the value of the record
// that element filled. A query per element instead scans every unsaved record each time, so the
// import would be quadratic in its elements.
//
// It answers only where its answer is the query's: text values (compared bytewise, by the store as in
// memory) and integral numbers below 2^53 (every numeric kind compares those exactly and alike, and
// equal to no other value: no fraction, no larger number and no NaN), when exactly one record holds
// the value or none does, and only while nothing but the import itself has changed the entity's
// records since the fetch. Code of the app's may change any record, so once a
// hook runs, a method resolver may run or a class makes its own record, and once a related import
// reaches records of the same entity, it answers nothing more. Every other element is looked up by
// the query, as before.
class KeyIndex {
public:
    KeyIndex(const RecordEntity& entity, Ref<ManagedObjectContext> context)
        : entity_(entity), context_(std::move(context)), entityName_(entity.RS_entityName()) {}

    // The record holding the value, or nullptr when none does; nothing when the query must answer.
    std::optional<Ref<ManagedObject>> find(const Ref<EntityDescription>& description, const Ref<AttributeDescription>& attribute,
                                           const Value& value) {
        if (state_ == State::Unbuilt) build(description, attribute);
        if (state_ != State::Ready) return std::nullopt;
        if (description != description_ || attribute != attribute_) {
            invalidate();
            return std::nullopt;
        }
        const Bucket* bucket = nullptr;
        if (value.isString()) {
            auto it = texts_.find(value.string());
            if (it == texts_.end()) return Ref<ManagedObject>();
            bucket = &it->second;
        } else if (const auto n = exactInteger(value)) {
            auto it = numbers_.find(*n);
            if (it == numbers_.end()) return Ref<ManagedObject>();
            bucket = &it->second;
        } else {
            return std::nullopt;
        }
        if (bucket->empty()) return Ref<ManagedObject>();
        if (bucket->size() > 1) return std::nullopt;  // the query knows which one comes first
        return bucket->front();
    }

    // Around the import of one element: the record found for it leaves its entry, and the record the
    // element filled (none when it was refused and deleted) enters under its value now.
    void willImport(const Ref<ManagedObject>& found) {
        if (state_ == State::Ready && found) update(found, false);
    }
    void didImport(const Ref<ManagedObject>& record) {
        if (state_ == State::Ready && record) update(record, true);
    }

    // Something other than the import may have changed the entity's records. Before the fetch nothing
    // is lost: the fetch sees the change.
    void invalidate() {
        if (state_ != State::Ready) return;
        state_ = State::Off;
        texts_.clear();
        numbers_.clear();
    }

    const std::string& entityName() const { return entityName_; }

    // Whether asking the class for a hook it lacks may run a method resolver (code of the app's).
    bool resolverMayRun(const ClassInfo* cls) {
        for (const auto& [known, answer] : resolvers_) {
            if (known == cls) return answer;
        }
        const bool answer = static_cast<bool>(methodResolver(cls, HookSide::Instance));
        resolvers_.emplace_back(cls, answer);
        return answer;
    }

private:
    enum class State : std::uint8_t { Unbuilt, Ready, Off };
    using Bucket = std::vector<Ref<ManagedObject>>;

    void build(const Ref<EntityDescription>& description, const Ref<AttributeDescription>& attribute) {
        state_ = State::Off;
        if (!description || !attribute || description->propertyIndex(attribute->name()) < 0) return;
        // Kinds whose values the store compares as memory does and the index can key.
        switch (attribute->attributeType()) {
            case AttributeType::Integer16:
            case AttributeType::Integer32:
            case AttributeType::Integer64:
            case AttributeType::Decimal:
            case AttributeType::Double:
            case AttributeType::Float:
            case AttributeType::Boolean:
            case AttributeType::String: break;
            default: return;
        }
        // The query compares the attribute itself; a name the predicate reads otherwise stays with it.
        Ref<Error> error;
        Ref<Predicate> probe = Predicate::parse("%K = %@", {Value(attribute->name()), Value(std::string())}, &error);
        if (!probe || probe->kind() != Predicate::Kind::Comparison || probe->leftExpression().kind() != Expression::Kind::KeyPath ||
            probe->leftExpression().keyPath() != attribute->name()) {
            return;
        }
        // A failed fetch is not reported: the queries then run (and report) as before.
        Ref<FetchRequest> request = entity_.RS_requestAllInContext(context_);
        std::optional<Array> records;
        if (!store_detail::guarded(kObjectStoreError, &error, [&] { records = context_->executeFetchRequest(*request, &error); })) return;
        if (!records) return;
        description_ = description;
        attribute_ = attribute;
        key_ = attribute->name();
        for (const Value& value : *records) {
            Ref<ManagedObject> record = ManagedObject::fromValue(value);
            if (!record) {
                texts_.clear();
                numbers_.clear();
                return;
            }
            add(record);
        }
        state_ = State::Ready;
    }

    void add(const Ref<ManagedObject>& record) {
        const Value value = record->valueForKey(key_);
        if (value.isString()) {
            texts_[value.string()].push_back(record);
        } else if (const auto n = exactInteger(value)) {
            numbers_[*n].push_back(record);
        }
    }

    void update(const Ref<ManagedObject>& record, bool entering) {
        if (entering) {
            if (record->isDeleted() || !record->managedObjectContext()) return;
            add(record);
            return;
        }
        const Value value = record->valueForKey(key_);
        Bucket* bucket = nullptr;
        if (value.isString()) {
            auto it = texts_.find(value.string());
            bucket = it == texts_.end() ? nullptr : &it->second;
        } else if (const auto n = exactInteger(value)) {
            auto it = numbers_.find(*n);
            bucket = it == numbers_.end() ? nullptr : &it->second;
        } else {
            return;  // a value no element the index answers can equal
        }
        auto at = bucket ? std::find(bucket->begin(), bucket->end(), record) : Bucket::iterator();
        if (!bucket || at == bucket->end()) {
            invalidate();  // not where its value says: the index no longer knows the records
            return;
        }
        bucket->erase(at);
    }

    const RecordEntity& entity_;
    Ref<ManagedObjectContext> context_;
    std::string entityName_;
    State state_ = State::Unbuilt;
    Ref<EntityDescription> description_;
    Ref<AttributeDescription> attribute_;
    std::string key_;
    std::unordered_map<std::string, Bucket> texts_;
    std::unordered_map<std::int64_t, Bucket> numbers_;
    std::vector<std::pair<const ClassInfo*, bool>> resolvers_;
};

// The index of the array import running on this thread's context queue, if any.
thread_local KeyIndex* activeIndex = nullptr;

// The record's hook of the name and signature. Finding one (or asking a resolver) means code of the
// app's runs in the import.
template <class Sig>
const std::function<Sig>* importHook(const ClassInfo* cls, std::string_view name) {
    if (!cls) return nullptr;
    const std::function<Sig>* hook = cls->findInstanceHook<Sig>(name);
    if (activeIndex && (hook || activeIndex->resolverMayRun(cls))) activeIndex->invalidate();
    return hook;
}

// Runs a bool or void hook of the record with the argument: nothing when the record has no hook of
// either signature, else the hook's answer (true for a void hook). The name is looked up once (the
// nearest hook of the name, the resolver asked at most once, as for each typed lookup) and its
// signature tells which of the two it is.
std::optional<bool> runFoundHook(const Ref<ManagedObject>& record, const ClassInfo* cls, const std::any* hook,
                                 const Value& argument) {
    const auto* decide = hook ? std::any_cast<std::function<DecisionHook>>(hook) : nullptr;
    const auto* act = hook && !decide ? std::any_cast<std::function<DataHook>>(hook) : nullptr;
    if (activeIndex && (decide || act || activeIndex->resolverMayRun(cls))) activeIndex->invalidate();
    if (decide) return (*decide)(*record, argument);
    if (act) {
        (*act)(*record, argument);
        return true;
    }
    return std::nullopt;
}

std::optional<bool> runHook(const Ref<ManagedObject>& record, const std::string& name, const Value& argument) {
    const ClassInfo* cls = classOfRecord(*record);
    if (!cls) return std::nullopt;
    return runFoundHook(record, cls, cls->hook(HookSide::Instance, name), argument);
}

// runHook for the "import<Key>:" hook of an attribute under its own name, with the look-up's answer
// kept per thread by class and attribute while the runtime and every entity stay as they are (an
// import asks it for each attribute of each record). An answer of none is kept only when no method
// resolver could give one later: a class with a resolver is asked each time, as before.
std::optional<bool> runAttributeHook(const Ref<ManagedObject>& record, const AttributeDescription& attribute,
                                     const std::string& name, const Value& argument) {
    // Kept by attribute only where the hook is named after the attribute's own name.
    if (&name != &attribute.name()) return runHook(record, selectorName("import", name, ":"), argument);
    const ClassInfo* cls = classOfRecord(*record);
    if (!cls) return std::nullopt;
    struct Known {
        const ClassInfo* cls;
        const AttributeDescription* attribute;
        const std::any* hook;
    };
    struct KnownHooks {
        std::uint64_t runtime = 0;
        std::uint64_t entities = 0;
        std::vector<Known> known;
    };
    static PerThread<KnownHooks> knownOfThread;
    KnownHooks& known = knownOfThread.get();
    const std::uint64_t runtime = runtimeGeneration();
    const std::uint64_t entities = data_detail::entityEditGeneration();
    if (known.runtime != runtime || known.entities != entities || known.known.size() >= 256) {
        known.known.clear();
        known.runtime = runtime;
        known.entities = entities;
    }
    for (const Known& k : known.known) {
        if (k.cls == cls && k.attribute == &attribute) return runFoundHook(record, cls, k.hook, argument);
    }
    const std::any* hook = cls->hook(HookSide::Instance, selectorName("import", name, ":"));
    // Asking may have run a resolver that added hooks: the answer is kept only while nothing changed.
    if ((hook || !methodResolver(cls, HookSide::Instance)) && runtimeGeneration() == runtime) {
        known.known.push_back({cls, &attribute, hook});
    }
    return runFoundHook(record, cls, hook, argument);
}

std::string exceptionText(const Exception& e) { return e.name() + ": " + e.reason(); }

// Sets a value by key, logging (mask bit 1) instead of letting a refusal escape.
void setValueLogged(const Ref<ManagedObject>& record, const Value& value, const std::string& key) {
    try {
        record->setValueForKey(value, key);
    } catch (const Exception& e) {
        logMasked(RSLogMaskError, "Import could not set '%@' to %@: %@", key, value, e.reason());
    } catch (const std::exception& e) {
        logMasked(RSLogMaskError, "Import could not set '%@' to %@: %@", key, value, std::string(e.what()));
    }
}

// The class side of an entity's record class, named by the entity itself.
RecordEntity entityOfDescription(const Ref<EntityDescription>& entity) {
    RecordEntity::Hooks hooks;
    hooks.entityName = [name = entity->name()] { return name; };
    return RecordEntity(entity->managedObjectClassName(), std::move(hooks));
}

}  // namespace

Ref<ManagedObject> RS_createInstanceInContext(const Ref<EntityDescription>& entity, const Ref<ManagedObjectContext>& context) {
    if (!entity) return nullptr;
    return entityOfDescription(entity).RS_createEntityInContext(context);
}

// ---- records ----

bool RS_importValue(const Ref<ManagedObject>& record, const Value& value, const std::string& key) {
    if (!record) return false;
    return runHook(record, selectorName("import", key, ":"), value).value_or(false);
}

namespace {

// Sets one attribute of the record, under the name, from the data (see RS_setAttributes).
void setAttribute(const Ref<ManagedObject>& record, const AttributeDescription& attribute, const std::string& name,
                  const Value& data) {
    Value value;
    try {
        auto found = attributeEntry(data, attribute);
        if (found && data.isDictionary()) {
            // A dictionary's entry reads the same again: the value found is the value.
            value = convertedAttributeValue(&attribute, std::move(found->second));
        } else if (found) {
            value = convertedAttributeValue(&attribute, dataValueForKeyPath(data, found->first));
        } else if (userInfoEntry(attribute, kRSImportUseDefaultValueWhenNotPresentKey).boolValue()) {
            value = attribute.defaultValue();
        } else {
            return;
        }
        if (auto refusal = attributeValueRefusal(attribute, value)) {
            // Saving it would fail the whole save: the attribute keeps its value.
            logMasked(RSLogMaskError, "Import could not set '%@' to %@: %@", name, value, *refusal);
            return;
        }
        if (!runAttributeHook(record, attribute, name, value).value_or(false)) record->setValueForKey(value, name);
    } catch (const Exception& e) {
        // A value the record refuses (or a key path through a non-dictionary): the attribute keeps its
        // value and the import goes on.
        logMasked(RSLogMaskError, "Import could not set '%@' to %@: %@", name, value, e.reason());
    }
}

using AttributeList = std::vector<Ref<AttributeDescription>>;

// The entity's attributes in the order of attributesByName() (by name), without making that
// dictionary for every record imported: the list of the entity asked last on this thread is kept
// while no entity has been edited (an edit, or an entity's end, moves the generation on). Callers
// hold the list they get, so a hook that imports another entity meanwhile cannot take it from them.
std::shared_ptr<const AttributeList> attributesInNameOrder(const EntityDescription& entity) {
    struct LastList {
        const EntityDescription* entity = nullptr;
        std::uint64_t generation = 0;
        std::shared_ptr<const AttributeList> attributes;
    };
    static PerThread<LastList> lastOfThread;
    LastList& last = lastOfThread.get();
    const std::uint64_t generation = data_detail::entityEditGeneration();
    if (last.entity != &entity || last.generation != generation || !last.attributes) {
        AttributeList sorted = entity.attributes();
        std::stable_sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a->name() < b->name(); });
        // One attribute per name, the last declared, as in the dictionary (two share a name only when
        // one was renamed after it joined the entity).
        auto attributes = std::make_shared<AttributeList>();
        attributes->reserve(sorted.size());
        for (std::size_t i = 0; i < sorted.size(); ++i) {
            if (i + 1 == sorted.size() || sorted[i + 1]->name() != sorted[i]->name()) attributes->push_back(std::move(sorted[i]));
        }
        last = {&entity, generation, std::move(attributes)};
    }
    return last.attributes;
}

}  // namespace

void RS_setAttributes(const Ref<ManagedObject>& record, const Dictionary& attributes, const Value& data) {
    if (!record) return;
    for (const auto& [name, entry] : attributes) {
        const Ref<AttributeDescription> attribute = entry.objectAs<AttributeDescription>();
        if (attribute) setAttribute(record, *attribute, name, data);
    }
}

Ref<ManagedObject> RS_findObjectForRelationship(const Ref<ManagedObject>& record, const Ref<RelationshipDescription>& relationship,
                                                const Value& data) {
    if (!record || !relationship) return nullptr;
    const Value identifier = data.isDictionary() ? RS_relatedValueForRelationship(data, relationship) : data;
    if (identifier.isNilOrNull()) return nullptr;
    Ref<EntityDescription> destination = relationship->destinationEntity();
    if (!destination) return nullptr;
    // Looked up as the related record holds the value ("7" for an integer attribute is 7).
    const std::string key = RS_primaryKey(relationship);
    const Ref<AttributeDescription> attribute = RS_attributeDescriptionForName(destination, key);
    const Value value = attribute ? lookupValue(*attribute, identifier) : identifier;
    if (value.isNilOrNull()) return nullptr;
    return entityOfDescription(destination).RS_findFirstByAttribute(key, value, record->managedObjectContext());
}

void RS_addObject(const Ref<ManagedObject>& record, const Ref<ManagedObject>& related, const Ref<RelationshipDescription>& relationship) {
    if (!record || !related || !relationship) return;
    const std::string& name = relationship->name();
    std::string message;
    if (!relationship->isToMany()) {
        message = format("set%@:", RSImportCapitalizedName(name));
    } else if (!relationship->isOrdered()) {
        message = format("add%@Object:", RSImportCapitalizedName(name));
    } else {
        message = "addObject:";
    }
    try {
        const ClassInfo* cls = classOfRecord(*record);
        const auto* hook = relationship->isOrdered() ? nullptr : importHook<DataHook>(cls, message);
        if (hook) {
            (*hook)(*record, Value(related));
        } else if (relationship->isToMany()) {
            record->addObject(related, name);
        } else {
            record->setValueForKey(Value(related), name);
        }
    } catch (const Exception& e) {
        if (!logEnabled(RSLogMaskError)) return;
        logMasked(RSLogMaskError, "Adding object for relationship failed: %@\n", relationship);
        logMasked(RSLogMaskError, "relatedObject.entity %@", related->entity());
        logMasked(RSLogMaskError, "relationshipInfo.destinationEntity %@", relationship->destinationEntity());
        logMasked(RSLogMaskError, "Add Relationship Selector: %@", message);
        logMasked(RSLogMaskError, "perform selector error: %@", exceptionText(e));
    }
}

void RS_setRelationships(const Ref<ManagedObject>& record, const Dictionary& relationships, const Value& data,
                         const RSRelationshipBlock& block) {
    if (!record) return;
    const ClassInfo* cls = classOfRecord(*record);
    for (const auto& [name, entry] : relationships) {
        Ref<RelationshipDescription> relationship = entry.objectAs<RelationshipDescription>();
        if (!relationship) continue;
        const std::string shouldImportName = format("shouldImport%@:", RS_capitalizedFirstCharacterString(name));
        const auto* shouldImport = importHook<DecisionHook>(cls, shouldImportName);
        std::string key = userInfoText(relationship->userInfo(), kRSImportMappedKeyNameKey);
        if (key.empty()) key = name;
        Value related;
        try {
            related = dataValueForKeyPath(data, key);
        } catch (const Exception& e) {
            if (logEnabled(RSLogMaskWarning)) {
                logMasked(RSLogMaskWarning, "Looking up a key for relationship failed while importing: %@\n", relationship);
                logMasked(RSLogMaskWarning, "lookupKey: %@", key);
                logMasked(RSLogMaskWarning, "relationshipInfo.destinationEntity %@", relationship->destinationEntity());
                logMasked(RSLogMaskWarning, "relationshipData: %@", data);
                logMasked(RSLogMaskWarning, "Exception:\n%@: %@", e.name(), e.reason());
            }
            continue;
        }
        if (related.isNilOrNull()) continue;
        if (shouldImport && !(*shouldImport)(*record, related)) continue;
        if (RS_importValue(record, data, name)) continue;
        if (relationship->isToMany() && related.isArray()) {
            for (const Value& element : related.array()) block(relationship, element);
        } else {
            block(relationship, related);
        }
    }
}

bool RS_preImport(const Ref<ManagedObject>& record, const Value& data) {
    if (!record) return false;
    const ClassInfo* cls = classOfRecord(*record);
    if (!cls) return true;
    if (const auto* shouldImport = importHook<DecisionHook>(cls, "shouldImport:")) {
        if (!(*shouldImport)(*record, data)) return false;
    }
    if (const auto* willImport = importHook<DataHook>(cls, "willImport:")) (*willImport)(*record, data);
    return true;
}

bool RS_postImport(const Ref<ManagedObject>& record, const Value& data) {
    if (!record) return true;
    const ClassInfo* cls = classOfRecord(*record);
    if (const auto* didImport = importHook<DataHook>(cls, "didImport:")) (*didImport)(*record, data);
    return true;
}

bool RS_performDataImportFromObject(const Ref<ManagedObject>& record, const Value& data, const RSRelationshipBlock& block) {
    if (!record || !RS_preImport(record, data)) return false;
    const Ref<EntityDescription>& entity = record->entity();
    if (entity) {
        const std::shared_ptr<const AttributeList> attributes = attributesInNameOrder(*entity);
        for (const Ref<AttributeDescription>& attribute : *attributes) setAttribute(record, *attribute, attribute->name(), data);
        RS_setRelationships(record, entity->relationshipsByName(), data, block);
    }
    return RS_postImport(record, data);
}

namespace {

// The standard relationship block's work for one piece of data.
void importRelated(const Ref<ManagedObject>& record, const Ref<RelationshipDescription>& relationship, const Value& data) {
    // Related records of the array's own entity change what its index knows.
    if (activeIndex && relationship->destinationEntityName() == activeIndex->entityName()) activeIndex->invalidate();
    Ref<ManagedObject> related = RS_findObjectForRelationship(record, relationship, data);
    bool created = false;
    if (!related) {
        related = RS_createInstanceInContext(relationship->destinationEntity(), record->managedObjectContext());
        created = true;
    }
    if (!related) return;
    if (data.isDictionary()) {
        if (!RS_importValuesForKeysWithObject(related, data) && created) {
            // Refused: the record made for it goes again, and nothing is attached.
            if (auto context = related->managedObjectContext()) context->deleteObject(related);
            return;
        }
    } else if (!data.isNil()) {
        std::string name = userInfoText(relationship->userInfo(), kRSImportRelatedByAttributeKey);
        if (name.empty()) name = RSImportPrimaryKeyName(relationship->destinationEntityName());
        if (!RS_importValue(related, data, name)) {
            // The identifying value in the attribute's form, as the look-up above used it.
            const Ref<AttributeDescription> attribute = RS_attributeDescriptionForName(related->entity(), name);
            const Value value = attribute ? lookupValue(*attribute, data) : data;
            if (!value.isNil()) setValueLogged(related, value, name);
        }
    }
    RS_addObject(record, related, relationship);
}

}  // namespace

bool RS_importValuesForKeysWithObject(const Ref<ManagedObject>& record, const Value& data) {
    Weak<ManagedObject> weak = record;
    return RS_performDataImportFromObject(record, data, [weak](const Ref<RelationshipDescription>& relationship, const Value& item) {
        if (Ref<ManagedObject> self = weak.lock()) importRelated(self, relationship, item);
    });
}

// ---- record classes ----

namespace {

// Elements from which on an array import looks its records up in an index: below, a few queries cost
// less than one fetch of every record of the entity.
constexpr std::size_t kIndexedImportMinimum = 16;

// RS_importFromObject, with the array's index when there is one.
Ref<ManagedObject> importObject(const RecordEntity& entity, const Value& data, const Ref<ManagedObjectContext>& context, KeyIndex* index) {
    if (!context) return nullptr;
    Ref<ManagedObject> record;
    context->performAndWait([&] {
        struct Active {
            KeyIndex* outer;
            explicit Active(KeyIndex* index) : outer(std::exchange(activeIndex, index)) {}
            ~Active() { activeIndex = outer; }
            Active(const Active&) = delete;
            Active& operator=(const Active&) = delete;
        } active(index);
        try {
            Ref<EntityDescription> description = entity.RS_entityDescriptionInContext(context);
            Ref<AttributeDescription> attribute = RS_primaryAttributeToRelateBy(description);
            if (attribute) {
                // A missing identifying value names no record: every such item is a record of its own.
                // Looked up as a record holds the value ("7" for an integer attribute is 7).
                const Value value = lookupValue(*attribute, RS_valueForAttribute(data, attribute));
                if (!value.isNilOrNull()) {
                    std::optional<Ref<ManagedObject>> known = index ? index->find(description, attribute, value) : std::nullopt;
                    record = known ? *known : entity.RS_findFirstByAttribute(attribute->name(), value, context);
                }
            }
            const bool created = !record;
            if (index) {
                if (!created) index->willImport(record);
                else if (entity.makesOwnRecords()) index->invalidate();
            }
            if (created) record = entity.RS_createEntityInContext(context);
            if (!record) return;
            if (!RS_importValuesForKeysWithObject(record, data) && created) {
                context->deleteObject(record);
                record = nullptr;
            }
            if (index) index->didImport(record);
        } catch (const Exception& e) {
            // A hook that raised: the import ends here, reported as a log line.
            if (index) index->invalidate();
            logMasked(RSLogMaskError, "Import into %@ failed: %@", entity.RS_entityName(), exceptionText(e));
        }
    });
    return record;
}

}  // namespace

Ref<ManagedObject> RS_importFromObject(const RecordEntity& entity, const Value& data, const Ref<ManagedObjectContext>& context) {
    return importObject(entity, data, context, nullptr);
}

Array RS_importFromArray(const RecordEntity& entity, const Array& data, const Ref<ManagedObjectContext>& context) {
    Array records;
    records.reserve(data.size());
    // Only on the context's own queue: every element then runs in this one task, so nothing else runs
    // on the queue between two elements (a change announcement, another block) and changes records
    // behind the index. Called from elsewhere, each element waits for the queue as before.
    std::optional<KeyIndex> index;
    if (context && data.size() >= kIndexedImportMinimum && context->isOnQueue()) index.emplace(entity, context);
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (Ref<ManagedObject> record = importObject(entity, data[i], context, index ? &*index : nullptr)) {
            records.push_back(Value(record));
        } else {
            logMasked(RSLogMaskWarning, "Import of element %lu into %@ gave no record", static_cast<unsigned long>(i), entity.RS_entityName());
        }
    }
    return records;
}

}  // namespace lv
