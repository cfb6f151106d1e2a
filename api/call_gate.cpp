// The calls in progress on a session and the session's close.
#include "api/call_gate.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace nx {

namespace {

// The gates the calling thread has entered and not yet left (one entry per
// call; a callback can nest calls on the same session).
thread_local std::vector<const CallGate *> t_entered;

void store_api_busy(nivex_device *dev, bool busy) {
    std::atomic_ref<uint8_t>(dev->api_busy).store(busy ? 1 : 0, std::memory_order_release);
}

}  // namespace

bool CallGate::enter(nivex_device *dev) {
    std::lock_guard lock(mu_);
    if (shut_.load()) return false;
    t_entered.push_back(this);
    ++calls_;
    store_api_busy(dev, true);
    return true;
}

void CallGate::leave(nivex_device *dev) {
    nivex_device *to_free = nullptr;
    {
        std::lock_guard lock(mu_);
        auto it = std::find(t_entered.rbegin(), t_entered.rend(), this);
        if (it != t_entered.rend()) t_entered.erase(std::next(it).base());
        --calls_;
        if (calls_ == blocked_) store_api_busy(dev, false);
        if (calls_ == 0 && free_at_last_leave_ != nullptr) std::swap(to_free, free_at_last_leave_);
        cv_.notify_all();
    }
    // The record was handed to the library for freeing; nothing touches it any more.
    std::free(to_free);
}

void CallGate::set_blocked(nivex_device *dev, bool blocked) {
    std::lock_guard lock(mu_);
    blocked_ += blocked ? 1 : -1;
    store_api_busy(dev, calls_ > blocked_);
}

bool CallGate::shut() {
    std::lock_guard lock(mu_);
    return !shut_.exchange(true);
}

int CallGate::own_calls() const {
    return static_cast<int>(std::count(t_entered.begin(), t_entered.end(), this));
}

bool CallGate::inside() const {
    std::lock_guard lock(mu_);
    return own_calls() > 0;
}

int CallGate::entered() const {
    std::lock_guard lock(mu_);
    return calls_;
}

void CallGate::wait_for_other_threads() {
    std::unique_lock lock(mu_);
    const int own = own_calls();
    cv_.wait(lock, [&] { return calls_ == own; });
}

void CallGate::finish_close(nivex_device *dev, bool free_record) {
    nivex_device *to_free = nullptr;
    {
        std::lock_guard lock(mu_);
        closed_ = true;
        if (free_record) {
            if (calls_ == 0) {
                to_free = dev;
            } else {
                free_at_last_leave_ = dev;
            }
        }
        cv_.notify_all();
    }
    std::free(to_free);
}

void CallGate::wait_closed() {
    std::unique_lock lock(mu_);
    cv_.wait(lock, [&] { return closed_; });
}

}  // namespace nx
