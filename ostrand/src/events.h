// The program's event callback (SetEventCallback): backends report what
// happens to their connections here, from any thread; calls are serialized.
#pragma once

#include "ostrand.h"

namespace ostrand {

void set_event_callback(EventCallback callback);
// Hands `event` to the callback, if one is set.
void emit_event(const OstrandEvent& event);

} // namespace ostrand
