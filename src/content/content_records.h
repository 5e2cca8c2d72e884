// The seven record classes of the content cache, one per store entity and named after it. A record
// holds no state of its own: its attributes are the entity's, read and written through the store
// (typed accessors below, or key-value access). Every attribute accepts nil.
//
// The classes must be registered with the runtime before the store makes records of their entities
// (otherwise those records are plain ManagedObjects); registerContentRecordClasses() does that once,
// and the content models and the cache truncation call it themselves.
#pragma once

#include "platform/data/managed_object.h"
#include "platform/runtime/runtime.h"
#include "store/records.h"

namespace lv {

// Registers News, Novel, Video, Teleplay, Taobao, Microblog and Toptenz (once; any thread).
void registerContentRecordClasses();

// Each class is a Record<T>: a ManagedObject with the record-store layer's class-side operations
// (News::RS_findAllWithPredicate(predicate), News::RS_createEntityInContext(context), …).

// One post of a social-network feed.
class Microblog : public Record<Microblog> {
public:
    static const ClassInfo* runtimeClass();
    LV_RECORD_ATTRIBUTE(attitudes_count, Attitudes_count)  // integer
    LV_RECORD_ATTRIBUTE(comments_count, Comments_count)    // integer
    LV_RECORD_ATTRIBUTE(created_at, Created_at)            // date
    LV_RECORD_ATTRIBUTE(idstr, Idstr)
    LV_RECORD_ATTRIBUTE(profileImageUrl, ProfileImageUrl)
    LV_RECORD_ATTRIBUTE(reposts_count, Reposts_count)      // integer
    LV_RECORD_ATTRIBUTE(screenName, ScreenName)
    LV_RECORD_ATTRIBUTE(sourceName, SourceName)
    LV_RECORD_ATTRIBUTE(text, Text)
    LV_RECORD_ATTRIBUTE(thumbnail_pic, Thumbnail_pic)
    LV_RECORD_ATTRIBUTE(type, Type)
    LV_RECORD_ATTRIBUTE(uid, Uid)
    LV_RECORD_ATTRIBUTE(update_time, Update_time)          // date
    LV_RECORD_ATTRIBUTE(sortWeight, SortWeight)            // integer: position in the reply
};

// One row of a music chart.
class Toptenz : public Record<Toptenz> {
public:
    static const ClassInfo* runtimeClass();
    LV_RECORD_ATTRIBUTE(album, Album)
    LV_RECORD_ATTRIBUTE(album_cn, Album_cn)
    LV_RECORD_ATTRIBUTE(artist, Artist)
    LV_RECORD_ATTRIBUTE(artist_cn, Artist_cn)
    LV_RECORD_ATTRIBUTE(avatar, Avatar)
    LV_RECORD_ATTRIBUTE(extern_link, Extern_link)
    LV_RECORD_ATTRIBUTE(rank, Rank)                        // integer
    LV_RECORD_ATTRIBUTE(sid, Sid)                          // integer: the chart site's number
    LV_RECORD_ATTRIBUTE(title, Title)
    LV_RECORD_ATTRIBUTE(title_cn, Title_cn)
    LV_RECORD_ATTRIBUTE(type, Type)                        // integer
    LV_RECORD_ATTRIBUTE(update_time, Update_time)          // date
    LV_RECORD_ATTRIBUTE(translate, Translate)              // integer
    LV_RECORD_ATTRIBUTE(currentLanguage, CurrentLanguage)  // integer
};

// One shop item.
class Taobao : public Record<Taobao> {
public:
    static const ClassInfo* runtimeClass();
    LV_RECORD_ATTRIBUTE(t_id, T_id)
    LV_RECORD_ATTRIBUTE(commentCount, CommentCount)  // integer
    LV_RECORD_ATTRIBUTE(imgSrc, ImgSrc)
    LV_RECORD_ATTRIBUTE(link, Link)
    LV_RECORD_ATTRIBUTE(name, Name)
    LV_RECORD_ATTRIBUTE(price, Price)                // decimal, exact
    LV_RECORD_ATTRIBUTE(saleCount, SaleCount)        // integer
    LV_RECORD_ATTRIBUTE(store, Store)
    LV_RECORD_ATTRIBUTE(type, Type)
    LV_RECORD_ATTRIBUTE(update_time, Update_time)    // date
};

// One news article.
class News : public Record<News> {
public:
    static const ClassInfo* runtimeClass();
    LV_RECORD_ATTRIBUTE(cat_name, Cat_name)
    LV_RECORD_ATTRIBUTE(createTime, CreateTime)    // date
    LV_RECORD_ATTRIBUTE(detailPageLink, DetailPageLink)
    LV_RECORD_ATTRIBUTE(msgId, MsgId)
    LV_RECORD_ATTRIBUTE(tag_name, Tag_name)
    LV_RECORD_ATTRIBUTE(thumbLink, ThumbLink)
    LV_RECORD_ATTRIBUTE(title, Title)
    LV_RECORD_ATTRIBUTE(update_time, Update_time)  // date
};

// One learning video.
class Video : public Record<Video> {
public:
    static const ClassInfo* runtimeClass();
    LV_RECORD_ATTRIBUTE(author, Author)
    LV_RECORD_ATTRIBUTE(createTime, CreateTime)    // text, shown unchanged
    LV_RECORD_ATTRIBUTE(imgSrc, ImgSrc)
    LV_RECORD_ATTRIBUTE(link, Link)
    LV_RECORD_ATTRIBUTE(playCount, PlayCount)      // integer
    LV_RECORD_ATTRIBUTE(title, Title)
    LV_RECORD_ATTRIBUTE(type, Type)
    LV_RECORD_ATTRIBUTE(update_time, Update_time)  // date
    LV_RECORD_ATTRIBUTE(sortWeight, SortWeight)    // integer: position in the reply
};

// One drama or variety show with its episodes.
class Teleplay : public Record<Teleplay> {
public:
    static const ClassInfo* runtimeClass();
    LV_RECORD_ATTRIBUTE(actor, Actor)
    LV_RECORD_ATTRIBUTE(alias, Alias)
    LV_RECORD_ATTRIBUTE(area, Area)
    LV_RECORD_ATTRIBUTE(director, Director)
    LV_RECORD_ATTRIBUTE(entryId, EntryId)
    LV_RECORD_ATTRIBUTE(firstTime, FirstTime)              // text
    LV_RECORD_ATTRIBUTE(imgSrc, ImgSrc)
    LV_RECORD_ATTRIBUTE(info, Info)
    LV_RECORD_ATTRIBUTE(is_end, Is_end)                    // "yes" / "no"
    LV_RECORD_ATTRIBUTE(last_update_time, Last_update_time)  // date
    LV_RECORD_ATTRIBUTE(titleCn, TitleCn)
    LV_RECORD_ATTRIBUTE(titleEn, TitleEn)
    LV_RECORD_ATTRIBUTE(totalCount, TotalCount)            // integer
    LV_RECORD_ATTRIBUTE(tvStation, TvStation)
    LV_RECORD_ATTRIBUTE(type, Type)
    LV_RECORD_ATTRIBUTE(update_time, Update_time)          // date
    LV_RECORD_ATTRIBUTE(writer, Writer)
    LV_RECORD_ATTRIBUTE(playLinks, PlayLinks)              // dictionary episode → link, archived
    LV_RECORD_ATTRIBUTE(sortWeight, SortWeight)            // integer: position in the reply
};

// One serialised novel.
class Novel : public Record<Novel> {
public:
    static const ClassInfo* runtimeClass();
    LV_RECORD_ATTRIBUTE(author, Author)
    LV_RECORD_ATTRIBUTE(nid, Nid)
    LV_RECORD_ATTRIBUTE(novel_desc, Novel_desc)
    LV_RECORD_ATTRIBUTE(picLink, PicLink)
    LV_RECORD_ATTRIBUTE(title, Title)
    LV_RECORD_ATTRIBUTE(update_time, Update_time)  // date
};

}  // namespace lv
