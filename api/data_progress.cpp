#include "api/data_progress.h"

#include <algorithm>
#include <mutex>
#include <new>
#include <vector>

namespace nx::data {

namespace {

struct Entry {
    // A weak reference keeps the session's control block, so a new session
    // can never be taken for an old one that happened to share its address.
    std::weak_ptr<nx_session> session;
    nivex_cb_progress cb;
};

std::mutex g_mutex;
std::vector<Entry> g_entries;  // guarded by g_mutex

bool same(const std::weak_ptr<nx_session> &a, const SessionRef &b) {
    return !a.owner_before(b) && !b.owner_before(a);
}

}  // namespace

bool set_progress_callback(const SessionRef &session, nivex_cb_progress cb) {
    std::lock_guard lock(g_mutex);
    std::erase_if(g_entries,
                  [&](const Entry &e) { return e.session.expired() || same(e.session, session); });
    if (cb == nullptr) return true;
    try {
        g_entries.push_back({session, cb});
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}

nivex_cb_progress progress_callback(const SessionRef &session) {
    std::lock_guard lock(g_mutex);
    auto it = std::find_if(g_entries.begin(), g_entries.end(),
                           [&](const Entry &e) { return same(e.session, session); });
    return it != g_entries.end() ? it->cb : nullptr;
}

}  // namespace nx::data
