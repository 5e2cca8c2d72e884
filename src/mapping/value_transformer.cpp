// Block transformers, the named-transformer registry and inversion.
#include "mapping/value_transformer.h"

#include <map>
#include <mutex>

#include "platform/runtime/runtime.h"

namespace lv {

namespace {

struct NamedTransformers {
    std::mutex mutex;
    std::map<std::string, Ref<ValueTransformer>, std::less<>> byName;
};

NamedTransformers& namedTransformers() {
    static auto* registry = new NamedTransformers;  // never destroyed: lookups may run during exit
    return *registry;
}

void store(Ref<ValueTransformer> transformer, std::string_view name) {
    NamedTransformers& r = namedTransformers();
    Ref<ValueTransformer> previous;  // released after the lock
    std::lock_guard lock(r.mutex);
    auto it = r.byName.find(name);
    if (it == r.byName.end()) {
        if (transformer) r.byName.emplace(std::string(name), std::move(transformer));
        return;
    }
    previous = std::move(it->second);
    if (transformer) {
        it->second = std::move(transformer);
    } else {
        r.byName.erase(it);
    }
}

// The mapping layer's named transformers exist before anyone can look a name up or register one.
void registerPredefinedTransformers() {
    runOnce("lv.mapping.namedTransformers", [] {
        store(jm_URLValueTransformer(), JMURLValueTransformerName);
        store(jm_booleanValueTransformer(), JMBooleanValueTransformerName);
    });
}

}  // namespace

// ValueTransformer

Value ValueTransformer::reverseTransformedValue(const Value& value) const {
    return allowsReverseTransformation() ? transformedValue(value) : Value();
}

void ValueTransformer::setValueTransformer(Ref<ValueTransformer> transformer, std::string_view name) {
    registerPredefinedTransformers();
    store(std::move(transformer), name);
}

Ref<ValueTransformer> ValueTransformer::valueTransformerForName(std::string_view name) {
    registerPredefinedTransformers();
    NamedTransformers& r = namedTransformers();
    std::lock_guard lock(r.mutex);
    auto it = r.byName.find(name);
    return it == r.byName.end() ? nullptr : it->second;
}

Value JMTransformerErrorHandling::reverseTransformedValue(const Value&, bool* success, Ref<Error>*) const {
    if (success) *success = false;
    return Value();
}

// JMValueTransformer

JMValueTransformer::JMValueTransformer(JMTransformerBlock forwardBlock, JMTransformerBlock reverseBlock)
    : forwardBlock_(std::move(forwardBlock)), reverseBlock_(std::move(reverseBlock)) {}

Value JMValueTransformer::apply(const JMTransformerBlock& block, const Value& value, bool* success, Ref<Error>* error) {
    bool localSuccess = true;
    Ref<Error> localError;
    Value result = block ? block(value, &localSuccess, &localError) : Value();
    if (success) *success = localSuccess;
    if (error) *error = std::move(localError);
    return result;
}

Value JMValueTransformer::transformedValue(const Value& value) const {
    return apply(forwardBlock_, value, nullptr, nullptr);
}

Value JMValueTransformer::transformedValue(const Value& value, bool* success, Ref<Error>* error) const {
    return apply(forwardBlock_, value, success, error);
}

Ref<JMValueTransformer> JMValueTransformer::transformerUsingForwardBlock(JMTransformerBlock forwardBlock) {
    return makeRef<JMValueTransformer>(std::move(forwardBlock), nullptr);
}

Ref<JMReversibleValueTransformer> JMValueTransformer::transformerUsingReversibleBlock(JMTransformerBlock block) {
    JMTransformerBlock reverse = block;
    return transformerUsingForwardBlock(std::move(block), std::move(reverse));
}

Ref<JMReversibleValueTransformer> JMValueTransformer::transformerUsingForwardBlock(JMTransformerBlock forwardBlock,
                                                                                  JMTransformerBlock reverseBlock) {
    return makeRef<JMReversibleValueTransformer>(std::move(forwardBlock), std::move(reverseBlock));
}

JMTransformerBlock JMValueTransformer::wrap(JMSimpleTransformerBlock block) {
    return [block = std::move(block)](const Value& value, bool*, Ref<Error>*) { return block(value); };
}

Ref<JMValueTransformer> JMValueTransformer::transformerWithBlock(JMSimpleTransformerBlock block) {
    return transformerUsingForwardBlock(wrap(std::move(block)));
}

Ref<JMReversibleValueTransformer> JMValueTransformer::reversibleTransformerWithBlock(JMSimpleTransformerBlock block) {
    return transformerUsingReversibleBlock(wrap(std::move(block)));
}

Ref<JMReversibleValueTransformer> JMValueTransformer::reversibleTransformerWithForwardBlock(
    JMSimpleTransformerBlock forwardBlock, JMSimpleTransformerBlock reverseBlock) {
    return transformerUsingForwardBlock(wrap(std::move(forwardBlock)), wrap(std::move(reverseBlock)));
}

// JMReversibleValueTransformer

Value JMReversibleValueTransformer::reverseTransformedValue(const Value& value) const {
    return apply(reverseBlock(), value, nullptr, nullptr);
}

Value JMReversibleValueTransformer::reverseTransformedValue(const Value& value, bool* success, Ref<Error>* error) const {
    return apply(reverseBlock(), value, success, error);
}

Ref<JMReversibleValueTransformer> JMReversibleValueTransformer::transformerUsingForwardBlock(
    JMTransformerBlock forwardBlock) {
    return makeRef<JMReversibleValueTransformer>(std::move(forwardBlock), nullptr);
}

Ref<JMReversibleValueTransformer> JMReversibleValueTransformer::transformerWithBlock(JMSimpleTransformerBlock block) {
    return transformerUsingForwardBlock(wrap(std::move(block)));
}

// Inversion

Ref<JMReversibleValueTransformer> jm_invertedTransformer(Ref<ValueTransformer> transformer) {
    if (auto handling = std::dynamic_pointer_cast<const JMTransformerErrorHandling>(transformer)) {
        // Each block holds the transformer strongly through `handling`.
        return JMValueTransformer::transformerUsingForwardBlock(
            [handling](const Value& value, bool* success, Ref<Error>* error) {
                return handling->reverseTransformedValue(value, success, error);
            },
            [handling](const Value& value, bool* success, Ref<Error>* error) {
                return handling->transformedValue(value, success, error);
            });
    }
    return JMValueTransformer::transformerUsingForwardBlock(
        [transformer](const Value& value, bool*, Ref<Error>*) { return transformer->reverseTransformedValue(value); },
        [transformer](const Value& value, bool*, Ref<Error>*) { return transformer->transformedValue(value); });
}

}  // namespace lv
