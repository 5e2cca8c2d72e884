// View controllers: the interface-file name and bundle they were made with, a title, a view made on
// first use (no interface files are loaded: the view is a plain view over the screen's bounds, then
// viewDidLoad runs), and the parent/child links of container controllers.
//
// Registered with the runtime as "ViewController", so subclasses registered under their own names
// report them through className().
//
// Threads: main thread only, as the platform's view controllers.
#pragma once

#include <string>
#include <vector>

#include "platform/base/object.h"
#include "platform/storage/bundle.h"
#include "platform/ui/view.h"

namespace lv {

class ClassInfo;

class ViewController : public Object {
public:
    ViewController() : ViewController(std::string(), nullptr) {}
    // initWithNibName:bundle: — no bundle means the main bundle.
    ViewController(std::string nibName, Ref<Bundle> bundle);
    ~ViewController() override;

    static const ClassInfo* runtimeClass();

    const std::string& nibName() const { return nibName_; }
    const Ref<Bundle>& nibBundle() const { return nibBundle_; }

    const std::string& title() const { return title_; }
    void setTitle(std::string title) { title_ = std::move(title); }

    // Made on first use: loadView(), then viewDidLoad().
    const Ref<View>& view();
    bool isViewLoaded() const { return view_ != nullptr; }
    void setView(Ref<View> view) { view_ = std::move(view); }

    // Container links: the parent holds its children strongly, a child its parent weakly.
    Ref<ViewController> parentViewController() const { return parent_.lock(); }
    const std::vector<Ref<ViewController>>& childViewControllers() const { return children_; }
    // Takes the child out of its former parent first.
    void addChildViewController(const Ref<ViewController>& child);
    void removeFromParentViewController();

protected:
    // Makes the view: a plain view over the main screen's bounds.
    virtual void loadView();
    virtual void viewDidLoad() {}

private:
    std::string nibName_;
    Ref<Bundle> nibBundle_;
    std::string title_;
    Ref<View> view_;
    Weak<ViewController> parent_;
    std::vector<Ref<ViewController>> children_;
};

}  // namespace lv
