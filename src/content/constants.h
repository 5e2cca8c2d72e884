// Fixed tables of the app: the chart sites and their numbers, and the pages that reload on every visit.
#pragma once

#include "platform/base/value.h"

namespace lv {

class Constants {
public:
    // Chart-site name → site number as text ("melon" → "4"); the number is the chart records' sid.
    // Built anew on each call.
    static Dictionary siteIdMap();
    // The page classes that load their first page every time they are shown, in this order:
    // "MicroblogPagerView", "MarketPagerView", "MediaPagerView", "LivePagerView".
    static Array autoRefreshPagers();
};

}  // namespace lv
