// Device listing, opening, closing and resetting.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <unordered_map>
#include <vector>

#include "api/capture.h"
#include "api/params.h"
#include "api/session.h"
#include "common/nx_log.h"
#include "ll/ll_ops.h"
#include "sensorlib/data_file.h"

using nx::Session;
using nx::SessionRef;

namespace {

// Every step of an open, a close and so on logs under the public call's name.
constexpr const char *kOpenFn = "nivex_dev_open";
constexpr const char *kCloseFn = "nivex_dev_close";
constexpr const char *kListFn = "nivex_dev_list";
constexpr const char *kResetFn = "nivex_dev_reset";

constexpr uint32_t kOpenFrames = 10;
constexpr uint32_t kMaxResetTarget = 8;

nivex_device g_default_device;

void store_handle(nivex_device *dev, ll_device *handle) {
    std::atomic_ref<ll_device *>(dev->handle).store(handle, std::memory_order_release);
}

void copy_identity(nivex_device &dev, const ll_device &ll) {
    std::memcpy(nx::ident_block(dev), &ll.dev_fd, nx::kIdentBlockSize);
    dev.ident_valid = ll.ident_valid;
}

void copy_identity(ll_device &ll, const nivex_device &dev) {
    std::memcpy(nx::ident_block(ll), &dev.dev_fd, nx::kIdentBlockSize);
    ll.ident_valid = dev.ident_valid;
}

// Undoes a failed open; the caller's record may be freed as it asked.
nivex_device *fail_open(nivex_device *dev, const SessionRef &session) {
    session->opened = 0;
    nx::session_unregister(session.get());
    store_handle(dev, nullptr);
    if (dev->free_on_close) std::free(dev);
    return nullptr;
}

// A value area holds at most 18 characters, so the text is always terminated.
void copy_text(char (&field)[32], const ll_param_entry &entry) {
    size_t len = strnlen(reinterpret_cast<const char *>(entry.val), sizeof entry.val);
    std::memcpy(field, entry.val, len);
    field[len] = '\0';
}

template <size_t N>
void copy_raw(uint8_t (&field)[N], const ll_param_entry &entry) {
    size_t len = std::min<size_t>({entry.len, sizeof entry.val, N});
    std::memcpy(field, entry.val, len);
}

bool read_identity(nivex_device *dev, Session &session) {
    std::array<ll_param_entry, 4> entries{};
    const uint8_t ids[] = {NIVEX_PARAM_INFO_STR, NIVEX_PARAM_PRODUCT_STR, NIVEX_PARAM_ID_DATA,
                           NIVEX_PARAM_INFO_DATA};
    for (size_t i = 0; i < entries.size(); ++i)
        entries[i].id = ids[i];
    if (!nx::param_get(session, entries.data(), static_cast<int>(entries.size()))) return false;
    copy_text(dev->info_str, entries[0]);
    copy_text(dev->product, entries[1]);
    copy_raw(dev->id_data, entries[2]);
    copy_raw(dev->info_data, entries[3]);
    return true;
}

// Parser and driver of a session whose transport is open; false after logging.
bool start_session(nivex_device *dev, Session &session) {
    const chip_driver *row = nivex_drv_find(dev);
    if (row == nullptr) {
        NX_ERR(kOpenFn, "[%s] cannot find driver for device: product=%s\n", dev->product);
        return false;
    }
    if (row->ops == nullptr || row->ops->init == nullptr) {
        NX_ERR(kOpenFn, "[%s] driver not available for device: product=%s\n", dev->product);
        return false;
    }
    session.drv_instance = {row->desc, row->product_code, row->ops, nullptr, nullptr};
    session.drv = &session.drv_instance;
    nx_stream_cfg cfg{kOpenFrames};
    session.stream.reset(nx_stream_create(&cfg));
    if (!session.stream) {
        NX_ERR(kOpenFn, "[%s] nx_stream_create failed\n");
        return false;
    }
    return true;
}

void bind_driver(nivex_device *dev, Session &session) {
    chip_driver *drv = session.drv;
    drv->ops->init(drv, dev);
    if (drv->ops->calib_load != nullptr && drv->ops->calib_load(drv, 0, 0, 2) < 0) {
        NX_ERR(kOpenFn, "[%s] Load calibration data failed\n");
    }
}

// A session for `dev`, not yet registered: calls made on the record while it
// opens find no session and are refused.
SessionRef new_session(nivex_device *dev) {
    SessionRef session;
    try {
        session = std::make_shared<Session>();
    } catch (const std::exception &) {
        NX_ERR(kOpenFn, "[%s] malloc failed\n");
        return nullptr;
    }
    copy_identity(*session, *dev);
    store_handle(dev, session.get());
    return session;
}

// Serialises the opens of one caller record (and of the default device):
// two threads opening the same record must not both build a session in it.
// One mutex per record in use, created on demand and dropped when unused.
class RecordLock {
  public:
    explicit RecordLock(const nivex_device *dev) : dev_(dev) {
        std::unique_lock table(table_mutex());
        Entry &entry = records()[dev_];
        ++entry.users;
        table.unlock();
        entry.mutex.lock();
        entry_ = &entry;
    }
    ~RecordLock() {
        entry_->mutex.unlock();
        std::lock_guard table(table_mutex());
        if (--entry_->users == 0) records().erase(dev_);
    }
    RecordLock(const RecordLock &) = delete;
    RecordLock &operator=(const RecordLock &) = delete;

  private:
    struct Entry {
        std::mutex mutex;
        int users = 0;  // guarded by table_mutex()
    };
    static std::mutex &table_mutex() {
        static std::mutex mutex;
        return mutex;
    }
    // Node-based: an entry stays where it is while others come and go.
    static std::unordered_map<const nivex_device *, Entry> &records() {
        static std::unordered_map<const nivex_device *, Entry> table;
        return table;
    }

    const nivex_device *dev_;
    Entry *entry_ = nullptr;
};

// Stops the capture and closes the transport; the caller holds no call on
// the session but may be inside one of its own (a callback).
void shut_down_transport(Session &session) {
    if (session.capturing.load()) {
        std::lock_guard commands(session.cmd_mutex);
        nx::cap_stop_running(session);
        if (session.capturing.load()) NX_ERR(kCloseFn, "[%s] stop capture failed!\n");
    }
    std::lock_guard commands(session.cmd_mutex);
    nivex_ll_dev_close(&session);
    session.opened = 0;
}

// Everything of nivex_dev_close. The first closer of a session does the
// work; a concurrent one returns once it is done (at once when it runs inside
// a call of the session, which the first closer is waiting for).
void close_session(nivex_device *dev, const SessionRef &session, bool free_record) {
    if (!session->calls.shut()) {
        if (!session->calls.inside()) session->calls.wait_closed();
        return;
    }
    // New calls are refused from here on; running commands fail at their
    // next exchange and blocked fetches wake up, so the calls of other
    // threads leave soon.
    ll_set_cmd_abort(*session, true);
    session->cap.wake_all();
    session->link.wake();
    session->calls.wait_for_other_threads();
    ll_set_cmd_abort(*session, false);
    shut_down_transport(*session);
    if (session->drv != nullptr && session->drv->ops->uninit != nullptr) {
        session->drv->ops->uninit(session->drv);
    }
    nx::sensor::set_device_data_folder(dev, "");
    {  // a recording in progress ends with the session
        std::lock_guard recording(session->rec_mutex);
        session->recorder.reset();
    }
    nx::session_unregister(session.get());
    store_handle(dev, nullptr);
    session->calls.finish_close(dev, free_record);
}

// Opens the record on the camera's transport, or on `preset` (whose session
// record `priv` is handed over whatever becomes of the open).
nivex_device *open_record(nivex_device *dev, const ll_ops *preset = nullptr, void *priv = nullptr) {
    if (SessionRef stale = nx::session_of(dev)) {
        NX_WRN(kOpenFn, "[%s] device not close correctly. close it..\n");
        close_session(dev, stale, false);
    }
    store_handle(dev, nullptr);
    SessionRef session = new_session(dev);
    if (!session) {
        ll_device orphan;
        orphan.priv = priv;
        if (preset != nullptr) preset->dev_close(&orphan);
        return nullptr;
    }
    if (preset != nullptr) {
        session->ops = preset;
        session->priv = priv;
    }
    NX_DBG(kOpenFn, "[%s] open nivex device @ %p\n", static_cast<void *>(dev));
    std::unique_lock commands(session->cmd_mutex);
    if (nivex_ll_dev_open(session.get()) == nullptr) {
        NX_ERR(kOpenFn, "[%s] open device failed!\n");
        return fail_open(dev, session);
    }
    copy_identity(*dev, *session);
    session->health.set_usb_speed(session->usb_speed);
    dev->data_path = nivex_path_get();
    session->opened = 1;
    bool started = read_identity(dev, *session);
    if (!started) NX_WRN(kOpenFn, "[%s]  cannot get info of device\n");
    if (!started || !start_session(dev, *session)) {
        nivex_ll_dev_close(session.get());
        return fail_open(dev, session);
    }
    commands.unlock();
    session->capturing = 0;
    session->record = dev;
    session->link.set_place({session->usb_bus, session->usb_port, session->usb_addr});
    std::atomic_ref<uint8_t>(dev->api_busy).store(0);
    try {
        nx::session_register(session);
    } catch (const std::exception &) {
        NX_ERR(kOpenFn, "[%s] malloc failed\n");
        nivex_ll_dev_close(session.get());
        return fail_open(dev, session);
    }
    bind_driver(dev, *session);
    return dev;
}

}  // namespace

nivex_device *nx::open_on_transport(nivex_device *dev, const ll_ops *ops, void *priv) {
    RecordLock record(dev);
    return open_record(dev, ops, priv);
}

extern "C" {

int nivex_dev_list(nivex_device *dev_list, int dev_list_num) {
    if (dev_list == nullptr || dev_list_num <= 0) {
        NX_ERR(kListFn, "[%s]   wrong params: dev_list=%p, dev_list_num=%d \n",
               static_cast<void *>(dev_list), dev_list_num);
        return 0;
    }
    std::vector<ll_device> entries;
    try {
        entries.resize(static_cast<size_t>(dev_list_num));
    } catch (const std::exception &) {
        NX_ERR(kListFn, "[%s] malloc failed\n");
        return 0;
    }
    std::memset(dev_list, 0, sizeof(nivex_device) * static_cast<size_t>(dev_list_num));
    int found = nivex_ll_dev_list(entries.data(), dev_list_num);
    for (int i = 0; i < found; ++i)
        copy_identity(dev_list[i], entries[i]);
    return found;
}

nivex_device *nivex_dev_open(nivex_device *dev) {
    if (dev != nullptr) {
        RecordLock record(dev);
        return open_record(dev);
    }
    // One default session at a time: the check and the open are one step.
    RecordLock record(&g_default_device);
    if (std::atomic_ref<ll_device *>(g_default_device.handle).load() != nullptr) {
        NX_ERR(kOpenFn, "[%s] default device may not close properly!");
        return nullptr;
    }
    g_default_device = nivex_device{};
    return open_record(&g_default_device);
}

void nivex_dev_close(nivex_device *dev) {
    NX_DBG(kCloseFn, "[%s] close nivex device @ %p\n", static_cast<void *>(dev));
    SessionRef session = nx::session_of(dev);
    if (!session) return;
    close_session(dev, session, dev->free_on_close != 0);
}

bool nivex_dev_reset(nivex_device *dev, uint32_t target) {
    NX_DBG(kResetFn, "[%s] rest device (target=%d)\n", static_cast<int>(target));
    nx::ApiCall call(dev);
    if (!call.open()) {
        nx::log_no_handle(kResetFn);
        return false;
    }
    if (target > kMaxResetTarget) {
        NX_ERR(kResetFn, "[%s] wrong reset target: %d\n", static_cast<int>(target));
        return false;
    }
    std::lock_guard commands(call.session()->cmd_mutex);
    return nivex_ll_dev_reset(call.session(), target);
}

chip_driver *nivex_dev_get_drv(nivex_device *dev) {
    SessionRef session = nx::session_of(dev);
    return session ? session->drv : nullptr;
}

nivex_device *nivex_dev_open_by_fd(int /*fd*/) {
    NX_ERR("nivex_dev_open_by_fd",
           "[%s] nivex_dev_open_by_fd currently only support in android!\n");
    return nullptr;
}

}  // extern "C"
