// An OPC UA server behind the backend seam: one session on the service's UA
// I/O thread (ua/client/loop.h), the registry of groups and items, the browse
// cursor, writes with type coercion, and the server status.
//
// Contract:
// - Calls that need the server wait on a completion of the I/O thread with
//   the limits of UaSettings; they are made without the service lock.
// - AddItem never waits: the id's syntax is checked (NodeId text or a dotted
//   browse path under Objects), and a worker thread of this backend resolves
//   new items in batches: one Read of DataType, ValueRank and
//   UserAccessLevel. An id the server does not know gets one change with
//   VT_EMPTY and quality 0.
// - Groups are registered with their revised rate; subscriptions and
//   monitored items come later on top of this registry.
// - WriteItem reads the item's DataType once, coerces the value with
//   VariantChangeType and writes it; while the connection is down a write
//   fails at once and is never replayed.
// - Destruction joins the worker and asks the I/O thread to close the
//   session without waiting for it.
#pragma once

#include "backend.h"
#include "ua/client/engine.h"

#include <functional>
#include <memory>
#include <string>

namespace ostrand {

namespace ua {
class UaLoop;
}

// A connected backend for `url`, or null when no session could be opened.
// `server` is the service's handle for it; changes go into `sink`.
std::shared_ptr<Backend> connect_ua_backend(std::shared_ptr<ua::UaLoop> loop, const std::string& url,
                                            int32_t server, ChangeSink& sink, const ua::UaSettings& settings);
// The same, giving up early once `cancelled` holds (checked every 50 ms);
// *why says what failed.
std::shared_ptr<Backend> connect_ua_backend(std::shared_ptr<ua::UaLoop> loop, const std::string& url,
                                            int32_t server, ChangeSink& sink, const ua::UaSettings& settings,
                                            const std::function<bool()>& cancelled, ua::StatusCode* why);

} // namespace ostrand
