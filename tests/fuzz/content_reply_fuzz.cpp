// A content-service reply from the network, as the request processor maps it: the bytes parse as
// JSON, and every element of "mItems" goes through the JSON adapter into each content model. Any
// input must give a model or an error, never a crash or an exception.
#include <cstddef>
#include <cstdint>
#include <span>

#include "content/content_models.h"
#include "mapping/json_adapter.h"
#include "platform/base/log.h"
#include "platform/storage/json.h"

namespace {

template <class Model>
void mapInto(const lv::Value& item) {
    lv::Ref<lv::Error> error;
    const lv::Ref<lv::JMModel> model = lv::JMJSONAdapter::modelOfClass(Model::runtimeClass(), item, &error);
    if (!model && !error) __builtin_trap();  // a refused item always says why
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static lv::LogCapture quiet;
    quiet.clear();
    lv::Ref<lv::Error> error;
    const lv::Value reply = lv::JSONSerialization::JSONObjectWithData(std::span<const std::uint8_t>(data, size), 0, &error);
    const lv::Value& items = reply["mItems"];
    const lv::Array single{reply};
    for (const lv::Value& item : items.isArray() ? items.array() : single) {
        mapInto<lv::JM_News>(item);
        mapInto<lv::JM_Microblog>(item);
        mapInto<lv::JM_Toptenz>(item);
        mapInto<lv::JM_Taobao>(item);
        mapInto<lv::JM_Teleplay>(item);
        mapInto<lv::JM_Novel>(item);
        mapInto<lv::JM_Video>(item);
    }
    return 0;
}
