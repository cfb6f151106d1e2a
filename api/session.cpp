// Session registry and the per-call guard.
#include "api/session.h"

#include <unordered_map>

#include "common/nx_log.h"

namespace nx {

namespace {

std::mutex g_registry_mutex;
std::unordered_map<const ll_device *, SessionRef> g_sessions;  // guarded by g_registry_mutex

ll_device *handle_of(const nivex_device *dev) {
    return std::atomic_ref<ll_device *>(const_cast<nivex_device *>(dev)->handle)
        .load(std::memory_order_acquire);
}

}  // namespace

void session_register(const SessionRef &session) {
    std::lock_guard lock(g_registry_mutex);
    g_sessions[session.get()] = session;
}

void session_unregister(const Session *session) {
    std::lock_guard lock(g_registry_mutex);
    g_sessions.erase(session);
}

SessionRef session_of(const nivex_device *dev) {
    if (dev == nullptr) return nullptr;
    const ll_device *handle = handle_of(dev);
    if (handle == nullptr) return nullptr;
    std::lock_guard lock(g_registry_mutex);
    auto it = g_sessions.find(handle);
    return it != g_sessions.end() ? it->second : nullptr;
}

SessionRef session_ref(const Session *session) {
    std::lock_guard lock(g_registry_mutex);
    auto it = g_sessions.find(session);
    return it != g_sessions.end() ? it->second : nullptr;
}

std::vector<SessionRef> live_sessions() {
    std::vector<SessionRef> out;
    std::lock_guard lock(g_registry_mutex);
    try {
        for (const auto &[handle, session] : g_sessions)
            out.push_back(session);
    } catch (const std::exception &) {
        out.clear();
    }
    return out;
}

void log_no_handle(const char *fn) {
    NX_ERR(fn, "[%s]  Device handler Is NULL!\r\n");
}

ApiCall::ApiCall(nivex_device *dev) : dev_(dev), session_(session_of(dev)) {
    entered_ = session_ != nullptr && session_->calls.enter(dev_);
}

ApiCall::~ApiCall() {
    if (entered_) session_->calls.leave(dev_);
}

void ApiCall::set_blocked(bool blocked) {
    if (entered_) session_->calls.set_blocked(dev_, blocked);
}

}  // namespace nx
