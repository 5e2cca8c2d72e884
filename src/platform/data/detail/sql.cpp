#include "platform/data/detail/sql.h"

#include <cmath>
#include <limits>

#include "platform/data/errors.h"
#include "platform/data/object_id.h"

namespace lv::data_detail {

Ref<Error> storeError(std::int64_t code, std::string message) {
    return Error::make(std::string(kCocoaErrorDomain), code,
                       Dictionary{{std::string(kLocalizedDescriptionKey), Value(std::move(message))}});
}

ColumnKind columnKind(const PropertyDescription& property) {
    if (property.isRelationship()) {
        return static_cast<const RelationshipDescription&>(property).isToMany() ? ColumnKind::ToMany : ColumnKind::ToOne;
    }
    switch (static_cast<const AttributeDescription&>(property).attributeType()) {
        case AttributeType::Integer16:
        case AttributeType::Integer32:
        case AttributeType::Integer64:
        case AttributeType::Boolean: return ColumnKind::Integer;
        case AttributeType::Double:
        case AttributeType::Float: return ColumnKind::Real;
        case AttributeType::Date: return ColumnKind::DateReal;
        case AttributeType::Decimal: return ColumnKind::Decimal;
        case AttributeType::String: return ColumnKind::Text;
        case AttributeType::Binary: return ColumnKind::Blob;
        default: return ColumnKind::Archive;
    }
}

std::string_view columnType(ColumnKind kind) {
    switch (kind) {
        case ColumnKind::Integer:
        case ColumnKind::ToOne: return "INTEGER";
        case ColumnKind::Real:
        case ColumnKind::DateReal: return "REAL";
        case ColumnKind::Decimal:
        case ColumnKind::Text: return "TEXT";
        default: return "BLOB";
    }
}

std::string quoteIdentifier(std::string_view name) {
    std::string out = "\"";
    for (char c : name) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

std::string relationTableName(std::string_view entity, std::string_view relationship) {
    return std::string(kRelationTablePrefix) + std::string(entity) + "_" + std::string(relationship);
}

Value bindingValue(const Value& v) {
    switch (v.type()) {
        case Value::Type::Number: {
            const Number& n = *v.number();
            if (n.isFloatingPoint()) return Value(n.doubleValue());
            if (n.isUnsigned() && !n.isBool() && n.unsignedLongLongValue() > static_cast<std::uint64_t>(INT64_MAX)) {
                return Value(n.doubleValue());
            }
            return Value(n.longLongValue());
        }
        case Value::Type::Decimal: return Value(v.decimal()->stringValue());
        case Value::Type::Date: return Value(v.date()->sinceReferenceDate());
        case Value::Type::String:
        case Value::Type::Data: return v;
        case Value::Type::Object:
            if (auto id = v.objectAs<ManagedObjectID>()) return Value(id->key());
            return Value();
        default: return Value();
    }
}

namespace {

using Op = Predicate::Operator;

enum class Status { Ok, Unsupported, Invalid };

struct Compiler {
    const EntityDescription& entity;
    std::vector<Value> bindings;
    std::string invalidReason;
    // How many NOTs enclose the part being compiled. Outside any NOT a row is taken only when the
    // whole condition is true, so a comparison that yields NULL for a NULL column already acts as
    // false there and needs no NOT NULL guard; under a NOT it must be false, not NULL.
    int negations = 0;

    Predicate::Operator flip(Op op) {
        switch (op) {
            case Op::LessThan: return Op::GreaterThan;
            case Op::LessThanOrEqualTo: return Op::GreaterThanOrEqualTo;
            case Op::GreaterThan: return Op::LessThan;
            case Op::GreaterThanOrEqualTo: return Op::LessThanOrEqualTo;
            default: return op;
        }
    }

    // The property a key path names, or an invalid status.
    Status property(const std::string& keyPath, Ref<PropertyDescription>& out) {
        if (keyPath.find('.') != std::string::npos) {
            invalidReason = "keypath " + keyPath + " cannot be fetched from entity " + entity.name() +
                            ": only keys of the entity itself are supported";
            return Status::Invalid;
        }
        out = entity.propertyNamed(keyPath);
        if (!out) {
            invalidReason = "keypath " + keyPath + " not found in entity " + entity.name();
            return Status::Invalid;
        }
        if (columnKind(*out) == ColumnKind::ToMany) {
            invalidReason = "to-many key " + keyPath + " not allowed here";
            return Status::Invalid;
        }
        return Status::Ok;
    }

    static const char* sqlOperator(Op op) {
        switch (op) {
            case Op::LessThan: return "<";
            case Op::LessThanOrEqualTo: return "<=";
            case Op::GreaterThan: return ">";
            case Op::GreaterThanOrEqualTo: return ">=";
            case Op::EqualTo: return "IS";
            case Op::NotEqualTo: return "IS NOT";
        }
        return "IS";
    }

    // Outcome for values of unrelated kinds: never equal, always unequal, never ordered.
    static std::string unrelated(Op op) { return op == Op::NotEqualTo ? "1" : "0"; }

    // column <op> ? with a bound value that is of the column's kind and not nil.
    std::string compareBound(const std::string& column, Op op, Value binding, bool decimal = false) {
        bindings.push_back(std::move(binding));
        const std::string lhs = decimal ? column + " COLLATE " + std::string(kDecimalCollation) : column;
        if (op == Op::EqualTo || op == Op::NotEqualTo) return lhs + " " + sqlOperator(op) + " ?";
        if (negations == 0) return lhs + " " + sqlOperator(op) + " ?";
        return "(" + column + " IS NOT NULL AND " + lhs + " " + sqlOperator(op) + " ?)";
    }

    // Integer column against a decimal, exactly: non-integral decimals compare with their floor/ceiling.
    std::string integerAgainstDecimal(const std::string& column, Op op, const Decimal& d) {
        if (d.isNaN()) return unrelated(op);
        const std::int64_t truncated = d.longLongValue();
        if (Decimal::fromInteger(truncated).compare(d) == 0) return compareBound(column, op, Value(truncated));
        if (op == Op::EqualTo || op == Op::NotEqualTo) return unrelated(op);
        // Non-integral (or beyond the 64-bit range): the nearest integers on either side.
        const bool below = Decimal::fromInteger(truncated).compare(d) < 0;  // truncated < d
        // At the 64-bit limits d lies beyond the range: the bound stays at the limit (handled below).
        std::int64_t floorValue = truncated;
        std::int64_t ceilValue = truncated;
        if (below && truncated != std::numeric_limits<std::int64_t>::max()) ceilValue = truncated + 1;
        if (!below && truncated != std::numeric_limits<std::int64_t>::min()) floorValue = truncated - 1;
        if (op == Op::LessThan || op == Op::LessThanOrEqualTo) {
            if (!below && truncated == std::numeric_limits<std::int64_t>::min()) return "0";
            return compareBound(column, Op::LessThanOrEqualTo, Value(floorValue));
        }
        if (below && truncated == std::numeric_limits<std::int64_t>::max()) return "0";
        return compareBound(column, Op::GreaterThanOrEqualTo, Value(ceilValue));
    }

    // Real column against an integer, exactly. One beyond the 64-bit signed range that no double
    // holds lies between two adjacent doubles: never equal, below the upper one, above the lower one.
    std::string realAgainstInteger(const std::string& column, Op op, const Number& n) {
        if (!n.isUnsigned() || n.unsignedLongLongValue() <= static_cast<std::uint64_t>(INT64_MAX)) {
            return compareBound(column, op, Value(n.longLongValue()));
        }
        const std::uint64_t u = n.unsignedLongLongValue();
        const double nearest = static_cast<double>(u);
        constexpr double kTwoTo64 = 18446744073709551616.0;
        const bool above = nearest >= kTwoTo64 || static_cast<std::uint64_t>(nearest) > u;
        if (nearest < kTwoTo64 && static_cast<std::uint64_t>(nearest) == u) return compareBound(column, op, Value(nearest));
        if (op == Op::EqualTo || op == Op::NotEqualTo) return unrelated(op);
        const double lower = above ? std::nextafter(nearest, 0.0) : nearest;
        const double upper = above ? nearest : std::nextafter(nearest, kTwoTo64 * 2);
        if (op == Op::LessThan || op == Op::LessThanOrEqualTo) return compareBound(column, Op::LessThanOrEqualTo, Value(lower));
        return compareBound(column, Op::GreaterThanOrEqualTo, Value(upper));
    }

    std::string propertyAgainstConstant(const PropertyDescription& property, Op op, const Value& c, Status& status) {
        const std::string column = quoteIdentifier(property.name());
        if (c.isNil()) {
            if (op == Op::EqualTo) return column + " IS NULL";
            if (op == Op::NotEqualTo) return column + " IS NOT NULL";
            return "0";
        }
        // A bound NaN would be NULL: NaN equals nothing and orders with nothing.
        if (isNotANumber(c)) return unrelated(op);
        switch (columnKind(property)) {
            case ColumnKind::Integer:
                if (c.isDecimal()) return integerAgainstDecimal(column, op, *c.decimal());
                if (c.isNumber()) {
                    const Number& n = *c.number();
                    if (n.isFloatingPoint()) {
                        const double d = n.doubleValue();
                        if (std::isinf(d)) {
                            if (op == Op::EqualTo || op == Op::NotEqualTo) return unrelated(op);
                            const bool wantLess = op == Op::LessThan || op == Op::LessThanOrEqualTo;
                            return (wantLess == (d > 0)) ? "(" + column + " IS NOT NULL)" : "0";
                        }
                    }
                    return compareBound(column, op, bindingValue(c));
                }
                return unrelated(op);
            case ColumnKind::Real:
                // An integer is bound as it is, so that SQLite compares it with the column exactly.
                if (c.isNumber() && !c.number()->isFloatingPoint()) return realAgainstInteger(column, op, *c.number());
                if (c.isNumeric()) return compareBound(column, op, Value(c.doubleValue()));
                return unrelated(op);
            case ColumnKind::DateReal:
                if (c.isDate()) return compareBound(column, op, bindingValue(c));
                return unrelated(op);
            case ColumnKind::Decimal:
                if (c.isDecimal()) return compareBound(column, op, bindingValue(c), true);
                if (c.isNumber()) return compareBound(column, op, Value(Decimal::fromNumber(*c.number()).stringValue()), true);
                return unrelated(op);
            case ColumnKind::Text:
                if (c.isString()) return compareBound(column, op, c);
                return unrelated(op);
            case ColumnKind::Blob:
                if (c.isData()) return compareBound(column, op, c);
                return unrelated(op);
            case ColumnKind::ToOne: {
                if (op != Op::EqualTo && op != Op::NotEqualTo) break;
                auto id = c.objectAs<ManagedObjectID>();
                const auto& relationship = static_cast<const RelationshipDescription&>(property);
                if (!id || id->isTemporaryID() || !id->entity() || id->entity()->name() != relationship.destinationEntityName()) {
                    return unrelated(op);
                }
                return compareBound(column, op, Value(id->key()));
            }
            default: break;
        }
        status = Status::Unsupported;
        return {};
    }

    static bool numericKind(ColumnKind k) { return k == ColumnKind::Integer || k == ColumnKind::Real; }

    std::string propertyAgainstProperty(const PropertyDescription& a, Op op, const PropertyDescription& b, Status& status) {
        const ColumnKind ka = columnKind(a);
        const ColumnKind kb = columnKind(b);
        const std::string ca = quoteIdentifier(a.name());
        const std::string cb = quoteIdentifier(b.name());
        auto simple = [&](ColumnKind k) {
            return k == ColumnKind::Integer || k == ColumnKind::Real || k == ColumnKind::DateReal ||
                   k == ColumnKind::Decimal || k == ColumnKind::Text || k == ColumnKind::Blob;
        };
        if (!simple(ka) || !simple(kb)) {
            status = Status::Unsupported;
            return {};
        }
        const bool compatible = ka == kb || (numericKind(ka) && numericKind(kb));
        if (!compatible) {
            if (ka == ColumnKind::Decimal || kb == ColumnKind::Decimal) {
                if (numericKind(ka) || numericKind(kb)) {  // decimal against integer/real: memory decides
                    status = Status::Unsupported;
                    return {};
                }
            }
            const std::string bothNil = "(" + ca + " IS NULL AND " + cb + " IS NULL)";
            if (op == Op::EqualTo) return bothNil;
            if (op == Op::NotEqualTo) return "NOT " + bothNil;
            return "0";
        }
        const std::string lhs = ka == ColumnKind::Decimal ? ca + " COLLATE " + std::string(kDecimalCollation) : ca;
        if (op == Op::EqualTo || op == Op::NotEqualTo || negations == 0) return lhs + " " + sqlOperator(op) + " " + cb;
        return "(" + ca + " IS NOT NULL AND " + cb + " IS NOT NULL AND " + lhs + " " + sqlOperator(op) + " " + cb + ")";
    }

    std::string selfAgainstConstant(Op op, const Value& c, Status& status) {
        if (op != Op::EqualTo && op != Op::NotEqualTo) {
            status = Status::Unsupported;
            return {};
        }
        auto id = c.objectAs<ManagedObjectID>();
        if (!id || id->isTemporaryID() || !id->entity() || id->entity()->name() != entity.name()) return unrelated(op);
        bindings.push_back(Value(id->key()));
        return quoteIdentifier(kKeyColumn) + (op == Op::EqualTo ? " = ?" : " != ?");
    }

    std::string comparison(const Predicate& p, Status& status) {
        const Expression* lhs = &p.leftExpression();
        const Expression* rhs = &p.rightExpression();
        Op op = p.predicateOperator();
        using K = Expression::Kind;
        if (lhs->kind() == K::Function || rhs->kind() == K::Function) {
            status = Status::Unsupported;
            return {};
        }
        if (lhs->kind() == K::Constant && rhs->kind() == K::Constant) {
            return comparePredicateValues(lhs->constantValue(), op, rhs->constantValue()) ? "1" : "0";
        }
        if (lhs->kind() == K::Constant) {
            std::swap(lhs, rhs);
            op = flip(op);
        }
        if (lhs->kind() == K::EvaluatedObject) {
            if (rhs->kind() == K::Constant) return selfAgainstConstant(op, rhs->constantValue(), status);
            if (rhs->kind() == K::EvaluatedObject) {
                return (op == Op::EqualTo || op == Op::LessThanOrEqualTo || op == Op::GreaterThanOrEqualTo) ? "1" : "0";
            }
            status = Status::Unsupported;
            return {};
        }
        Ref<PropertyDescription> a;
        if ((status = property(lhs->keyPath(), a)) != Status::Ok) return {};
        if (rhs->kind() == K::Constant) return propertyAgainstConstant(*a, op, rhs->constantValue(), status);
        if (rhs->kind() == K::KeyPath) {
            Ref<PropertyDescription> b;
            if ((status = property(rhs->keyPath(), b)) != Status::Ok) return {};
            return propertyAgainstProperty(*a, op, *b, status);
        }
        status = Status::Unsupported;
        return {};
    }

    std::string compile(const Predicate& p, Status& status) {
        status = Status::Ok;
        switch (p.kind()) {
            case Predicate::Kind::True: return "1";
            case Predicate::Kind::False: return "0";
            case Predicate::Kind::Comparison: return comparison(p, status);
            case Predicate::Kind::Not: {
                if (p.subpredicates().empty()) return "0";
                ++negations;
                std::string inner = compile(*p.subpredicates()[0], status);
                --negations;
                return status == Status::Ok ? "NOT (" + inner + ")" : std::string();
            }
            case Predicate::Kind::And:
            case Predicate::Kind::Or: {
                if (p.subpredicates().empty()) return p.kind() == Predicate::Kind::And ? "1" : "0";
                std::string out = "(";
                for (std::size_t i = 0; i < p.subpredicates().size(); ++i) {
                    std::string part = compile(*p.subpredicates()[i], status);
                    if (status != Status::Ok) return {};
                    if (i) out += p.kind() == Predicate::Kind::And ? " AND " : " OR ";
                    out += part;
                }
                return out + ")";
            }
        }
        return "1";
    }
};

// Checks every key path of the predicate (also the parts SQL leaves to memory).
bool validateKeys(const Predicate& p, const EntityDescription& entity, Ref<Error>* error) {
    Compiler c{entity, {}, {}};
    for (const auto& key : p.keyPaths()) {
        Ref<PropertyDescription> prop;
        if (c.property(key, prop) != Status::Ok) {
            setError(error, storeError(kObjectStoreError, c.invalidReason));
            return false;
        }
    }
    return true;
}

}  // namespace

bool planWhere(const Ref<Predicate>& predicate, const EntityDescription& entity, WherePlan& plan, Ref<Error>* error) {
    plan = WherePlan{};
    if (!predicate) return true;
    if (predicate->depth() > Predicate::kMaxDepth) {
        setError(error, storeError(kObjectStoreError, "the predicate nests deeper than " + std::to_string(Predicate::kMaxDepth) + " levels"));
        return false;
    }
    if (!validateKeys(*predicate, entity, error)) return false;
    std::vector<Ref<Predicate>> conjuncts;
    if (predicate->kind() == Predicate::Kind::And) conjuncts = predicate->subpredicates();
    else conjuncts.push_back(predicate);
    std::vector<Ref<Predicate>> residual;
    std::string sql;
    for (const auto& part : conjuncts) {
        Compiler c{entity, {}, {}};
        Status status;
        std::string text = c.compile(*part, status);
        if (status == Status::Invalid) {
            setError(error, storeError(kObjectStoreError, c.invalidReason));
            return false;
        }
        if (status == Status::Unsupported) {
            residual.push_back(part);
            continue;
        }
        if (!sql.empty()) sql += " AND ";
        sql += text;
        plan.bindings.insert(plan.bindings.end(), c.bindings.begin(), c.bindings.end());
    }
    plan.sql = std::move(sql);
    if (residual.size() == 1) plan.residual = residual[0];
    else if (!residual.empty()) plan.residual = Predicate::andPredicate(std::move(residual));
    return true;
}

bool planOrder(const std::vector<SortDescriptor>& descriptors, const EntityDescription& entity, std::string& orderBy,
               bool& sqlCanSort, Ref<Error>* error) {
    orderBy.clear();
    sqlCanSort = true;
    for (const auto& d : descriptors) {
        auto prop = entity.propertyNamed(d.key());
        if (!prop) {
            setError(error, storeError(kObjectStoreError, "keypath " + d.key() + " not found in entity " + entity.name()));
            return false;
        }
        const ColumnKind kind = columnKind(*prop);
        if (kind == ColumnKind::ToMany) {
            setError(error, storeError(kObjectStoreError, "to-many key " + d.key() + " cannot be a sort key"));
            return false;
        }
        if (kind == ColumnKind::Archive) sqlCanSort = false;
        if (!orderBy.empty()) orderBy += ", ";
        orderBy += quoteIdentifier(d.key());
        if (kind == ColumnKind::Decimal) orderBy += " COLLATE " + std::string(kDecimalCollation);
        orderBy += d.ascending() ? " ASC" : " DESC";
    }
    if (!orderBy.empty()) orderBy += ", ";
    orderBy += quoteIdentifier(kKeyColumn) + " ASC";
    return true;
}

}  // namespace lv::data_detail

namespace lv {

std::optional<Predicate::SQL> Predicate::sqlForEntity(const EntityDescription& entity, Ref<Error>* error) const {
    data_detail::WherePlan plan;
    // planWhere works on a Ref; wrap this predicate without taking ownership.
    Ref<Predicate> self(Ref<Predicate>(), const_cast<Predicate*>(this));
    if (!data_detail::planWhere(self, entity, plan, error)) return std::nullopt;
    if (plan.residual) {
        setError(error, data_detail::storeError(kObjectStoreError, "the predicate " + plan.residual->predicateFormat() +
                                                                    " cannot be expressed in SQL for entity " + entity.name()));
        return std::nullopt;
    }
    return SQL{plan.sql.empty() ? std::string("1") : plan.sql, std::move(plan.bindings)};
}

}  // namespace lv
