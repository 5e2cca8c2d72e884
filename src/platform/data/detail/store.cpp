#include "platform/data/detail/store.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>

#include "platform/base/detail/value_text.h"
#include "platform/data/errors.h"
#include "platform/storage/json.h"

namespace lv::data_detail {

namespace {

constexpr std::string_view kFormatVersion = "1";

std::string toHex(const Bytes& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (std::uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

std::optional<Bytes> fromHex(std::string_view text) {
    if (text.size() % 2) return std::nullopt;
    Bytes out;
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int hi = nibble(text[i]);
        const int lo = nibble(text[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
    }
    return out;
}

// A pragma value as SQL: plain words and numbers as they are, anything else as a quoted literal.
std::string pragmaValue(const Value& v) {
    const std::string text = v.stringValue();
    bool plain = !text.empty();
    for (char c : text) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-' && c != '.') plain = false;
    }
    if (plain) return text;
    std::string out = "'";
    for (char c : text) {
        if (c == '\'') out += '\'';
        out += c;
    }
    return out + "'";
}

class RowSubject : public PredicateSubject {
public:
    RowSubject(const EntityDescription& entity, const RowSnapshot& row) : entity_(entity), row_(row) {}
    Value valueForKeyPath(const std::string& keyPath) const override {
        const int i = entity_.propertyIndex(keyPath);
        if (i < 0 || static_cast<std::size_t>(i) >= row_.values.size()) return Value();
        return row_.values[static_cast<std::size_t>(i)];
    }
    Value evaluatedObject() const override { return Value(row_.objectID); }

private:
    const EntityDescription& entity_;
    const RowSnapshot& row_;
};

}  // namespace

Ref<Error> errorWithInfo(std::int64_t code, std::string message, Dictionary extra) {
    extra.set(std::string(kLocalizedDescriptionKey), Value(std::move(message)));
    return Error::make(std::string(kCocoaErrorDomain), code, std::move(extra));
}

// ---- opening ----

bool SQLiteStore::open(const std::string& path, const Dictionary& options, Ref<Error>* error) {
    if (!db_.open(path, error)) return false;
    const Value& pragmas = options.get(kSQLitePragmasOption);
    if (pragmas.isDictionary()) {
        for (const auto& [name, value] : pragmas.dictionary()) {
            // A change of journal mode needs the file to itself and answers "busy" at once, without the
            // busy handler, while another process opens the file: it is tried again, as the busy
            // handler would, for up to its time-out.
            const std::string sql = "PRAGMA " + quoteIdentifier(name) + " = " + pragmaValue(value);
            int waited = 0;
            Ref<Error> pragmaError;
            while (!db_.exec(sql, &pragmaError)) {
                const int code = sqlite3_errcode(db_.handle());
                if ((code != SQLITE_BUSY && code != SQLITE_LOCKED) || waited >= kBusyMilliseconds) {
                    setError(error, pragmaError);
                    return false;
                }
                waited += sqlite3_sleep(10);
            }
        }
    }
    // Tables of the file; this is also where a file that is not a database shows itself.
    bool hasMetadata = false;
    std::size_t tables = 0;
    auto readTables = [&]() {
        hasMetadata = false;
        tables = 0;
        Ref<Error> e;
        Statement s = db_.prepare("SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite_%'", &e);
        int rc = SQLITE_DONE;
        if (s) {
            while ((rc = s.step()) == SQLITE_ROW) {
                ++tables;
                if (s.columnText(0) == kMetadataTable) hasMetadata = true;
            }
        }
        if (s && rc == SQLITE_DONE) return true;
        Ref<Error> underlying = db_.lastError(kSQLiteError, "reading the schema");
        setError(error, errorWithInfo(kFileReadCorruptFileError, "The file is not a store of ours or is damaged.",
                                      Dictionary{{std::string(kUnderlyingErrorKey), Value(underlying)},
                                                 {std::string(kFilePathErrorKey), Value(path)}}));
        return false;
    };
    if (!readTables()) return false;
    const bool migrateAutomatically = options.get(kMigratePersistentStoresAutomaticallyOption).boolValue() &&
                                      options.get(kInferMappingModelAutomaticallyOption).boolValue();
    versionHashes_ = model_->entityVersionHashesByName();
    if (tables == 0) {
        // A new file. Another process may be making its schema at the same time: under the write lock
        // the file is looked at again, and only a file still without tables gets the schema here.
        if (!db_.begin(error)) return false;
        if (!readTables()) {
            db_.rollback();
            return false;
        }
        if (tables == 0) {
            identifier_ = makeUUIDString();
            return createSchema(error);
        }
        db_.rollback();
    }
    if (!hasMetadata) {
        if (migrateAutomatically) {
            setError(error, errorWithInfo(kMigrationMissingSourceModelError, "Can't find model for source store", {}));
        } else {
            setError(error, errorWithInfo(kPersistentStoreIncompatibleVersionHashError,
                                          "The model used to open the store is incompatible with the one used to create the store", {}));
        }
        return false;
    }
    std::map<std::string, std::string> metadata;
    Dictionary storedHashes;
    auto readMetadata = [&](Ref<Error>* readError) {
        metadata.clear();
        storedHashes = Dictionary();
        Statement s = db_.prepare("SELECT key, value FROM " + quoteIdentifier(kMetadataTable), readError);
        if (!s) return false;
        while (s.step() == SQLITE_ROW) metadata[s.columnText(0)] = s.columnText(1);
        identifier_ = metadata["StoreUUID"];
        Value hashesJSON = JSONSerialization::JSONObjectWithData(metadata["VersionHashes"], 0, nullptr);
        if (hashesJSON.isDictionary()) {
            for (const auto& [name, hex] : hashesJSON.dictionary()) {
                if (auto bytes = hex.isString() ? fromHex(hex.string()) : std::nullopt) storedHashes.set(name, Value(*bytes));
            }
        }
        return true;
    };
    if (!readMetadata(error)) return false;
    if (model_->isCompatibleWithVersionHashes(storedHashes)) return true;
    if (!migrateAutomatically) {
        setError(error, errorWithInfo(kPersistentStoreIncompatibleVersionHashError,
                                      "The model used to open the store is incompatible with the one used to create the store",
                                      Dictionary{{std::string(kStoreVersionHashesErrorKey), Value(storedHashes)}}));
        return false;
    }
    Ref<ManagedObjectModel> source = ManagedObjectModel::modelFromText(metadata["ModelText"], nullptr);
    if (!source) {
        setError(error, errorWithInfo(kMigrationMissingSourceModelError, "Can't find model for source store", {}));
        return false;
    }
    // Any failure, SQLite's included (the file locked or read-only, a full disk), is the migration's
    // error and leaves the file as it was. Another process may be migrating the file at the same time:
    // under the write lock the metadata is read again, and a file already migrated to this model opens
    // as it is; otherwise the migration starts from the model the file now holds.
    Ref<Error> migrationError;
    bool migrated = false;
    const std::string sourceText = metadata["ModelText"];
    bool ok = db_.begin(&migrationError) && readMetadata(&migrationError);
    if (ok && model_->isCompatibleWithVersionHashes(storedHashes)) {
        db_.rollback();
        return true;
    }
    if (ok && metadata["ModelText"] != sourceText) {
        source = ManagedObjectModel::modelFromText(metadata["ModelText"], nullptr);
        if (!source) {
            db_.rollback();
            setError(error, errorWithInfo(kMigrationMissingSourceModelError, "Can't find model for source store", {}));
            return false;
        }
    }
    if (ok) {
        migrated = migrate(*source, &migrationError) && writeMetadata(&migrationError) && db_.commit(&migrationError);
    }
    if (!migrated) {
        if (db_.inTransaction()) db_.rollback();
        if (migrationError && migrationError->code() != kMigrationError) {
            const Value& message = migrationError->userInfo().get(kLocalizedDescriptionKey);
            migrationError = errorWithInfo(kMigrationError, "The store could not be migrated: " + message.stringValue(),
                                           Dictionary{{std::string(kUnderlyingErrorKey), Value(migrationError)},
                                                      {std::string(kLocalizedFailureReasonErrorKey), message}});
        }
        setError(error, migrationError);
        return false;
    }
    return true;
}

bool SQLiteStore::createRelationTable(const std::string& table, Ref<Error>* error) {
    return db_.exec("CREATE TABLE " + quoteIdentifier(table) +
                        " (\"owner\" INTEGER NOT NULL, \"position\" INTEGER NOT NULL, \"target\" INTEGER NOT NULL)",
                    error) &&
           db_.exec("CREATE INDEX " + quoteIdentifier(table + "_owner") + " ON " + quoteIdentifier(table) + " (\"owner\", \"position\")",
                    error);
}

bool SQLiteStore::createEntity(const EntityDescription& entity, Ref<Error>* error) {
    std::string sql = "CREATE TABLE " + quoteIdentifier(entity.name()) + " (" + quoteIdentifier(kKeyColumn) +
                      " INTEGER PRIMARY KEY, " + quoteIdentifier(kVersionColumn) + " INTEGER NOT NULL DEFAULT 1";
    for (const auto& p : entity.properties()) {
        const ColumnKind kind = columnKind(*p);
        if (kind == ColumnKind::ToMany) continue;
        sql += ", " + quoteIdentifier(p->name()) + " " + std::string(columnType(kind));
    }
    sql += ")";
    if (!db_.exec(sql, error)) return false;
    for (const auto& r : entity.relationships()) {
        if (r->isToMany() && !createRelationTable(relationTableName(entity.name(), r->name()), error)) return false;
    }
    Statement s = db_.prepare("INSERT OR IGNORE INTO " + quoteIdentifier(kKeysTable) + " (entity, last) VALUES (?, 0)", error);
    if (!s) return false;
    s.bindText(1, entity.name());
    return s.run(error);
}

bool SQLiteStore::writeMetadata(Ref<Error>* error) {
    Dictionary hashes;
    for (const auto& [name, hash] : versionHashes_) hashes.set(name, Value(toHex(hash.bytes())));
    const std::pair<std::string, std::string> rows[] = {
        {"StoreUUID", identifier_},
        {"FormatVersion", std::string(kFormatVersion)},
        {"ModelText", model_->textRepresentation()},
        {"VersionHashes", JSONSerialization::stringWithJSONObject(Value(hashes), 0, nullptr).value_or("{}")},
    };
    for (const auto& [key, value] : rows) {
        Statement s = db_.prepare("INSERT OR REPLACE INTO " + quoteIdentifier(kMetadataTable) + " (key, value) VALUES (?, ?)", error);
        if (!s) return false;
        s.bindText(1, key);
        s.bindText(2, value);
        if (!s.run(error)) return false;
    }
    return true;
}

// In the transaction the caller began; ends it (committed, or rolled back on failure).
bool SQLiteStore::createSchema(Ref<Error>* error) {
    bool ok = db_.exec("CREATE TABLE " + quoteIdentifier(kMetadataTable) + " (\"key\" TEXT PRIMARY KEY, \"value\")", error) &&
              db_.exec("CREATE TABLE " + quoteIdentifier(kKeysTable) +
                           " (\"entity\" TEXT PRIMARY KEY, \"last\" INTEGER NOT NULL)",
                       error);
    for (const auto& e : model_->entities()) {
        if (!ok) break;
        ok = createEntity(*e, error);
    }
    ok = ok && writeMetadata(error) && db_.commit(error);
    if (!ok) db_.rollback();
    return ok;
}

// ---- column layouts ----

const SQLiteStore::EntityInfo& SQLiteStore::info(const EntityDescription& entity) {
    auto it = infos_.find(entity.name());
    if (it != infos_.end()) return it->second;
    EntityInfo info;
    info.selectColumns = quoteIdentifier(kKeyColumn) + ", " + quoteIdentifier(kVersionColumn);
    std::string insertColumns = info.selectColumns;
    std::string placeholders = "?, ?";
    for (std::size_t i = 0; i < entity.properties().size(); ++i) {
        const auto& p = entity.properties()[i];
        const ColumnKind kind = columnKind(*p);
        if (kind == ColumnKind::ToMany) continue;
        info.selectColumns += ", " + quoteIdentifier(p->name());
        insertColumns += ", " + quoteIdentifier(p->name());
        placeholders += ", ?";
        info.columnProperties.push_back(static_cast<int>(i));
        info.columnKinds.push_back(kind);
        info.columnTypes.push_back(attributeTypeOf(*p));
        if (kind == ColumnKind::Text) ++info.textColumns;
    }
    const std::string row = "(" + placeholders + ")";
    info.insertSQL = "INSERT INTO " + quoteIdentifier(entity.name()) + " (" + insertColumns + ") VALUES " + row;
    // Statements of kInsertRows rows, then of kInsertRows / step, … down to one row, as far as SQLite
    // takes that many parameters in one statement.
    info.insertsInBatches = std::none_of(entity.relationships().begin(), entity.relationships().end(),
                                         [](const auto& r) { return r->isToMany(); });
    const std::size_t parameters = info.columnProperties.size() + 2;
    const auto limit = static_cast<std::size_t>(std::max(1, sqlite3_limit(db_.handle(), SQLITE_LIMIT_VARIABLE_NUMBER, -1)));
    for (std::size_t rows = info.insertsInBatches ? kInsertRows : 1; rows > 1; rows /= kInsertRowsStep) {
        if (rows * parameters > limit) continue;
        std::string sql = info.insertSQL;
        sql.reserve(sql.size() + (rows - 1) * (row.size() + 2));
        for (std::size_t k = 1; k < rows; ++k) sql += ", " + row;
        info.insertRows.push_back(rows);
        info.insertRowsSQL.push_back(std::move(sql));
    }
    info.insertRows.push_back(1);
    info.insertRowsSQL.push_back(info.insertSQL);
    return infos_.emplace(entity.name(), std::move(info)).first->second;
}

// ---- reading ----

namespace {

// The texts of the rows one read gives share their allocations: a block serves kRowsPerTextBlock rows
// (the first block one row), with room for their long texts as the block before needed per row. A
// text that finds no room left gets an allocation of its own, as every long text did when each row
// had its own block. The room is bounded, so rows of very long texts waste no more than that.
class RowTexts {
public:
    explicit RowTexts(std::size_t textColumns) : columns_(textColumns), block_(textColumns) {}

    // A block with room for one more row's texts.
    TextBlock& forRow() {
        if (block_.room() < columns_) {
            constexpr std::size_t kRowsPerTextBlock = 16;
            constexpr std::size_t kMostBlockBytes = 16 * 1024;
            // A little over the last block's need per row, for rows whose texts vary in length.
            const std::size_t perRow = block_.longTextBytes() / rows_;
            const std::size_t bytes = std::min(kMostBlockBytes, (perRow + perRow / 8) * kRowsPerTextBlock);
            block_ = TextBlock(columns_ * kRowsPerTextBlock, bytes);
            rows_ = kRowsPerTextBlock;
        }
        return block_;
    }

private:
    std::size_t columns_;
    std::size_t rows_ = 1;  // rows the current block serves
    TextBlock block_;
};

}  // namespace

void SQLiteStore::appendColumn(std::vector<Value>& values, const Statement& stmt, int column, const PropertyDescription& property,
                               ColumnKind kind, TextBlock& texts) {
    if (kind == ColumnKind::Text) {
        // NULL reads as no text at all, so present text needs no separate type check.
        if (const std::optional<std::string_view> text = stmt.columnTextView(column)) {
            values.emplace_back(texts.makePayload(*text), ValueText::sharedTextTag());
        } else if (stmt.columnIsNull(column)) {
            values.emplace_back();
        } else {
            values.emplace_back(std::string());
        }
        return;
    }
    if (stmt.columnIsNull(column)) {
        values.emplace_back();
        return;
    }
    switch (kind) {
        case ColumnKind::Integer: {
            const std::int64_t v = stmt.columnInt64(column);
            switch (static_cast<const AttributeDescription&>(property).attributeType()) {
                // A number another writer left outside the type's range reads back whole.
                case AttributeType::Integer16:
                    if (v == static_cast<std::int16_t>(v)) values.emplace_back(static_cast<std::int16_t>(v));
                    else values.emplace_back(v);
                    return;
                case AttributeType::Integer32:
                    if (v == static_cast<std::int32_t>(v)) values.emplace_back(static_cast<std::int32_t>(v));
                    else values.emplace_back(v);
                    return;
                case AttributeType::Boolean: values.emplace_back(v != 0); return;
                default: values.emplace_back(v); return;
            }
        }
        case ColumnKind::Real: {
            const double d = stmt.columnDouble(column);
            if (static_cast<const AttributeDescription&>(property).attributeType() == AttributeType::Float) {
                values.emplace_back(static_cast<float>(d));
            } else {
                values.emplace_back(d);
            }
            return;
        }
        case ColumnKind::DateReal: values.emplace_back(Date::fromSinceReferenceDate(stmt.columnDouble(column))); return;
        case ColumnKind::Decimal: values.emplace_back(Decimal::fromString(stmt.columnText(column))); return;
        case ColumnKind::Text: break;  // read above
        case ColumnKind::Blob: values.emplace_back(stmt.columnBlob(column)); return;
        case ColumnKind::Archive:
            values.emplace_back(decodeTransformable(static_cast<const AttributeDescription&>(property), stmt.columnBlob(column)));
            return;
        case ColumnKind::ToOne: {
            auto destination = static_cast<const RelationshipDescription&>(property).destinationEntity();
            if (!destination) break;
            values.emplace_back(ManagedObjectID::makePermanent(destination, identifier_, stmt.columnInt64(column)));
            return;
        }
        case ColumnKind::ToMany: break;
    }
    values.emplace_back();
}

bool SQLiteStore::readRow(const Ref<EntityDescription>& entity, const EntityInfo& info, const Statement& stmt,
                          bool includeValues, RowSnapshot& row, TextBlock& texts) {
    if (!row.objectID) row.objectID = ManagedObjectID::makePermanent(entity, identifier_, stmt.columnInt64(0));
    row.version = stmt.columnInt64(1);
    if (!includeValues) return true;
    // The values are made in property order, each in its place (stored columns come in that order;
    // a property without a column, a to-many relationship, stays nil), rather than filled with nils
    // and assigned over.
    const auto& properties = entity->properties();
    row.values.clear();
    row.values.reserve(properties.size());
    std::size_t c = 0;
    for (std::size_t index = 0; index < properties.size(); ++index) {
        if (c < info.columnProperties.size() && static_cast<std::size_t>(info.columnProperties[c]) == index) {
            appendColumn(row.values, stmt, static_cast<int>(c + 2), *properties[index], info.columnKinds[c], texts);
            ++c;
        } else {
            row.values.emplace_back();
        }
    }
    return true;
}

std::vector<std::pair<std::int64_t, std::int64_t>> SQLiteStore::keyRuns(const EntityDescription& entity,
                                                                       const std::vector<const ManagedObjectID*>& ids) const {
    constexpr std::size_t kShortestRun = 8;
    constexpr std::size_t kMostRuns = 4;
    std::vector<std::int64_t> keys;
    keys.reserve(ids.size());
    for (const ManagedObjectID* id : ids) {
        if (!id || id->isTemporaryID() || !id->entity() || id->storeIdentifier() != identifier_) continue;
        if (id->entity().get() != &entity && id->entity()->name() != entity.name()) continue;
        keys.push_back(id->key());
    }
    std::vector<std::pair<std::int64_t, std::int64_t>> runs;
    if (keys.size() < kShortestRun) return runs;
    const auto [lowest, highest] = std::minmax_element(keys.begin(), keys.end());
    const std::int64_t low = *lowest;
    const auto span = static_cast<std::uint64_t>(*highest) - static_cast<std::uint64_t>(low) + 1;
    if (span <= 4 * keys.size()) {
        // Keys close together (the usual case: the records of one save): marked in a table over their
        // span and read off in order, instead of sorted.
        std::vector<std::uint8_t> present(span);
        for (const std::int64_t key : keys) present[static_cast<std::uint64_t>(key) - static_cast<std::uint64_t>(low)] = 1;
        for (std::size_t first = 0; first < span;) {
            if (!present[first]) {
                ++first;
                continue;
            }
            std::size_t last = first;
            while (last + 1 < span && present[last + 1]) ++last;
            if (last - first + 1 >= kShortestRun) {
                runs.emplace_back(low + static_cast<std::int64_t>(first), low + static_cast<std::int64_t>(last));
            }
            first = last + 1;
        }
    } else {
        std::sort(keys.begin(), keys.end());
        keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
        for (std::size_t first = 0; first < keys.size();) {
            std::size_t last = first;
            while (last + 1 < keys.size() && keys[last + 1] == keys[last] + 1) ++last;
            if (last - first + 1 >= kShortestRun) runs.emplace_back(keys[first], keys[last]);
            first = last + 1;
        }
    }
    // The longest runs, in key order.
    if (runs.size() > kMostRuns) {
        std::partial_sort(runs.begin(), runs.begin() + kMostRuns, runs.end(),
                          [](const auto& a, const auto& b) { return a.second - a.first > b.second - b.first; });
        runs.resize(kMostRuns);
        std::sort(runs.begin(), runs.end());
    }
    return runs;
}

bool SQLiteStore::fetchRows(const Ref<EntityDescription>& entity, const WherePlan& plan, const std::string& orderBy,
                            std::size_t limit, std::size_t offset, bool includeValues, std::vector<RowSnapshot>& out,
                            Ref<Error>* error, const std::function<bool(const Ref<ManagedObjectID>&)>* skip,
                            const std::vector<std::pair<std::int64_t, std::int64_t>>& excluded,
                            const std::function<const Ref<ManagedObjectID>*(const std::string&, std::int64_t)>* known) {
    const EntityInfo& i = info(*entity);
    const bool needValues = includeValues || plan.residual;
    const std::string key = quoteIdentifier(kKeyColumn);
    const std::string head = "SELECT " + (needValues ? i.selectColumns : key + ", " + quoteIdentifier(kVersionColumn)) + " FROM " +
                             quoteIdentifier(entity->name());
    // Steps a statement whose parameters after the plan's bindings `bindRest` binds, appending its rows.
    auto readRows = [&](const std::string& sql, auto bindRest) {
        Statement s = db_.prepare(sql, error);
        if (!s) return false;
        int index = 1;
        for (const Value& b : plan.bindings) s.bind(index++, b);
        bindRest(s, index);
        int rc;
        RowTexts texts(i.textColumns);
        while ((rc = s.step()) == SQLITE_ROW) {
            Ref<ManagedObjectID> id;
            if (skip || known) {
                // An ID the caller holds already costs no new one.
                const std::int64_t rowKey = s.columnInt64(0);
                const Ref<ManagedObjectID>* held = known ? (*known)(identifier_, rowKey) : nullptr;
                id = held ? *held : ManagedObjectID::makePermanent(entity, identifier_, rowKey);
                if (skip && (*skip)(id)) continue;
            }
            // The row is made in its place in out (no snapshot moved in and destroyed per row).
            RowSnapshot& row = out.emplace_back();
            row.objectID = std::move(id);
            if (!needValues) {
                // Keys only: the key (unless the ID came above) and the version.
                if (!row.objectID) row.objectID = ManagedObjectID::makePermanent(entity, identifier_, s.columnInt64(0));
                row.version = s.columnInt64(1);
                continue;
            }
            readRow(entity, i, s, true, row, texts.forRow());
            if (plan.residual && !plan.residual->evaluate(RowSubject(*entity, row))) {
                out.pop_back();
                continue;
            }
            if (!includeValues) row.values.clear();
        }
        if (rc != SQLITE_DONE) {
            setError(error, db_.lastError(kSQLiteError, sql));
            return false;
        }
        return true;
    };
    if (!excluded.empty() && (orderBy.empty() || orderBy == key + " ASC") && limit == 0 && offset == 0) {
        // In key order without a window, the rows between the excluded runs are read gap by gap, each
        // a range of keys SQLite seeks to (the runs are ascending and apart): the runs' own rows are
        // not stepped over, as a condition on every row would have them.
        const std::string filter = head + " WHERE " + (plan.sql.empty() ? "" : "(" + plan.sql + ") AND ");
        const std::string order = " ORDER BY " + key;
        for (std::size_t gap = 0; gap <= excluded.size(); ++gap) {
            const bool first = gap == 0;
            const bool last = gap == excluded.size();
            const std::string sql = filter + (first ? key + " < ?" : last ? key + " > ?" : key + " > ? AND " + key + " < ?") + order;
            const bool read = readRows(sql, [&](Statement& s, int index) {
                if (!first) s.bindInt64(index++, excluded[gap - 1].second);
                if (!last) s.bindInt64(index, excluded[gap].first);
            });
            if (!read) return false;
        }
        return true;
    }
    std::string sql = head;
    std::string where = plan.sql.empty() || excluded.empty() ? plan.sql : "(" + plan.sql + ")";
    for (std::size_t k = 0; k < excluded.size(); ++k) {
        if (!where.empty()) where += " AND ";
        where += "NOT (" + key + " BETWEEN ? AND ?)";
    }
    if (!where.empty()) sql += " WHERE " + where;
    sql += " ORDER BY " + (orderBy.empty() ? key : orderBy);
    if (limit > 0) sql += " LIMIT ? OFFSET ?";
    else if (offset > 0) sql += " LIMIT -1 OFFSET ?";
    return readRows(sql, [&](Statement& s, int index) {
        for (const auto& [first, last] : excluded) {
            s.bindInt64(index++, first);
            s.bindInt64(index++, last);
        }
        if (limit > 0) s.bindInt64(index++, static_cast<std::int64_t>(limit));
        if (limit > 0 || offset > 0) s.bindInt64(index, static_cast<std::int64_t>(offset));
    });
}

std::optional<std::size_t> SQLiteStore::countRows(const EntityDescription& entity, const WherePlan& plan, Ref<Error>* error) {
    std::string sql = "SELECT count(*) FROM " + quoteIdentifier(entity.name());
    if (!plan.sql.empty()) sql += " WHERE " + plan.sql;
    Statement s = db_.prepare(sql, error);
    if (!s) return std::nullopt;
    int index = 1;
    for (const Value& b : plan.bindings) s.bind(index++, b);
    if (s.step() != SQLITE_ROW) {
        setError(error, db_.lastError(kSQLiteError, sql));
        return std::nullopt;
    }
    return static_cast<std::size_t>(s.columnInt64(0));
}

bool SQLiteStore::rowForKey(const Ref<EntityDescription>& entity, std::int64_t key, std::optional<RowSnapshot>& out,
                            Ref<Error>* error) {
    const EntityInfo& i = info(*entity);
    const std::string sql = "SELECT " + i.selectColumns + " FROM " + quoteIdentifier(entity->name()) + " WHERE " +
                            quoteIdentifier(kKeyColumn) + " = ?";
    Statement s = db_.prepare(sql, error);
    if (!s) return false;
    s.bindInt64(1, key);
    const int rc = s.step();
    if (rc == SQLITE_ROW) {
        RowSnapshot row;
        TextBlock texts(i.textColumns);
        readRow(entity, i, s, true, row, texts);
        out = std::move(row);
        return true;
    }
    if (rc != SQLITE_DONE) {
        setError(error, db_.lastError(kSQLiteError, sql));
        return false;
    }
    out.reset();
    return true;
}

namespace {

// Rows by key are read in statements of kReadBatch keys, the rest in ones of kReadBatch / step,
// / step², … down to one key: a handful of statement texts per entity, each prepared once.
constexpr std::size_t kReadBatch = 64;
constexpr std::size_t kReadBatchStep = 4;

}  // namespace

bool SQLiteStore::rowsForKeys(const Ref<EntityDescription>& entity, const std::vector<std::int64_t>& keys,
                              std::vector<RowSnapshot>& out, Ref<Error>* error) {
    const EntityInfo& i = info(*entity);
    const std::string head = "SELECT " + i.selectColumns + " FROM " + quoteIdentifier(entity->name()) + " WHERE " +
                             quoteIdentifier(kKeyColumn) + " IN (?";
    std::size_t size = kReadBatch;
    for (std::size_t at = 0; at < keys.size(); at += size) {
        while (size > 1 && keys.size() - at < size) size /= kReadBatchStep;
        std::string sql = head;
        for (std::size_t k = 1; k < size; ++k) sql += ", ?";
        sql += ")";
        Statement s = db_.prepare(sql, error);
        if (!s) return false;
        for (std::size_t k = 0; k < size; ++k) s.bindInt64(static_cast<int>(k + 1), keys[at + k]);
        int rc;
        RowTexts texts(i.textColumns);
        while ((rc = s.step()) == SQLITE_ROW) {
            RowSnapshot row;
            readRow(entity, i, s, true, row, texts.forRow());
            out.push_back(std::move(row));
        }
        if (rc != SQLITE_DONE) {
            setError(error, db_.lastError(kSQLiteError, sql));
            return false;
        }
    }
    return true;
}

std::optional<std::vector<std::int64_t>> SQLiteStore::relatedKeys(const EntityDescription& entity,
                                                                  const RelationshipDescription& relationship,
                                                                  std::int64_t key, Ref<Error>* error) {
    const std::string sql = "SELECT \"target\" FROM " + quoteIdentifier(relationTableName(entity.name(), relationship.name())) +
                            " WHERE \"owner\" = ? ORDER BY \"position\"";
    Statement s = db_.prepare(sql, error);
    if (!s) return std::nullopt;
    s.bindInt64(1, key);
    std::vector<std::int64_t> out;
    int rc;
    while ((rc = s.step()) == SQLITE_ROW) out.push_back(s.columnInt64(0));
    if (rc != SQLITE_DONE) {
        setError(error, db_.lastError(kSQLiteError, sql));
        return std::nullopt;
    }
    return out;
}

std::optional<std::int64_t> SQLiteStore::allocateKeys(const EntityDescription& entity, std::size_t count, Ref<Error>* error) {
    // The file's count goes back with a rolled-back transaction (a commit of a held write that
    // failed), while the records that were given those keys may live on: counting on from the last
    // key this store gave keeps a key from naming two records.
    const std::string sql =
        "UPDATE " + quoteIdentifier(kKeysTable) + " SET last = max(last, ?) + ? WHERE entity = ? RETURNING last";
    Statement s = db_.prepare(sql, error);
    if (!s) return std::nullopt;
    auto handed = lastKeys_.find(entity.name());
    s.bindInt64(1, handed == lastKeys_.end() ? 0 : handed->second);
    s.bindInt64(2, static_cast<std::int64_t>(count));
    s.bindText(3, entity.name());
    if (s.step() != SQLITE_ROW) {
        setError(error, db_.lastError(kSQLiteError, sql));
        return std::nullopt;
    }
    const std::int64_t last = s.columnInt64(0);
    while (s.step() == SQLITE_ROW) {
    }
    if (handed == lastKeys_.end()) lastKeys_.emplace(entity.name(), last);
    else handed->second = last;
    return last - static_cast<std::int64_t>(count) + 1;
}

}  // namespace lv::data_detail
