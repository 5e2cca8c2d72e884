// ProgressView: a bar showing a fraction from 0 to 1. Headless: keeps the progress and whether the
// last change asked to be animated.
//
// Threads: main thread only, as every view.
#pragma once

#include "platform/ui/view.h"

namespace lv {

class ProgressView : public View {
public:
    ProgressView() = default;
    explicit ProgressView(const Rect& frame) : View(frame) {}
    static Ref<ProgressView> make(const Rect& frame = {}) { return makeRef<ProgressView>(frame); }

    float progress() const { return progress_; }
    // Values outside 0…1 are pinned to the nearer end (NaN counts as 0).
    void setProgress(float progress) { setProgress(progress, false); }
    virtual void setProgress(float progress, bool animated);
    // The animated flag of the last setProgress.
    bool lastChangeAnimated() const { return lastAnimated_; }

private:
    float progress_ = 0;
    bool lastAnimated_ = false;
};

}  // namespace lv
