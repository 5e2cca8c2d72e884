// The process-wide caches and registries used from several threads at once: per-class key caches, the
// named transformers, an adapter's nested adapters and a nested-model transformer's shared adapter.
#include <gtest/gtest.h>

#include <latch>
#include <thread>
#include <vector>

#include "sample_models.h"

namespace lv {
namespace {

constexpr int kThreads = 8;

// Runs body(i) on kThreads threads released together.
template <class Body>
void onThreads(Body body) {
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    threads.reserve(kThreads);
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            body(i);
        });
    }
    for (std::thread& t : threads) t.join();
}

// Used by no other test, so that its caches are first filled here, by racing threads.
class RacedModel : public JMModel {
public:
    RacedModel() { runtimeClass(); }
    static const ClassInfo* runtimeClass() {
        static const ClassInfo* cls = test::jsonModel<RacedModel>("RacedModel", {{"a", "a"}, {"b", "x.b"}, {"c", "c"}})
                                          .property("a", &RacedModel::a_, "String", "C,N")
                                          .property("b", &RacedModel::b_, "Number", "&,N")
                                          .property("c", &RacedModel::c_, "N")
                                          .registerClass();
        return cls;
    }
    Value a_, b_;
    bool c_ = false;
};

TEST(Concurrency, PerClassCachesAreFilledOnce) {
    const ClassInfo* cls = RacedModel::runtimeClass();
    std::vector<const JMKeySet*> keys(kThreads);
    std::vector<const JMKeySet*> permanent(kThreads);
    onThreads([&](int i) {
        keys[static_cast<std::size_t>(i)] = &JMModel::propertyKeys(cls);
        permanent[static_cast<std::size_t>(i)] = &JMModel::permanentPropertyKeys(cls);
    });
    for (int i = 0; i < kThreads; ++i) {
        EXPECT_EQ(keys[static_cast<std::size_t>(i)], keys[0]);
        EXPECT_EQ(permanent[static_cast<std::size_t>(i)], permanent[0]);
    }
    EXPECT_EQ(keys[0]->keys(), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(permanent[0]->size(), 3u);
}

TEST(Concurrency, NamedTransformersAreSharedAcrossThreads) {
    std::vector<Ref<ValueTransformer>> found(kThreads);
    onThreads([&](int i) {
        found[static_cast<std::size_t>(i)] = ValueTransformer::valueTransformerForName(JMBooleanValueTransformerName);
        ValueTransformer::setValueTransformer(JMValueTransformer::transformerWithBlock([](const Value& v) { return v; }),
                                              "RacedName" + std::to_string(i));
    });
    for (const auto& t : found) EXPECT_EQ(t, found[0]);
    EXPECT_NE(found[0], nullptr);
    for (int i = 0; i < kThreads; ++i) {
        EXPECT_NE(ValueTransformer::valueTransformerForName("RacedName" + std::to_string(i)), nullptr);
    }
}

TEST(Concurrency, OneNestedAdapterPerClass) {
    auto adapter = JMJSONAdapter::adapterWithModelClass(test::Shape::runtimeClass());
    ASSERT_NE(adapter, nullptr);
    std::vector<Ref<JMJSONAdapter>> nested(kThreads);
    std::vector<Ref<JMModel>> models(kThreads);
    onThreads([&](int i) {
        nested[static_cast<std::size_t>(i)] = adapter->JSONAdapterForModelClass(test::Circle::runtimeClass(), nullptr);
        models[static_cast<std::size_t>(i)] =
            adapter->modelFromJSONDictionary(Value::dictionary({{"kind", "circle"}, {"r", i}}), nullptr);
    });
    for (int i = 0; i < kThreads; ++i) {
        EXPECT_EQ(nested[static_cast<std::size_t>(i)], nested[0]);
        auto circle = std::dynamic_pointer_cast<test::Circle>(models[static_cast<std::size_t>(i)]);
        ASSERT_NE(circle, nullptr);
        EXPECT_EQ(circle->radius_, Value(i));
    }
}

TEST(Concurrency, NestedModelTransformerSharedByThreads) {
    auto t = JMJSONAdapter::dictionaryTransformerWithModelClass(test::Pet::runtimeClass());
    std::vector<Value> results(kThreads);
    onThreads([&](int i) {
        bool success = true;
        Ref<Error> error;
        results[static_cast<std::size_t>(i)] =
            t->transformedValue(Value::dictionary({{"name", std::to_string(i)}}), &success, &error);
    });
    for (int i = 0; i < kThreads; ++i) {
        auto pet = results[static_cast<std::size_t>(i)].objectAs<test::Pet>();
        ASSERT_NE(pet, nullptr);
        EXPECT_EQ(pet->name_, Value(std::to_string(i)));
    }
}

TEST(Concurrency, ModelsMappedOnManyThreads) {
    std::vector<Ref<RacedModel>> models(kThreads);
    onThreads([&](int i) {
        models[static_cast<std::size_t>(i)] = JMJSONAdapter::modelOfClass<RacedModel>(
            Value::dictionary({{"a", "t"}, {"x", Value::dictionary({{"b", i}})}, {"c", 1}}), nullptr);
    });
    for (int i = 0; i < kThreads; ++i) {
        const auto& m = models[static_cast<std::size_t>(i)];
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(m->b_, Value(i));
        EXPECT_TRUE(m->c_);
    }
}

}  // namespace
}  // namespace lv
