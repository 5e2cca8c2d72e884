// The lightweight migration of a store file to the model it is opened with: entities and properties
// added and removed, integers widened, properties made required given their default; anything else
// refused with the migration error.
#include "platform/data/detail/store.h"

#include "platform/data/errors.h"

namespace lv::data_detail {

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
                // A property that became required: rows holding nil take the attribute's default, or
                // the migration is refused (such rows could never be saved again).
                if (np->isOptional() || !op->isOptional() || columnKind(*np) == ColumnKind::ToMany) continue;
                Value fill;
                if (np->isAttribute()) fill = std::static_pointer_cast<AttributeDescription>(np)->defaultValue();
                const std::string column = quoteIdentifier(np->name());
                if (fill.isNil()) {
                    Statement s = db_.prepare("SELECT EXISTS (SELECT 1 FROM " + table + " WHERE " + column + " IS NULL)", error);
                    if (!s || s.step() != SQLITE_ROW) return false;
                    if (s.columnInt64(0) != 0) {
                        return fail("cannot make " + entity->name() + "." + np->name() +
                                    " non-optional without a default value while rows hold no value");
                    }
                    continue;
                }
                auto encoded = encodeValue(*np, fill, {}, error);
                if (!encoded) return false;
                Statement s = db_.prepare("UPDATE " + table + " SET " + column + " = ? WHERE " + column + " IS NULL", error);
                if (!s) return false;
                s.bind(1, *encoded);
                if (!s.run(error)) return false;
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
                if (!createRelationTable(relationTableName(entity->name(), np->name()), error)) return false;
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

}  // namespace lv::data_detail
