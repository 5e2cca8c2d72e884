// The content-service protocol: request parameters per action and the storing reply worker.
#include "content/api_processor.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <typeindex>
#include <unordered_set>
#include <utility>
#include <vector>

#include "content/base_jm_model.h"
#include "content/constants.h"
#include "content/content_models.h"
#include "content/content_records.h"
#include "content/data_helper.h"
#include "content/date_string.h"
#include "mapping/json_adapter.h"
#include "platform/base/detail/value_text.h"
#include "platform/base/log.h"
#include "platform/data/coordinator.h"
#include "platform/data/errors.h"
#include "platform/data/model.h"
#include "platform/data/predicate.h"
#include "platform/dispatch/queue.h"
#include "platform/runtime/detail/generation.h"
#include "platform/runtime/runtime.h"
#include "platform/storage/bundle.h"
#include "platform/time/date_formatter.h"
#include "store/contexts.h"
#include "store/records.h"
#include "store/saves.h"

namespace lv {

namespace {

// The key of the known-item test: the values a stored record must equal ("same kind, equal value"),
// a text or a whole number, with a chart's rank beside it. Made without building a text of its own.
struct KnownKey {
    std::string text;  // the text, for a text value
    std::int64_t number = 0;  // the number, for a whole-number value
    std::int64_t rank = 0;
    bool isText = false;
    bool hasRank = false;
    bool operator==(const KnownKey& other) const {
        return isText == other.isText && hasRank == other.hasRank && rank == other.rank &&
               (isText ? text == other.text : number == other.number);
    }
};

struct KnownKeyHash {
    std::size_t operator()(const KnownKey& key) const {
        std::size_t h = key.isText ? std::hash<std::string>{}(key.text) : std::hash<std::int64_t>{}(key.number);
        if (key.hasRank) h ^= std::hash<std::int64_t>{}(key.rank) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
        return h;
    }
};
// Built once per reply and let go with it: its nodes come from the reply's arena.
using KnownKeys = std::pmr::unordered_set<KnownKey, KnownKeyHash>;

// One item's values as its model holds them: read from the model, or (on the road without a model)
// from the values mapped for it, which are what the model's properties would hold.
class ItemValues {
public:
    explicit ItemValues(const BaseJMModel& model) : model_(&model) {}
    explicit ItemValues(const JMPlainValues& values) : values_(&values) {}
    // The value of the property: the model's getter's, or the mapped value of the key.
    template <class Model>
    const Value& get(const Value& (Model::*getter)() const, std::string_view key) const {
        if (model_) return (static_cast<const Model&>(*model_).*getter)();
        return values_->valueForKey(key);
    }

private:
    const BaseJMModel* model_ = nullptr;
    const JMPlainValues* values_ = nullptr;
};

}  // namespace

struct APIProcessor::StoringOperation {
    std::string action;
    const ClassInfo* modelClass = nullptr;
    std::function<void()> clear;
    bool serverOrder = false;  // sortWeight = the item's index in the reply
    bool isNovel = false;      // "description" moves to "novel_desc"; each record is logged
    // The keys the model reads: an item with none of them holds nothing to store.
    Dictionary jsonKeys;
    // The values that put an item on the requested page (the category's selector). The page the reply
    // answers decides: an item lacking them, or naming another page, takes the request's.
    Dictionary selectors;
    // The request names no page (a chart site without a number): nothing of the reply is stored.
    bool noPage = false;
    // The records that make the item a known one (news and charts); empty: no test.
    std::function<bool(const ItemValues&, const Ref<ManagedObjectContext>&)> isKnown;
    // The same test answered from one fetch: the key of a model (nothing: ask isKnown), the key of a
    // stored record (nothing: it can equal no model key; Unkeyable: the one fetch cannot stand in for
    // isKnown), and every record of the entity.
    std::function<std::optional<KnownKey>(const ItemValues&)> modelKey;
    std::function<std::optional<KnownKey>(const ManagedObject&, bool& unkeyable)> recordKey;
    std::function<std::optional<Array>(const Ref<ManagedObjectContext>&)> allRecords;
    std::function<Ref<ManagedObject>(const Ref<ManagedObjectContext>&)> create;
};

namespace {

using StoringOperation = APIProcessor::StoringOperation;

template <class Record>
Ref<ManagedObject> createRecord(const Ref<ManagedObjectContext>& context) {
    return Record::RS_createEntityInContext(context);
}

template <class Record>
std::optional<Array> allRecordsOf(const Ref<ManagedObjectContext>& context) {
    return Record::recordEntity().RS_findAllInContext(context);
}

// The key of a value for the predicate's equality ("same kind, equal value"): a text, or a whole
// number by its digits. Nothing for nil (it equals no text or number). Any other kind (a double, a
// decimal, a boolean, …) sets unkeyable: its equality is not a matter of digits.
std::optional<KnownKey> plainKey(const Value& value, bool& unkeyable) {
    std::optional<KnownKey> key;  // made in place and returned as it is (no key moved)
    if (value.isNil()) return key;
    if (value.isString()) {
        key.emplace();
        key->isText = true;
        key->text = ValueText::view(value);
        return key;
    }
    if (const Number* number = value.number()) {
        switch (number->kind()) {
            case NumberKind::Int8: case NumberKind::Int16: case NumberKind::Int32: case NumberKind::Int64:
            case NumberKind::UInt8: case NumberKind::UInt16: case NumberKind::UInt32:
                key.emplace();
                key->number = value.longLongValue();
                return key;
            default: break;
        }
    }
    unkeyable = true;
    return key;
}

// The keys of the known-item test of a reply: every record of the entity as the context shows it after
// the truncation (pending deletions hidden, as each single test would see them), then each record the
// reply stores. Nothing when a stored value is of a kind whose equality a key cannot stand for; the
// single test then answers every item.
// stored: how many records the reply may add.
// arena: where the set's nodes are made; it outlives the set.
std::optional<KnownKeys> knownKeysOf(const APIProcessor::StoringOperation& operation, const Ref<ManagedObjectContext>& context,
                                     std::size_t stored, std::pmr::memory_resource& arena) {
    if (!operation.isKnown || !operation.allRecords) return std::nullopt;
    std::optional<Array> records = operation.allRecords(context);
    if (!records) return std::nullopt;
    KnownKeys keys(&arena);
    keys.reserve(records->size() + stored);
    for (const Value& item : *records) {
        const auto record = ManagedObject::fromValue(item);
        if (!record) return std::nullopt;
        bool unkeyable = false;
        std::optional<KnownKey> key = operation.recordKey(*record, unkeyable);
        if (unkeyable) return std::nullopt;
        if (key) keys.insert(std::move(*key));
    }
    return keys;
}

// The dictionary's value for the key (nil when absent), as dictionary.get(key) gives it, looked at first
// in the place the key had in the item before: a reply's items mostly have the same keys.
const Value& valueAtHint(const Dictionary& dictionary, const std::string& key, std::size_t& hint) {
    if (hint < dictionary.size()) {
        const Dictionary::Entry& entry = dictionary.begin()[static_cast<std::ptrdiff_t>(hint)];
        if (entry.first == key) return entry.second;
    }
    const auto it = std::lower_bound(dictionary.begin(), dictionary.end(), key,
                                     [](const Dictionary::Entry& entry, const std::string& k) { return entry.first < k; });
    static const Value& nil = *new Value();
    if (it == dictionary.end() || it->first != key) return nil;
    hint = static_cast<std::size_t>(it - dictionary.begin());
    return it->second;
}

template <class Record>
bool anyRecord(const Ref<Predicate>& predicate, const Ref<ManagedObjectContext>& context) {
    if (!predicate) return false;
    auto found = Record::RS_findAllWithPredicate(predicate, context);
    return found && !found->empty();
}

// After a failed save: every level from the context up to the root forgets what it had not written,
// and then every record it holds (each announces that, so lists showing them fetch again): a level
// may have saved into the one above, or the root into the write scope, whose commit then failed, so
// what it holds as saved may be in no file. The levels and the store then agree again, so the next
// save does not meet this one's changes.
void discardUnsavedChanges(const Ref<ManagedObjectContext>& context) {
    for (Ref<ManagedObjectContext> level = context; level; level = level->parentContext()) {
        level->performAndWait([&level] {
            level->rollback();
            level->reset();
        });
    }
}

// Whether the item carries any key the model reads.
bool hasAnyAttribute(const Value& item, const Dictionary& jsonKeys) {
    for (const auto& [property, keyPath] : jsonKeys) {
        if (keyPath.isString() && item.dictionary().contains(keyPath.string())) return true;
    }
    return false;
}

void logUnmapped(const StoringOperation& operation, std::size_t index, const Ref<Error>& error) {
    log("APIProcessor: %@ item %@ skipped, it does not map: %@", operation.action, std::to_string(index), error);
}

// The road without a model: where the model class maps plainly (JMJSONAdapter::mapsPlainly) and its
// models copy plainly (BaseJMModel::copiesPlainly), an item's values are read into a list, tested and
// copied into the record from there, which is what the model would have held and copied. Learnt from
// the reply's first model (made on the model road), then the adapter is asked per item (it is made
// again when the runtime changes, and says anew whether it maps plainly).
struct WithoutModel {
    bool learnt = false;
    bool copiesPlainly = false;
    std::string className;  // the models' class name, for the copy's log line
    std::size_t sortWeightIndex = 0;
    Ref<JMJSONAdapter> adapter;
    JMPlainValues values;

    bool ready() const { return copiesPlainly; }
    // Whether the class's adapter maps this item plainly. An adapter that does is kept while the
    // runtime stays as it was (the adapter cache would give the same one).
    bool adapt() {
        const std::uint64_t generation = runtimeGeneration();
        if (plainAdapter && generation == plainGeneration) return true;
        adapter = JMJSONAdapter::cachedAdapter(modelClass);
        plainAdapter = adapter && adapter->mapsPlainly();
        plainGeneration = generation;
        return plainAdapter;
    }
    void learn(const StoringOperation& operation, const BaseJMModel& model) {
        if (learnt) return;
        learnt = true;
        const ClassInfo* cls = operation.modelClass;
        if (model.modelClass() != cls || !cls->makesOwnType() || std::type_index(typeid(model)) != cls->cppType() ||
            !model.copiesPlainly()) {
            return;
        }
        if (operation.serverOrder) {
            // The position goes where setting "sortWeight" on the model puts it.
            const PropertyInfo* property = propertyForSettingKey(cls, "sortWeight");
            const auto& own = cls->ownProperties();
            std::size_t i = 0;
            while (i < own.size() && &own[i] != property) ++i;
            if (i == own.size() || cls->keyValueHandler()) return;
            sortWeightIndex = i;
        }
        modelClass = cls;
        className = model.className();
        copiesPlainly = true;
    }

private:
    const ClassInfo* modelClass = nullptr;
    bool plainAdapter = false;
    std::uint64_t plainGeneration = 0;
};

// The store's write lock from the clear to the end of the save: what another process commits
// meanwhile waits, so the clear sees every record of the category and the reply replaces all of them.
class WritingScope {
public:
    explicit WritingScope(const Ref<ManagedObjectContext>& context) : coordinator_(context->persistentStoreCoordinator()) {}
    ~WritingScope() {
        if (began_) coordinator_->cancelWriting();
    }
    WritingScope(const WritingScope&) = delete;
    WritingScope& operator=(const WritingScope&) = delete;
    bool begin(Ref<Error>* error) {
        if (!coordinator_) return true;
        began_ = coordinator_->beginWriting(error);
        return began_;
    }
    bool end(Ref<Error>* error) {
        if (!began_) return true;
        began_ = false;
        return coordinator_->endWriting(error);
    }

private:
    Ref<PersistentStoreCoordinator> coordinator_;
    bool began_ = false;
};

// Replaces the category's records with the reply's items in the default context and saves the deletion
// and the new records together, in one transaction of the file, under the write lock taken before the
// clear. An item that does not map, that carries nothing the model reads, or whose values the store
// cannot hold, is skipped with one log line. False, with the store and the context as they were, when
// the lock cannot be had, the save fails, or the list held items and none of them could be stored.
bool replaceCategory(const StoringOperation& operation, const Array& list, const Ref<ManagedObjectContext>& context,
                     Ref<Error>* error) {
    WritingScope writing(context);
    Ref<Error> lockError;
    if (!writing.begin(&lockError)) {
        log("APIProcessor: the %@ reply could not be stored, the store cannot be locked for writing; the cached "
            "records are kept: %@",
            operation.action, lockError);
        setError(error, lockError);
        return false;
    }
    operation.clear();
    std::pmr::monotonic_buffer_resource keysArena;
    std::optional<KnownKeys> knownKeys = knownKeysOf(operation, context, list.size(), keysArena);
    WithoutModel withoutModel;
    std::vector<std::size_t> selectorHints(operation.selectors.size(), 0);
    std::size_t unusable = 0;
    Ref<Error> firstItemError;
    for (std::size_t index = 0; index < list.size(); ++index) {
        Value item = list[index];
        if (operation.isNovel && item.isDictionary() && item["description"]) {
            Value description = item["description"];
            item.mutableDictionary().remove("description");
            item.mutableDictionary().set("novel_desc", std::move(description));
        }
        if (item.isDictionary()) {
            if (!hasAnyAttribute(item, operation.jsonKeys)) {
                log("APIProcessor: %@ item %@ skipped, it has no attribute", operation.action, std::to_string(index));
                ++unusable;
                continue;
            }
            std::size_t selector = 0;
            for (const auto& [key, value] : operation.selectors) {
                // An item of another page (or of none) would be cleared by no refresh of this one.
                const Value& own = valueAtHint(item.dictionary(), key, selectorHints[selector++]);
                if (own.type() != value.type() || !(own == value)) item.mutableDictionary().set(key, value);
            }
        }
        Ref<Error> itemError;
        // Without a model where the class maps and copies plainly and the known-item test needs none.
        const bool plain = withoutModel.ready() && (!operation.isKnown || knownKeys) && withoutModel.adapt();
        Ref<BaseJMModel> model;
        if (plain) {
            if (!withoutModel.adapter->plainValuesFromJSONDictionary(item, withoutModel.values, &itemError)) {
                logUnmapped(operation, index, itemError);
                ++unusable;
                if (!firstItemError) firstItemError = itemError;
                continue;
            }
        } else {
            model = std::dynamic_pointer_cast<BaseJMModel>(JMJSONAdapter::modelOfClass(operation.modelClass, item, &itemError));
            if (!model) {
                logUnmapped(operation, index, itemError);
                ++unusable;
                if (!firstItemError) firstItemError = itemError;
                continue;
            }
            withoutModel.learn(operation, *model);
        }
        Value sortWeight;
        if (operation.serverOrder) {
            sortWeight = Value(static_cast<std::int64_t>(index));
            if (plain) withoutModel.values.set(withoutModel.sortWeightIndex, &sortWeight);
            else setValueForKey(*model, sortWeight, "sortWeight");
        }
        if (operation.isKnown) {
            const ItemValues values = plain ? ItemValues(withoutModel.values) : ItemValues(*model);
            const std::optional<KnownKey> key = knownKeys ? operation.modelKey(values) : std::nullopt;
            if (key ? knownKeys->count(*key) > 0 : operation.isKnown(values, context)) continue;
        }
        auto record = operation.create(context);
        if (!record) continue;
        if (plain) BaseJMModel::migratePlainValuesToObject(withoutModel.values, withoutModel.className, *record);
        else model->migratePropertiesToObject(record);
        if (!record->validateForInsert(&itemError)) {
            // One value the file cannot hold (a count past 64 bits, say) costs this item, not the reply.
            log("APIProcessor: %@ item %@ skipped, the store cannot hold it: %@", operation.action,
                std::to_string(index), itemError);
            context->deleteObject(record);
            ++unusable;
            if (!firstItemError) firstItemError = itemError;
            continue;
        }
        if (knownKeys) {
            bool unkeyable = false;
            std::optional<KnownKey> key = operation.recordKey(*record, unkeyable);
            if (unkeyable) knownKeys.reset();
            else if (key) knownKeys->insert(std::move(*key));
        }
        if (operation.isNovel) log("%@", record);
    }
    if (!list.empty() && unusable == list.size()) {
        // Nothing of the reply can be stored: the cached records stay.
        log("APIProcessor: no %@ item of the reply can be stored; the cached records are kept", operation.action);
        context->rollback();
        setError(error, firstItemError);
        return false;
    }
    Ref<Error> saveError;
    if (RS_saveToPersistentStoreAndWait(context, &saveError) && writing.end(&saveError)) return true;
    log("APIProcessor: the %@ reply could not be saved; the cached records are kept: %@", operation.action, saveError);
    discardUnsavedChanges(context);
    setError(error, saveError ? saveError
                              : Error::make(std::string(kCocoaErrorDomain), kPersistentStoreSaveError,
                                            Dictionary{{std::string(kLocalizedDescriptionKey), Value("The save failed.")}}));
    return false;
}

// On the main queue: replaces the category's records with the reply's items, then calls success; a
// reply that could not be stored goes to failure (on the background queue, as transport errors do).
void storeReply(const StoringOperation& operation, const Value& reply, const APISuccessBlock& success,
                const APIFailureBlock& failure) {
    const Value& items = reply["mItems"];
    if (!reply.isDictionary() || !(items.isArray() || items.isNull())) {
        // Not the service's reply shape: the cache stays as it is.
        log("APIProcessor: the %@ reply has no item list; nothing stored", operation.action);
        if (success) success(Value());
        return;
    }
    if (items.isArray() && operation.noPage) {
        // Every item would land on a page this request does not clear.
        log("APIProcessor: the %@ request names no page; nothing of its reply is stored", operation.action);
    } else if (items.isArray()) {
        Ref<Error> error;
        const Ref<ManagedObjectContext> context = RS_defaultContext();
        if (context) rememberServiceTimeZone();
        if (context && !replaceCategory(operation, items.array(), context, &error)) {
            if (failure) Queue::global()->async([failure, error] { failure(error); });
            return;
        }
    }
    if (success) success(reply["mItems"]);
}

}  // namespace

const Ref<APIProcessor>& APIProcessor::sharedAPIProcessor() {
    static const Ref<APIProcessor>& shared = *new Ref<APIProcessor>(makeRef<APIProcessor>());  // never destroyed
    return shared;
}

Ref<RestAPIHelper> APIProcessor::apiHelper() {
    std::lock_guard lock(mutex_);
    if (!apiHelper_) apiHelper_ = makeRef<RestAPIHelper>();
    return apiHelper_;
}

std::string APIProcessor::timeCursor(std::optional<Date> time, const std::string& site) {
    if (!time) return "";
    // The server styles of DateString, written in the zone the service's texts were read in.
    const char* pattern = site == "hanteo_day" ? "yyyy-MM-dd" : site == "naver" ? "yyyy-M-d HH:mm:ss" : "yyyy-MM-dd HH:mm:ss";
    return DateFormatter(pattern, serviceTimeZone()).stringFromDate(*time);
}

void APIProcessor::sendStoring(Dictionary params, std::shared_ptr<const StoringOperation> operation,
                               APISuccessBlock success, APIFailureBlock failure) {
    apiHelper()->asyncRequestWithParams(
        Value(std::move(params)),
        [operation, success, failure](const Value& reply) {
            // Held as a Value of its own (a plain copy capture of the reference would be a const Value,
            // which the move below would copy, leaving the block's copy to be freed on the main queue).
            Queue::main()->async([operation, success, failure, reply = Value(reply)]() mutable {
                storeReply(*operation, reply, success, failure);
                // Freeing the parsed reply (thousands of values) is work the main queue need not do:
                // its last reference goes to a background queue.
                Queue::global()->async([released = std::move(reply)] {});
            });
        },
        [failure](const Ref<Error>& error) {
            if (failure) failure(error);
        });
}

void APIProcessor::videoConfigSuccess(APISuccessBlock success, APIFailureBlock failure) {
    Value version = Bundle::mainBundle()->objectForInfoDictionaryKey("CFBundleShortVersionString");
    Dictionary params{{"action", Value("videoConfig")},
                      {"time", Value(DateString::yearMonthDayString(Date::now()))},
                      {"version", version}};
    apiHelper()->asyncGetWithParams(
        Value(std::move(params)),
        [success](const Value& reply) {
            const Value& items = reply["mItems"];
            if (success) success(items);  // nil when the reply carries no "mItems"
        },
        [failure](const Ref<Error>& error) {
            if (failure) failure(error);
        });
}

void APIProcessor::checkToptenzUpdateWithSite(const std::string& site, std::optional<Date> time,
                                              APISuccessBlock success, APIFailureBlock failure) {
    Dictionary params{{"action", Value("checkUpdate")}, {"site", Value(site)}, {"time", Value(timeCursor(time, site))}};
    apiHelper()->asyncRequestWithParams(
        Value(std::move(params)),
        [success](const Value& reply) {
            if (success) success(reply["mItems"]);
        },
        [failure](const Ref<Error>& error) {
            if (failure) failure(error);
        });
}

void APIProcessor::loadMicroblogWithGap(const std::string& gap, std::optional<Date> time, APISuccessBlock success,
                                        APIFailureBlock failure) {
    auto operation = std::make_shared<StoringOperation>();
    operation->action = "microblog";
    operation->modelClass = JM_Microblog::runtimeClass();
    operation->clear = [gap] { DataHelper::sharedDataHelper()->truncateMicroblogWithType(gap, DataHelper::Save::Later); };
    operation->serverOrder = true;
    operation->jsonKeys = JM_Microblog::JSONKeyPathsByPropertyKey();
    operation->selectors = {{"type", Value(gap)}};
    operation->create = createRecord<Microblog>;
    sendStoring({{"action", Value("microblog")}, {"gap", Value(gap)}, {"time", Value(timeCursor(time))}},
                std::move(operation), std::move(success), std::move(failure));
}

void APIProcessor::loadTaobaoWithStore(const std::string& store, const std::string& type, std::optional<Date> time,
                                       APISuccessBlock success, APIFailureBlock failure) {
    auto operation = std::make_shared<StoringOperation>();
    operation->action = "taobao";
    operation->modelClass = JM_Taobao::runtimeClass();
    operation->clear = [type, store] { DataHelper::sharedDataHelper()->truncateTaobaoWithType(type, store, DataHelper::Save::Later); };
    operation->jsonKeys = JM_Taobao::JSONKeyPathsByPropertyKey();
    operation->selectors = {{"store", Value(store)}, {"type", Value(type)}};
    operation->create = createRecord<Taobao>;
    sendStoring({{"action", Value("taobao")},
                 {"store", Value(store)},
                 {"time", Value(timeCursor(time))},
                 {"type", Value(type)}},
                std::move(operation), std::move(success), std::move(failure));
}

void APIProcessor::loadNewsWithCatname(const std::string& category, std::optional<Date> time, APISuccessBlock success,
                                       APIFailureBlock failure) {
    auto operation = std::make_shared<StoringOperation>();
    operation->action = "newsList";
    operation->modelClass = JM_News::runtimeClass();
    operation->clear = [category] { DataHelper::sharedDataHelper()->truncateNewsWithCategory(category, DataHelper::Save::Later); };
    operation->isKnown = [](const ItemValues& news, const Ref<ManagedObjectContext>& context) {
        const Value& msgId = news.get(&JM_News::msgId, "msgId");
        // Without an identifier an item is its own record: nil matches no stored one.
        if (msgId.isNil()) return false;
        return anyRecord<News>(Predicate::format("msgId = %@", nullptr, msgId), context);
    };
    // "msgId = value" holds only for a stored value of the same kind and equal.
    operation->modelKey = [](const ItemValues& news) {
        bool unkeyable = false;
        return plainKey(news.get(&JM_News::msgId, "msgId"), unkeyable);
    };
    operation->recordKey = [](const ManagedObject& record, bool& unkeyable) {
        static const std::string& msgId = *new std::string("msgId");  // no text made per record
        return plainKey(record.valueForKey(msgId), unkeyable);
    };
    operation->allRecords = allRecordsOf<News>;
    operation->jsonKeys = JM_News::JSONKeyPathsByPropertyKey();
    operation->selectors = {{"cat_name", Value(category)}};
    operation->create = createRecord<News>;
    sendStoring({{"action", Value("newsList")}, {"cat", Value(category)}, {"time", Value(timeCursor(time))}},
                std::move(operation), std::move(success), std::move(failure));
}

void APIProcessor::loadToptenzWithSite(const std::string& site, std::optional<Date> time, APISuccessBlock success,
                                       APIFailureBlock failure) {
    auto operation = std::make_shared<StoringOperation>();
    operation->action = "rank";
    operation->modelClass = JM_Toptenz::runtimeClass();
    operation->clear = [site] { DataHelper::sharedDataHelper()->truncateToptenWithSite(site, DataHelper::Save::Later); };
    operation->isKnown = [](const ItemValues& chart, const Ref<ManagedObjectContext>& context) {
        const Value& sid = chart.get(&JM_Toptenz::sid, "sid");
        const Value& rank = chart.get(&JM_Toptenz::rank, "rank");
        // A rank past 64 bits matches nothing (the store refuses such an item anyway), nor does a nil sid.
        if (sid.isNil() || !rank.isNumeric() || integerRangeOverflow(AttributeType::Integer64, rank) != 0) return false;
        return anyRecord<Toptenz>(Predicate::format("sid = %@ AND rank = %lld", nullptr, sid, rank.longLongValue()),
                                  context);
    };
    // "sid = value AND rank = integer" holds only for a stored sid of the same kind and equal, and a
    // stored whole rank equal to the integer.
    operation->modelKey = [](const ItemValues& chart) -> std::optional<KnownKey> {
        const Value& rank = chart.get(&JM_Toptenz::rank, "rank");
        if (!rank.isNumeric() || integerRangeOverflow(AttributeType::Integer64, rank) != 0) return std::nullopt;
        bool unkeyable = false;
        std::optional<KnownKey> key = plainKey(chart.get(&JM_Toptenz::sid, "sid"), unkeyable);
        if (!key) return std::nullopt;
        key->hasRank = true;
        key->rank = rank.longLongValue();
        return key;
    };
    operation->recordKey = [](const ManagedObject& record, bool& unkeyable) -> std::optional<KnownKey> {
        static const std::string& sid = *new std::string("sid");
        static const std::string& rankKey = *new std::string("rank");
        std::optional<KnownKey> key = plainKey(record.valueForKey(sid), unkeyable);
        const std::optional<KnownKey> rank = plainKey(record.valueForKey(rankKey), unkeyable);
        if (!key || !rank || rank->isText) {
            // A text rank equals no integer; only a rank of another number kind needs the single test.
            return std::nullopt;
        }
        key->hasRank = true;
        key->rank = rank->number;
        return key;
    };
    operation->allRecords = allRecordsOf<Toptenz>;
    operation->jsonKeys = JM_Toptenz::JSONKeyPathsByPropertyKey();
    // The site's number, as the service sends it; a site without one fills nothing.
    if (const Value number = Constants::siteIdMap().get(site); number.isString()) {
        operation->selectors = {{"sid", Value(Decimal::fromString(number.string()).longLongValue())}};
    } else {
        operation->noPage = true;
    }
    operation->create = createRecord<Toptenz>;
    sendStoring({{"action", Value("rank")}, {"site", Value(site)}, {"time", Value(timeCursor(time, site))}},
                std::move(operation), std::move(success), std::move(failure));
}

void APIProcessor::loadVideoWithType(const std::string& type, std::optional<Date> time, APISuccessBlock success,
                                     APIFailureBlock failure) {
    auto operation = std::make_shared<StoringOperation>();
    operation->action = "video";
    operation->modelClass = JM_Video::runtimeClass();
    // Each type is its own list: the reply replaces the videos of the requested type (clearing only
    // "teach" would pile up every other type's items at each load).
    operation->clear = [type] { DataHelper::sharedDataHelper()->truncateVideoWithType(type, DataHelper::Save::Later); };
    operation->serverOrder = true;
    operation->jsonKeys = JM_Video::JSONKeyPathsByPropertyKey();
    operation->selectors = {{"type", Value(type)}};
    operation->create = createRecord<Video>;
    sendStoring({{"action", Value("video")}, {"time", Value(timeCursor(time))}, {"type", Value(type)}},
                std::move(operation), std::move(success), std::move(failure));
}

void APIProcessor::loadMediaWithType(const std::string& type, bool ended, std::optional<Date> time,
                                     APISuccessBlock success, APIFailureBlock failure) {
    auto operation = std::make_shared<StoringOperation>();
    operation->action = "video";
    operation->modelClass = JM_Teleplay::runtimeClass();
    operation->clear = [type, ended] { DataHelper::sharedDataHelper()->truncateTVWithType(type, ended, DataHelper::Save::Later); };
    operation->serverOrder = true;
    operation->jsonKeys = JM_Teleplay::JSONKeyPathsByPropertyKey();
    operation->selectors = {{"is_end", Value(ended ? "yes" : "no")}, {"type", Value(type)}};
    operation->create = createRecord<Teleplay>;
    sendStoring({{"action", Value("video")},
                 {"is_end", Value(ended ? "yes" : "no")},
                 {"time", Value(timeCursor(time))},
                 {"type", Value(type)}},
                std::move(operation), std::move(success), std::move(failure));
}

void APIProcessor::loadNovelsWithTitle(const std::string& title, std::optional<Date> time, APISuccessBlock success,
                                       APIFailureBlock failure) {
    auto operation = std::make_shared<StoringOperation>();
    operation->action = "novel";
    operation->modelClass = JM_Novel::runtimeClass();
    operation->clear = [] { DataHelper::sharedDataHelper()->truncateNovels(DataHelper::Save::Later); };
    operation->isNovel = true;
    operation->jsonKeys = JM_Novel::JSONKeyPathsByPropertyKey();
    operation->create = createRecord<Novel>;
    sendStoring({{"action", Value("novel")}, {"time", Value(timeCursor(time))}, {"title", Value(title)}},
                std::move(operation), std::move(success), std::move(failure));
}

}  // namespace lv
