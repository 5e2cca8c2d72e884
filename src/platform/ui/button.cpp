#include "platform/ui/button.h"

#include "platform/runtime/runtime.h"

namespace lv {

const ClassInfo* Button::runtimeClass() {
    static const ClassInfo* cls = ClassDef<Button>("Button").registerClass();
    return cls;
}

Ref<Image> Button::lookup(const std::map<ControlState, Ref<Image>>& images, ControlState state) {
    if (auto it = images.find(state); it != images.end()) return it->second;
    if (auto it = images.find(kControlStateNormal); it != images.end()) return it->second;
    return nullptr;
}

void Button::store(std::map<ControlState, Ref<Image>>& images, const Ref<Image>& image, ControlState state) {
    if (image) {
        images[state] = image;
    } else {
        images.erase(state);
    }
}

Ref<Image> Button::imageForState(ControlState state) const { return lookup(images_, state); }
Ref<Image> Button::backgroundImageForState(ControlState state) const { return lookup(backgroundImages_, state); }
void Button::setImage(const Ref<Image>& image, ControlState state) { store(images_, image, state); }
void Button::setBackgroundImage(const Ref<Image>& image, ControlState state) {
    store(backgroundImages_, image, state);
}

}  // namespace lv
