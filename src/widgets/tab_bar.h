// The tab bar and its items. Headless: they keep what the drawing would use (titles, images, title
// attributes, offsets, colours) and nothing is drawn.
//
// Threads: main thread only, as every view.
#pragma once

#include <string>
#include <vector>

#include "platform/base/value.h"
#include "platform/ui/geometry.h"
#include "platform/ui/image.h"
#include "platform/ui/view.h"

namespace lv {

class TCTabBarItem : public View {
public:
    TCTabBarItem() = default;
    static Ref<TCTabBarItem> make() { return makeRef<TCTabBarItem>(); }

    const std::string& title() const { return title_; }
    void setTitle(std::string title) { title_ = std::move(title); }

    // Moves of the title and the image from their default places, in points.
    const Offset& titlePositionAdjustment() const { return titlePositionAdjustment_; }
    void setTitlePositionAdjustment(Offset offset) { titlePositionAdjustment_ = offset; }
    const Offset& imagePositionAdjustment() const { return imagePositionAdjustment_; }
    void setImagePositionAdjustment(Offset offset) { imagePositionAdjustment_ = offset; }

    // Text attributes of the title in each state (copies of what is given).
    const Dictionary& selectedTitleAttributes() const { return selectedTitleAttributes_; }
    void setSelectedTitleAttributes(Dictionary attributes) { selectedTitleAttributes_ = std::move(attributes); }
    const Dictionary& unselectedTitleAttributes() const { return unselectedTitleAttributes_; }
    void setUnselectedTitleAttributes(Dictionary attributes) { unselectedTitleAttributes_ = std::move(attributes); }

    const Ref<Image>& finishedSelectedImage() const { return selectedImage_; }
    const Ref<Image>& finishedUnselectedImage() const { return unselectedImage_; }
    // Each image is replaced only when given and not the one already set.
    void setFinishedSelectedImage(const Ref<Image>& selected, const Ref<Image>& unselected);

    bool isSelected() const { return selected_; }
    void setSelected(bool selected) { selected_ = selected; }

private:
    std::string title_;
    Offset titlePositionAdjustment_;
    Offset imagePositionAdjustment_;
    Dictionary selectedTitleAttributes_;
    Dictionary unselectedTitleAttributes_;
    Ref<Image> selectedImage_;
    Ref<Image> unselectedImage_;
    bool selected_ = false;
};

class TCTabBar : public View {
public:
    using View::View;
    static Ref<TCTabBar> make(const Rect& frame) { return makeRef<TCTabBar>(frame); }

    // In tab order.
    const std::vector<Ref<TCTabBarItem>>& items() const { return items_; }
    // The former items leave the bar; the new ones become its subviews, in order.
    void setItems(std::vector<Ref<TCTabBarItem>> items);

private:
    std::vector<Ref<TCTabBarItem>> items_;
};

}  // namespace lv
