#include "widgets/tab_bar.h"

namespace lv {

void TCTabBarItem::setFinishedSelectedImage(const Ref<Image>& selected, const Ref<Image>& unselected) {
    if (selected && selected != selectedImage_) selectedImage_ = selected;
    if (unselected && unselected != unselectedImage_) unselectedImage_ = unselected;
}

void TCTabBar::setItems(std::vector<Ref<TCTabBarItem>> items) {
    for (const auto& item : items_) item->removeFromSuperview();
    items_ = std::move(items);
    for (const auto& item : items_) addSubview(item);
}

}  // namespace lv
