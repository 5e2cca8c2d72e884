// The tab container: a view controller holding a list of view controllers, one tab bar item per
// controller (titled with the controller's title) in its own tab bar.
//
// Threads: main thread only.
#pragma once

#include <vector>

#include "platform/ui/view_controller.h"
#include "widgets/tab_bar.h"

namespace lv {

class TCTabBarController : public ViewController {
public:
    // An empty container with its own tab bar (49 points high, along the bottom of the screen).
    TCTabBarController();
    static Ref<TCTabBarController> make() { return makeRef<TCTabBarController>(); }
    static const ClassInfo* runtimeClass();

    const Ref<TCTabBar>& tabBar() const { return tabBar_; }
    const std::vector<Ref<ViewController>>& viewControllers() const { return viewControllers_; }
    // Takes out the controllers installed before (and their views), keeps a copy of the list, makes
    // one item per controller titled with its title, links each controller to this container and
    // gives the items, in list order, to the bar.
    void setViewControllers(const std::vector<Ref<ViewController>>& controllers);

private:
    Ref<TCTabBar> tabBar_;
    std::vector<Ref<ViewController>> viewControllers_;
};

// The tab container a controller was installed in, or null.
Ref<TCTabBarController> tcTabBarController(const ViewController& controller);

}  // namespace lv
