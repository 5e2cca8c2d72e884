#include "content/constants.h"

namespace lv {

Dictionary Constants::siteIdMap() {
    return Dictionary{
        {"hanteo_real", "1"}, {"hanteo_day", "2"}, {"mnet", "3"}, {"melon", "4"}, {"bugs", "5"}, {"naver", "6"},
    };
}

Array Constants::autoRefreshPagers() {
    return Array{"MicroblogPagerView", "MarketPagerView", "MediaPagerView", "LivePagerView"};
}

}  // namespace lv
