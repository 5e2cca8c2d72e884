// What the Microblog coordinator tells the screen that started a login or a post.
//
// Threads: called on the main thread.
#pragma once

#include "platform/base/error.h"
#include "platform/base/object.h"

namespace lv {

class MicroblogResponseDelegate {
public:
    virtual ~MicroblogResponseDelegate() = default;
    // A successful authorisation has been stored; response is the Microblog client's response object.
    virtual void didReceiveMicroblogResponse(const Ref<Object>& response) = 0;
    // The outcome of a post: null on success. Optional: answered only when
    // respondsToDidSendMicroblogPost() is true.
    virtual void didSendMicroblogPost(const Ref<Error>& /*error*/) {}
    virtual bool respondsToDidSendMicroblogPost() const { return false; }
};

}  // namespace lv
