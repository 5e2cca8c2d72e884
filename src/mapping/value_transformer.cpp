// Block transformers, the named transformers and inversion.
#include "mapping/value_transformer.h"

#include "platform/net/url.h"
#include "platform/runtime/runtime.h"

namespace lv {

void jm_registerNamedTransformers() {
    runOnce("lv.mapping.namedTransformers", [] {
        registerURLClass();  // the URL transformer makes objects of the runtime class "URL"
        ValueTransformer::setValueTransformer(jm_URLValueTransformer(), JMURLValueTransformerName);
        ValueTransformer::setValueTransformer(jm_booleanValueTransformer(), JMBooleanValueTransformerName);
    });
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
