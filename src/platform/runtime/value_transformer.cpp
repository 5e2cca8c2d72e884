#include "platform/runtime/value_transformer.h"

#include <map>
#include <mutex>

namespace lv {

namespace {

struct Registry {
    std::mutex mutex;
    std::map<std::string, Ref<ValueTransformer>, std::less<>> transformers;
};

Registry& registry() {
    static Registry* r = new Registry;  // outlives every static destructor that may still look up
    return *r;
}

}  // namespace

Value ValueTransformer::reverseTransformedValue(const Value& value) const {
    return allowsReverseTransformation() ? transformedValue(value) : Value();
}

void ValueTransformer::setValueTransformer(Ref<ValueTransformer> transformer, std::string_view name) {
    Registry& r = registry();
    Ref<ValueTransformer> previous;  // released after the lock
    std::lock_guard lock(r.mutex);
    auto it = r.transformers.find(name);
    if (it == r.transformers.end()) {
        if (transformer) r.transformers.emplace(std::string(name), std::move(transformer));
        return;
    }
    previous = std::move(it->second);
    if (transformer) it->second = std::move(transformer);
    else r.transformers.erase(it);
}

Ref<ValueTransformer> ValueTransformer::valueTransformerForName(std::string_view name) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.transformers.find(name);
    return it == r.transformers.end() ? nullptr : it->second;
}

std::vector<std::string> ValueTransformer::valueTransformerNames() {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    std::vector<std::string> names;
    names.reserve(r.transformers.size());
    for (const auto& entry : r.transformers) names.push_back(entry.first);
    return names;
}

}  // namespace lv
