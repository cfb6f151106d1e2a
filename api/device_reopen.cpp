// The reopen watcher (see device_reopen.h).
#include "api/device_reopen.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "api/capture.h"
#include "api/params.h"
#include "common/byte_order.h"
#include "common/nx_log.h"
#include "ll/ll_ops.h"

namespace nx {

namespace {

constexpr const char *kFn = "reopen_watcher";
constexpr int kMaxListed = 32;

std::atomic<int64_t> g_poll_ms{200};

struct Watched {
    SessionRef session;
    std::vector<UsbPlace> rejected;  // other cameras met on the way, left alone
};

// Leaves the session's gate the watcher entered.
class GateExit {
  public:
    explicit GateExit(Session &session) : session_(session) {}
    ~GateExit() { session_.calls.leave(session_.record); }
    GateExit(const GateExit &) = delete;
    GateExit &operator=(const GateExit &) = delete;

  private:
    Session &session_;
};

UsbPlace place_of(const ll_device &ll) {
    return {ll.usb_bus, ll.usb_port, ll.usb_addr};
}

// Another session holds the camera at `place`: it is not to be touched.
bool held_by_other(const Session &session, const UsbPlace &place) {
    for (const SessionRef &other : live_sessions()) {
        if (other.get() == &session || other->link.off_bus()) continue;
        if (other->link.place() == place) return true;
    }
    return false;
}

// A camera on the bus that may be the one lost.
struct Candidate {
    UsbPlace place;
    uint8_t speed = 0;
};

// The cameras worth opening, the old bus and port first.
std::vector<Candidate> candidates(const Session &session, const std::vector<UsbPlace> &rejected) {
    std::vector<Candidate> out;
    try {
        std::vector<ll_device> entries(kMaxListed);
        const int found = nivex_ll_dev_list(entries.data(), kMaxListed);
        for (int i = 0; i < found; ++i) {
            const ll_device &entry = entries[static_cast<size_t>(i)];
            const UsbPlace place = place_of(entry);
            if (std::find(rejected.begin(), rejected.end(), place) != rejected.end()) continue;
            if (!held_by_other(session, place)) out.push_back({place, entry.usb_speed});
        }
    } catch (const std::exception &) {
        NX_ERR(kFn, "[%s] no memory\n");
        return {};
    }
    const UsbPlace old = session.link.place();
    std::stable_partition(out.begin(), out.end(), [&](const Candidate &candidate) {
        return candidate.place.bus == old.bus && candidate.place.port == old.port;
    });
    return out;
}

// Closes the transport of a camera that left. True when it turns out to be
// there after all (the loss was noticed by a listing that missed it, or a
// USB reset reopened it meanwhile): then nothing is closed.
bool release_dead_transport(Session &session) {
    std::lock_guard commands(session.cmd_mutex);
    if (session.priv == nullptr) return false;
    if (!ll_gone(session) && read_chip_identity(session)) return true;
    // Fetches keep reporting the unplug until the capture runs again.
    if (session.capturing.load() && session.cap.end_with(NIVEX_ERR_CAP_UNKNOWN)) {
        session.cap.wake_all();
    }
    nivex_ll_dev_close(&session);
    NX_DBG(kFn, "[%s] transport of the lost camera closed\n");
    return false;
}

enum class Probe { kSame, kOther, kFailed };

// Opens the camera at `place` into the session and keeps it when it is the
// one lost.
Probe probe(Session &session, const Candidate &candidate, const ChipIdentity &identity) {
    const UsbPlace &place = candidate.place;
    std::lock_guard commands(session.cmd_mutex);
    // Switched off meanwhile (the switch takes the command lock): no camera
    // is opened for the session from then on.
    if (!session.auto_reopen.load()) return Probe::kFailed;
    // The session names the camera where the listing found it.
    session.usb_bus = place.bus;
    session.usb_port = place.port;
    session.usb_addr = place.addr;
    session.usb_speed = candidate.speed;
    session.ident_valid = 1;
    if (nivex_ll_dev_open(&session) == nullptr) return Probe::kFailed;
    const std::optional<ChipIdentity> found = read_chip_identity(session);
    if (found && *found == identity) return Probe::kSame;
    nivex_ll_dev_close(&session);
    if (!found) return Probe::kFailed;
    NX_INF(kFn, "[%s] camera @ bus %d port %d is another one (chip %d wafer %d): left alone\n",
           place.bus, place.port, found->chip_id, found->wafer_id);
    return Probe::kOther;
}

uint32_t replay_params(Session &session) {
    uint32_t refused = 0;
    std::lock_guard commands(session.cmd_mutex);
    for (const ll_param_entry &entry : session.settings.params()) {
        if (nivex_ll_param_set(&session, &entry, 1)) continue;
        ++refused;
        NX_WRN(kFn, "[%s] parameter %d refused after the reopen\n", entry.id);
    }
    return refused;
}

// Without the command lock: a driver's switch may send parameters itself.
uint32_t replay_filters(Session &session) {
    chip_driver *drv = session.drv;
    if (drv == nullptr || drv->ops == nullptr) return 0;
    uint32_t refused = 0;
    for (FilterSwitch change : session.settings.filters()) {
        bool done = false;
        if (change.enabled) {
            done = drv->ops->filter_enable != nullptr &&
                   drv->ops->filter_enable(drv, change.filter_id,
                                           change.has_arg ? &change.arg : nullptr, change.arg_size);
        } else {
            done = drv->ops->filter_disable == nullptr ||
                   drv->ops->filter_disable(drv, change.filter_id);
        }
        if (done) continue;
        ++refused;
        NX_WRN(kFn, "[%s] filter %d switch refused after the reopen\n", change.filter_id);
    }
    return refused;
}

// The record the application holds names the camera where it is now.
void update_record(Session &session) {
    std::lock_guard commands(session.cmd_mutex);
    nivex_device *dev = session.record;
    dev->usb_bus = session.usb_bus;
    dev->usb_port = session.usb_port;
    dev->usb_addr = session.usb_addr;
    dev->usb_speed = session.usb_speed;
    session.link.set_place(place_of(session));
    session.health.set_usb_speed(session.usb_speed);
}

void report_back(Session &session, uint32_t refused, bool restarted) {
    update_record(session);
    const nivex_device_gap gap = session.link.mark_back(refused, restarted);
    NX_INF(kFn, "[%s] camera back @ bus %d port %d after %d ms, %d attempts\n",
           session.record->usb_bus, session.record->usb_port,
           static_cast<int>(gap.usec_off_bus / 1000), static_cast<int>(gap.reopen_attempts));
    session.link.push(NIVEX_DEV_EVENT_BACK, gap);
}

// The camera is open again: its settings and its capture. False when the
// capture could not be restarted (the transport is closed again).
bool resume(Session &session) {
    uint32_t refused = replay_params(session);
    refused += replay_filters(session);
    bool restarted = false;
    {
        std::lock_guard commands(session.cmd_mutex);
        // The fresh transport runs no capture; a stopped one stays stopped.
        if (!session.capture_wanted.load()) session.capturing = 0;
    }
    if (session.capture_wanted.load()) {
        std::lock_guard commands(session.cmd_mutex);
        restarted = cap_restart_locked(session);
        if (!restarted) {
            NX_WRN(kFn, "[%s] capture restart failed after the reopen\n");
            nivex_ll_dev_close(&session);
            return false;
        }
    }
    // A close that began meanwhile closes the transport; no event for it.
    if (!session.calls.is_shut()) report_back(session, refused, restarted);
    return true;
}

// One look for the session's camera. True when the session needs no more
// watching: it is back, being closed, or no longer to be reopened.
bool watch_once(Watched &watched) {
    Session &session = *watched.session;
    if (!session.auto_reopen.load() || !session.calls.enter(session.record)) return true;
    GateExit exit(session);
    if (!session.link.off_bus()) return true;
    if (release_dead_transport(session)) {
        report_back(session, 0, false);
        return true;
    }
    const std::optional<ChipIdentity> identity = session.link.identity();
    if (!identity) return true;
    for (const Candidate &candidate : candidates(session, watched.rejected)) {
        if (session.calls.is_shut()) return true;
        session.link.count_attempt();
        const Probe result = probe(session, candidate, *identity);
        if (result == Probe::kOther) watched.rejected.push_back(candidate.place);
        if (result != Probe::kSame) continue;
        if (resume(session)) return true;
        session.link.push(NIVEX_DEV_EVENT_REOPEN_FAILED, session.link.gap());
        return false;
    }
    return false;
}

class Watcher {
  public:
    ~Watcher() { stop(); }
    void add(const SessionRef &session);
    void stop();

  private:
    void run();
    // Takes back what a round learnt; drops the sessions that are done.
    void merge(const std::vector<Watched> &round, const std::vector<bool> &done);

    std::mutex mu_;  // a leaf: nothing is called out while it is held
    std::condition_variable cv_;
    std::vector<Watched> watched_;
    bool running_ = false;
    bool stop_ = false;
    std::thread thread_;
};

void Watcher::add(const SessionRef &session) {
    std::thread finished;
    {
        std::lock_guard lock(mu_);
        const bool known = std::any_of(watched_.begin(), watched_.end(),
                                       [&](const Watched &w) { return w.session == session; });
        try {
            if (!known) watched_.push_back({session, {}});
            if (running_) return;
            finished = std::move(thread_);
            stop_ = false;
            thread_ = std::thread([this] { run(); });
            running_ = true;
        } catch (const std::exception &) {
            NX_ERR(kFn, "[%s] cannot start the watcher: the camera will not be reopened\n");
        }
    }
    // A thread that ended its last round; it no longer touches anything.
    if (finished.joinable()) finished.join();
}

void Watcher::stop() {
    std::thread running;
    {
        std::lock_guard lock(mu_);
        stop_ = true;
        running = std::move(thread_);
        cv_.notify_all();
    }
    if (running.joinable()) running.join();
    std::lock_guard lock(mu_);
    watched_.clear();
}

void Watcher::merge(const std::vector<Watched> &round, const std::vector<bool> &done) {
    for (size_t i = 0; i < round.size(); ++i) {
        auto it = std::find_if(watched_.begin(), watched_.end(),
                               [&](const Watched &w) { return w.session == round[i].session; });
        if (it == watched_.end()) continue;
        // A camera that left again right after it came back stays watched.
        if (done[i] && !(round[i].session->link.off_bus() && round[i].session->auto_reopen &&
                         !round[i].session->calls.is_shut())) {
            watched_.erase(it);
        } else {
            it->rejected = round[i].rejected;
        }
    }
}

void Watcher::run() {
    std::unique_lock lock(mu_);
    while (!stop_ && !watched_.empty()) {
        std::vector<Watched> round;
        try {
            round = watched_;
        } catch (const std::exception &) {
            watched_.clear();  // nothing can be done without memory; the sessions stay lost
            break;
        }
        lock.unlock();
        std::vector<bool> done(round.size(), false);
        for (size_t i = 0; i < round.size(); ++i)
            done[i] = watch_once(round[i]);
        lock.lock();
        merge(round, done);
        round.clear();
        if (watched_.empty()) break;
        cv_.wait_for(lock, std::chrono::milliseconds(g_poll_ms.load()), [&] { return stop_; });
    }
    running_ = false;
}

Watcher &watcher() {
    static Watcher instance;
    return instance;
}

}  // namespace

std::optional<ChipIdentity> read_chip_identity(Session &session) {
    ll_param_entry entry{};
    entry.id = NIVEX_PARAM_CHIP_INFO;
    entry.len = 6;
    if (!param_get(session, &entry, 1) || entry.len < 6) return std::nullopt;
    return ChipIdentity{load_le16(entry.val + 2), load_le16(entry.val + 4)};
}

void watch_for_return(Session &session) {
    if (SessionRef ref = session_ref(&session)) watcher().add(ref);
}

void stop_reopen_watcher() {
    watcher().stop();
}

void set_reopen_poll_interval(std::chrono::milliseconds interval) {
    g_poll_ms = interval.count();
}

}  // namespace nx
