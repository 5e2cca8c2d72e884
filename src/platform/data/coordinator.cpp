#include "platform/data/coordinator.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <unordered_map>

#include "platform/data/detail/sql.h"
#include "platform/data/detail/store.h"

namespace lv {

using data_detail::storeError;

// ---- PersistentStore ----

PersistentStore::PersistentStore(std::string type, std::string configuration, std::filesystem::path url, Dictionary options)
    : type_(std::move(type)), configuration_(std::move(configuration)), url_(std::move(url)), options_(std::move(options)) {}

PersistentStore::~PersistentStore() = default;

Dictionary PersistentStore::metadata() const {
    return Dictionary{{std::string(kStoreUUIDKey), Value(identifier_)},
                      {std::string(kStoreTypeKey), Value(type_)},
                      {std::string(kStoreModelVersionHashesKey), Value(versionHashes_)}};
}

std::string PersistentStore::description() const {
    return "<PersistentStore: " + addressText(this) + "> (URL: " + (url_.empty() ? std::string("memory") : url_.string()) + ")";
}

const Value& RowSnapshot::value(std::string_view propertyName) const {
    static const Value& nil = *new Value;
    if (!objectID || !objectID->entity()) return nil;
    const int i = objectID->entity()->propertyIndex(propertyName);
    if (i < 0 || static_cast<std::size_t>(i) >= values.size()) return nil;
    return values[static_cast<std::size_t>(i)];
}

// ---- PersistentStoreCoordinator ----

PersistentStoreCoordinator::PersistentStoreCoordinator(Ref<ManagedObjectModel> model) : model_(std::move(model)) {
    if (!model_) model_ = makeRef<ManagedObjectModel>();
}

PersistentStoreCoordinator::~PersistentStoreCoordinator() = default;

Ref<PersistentStore> PersistentStoreCoordinator::addPersistentStore(std::string_view type, std::string_view configuration,
                                                                    const std::filesystem::path& url, const Dictionary& options,
                                                                    Ref<Error>* error) {
    std::lock_guard lock(mutex_);
    const bool inMemory = type == kInMemoryStoreType;
    if (!inMemory && type != kSQLiteStoreType) {
        setError(error, storeError(kPersistentStoreInvalidTypeError, "Unknown store type " + std::string(type)));
        return nullptr;
    }
    if (!model_->validate(error)) return nullptr;
    if (!inMemory) {
        if (url.empty()) {
            setError(error, storeError(kPersistentStoreOperationError, "A SQLite store needs a file"));
            return nullptr;
        }
        for (const auto& s : stores_) {
            if (s->URL() == url) {
                setError(error, storeError(kPersistentStoreOperationError, "The store at " + url.string() + " is already added"));
                return nullptr;
            }
        }
    }
    auto store = makeRef<PersistentStore>(std::string(type), std::string(configuration), inMemory ? std::filesystem::path() : url,
                                          options);
    store->impl_ = std::make_unique<data_detail::SQLiteStore>(model_);
    Ref<Error> openError;
    if (!store->impl_->open(inMemory ? std::string(":memory:") : url.string(), options, &openError)) {
        if (openError && !inMemory) {
            Dictionary info = openError->userInfo();
            info.set(std::string(kAffectedStoresErrorKey), Value(Array{Value(url.string())}));
            openError = Error::make(openError->domain(), openError->code(), std::move(info));
        }
        setError(error, openError);
        return nullptr;
    }
    store->identifier_ = store->impl_->identifier();
    store->versionHashes_ = store->impl_->versionHashes();
    store->coordinator_ = std::static_pointer_cast<PersistentStoreCoordinator>(shared_from_this());
    stores_.push_back(store);
    return store;
}

bool PersistentStoreCoordinator::removePersistentStore(const Ref<PersistentStore>& store, Ref<Error>* error) {
    std::lock_guard lock(mutex_);
    auto it = std::find(stores_.begin(), stores_.end(), store);
    if (it == stores_.end()) {
        setError(error, storeError(kPersistentStoreOperationError, "The store is not one of this coordinator's"));
        return false;
    }
    (*it)->impl_.reset();
    (*it)->coordinator_.reset();
    stores_.erase(it);
    return true;
}

std::vector<Ref<PersistentStore>> PersistentStoreCoordinator::persistentStores() const {
    std::lock_guard lock(mutex_);
    return stores_;
}

Ref<PersistentStore> PersistentStoreCoordinator::persistentStoreForURL(const std::filesystem::path& url) const {
    std::lock_guard lock(mutex_);
    for (const auto& s : stores_) {
        if (s->URL() == url) return s;
    }
    return nullptr;
}

Ref<PersistentStore> PersistentStoreCoordinator::persistentStoreForIdentifier(std::string_view identifier) const {
    std::lock_guard lock(mutex_);
    for (const auto& s : stores_) {
        if (s->identifier() == identifier) return s;
    }
    return nullptr;
}

std::optional<Dictionary> PersistentStoreCoordinator::metadataForPersistentStore(const std::filesystem::path& url,
                                                                                 Ref<Error>* error) {
    std::error_code missing;  // a link loop reads as missing, never as an exception
    if (!std::filesystem::exists(url, missing)) {
        setError(error, Error::make(std::string(kCocoaErrorDomain), 260,
                                    Dictionary{{std::string(kFilePathErrorKey), Value(url.string())}}));
        return std::nullopt;
    }
    data_detail::Connection db;
    if (!db.open(url.string(), error)) return std::nullopt;
    data_detail::Statement s = db.prepare(
        "SELECT key, value FROM " + data_detail::quoteIdentifier(data_detail::kMetadataTable), nullptr);
    if (!s) {
        setError(error, storeError(kPersistentStoreIncompatibleVersionHashError, "The file has no store metadata"));
        return std::nullopt;
    }
    std::map<std::string, std::string> rows;
    while (s.step() == SQLITE_ROW) rows[s.columnText(0)] = s.columnText(1);
    Dictionary metadata{{std::string(kStoreUUIDKey), Value(rows["StoreUUID"])},
                        {std::string(kStoreTypeKey), Value(std::string(kSQLiteStoreType))}};
    if (auto model = ManagedObjectModel::modelFromText(rows["ModelText"], nullptr)) {
        metadata.set(std::string(kStoreModelVersionHashesKey), Value(model->entityVersionHashesByName()));
    }
    return metadata;
}

Ref<EntityDescription> PersistentStoreCoordinator::resolveEntity(const FetchRequest& request, Ref<Error>* error) const {
    const std::string& name = request.entity() ? request.entity()->name() : request.entityName();
    Ref<EntityDescription> entity = model_->entityNamed(name);
    if (!entity) {
        setError(error, storeError(kObjectStoreError, name.empty() ? std::string("A fetch request must have an entity.")
                                                                : "The model has no entity named " + name));
    }
    return entity;
}

Ref<PersistentStore> PersistentStoreCoordinator::storeForID(const ManagedObjectID& id) const {
    for (const auto& s : stores_) {
        if (s->identifier() == id.storeIdentifier()) return s;
    }
    return nullptr;
}

namespace {

// Exact decimal addition, rounded half up to the 38 digits a Decimal holds.
Decimal addDecimals(const Decimal& a, const Decimal& b) {
    if (a.isNaN() || b.isNaN()) return Decimal::notANumber();
    if (a.isZero()) return b;
    if (b.isZero()) return a;
    const Decimal* hi = a.exponent() >= b.exponent() ? &a : &b;  // the larger exponent
    const Decimal* lo = hi == &a ? &b : &a;
    // Both mantissas stay below 2^127, so neither the scaling nor the sum overflows 128 bits.
    UInt128 mhi = hi->mantissa();
    const UInt128 limit = static_cast<UInt128>(1) << 126;
    for (int d = hi->exponent() - lo->exponent(); d > 0; --d) {
        if (mhi > limit / 10) {
            // The smaller term lies below the 38 digits of the larger one.
            return *hi;
        }
        mhi *= 10;
    }
    const UInt128 mlo = lo->mantissa();
    bool negative = hi->isNegative();
    UInt128 sum = 0;
    if (hi->isNegative() == lo->isNegative()) {
        sum = mhi + mlo;
    } else if (mhi >= mlo) {
        sum = mhi - mlo;
    } else {
        sum = mlo - mhi;
        negative = lo->isNegative();
    }
    return Decimal::withMantissa(sum, lo->exponent(), negative);  // rounded to 38 digits there
}

Value aggregate(const std::string& functionName, const std::vector<const Value*>& values) {
    std::string name = functionName;
    if (!name.empty() && name.back() == ':') name.pop_back();
    std::vector<const Value*> present;
    for (const Value* v : values) {
        if (v && !v->isNil()) present.push_back(v);
    }
    if (name == "count") return Value(static_cast<std::int64_t>(present.size()));
    if (name == "min" || name == "max") {
        const Value* best = nullptr;
        for (const Value* v : present) {
            if (!best) best = v;
            else {
                const int c = compareForSort(*v, *best);
                if ((name == "min" && c < 0) || (name == "max" && c > 0)) best = v;
            }
        }
        return best ? *best : Value();
    }
    if (name == "sum" || name == "average") {
        bool anyReal = false;
        bool anyDecimal = false;
        for (const Value* v : present) {
            if (!v->isNumeric()) return Value();
            if (v->isDecimal()) anyDecimal = true;
            else if (v->number()->isFloatingPoint()) anyReal = true;
        }
        if (present.empty()) return name == "sum" ? Value(static_cast<std::int64_t>(0)) : Value();
        Value total;
        if (anyReal) {
            double s = 0;
            for (const Value* v : present) s += v->doubleValue();
            total = Value(s);
        } else if (anyDecimal) {
            Decimal s;
            for (const Value* v : present) s = addDecimals(s, v->isDecimal() ? *v->decimal() : Decimal::fromNumber(*v->number()));
            total = Value(s);
        } else {
            // Summed in 128 bits, so nothing wraps past 64; a sum beyond them is an exact decimal.
            __extension__ typedef __int128 WideInteger;
            WideInteger s = 0;
            for (const Value* v : present) {
                const Number& n = *v->number();
                s += n.isUnsigned() ? static_cast<WideInteger>(n.unsignedLongLongValue()) : static_cast<WideInteger>(n.longLongValue());
            }
            if (s >= std::numeric_limits<std::int64_t>::min() && s <= std::numeric_limits<std::int64_t>::max()) {
                total = Value(static_cast<std::int64_t>(s));
            } else {
                total = Value(Decimal::withMantissa(static_cast<UInt128>(s < 0 ? -s : s), 0, s < 0));
            }
        }
        if (name == "sum") return total;
        return Value(total.doubleValue() / static_cast<double>(present.size()));
    }
    return Value();
}

Value convertResult(const Value& v, AttributeType type) {
    if (type == AttributeType::Undefined || v.isNil()) return v;
    if (type == AttributeType::Decimal && v.isNumber() && v.number()->isFloatingPoint()) {
        return Value(Decimal::fromDouble(v.doubleValue()));
    }
    auto converted = coerceAttributeValue(type, v);
    return converted ? *converted : v;
}

// One entry of the properties to fetch.
struct FetchColumn {
    std::string name;
    int propertyIndex = -1;
    Ref<ExpressionDescription> expression;
};

bool resolveColumns(const EntityDescription& entity, const Array& properties, std::vector<FetchColumn>& out, Ref<Error>* error) {
    if (properties.empty()) {
        for (const auto& a : entity.attributes()) out.push_back({a->name(), entity.propertyIndex(a->name()), nullptr});
        return true;
    }
    for (const Value& p : properties) {
        FetchColumn column;
        if (p.isString()) column.name = p.string();
        else if (auto prop = p.objectAs<PropertyDescription>()) column.name = prop->name();
        else if (auto expression = p.objectAs<ExpressionDescription>()) {
            column.name = expression->name();
            column.expression = expression;
            const Expression& e = expression->expression();
            std::string key;
            if (e.kind() == Expression::Kind::KeyPath) key = e.keyPath();
            else if (e.kind() == Expression::Kind::Function && e.arguments().size() == 1 &&
                     e.arguments()[0].kind() == Expression::Kind::KeyPath) {
                key = e.arguments()[0].keyPath();
            } else if (!(e.kind() == Expression::Kind::Function && e.arguments().size() == 1 &&
                         e.arguments()[0].kind() == Expression::Kind::EvaluatedObject)) {
                setError(error, storeError(kObjectStoreError, "Unsupported expression " + e.description()));
                return false;
            }
            if (!key.empty()) {
                column.propertyIndex = entity.propertyIndex(key);
                if (column.propertyIndex < 0) {
                    setError(error, storeError(kObjectStoreError, "keypath " + key + " not found in entity " + entity.name()));
                    return false;
                }
            }
            out.push_back(std::move(column));
            continue;
        } else {
            setError(error, storeError(kObjectStoreError, "Invalid property to fetch: " + p.description()));
            return false;
        }
        column.propertyIndex = entity.propertyIndex(column.name);
        if (column.propertyIndex < 0) {
            setError(error, storeError(kObjectStoreError, "keypath " + column.name + " not found in entity " + entity.name()));
            return false;
        }
        out.push_back(std::move(column));
    }
    return true;
}

const Value& rowValue(const RowSnapshot& row, int index) {
    static const Value& nil = *new Value;
    if (index < 0 || static_cast<std::size_t>(index) >= row.values.size()) return nil;
    return row.values[static_cast<std::size_t>(index)];
}

Value columnValue(const FetchColumn& column, const std::vector<const RowSnapshot*>& rows) {
    if (rows.empty()) return Value();
    if (!column.expression) return rowValue(*rows.front(), column.propertyIndex);
    const Expression& e = column.expression->expression();
    if (e.kind() == Expression::Kind::KeyPath) return convertResult(rowValue(*rows.front(), column.propertyIndex),
                                                                    column.expression->expressionResultType());
    std::vector<const Value*> values;
    values.reserve(rows.size());
    static const Value& selfMarker = *new Value(true);
    for (const RowSnapshot* r : rows) values.push_back(column.propertyIndex < 0 ? &selfMarker : &rowValue(*r, column.propertyIndex));
    return convertResult(aggregate(e.functionName(), values), column.expression->expressionResultType());
}

}  // namespace

std::optional<FetchResult> PersistentStoreCoordinator::executeFetchRequest(const FetchRequest& request, Ref<Error>* error) {
    return executeFetchRequest(request, error, RowFilter());
}

std::optional<FetchResult> PersistentStoreCoordinator::executeFetchRequest(const FetchRequest& request, Ref<Error>* error,
                                                                          const RowFilter& skip) {
    return executeFetchRequest(request, error, skip, {});
}

std::optional<FetchResult> PersistentStoreCoordinator::executeFetchRequest(const FetchRequest& request, Ref<Error>* error,
                                                                          const RowFilter& skip,
                                                                          const std::vector<const ManagedObjectID*>& skipped,
                                                                          const KnownIDs& known) {
    std::lock_guard lock(mutex_);
    Ref<EntityDescription> entity = resolveEntity(request, error);
    if (!entity) return std::nullopt;
    if (stores_.empty()) {
        setError(error, storeError(kObjectStoreError, "This coordinator has no persistent stores. It cannot perform a fetch."));
        return std::nullopt;
    }
    data_detail::WherePlan plan;
    if (!data_detail::planWhere(request.predicate(), *entity, plan, error)) return std::nullopt;
    std::string orderBy;
    bool sqlCanSort = true;
    if (!data_detail::planOrder(request.sortDescriptors(), *entity, orderBy, sqlCanSort, error)) return std::nullopt;

    const FetchRequestResultType type = request.resultType();
    FetchResult result;
    const std::size_t limit = request.fetchLimit();
    const std::size_t offset = request.fetchOffset();
    auto window = [&](std::size_t n) {
        const std::size_t afterOffset = n > offset ? n - offset : 0;
        return limit > 0 ? std::min(limit, afterOffset) : afterOffset;
    };

    if (type == FetchRequestResultType::Count && !plan.residual && stores_.size() == 1 && !skip) {
        auto n = stores_[0]->impl_->countRows(*entity, plan, error);
        if (!n) return std::nullopt;
        result.count = window(*n);
        return result;
    }

    std::vector<FetchColumn> columns;
    bool grouped = false;
    if (type == FetchRequestResultType::Dictionary) {
        if (!resolveColumns(*entity, request.propertiesToFetch(), columns, error)) return std::nullopt;
        bool aggregates = false;
        for (const auto& c : columns) aggregates = aggregates || (c.expression && c.expression->expression().kind() == Expression::Kind::Function);
        grouped = aggregates || !request.propertiesToGroupBy().empty() || request.returnsDistinctResults();
    }
    const bool needValues = (type == FetchRequestResultType::ManagedObject && request.includesPropertyValues()) ||
                            type == FetchRequestResultType::Dictionary || !sqlCanSort;
    // Rows left out by skip must not count towards a window, so the window then applies here.
    const bool memoryWindow = plan.residual || !sqlCanSort || stores_.size() > 1 || grouped || skip;
    std::vector<RowSnapshot> rows;
    for (const auto& store : stores_) {
        std::vector<std::pair<std::int64_t, std::int64_t>> runs;
        if (skip) runs = store->impl_->keyRuns(*entity, skipped);
        if (!store->impl_->fetchRows(entity, plan, orderBy, memoryWindow ? 0 : limit, memoryWindow ? 0 : offset, needValues, rows,
                                     error, skip ? &skip : nullptr, runs, known ? &known : nullptr)) {
            return std::nullopt;
        }
    }
    if (!sqlCanSort || stores_.size() > 1) {
        const auto& descriptors = request.sortDescriptors();
        std::stable_sort(rows.begin(), rows.end(), [&](const RowSnapshot& a, const RowSnapshot& b) {
            for (const auto& d : descriptors) {
                const int i = entity->propertyIndex(d.key());
                if (int c = d.compare(rowValue(a, i), rowValue(b, i))) return c < 0;
            }
            return a.objectID->key() < b.objectID->key();
        });
    }
    auto applyWindow = [&](auto& items) {
        if (!memoryWindow) return;
        const std::size_t begin = std::min(offset, items.size());
        const std::size_t end = limit > 0 ? std::min(items.size(), begin + limit) : items.size();
        items.erase(items.begin() + static_cast<std::ptrdiff_t>(end), items.end());
        items.erase(items.begin(), items.begin() + static_cast<std::ptrdiff_t>(begin));
    };

    if (type != FetchRequestResultType::Dictionary) {
        applyWindow(rows);
        result.count = rows.size();
        if (type == FetchRequestResultType::Count) return result;
        if (type == FetchRequestResultType::ManagedObjectID || !request.includesPropertyValues()) {
            for (auto& r : rows) r.values.clear();
        }
        result.rows = std::move(rows);
        return result;
    }

    // Dictionaries: one per row, or one per group (of the group-by values, or of all columns when only
    // distinct results are asked for), or a single one of the aggregates.
    std::vector<int> groupIndexes;
    for (const Value& g : request.propertiesToGroupBy()) {
        std::string name = g.isString() ? g.string() : (g.objectAs<PropertyDescription>() ? g.objectAs<PropertyDescription>()->name() : "");
        const int i = entity->propertyIndex(name);
        if (i < 0) {
            setError(error, storeError(kObjectStoreError, "keypath " + name + " not found in entity " + entity->name()));
            return std::nullopt;
        }
        groupIndexes.push_back(i);
    }
    std::vector<std::vector<const RowSnapshot*>> groups;
    if (!grouped) {
        for (const auto& r : rows) groups.push_back({&r});
    } else {
        const bool anyAggregate = std::any_of(columns.begin(), columns.end(), [](const FetchColumn& c) {
            return c.expression && c.expression->expression().kind() == Expression::Kind::Function;
        });
        if (groupIndexes.empty() && !anyAggregate) {  // distinct rows of the fetched columns
            for (const auto& c : columns) groupIndexes.push_back(c.propertyIndex);
        }
        if (groupIndexes.empty()) {
            groups.emplace_back();
            for (const auto& r : rows) groups.back().push_back(&r);
        } else {
            std::unordered_map<Value, std::size_t> positions;  // the group-by values as an array → group
            for (const auto& r : rows) {
                Array key;
                for (int i : groupIndexes) key.push_back(rowValue(r, i).isNil() ? Value::null() : rowValue(r, i));
                auto [it, inserted] = positions.emplace(Value(std::move(key)), groups.size());
                if (inserted) groups.emplace_back();
                groups[it->second].push_back(&r);
            }
        }
    }
    for (const auto& group : groups) {
        Dictionary d;
        for (const auto& c : columns) d.set(c.name, columnValue(c, group));
        result.dictionaries.push_back(Value(std::move(d)));
    }
    if (grouped) {
        // The window applies to the dictionaries.
        const std::size_t begin = std::min(offset, result.dictionaries.size());
        const std::size_t end = limit > 0 ? std::min(result.dictionaries.size(), begin + limit) : result.dictionaries.size();
        result.dictionaries = Array(result.dictionaries.begin() + static_cast<std::ptrdiff_t>(begin),
                                    result.dictionaries.begin() + static_cast<std::ptrdiff_t>(end));
    } else {
        applyWindow(result.dictionaries);
    }
    result.count = result.dictionaries.size();
    return result;
}

std::optional<std::size_t> PersistentStoreCoordinator::countForFetchRequest(const FetchRequest& request, Ref<Error>* error) {
    auto counting = request.copy();
    if (request.resultType() != FetchRequestResultType::Dictionary) counting->setResultType(FetchRequestResultType::Count);
    auto result = executeFetchRequest(*counting, error);
    if (!result) return std::nullopt;
    return result->count;
}

std::optional<std::vector<RowSnapshot>> PersistentStoreCoordinator::rowsForObjectIDs(const std::vector<Ref<ManagedObjectID>>& ids,
                                                                                     Ref<Error>* error) {
    std::lock_guard lock(mutex_);
    std::vector<RowSnapshot> out;
    if (ids.size() < 2) {
        for (const auto& id : ids) {
            if (!id || id->isTemporaryID()) continue;
            auto store = storeForID(*id);
            auto entity = id->entity() ? model_->entityNamed(id->entity()->name()) : nullptr;
            if (!store || !entity) continue;
            std::optional<RowSnapshot> row;
            if (!store->impl_->rowForKey(entity, id->key(), row, error)) return std::nullopt;
            if (row) out.push_back(std::move(*row));
        }
        return out;
    }
    // Several: the keys of each store and entity are read in a few statements, not one each, and the
    // rows then put in the order asked (a key asked twice gets its row twice, as reading each would).
    struct Group {
        Ref<PersistentStore> store;
        Ref<EntityDescription> entity;
        std::vector<std::int64_t> keys;
        std::unordered_map<std::int64_t, std::pair<RowSnapshot, std::size_t>> rows;  // row, its place in out once put
    };
    std::vector<Group> groups;
    std::vector<std::pair<std::size_t, std::int64_t>> asked;  // (group, key) per ID that names a row
    asked.reserve(ids.size());
    for (const auto& id : ids) {
        if (!id || id->isTemporaryID()) continue;
        auto store = storeForID(*id);
        auto entity = id->entity() ? model_->entityNamed(id->entity()->name()) : nullptr;
        if (!store || !entity) continue;
        auto group = std::find_if(groups.begin(), groups.end(),
                                  [&](const Group& g) { return g.store == store && g.entity == entity; });
        if (group == groups.end()) group = groups.insert(groups.end(), Group{store, entity, {}, {}});
        group->keys.push_back(id->key());
        asked.emplace_back(static_cast<std::size_t>(group - groups.begin()), id->key());
    }
    constexpr std::size_t kNotPut = static_cast<std::size_t>(-1);
    for (Group& group : groups) {
        std::vector<RowSnapshot> rows;
        rows.reserve(group.keys.size());
        if (!group.store->impl_->rowsForKeys(group.entity, group.keys, rows, error)) return std::nullopt;
        group.rows.reserve(rows.size());
        for (RowSnapshot& row : rows) {
            const std::int64_t key = row.objectID->key();
            group.rows.try_emplace(key, std::move(row), kNotPut);
        }
    }
    out.reserve(asked.size());
    for (const auto& [index, key] : asked) {
        auto found = groups[index].rows.find(key);
        if (found == groups[index].rows.end()) continue;
        auto& [row, place] = found->second;
        if (place == kNotPut) {
            place = out.size();
            out.push_back(std::move(row));
        } else {
            out.push_back(out[place]);
        }
    }
    return out;
}

std::optional<std::vector<Ref<ManagedObjectID>>> PersistentStoreCoordinator::relatedObjectIDs(const Ref<ManagedObjectID>& id,
                                                                                              std::string_view relationship,
                                                                                              Ref<Error>* error) {
    std::lock_guard lock(mutex_);
    auto entity = id && id->entity() ? model_->entityNamed(id->entity()->name()) : nullptr;
    auto r = entity ? entity->relationshipNamed(relationship) : nullptr;
    if (!r || !r->isToMany()) {
        setError(error, storeError(kObjectStoreError, "No to-many relationship " + std::string(relationship)));
        return std::nullopt;
    }
    auto destination = r->destinationEntity();
    auto store = id->isTemporaryID() ? nullptr : storeForID(*id);
    if (!store || !destination) return std::vector<Ref<ManagedObjectID>>{};
    auto keys = store->impl_->relatedKeys(*entity, *r, id->key(), error);
    if (!keys) return std::nullopt;
    std::vector<Ref<ManagedObjectID>> out;
    for (std::int64_t k : *keys) out.push_back(ManagedObjectID::makePermanent(destination, store->identifier(), k));
    return out;
}

std::optional<std::vector<Ref<ManagedObjectID>>> PersistentStoreCoordinator::obtainPermanentIDs(const Ref<EntityDescription>& entity,
                                                                                                std::size_t count,
                                                                                                Ref<Error>* error,
                                                                                                const Ref<PersistentStore>& store) {
    std::lock_guard lock(mutex_);
    auto own = entity ? model_->entityNamed(entity->name()) : nullptr;
    if (!own) {
        setError(error, storeError(kObjectStoreError, "The model has no entity named " + (entity ? entity->name() : std::string())));
        return std::nullopt;
    }
    Ref<PersistentStore> target = store ? store : (stores_.empty() ? nullptr : stores_.front());
    if (!target || !target->impl_) {
        setError(error, storeError(kObjectStoreError, "This coordinator has no persistent stores. It cannot give out object IDs."));
        return std::nullopt;
    }
    if (count == 0) return std::vector<Ref<ManagedObjectID>>{};
    auto first = target->impl_->allocateKeys(*own, count, error);
    if (!first) return std::nullopt;
    return ManagedObjectID::makePermanentRange(own, target->identifier(), *first, count);
}

bool PersistentStoreCoordinator::saveChanges(const ChangeSet& changes, SaveResult* result, Ref<Error>* error) {
    std::lock_guard lock(mutex_);
    if (changes.empty()) return true;
    if (stores_.empty()) {
        setError(error, storeError(kPersistentStoreSaveError, "This coordinator has no persistent stores. It cannot perform a save."));
        return false;
    }
    struct Part {
        std::vector<data_detail::SQLiteStore::PendingInsert> inserts;
        std::vector<const ChangeSet::Update*> updates;
        std::vector<const ChangeSet::Delete*> deletes;
    };
    std::map<PersistentStore*, Part> parts;
    // The store of a permanent ID and its part. Runs of IDs share one identifier text, so the last
    // answer is kept for as long as the text is the same one.
    const std::string* lastIdentifier = nullptr;
    PersistentStore* lastStore = nullptr;
    Part* lastPart = nullptr;
    auto partFor = [&](const ManagedObjectID& id) -> Part* {
        const std::string& identifier = id.storeIdentifier();
        if (&identifier != lastIdentifier) {
            auto store = storeForID(id);
            lastIdentifier = &identifier;
            lastStore = store.get();
            lastPart = store ? &parts[store.get()] : nullptr;
        }
        return lastPart;
    };
    auto unknown = [&](const Ref<ManagedObjectID>& id) {
        setError(error, storeError(kPersistentStoreSaveError, "The object ID " + (id ? id->description() : std::string("(null)")) +
                                                                  " does not belong to a store of this coordinator"));
        return false;
    };
    // This model's entity of an ID (property indexes must match); the last answer is kept, since
    // a change set holds long runs of one entity.
    const EntityDescription* lastAsked = nullptr;
    Ref<EntityDescription> lastOwn;
    const Ref<EntityDescription> none;
    // A reference to the kept answer: no count change per record.
    auto ownEntity = [&](const Ref<ManagedObjectID>& id) -> const Ref<EntityDescription>& {
        if (!id || !id->entity()) return none;
        if (id->entity().get() != lastAsked) {
            lastAsked = id->entity().get();
            lastOwn = model_->entityNamed(id->entity()->name());
        }
        return lastOwn;
    };
    // Relationship values may name new records by their temporary IDs: those need the map from
    // temporary to permanent IDs.
    const bool anyRelationships = std::any_of(model_->entities().begin(), model_->entities().end(),
                                              [](const Ref<EntityDescription>& e) { return !e->relationships().empty(); });
    // Keys for temporary IDs, per entity, from the first store.
    std::unordered_map<const ManagedObjectID*, Ref<ManagedObjectID>> temporaryIDs;
    std::vector<std::pair<Ref<EntityDescription>, std::vector<const ChangeSet::Insert*>>> temporaryByEntity;
    for (const auto& insert : changes.inserts) {
        const Ref<EntityDescription>& entity = ownEntity(insert.objectID);
        if (!entity) return unknown(insert.objectID);
        if (insert.objectID->isTemporaryID()) {
            if (temporaryByEntity.empty() || temporaryByEntity.back().first != entity) {
                auto it = std::find_if(temporaryByEntity.begin(), temporaryByEntity.end(), [&](const auto& g) { return g.first == entity; });
                if (it == temporaryByEntity.end()) {
                    temporaryByEntity.emplace_back(entity, std::vector<const ChangeSet::Insert*>{});
                    // Change sets are mostly runs of one entity: room for the rest of them at once.
                    temporaryByEntity.back().second.reserve(static_cast<std::size_t>(changes.inserts.data() + changes.inserts.size() - &insert));
                } else {
                    std::rotate(it, it + 1, temporaryByEntity.end());  // keep the order of first appearance stable enough
                }
            }
            temporaryByEntity.back().second.push_back(&insert);
            continue;
        }
        Part* part = partFor(*insert.objectID);
        if (!part) return unknown(insert.objectID);
        part->inserts.push_back({&insert, insert.objectID->entity() == entity
                                              ? insert.objectID
                                              : ManagedObjectID::makePermanent(entity, lastStore->identifier(), insert.objectID->key())});
    }
    // Keys for new records are taken in the first store's save transaction: a failed save gives
    // them back, and the save pays for one commit only.
    data_detail::Connection* keyConnection = nullptr;
    if (!temporaryByEntity.empty()) {
        keyConnection = &stores_.front()->impl_->connection();
        Ref<Error> beginError;
        if (!keyConnection->begin(&beginError)) {
            setError(error, data_detail::saveFailure(beginError));
            return false;
        }
    }
    struct RollbackUnlessDone {
        data_detail::Connection* connection;
        ~RollbackUnlessDone() {
            if (connection && connection->inTransaction()) connection->rollback();
        }
    } rollbackUnlessDone{keyConnection};
    for (const auto& [entity, inserts] : temporaryByEntity) {
        Ref<Error> keyError;
        auto ids = obtainPermanentIDs(entity, inserts.size(), &keyError);
        if (!ids) {
            setError(error, data_detail::saveFailure(keyError));
            return false;
        }
        auto& part = parts[stores_.front().get()];
        part.inserts.reserve(part.inserts.size() + inserts.size());
        if (anyRelationships) temporaryIDs.reserve(temporaryIDs.size() + inserts.size());
        for (std::size_t i = 0; i < inserts.size(); ++i) {
            if (anyRelationships) temporaryIDs.emplace(inserts[i]->objectID.get(), (*ids)[i]);
            part.inserts.push_back({inserts[i], std::move((*ids)[i])});
        }
    }
    for (const auto& update : changes.updates) {
        Part* part = update.objectID && !update.objectID->isTemporaryID() ? partFor(*update.objectID) : nullptr;
        if (!part || !ownEntity(update.objectID)) return unknown(update.objectID);
        part->updates.push_back(&update);
    }
    for (const auto& del : changes.deletes) {
        Part* part = del.objectID && !del.objectID->isTemporaryID() ? partFor(*del.objectID) : nullptr;
        if (!part || !ownEntity(del.objectID)) return unknown(del.objectID);
        part->deletes.push_back(&del);
    }
    for (auto& [store, part] : parts) {
        if (!store->impl_->save(part.inserts, part.updates, part.deletes, temporaryIDs, result, error)) return false;
    }
    return true;
}

bool PersistentStoreCoordinator::beginWriting(Ref<Error>* error) {
    std::lock_guard lock(mutex_);
    if (writing_++ > 0) return true;
    for (std::size_t i = 0; i < stores_.size(); ++i) {
        if (!stores_[i]->impl_) continue;
        Ref<Error> holdError;
        if (!stores_[i]->impl_->connection().hold(&holdError)) {
            for (std::size_t j = 0; j < i; ++j) {
                if (stores_[j]->impl_) stores_[j]->impl_->connection().abandon();
            }
            writing_ = 0;
            setError(error, data_detail::saveFailure(holdError));
            return false;
        }
    }
    return true;
}

bool PersistentStoreCoordinator::endWriting(Ref<Error>* error) {
    std::lock_guard lock(mutex_);
    if (writing_ == 0 || --writing_ > 0) return true;
    bool ok = true;
    for (const auto& store : stores_) {
        if (!store->impl_) continue;
        Ref<Error> releaseError;
        if (!store->impl_->connection().release(&releaseError) && ok) {
            ok = false;
            setError(error, data_detail::saveFailure(releaseError));
        }
    }
    return ok;
}

void PersistentStoreCoordinator::cancelWriting() {
    std::lock_guard lock(mutex_);
    if (writing_ == 0 || --writing_ > 0) return;
    for (const auto& store : stores_) {
        if (store->impl_) store->impl_->connection().abandon();
    }
}

void PersistentStoreCoordinator::performBlockAndWait(const std::function<void()>& block) {
    std::lock_guard lock(mutex_);
    if (block) block();
}

std::string PersistentStoreCoordinator::description() const {
    return "<PersistentStoreCoordinator: " + addressText(this) + ">";
}

}  // namespace lv
