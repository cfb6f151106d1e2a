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

void session_unregister(const nx_session *session) {
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

void set_api_busy(nivex_device *dev, bool busy) {
    std::atomic_ref<uint8_t>(dev->api_busy).store(busy ? 1 : 0, std::memory_order_release);
}

bool api_busy(const nivex_device *dev) {
    return std::atomic_ref<uint8_t>(const_cast<nivex_device *>(dev)->api_busy)
               .load(std::memory_order_acquire) != 0;
}

void log_no_handle(const char *fn) {
    NX_ERR(fn, "[%s]  Device handler Is NULL!\r\n");
}

ApiCall::ApiCall(nivex_device *dev) : dev_(dev), session_(session_of(dev)) {
    resume();
}

ApiCall::~ApiCall() {
    suspend();
}

bool ApiCall::open() const {
    return session_ != nullptr && session_->opened.load() != 0 && !session_->closing.load();
}

void ApiCall::suspend() {
    if (!busy_ || session_ == nullptr) return;
    busy_ = false;
    if (session_->busy_calls.fetch_sub(1) == 1) set_api_busy(dev_, false);
}

void ApiCall::resume() {
    if (busy_ || session_ == nullptr) return;
    busy_ = true;
    session_->busy_calls.fetch_add(1);
    set_api_busy(dev_, true);
}

}  // namespace nx
