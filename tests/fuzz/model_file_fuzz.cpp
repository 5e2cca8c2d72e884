// Record model files (".lvmodel"): any text gives a model or an error; a model read writes back as a
// text that reads back as the same model (same text, same version hashes).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/base/log.h"
#include "platform/data/model.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static lv::LogCapture quiet;
    lv::Ref<lv::Error> error;
    const auto model =
        lv::ManagedObjectModel::modelFromText(std::string_view(reinterpret_cast<const char*>(data), size), &error);
    if (!model) {
        if (!error) std::abort();
        return 0;
    }
    (void)model->validate(&error);
    const std::string text = model->textRepresentation();
    const auto back = lv::ManagedObjectModel::modelFromText(text, &error);
    if (!back || back->textRepresentation() != text) std::abort();
    if (!(back->entityVersionHashesByName() == model->entityVersionHashesByName())) std::abort();
    quiet.clear();
    return 0;
}
