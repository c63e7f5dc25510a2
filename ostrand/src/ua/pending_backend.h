// A connection to an OPC UA server that has not answered yet: the handle is
// the program's at once, and a thread of this backend tries to connect with
// the reconnect schedule (ua/client/reconnect.h) until it succeeds or the
// backend goes.
//
// Contract:
// - Groups, items and the delivery flag given meanwhile are kept and handed
//   to the connected backend, under the same handles, as soon as there is
//   one; from then on every call goes to it.
// - Nothing waits on the network while there is no connected backend:
//   writes fail, browsing finds nothing, status answers state 2 and
//   "waiting for <server>: <reason>".
// - Each failed attempt is reported as OSTRAND_EVENT_WAITING.
// - Destruction stops the attempts (an attempt under way sees `cancelled`)
//   and joins the thread.
#pragma once

#include "backend.h"
#include "ua/client/engine.h"

#include <functional>
#include <memory>
#include <string>

namespace ostrand {

struct UaAttempt {
    std::shared_ptr<Backend> backend; // null when the attempt failed
    ua::StatusCode status = 0;        // why it failed
    std::string reason;               // the operator's explanation; the status name when empty
    std::string url;                  // the endpoint tried last, may be empty
};
using UaAttemptFn = std::function<UaAttempt(const std::function<bool()>& cancelled)>;

// `server`: the service's handle, for the events; `name`: the server as the
// program named it.
std::shared_ptr<Backend> connect_ua_backend_later(int32_t server, std::string name, UaAttemptFn attempt,
                                                  const ua::UaSettings& settings);

} // namespace ostrand
