// Parameter reads through the transport, shared by the parameter calls, the
// open (identity) and the capture start (frame rate).
#pragma once

#include "api/session.h"
#include "ll/ll_ops.h"

namespace nx {

// Reads `count` transport entries (ids filled in), logging the read. The
// caller holds the session's command lock.
bool param_get(Session &session, ll_param_entry *entries, int count);

}  // namespace nx
