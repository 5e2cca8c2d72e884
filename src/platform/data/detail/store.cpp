#include "platform/data/detail/store.h"

#include <cctype>
#include <cmath>
#include <cstring>

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

Ref<Error> errorWithInfo(std::int64_t code, std::string message, Dictionary extra) {
    extra.set(std::string(kLocalizedDescriptionKey), Value(std::move(message)));
    return Error::make(std::string(kCocoaErrorDomain), code, std::move(extra));
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

// ---- opening ----

bool SQLiteStore::open(const std::string& path, const Dictionary& options, Ref<Error>* error) {
    if (!db_.open(path, error)) return false;
    const Value& pragmas = options.get(kSQLitePragmasOption);
    if (pragmas.isDictionary()) {
        for (const auto& [name, value] : pragmas.dictionary()) {
            if (!db_.exec("PRAGMA " + quoteIdentifier(name) + " = " + pragmaValue(value), error)) return false;
        }
    }
    // Tables of the file; this is also where a file that is not a database shows itself.
    bool hasMetadata = false;
    std::size_t tables = 0;
    {
        Ref<Error> e;
        Statement s = db_.prepare("SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite_%'", &e);
        int rc = SQLITE_DONE;
        if (s) {
            while ((rc = s.step()) == SQLITE_ROW) {
                ++tables;
                if (s.columnText(0) == kMetadataTable) hasMetadata = true;
            }
        }
        if (!s || rc != SQLITE_DONE) {
            Ref<Error> underlying = db_.lastError(kSQLiteError, "reading the schema");
            setError(error, errorWithInfo(kFileReadCorruptFileError, "The file is not a store of ours or is damaged.",
                                          Dictionary{{std::string(kUnderlyingErrorKey), Value(underlying)},
                                                     {std::string(kFilePathErrorKey), Value(path)}}));
            return false;
        }
    }
    const bool migrateAutomatically = options.get(kMigratePersistentStoresAutomaticallyOption).boolValue() &&
                                      options.get(kInferMappingModelAutomaticallyOption).boolValue();
    versionHashes_ = model_->entityVersionHashesByName();
    if (tables == 0) {
        identifier_ = makeUUIDString();
        return createSchema(error);
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
    {
        Statement s = db_.prepare("SELECT key, value FROM " + quoteIdentifier(kMetadataTable), error);
        if (!s) return false;
        while (s.step() == SQLITE_ROW) metadata[s.columnText(0)] = s.columnText(1);
    }
    identifier_ = metadata["StoreUUID"];
    Dictionary storedHashes;
    Value hashesJSON = JSONSerialization::JSONObjectWithData(metadata["VersionHashes"], 0, nullptr);
    if (hashesJSON.isDictionary()) {
        for (const auto& [name, hex] : hashesJSON.dictionary()) {
            if (auto bytes = hex.isString() ? fromHex(hex.string()) : std::nullopt) storedHashes.set(name, Value(*bytes));
        }
    }
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
    // error and leaves the file as it was.
    Ref<Error> migrationError;
    if (!db_.begin(&migrationError) || !migrate(*source, &migrationError) || !writeMetadata(&migrationError) ||
        !db_.commit(&migrationError)) {
        if (!sqlite3_get_autocommit(db_.handle())) db_.rollback();
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
        if (!r->isToMany()) continue;
        const std::string table = relationTableName(entity.name(), r->name());
        if (!db_.exec("CREATE TABLE " + quoteIdentifier(table) +
                          " (\"owner\" INTEGER NOT NULL, \"position\" INTEGER NOT NULL, \"target\" INTEGER NOT NULL)",
                      error) ||
            !db_.exec("CREATE INDEX " + quoteIdentifier(table + "_owner") + " ON " + quoteIdentifier(table) +
                          " (\"owner\", \"position\")",
                      error)) {
            return false;
        }
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

bool SQLiteStore::createSchema(Ref<Error>* error) {
    if (!db_.begin(error)) return false;
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

bool SQLiteStore::migrate(const ManagedObjectModel& source, Ref<Error>* error) {
    auto fail = [&](std::string message) {
        setError(error, errorWithInfo(kMigrationError, std::move(message), {}));
        return false;
    };
    for (const auto& old : source.entities()) {
        if (model_->entityNamed(old->name())) continue;
        for (const auto& r : old->relationships()) {
            if (r->isToMany() && !db_.exec("DROP TABLE IF EXISTS " + quoteIdentifier(relationTableName(old->name(), r->name())), error)) {
                return false;
            }
        }
        if (!db_.exec("DROP TABLE IF EXISTS " + quoteIdentifier(old->name()), error)) return false;
        Statement s = db_.prepare("DELETE FROM " + quoteIdentifier(kKeysTable) + " WHERE entity = ?", error);
        if (!s) return false;
        s.bindText(1, old->name());
        if (!s.run(error)) return false;
    }
    for (const auto& entity : model_->entities()) {
        Ref<EntityDescription> old = source.entityNamed(entity->name());
        if (!old) {
            if (!createEntity(*entity, error)) return false;
            continue;
        }
        const std::string table = quoteIdentifier(entity->name());
        std::int64_t rows = 0;
        {
            Statement s = db_.prepare("SELECT count(*) FROM " + table, error);
            if (!s || s.step() != SQLITE_ROW) return false;
            rows = s.columnInt64(0);
        }
        // Removed properties first, so that a property that changed kind can be reported below.
        for (const auto& op : old->properties()) {
            auto np = entity->propertyNamed(op->name());
            if (np) {
                if (np->isAttribute() != op->isAttribute()) {
                    return fail("cannot migrate " + entity->name() + "." + op->name() + " between attribute and relationship");
                }
                if (np->isAttribute()) {
                    auto na = std::static_pointer_cast<AttributeDescription>(np);
                    auto oa = std::static_pointer_cast<AttributeDescription>(op);
                    // A wider integer reads the INTEGER column as it stands.
                    const bool widened = isIntegerAttributeType(oa->attributeType()) &&
                                         isIntegerAttributeType(na->attributeType()) &&
                                         na->attributeType() > oa->attributeType();
                    if (na->attributeType() != oa->attributeType() && !widened) {
                        return fail("cannot migrate attribute " + entity->name() + "." + op->name() + " from type " +
                                    std::string(attributeTypeName(oa->attributeType())) + " to " +
                                    std::string(attributeTypeName(na->attributeType())));
                    }
                } else {
                    auto nr = std::static_pointer_cast<RelationshipDescription>(np);
                    auto orl = std::static_pointer_cast<RelationshipDescription>(op);
                    if (nr->isToMany() != orl->isToMany() || nr->destinationEntityName() != orl->destinationEntityName()) {
                        return fail("cannot migrate relationship " + entity->name() + "." + op->name());
                    }
                }
                continue;
            }
            if (columnKind(*op) == ColumnKind::ToMany) {
                if (!db_.exec("DROP TABLE IF EXISTS " + quoteIdentifier(relationTableName(entity->name(), op->name())), error)) {
                    return false;
                }
            } else if (!db_.exec("ALTER TABLE " + table + " DROP COLUMN " + quoteIdentifier(op->name()), error)) {
                return false;
            }
        }
        for (const auto& np : entity->properties()) {
            if (old->propertyNamed(np->name())) continue;
            const ColumnKind kind = columnKind(*np);
            if (kind == ColumnKind::ToMany) {
                const std::string rel = relationTableName(entity->name(), np->name());
                if (!db_.exec("CREATE TABLE " + quoteIdentifier(rel) +
                                  " (\"owner\" INTEGER NOT NULL, \"position\" INTEGER NOT NULL, \"target\" INTEGER NOT NULL)",
                              error) ||
                    !db_.exec("CREATE INDEX " + quoteIdentifier(rel + "_owner") + " ON " + quoteIdentifier(rel) +
                                  " (\"owner\", \"position\")",
                              error)) {
                    return false;
                }
                continue;
            }
            if (!db_.exec("ALTER TABLE " + table + " ADD COLUMN " + quoteIdentifier(np->name()) + " " +
                              std::string(columnType(kind)),
                          error)) {
                return false;
            }
            Value fill;
            if (np->isAttribute()) fill = std::static_pointer_cast<AttributeDescription>(np)->defaultValue();
            if (fill.isNil()) {
                if (!np->isOptional() && rows > 0) {
                    return fail("cannot add the non-optional property " + entity->name() + "." + np->name() +
                                " without a default value to a table with rows");
                }
                continue;
            }
            auto encoded = encodeValue(*np, fill, {}, error);
            if (!encoded) return false;
            Statement s = db_.prepare("UPDATE " + table + " SET " + quoteIdentifier(np->name()) + " = ?", error);
            if (!s) return false;
            s.bind(1, *encoded);
            if (!s.run(error)) return false;
        }
        Statement s = db_.prepare("INSERT OR IGNORE INTO " + quoteIdentifier(kKeysTable) + " (entity, last) VALUES (?, 0)", error);
        if (!s) return false;
        s.bindText(1, entity->name());
        if (!s.run(error)) return false;
    }
    infos_.clear();
    db_.clearStatementCache();
    return true;
}

// ---- column layout and direct binding ----

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

// Binds a value of one of the common kinds straight from the value (nil as NULL); false when the value
// needs encoding first. Text and data stay alive in the caller's values until the statement has run.
inline bool bindDirect(Statement& s, int column, ColumnKind kind, AttributeType type, const Value& value, BoundParameter& bound) {
    if (value.isNil()) {
        bindNull(s, column, bound);
        return true;
    }
    switch (kind) {
        case ColumnKind::Text:
            if (value.isString()) {
                const std::string& text = value.string();
                if (bound.holds(BoundParameter::Kind::Text, 0, text.data(), text.size())) return true;
                sqlite3_bind_text(s.get(), column, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
                bound.set(BoundParameter::Kind::Text, 0, text.data(), text.size());
                return true;
            }
            break;
        case ColumnKind::Blob:
            if (value.isData()) {
                const Bytes& bytes = value.bytes();
                if (bound.holds(BoundParameter::Kind::Blob, 0, bytes.data(), bytes.size())) return true;
                sqlite3_bind_blob(s.get(), column, bytes.data(), static_cast<int>(bytes.size()), SQLITE_STATIC);
                bound.set(BoundParameter::Kind::Blob, 0, bytes.data(), bytes.size());
                return true;
            }
            break;
        case ColumnKind::DateReal:
            if (value.isDate()) {
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
            if (const Number* n = value.number(); n && type == AttributeType::Double) {
                bindReal(s, column, n->doubleValue(), bound);
                return true;
            }
            break;
        default: break;
    }
    return false;
}

AttributeType attributeTypeOf(const PropertyDescription& property) {
    return property.isAttribute() ? static_cast<const AttributeDescription&>(property).attributeType() : AttributeType::Undefined;
}

}  // namespace

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
    }
    info.insertSQL = "INSERT INTO " + quoteIdentifier(entity.name()) + " (" + insertColumns + ") VALUES (" + placeholders + ")";
    return infos_.emplace(entity.name(), std::move(info)).first->second;
}

// ---- reading ----

Value SQLiteStore::decodeColumn(const Statement& stmt, int column, const PropertyDescription& property, ColumnKind kind) {
    if (kind == ColumnKind::Text) {
        // NULL reads as no text at all, so present text needs no separate type check.
        if (const std::optional<std::string_view> text = stmt.columnTextView(column)) return Value(std::string(*text));
        return stmt.columnIsNull(column) ? Value() : Value(std::string());
    }
    if (stmt.columnIsNull(column)) return Value();
    switch (kind) {
        case ColumnKind::Integer: {
            const std::int64_t v = stmt.columnInt64(column);
            switch (static_cast<const AttributeDescription&>(property).attributeType()) {
                // A number another writer left outside the type's range reads back whole.
                case AttributeType::Integer16:
                    return v == static_cast<std::int16_t>(v) ? Value(static_cast<std::int16_t>(v)) : Value(v);
                case AttributeType::Integer32:
                    return v == static_cast<std::int32_t>(v) ? Value(static_cast<std::int32_t>(v)) : Value(v);
                case AttributeType::Boolean: return Value(v != 0);
                default: return Value(v);
            }
        }
        case ColumnKind::Real: {
            const double d = stmt.columnDouble(column);
            if (static_cast<const AttributeDescription&>(property).attributeType() == AttributeType::Float) {
                return Value(static_cast<float>(d));
            }
            return Value(d);
        }
        case ColumnKind::DateReal: return Value(Date::fromSinceReferenceDate(stmt.columnDouble(column)));
        case ColumnKind::Decimal: return Value(Decimal::fromString(stmt.columnText(column)));
        case ColumnKind::Text: break;  // read above
        case ColumnKind::Blob: return Value(stmt.columnBlob(column));
        case ColumnKind::Archive:
            return decodeTransformable(static_cast<const AttributeDescription&>(property), stmt.columnBlob(column));
        case ColumnKind::ToOne: {
            auto destination = static_cast<const RelationshipDescription&>(property).destinationEntity();
            if (!destination) return Value();
            return Value(ManagedObjectID::makePermanent(destination, identifier_, stmt.columnInt64(column)));
        }
        case ColumnKind::ToMany: break;
    }
    return Value();
}

bool SQLiteStore::readRow(const Ref<EntityDescription>& entity, const EntityInfo& info, const Statement& stmt,
                          bool includeValues, RowSnapshot& row) {
    row.objectID = ManagedObjectID::makePermanent(entity, identifier_, stmt.columnInt64(0));
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
            row.values.push_back(decodeColumn(stmt, static_cast<int>(c + 2), *properties[index], info.columnKinds[c]));
            ++c;
        } else {
            row.values.emplace_back();
        }
    }
    return true;
}

bool SQLiteStore::fetchRows(const Ref<EntityDescription>& entity, const WherePlan& plan, const std::string& orderBy,
                            std::size_t limit, std::size_t offset, bool includeValues, std::vector<RowSnapshot>& out,
                            Ref<Error>* error) {
    const EntityInfo& i = info(*entity);
    const bool needValues = includeValues || plan.residual;
    std::string sql = "SELECT " + (needValues ? i.selectColumns
                                                 : quoteIdentifier(kKeyColumn) + ", " + quoteIdentifier(kVersionColumn)) +
                      " FROM " + quoteIdentifier(entity->name());
    if (!plan.sql.empty()) sql += " WHERE " + plan.sql;
    sql += " ORDER BY " + (orderBy.empty() ? quoteIdentifier(kKeyColumn) : orderBy);
    if (limit > 0) sql += " LIMIT ? OFFSET ?";
    else if (offset > 0) sql += " LIMIT -1 OFFSET ?";
    Statement s = db_.prepare(sql, error);
    if (!s) return false;
    int index = 1;
    for (const Value& b : plan.bindings) s.bind(index++, b);
    if (limit > 0) s.bindInt64(index++, static_cast<std::int64_t>(limit));
    if (limit > 0 || offset > 0) s.bindInt64(index++, static_cast<std::int64_t>(offset));
    int rc;
    while ((rc = s.step()) == SQLITE_ROW) {
        RowSnapshot row;
        readRow(entity, i, s, needValues, row);
        if (plan.residual && !plan.residual->evaluate(RowSubject(*entity, row))) continue;
        if (!includeValues) row.values.clear();
        out.push_back(std::move(row));
    }
    if (rc != SQLITE_DONE) {
        setError(error, db_.lastError(kSQLiteError, sql));
        return false;
    }
    return true;
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
        readRow(entity, i, s, true, row);
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
    const std::string sql = "UPDATE " + quoteIdentifier(kKeysTable) + " SET last = last + ? WHERE entity = ? RETURNING last";
    Statement s = db_.prepare(sql, error);
    if (!s) return std::nullopt;
    s.bindInt64(1, static_cast<std::int64_t>(count));
    s.bindText(2, entity.name());
    if (s.step() != SQLITE_ROW) {
        setError(error, db_.lastError(kSQLiteError, sql));
        return std::nullopt;
    }
    const std::int64_t last = s.columnInt64(0);
    while (s.step() == SQLITE_ROW) {
    }
    return last - static_cast<std::int64_t>(count) + 1;
}

// ---- writing ----

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

bool SQLiteStore::save(const std::vector<PendingInsert>& inserts, const std::vector<const ChangeSet::Update*>& updates,
                       const std::vector<const ChangeSet::Delete*>& deletes,
                       const std::unordered_map<const ManagedObjectID*, Ref<ManagedObjectID>>& temporaryIDs, SaveResult* result,
                       Ref<Error>* error) {
    // The caller may have opened the transaction already (to take keys for new records in it).
    if (sqlite3_get_autocommit(db_.handle())) {
        Ref<Error> beginError;
        if (!db_.begin(&beginError)) {
            setError(error, saveFailure(beginError));
            return false;
        }
    }
    Array conflicts;
    Ref<Error> failure;
    auto writeToMany = [&](const EntityDescription& entity, const RelationshipDescription& r, std::int64_t owner,
                           const Value& value, bool replace) -> bool {
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
        for (const Value& item : value.array()) {
            auto key = keyOf(item, r.destinationEntityName(), temporaryIDs);
            if (!key) {
                encodeValue(r, item, temporaryIDs, &failure);
                return false;
            }
            Statement ins = db_.prepare("INSERT INTO " + table + " (\"owner\", \"position\", \"target\") VALUES (?, ?, ?)", &failure);
            if (!ins) return false;
            ins.bindInt64(1, owner);
            ins.bindInt64(2, position++);
            ins.bindInt64(3, *key);
            if (!ins.run(&failure)) return false;
        }
        return true;
    };
    // Checks the row's version; records a conflict and answers false when it differs or the row is gone.
    auto checkVersion = [&](const Ref<ManagedObjectID>& id, std::optional<std::int64_t> expected, bool& ok) -> bool {
        if (!expected) return true;
        Statement s = db_.prepare("SELECT " + quoteIdentifier(kVersionColumn) + " FROM " + quoteIdentifier(id->entity()->name()) +
                                      " WHERE " + quoteIdentifier(kKeyColumn) + " = ?",
                                  &failure);
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
        conflicts.push_back(Value(std::move(conflict)));
        return false;
    };

    bool ok = true;
    std::vector<std::pair<Ref<ManagedObjectID>, std::int64_t>> versions;
    versions.reserve(inserts.size() + updates.size());
    // Inserts of one entity in a row share one prepared statement (and the entity's column layout).
    const EntityDescription* statementEntity = nullptr;
    const EntityInfo* entityInfo = nullptr;
    std::optional<Statement> insertStatement;
    std::vector<BoundParameter> bound;  // what each parameter of the insert statement holds
    std::vector<Value> named;  // values given by name, by property index
    std::vector<bool> given;
    for (const auto& pending : inserts) {
        if (!ok) break;
        const Ref<EntityDescription>& entity = pending.permanentID->entity();
        if (statementEntity != entity.get()) entityInfo = &info(*entity);
        const EntityInfo& i = *entityInfo;
        const std::size_t propertyCount = entity->properties().size();
        const std::vector<Value>* columns = &pending.insert->valuesByIndex;
        const bool hasRelationships = !entity->relationships().empty();  // only relationships read `given`
        if (columns->size() != propertyCount) {
            named.assign(propertyCount, Value());
            given.assign(propertyCount, false);
            for (const auto& [name, value] : pending.insert->values) {
                const int index = entity->propertyIndex(name);
                if (index < 0) {
                    failure = errorWithInfo(kManagedObjectValidationError, "entity " + entity->name() + " has no property " + name,
                                            Dictionary{{"NSValidationErrorKey", Value(name)}});
                    ok = false;
                    break;
                }
                named[static_cast<std::size_t>(index)] = value;
                given[static_cast<std::size_t>(index)] = true;
            }
            if (!ok) break;
            columns = &named;
        } else if (hasRelationships) {
            given.assign(propertyCount, true);
        }
        if (statementEntity != entity.get()) {
            insertStatement.reset();
            Statement prepared = db_.prepare(i.insertSQL, &failure);
            if (!prepared) {
                ok = false;
                break;
            }
            insertStatement.emplace(std::move(prepared));
            statementEntity = entity.get();
            bound.assign(i.columnProperties.size() + 2, BoundParameter{});  // a fresh statement has no bindings
        }
        Statement& s = *insertStatement;
        s.reset();
        bindInteger(s, 1, pending.permanentID->key(), bound[0]);
        bindInteger(s, 2, 1, bound[1]);
        for (std::size_t c = 0; c < i.columnProperties.size() && ok; ++c) {
            const auto index = static_cast<std::size_t>(i.columnProperties[c]);
            const Value& value = (*columns)[index];
            BoundParameter& parameter = bound[c + 2];
            if (bindDirect(s, static_cast<int>(c + 3), i.columnKinds[c], i.columnTypes[c], value, parameter)) continue;
            parameter = BoundParameter{};  // bound from an encoded copy: bind again next time
            ok = bindColumn(s, static_cast<int>(c + 3), *entity->properties()[index], i.columnKinds[c], value, temporaryIDs, &failure);
        }
        if (!ok || !s.run(&failure)) {
            ok = false;
            break;
        }
        for (const auto& r : entity->relationships()) {
            const auto index = static_cast<std::size_t>(entity->propertyIndex(r->name()));
            if (r->isToMany() && given[index] && !(*columns)[index].isNil() &&
                !writeToMany(*entity, *r, pending.permanentID->key(), (*columns)[index], false)) {
                ok = false;
                break;
            }
        }
        versions.emplace_back(pending.permanentID, 1);
    }
    insertStatement.reset();
    for (const ChangeSet::Update* update : updates) {
        if (!ok) break;
        const Ref<ManagedObjectID>& id = update->objectID;
        const Ref<EntityDescription>& entity = id->entity();
        if (!checkVersion(id, update->expectedVersion, ok)) continue;
        std::string sql = "UPDATE " + quoteIdentifier(entity->name()) + " SET " + quoteIdentifier(kVersionColumn) + " = " +
                          quoteIdentifier(kVersionColumn) + " + 1";
        std::vector<Value> bindings;
        std::vector<std::pair<const RelationshipDescription*, const Value*>> toMany;
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
            sql += ", " + quoteIdentifier(name) + " = ?";
            bindings.push_back(std::move(*encoded));
        }
        if (!ok) break;
        sql += " WHERE " + quoteIdentifier(kKeyColumn) + " = ? RETURNING " + quoteIdentifier(kVersionColumn);
        Statement s = db_.prepare(sql, &failure);
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
            // The row is gone; without a version check the update has nothing to change.
            if (update->expectedVersion) {
                conflicts.push_back(Value(Dictionary{{"objectID", Value(id)}, {"expectedVersion", Value(*update->expectedVersion)}}));
            }
            continue;
        } else {
            failure = db_.lastError(kSQLiteError, sql);
            ok = false;
            break;
        }
        for (const auto& [r, value] : toMany) {
            if (!writeToMany(*entity, *r, id->key(), *value, true)) {
                ok = false;
                break;
            }
        }
    }
    for (const ChangeSet::Delete* del : deletes) {
        if (!ok) break;
        const Ref<ManagedObjectID>& id = del->objectID;
        const Ref<EntityDescription>& entity = id->entity();
        if (!checkVersion(id, del->expectedVersion, ok)) continue;
        Statement s = db_.prepare("DELETE FROM " + quoteIdentifier(entity->name()) + " WHERE " + quoteIdentifier(kKeyColumn) + " = ?",
                                  &failure);
        if (!s) {
            ok = false;
            break;
        }
        s.bindInt64(1, id->key());
        if (!s.run(&failure)) {
            ok = false;
            break;
        }
        for (const auto& r : entity->relationships()) {
            if (!r->isToMany()) continue;
            Statement d = db_.prepare("DELETE FROM " + quoteIdentifier(relationTableName(entity->name(), r->name())) +
                                          " WHERE \"owner\" = ?",
                                      &failure);
            if (!d) {
                ok = false;
                break;
            }
            d.bindInt64(1, id->key());
            if (!d.run(&failure)) {
                ok = false;
                break;
            }
        }
        // Nullify what still points at the deleted row.
        for (const auto& other : model_->entities()) {
            for (const auto& r : other->relationships()) {
                if (!ok || r->destinationEntityName() != entity->name()) continue;
                std::string sql = r->isToMany()
                                      ? "DELETE FROM " + quoteIdentifier(relationTableName(other->name(), r->name())) +
                                            " WHERE \"target\" = ?"
                                      : "UPDATE " + quoteIdentifier(other->name()) + " SET " + quoteIdentifier(r->name()) +
                                            " = NULL WHERE " + quoteIdentifier(r->name()) + " = ?";
                Statement n = db_.prepare(sql, &failure);
                if (!n) {
                    ok = false;
                    break;
                }
                n.bindInt64(1, id->key());
                if (!n.run(&failure)) ok = false;
            }
        }
    }
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
