// The content models: one per store entity, each the JSON form of one item of a content-service reply.
// The JSON adapter maps an item into its model (every mapped property reads the item's top-level key
// of its own name); the model then copies itself into a new record of its entity
// (migratePropertiesToObject, with one identity pair per property, sortWeight included).
//
//   Ref<Error> error;
//   auto model = JMJSONAdapter::modelOfClass<JM_News>(item, &error);
//   if (!model) { /* the item cannot be mapped: skip it, error says why */ }
//
// An item that is not a dictionary, or whose plain values have the wrong JSON kind (a number where
// text is expected, …), gives no model and the adapter's error; the date, price and count texts never
// fail an item: a text that cannot be read leaves the property nil.
//
// Date rules (by the text's length in characters; null counts as length 0; dateFormatterN of
// BaseJMModel; the texts are local times of serviceTimeZone()):
//   rule 1: up to 13 → formatter 1, 14 or more → formatter 2
//   rule 2: up to 10 → formatter 3, 11 to 13 → formatter 1, 14 or more → formatter 2
//   rule 3: 0 → now, otherwise formatter 2
//   rule 4: 0 → now, 1 to 10 → formatter 3, 11 to 13 → formatter 1, 14 or more → formatter 2
// The reverse of every date transformer writes formatter 2's text.
#pragma once

#include "content/base_jm_model.h"
#include "mapping/json_adapter.h"
#include "mapping/value_transformer.h"
#include "platform/time/time_zone.h"

namespace lv {

// The zone the service's wall-clock texts are read in and the "time" cursors are written in: the one
// remembered in the user defaults under kServiceTimeZoneKey, else the device's. The store keeps
// instants, so reading and writing them in one zone keeps the cursor the service's own text after the
// device's zone changes.
inline constexpr std::string_view kServiceTimeZoneKey = "LVServiceTimeZone";
TimeZone serviceTimeZone();
// Before the first rows are stored: remembers the device's zone when no zone is remembered (rows
// stored before were read in the device's zone of the time). A zone whose name does not read back
// as the same zone is remembered as its present offset ("GMT+0900").
void rememberServiceTimeZone();

// sortWeight (set by the caller from the item's position) is never read from JSON.
class JM_Microblog : public BaseJMModel {
public:
    JM_Microblog() { runtimeClass(); }
    static const ClassInfo* runtimeClass();
    static Dictionary JSONKeyPathsByPropertyKey();
    static Ref<JMReversibleValueTransformer> update_timeJSONTransformer();  // rule 1
    static Ref<JMReversibleValueTransformer> created_atJSONTransformer();   // rule 3
    const Array& propertiesList() const override;

    LV_JM_PROPERTY(attitudes_count, Attitudes_count)  // Number
    LV_JM_PROPERTY(comments_count, Comments_count)    // Number
    LV_JM_PROPERTY(created_at, Created_at)            // Date
    LV_JM_PROPERTY(idstr, Idstr)                      // String
    LV_JM_PROPERTY(profileImageUrl, ProfileImageUrl)  // String
    LV_JM_PROPERTY(reposts_count, Reposts_count)      // Number
    LV_JM_PROPERTY(screenName, ScreenName)            // String
    LV_JM_PROPERTY(sourceName, SourceName)            // String
    LV_JM_PROPERTY(text, Text)                        // String
    LV_JM_PROPERTY(thumbnail_pic, Thumbnail_pic)      // String
    LV_JM_PROPERTY(type, Type)                        // String
    LV_JM_PROPERTY(uid, Uid)                          // String
    LV_JM_PROPERTY(update_time, Update_time)          // Date
    LV_JM_PROPERTY(sortWeight, SortWeight)            // Number
};

class JM_Toptenz : public BaseJMModel {
public:
    JM_Toptenz() { runtimeClass(); }
    static const ClassInfo* runtimeClass();
    static Dictionary JSONKeyPathsByPropertyKey();
    static Ref<JMReversibleValueTransformer> update_timeJSONTransformer();  // rule 2
    const Array& propertiesList() const override;

    LV_JM_PROPERTY(album, Album)                      // String
    LV_JM_PROPERTY(album_cn, Album_cn)                // String
    LV_JM_PROPERTY(artist, Artist)                    // String
    LV_JM_PROPERTY(artist_cn, Artist_cn)              // String
    LV_JM_PROPERTY(avatar, Avatar)                    // String
    LV_JM_PROPERTY(extern_link, Extern_link)          // String
    LV_JM_PROPERTY(rank, Rank)                        // Number
    LV_JM_PROPERTY(sid, Sid)                          // Number
    LV_JM_PROPERTY(title, Title)                      // String
    LV_JM_PROPERTY(title_cn, Title_cn)                // String
    LV_JM_PROPERTY(type, Type)                        // Number
    LV_JM_PROPERTY(update_time, Update_time)          // Date
    LV_JM_PROPERTY(translate, Translate)              // Number
    LV_JM_PROPERTY(currentLanguage, CurrentLanguage)  // Number
};

class JM_Taobao : public BaseJMModel {
public:
    JM_Taobao() { runtimeClass(); }
    static const ClassInfo* runtimeClass();
    static Dictionary JSONKeyPathsByPropertyKey();
    static Ref<JMReversibleValueTransformer> update_timeJSONTransformer();  // rule 1
    // Text (or a JSON number) read as an exact decimal number; the reverse gives its text.
    static Ref<JMReversibleValueTransformer> priceJSONTransformer();
    const Array& propertiesList() const override;

    LV_JM_PROPERTY(t_id, T_id)                  // String
    LV_JM_PROPERTY(commentCount, CommentCount)  // Number
    LV_JM_PROPERTY(imgSrc, ImgSrc)              // String
    LV_JM_PROPERTY(link, Link)                  // String
    LV_JM_PROPERTY(name, Name)                  // String
    LV_JM_PROPERTY(price, Price)                // DecimalNumber
    LV_JM_PROPERTY(saleCount, SaleCount)        // Number
    LV_JM_PROPERTY(store, Store)                // String
    LV_JM_PROPERTY(type, Type)                  // String
    LV_JM_PROPERTY(update_time, Update_time)    // Date
};

class JM_News : public BaseJMModel {
public:
    JM_News() { runtimeClass(); }
    static const ClassInfo* runtimeClass();
    static Dictionary JSONKeyPathsByPropertyKey();
    static Ref<JMReversibleValueTransformer> createTimeJSONTransformer();   // rule 2
    static Ref<JMReversibleValueTransformer> update_timeJSONTransformer();  // rule 2
    const Array& propertiesList() const override;

    LV_JM_PROPERTY(cat_name, Cat_name)              // String
    LV_JM_PROPERTY(createTime, CreateTime)          // Date
    LV_JM_PROPERTY(detailPageLink, DetailPageLink)  // String
    LV_JM_PROPERTY(msgId, MsgId)                    // String
    LV_JM_PROPERTY(tag_name, Tag_name)              // String
    LV_JM_PROPERTY(thumbLink, ThumbLink)            // String
    LV_JM_PROPERTY(title, Title)                    // String
    LV_JM_PROPERTY(update_time, Update_time)        // Date
};

// sortWeight (set by the caller from the item's position) is never read from JSON.
class JM_Teleplay : public BaseJMModel {
public:
    JM_Teleplay() { runtimeClass(); }
    static const ClassInfo* runtimeClass();
    static Dictionary JSONKeyPathsByPropertyKey();
    static Ref<JMReversibleValueTransformer> update_timeJSONTransformer();       // rule 1
    static Ref<JMReversibleValueTransformer> last_update_timeJSONTransformer();  // rule 3
    // Text (or a JSON number) read as a decimal number, kept as its 32-bit integer part; the reverse
    // gives the number's text.
    static Ref<JMReversibleValueTransformer> totalCountJSONTransformer();
    const Array& propertiesList() const override;

    LV_JM_PROPERTY(actor, Actor)                        // String
    LV_JM_PROPERTY(alias, Alias)                        // String
    LV_JM_PROPERTY(area, Area)                          // String
    LV_JM_PROPERTY(director, Director)                  // String
    LV_JM_PROPERTY(entryId, EntryId)                    // String
    LV_JM_PROPERTY(firstTime, FirstTime)                // String
    LV_JM_PROPERTY(imgSrc, ImgSrc)                      // String
    LV_JM_PROPERTY(info, Info)                          // String
    LV_JM_PROPERTY(is_end, Is_end)                      // String
    LV_JM_PROPERTY(last_update_time, Last_update_time)  // Date
    LV_JM_PROPERTY(titleCn, TitleCn)                    // String
    LV_JM_PROPERTY(titleEn, TitleEn)                    // String
    LV_JM_PROPERTY(totalCount, TotalCount)              // Number
    LV_JM_PROPERTY(tvStation, TvStation)                // String
    LV_JM_PROPERTY(type, Type)                          // String
    LV_JM_PROPERTY(update_time, Update_time)            // Date
    LV_JM_PROPERTY(writer, Writer)                      // String
    LV_JM_PROPERTY(playLinks, PlayLinks)                // Dictionary
    LV_JM_PROPERTY(sortWeight, SortWeight)              // Number
};

// The synopsis arrives under "description"; the caller moves it to "novel_desc" before mapping.
class JM_Novel : public BaseJMModel {
public:
    JM_Novel() { runtimeClass(); }
    static const ClassInfo* runtimeClass();
    static Dictionary JSONKeyPathsByPropertyKey();
    static Ref<JMReversibleValueTransformer> update_timeJSONTransformer();  // rule 4
    const Array& propertiesList() const override;

    LV_JM_PROPERTY(author, Author)            // String
    LV_JM_PROPERTY(nid, Nid)                  // String
    LV_JM_PROPERTY(novel_desc, Novel_desc)    // String
    LV_JM_PROPERTY(picLink, PicLink)          // String
    LV_JM_PROPERTY(title, Title)              // String
    LV_JM_PROPERTY(update_time, Update_time)  // Date
};

// sortWeight (set by the caller from the item's position) is never read from JSON.
class JM_Video : public BaseJMModel {
public:
    JM_Video() { runtimeClass(); }
    static const ClassInfo* runtimeClass();
    static Dictionary JSONKeyPathsByPropertyKey();
    static Ref<JMReversibleValueTransformer> update_timeJSONTransformer();  // rule 1
    const Array& propertiesList() const override;

    LV_JM_PROPERTY(author, Author)            // String
    LV_JM_PROPERTY(createTime, CreateTime)    // String (not a date)
    LV_JM_PROPERTY(imgSrc, ImgSrc)            // String
    LV_JM_PROPERTY(playCount, PlayCount)      // Number
    LV_JM_PROPERTY(link, Link)                // String
    LV_JM_PROPERTY(title, Title)              // String
    LV_JM_PROPERTY(type, Type)                // String
    LV_JM_PROPERTY(update_time, Update_time)  // Date
    LV_JM_PROPERTY(sortWeight, SortWeight)    // Number
};

}  // namespace lv
