// Shorthand methods: once enabled, the classes of the store layer answer class-side names without the
// "RS_" prefix ("findAll" runs "RS_findAll"), by resolvers installed in the runtime that alias the
// prefixed hook under the name asked for.
#include <atomic>

#include "platform/data/managed_object.h"
#include "platform/runtime/runtime.h"
#include "store/import.h"
#include "store/record_stack.h"
#include "store/records.h"

namespace lv {

namespace {

constexpr std::string_view kPrefix = "RS_";
constexpr std::string_view kResolveClassName = "RS_resolveClassMethod:";
constexpr std::string_view kResolveInstanceName = "RS_resolveInstanceMethod:";
using ResolverSig = bool(const ClassInfo&, std::string_view);

// The class's previous resolver, kept as the class hook of that name, asked first.
bool previousResolved(const ClassInfo& receiver, std::string_view keptName, std::string_view name) {
    const std::any* kept = hookWithoutResolving(&receiver, HookSide::Class, keptName);
    const auto* fn = kept ? std::any_cast<std::function<ResolverSig>>(kept) : nullptr;
    return fn && *fn && (*fn)(receiver, name);
}

// Adds the "RS_" hook's implementation under the name; whether the add succeeded.
bool aliasPrefixed(const ClassInfo& receiver, HookSide side, std::string_view name) {
    const std::string prefixed = std::string(kPrefix) + std::string(name);
    const std::any* implementation = hookWithoutResolving(&receiver, side, prefixed);
    if (!implementation) return false;
    return addHook(&receiver, side, std::string(name), *implementation);
}

// Puts the store layer's resolver in the class's place, keeping the current one under keptName.
void exchangeResolver(const ClassInfo* cls, HookSide side, std::string_view keptName, MethodResolver replacement) {
    MethodResolver current = methodResolver(cls, side);
    std::function<ResolverSig> kept = current ? std::function<ResolverSig>(current)
                                              : std::function<ResolverSig>([](const ClassInfo&, std::string_view) { return false; });
    if (!addHook(cls, HookSide::Class, std::string(keptName), std::any(std::move(kept)))) return;
    setMethodResolver(cls, side, std::move(replacement));
}

}  // namespace

std::vector<std::string> RecordStack::classesToSwizzle() {
    return {"ManagedObject", "ManagedObjectContext", "ManagedObjectModel", "PersistentStore", "PersistentStoreCoordinator"};
}

Array RecordStack::methodNameBlacklist() { return Array{Value("entityName")}; }

bool RecordStack::RS_resolveClassMethod(const ClassInfo& receiver, std::string_view name) {
    if (previousResolved(receiver, kResolveClassName, name)) return true;
    if (name.starts_with(kPrefix) || name.ends_with("entityName")) return false;
    return aliasPrefixed(receiver, HookSide::Class, name);
}

bool RecordStack::RS_resolveInstanceMethod(const ClassInfo& receiver, std::string_view name) {
    if (previousResolved(receiver, kResolveInstanceName, name)) return true;
    if (name.starts_with(kPrefix) || !(name.starts_with("_") || name.starts_with("init"))) return false;
    return aliasPrefixed(receiver, HookSide::Instance, name);
}

void RecordStack::updateResolveMethodsForClass(const ClassInfo* cls) {
    if (!cls) return;
    exchangeResolver(cls, HookSide::Class, kResolveClassName, &RecordStack::RS_resolveClassMethod);
    exchangeResolver(cls, HookSide::Instance, kResolveInstanceName, &RecordStack::RS_resolveInstanceMethod);
}

void RecordStack::enableShorthandMethods() {
    static std::atomic<bool> done{false};
    if (done.exchange(true)) return;
    RS_registerRecordClassHooks();
    for (const std::string& name : classesToSwizzle()) {
        updateResolveMethodsForClass(classNamed(name));  // classes the runtime does not know take no part
    }
}

// ---- the record classes' class-side operations as named hooks ----

namespace {

RecordEntity entityOf(const ClassInfo& cls) { return RecordEntity(cls.name()); }

Value arrayOrNil(const std::optional<Array>& records) { return records ? Value(*records) : Value(); }

template <class Sig>
void addClassHook(const ClassInfo* cls, const char* name, std::function<Sig> fn) {
    addHook(cls, HookSide::Class, name, std::any(std::move(fn)));
}

}  // namespace

void RS_registerRecordClassHooks() {
    runOnce("lv.store.recordClassHooks", [] {
        const ClassInfo* cls = ManagedObject::runtimeClass();
        using Plain = Value(const ClassInfo&);
        using ByAttribute = Value(const ClassInfo&, const std::string&, const Value&);
        addClassHook<Plain>(cls, "RS_entityName", [](const ClassInfo& c) { return Value(entityOf(c).RS_entityName()); });
        addClassHook<Plain>(cls, "RS_findAll",
                            [](const ClassInfo& c) { return arrayOrNil(entityOf(c).RS_findAllInContext(RS_contextForCurrentThread())); });
        addClassHook<Plain>(cls, "RS_findFirst",
                            [](const ClassInfo& c) { return Value(entityOf(c).RS_findFirstInContext(RS_contextForCurrentThread())); });
        addClassHook<ByAttribute>(cls, "RS_findFirstByAttribute:withValue:", [](const ClassInfo& c, const std::string& a, const Value& v) {
            return Value(entityOf(c).RS_findFirstByAttribute(a, v, RS_contextForCurrentThread()));
        });
        addClassHook<ByAttribute>(cls, "RS_findByAttribute:withValue:", [](const ClassInfo& c, const std::string& a, const Value& v) {
            return arrayOrNil(entityOf(c).RS_findByAttribute(a, v, RS_contextForCurrentThread()));
        });
        addClassHook<Plain>(cls, "RS_createEntity",
                            [](const ClassInfo& c) { return Value(entityOf(c).RS_createEntityInContext(RS_contextForCurrentThread())); });
        addClassHook<Plain>(cls, "RS_countOfEntities", [](const ClassInfo& c) {
            return Value(static_cast<std::uint64_t>(entityOf(c).RS_countOfEntitiesWithContext(RS_contextForCurrentThread())));
        });
        addClassHook<bool(const ClassInfo&)>(cls, "RS_truncateAll",
                                             [](const ClassInfo& c) { return entityOf(c).RS_truncateAllInContext(RS_contextForCurrentThread()); });
        addClassHook<Value(const ClassInfo&, const Value&)>(cls, "RS_importFromObject:", [](const ClassInfo& c, const Value& data) {
            return Value(RS_importFromObject(entityOf(c), data, RS_contextForCurrentThread()));
        });
        addClassHook<Value(const ClassInfo&, const Array&)>(cls, "RS_importFromArray:", [](const ClassInfo& c, const Array& data) {
            return Value(RS_importFromArray(entityOf(c), data, RS_contextForCurrentThread()));
        });
        addHook(cls, HookSide::Instance, "RS_deleteEntity", std::any(std::function<bool(Object&)>([](Object& record) {
                    auto* managed = dynamic_cast<ManagedObject*>(&record);
                    return managed && RS_deleteEntity(std::static_pointer_cast<ManagedObject>(managed->shared_from_this()));
                })));
    });
}

}  // namespace lv
