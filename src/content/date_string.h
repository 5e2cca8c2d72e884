// Date texts of the app: the content service's time cursor formats, the relative time of feed posts,
// the pull-to-refresh line and a few display formats, plus cutting month, day and year out of
// "month/day/year" texts.
//
// Every call formats with a formatter of its own in the device's locale, calendar and time zone (the
// default zone), except the two PST forms, which format in Pacific time for that call only. Nothing is
// shared between calls or threads.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/base/value.h"

namespace lv {

class DateString {
public:
    // Relative time of a post from now (seconds cut toward zero; the same second or a future date
    // counts as 60 s): "%d秒前" up to 59 s, "%d分钟前" up to 3,599 s, "%d小时前" below a day,
    // "%d天前" up to 1,727,999 s, otherwise "%d - %d" with the month and the day of the month.
    static std::string microblogStyle(Date date);

    // "dd MMMM yyyy".
    static std::string dayMonthYearString(Date date);
    // The date in the given pattern.
    static std::string dateStringAccordingFormat(Date date, std::string_view pattern);
    // "yyyy-MM-dd": the "time" of the video configuration request.
    static std::string yearMonthDayString(Date date);
    // "yyyy-MM-dd" and "hh:mm aa" in Pacific time (the zone of the abbreviation "PST").
    static std::string yearMonthDayPSTString(Date date);
    static std::string datePSTIncludeHMA(Date date);
    // "MM/dd/yyyy".
    static std::string dateIncludeYMD(Date date);
    // "hh:mm aa".
    static std::string dateIncludeHMA(Date date);
    // "yyyy-MM-dd h:mm a": the last-pull label of list pages.
    static std::string dateIncludeYMDHMAZ(Date date);
    // "MM/dd/yy hh:mm a".
    static std::string dateAllPart(Date date);
    // "yyyy-MM-dd HH:mm:ss": the "time" of the content requests.
    static std::string dateServerStyle(Date date);
    // "yyyy-MM-dd": the "time" of the hanteo_day chart requests.
    static std::string dateServerStyleHanteoDay(Date date);
    // "yyyy-M-d HH:mm:ss": the "time" of the naver chart requests.
    static std::string dateServerStyleNaver(Date date);
    // The locale's long date with its short time / its long date alone.
    static std::string dateLongStyle(Date date);
    static std::string dateShortStyle(Date date);
    // "上次更新 M月d日 HH:mm": the pull-to-refresh title after a load.
    static std::string dateChineseStyle(Date date);

    // The date of a "yyyy-MM-dd" text (midnight in the device's zone), or nothing.
    static std::optional<Date> dateFromYearMonthDayString(std::string_view text);

    // Parts of a "month/day/year" text, or of a text without "/" shaped MMDDYY or MMDDYYYY:
    // month: before the first "/" (else the first two characters), a one-character month padded
    //   with "0";
    // day: between the first and the second "/" (else the third and fourth characters), padded
    //   likewise;
    // year: after the second "/" (else from the fifth character on), a two-character year prefixed
    //   with "19".
    // A text too short for its shape, or with a single "/" for day and year, gives the empty text.
    static std::string monthOfDate(std::string_view text);
    static std::string dayOfDate(std::string_view text);
    static std::string yearOfDate(std::string_view text);
};

}  // namespace lv
