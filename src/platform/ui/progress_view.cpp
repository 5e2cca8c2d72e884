#include "platform/ui/progress_view.h"

namespace lv {

void ProgressView::setProgress(float progress, bool animated) {
    // "not greater than 0" also catches NaN.
    progress_ = !(progress > 0.0f) ? 0.0f : (progress > 1.0f ? 1.0f : progress);
    lastAnimated_ = animated;
}

}  // namespace lv
