// Value transformers: objects that convert one property's value between its JSON form and its model
// form. ValueTransformer (platform/runtime) is the general base with the registry of named transformers;
// JMValueTransformer and JMReversibleValueTransformer are built from blocks that report failure through
// a success flag and an error slot (the JMTransformerErrorHandling interface).
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mapping/errors.h"
#include "platform/base/object.h"
#include "platform/base/value.h"
#include "platform/runtime/value_transformer.h"

namespace lv {

class ClassInfo;

// Names under which the URL and boolean transformers are registered before any lookup.
inline constexpr std::string_view JMURLValueTransformerName = "JMURLValueTransformerName";
inline constexpr std::string_view JMBooleanValueTransformerName = "JMBooleanValueTransformerName";

// Registers the URL and boolean transformers under their names, once. Every program that links
// lv_mapping through CMake runs it when it loads (load_named_transformers.cpp); the adapter also calls
// it before its own lookups, for programs linked otherwise.
void jm_registerNamedTransformers();

// Transformers that report failure: nil result, *success = false and an error in the slot. The
// reverse form is optional: respondsToReverseTransformedValue tells whether the transformer has it.
class JMTransformerErrorHandling {
public:
    virtual ~JMTransformerErrorHandling() = default;
    virtual Value transformedValue(const Value& value, bool* success, Ref<Error>* error) const = 0;
    // Without a reverse form this fails softly: nil with *success = false and no error.
    virtual Value reverseTransformedValue(const Value& value, bool* success, Ref<Error>* error) const;
    virtual bool respondsToReverseTransformedValue() const { return false; }
};

// A transformer block: the value (nil allowed), a flag the caller set to true (the block sets it to
// false to report failure) and an error slot the caller set to nil (the block may store an error).
using JMTransformerBlock = std::function<Value(const Value& value, bool* success, Ref<Error>* error)>;
// A block of the older constructors: value in, result out; it never fails.
using JMSimpleTransformerBlock = std::function<Value(const Value& value)>;

class JMReversibleValueTransformer;

// A forward-only transformer made of a forward block (the reverse block is kept but not used).
class JMValueTransformer : public ValueTransformer, public JMTransformerErrorHandling {
public:
    // initWithForwardBlock:reverseBlock: (the reverse block may be empty).
    JMValueTransformer(JMTransformerBlock forwardBlock, JMTransformerBlock reverseBlock);

    // The forward block's result; its flag and error are dropped.
    Value transformedValue(const Value& value) const override;
    // The forward block's result; the flag and the error (nil unless the block stored one) are passed
    // out through the non-null pointers.
    Value transformedValue(const Value& value, bool* success, Ref<Error>* error) const override;
    Value reverseTransformedValue(const Value& value) const override { return ValueTransformer::reverseTransformedValue(value); }
    Value reverseTransformedValue(const Value& value, bool* success, Ref<Error>* error) const override {
        return JMTransformerErrorHandling::reverseTransformedValue(value, success, error);
    }

    const JMTransformerBlock& forwardBlock() const { return forwardBlock_; }
    const JMTransformerBlock& reverseBlock() const { return reverseBlock_; }

    // A new forward-only transformer (of the receiving class) with the block.
    static Ref<JMValueTransformer> transformerUsingForwardBlock(JMTransformerBlock forwardBlock);
    // A new reversible transformer with the same block both ways.
    static Ref<JMReversibleValueTransformer> transformerUsingReversibleBlock(JMTransformerBlock block);
    // A new reversible transformer with both blocks, whichever class is asked.
    static Ref<JMReversibleValueTransformer> transformerUsingForwardBlock(JMTransformerBlock forwardBlock,
                                                                         JMTransformerBlock reverseBlock);

    // Older constructors over blocks that never fail.
    static Ref<JMValueTransformer> transformerWithBlock(JMSimpleTransformerBlock block);
    static Ref<JMReversibleValueTransformer> reversibleTransformerWithBlock(JMSimpleTransformerBlock block);
    static Ref<JMReversibleValueTransformer> reversibleTransformerWithForwardBlock(JMSimpleTransformerBlock forwardBlock,
                                                                                  JMSimpleTransformerBlock reverseBlock);

protected:
    static JMTransformerBlock wrap(JMSimpleTransformerBlock block);
    static Value apply(const JMTransformerBlock& block, const Value& value, bool* success, Ref<Error>* error);

private:
    JMTransformerBlock forwardBlock_;
    JMTransformerBlock reverseBlock_;
};

// A transformer made of a forward and a reverse block; runs both ways.
class JMReversibleValueTransformer : public JMValueTransformer {
public:
    JMReversibleValueTransformer(JMTransformerBlock forwardBlock, JMTransformerBlock reverseBlock)
        : JMValueTransformer(std::move(forwardBlock), std::move(reverseBlock)) {}

    bool allowsReverseTransformation() const override { return true; }
    Value reverseTransformedValue(const Value& value) const override;
    Value reverseTransformedValue(const Value& value, bool* success, Ref<Error>* error) const override;
    bool respondsToReverseTransformedValue() const override { return true; }

    // The class-side constructors that make "an instance of the receiving class".
    using JMValueTransformer::transformerUsingForwardBlock;
    static Ref<JMReversibleValueTransformer> transformerUsingForwardBlock(JMTransformerBlock forwardBlock);
    using JMValueTransformer::transformerWithBlock;
    static Ref<JMReversibleValueTransformer> transformerWithBlock(JMSimpleTransformerBlock block);
};

// ---- Predefined transformers ----

// Applies the element transformer to every element of an array: null elements stay null, nil results
// are left out, a failing element fails the whole array (with its index and error). Reversible when
// the element transformer is.
Ref<JMValueTransformer> jm_arrayMappingTransformerWithTransformer(Ref<ValueTransformer> transformer);
// Forward-only: lets nil and instances of the class (or a subclass) through; anything else fails.
Ref<JMValueTransformer> jm_validatingTransformerForClass(const ClassInfo* cls);

// Ordered key/value pairs of a value mapping; keys may be any value (null included).
using JMValueMap = std::vector<std::pair<Value, Value>>;
// Forward: the value under the input (under null for nil), else defaultValue. Reverse: the key of the
// first pair whose value equals the input, else reverseDefaultValue. Never fails.
Ref<JMReversibleValueTransformer> jm_valueMappingTransformerWithDictionary(JMValueMap map, Value defaultValue = {},
                                                                          Value reverseDefaultValue = {});
Ref<JMReversibleValueTransformer> jm_valueMappingTransformerWithDictionary(const Dictionary& map,
                                                                          Value defaultValue = {},
                                                                          Value reverseDefaultValue = {});
// The adapter's nested-model transformers (JMJSONAdapter::dictionaryTransformerWithModelClass and
// arrayTransformerWithModelClass).
Ref<JMReversibleValueTransformer> jm_JSONDictionaryTransformerWithModelClass(const ClassInfo* modelClass);
Ref<JMReversibleValueTransformer> jm_JSONArrayTransformerWithModelClass(const ClassInfo* modelClass);

// A reversible transformer running the given one backwards; failures pass through unchanged. An
// error-handling transformer without a reverse form fails softly in the new forward direction.
Ref<JMReversibleValueTransformer> jm_invertedTransformer(Ref<ValueTransformer> transformer);

// The URL transformer and the boolean transformer, as registered under their names. URLs are objects
// of the runtime class "URL", made by its class hook "URLWithString:" (signature
// Value(const std::string&), nil for malformed text) and read back through the key "absoluteString".
Ref<JMReversibleValueTransformer> jm_URLValueTransformer();
Ref<JMReversibleValueTransformer> jm_booleanValueTransformer();

// The error of a failed transformation: "JMTransformerErrorHandlingErrorDomain" code 1 with the texts,
// the refused input and, when given, the underlying error.
Ref<Error> jm_transformerError(std::string description, std::string reason, const Value& input,
                               Ref<Error> underlying = nullptr);

}  // namespace lv
