// Internals of the simulated libusb: the records behind libusb's opaque
// types, and the one lock that guards them together with the simulated bus
// and its cameras.
//
// libusb's rules are kept: a transfer completes only inside event handling,
// on the thread that handles events for its context. Misuse that real libusb
// would turn into a crash or undefined behaviour ends the process with a
// message, so that a host-side bug fails its test at once.
#pragma once

#include <libusb.h>

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_set>
#include <vector>

#include "sim/camera/sim_bus.h"

namespace nxsim::usb {

enum class TransferState : uint8_t {
    Idle,        // never submitted, or its callback has been called
    InFlight,    // submitted, not yet completed
    Ready,       // completed, waiting for event handling to call back
    Delivering,  // taken by event handling, callback about to run
};

// The simulator's part of a transfer, placed in front of the caller's.
struct TransferPriv {
    TransferState state = TransferState::Idle;
    bool hung = false;  // the camera never answers; only a cancellation ends it
    bool cancel_requested = false;
    bool timed_out = false;  // cancelled by its time-out: it ends TIMED_OUT
    bool orphaned = false;   // its handle was closed before the cancellation completed
    bool forgotten = false;  // orphaned, and no longer counted since a reset
    uint32_t stream_id = 0;
    uint32_t cancel_delay_ms = 0;
    int32_t timeout_after = -1;  // the time-out fault: bytes it takes before it times out
    TimePoint deadline = TimePoint::max();    // time-out, TimePoint::max() for none
    TimePoint cancel_due = TimePoint::max();  // when a requested cancellation completes
    libusb_device_handle *handle = nullptr;   // set at submission
};

// One allocation: the simulator's part, then the caller's transfer, then its
// isochronous packet descriptors.
struct TransferBlock {
    TransferPriv priv;
    alignas(libusb_transfer) unsigned char pub[sizeof(libusb_transfer)];
};

TransferPriv &priv_of(libusb_transfer *transfer);
libusb_transfer &pub_of(TransferPriv &priv);

[[noreturn]] void misuse(const char *function, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));

}  // namespace nxsim::usb

struct libusb_device {
    libusb_context *ctx = nullptr;
    std::shared_ptr<nxsim::CameraModel> camera;  // null for a foreign device
    uint16_t vendor_id = 0;
    uint16_t product_id = 0;
    uint8_t bus = 0;
    uint8_t port = 0;
    uint8_t address = 0;
    uint8_t speed = 0;
    uint32_t generation = 0;  // the camera's enumeration this record stands for
    int refs = 0;
};

// The bus moving stream bytes into the queued transfers at the link rate.
struct LinkState {
    bool flowing = false;  // the camera has been sending since `last`
    double credit = 0;     // bytes the link could have moved and has not yet
    nxsim::TimePoint last{};
};

struct libusb_device_handle {
    libusb_device *dev = nullptr;
    int configuration = nxsim::kConfiguration;
    int auto_detach = 0;
    std::vector<nxsim::usb::TransferPriv *> in_flight;  // every submitted transfer
    std::deque<nxsim::usb::TransferPriv *> bulk_queue;  // stream endpoint, in order
    LinkState link;
};

struct libusb_context {
    int log_level = LIBUSB_LOG_LEVEL_NONE;
    std::vector<std::unique_ptr<libusb_device>> devices;
    std::vector<std::unique_ptr<libusb_device_handle>> handles;
    std::deque<nxsim::usb::TransferPriv *> ready;  // completed, callback not yet called
    std::condition_variable wake;
    int handlers = 0;          // threads inside event handling right now
    bool interrupted = false;  // libusb_interrupt_event_handler was called
};

namespace nxsim::usb {

class Core {
  public:
    static Core &get();

    std::mutex mu;
    SimBus bus;

    // Everything below is guarded by mu.
    libusb_context *resolve(libusb_context *ctx) const { return ctx ? ctx : default_ctx; }
    libusb_context *create_context();
    void destroy_context(libusb_context *ctx);
    void require_context(libusb_context *ctx, const char *function) const;
    void require_device(libusb_device *dev, const char *function) const;
    void require_handle(libusb_device_handle *handle, const char *function) const;
    libusb_device *find_or_add_device(libusb_context *ctx, const std::shared_ptr<CameraModel> &cam,
                                      const ForeignDevice *foreign);
    void unref(libusb_device *dev);
    libusb_device_handle *open(libusb_device *dev);
    void close(libusb_device_handle *handle);
    // A handle whose camera left the bus (or came back as a new device).
    static bool stale(const libusb_device_handle *handle);

    void submit_control(TransferPriv &t, TimePoint now);
    void complete(TransferPriv &t, libusb_transfer_status status);
    // Lets the time pass for one context: stream data, time-outs, delayed
    // cancellations, vanished devices.
    void service(libusb_context *ctx, TimePoint now);
    TimePoint next_wake(libusb_context *ctx, TimePoint now) const;
    void notify_all();
    // Orphaned transfers stop counting as allocated and in flight.
    void forget_orphans();

    libusb_context *default_ctx = nullptr;
    int default_ctx_refs = 0;
    int default_log_level = LIBUSB_LOG_LEVEL_NONE;  // for contexts created from now on
    int last_log_level = LIBUSB_LOG_LEVEL_NONE;
    std::vector<std::unique_ptr<libusb_context>> contexts;
    std::unordered_set<const libusb_device *> live_devices;
    std::unordered_set<const libusb_device_handle *> live_handles;
    // Interface owners per camera.
    std::map<const CameraModel *, std::array<libusb_device_handle *, kInterfaceCount>> claims;
    int transfers_allocated = 0;
    int transfers_in_flight = 0;
    std::unordered_set<TransferPriv *> orphans;
    // Event waits still to end at once as if a signal had interrupted them.
    uint32_t event_interrupts = 0;

  private:
    void pump_stream(libusb_device_handle *handle, TimePoint now);
    TimePoint stream_wake(const libusb_device_handle *handle, TimePoint now) const;
    void fail_all(libusb_device_handle *handle, libusb_transfer_status status);
    void expire(libusb_device_handle *handle, TimePoint now);
};

}  // namespace nxsim::usb
