#include "sim/libusb/sim_core.h"

#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace nxsim::usb {
namespace {

// Shortest sleep while the link moves bytes: keeps rounding from spinning.
constexpr std::chrono::nanoseconds kMinLinkWait = std::chrono::microseconds(20);

}  // namespace

TransferPriv &priv_of(libusb_transfer *transfer) {
    auto *bytes = reinterpret_cast<std::byte *>(transfer) - offsetof(TransferBlock, pub);
    return reinterpret_cast<TransferBlock *>(bytes)->priv;
}

libusb_transfer &pub_of(TransferPriv &priv) {
    static_assert(offsetof(TransferBlock, priv) == 0);
    return *std::launder(
        reinterpret_cast<libusb_transfer *>(reinterpret_cast<TransferBlock *>(&priv)->pub));
}

void misuse(const char *function, const char *fmt, ...) {
    std::fprintf(stderr, "[camsim] libusb misuse in %s: ", function);
    va_list args;
    va_start(args, fmt);
    std::vfprintf(stderr, fmt, args);
    va_end(args);
    std::fputc('\n', stderr);
    std::fflush(stderr);
    std::abort();
}

Core &Core::get() {
    static Core core;
    return core;
}

libusb_context *Core::create_context() {
    contexts.push_back(std::make_unique<libusb_context>());
    libusb_context *ctx = contexts.back().get();
    ctx->log_level = default_log_level;
    return ctx;
}

void Core::destroy_context(libusb_context *ctx) {
    if (ctx->handlers > 0)
        misuse("libusb_exit", "another thread is still handling events on this context");
    if (!ctx->handles.empty())
        misuse("libusb_exit", "%zu device handle(s) still open", ctx->handles.size());
    int refs = 0;
    for (auto &dev : ctx->devices) {
        refs += dev->refs;
        live_devices.erase(dev.get());
    }
    if (refs > 0)
        std::fprintf(stderr, "[camsim] libusb_exit: %d device reference(s) never released\n", refs);
    std::erase_if(contexts, [ctx](const auto &c) { return c.get() == ctx; });
}

void Core::require_context(libusb_context *ctx, const char *function) const {
    bool live = std::any_of(contexts.begin(), contexts.end(),
                            [ctx](const auto &c) { return c.get() == ctx; });
    if (!live)
        misuse(function, "context %p is not initialised or was already exited",
               static_cast<void *>(ctx));
}

void Core::require_device(libusb_device *dev, const char *function) const {
    if (!dev || !live_devices.count(dev))
        misuse(function, "device %p is not a listed device, or its last reference is gone",
               static_cast<void *>(dev));
}

void Core::require_handle(libusb_device_handle *handle, const char *function) const {
    if (!handle || !live_handles.count(handle))
        misuse(function, "device handle %p is not open", static_cast<void *>(handle));
}

libusb_device *Core::find_or_add_device(libusb_context *ctx,
                                        const std::shared_ptr<CameraModel> &cam,
                                        const ForeignDevice *foreign) {
    for (auto &dev : ctx->devices) {
        if (cam && dev->camera == cam && dev->generation == cam->generation()) return dev.get();
        if (foreign && !dev->camera && dev->bus == foreign->bus && dev->port == foreign->port &&
            dev->address == foreign->address)
            return dev.get();
    }
    auto dev = std::make_unique<libusb_device>();
    dev->ctx = ctx;
    if (cam) {
        dev->camera = cam;
        dev->vendor_id = kVendorId;
        dev->product_id = kProductId;
        dev->bus = cam->bus();
        dev->port = cam->port();
        dev->address = cam->address();
        dev->speed = cam->speed();
        dev->generation = cam->generation();
    } else {
        dev->vendor_id = foreign->vendor_id;
        dev->product_id = foreign->product_id;
        dev->bus = foreign->bus;
        dev->port = foreign->port;
        dev->address = foreign->address;
        dev->speed = LIBUSB_SPEED_HIGH;
    }
    live_devices.insert(dev.get());
    ctx->devices.push_back(std::move(dev));
    return ctx->devices.back().get();
}

void Core::unref(libusb_device *dev) {
    if (--dev->refs > 0) return;
    live_devices.erase(dev);
    std::erase_if(dev->ctx->devices, [dev](const auto &d) { return d.get() == dev; });
}

libusb_device_handle *Core::open(libusb_device *dev) {
    auto handle = std::make_unique<libusb_device_handle>();
    handle->dev = dev;
    ++dev->refs;
    live_handles.insert(handle.get());
    dev->ctx->handles.push_back(std::move(handle));
    return dev->ctx->handles.back().get();
}

// Like libusb, closing gives up on transfers whose cancellation is still on
// its way (their callbacks will never run); any other transfer still in
// flight is a host bug.
void Core::close(libusb_device_handle *handle) {
    libusb_context *ctx = handle->dev->ctx;
    std::vector<TransferPriv *> pending(handle->in_flight.begin(), handle->in_flight.end());
    for (TransferPriv *t : ctx->ready)
        if (t->handle == handle) pending.push_back(t);
    size_t forgotten = 0;
    for (TransferPriv *t : pending) {
        if (!t->cancel_requested) ++forgotten;
    }
    if (forgotten > 0)
        misuse("libusb_close",
               "%zu transfer(s) of this handle are still in flight and were never cancelled",
               forgotten);
    for (TransferPriv *t : pending) {
        std::fprintf(stderr,
                     "[camsim] libusb_close: abandoning a transfer whose cancellation has not "
                     "completed (endpoint 0x%02X)\n",
                     pub_of(*t).endpoint);
        std::erase(ctx->ready, t);
        t->orphaned = true;
        t->state = TransferState::Idle;
        t->handle = nullptr;
        orphans.insert(t);
    }
    handle->in_flight.clear();
    handle->bulk_queue.clear();
    if (handle->dev->camera) {
        auto it = claims.find(handle->dev->camera.get());
        if (it != claims.end()) {
            for (auto &owner : it->second)
                if (owner == handle) owner = nullptr;
        }
    }
    live_handles.erase(handle);
    libusb_device *dev = handle->dev;
    std::erase_if(ctx->handles, [handle](const auto &h) { return h.get() == handle; });
    unref(dev);
}

void Core::forget_orphans() {
    for (TransferPriv *t : orphans) {
        t->forgotten = true;
        --transfers_allocated;
        --transfers_in_flight;
    }
    orphans.clear();
}

bool Core::stale(const libusb_device_handle *handle) {
    const CameraModel *cam = handle->dev->camera.get();
    return !cam || !cam->attached() || cam->generation() != handle->dev->generation;
}

void Core::complete(TransferPriv &t, libusb_transfer_status status) {
    libusb_device_handle *handle = t.handle;
    std::erase(handle->in_flight, &t);
    std::erase(handle->bulk_queue, &t);
    pub_of(t).status = status;
    t.state = TransferState::Ready;
    handle->dev->ctx->ready.push_back(&t);
}

void Core::submit_control(TransferPriv &t, TimePoint now) {
    libusb_transfer &pub = pub_of(t);
    auto setup_bytes = std::span<const uint8_t, kSetupSize>(pub.buffer, kSetupSize);
    const SetupPacket setup = SetupPacket::parse(setup_bytes);
    std::span<const uint8_t> data_out;
    if (!setup.is_in()) data_out = {pub.buffer + kSetupSize, setup.length};
    ControlOutcome outcome = t.handle->dev->camera->control(setup, data_out, now);
    switch (outcome.end) {
        case ControlEnd::Completed:
            if (setup.is_in()) {
                std::copy(outcome.data_in.begin(), outcome.data_in.end(), pub.buffer + kSetupSize);
                pub.actual_length = static_cast<int>(outcome.data_in.size());
            } else {
                pub.actual_length = setup.length;
            }
            complete(t, LIBUSB_TRANSFER_COMPLETED);
            break;
        case ControlEnd::Stall:
            complete(t, LIBUSB_TRANSFER_STALL);
            break;
        case ControlEnd::Hang:
            t.hung = true;
            t.cancel_delay_ms = outcome.cancel_delay_ms;
            break;
    }
}

void Core::fail_all(libusb_device_handle *handle, libusb_transfer_status status) {
    while (!handle->in_flight.empty())
        complete(*handle->in_flight.front(), status);
}

// The bus moves the camera's bytes into the head transfer at the link rate.
// A transfer completes when its buffer is full, or when the camera pauses
// after sending it something (it ends each burst with a short packet). A halt
// ends one transfer per pass, so that the host can clear it in between.
void Core::pump_stream(libusb_device_handle *handle, TimePoint now) {
    CameraModel &cam = *handle->dev->camera;
    LinkState &link = handle->link;
    const uint64_t rate = cam.link_rate();
    const bool unlimited = rate == kUnlimitedLink;
    if (!unlimited) {
        if (link.flowing) {
            link.credit +=
                std::chrono::duration<double>(now - link.last).count() * static_cast<double>(rate);
        } else if (cam.next_bulk_event(now) <= now) {
            link.flowing = true;
            link.credit = 0;
        }
        link.last = now;
    }
    while (!handle->bulk_queue.empty() && !stale(handle)) {
        TransferPriv &t = *handle->bulk_queue.front();
        libusb_transfer &pub = pub_of(t);
        if (pub.actual_length == 0 && t.timeout_after < 0 && cam.next_bulk_event(now) <= now) {
            if (auto partial = cam.take_bulk_timeout())
                t.timeout_after = static_cast<int32_t>(std::min<uint32_t>(*partial, pub.length));
        }
        const int32_t limit = t.timeout_after >= 0 ? t.timeout_after : pub.length;
        const size_t room_left = static_cast<size_t>(limit - pub.actual_length);
        if (room_left == 0) {
            complete(t,
                     t.timeout_after >= 0 ? LIBUSB_TRANSFER_TIMED_OUT : LIBUSB_TRANSFER_COMPLETED);
            continue;
        }
        const size_t room =
            unlimited ? room_left : std::min(room_left, static_cast<size_t>(link.credit));
        if (room == 0) break;
        BulkResult result =
            cam.bulk_in(pub.endpoint, std::span(pub.buffer + pub.actual_length, room), now);
        pub.actual_length += static_cast<int>(result.bytes);
        if (!unlimited) link.credit -= static_cast<double>(result.bytes);
        switch (result.end) {
            case BulkEnd::Full:
                continue;  // a full transfer completes at the top of the loop
            case BulkEnd::Stall:
                complete(t, LIBUSB_TRANSFER_STALL);
                return;
            case BulkEnd::Short:
            case BulkEnd::Waiting:
                if (pub.actual_length > 0)
                    complete(t, t.timeout_after >= 0 ? LIBUSB_TRANSFER_TIMED_OUT
                                                     : LIBUSB_TRANSFER_COMPLETED);
                link.flowing = false;
                link.credit = 0;
                return;
        }
    }
}

// When the next stream bytes are worth a look: when the camera will have
// some, or, while it sends, when the link will have filled the head transfer
// or moved everything the camera has.
TimePoint Core::stream_wake(const libusb_device_handle *handle, TimePoint now) const {
    const CameraModel &cam = *handle->dev->camera;
    const uint64_t rate = cam.link_rate();
    const LinkState &link = handle->link;
    if (rate == kUnlimitedLink || !link.flowing) return cam.next_bulk_event(now);
    const libusb_transfer &pub = pub_of(*handle->bulk_queue.front());
    const size_t wanted =
        std::min(static_cast<size_t>(pub.length - pub.actual_length), cam.stream_backlog());
    const double missing = std::max(0.0, static_cast<double>(wanted) - link.credit);
    const auto wait = std::chrono::duration<double>(missing / static_cast<double>(rate));
    return now + std::max(kMinLinkWait, std::chrono::duration_cast<std::chrono::nanoseconds>(wait));
}

// Like libusb, a transfer whose time-out passed is cancelled; it ends
// TIMED_OUT once the camera lets go of it, which an unanswered request takes
// its cancellation delay to do.
void Core::expire(libusb_device_handle *handle, TimePoint now) {
    std::vector<TransferPriv *> due;
    for (TransferPriv *t : handle->in_flight)
        if (t->cancel_due <= now || (!t->cancel_requested && t->deadline <= now)) due.push_back(t);
    for (TransferPriv *t : due) {
        if (t->cancel_due > now) {
            t->cancel_requested = true;
            t->timed_out = true;
            if (t->hung && t->cancel_delay_ms > 0) {
                t->cancel_due = now + std::chrono::milliseconds(t->cancel_delay_ms);
                continue;
            }
        }
        complete(*t, t->timed_out ? LIBUSB_TRANSFER_TIMED_OUT : LIBUSB_TRANSFER_CANCELLED);
    }
}

void Core::service(libusb_context *ctx, TimePoint now) {
    bus.refresh(now);
    for (auto &handle : ctx->handles) {
        if (handle->in_flight.empty()) continue;
        if (!stale(handle.get())) pump_stream(handle.get(), now);
        if (stale(handle.get()))
            fail_all(handle.get(), LIBUSB_TRANSFER_NO_DEVICE);
        else
            expire(handle.get(), now);
    }
}

TimePoint Core::next_wake(libusb_context *ctx, TimePoint now) const {
    TimePoint wake = TimePoint::max();
    for (const auto &handle : ctx->handles) {
        for (const TransferPriv *t : handle->in_flight) {
            wake = std::min(wake, t->cancel_due);
            if (!t->cancel_requested) wake = std::min(wake, t->deadline);
        }
        if (!handle->bulk_queue.empty() && !stale(handle.get()))
            wake = std::min(wake, stream_wake(handle.get(), now));
    }
    return wake;
}

void Core::notify_all() {
    for (auto &ctx : contexts)
        ctx->wake.notify_all();
}

}  // namespace nxsim::usb
