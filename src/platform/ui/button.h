// Button: a view that keeps an image and a background image per control state (normal, highlighted,
// disabled, selected and their combinations). Headless: nothing is drawn; the button keeps what it is
// given. Registered with the runtime as "Button" (per-class storage of loaders).
//
// Threads: main thread only, as every view.
#pragma once

#include <map>

#include "platform/ui/image.h"
#include "platform/ui/view.h"

namespace lv {

class ClassInfo;

// A control state: a bit set (0 is normal).
using ControlState = unsigned;
inline constexpr ControlState kControlStateNormal = 0;
inline constexpr ControlState kControlStateHighlighted = 1;
inline constexpr ControlState kControlStateDisabled = 2;
inline constexpr ControlState kControlStateSelected = 4;

class Button : public View {
public:
    Button() = default;
    explicit Button(const Rect& frame) : View(frame) {}
    static Ref<Button> make(const Rect& frame = {}) { return makeRef<Button>(frame); }
    // The runtime's class, registered on first use.
    static const ClassInfo* runtimeClass();

    // The image set for exactly that state, else the normal state's (null when neither is set).
    Ref<Image> imageForState(ControlState state) const;
    Ref<Image> backgroundImageForState(ControlState state) const;
    // setImage:forState: / setBackgroundImage:forState: — null clears the state's entry.
    virtual void setImage(const Ref<Image>& image, ControlState state);
    virtual void setBackgroundImage(const Ref<Image>& image, ControlState state);

private:
    static Ref<Image> lookup(const std::map<ControlState, Ref<Image>>& images, ControlState state);
    static void store(std::map<ControlState, Ref<Image>>& images, const Ref<Image>& image, ControlState state);

    std::map<ControlState, Ref<Image>> images_;
    std::map<ControlState, Ref<Image>> backgroundImages_;
};

}  // namespace lv
