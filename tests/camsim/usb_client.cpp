#include "usb_client.h"

#include <cstring>
#include <thread>

namespace simtest {

Session::Session(const nxsim::Camera &cam) {
    if (libusb_init(&ctx_) != 0) return;
    libusb_device **list = nullptr;
    ssize_t n = libusb_get_device_list(ctx_, &list);
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device *dev = list[i];
        if (libusb_get_bus_number(dev) == cam.bus() && libusb_get_port_number(dev) == cam.port()) {
            if (libusb_open(dev, &handle_) != 0) handle_ = nullptr;
            break;
        }
    }
    if (n >= 0) libusb_free_device_list(list, 1);
}

void Session::close() {
    if (handle_) libusb_close(handle_);
    handle_ = nullptr;
}

Session::~Session() {
    close();
    if (ctx_) libusb_exit(ctx_);
}

Transfer::Transfer() : transfer_(libusb_alloc_transfer(0)) {}

Transfer::~Transfer() {
    libusb_free_transfer(transfer_);
}

void Transfer::fill_control(libusb_device_handle *handle, uint8_t request_type, uint8_t request,
                            uint16_t value, const Bytes &data_or_room, unsigned timeout_ms) {
    control_ = true;
    buffer_.assign(LIBUSB_CONTROL_SETUP_SIZE + data_or_room.size(), 0);
    libusb_fill_control_setup(buffer_.data(), request_type, request, value, 0,
                              static_cast<uint16_t>(data_or_room.size()));
    if (!(request_type & LIBUSB_ENDPOINT_IN))
        std::copy(data_or_room.begin(), data_or_room.end(),
                  buffer_.begin() + LIBUSB_CONTROL_SETUP_SIZE);
    libusb_fill_control_transfer(transfer_, handle, buffer_.data(), on_done, this, timeout_ms);
}

void Transfer::fill_bulk(libusb_device_handle *handle, size_t length, unsigned timeout_ms) {
    control_ = false;
    buffer_.assign(length, 0);
    libusb_fill_bulk_transfer(transfer_, handle, 0x81, buffer_.data(), static_cast<int>(length),
                              on_done, this, timeout_ms);
}

int Transfer::submit() {
    done_.store(0);
    return libusb_submit_transfer(transfer_);
}

Bytes Transfer::data() const {
    const size_t start = control_ ? LIBUSB_CONTROL_SETUP_SIZE : 0;
    return Bytes(buffer_.begin() + static_cast<long>(start),
                 buffer_.begin() + static_cast<long>(start) + transfer_->actual_length);
}

void Transfer::on_done(libusb_transfer *transfer) {
    auto *self = static_cast<Transfer *>(transfer->user_data);
    self->callback_thread_ = std::this_thread::get_id();
    self->done_.store(1);
}

bool pump_until(libusb_context *ctx, const std::function<bool()> &done,
                std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        timeval tv{0, 20000};
        libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
    }
    return done();
}

bool wait_for(const std::function<bool()> &done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(2ms);
    return done();
}

int send(libusb_device_handle *handle, uint8_t request, uint16_t value, Bytes data) {
    return libusb_control_transfer(handle, 0x22, request, value, 0, data.data(),
                                   static_cast<uint16_t>(data.size()), 1000);
}

int receive(libusb_device_handle *handle, uint8_t request, uint16_t value, Bytes &data) {
    return libusb_control_transfer(handle, 0xA2, request, value, 0, data.data(),
                                   static_cast<uint16_t>(data.size()), 1000);
}

Bytes status(libusb_device_handle *handle) {
    Bytes reply(63, 0);
    int n = receive(handle, 0xB0, 0, reply);
    reply.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return reply;
}

}  // namespace simtest
