// The application window: a view that holds the root view controller's view, hidden until it is made
// key and visible.
//
// Threads: main thread only.
#pragma once

#include "platform/ui/view.h"
#include "platform/ui/view_controller.h"

namespace lv {

class Window : public View {
public:
    explicit Window(const Rect& frame);
    static Ref<Window> make(const Rect& frame) { return makeRef<Window>(frame); }

    const Ref<ViewController>& rootViewController() const { return rootViewController_; }
    // Replaces the window's content by the controller's view, sized to the window's bounds.
    void setRootViewController(Ref<ViewController> controller);

    // Shows the window and makes it the application's key window.
    void makeKeyAndVisible();
    bool isKeyWindow() const;

private:
    Ref<ViewController> rootViewController_;
};

}  // namespace lv
