// The SQLite store's writing half: binding values to statements and saving a change set in one
// transaction.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "platform/base/detail/value_text.h"
#include "platform/data/detail/store.h"
#include "platform/data/errors.h"
#include "platform/data/predicate.h"

namespace lv::data_detail {

// ---- binding ----

namespace {

// What a parameter of a statement holds: rows of one insert statement often repeat a value in a
// column (a flag, a parent's key, no value at all), and SQLite keeps bindings from one run to the next,
// so an equal value is not bound again. Text and data are bound in place (SQLITE_STATIC): the same
// bytes at the same address are the same value.
struct BoundParameter {
    enum class Kind : std::uint8_t { Unknown, Null, Integer, Real, Text, Blob };
    Kind kind = Kind::Unknown;
    std::uint64_t bits = 0;       // the integer, or the real's bits
    const void* data = nullptr;   // text or data
    std::size_t size = 0;

    bool holds(Kind k, std::uint64_t b, const void* d, std::size_t n) const { return kind == k && bits == b && data == d && size == n; }
    void set(Kind k, std::uint64_t b, const void* d, std::size_t n) { *this = BoundParameter{k, b, d, n}; }
};

inline void bindNull(Statement& s, int column, BoundParameter& bound) {
    if (bound.holds(BoundParameter::Kind::Null, 0, nullptr, 0)) return;
    sqlite3_bind_null(s.get(), column);
    bound.set(BoundParameter::Kind::Null, 0, nullptr, 0);
}

inline void bindInteger(Statement& s, int column, std::int64_t v, BoundParameter& bound) {
    const auto bits = static_cast<std::uint64_t>(v);
    if (bound.holds(BoundParameter::Kind::Integer, bits, nullptr, 0)) return;
    sqlite3_bind_int64(s.get(), column, v);
    bound.set(BoundParameter::Kind::Integer, bits, nullptr, 0);
}

inline void bindReal(Statement& s, int column, double v, BoundParameter& bound) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    if (bound.holds(BoundParameter::Kind::Real, bits, nullptr, 0)) return;
    sqlite3_bind_double(s.get(), column, v);
    bound.set(BoundParameter::Kind::Real, bits, nullptr, 0);
}

// Text and data bound in place: the bytes must stay alive until the statement has run.
inline void bindBytes(Statement& s, int column, BoundParameter::Kind kind, const void* data, std::size_t size,
                      BoundParameter& bound) {
    if (bound.holds(kind, 0, data, size)) return;
    if (kind == BoundParameter::Kind::Text) {
        sqlite3_bind_text(s.get(), column, static_cast<const char*>(data), static_cast<int>(size), SQLITE_STATIC);
    } else {
        sqlite3_bind_blob(s.get(), column, data, static_cast<int>(size), SQLITE_STATIC);
    }
    bound.set(kind, 0, data, size);
}

// Binds a value of one of the common kinds straight from the value (nil as NULL); false when the value
// needs encoding first. Text and data stay alive in the caller's values until the statement has run.
[[gnu::always_inline]] inline bool bindDirect(Statement& s, int column, ColumnKind kind, AttributeType type, const Value& value, BoundParameter& bound) {
    if (value.isNil()) {
        bindNull(s, column, bound);
        return true;
    }
    switch (kind) {
        case ColumnKind::Text:
            if (value.isString()) {
                // The bytes where the value keeps them (no std::string made for a text of a block).
                const std::string_view text = ValueText::view(value);
                bindBytes(s, column, BoundParameter::Kind::Text, text.data(), text.size(), bound);
                return true;
            }
            break;
        case ColumnKind::Blob:
            if (value.isData()) {
                const Bytes& bytes = value.bytes();
                bindBytes(s, column, BoundParameter::Kind::Blob, bytes.data(), bytes.size(), bound);
                return true;
            }
            break;
        case ColumnKind::DateReal:
            if (value.isDate() && !std::isnan(value.date()->sinceReferenceDate())) {
                bindReal(s, column, value.date()->sinceReferenceDate(), bound);
                return true;
            }
            break;
        case ColumnKind::Integer:
            if (const Number* n = value.number()) {
                const NumberKind k = n->kind();
                const bool fits = type == AttributeType::Integer64 ? (!n->isFloatingPoint() && k != NumberKind::UInt64)
                                  : type == AttributeType::Integer32
                                      ? (k == NumberKind::Int8 || k == NumberKind::Int16 || k == NumberKind::Int32 ||
                                         k == NumberKind::UInt8 || k == NumberKind::UInt16)
                                  : type == AttributeType::Integer16 ? (k == NumberKind::Int8 || k == NumberKind::Int16 || k == NumberKind::UInt8)
                                                                     : k == NumberKind::Bool;
                if (fits) {
                    bindInteger(s, column, n->longLongValue(), bound);
                    return true;
                }
            }
            break;
        case ColumnKind::Real:
            if (const Number* n = value.number(); n && type == AttributeType::Double && !std::isnan(n->doubleValue())) {
                bindReal(s, column, n->doubleValue(), bound);
                return true;
            }
            break;
        default: break;
    }
    return false;
}

}  // namespace

// ---- writing ----

namespace {

// Deletes by key go in statements of kDeleteBatch keys, the rest in ones of kDeleteBatch / step,
// / step², … down to one key: a handful of statement texts per entity, each prepared once.
constexpr std::size_t kDeleteBatch = 64;
constexpr std::size_t kDeleteBatchStep = 4;

std::string batchDeleteSQL(const EntityDescription& entity, std::size_t keys) {
    std::string sql = "DELETE FROM " + quoteIdentifier(entity.name()) + " WHERE " + quoteIdentifier(kKeyColumn) + " IN (?";
    for (std::size_t k = 1; k < keys; ++k) sql += ", ?";
    return sql + ")";
}

// A run of consecutive keys, ascending, goes in one statement of its first and last key: every key
// between them is in the run, so it deletes exactly the rows the run names, and SQLite walks the rows
// in key order instead of seeking each one.
std::string rangeDeleteSQL(const EntityDescription& entity) {
    return "DELETE FROM " + quoteIdentifier(entity.name()) + " WHERE " + quoteIdentifier(kKeyColumn) + " BETWEEN ? AND ?";
}

}  // namespace

std::optional<std::int64_t> SQLiteStore::keyOf(const Value& value, const std::string& destination,
                                               const std::unordered_map<const ManagedObjectID*, Ref<ManagedObjectID>>& temporaryIDs) {
    auto id = value.objectAs<ManagedObjectID>();
    if (!id) return std::nullopt;
    if (id->isTemporaryID()) {
        auto it = temporaryIDs.find(id.get());
        if (it == temporaryIDs.end()) return std::nullopt;
        id = it->second;
    }
    if (!id->entity() || id->entity()->name() != destination || id->storeIdentifier() != identifier_) return std::nullopt;
    return id->key();
}

std::optional<Value> SQLiteStore::encodeValue(const PropertyDescription& property, const Value& value,
                                              const std::unordered_map<const ManagedObjectID*, Ref<ManagedObjectID>>& temporaryIDs,
                                              Ref<Error>* error) {
    if (value.isNil()) return Value();
    auto invalid = [&]() -> std::optional<Value> {
        setError(error, errorWithInfo(kManagedObjectValidationError,
                                      "The value of " + property.name() + " is not of the kind the property holds",
                                      Dictionary{{"NSValidationErrorKey", Value(property.name())},
                                                 {"NSValidationErrorValue", value}}));
        return std::nullopt;
    };
    if (property.isRelationship()) {
        const auto& r = static_cast<const RelationshipDescription&>(property);
        auto key = keyOf(value, r.destinationEntityName(), temporaryIDs);
        if (!key) return invalid();
        return Value(*key);
    }
    const auto& a = static_cast<const AttributeDescription&>(property);
    const ColumnKind kind = columnKind(a);
    if (kind == ColumnKind::Archive) {
        auto data = encodeTransformable(a, value, error);
        if (!data) return std::nullopt;
        return Value(std::move(*data));
    }
    auto coerced = coerceAttributeValue(a.attributeType(), value);
    if (!coerced) return invalid();
    // SQLite would store NaN as NULL, losing it: it is refused as no value of the attribute.
    if ((kind == ColumnKind::Real || kind == ColumnKind::DateReal) && isNotANumber(*coerced)) {
        setError(error, errorWithInfo(kManagedObjectValidationError, "The value of " + property.name() + " is not a number",
                                      Dictionary{{std::string(kValidationKeyErrorKey), Value(property.name())},
                                                 {std::string(kValidationValueErrorKey), value}}));
        return std::nullopt;
    }
    if (const int overflow = isIntegerAttributeType(a.attributeType()) ? integerRangeOverflow(AttributeType::Integer64, *coerced) : 0) {
        setError(error, errorWithInfo(overflow > 0 ? kValidationNumberTooLargeError : kValidationNumberTooSmallError,
                                      property.name() + (overflow > 0 ? " is too large." : " is too small."),
                                      Dictionary{{std::string(kValidationKeyErrorKey), Value(property.name())},
                                                 {std::string(kValidationValueErrorKey), value}}));
        return std::nullopt;
    }
    return bindingValue(*coerced);
}

bool SQLiteStore::bindColumn(Statement& s, int column, const PropertyDescription& property, ColumnKind kind, const Value& value,
                             const std::unordered_map<const ManagedObjectID*, Ref<ManagedObjectID>>& temporaryIDs, Ref<Error>* error) {
    // The common kinds bind straight from the value; the others are encoded first.
    BoundParameter unknown;
    if (bindDirect(s, column, kind, attributeTypeOf(property), value, unknown)) return true;
    auto encoded = encodeValue(property, value, temporaryIDs, error);
    if (!encoded) return false;
    s.bind(column, *encoded);
    return true;
}

Ref<Error> saveFailure(const Ref<Error>& sqliteError) {
    if (!sqliteError || sqliteError->code() != kSQLiteError) return sqliteError;
    const Value& message = sqliteError->userInfo().get(kLocalizedDescriptionKey);
    return errorWithInfo(kPersistentStoreSaveError, "The store could not be saved: " + message.stringValue(),
                         Dictionary{{std::string(kUnderlyingErrorKey), Value(sqliteError)},
                                    {std::string(kLocalizedFailureReasonErrorKey), message},
                                    {std::string(kSQLiteErrorCodeKey), sqliteError->userInfo().get(kSQLiteErrorCodeKey)}});
}

bool SQLiteStore::writeToMany(const EntityDescription& entity, const RelationshipDescription& r, std::int64_t owner,
                              const Value& value, bool replace, const TemporaryIDs& temporaryIDs, Ref<Error>& failure) {
    const std::string table = quoteIdentifier(relationTableName(entity.name(), r.name()));
    if (replace) {
        Statement d = db_.prepare("DELETE FROM " + table + " WHERE \"owner\" = ?", &failure);
        if (!d) return false;
        d.bindInt64(1, owner);
        if (!d.run(&failure)) return false;
    }
    if (value.isNil()) return true;
    if (!value.isArray()) {
        encodeValue(r, Value(Bytes()), temporaryIDs, &failure);  // reports the kind error
        return false;
    }
    std::int64_t position = 0;
    std::string insertSQL;  // made once for all the items
    for (const Value& item : value.array()) {
        auto key = keyOf(item, r.destinationEntityName(), temporaryIDs);
        if (!key) {
            encodeValue(r, item, temporaryIDs, &failure);
            return false;
        }
        if (insertSQL.empty()) insertSQL = "INSERT INTO " + table + " (\"owner\", \"position\", \"target\") VALUES (?, ?, ?)";
        Statement ins = db_.prepare(insertSQL, &failure);
        if (!ins) return false;
        ins.bindInt64(1, owner);
        ins.bindInt64(2, position++);
        ins.bindInt64(3, *key);
        if (!ins.run(&failure)) return false;
    }
    return true;
}

bool SQLiteStore::insertRows(const std::vector<PendingInsert>& inserts, const TemporaryIDs& temporaryIDs,
                             std::vector<std::pair<Ref<ManagedObjectID>, std::int64_t>>& versions, Ref<Error>& failure) {
    // An insert statement of the current entity for one of its row counts, and what each of its
    // parameters holds (a fresh statement has no bindings).
    struct Batch {
        std::optional<Statement> statement;
        std::vector<BoundParameter> bound;
    };
    const EntityDescription* entity = nullptr;  // whose statements `batches` holds
    const EntityInfo* i = nullptr;
    std::size_t parameters = 0;  // per row
    std::vector<Batch> batches;  // by the index of the row count in i->insertRows
    // Rows of `entity` given by index that have not run yet; they run before anything else is written.
    std::vector<const PendingInsert*> waiting;
    std::vector<Value> named;  // values given by name, by property index
    std::vector<bool> given;

    auto batchAt = [&](std::size_t level) -> Batch* {
        Batch& b = batches[level];
        if (!b.statement) {
            Statement prepared = db_.prepare(i->insertRowsSQL[level], &failure);
            if (!prepared) return nullptr;
            b.statement.emplace(std::move(prepared));
            b.bound.assign(i->insertRows[level] * parameters, BoundParameter{});
        }
        return &b;
    };
    // Binds a row's values to the parameters of the statement's row `slot`; false when a value needs
    // encoding first (then that row goes alone).
    auto bindRow = [&](Batch& b, std::size_t slot, const PendingInsert& row) {
        // The entity's layout in locals: the calls into SQLite between the columns would make the
        // compiler read it again through the captures for every column.
        Statement& s = *b.statement;
        const std::size_t stored = i->columnProperties.size();
        const int* properties = i->columnProperties.data();
        const ColumnKind* kinds = i->columnKinds.data();
        const AttributeType* types = i->columnTypes.data();
        BoundParameter* bound = b.bound.data() + slot * (stored + 2);
        const int first = static_cast<int>(slot * (stored + 2)) + 1;
        bindInteger(s, first, row.permanentID->key(), bound[0]);
        bindInteger(s, first + 1, 1, bound[1]);
        const Value* values = row.insert->valuesByIndex.data();
        for (std::size_t c = 0; c < stored; ++c) {
            if (!bindDirect(s, first + 2 + static_cast<int>(c), kinds[c], types[c], values[properties[c]], bound[c + 2])) return false;
        }
        return true;
    };
    // One row in a statement of its own, values encoded where they need it, then its to-many rows
    // (sets: which properties the row sets; none: all of them).
    auto insertAlone = [&](const PendingInsert& pending, const std::vector<Value>& columns, const std::vector<bool>* sets) {
        Batch* b = batchAt(i->insertRows.size() - 1);
        if (!b) return false;
        Statement& s = *b->statement;
        s.reset();
        bindInteger(s, 1, pending.permanentID->key(), b->bound[0]);
        bindInteger(s, 2, 1, b->bound[1]);
        const auto& properties = pending.permanentID->entity()->properties();
        for (std::size_t c = 0; c < i->columnProperties.size(); ++c) {
            const auto index = static_cast<std::size_t>(i->columnProperties[c]);
            BoundParameter& parameter = b->bound[c + 2];
            if (bindDirect(s, static_cast<int>(c + 3), i->columnKinds[c], i->columnTypes[c], columns[index], parameter)) continue;
            parameter = BoundParameter{};  // bound from an encoded copy: bind again next time
            if (!bindColumn(s, static_cast<int>(c + 3), *properties[index], i->columnKinds[c], columns[index], temporaryIDs, &failure)) {
                return false;
            }
        }
        if (!s.run(&failure)) return false;
        const EntityDescription& e = *pending.permanentID->entity();
        for (const auto& r : e.relationships()) {
            if (!r->isToMany()) continue;
            const auto index = static_cast<std::size_t>(e.propertyIndex(r->name()));
            if ((!sets || (*sets)[index]) && !columns[index].isNil() &&
                !writeToMany(e, *r, pending.permanentID->key(), columns[index], false, temporaryIDs, failure)) {
                return false;
            }
        }
        versions.emplace_back(pending.permanentID, 1);
        return true;
    };
    // Runs waiting[begin, end) in order: as many rows to a statement as a statement takes; a row with a
    // value to encode goes alone after the rows before it.
    auto runWaiting = [&](auto& self, std::size_t begin, std::size_t end) -> bool {
        for (std::size_t at = begin; at < end;) {
            std::size_t level = 0;
            while (i->insertRows[level] > end - at) ++level;
            const std::size_t rows = i->insertRows[level];
            Batch* b = batchAt(level);
            if (!b) return false;
            b->statement->reset();
            std::size_t bound = 0;
            while (bound < rows && bindRow(*b, bound, *waiting[at + bound])) ++bound;
            if (bound == rows) {
                if (!b->statement->run(&failure)) return false;
                for (std::size_t k = 0; k < rows; ++k) versions.emplace_back(waiting[at + k]->permanentID, 1);
                at += rows;
                continue;
            }
            if (!self(self, at, at + bound)) return false;
            const PendingInsert& alone = *waiting[at + bound];
            if (!insertAlone(alone, alone.insert->valuesByIndex, nullptr)) return false;
            at += bound + 1;
        }
        return true;
    };
    auto flush = [&] {
        const bool ran = runWaiting(runWaiting, 0, waiting.size());
        waiting.clear();
        return ran;
    };

    for (const auto& pending : inserts) {
        const Ref<EntityDescription>& e = pending.permanentID->entity();
        if (entity != e.get()) {
            if (!flush()) return false;
            batches.clear();  // the previous entity's statements go back to the cache
            i = &info(*e);
            entity = e.get();
            parameters = i->columnProperties.size() + 2;
            batches.resize(i->insertRows.size());
        }
        const std::size_t propertyCount = e->properties().size();
        const std::vector<Value>& byIndex = pending.insert->valuesByIndex;
        if (byIndex.size() == propertyCount) {
            if (i->insertsInBatches) {
                waiting.push_back(&pending);
                if (waiting.size() == i->insertRows.front() && !flush()) return false;
                continue;
            }
            if (!insertAlone(pending, byIndex, nullptr)) return false;
            continue;
        }
        if (!flush()) return false;
        named.assign(propertyCount, Value());
        given.assign(propertyCount, false);
        for (const auto& [name, value] : pending.insert->values) {
            const int index = e->propertyIndex(name);
            if (index < 0) {
                failure = errorWithInfo(kManagedObjectValidationError, "entity " + e->name() + " has no property " + name,
                                        Dictionary{{"NSValidationErrorKey", Value(name)}});
                return false;
            }
            named[static_cast<std::size_t>(index)] = value;
            given[static_cast<std::size_t>(index)] = true;
        }
        if (!insertAlone(pending, named, &given)) return false;
    }
    return flush();
}

bool SQLiteStore::save(const std::vector<PendingInsert>& inserts, const std::vector<const ChangeSet::Update*>& updates,
                       const std::vector<const ChangeSet::Delete*>& deletes,
                       const std::unordered_map<const ManagedObjectID*, Ref<ManagedObjectID>>& temporaryIDs, SaveResult* result,
                       Ref<Error>* error) {
    // The caller may have opened the transaction already (to take keys for new records in it).
    if (!db_.inTransaction()) {
        Ref<Error> beginError;
        if (!db_.begin(&beginError)) {
            setError(error, saveFailure(beginError));
            return false;
        }
    }
    Array conflicts;
    Ref<Error> failure;
    // Checks the row's version; records a conflict and answers false when it differs or the row is gone.
    // The version query's text is made again only when the entity changes (changes come in runs of one
    // entity).
    const EntityDescription* versionEntity = nullptr;
    std::string versionSQL;
    auto checkVersion = [&](const Ref<ManagedObjectID>& id, std::optional<std::int64_t> expected, bool& ok,
                            Array& conflictsFound) -> bool {
        if (!expected) return true;
        if (id->entity().get() != versionEntity) {
            versionSQL = "SELECT " + quoteIdentifier(kVersionColumn) + " FROM " + quoteIdentifier(id->entity()->name()) + " WHERE " +
                         quoteIdentifier(kKeyColumn) + " = ?";
            versionEntity = id->entity().get();
        }
        Statement s = db_.prepare(versionSQL, &failure);
        if (!s) {
            ok = false;
            return false;
        }
        s.bindInt64(1, id->key());
        const int rc = s.step();
        std::optional<std::int64_t> current;
        if (rc == SQLITE_ROW) current = s.columnInt64(0);
        else if (rc != SQLITE_DONE) {
            failure = db_.lastError(kSQLiteError, "version check");
            ok = false;
            return false;
        }
        if (current && *current == *expected) return true;
        Dictionary conflict{{"objectID", Value(id)}, {"expectedVersion", Value(*expected)}};
        if (current) conflict.set("currentVersion", Value(*current));
        conflictsFound.push_back(Value(std::move(conflict)));
        return false;
    };

    // Deleted rows go first when nothing else in the save names one of them: the pages their rows
    // leave free then take the inserted rows, where inserting first would put those on other pages
    // and write both sets to the file (about twice the pages for a category replaced whole). An insert
    // or update of a row that is also deleted keeps the order inserts, updates, deletes, in which the
    // delete wins.
    const bool deletesFirst = !deletes.empty() && (!inserts.empty() || !updates.empty()) && [&] {
        // By key and entity name, as IDs compare: two descriptions of one entity name the same rows.
        // The key comes first, so that most comparisons need not compare the names' characters.
        using Row = std::pair<std::int64_t, std::string_view>;
        std::vector<Row> deleted;
        deleted.reserve(deletes.size());
        for (const ChangeSet::Delete* del : deletes) deleted.emplace_back(del->objectID->key(), del->objectID->entity()->name());
        std::sort(deleted.begin(), deleted.end());
        auto isDeleted = [&](const Ref<ManagedObjectID>& id) {
            return id && std::binary_search(deleted.begin(), deleted.end(), Row(id->key(), id->entity()->name()));
        };
        return std::none_of(inserts.begin(), inserts.end(), [&](const PendingInsert& i) { return isDeleted(i.permanentID); }) &&
               std::none_of(updates.begin(), updates.end(), [&](const ChangeSet::Update* u) { return isDeleted(u->objectID); });
    }();
    // Conflicts of deletes, reported after those of updates whichever ran first.
    Array deleteConflicts;
    // One statement run for one row key.
    auto runForKey = [&](const std::string& sql, std::int64_t key) {
        Statement s = db_.prepare(sql, &failure);
        if (!s) return false;
        s.bindInt64(1, key);
        return s.run(&failure);
    };
    // The texts a delete runs, made again only when the entity changes (deletes come grouped by
    // entity): the row's and its own to-many rows', then those letting go of whatever still points at
    // it (run later when the deletes go first).
    const EntityDescription* deleteEntity = nullptr;
    std::vector<std::string> deleteSQL;
    std::vector<std::string> pointerSQL;
    auto makeDeleteSQL = [&](const EntityDescription& entity) {
        deleteSQL.clear();
        pointerSQL.clear();
        deleteSQL.push_back("DELETE FROM " + quoteIdentifier(entity.name()) + " WHERE " + quoteIdentifier(kKeyColumn) + " = ?");
        for (const auto& r : entity.relationships()) {
            if (!r->isToMany()) continue;
            deleteSQL.push_back("DELETE FROM " + quoteIdentifier(relationTableName(entity.name(), r->name())) + " WHERE \"owner\" = ?");
        }
        for (const auto& other : model_->entities()) {
            for (const auto& r : other->relationships()) {
                if (r->destinationEntityName() != entity.name()) continue;
                pointerSQL.push_back(r->isToMany() ? "DELETE FROM " + quoteIdentifier(relationTableName(other->name(), r->name())) +
                                                         " WHERE \"target\" = ?"
                                                   : "UPDATE " + quoteIdentifier(other->name()) + " SET " + quoteIdentifier(r->name()) +
                                                         " = NULL WHERE " + quoteIdentifier(r->name()) + " = ?");
            }
        }
    };
    // Rows deleted first whose pointers are still to be let go, in the order deleted.
    std::vector<std::pair<const EntityDescription*, std::int64_t>> pointedAt;
    // Rows whose delete is the row's statement alone (no to-many rows, nothing pointing at them, or
    // what points at them let go later) go in statements of several keys each, which spares SQLite a
    // statement run per row; a run of consecutive keys, however long, goes in one statement of its two
    // ends.
    std::vector<std::int64_t> batch;
    bool batchIsRun = true;  // the batch's keys are consecutive, ascending (so far)
    auto flushBatch = [&]() -> bool {
        if (batchIsRun && batch.size() > 1) {
            Statement s = db_.prepare(rangeDeleteSQL(*deleteEntity), &failure);
            if (!s) return false;
            s.bindInt64(1, batch.front());
            s.bindInt64(2, batch.back());
            if (!s.run(&failure)) return false;
            batch.clear();
            return true;
        }
        batchIsRun = true;
        std::size_t done = 0;
        while (done < batch.size()) {
            std::size_t n = kDeleteBatch;
            while (n > batch.size() - done) n /= kDeleteBatchStep;
            Statement s = db_.prepare(batchDeleteSQL(*deleteEntity, n), &failure);
            if (!s) return false;
            for (std::size_t k = 0; k < n; ++k) s.bindInt64(static_cast<int>(k + 1), batch[done + k]);
            if (!s.run(&failure)) return false;
            done += n;
        }
        batch.clear();
        return true;
    };
    auto runDeletes = [&]() -> bool {
        for (const ChangeSet::Delete* del : deletes) {
            const Ref<ManagedObjectID>& id = del->objectID;
            const Ref<EntityDescription>& entity = id->entity();
            // A row named again after its delete waits in the batch must be gone when its version is read.
            auto inBatch = [&] {
                if (entity.get() != deleteEntity || batch.empty()) return false;
                if (batchIsRun) return id->key() >= batch.front() && id->key() <= batch.back();
                return std::find(batch.begin(), batch.end(), id->key()) != batch.end();
            };
            if (del->expectedVersion && inBatch() && !flushBatch()) return false;
            bool checked = true;
            if (!checkVersion(id, del->expectedVersion, checked, deleteConflicts)) {
                if (!checked) return false;
                continue;
            }
            if (entity.get() != deleteEntity) {
                if (!batch.empty() && !flushBatch()) return false;
                makeDeleteSQL(*entity);
                deleteEntity = entity.get();
            }
            if (!pointerSQL.empty() && deletesFirst) pointedAt.emplace_back(entity.get(), id->key());
            if (deleteSQL.size() == 1 && (pointerSQL.empty() || deletesFirst)) {
                const std::int64_t key = id->key();
                const bool follows = batchIsRun && !batch.empty() && batch.back() < std::numeric_limits<std::int64_t>::max() &&
                                     key == batch.back() + 1;
                if (!batch.empty() && !follows) {
                    if (batchIsRun && batch.size() >= kDeleteBatch) {
                        // A run longer than a batch ends here and goes as one range.
                        if (!flushBatch()) return false;
                    } else {
                        batchIsRun = false;
                    }
                }
                batch.push_back(key);
                if (!batchIsRun && batch.size() >= kDeleteBatch && !flushBatch()) return false;
                continue;
            }
            for (const std::string& sql : deleteSQL) {
                if (!runForKey(sql, id->key())) return false;
            }
            if (deletesFirst) continue;
            for (const std::string& sql : pointerSQL) {
                if (!runForKey(sql, id->key())) return false;
            }
        }
        return batch.empty() || flushBatch();
    };
    auto runPointerNullifying = [&]() -> bool {
        const EntityDescription* entity = nullptr;
        for (const auto& [deletedEntity, key] : pointedAt) {
            if (deletedEntity != entity) {
                makeDeleteSQL(*deletedEntity);
                entity = deletedEntity;
            }
            for (const std::string& sql : pointerSQL) {
                if (!runForKey(sql, key)) return false;
            }
        }
        return true;
    };
    bool ok = true;
    std::vector<std::pair<Ref<ManagedObjectID>, std::int64_t>> versions;
    versions.reserve(inserts.size() + updates.size());
    if (deletesFirst && !runDeletes()) ok = false;
    if (ok && !insertRows(inserts, temporaryIDs, versions, failure)) ok = false;
    // An update's text follows from its entity and the names it changes, in order: runs of updates
    // changing the same columns of one entity share it, and it is made again only when those differ.
    const EntityDescription* updateEntity = nullptr;
    const ChangeSet::Update* updateNamesFrom = nullptr;  // the update whose names made `updateSQL`
    std::string updateSQL;
    auto sameNames = [](const ChangeSet::Update& a, const ChangeSet::Update& b) {
        return std::equal(a.changedValues.begin(), a.changedValues.end(), b.changedValues.begin(), b.changedValues.end(),
                          [](const auto& x, const auto& y) { return x.first == y.first; });
    };
    std::vector<Value> bindings;
    std::vector<std::pair<const RelationshipDescription*, const Value*>> toMany;
    for (const ChangeSet::Update* update : updates) {
        if (!ok) break;
        const Ref<ManagedObjectID>& id = update->objectID;
        const Ref<EntityDescription>& entity = id->entity();
        if (!checkVersion(id, update->expectedVersion, ok, conflicts)) continue;
        const bool reuseSQL = entity.get() == updateEntity && updateNamesFrom && sameNames(*update, *updateNamesFrom);
        std::string sql;
        if (!reuseSQL) {
            sql = "UPDATE " + quoteIdentifier(entity->name()) + " SET " + quoteIdentifier(kVersionColumn) + " = " +
                  quoteIdentifier(kVersionColumn) + " + 1";
        }
        bindings.clear();
        toMany.clear();
        for (const auto& [name, value] : update->changedValues) {
            auto property = entity->propertyNamed(name);
            if (!property) {
                failure = errorWithInfo(kManagedObjectValidationError, "entity " + entity->name() + " has no property " + name,
                                        Dictionary{{"NSValidationErrorKey", Value(name)}});
                ok = false;
                break;
            }
            if (columnKind(*property) == ColumnKind::ToMany) {
                toMany.emplace_back(static_cast<const RelationshipDescription*>(property.get()), &value);
                continue;
            }
            auto encoded = encodeValue(*property, value, temporaryIDs, &failure);
            if (!encoded) {
                ok = false;
                break;
            }
            if (!reuseSQL) sql += ", " + quoteIdentifier(name) + " = ?";
            bindings.push_back(std::move(*encoded));
        }
        if (!ok) break;
        if (!reuseSQL) {
            sql += " WHERE " + quoteIdentifier(kKeyColumn) + " = ? RETURNING " + quoteIdentifier(kVersionColumn);
            updateSQL = std::move(sql);
            updateEntity = entity.get();
            updateNamesFrom = update;
        }
        Statement s = db_.prepare(updateSQL, &failure);
        if (!s) {
            ok = false;
            break;
        }
        int index = 1;
        for (const Value& b : bindings) s.bind(index++, b);
        s.bindInt64(index, id->key());
        const int rc = s.step();
        if (rc == SQLITE_ROW) {
            versions.emplace_back(id, s.columnInt64(0));
            while (s.step() == SQLITE_ROW) {
            }
        } else if (rc == SQLITE_DONE) {
            // The row is gone (another writer deleted it): the change would be written nowhere, so it
            // is a conflict with or without a version check.
            Dictionary conflict{{"objectID", Value(id)}};
            if (update->expectedVersion) conflict.set("expectedVersion", Value(*update->expectedVersion));
            conflicts.push_back(Value(std::move(conflict)));
            continue;
        } else {
            failure = db_.lastError(kSQLiteError, updateSQL);
            ok = false;
            break;
        }
        for (const auto& [r, value] : toMany) {
            if (!writeToMany(*entity, *r, id->key(), *value, true, temporaryIDs, failure)) {
                ok = false;
                break;
            }
        }
    }
    if (!deletesFirst && ok && !runDeletes()) ok = false;
    // What still points at the rows deleted first is let go now, after the inserts and updates that
    // may have named them.
    if (ok && !runPointerNullifying()) ok = false;
    conflicts.insert(conflicts.end(), std::make_move_iterator(deleteConflicts.begin()),
                     std::make_move_iterator(deleteConflicts.end()));
    if (ok && !conflicts.empty()) {
        failure = errorWithInfo(kManagedObjectMergeError, "Could not merge changes.",
                                Dictionary{{std::string(kConflictListKey), Value(std::move(conflicts))}});
        ok = false;
    }
    if (ok && !db_.commit(&failure)) ok = false;
    if (!ok) {
        db_.rollback();
        if (failure && failure->code() == kSQLiteError) failure = saveFailure(failure);
        setError(error, failure);
        return false;
    }
    if (result) {
        result->permanentIDs.reserve(result->permanentIDs.size() + inserts.size());
        for (const auto& pending : inserts) {
            if (pending.insert->objectID && pending.insert->objectID->isTemporaryID()) {
                result->permanentIDs.emplace_back(pending.insert->objectID, pending.permanentID);
            }
        }
        if (result->versions.empty()) {
            result->versions = std::move(versions);
        } else {
            result->versions.insert(result->versions.end(), std::make_move_iterator(versions.begin()),
                                    std::make_move_iterator(versions.end()));
        }
    }
    return true;
}

}  // namespace lv::data_detail
