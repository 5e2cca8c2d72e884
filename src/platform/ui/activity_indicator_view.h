// ActivityIndicatorView: a spinner that is either animating or not. Headless: only the state is kept.
//
// Threads: main thread only, as every view.
#pragma once

#include "platform/ui/view.h"

namespace lv {

class ActivityIndicatorView : public View {
public:
    ActivityIndicatorView() = default;
    explicit ActivityIndicatorView(const Rect& frame) : View(frame) {}
    static Ref<ActivityIndicatorView> make(const Rect& frame = {}) { return makeRef<ActivityIndicatorView>(frame); }

    virtual void startAnimating() { animating_ = true; }
    virtual void stopAnimating() { animating_ = false; }
    bool isAnimating() const { return animating_; }

private:
    bool animating_ = false;
};

}  // namespace lv
