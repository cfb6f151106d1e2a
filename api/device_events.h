// Noticing that a camera left the bus, and handing device events to the
// application's callback.
#pragma once

#include "api/session.h"

namespace nx {

// The transport saw "no device": the camera left. Queues GONE (once per
// loss), wakes the session's waiters and, with automatic reopen, engages the
// watcher. Any thread, the transport's event thread included.
void note_if_gone(Session &session);
// The same for a loss noticed otherwise.
void note_gone(Session &session);
// Hands the queued events to the callback on the calling application thread,
// which holds no library lock; a callback's own calls deliver nothing.
// Returns the number of events taken out.
int deliver_device_events(nivex_device *dev, Session &session);

}  // namespace nx
