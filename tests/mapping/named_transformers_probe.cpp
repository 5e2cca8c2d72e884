// A program whose first act is to look the named transformers up, through the runtime's registry
// alone: they must be there without any call into the mapping layer.
#include <cstdio>

#include "mapping/value_transformer.h"

int main() {
    using lv::Value;
    using lv::ValueTransformer;
    lv::Ref<ValueTransformer> url = ValueTransformer::valueTransformerForName(lv::JMURLValueTransformerName);
    lv::Ref<ValueTransformer> boolean = ValueTransformer::valueTransformerForName(lv::JMBooleanValueTransformerName);
    if (!url || !boolean) {
        std::fputs("named transformers missing\n", stderr);
        return 1;
    }
    const Value two = boolean->reverseTransformedValue(Value(2));
    if (!url->allowsReverseTransformation() || !two.isNumber() || !two.number()->isBool() || !two.boolValue()) {
        std::fputs("named transformers wrong\n", stderr);
        return 1;
    }
    std::puts("named transformers found");
    return 0;
}
