// Views that follow one HTTP request operation: an activity indicator that spins while it runs, a
// refresh control that refreshes while it runs, a progress view that follows its upload or download
// progress, and an alert that shows its error when it finishes. They listen to the operation's start
// and finish notifications ("com.httpclient.networking.operation.start" / ".finish") and chain onto
// its progress blocks.
//
// Threads: bind from any thread (the state set at binding time is set on the caller's thread, so bind
// on the main thread); every later change to a view, and every alert, happens on the main thread.
#pragma once

#include <string>
#include <vector>

#include "http/url_connection_operation.h"
#include "platform/ui/activity_indicator_view.h"
#include "platform/ui/alert_view.h"
#include "platform/ui/progress_view.h"
#include "platform/ui/refresh_control.h"

namespace lv {

class ActivityIndicatorViewHCNetworking {
public:
    // The view follows the operation (and no other): animating while it executes. A nil or finished
    // operation only ends following the earlier one. Otherwise the view starts animating at once when
    // the operation executes, else stops, and from then on starts and stops with it.
    static void setAnimatingWithStateOfOperation(const Ref<ActivityIndicatorView>& view,
                                                 const Ref<HCURLConnectionOperation>& operation);
};

class RefreshControlHCNetworking {
public:
    // As the activity indicator's binding, with beginRefreshing and endRefreshing.
    static void setRefreshingWithStateOfOperation(const Ref<RefreshControl>& control,
                                                  const Ref<HCURLConnectionOperation>& operation);
};

class ProgressViewHCNetworking {
public:
    // Chains onto the operation's upload (download) progress block: the earlier block still runs
    // first, then, when the expected total is above 0, the view (held weakly) shows sent / expected on
    // the main queue with the animation flag given here.
    static void setProgressWithUploadProgressOfOperation(const Ref<ProgressView>& view,
                                                         const Ref<HCURLConnectionOperation>& operation, bool animated);
    static void setProgressWithDownloadProgressOfOperation(const Ref<ProgressView>& view,
                                                           const Ref<HCURLConnectionOperation>& operation,
                                                           bool animated);
    // Flags kept on the view (false until set); the two methods above do not read them.
    static bool hc_uploadProgressAnimated(const ProgressView& view);
    static void hc_setUploadProgressAnimated(ProgressView& view, bool animated);
    static bool hc_downloadProgressAnimated(const ProgressView& view);
    static void hc_setDownloadProgressAnimated(ProgressView& view, bool animated);
};

class AlertViewHCNetworking {
public:
    // With the cancel title "Dismiss" (localized) and no other buttons.
    static void showAlertViewForRequestOperationWithErrorOnCompletion(const Ref<HCURLConnectionOperation>& operation,
                                                                      const Weak<AlertViewDelegate>& delegate);
    // Once the operation has finished, shows an alert of its error (none when it has no error). An
    // operation that has finished already is judged at once. Either way nothing keeps listening
    // afterwards. A nil operation shows nothing.
    //
    // Texts: an error with a description and a recovery suggestion or failure reason has the
    // description as title and the suggestion (else the reason) as message; otherwise the title is
    // "Error" and the message the description, else "%@ Error: %ld" with the domain and code. The
    // texts come from the main bundle's "HCNetworking" table (the key itself when absent).
    static void showAlertViewForRequestOperationWithErrorOnCompletion(const Ref<HCURLConnectionOperation>& operation,
                                                                      const Weak<AlertViewDelegate>& delegate,
                                                                      const std::string& cancelButtonTitle,
                                                                      const std::vector<std::string>& otherButtonTitles);
};

}  // namespace lv
