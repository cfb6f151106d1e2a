// The progress callbacks of data transfers, one per open session. Kept
// beside the session rather than in it, and forgotten with it.
#pragma once

#include "api/session.h"
#include "nivex.h"

namespace nx::data {

// Sets (or, with NULL, clears) the session's callback; false when there is
// no memory to keep it.
bool set_progress_callback(const SessionRef &session, nivex_cb_progress cb);
// The session's callback; NULL when none is set.
nivex_cb_progress progress_callback(const SessionRef &session);

}  // namespace nx::data
