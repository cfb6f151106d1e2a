// The public data-transfer calls: firmware and data download, data upload,
// and their progress callback. Each runs the procedure on the caller's
// thread with the device's command lock held around every exchange group.
#include "api/data_channel.h"
#include "api/data_link.h"
#include "api/session.h"
#include "common/nx_log.h"

namespace {

// The transfer shares the USB connection with a capture's stream, and the
// camera serves one or the other: a running capture must be stopped first.
bool capture_running(const char *fn, nivex_device *dev) {
    if (!nivex_cap_is_ongoing(dev)) return false;
    NX_ERR(fn, "[%s] capture is running: stop it before a data transfer\n");
    return true;
}

// Binds a transfer to the session the call holds.
nx::data::DataLink device_link(nx::ApiCall &call, nivex_device *dev) {
    nx::data::DataLink link(call.session());
    link.set_command_lock(&call.session()->cmd_mutex);
    nx::Session *own = call.session();
    link.set_cancelled([own] { return own->calls.is_shut(); });
    if (nivex_cb_progress cb = own->on_progress.load(); cb != nullptr) {
        link.set_progress([cb, dev](uint32_t done, uint32_t total) { cb(dev, done, total); });
    }
    // Not busy during a closing wait; a close ends the wait early.
    link.set_wait_guards([&call] { call.set_blocked(true); }, [&call] { call.set_blocked(false); });
    return link;
}

int download(const char *fn, nivex_device *dev, uint32_t type, uint32_t version,
             const char *file_name) {
    nx::ApiCall call(dev);
    if (!call.open()) {
        NX_DBG(fn, "[%s] Wrong params\n");
        return -1;
    }
    if (capture_running(fn, dev)) return -1;
    return nx::data::download(device_link(call, dev), static_cast<uint8_t>(type & 0xFF),
                              static_cast<uint16_t>(version & 0xFFFF), file_name);
}

}  // namespace

extern "C" {

int nivex_firmware_upgrade(nivex_device *dev, uint32_t type, uint32_t version,
                           const char *file_name) {
    return download("nivex_firmware_upgrade", dev, type, version, file_name);
}

int nivex_data_download(nivex_device *dev, const char *file_name, uint32_t type, uint32_t version,
                        uint32_t /*addr*/) {
    return download("nivex_data_download", dev, type, version, file_name);
}

int nivex_data_upload(nivex_device *dev, uint32_t type, const char *file_name) {
    constexpr const char *kFn = "nivex_data_upload";
    nx::ApiCall call(dev);
    if (!call.open()) {
        NX_DBG(kFn, "[%s] Wrong params\n");
        return -1;
    }
    if (capture_running(kFn, dev)) return -1;
    return nx::data::upload(device_link(call, dev), type, file_name);
}

bool nivex_data_set_callback_on_progress(nivex_device *dev, nivex_cb_progress cb) {
    constexpr const char *kFn = "nivex_data_set_callback_on_progress";
    nx::ApiCall call(dev);
    if (!call.open()) {
        nx::log_no_handle(kFn);
        return false;
    }
    call.session()->on_progress.store(cb);
    return true;
}

}  // extern "C"
