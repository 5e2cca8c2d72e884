// Value transformers: conversions of a value into another one and back, and a process-wide registry
// of named transformers. The object store writes a transformable attribute through the transformer its
// model names; the mapping layer derives its block transformers from this class.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/base/object.h"
#include "platform/base/value.h"

namespace lv {

class ValueTransformer : public Object {
public:
    // The identity, unless overridden.
    virtual Value transformedValue(const Value& value) const { return value; }
    // transformedValue when the class allows reverse transformation; nil otherwise.
    virtual Value reverseTransformedValue(const Value& value) const;
    virtual bool allowsReverseTransformation() const { return false; }
    // The registered class name of transformed values ("Object" unless overridden).
    virtual std::string transformedValueClass() const { return "Object"; }

    // The named registry. Registering nil removes the name. Thread-safe; a replaced transformer is
    // released outside the registry's lock.
    static void setValueTransformer(Ref<ValueTransformer> transformer, std::string_view name);
    static Ref<ValueTransformer> valueTransformerForName(std::string_view name);
    static std::vector<std::string> valueTransformerNames();
};

}  // namespace lv
