#include "content/content_records.h"

#include <initializer_list>
#include <utility>

namespace lv {

namespace {

// Attribute name and the class of its values, in the entity's order.
using Attributes = std::initializer_list<std::pair<const char*, const char*>>;

template <class T>
const ClassInfo* defineRecordClass(const char* name, Attributes attributes) {
    RecordClassDef<T> def(name);
    for (const auto& [attribute, valueClass] : attributes) def.attribute(attribute, valueClass);
    return def.registerClass();
}

}  // namespace

void registerContentRecordClasses() {
    runOnce("lv.content.recordClasses", [] {
        Microblog::runtimeClass();
        Toptenz::runtimeClass();
        Taobao::runtimeClass();
        News::runtimeClass();
        Video::runtimeClass();
        Teleplay::runtimeClass();
        Novel::runtimeClass();
    });
}

const ClassInfo* Microblog::runtimeClass() {
    static const ClassInfo* cls = defineRecordClass<Microblog>(
        "Microblog", {{"attitudes_count", "Number"},
                      {"comments_count", "Number"},
                      {"created_at", "Date"},
                      {"idstr", "String"},
                      {"profileImageUrl", "String"},
                      {"reposts_count", "Number"},
                      {"screenName", "String"},
                      {"sourceName", "String"},
                      {"text", "String"},
                      {"thumbnail_pic", "String"},
                      {"type", "String"},
                      {"uid", "String"},
                      {"update_time", "Date"},
                      {"sortWeight", "Number"}});
    return cls;
}

const ClassInfo* Toptenz::runtimeClass() {
    static const ClassInfo* cls = defineRecordClass<Toptenz>(
        "Toptenz", {{"album", "String"},
                    {"album_cn", "String"},
                    {"artist", "String"},
                    {"artist_cn", "String"},
                    {"avatar", "String"},
                    {"extern_link", "String"},
                    {"rank", "Number"},
                    {"sid", "Number"},
                    {"title", "String"},
                    {"title_cn", "String"},
                    {"type", "Number"},
                    {"update_time", "Date"},
                    {"translate", "Number"},
                    {"currentLanguage", "Number"}});
    return cls;
}

const ClassInfo* Taobao::runtimeClass() {
    static const ClassInfo* cls = defineRecordClass<Taobao>("Taobao", {{"t_id", "String"},
                                                                       {"commentCount", "Number"},
                                                                       {"imgSrc", "String"},
                                                                       {"link", "String"},
                                                                       {"name", "String"},
                                                                       {"price", "DecimalNumber"},
                                                                       {"saleCount", "Number"},
                                                                       {"store", "String"},
                                                                       {"type", "String"},
                                                                       {"update_time", "Date"}});
    return cls;
}

const ClassInfo* News::runtimeClass() {
    static const ClassInfo* cls = defineRecordClass<News>("News", {{"cat_name", "String"},
                                                                   {"createTime", "Date"},
                                                                   {"detailPageLink", "String"},
                                                                   {"msgId", "String"},
                                                                   {"tag_name", "String"},
                                                                   {"thumbLink", "String"},
                                                                   {"title", "String"},
                                                                   {"update_time", "Date"}});
    return cls;
}

const ClassInfo* Video::runtimeClass() {
    static const ClassInfo* cls = defineRecordClass<Video>("Video", {{"author", "String"},
                                                                     {"createTime", "String"},
                                                                     {"imgSrc", "String"},
                                                                     {"link", "String"},
                                                                     {"playCount", "Number"},
                                                                     {"title", "String"},
                                                                     {"type", "String"},
                                                                     {"update_time", "Date"},
                                                                     {"sortWeight", "Number"}});
    return cls;
}

const ClassInfo* Teleplay::runtimeClass() {
    static const ClassInfo* cls = defineRecordClass<Teleplay>("Teleplay", {{"actor", "String"},
                                                                           {"alias", "String"},
                                                                           {"area", "String"},
                                                                           {"director", "String"},
                                                                           {"entryId", "String"},
                                                                           {"firstTime", "String"},
                                                                           {"imgSrc", "String"},
                                                                           {"info", "String"},
                                                                           {"is_end", "String"},
                                                                           {"last_update_time", "Date"},
                                                                           {"titleCn", "String"},
                                                                           {"titleEn", "String"},
                                                                           {"totalCount", "Number"},
                                                                           {"tvStation", "String"},
                                                                           {"type", "String"},
                                                                           {"update_time", "Date"},
                                                                           {"writer", "String"},
                                                                           {"playLinks", "Dictionary"},
                                                                           {"sortWeight", "Number"}});
    return cls;
}

const ClassInfo* Novel::runtimeClass() {
    static const ClassInfo* cls = defineRecordClass<Novel>("Novel", {{"author", "String"},
                                                                     {"nid", "String"},
                                                                     {"novel_desc", "String"},
                                                                     {"picLink", "String"},
                                                                     {"title", "String"},
                                                                     {"update_time", "Date"}});
    return cls;
}

}  // namespace lv
