// Views: a rectangle in its superview with a background colour, a tree of subviews, and the layout
// constraints added to it. Headless: nothing is drawn and no layout engine runs; layout requests are
// counted so that code which asks for a layout pass can be checked.
//
// Views are always held through Ref (the tree links them with shared_from_this).
//
// Threads: views belong to the main thread, as the platform's views do; they hold no lock.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/base/object.h"
#include "platform/ui/color.h"
#include "platform/ui/geometry.h"
#include "platform/ui/layout_constraint.h"

namespace lv {

class View : public Object {
public:
    View() = default;
    explicit View(const Rect& frame) : frame_(frame) {}
    ~View() override;

    static Ref<View> make(const Rect& frame = {}) { return makeRef<View>(frame); }

    const Rect& frame() const { return frame_; }
    void setFrame(const Rect& frame) { frame_ = frame; }
    // The frame's size at origin (0, 0).
    Rect bounds() const { return Rect(Point{}, frame_.size); }

    // Null (no colour) until set.
    const Ref<Color>& backgroundColor() const { return backgroundColor_; }
    void setBackgroundColor(Ref<Color> color) { backgroundColor_ = std::move(color); }
    bool isHidden() const { return hidden_; }
    void setHidden(bool hidden) { hidden_ = hidden; }
    int tag() const { return tag_; }
    void setTag(int tag) { tag_ = tag; }

    // ---- The view tree ----

    // The view this one is a subview of; null at the top.
    Ref<View> superview() const { return superview_.lock(); }
    // Back to front.
    const std::vector<Ref<View>>& subviews() const { return subviews_; }
    // Adds the view at the front. A view that has another superview is removed from there first (as
    // removeFromSuperview does); a subview of this view moves to the front. Adding the view itself or
    // one of its ancestors (which would make a cycle) is ignored.
    void addSubview(const Ref<View>& view);
    // Takes the view out of its superview. Constraints held by any former ancestor that refer to the
    // view or to a view inside it are removed from that ancestor, as the platform does.
    void removeFromSuperview();
    // True when this view is view itself or lies inside it.
    bool isDescendantOfView(const View& view) const;

    // ---- Constraints ----

    // True until switched off: the view's frame is meant to be kept by its autoresizing mask.
    bool translatesAutoresizingMaskIntoConstraints() const { return translatesAutoresizingMask_; }
    void setTranslatesAutoresizingMaskIntoConstraints(bool on) { translatesAutoresizingMask_ = on; }
    // The constraints added to this view, in the order they were added.
    const std::vector<Ref<LayoutConstraint>>& constraints() const { return constraints_; }
    // Adding a constraint this view holds already does nothing.
    void addConstraint(const Ref<LayoutConstraint>& constraint);
    void addConstraints(const std::vector<Ref<LayoutConstraint>>& constraints);
    // Removing a constraint this view does not hold does nothing.
    void removeConstraint(const Ref<LayoutConstraint>& constraint);
    void removeConstraints(const std::vector<Ref<LayoutConstraint>>& constraints);

    // ---- Layout ----

    // Marks the view as needing layout.
    void setNeedsLayout() { needsLayout_ = true; }
    bool needsLayout() const { return needsLayout_; }
    // The layout pass: without a layout engine it only clears the mark (of this view and its
    // subviews) and counts the pass.
    void layoutIfNeeded();
    std::size_t layoutPassCount() const { return layoutPasses_; }

private:
    void dropConstraintsInvolving(const View& removed);

    Rect frame_;
    Ref<Color> backgroundColor_;
    bool hidden_ = false;
    int tag_ = 0;
    Weak<View> superview_;
    std::vector<Ref<View>> subviews_;
    std::vector<Ref<LayoutConstraint>> constraints_;
    bool translatesAutoresizingMask_ = true;
    bool needsLayout_ = false;
    std::size_t layoutPasses_ = 0;
};

}  // namespace lv
