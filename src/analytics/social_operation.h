// One social-analytics request as an operation: a POST with the body when there is one, else a GET,
// 10 s time-out, the shared URL cache switched off. The status code is kept but not judged; the
// delegate hears the received bytes, or the error. A reply body past kMaxReplyBytes is an error
// (-1103, "resource exceeds maximum size"), refused as it arrives.
// Thread rule: queue the operation on an operation queue; the delegate is called on the operation's
// thread, once.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/base/error.h"
#include "platform/base/value.h"
#include "platform/dispatch/operation.h"

namespace lv {

class TallySocialOperation;

class TallySocialOperationDelegate {
public:
    virtual ~TallySocialOperationDelegate() = default;
    // The bytes and no error when the request completed (whatever its status), or no bytes and the
    // error when it failed.
    virtual void TallyOperate_Finish(TallySocialOperation& operation, std::optional<Bytes> data, Ref<Error> error) = 0;
};

class TallySocialOperation : public Operation {
public:
    static constexpr double kTimeoutSeconds = 10;
    // The service answers with a small JSON object; anything near this many bytes (decoded, when sent
    // compressed) is not its reply, and an endless or hostile reply cannot make the process hold more.
    static constexpr std::int64_t kMaxReplyBytes = 1 << 20;

    TallySocialOperation(std::string url, std::optional<Bytes> postBody,
                         std::weak_ptr<TallySocialOperationDelegate> delegate);

    void main() override;

    const std::string& url() const { return url_; }
    // The reply's status code once it has come; 0 before.
    int statusCode() const { return statusCode_.load(); }

private:
    const std::string url_;
    const std::optional<Bytes> postBody_;
    const std::weak_ptr<TallySocialOperationDelegate> delegate_;
    std::atomic<int> statusCode_{0};
};

}  // namespace lv
