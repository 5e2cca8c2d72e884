// The nested-model transformers of the JSON adapter: a JSON dictionary to a model of a class and back,
// and a JSON array of them to an array of models and back.
#include <memory>
#include <mutex>

#include "mapping/json_adapter.h"
#include "platform/base/format.h"

namespace lv {

namespace {

// The adapter made on first use by a nested-model transformer, shared by both its directions.
class SharedAdapter {
public:
    SharedAdapter(const ClassInfo* modelClass, const ClassInfo* adapterClass)
        : modelClass_(modelClass), adapterClass_(adapterClass) {}

    Ref<JMJSONAdapter> get() {
        {
            std::lock_guard lock(mutex_);
            if (adapter_) return adapter_;
        }
        // Made without the lock (it runs the model class's hooks); the first one stored stays.
        Ref<JMJSONAdapter> made = JMJSONAdapter::adapterWithModelClass(modelClass_, adapterClass_);
        std::lock_guard lock(mutex_);
        if (!adapter_) adapter_ = std::move(made);
        return adapter_;
    }

private:
    const ClassInfo* modelClass_;
    const ClassInfo* adapterClass_;
    std::mutex mutex_;
    Ref<JMJSONAdapter> adapter_;
};

Value transformerFailure(bool* success, Ref<Error>* error, std::string description, std::string reason,
                         const Value& input) {
    if (success) *success = false;
    if (error) *error = jm_transformerError(std::move(description), std::move(reason), input);
    return Value();
}

}  // namespace

// ---- Nested-model transformers ----

Ref<JMReversibleValueTransformer> JMJSONAdapter::dictionaryTransformerWithModelClass(const ClassInfo* modelClass,
                                                                                   const ClassInfo* adapterClass) {
    auto shared = std::make_shared<SharedAdapter>(modelClass, adapterClass ? adapterClass : runtimeClass());
    return JMValueTransformer::transformerUsingForwardBlock(
        [shared](const Value& value, bool* success, Ref<Error>* error) -> Value {
            if (value.isNil()) return Value();
            if (!value.isDictionary()) {
                return transformerFailure(success, error, "Could not convert JSON dictionary to model object",
                                          format("Expected an NSDictionary, got: %@", value), value);
            }
            Ref<JMJSONAdapter> adapter = shared->get();
            Ref<JMModel> model = adapter ? adapter->modelFromJSONDictionary(value, error) : nullptr;
            if (!model && success) *success = false;
            return Value(model);
        },
        [shared](const Value& value, bool* success, Ref<Error>* error) -> Value {
            if (value.isNil()) return Value();
            Ref<JMModel> model = value.objectAs<JMModel>();
            const ClassInfo* cls = model ? model->modelClass() : nullptr;
            if (!cls || !cls->conformsTo(kJMJSONSerializingProtocol)) {
                return transformerFailure(success, error, "Could not convert model object to JSON dictionary",
                                          format("Expected a JMModel object conforming to <JMJSONSerializing>, got: %@.",
                                                 value),
                                          value);
            }
            Ref<JMJSONAdapter> adapter = shared->get();
            std::optional<Dictionary> json = adapter ? adapter->JSONDictionaryFromModel(*model, error) : std::nullopt;
            if (!json) {
                if (success) *success = false;
                return Value();
            }
            return Value(std::move(*json));
        });
}

Ref<JMReversibleValueTransformer> JMJSONAdapter::arrayTransformerWithModelClass(const ClassInfo* modelClass,
                                                                              const ClassInfo* adapterClass) {
    Ref<JMReversibleValueTransformer> dictionaryTransformer = dictionaryTransformerWithModelClass(modelClass, adapterClass);
    return JMValueTransformer::transformerUsingForwardBlock(
        [dictionaryTransformer](const Value& value, bool* success, Ref<Error>* error) -> Value {
            if (value.isNil()) return Value();
            if (!value.isArray()) {
                return transformerFailure(success, error, "Could not convert JSON array to model array",
                                          format("Expected an NSArray, got: %@.", value), value);
            }
            Array models;
            models.reserve(value.array().size());
            for (const Value& element : value.array()) {
                if (element.isNull()) {
                    models.push_back(Value::null());
                    continue;
                }
                if (!element.isDictionary()) {
                    return transformerFailure(success, error, "Could not convert JSON array to model array",
                                              format("Expected an NSDictionary or an NSNull, got: %@.", element), element);
                }
                bool elementSuccess = true;
                Value model = dictionaryTransformer->transformedValue(element, &elementSuccess, error);
                if (!elementSuccess) {
                    if (success) *success = false;
                    return Value();
                }
                if (!model.isNil()) models.push_back(std::move(model));
            }
            return Value(std::move(models));
        },
        [dictionaryTransformer](const Value& value, bool* success, Ref<Error>* error) -> Value {
            if (value.isNil()) return Value();
            if (!value.isArray()) {
                return transformerFailure(success, error, "Could not convert model array to JSON array",
                                          format("Expected an NSArray, got: %@.", value), value);
            }
            Array dictionaries;
            dictionaries.reserve(value.array().size());
            for (const Value& element : value.array()) {
                if (element.isNull()) {
                    dictionaries.push_back(Value::null());
                    continue;
                }
                if (!element.objectAs<JMModel>()) {
                    return transformerFailure(success, error, "Could not convert model array to JSON array",
                                              format("Expected a JMModel or an NSNull, got: %@.", element), element);
                }
                bool elementSuccess = true;
                Value json = dictionaryTransformer->reverseTransformedValue(element, &elementSuccess, error);
                if (!elementSuccess) {
                    if (success) *success = false;
                    return Value();
                }
                if (!json.isNil()) dictionaries.push_back(std::move(json));
            }
            return Value(std::move(dictionaries));
        });
}

Ref<JMReversibleValueTransformer> jm_JSONDictionaryTransformerWithModelClass(const ClassInfo* modelClass) {
    return JMJSONAdapter::dictionaryTransformerWithModelClass(modelClass);
}

Ref<JMReversibleValueTransformer> jm_JSONArrayTransformerWithModelClass(const ClassInfo* modelClass) {
    return JMJSONAdapter::arrayTransformerWithModelClass(modelClass);
}

}  // namespace lv
