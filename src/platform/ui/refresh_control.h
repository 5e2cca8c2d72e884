// RefreshControl: the pull-to-refresh control of a list, either refreshing or not. Headless: only the
// state is kept.
//
// Threads: main thread only, as every view.
#pragma once

#include "platform/ui/view.h"

namespace lv {

class RefreshControl : public View {
public:
    RefreshControl() = default;
    static Ref<RefreshControl> make() { return makeRef<RefreshControl>(); }

    virtual void beginRefreshing() { refreshing_ = true; }
    virtual void endRefreshing() { refreshing_ = false; }
    bool isRefreshing() const { return refreshing_; }

private:
    bool refreshing_ = false;
};

}  // namespace lv
