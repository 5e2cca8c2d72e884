// The screens' way to the Microblog coordinator and the share screen, which live in a layer above
// this one: both are found in the runtime registry by class name ("MicroblogHelper",
// "ShareMusicViewController") and reached through their registered hooks. When a class or hook is
// missing the calls do nothing (one log line) and answer empty values.
//
// Threads: main thread only, as the screens.
#pragma once

#include <memory>
#include <string>

#include "platform/base/object.h"
#include "platform/base/value.h"
#include "screens/microblog_response_delegate.h"

namespace lv {

class ViewController;

class MicroblogByName {
public:
    // The shared coordinator (sharedMicroblogHelper), or null.
    static Ref<Object> sharedHelper();
    // isLoggin of the coordinator's settings object: a non-empty stored token.
    static bool isLoggedIn();
    // setWbDelegate: of the shared coordinator (null clears it).
    static void setDelegate(std::shared_ptr<MicroblogResponseDelegate> delegate);
    // MBLAuthorize of the shared coordinator.
    static void authorize();
    // generateMBLContentURL: for a post id; empty when the coordinator is missing.
    static std::string postLink(const std::string& postID);
    // A new share screen for the text and picture (JPEG), or null.
    static Ref<ViewController> makeShareScreen(const std::string& text, const Bytes& imageJPEG);
};

}  // namespace lv
