// Storing an application callback in its slot of the session, shared by the
// public setters of every callback.
#pragma once

#include "api/session.h"
#include "common/nx_log.h"

namespace nx {

// Stores a callback of the session (NULL removes it); works on a device whose
// camera is off the bus.
template <typename Callback>
bool set_callback(nivex_device *dev, std::atomic<Callback> Session::*slot, Callback cb,
                  const char *fn, const char *name) {
    ApiCall call(dev);
    if (call.session() == nullptr) {
        log_no_handle(fn);
        return false;
    }
    (call.session()->*slot).store(cb);
    NX_DBG(fn, "[%s] set %s to %p\n", name, reinterpret_cast<void *>(cb));
    return true;
}

}  // namespace nx
