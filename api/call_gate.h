// The public calls working on one session right now, and the session's close.
//
// Every public call on a device enters the gate for its whole duration and
// leaves it at the end; the caller's nivex_device record is written only
// between the two (api_busy among it). Close shuts the gate: from then on
// entering fails, and close waits until the calls of every other thread have
// left before it tears the session down, so nothing is freed under a call.
//
// A close that runs inside a call of its own thread (from a capture
// callback) cannot wait for that call: it does its work and leaves the
// caller's record, if it is to be freed, to the last call that leaves.
// Concurrent closes: the first one closes, the others return once it is done
// (or at once when they, too, run inside a call of the session).
//
// The gate's mutex is a leaf: nothing is called out while it is held.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "nivex.h"

namespace nx {

class CallGate {
  public:
    // Enters a call made on `dev`; false once the gate is shut.
    bool enter(nivex_device *dev);
    // Leaves a call entered on `dev`; may free the record a close left behind.
    void leave(nivex_device *dev);
    // A call blocked in a wait does not count in dev->api_busy (it still
    // counts for close, which wakes it instead of waiting it out).
    void set_blocked(nivex_device *dev, bool blocked);

    // Shuts the gate; true for the one caller that is to do the closing.
    bool shut();
    bool is_shut() const { return shut_.load(); }
    // The calling thread is inside a call on this session.
    bool inside() const;
    // Calls entered and not yet left, of every thread.
    int entered() const;
    // Waits until only the calls of the calling thread are left.
    void wait_for_other_threads();
    // The closing is done: wakes the other closers, and frees `dev` when
    // `free_record` (now, or when the last call of this thread leaves).
    void finish_close(nivex_device *dev, bool free_record);
    // Waits until the closer called finish_close.
    void wait_closed();

  private:
    int own_calls() const;  // calls of the calling thread, under mu_

    mutable std::mutex mu_;
    std::condition_variable cv_;
    int calls_ = 0;    // entered and not yet left
    int blocked_ = 0;  // of those, blocked in a wait
    bool closed_ = false;
    nivex_device *free_at_last_leave_ = nullptr;
    std::atomic<bool> shut_{false};
};

}  // namespace nx
