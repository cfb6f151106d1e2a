// Event handling: the only place where transfers complete.
#include <sys/time.h>
#include <atomic>
#include <optional>

#include "sim/libusb/sim_core.h"

using nxsim::Clock;
using nxsim::TimePoint;
using nxsim::usb::Core;
using nxsim::usb::TransferPriv;
using nxsim::usb::TransferState;

namespace {

// The completed flag is written by other threads without telling libusb, so
// a waiting handler looks at it this often.
constexpr auto kCompletedPoll = std::chrono::milliseconds(2);
// libusb_handle_events and libusb_handle_events_completed wait this long.
constexpr timeval kDefaultTimeout = {60, 0};

bool flag_set(int *completed) {
    return completed && std::atomic_ref<int>(*completed).load(std::memory_order_acquire) != 0;
}

void deliver(std::vector<TransferPriv *> &batch) {
    Core &core = Core::get();
    for (TransferPriv *t : batch) {
        libusb_transfer_cb_fn callback;
        {
            std::lock_guard lock(core.mu);
            t->state = TransferState::Idle;
            --core.transfers_in_flight;
            callback = nxsim::usb::pub_of(*t).callback;
        }
        // From here the transfer is the caller's again: the callback may
        // resubmit or free it.
        if (callback) callback(&nxsim::usb::pub_of(*t));
    }
}

int handle_events(libusb_context *ctx, const timeval *tv, int *completed, const char *function) {
    if (!tv || tv->tv_sec < 0 || tv->tv_usec < 0 || tv->tv_usec >= 1000000)
        return LIBUSB_ERROR_INVALID_PARAM;
    Core &core = Core::get();
    std::unique_lock lock(core.mu);
    ctx = core.resolve(ctx);
    core.require_context(ctx, function);
    struct Inside {
        libusb_context *ctx;
        explicit Inside(libusb_context *c) : ctx(c) { ++ctx->handlers; }
        ~Inside() { --ctx->handlers; }  // runs while the lock is held
        Inside(const Inside &) = delete;
        Inside &operator=(const Inside &) = delete;
    };
    const TimePoint deadline =
        Clock::now() + std::chrono::seconds(tv->tv_sec) + std::chrono::microseconds(tv->tv_usec);
    if (core.event_interrupts > 0) {
        --core.event_interrupts;
        return LIBUSB_ERROR_INTERRUPTED;
    }
    std::optional<Inside> inside(std::in_place, ctx);
    for (;;) {
        if (flag_set(completed)) return LIBUSB_SUCCESS;
        const TimePoint now = Clock::now();
        core.service(ctx, now);
        if (!ctx->ready.empty()) {
            std::vector<TransferPriv *> batch(ctx->ready.begin(), ctx->ready.end());
            ctx->ready.clear();
            for (TransferPriv *t : batch)
                t->state = TransferState::Delivering;
            inside.reset();
            lock.unlock();
            deliver(batch);
            return LIBUSB_SUCCESS;
        }
        if (ctx->interrupted) {
            ctx->interrupted = false;
            return LIBUSB_SUCCESS;
        }
        if (now >= deadline) return LIBUSB_SUCCESS;
        TimePoint wake = std::min(deadline, core.next_wake(ctx, now));
        if (completed) wake = std::min(wake, now + kCompletedPoll);
        ctx->wake.wait_until(lock, wake);
    }
}

}  // namespace

extern "C" {

int LIBUSB_CALL libusb_handle_events_timeout_completed(libusb_context *ctx, struct timeval *tv,
                                                       int *completed) {
    return handle_events(ctx, tv, completed, "libusb_handle_events_timeout_completed");
}

int LIBUSB_CALL libusb_handle_events_timeout(libusb_context *ctx, struct timeval *tv) {
    return handle_events(ctx, tv, nullptr, "libusb_handle_events_timeout");
}

int LIBUSB_CALL libusb_handle_events(libusb_context *ctx) {
    return handle_events(ctx, &kDefaultTimeout, nullptr, "libusb_handle_events");
}

int LIBUSB_CALL libusb_handle_events_completed(libusb_context *ctx, int *completed) {
    return handle_events(ctx, &kDefaultTimeout, completed, "libusb_handle_events_completed");
}

// Makes the thread that handles events return soon, or the next one that
// starts to, even with nothing to do.
void LIBUSB_CALL libusb_interrupt_event_handler(libusb_context *ctx) {
    Core &core = Core::get();
    std::lock_guard lock(core.mu);
    ctx = core.resolve(ctx);
    core.require_context(ctx, "libusb_interrupt_event_handler");
    ctx->interrupted = true;
    ctx->wake.notify_all();
}

}  // extern "C"
