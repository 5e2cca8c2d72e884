// The chart entity ("Toptenz") both object-store benchmarks fill and read.
#pragma once

#include "platform/data/model.h"

namespace lv::bench {

inline Ref<ManagedObjectModel> chartModel() {
    auto model = makeRef<ManagedObjectModel>();
    auto e = EntityDescription::make("Toptenz");
    for (const char* text : {"album", "album_cn", "artist", "artist_cn", "avatar", "extern_link", "title", "title_cn"}) {
        e->addAttribute(AttributeDescription::make(text, AttributeType::String));
    }
    for (const char* integer : {"rank", "sid", "type", "translate", "currentLanguage"}) {
        e->addAttribute(AttributeDescription::make(integer, AttributeType::Integer32));
    }
    e->addAttribute(AttributeDescription::make("update_time", AttributeType::Date));
    model->addEntity(e);
    return model;
}

}  // namespace lv::bench
