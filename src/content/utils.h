// The shared utility object: the network flag the launch sets, and two helpers that place a view in
// its parent with layout constraints.
#pragma once

#include <array>
#include <atomic>

#include "platform/base/object.h"
#include "platform/ui/geometry.h"
#include "platform/ui/view.h"

namespace lv {

class Utils : public Object {
public:
    // One multiplier/constant pair of a constraint.
    struct ConstraintPair {
        float multiplier = 1.0f;
        float constant = 0.0f;
    };
    // Pairs for the top, leading, bottom and trailing constraints, in this order.
    using Padding = std::array<ConstraintPair, 4>;

    Utils() = default;

    // The shared object, made once on first use (from any thread).
    static const Ref<Utils>& sharedUtils();
    static const Ref<Utils>& instance() { return sharedUtils(); }

    // Whether the last reachability test found a network; false until set.
    bool isNetworkRunning() const { return networkRunning_.load(); }
    void setIsNetworkRunning(bool running) { networkRunning_.store(running); }

    // Moves the view into the parent (out of a former superview first), switches off its
    // autoresizing-mask translation and pins its four edges with equality constraints added to the
    // parent, each with the pair's multiplier and constant (all (1, 0) without padding):
    //   view.top        = parent.top × m1 + c1
    //   parent.leading  = view.leading × m2 + c2
    //   parent.bottom   = view.bottom × m3 + c3
    //   parent.trailing = view.trailing × m4 + c4
    // then lays the parent out.
    void fillParentConstraintsFrom(const Ref<View>& view, const Ref<View>& parent) const;
    void fillParentConstraintsFrom(const Ref<View>& view, const Ref<View>& parent, const Padding* padding) const;

    // Places the view in its superview (the container) in proportion to the two frames: the view's
    // top, bottom, leading and trailing become the fractions y/H, (y+h)/H, x/W and (x+w)/W of the
    // container's height and width. Constraints of the container that name the view are replaced by
    // four new ones; a view without subviews also loses its own constraints. A view without a
    // superview, or frames that give a zero denominator (W, H, x+w or y+h of 0), leave everything as
    // it is. A zero offset pins the edge to the container's top or leading edge.
    void setConstraintsForSubview(const Ref<View>& view, const Rect& subviewFrame, const Rect& superViewFrame) const;

private:
    std::atomic<bool> networkRunning_{false};
};

}  // namespace lv
