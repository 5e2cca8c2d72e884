// Registration check of the hooks that model and adapter classes offer the mapping layer.
#include "mapping/detail/hook_rules.h"

#include <array>
#include <typeinfo>
#include <vector>

#include "mapping/json_adapter.h"

namespace lv::mapping_detail {

namespace {

struct HookRule {
    bool classSide;
    std::string_view prefix;  // the whole name when suffix is empty
    std::string_view suffix;
    std::vector<const std::type_info*> allowed;
    std::string_view expected;  // for the message
};

template <class Sig>
const std::type_info* sig() {
    return &typeid(std::function<Sig>);
}

const std::array<HookRule, 13>& rules() {
    static const auto& table = *new std::array<HookRule, 13>{{
        {true, "JSONKeyPathsByPropertyKey", "", {sig<JMKeyPathsHook>()}, "Dictionary()"},
        {true, "JSONTransformerForKey:", "",
         {sig<JMTransformerForKeyHook>(), sig<Ref<JMValueTransformer>(const std::string&)>(),
          sig<Ref<JMReversibleValueTransformer>(const std::string&)>()},
         "Ref<ValueTransformer>(const std::string&)"},
        {true, "classForParsingJSONDictionary:", "", {sig<JMClassForParsingHook>()},
         "const ClassInfo*(const Dictionary&)"},
        {true, "storageBehaviorForPropertyWithKey:", "", {sig<JMStorageBehaviorHook>()},
         "JMPropertyStorage(const ClassInfo*, const std::string&)"},
        {true, "", "JSONTransformer",
         {sig<JMKeyTransformerHook>(), sig<Ref<JMValueTransformer>()>(), sig<Ref<JMReversibleValueTransformer>()>()},
         "Ref<ValueTransformer>()"},
        {false, "validate", ":error:", {sig<ValidateHook>()}, "bool(Object&, Value&, Ref<Error>*)"},
        {false, "merge", "FromModel:", {sig<JMMergeHook>()}, "void(Object&, const Ref<JMModel>&)"},
        {true, "modelVersion", "", {sig<std::uint64_t()>()}, "std::uint64_t()"},
        {true, "encodingBehaviorsByPropertyKey", "", {sig<Dictionary(const ClassInfo*)>()}, "Dictionary(const ClassInfo*)"},
        {true, "allowedSecureCodingClassesByPropertyKey", "", {sig<JMAllowedClassesByKey(const ClassInfo*)>()},
         "JMAllowedClassesByKey(const ClassInfo*)"},
        {true, "supportsSecureCoding", "", {sig<bool()>()}, "bool()"},
        {true, "dictionaryValueFromArchivedExternalRepresentation:version:", "", {sig<Value(const Dictionary&, std::uint64_t)>()},
         "Value(const Dictionary&, std::uint64_t)"},
        {false, "decode", "WithCoder:modelVersion:", {sig<Value(Object&, Coder&, std::uint64_t)>()},
         "Value(Object&, Coder&, std::uint64_t)"},
    }};
    return table;
}

bool matches(const HookRule& rule, std::string_view name) {
    if (rule.suffix.empty()) return name == rule.prefix;
    return name.size() >= rule.prefix.size() + rule.suffix.size() && name.starts_with(rule.prefix) &&
           name.ends_with(rule.suffix);
}

void checkHooks(const ClassInfo& cls, bool classSide, const ClassInfo::HookSignatures& hooks) {
    for (const auto& [name, type] : hooks) {
        for (const HookRule& rule : rules()) {
            if (rule.classSide != classSide || !matches(rule, name)) continue;
            bool allowed = false;
            for (const std::type_info* t : rule.allowed) allowed = allowed || *t == *type;
            if (!allowed) {
                Exception::raise(std::string(kInvalidArgumentException),
                                 "hook \"" + std::string(name) + "\" of class " + cls.name() +
                                     " has an unexpected signature; expected " + std::string(rule.expected));
            }
        }
    }
}

void checkMappingClass(const ClassInfo& cls) {
    // By name: the check also runs while JMModel and JMJSONAdapter themselves register.
    if (!cls.isSubclassOf("JMModel") && !cls.isSubclassOf("JMJSONAdapter")) return;
    checkHooks(cls, true, cls.ownClassHookSignatures());
    checkHooks(cls, false, cls.ownInstanceHookSignatures());
}

}  // namespace

void installHookRules() {
    runOnce("lv.mapping.hookRules", [] { ClassRegistry::addRegistrationCheck(&checkMappingClass); });
}

}  // namespace lv::mapping_detail
