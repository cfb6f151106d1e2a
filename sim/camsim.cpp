// The control interface: every call takes the simulator's lock, acts on the
// camera model or the bus, and wakes event handlers that may now have work.
#include "sim/camsim.h"

#include "sim/libusb/sim_core.h"
#include "sim/physics/factory_calibration.h"

namespace nxsim {
namespace {

using usb::Core;

// Runs `action` under the simulator's lock, then wakes every event handler.
template <typename Action>
auto locked(Action action) {
    Core &core = Core::get();
    std::lock_guard lock(core.mu);
    struct Wake {
        Core &core;
        ~Wake() { core.notify_all(); }
    } wake{core};
    return action(core);
}

}  // namespace

uint8_t Camera::bus() const {
    return locked([&](Core &) { return model_->bus(); });
}
uint8_t Camera::port() const {
    return locked([&](Core &) { return model_->port(); });
}
uint8_t Camera::address() const {
    return locked([&](Core &) { return model_->address(); });
}
uint8_t Camera::speed() const {
    return locked([&](Core &) { return model_->speed(); });
}
bool Camera::attached() const {
    return locked([&](Core &core) {
        core.bus.refresh(Clock::now());
        return model_->attached();
    });
}
bool Camera::capturing() const {
    return locked([&](Core &) { return model_->capturing(); });
}

std::vector<uint8_t> Camera::param(uint8_t id) const {
    return locked([&](Core &) { return model_->params().get(id); });
}
void Camera::set_param(uint8_t id, std::span<const uint8_t> value) {
    locked([&](Core &) { model_->params().force(id, value); });
}
uint32_t Camera::frame_rate() const {
    return locked([&](Core &) { return model_->params().frame_rate(); });
}
void Camera::set_frame_rate(uint32_t fps) {
    locked([&](Core &) { model_->params().set_frame_rate(fps); });
}
void Camera::set_stream_mode(StreamMode mode) {
    locked([&](Core &) { model_->set_stream_mode(mode); });
}
void Camera::set_link_rate(uint64_t bytes_per_second) {
    locked([&](Core &) { model_->set_link_rate(bytes_per_second); });
}
void Camera::set_frame_source(std::shared_ptr<FrameSource> source) {
    locked([&](Core &) { model_->set_frame_source(std::move(source)); });
}
uint32_t Camera::reg(uint8_t target, uint32_t address) const {
    return locked([&](Core &) { return model_->registers().get(target, address); });
}
void Camera::set_reg(uint8_t target, uint32_t address, uint32_t value) {
    locked([&](Core &) { model_->registers().set(target, address, value); });
}
uint16_t Camera::integration_time() const {
    return locked([&](Core &) { return model_->params().integration_time(); });
}
void Camera::set_temperatures(int16_t sensor, int16_t board) {
    locked([&](Core &) { model_->set_temperatures(sensor, board, Clock::now()); });
}
int16_t Camera::sensor_temperature() const {
    return locked([&](Core &) { return model_->params().sensor_temperature(); });
}
int16_t Camera::board_temperature() const {
    return locked([&](Core &) { return model_->params().board_temperature(); });
}
uint32_t Camera::modulation_khz() const {
    return locked([&](Core &) { return model_->registers().modulation_khz(); });
}
SensorState Camera::sensor_state() const {
    return locked([&](Core &) { return model_->sensor_state(Clock::now()); });
}
std::vector<double> Camera::true_distances_mm() const {
    const SceneConfig scene = locked([&](Core &) { return model_->config().scene; });
    return physics::true_distances_mm(scene);
}
bool Camera::write_factory_calibration(const std::string &folder) const {
    const CameraConfig config = locked([&](Core &) { return model_->config(); });
    return physics::write_factory_calibration(config, folder);
}

void Camera::inject_busy(uint32_t count) {
    locked([&](Core &) { model_->faults().set_busy(count); });
}
void Camera::inject_error(std::string message, int request, uint32_t count) {
    locked([&](Core &) { model_->faults().set_error(std::move(message), request, count); });
}
void Camera::inject_hang(uint32_t count, int request, uint32_t cancel_delay_ms) {
    locked([&](Core &) { model_->faults().set_hang(count, request, cancel_delay_ms); });
}
void Camera::inject_stall(uint32_t count) {
    locked([&](Core &) { model_->faults().set_stall(count); });
}
void Camera::inject_bulk_timeout(uint32_t count, uint32_t partial_bytes) {
    locked([&](Core &) { model_->faults().set_bulk_timeout(count, partial_bytes); });
}
void Camera::inject_corruption(double rate, uint64_t seed) {
    locked([&](Core &) { model_->faults().set_corruption(rate, seed); });
}
void Camera::inject_chunk_drop(double rate, uint64_t seed) {
    locked([&](Core &) { model_->faults().set_chunk_drop(rate, seed); });
}
void Camera::drop_next_chunks(uint32_t count) {
    locked([&](Core &) { model_->faults().set_drop_next_chunks(count); });
}
void Camera::unplug_after_frames(uint32_t frames) {
    locked([&](Core &) { model_->faults().set_unplug_after(frames); });
}
void Camera::refuse_interface(uint8_t interface_number, bool refuse) {
    locked([&](Core &) { model_->faults().set_refuse_interface(interface_number, refuse); });
}
void Camera::refuse_open(bool refuse) {
    locked([&](Core &) { model_->faults().set_refuse_open(refuse); });
}
void Camera::delay_bulk_cancel(uint32_t ms) {
    locked([&](Core &) { model_->faults().set_bulk_cancel_delay(ms); });
}
void Camera::alter_param_replies(std::optional<uint8_t> id, std::optional<uint8_t> length,
                                 uint32_t count) {
    locked([&](Core &) { model_->faults().set_param_reply(id, length, count); });
}
void Camera::script_in_replies(std::vector<std::vector<uint8_t>> replies) {
    locked([&](Core &) { model_->faults().script_in_replies(std::move(replies)); });
}
void Camera::clear_faults() {
    locked([&](Core &) {
        model_->faults().clear();
        model_->data_channel().clear_faults();
    });
}

void Camera::set_data_version(uint16_t version) {
    locked([&](Core &) { model_->data_channel().set_version(version); });
}
void Camera::set_erase_polls(uint32_t polls) {
    locked([&](Core &) { model_->data_channel().set_erase_polls(polls); });
}
void Camera::set_data_block(std::optional<std::vector<uint8_t>> block, uint8_t type) {
    locked([&](Core &) { model_->data_channel().set_block(std::move(block), type); });
}
std::optional<std::vector<uint8_t>> Camera::data_block() const {
    return locked([&](Core &) { return model_->data_channel().current_block(); });
}
std::optional<std::vector<uint8_t>> Camera::stored_image(uint8_t type) const {
    return locked([&](Core &) { return model_->data_channel().image(type); });
}
void Camera::inject_data_fault(DataFault fault) {
    locked([&](Core &) { model_->data_channel().inject(fault); });
}
void Camera::fail_payload_read(uint32_t nth) {
    locked([&](Core &) { model_->data_channel().fail_payload_read(nth); });
}

void Camera::unplug() {
    locked([&](Core &) {
        if (!model_->attached() && !model_->reattach_at()) return;
        model_->faults().count_unplug();
        model_->detach(std::nullopt);
    });
}

void Camera::plug() {
    locked([&](Core &core) {
        if (!model_->attached()) core.bus.plug(*model_);
    });
}

FaultCounters Camera::faults() const {
    return locked([&](Core &) { return model_->faults().counters(); });
}
CameraCounters Camera::counters() const {
    return locked([&](Core &) { return model_->counters(); });
}
std::optional<std::chrono::steady_clock::time_point> Camera::frame_sent_at(uint32_t index) const {
    return locked([&](Core &) { return model_->frame_sent_at(index); });
}
std::vector<WireRecord> Camera::wire_log() const {
    return locked([&](Core &) { return model_->wire_log(); });
}
void Camera::clear_wire_log() {
    locked([&](Core &) { model_->wire_log().clear(); });
}

Camera add_camera(const CameraConfig &config) {
    return locked([&](Core &core) { return Camera(core.bus.add_camera(config)); });
}

std::vector<Camera> cameras() {
    return locked([](Core &core) {
        std::vector<Camera> all;
        for (const auto &model : core.bus.cameras())
            all.emplace_back(model);
        return all;
    });
}

void add_foreign_device(uint16_t vendor_id, uint16_t product_id, uint8_t bus, uint8_t port) {
    locked([&](Core &core) { core.bus.add_foreign({vendor_id, product_id, bus, port, 0}); });
}

void reset() {
    locked([](Core &core) {
        core.bus.clear();
        std::erase_if(core.claims, [](const auto &entry) {
            for (auto *owner : entry.second)
                if (owner) return false;
            return true;
        });
        core.last_log_level = LIBUSB_LOG_LEVEL_NONE;
        core.event_interrupts = 0;
        core.forget_orphans();
    });
}

void interrupt_event_waits(uint32_t count) {
    locked([&](Core &core) { core.event_interrupts = count; });
}

uint32_t event_interrupts_left() {
    return locked([](Core &core) { return core.event_interrupts; });
}

UsbStats usb_stats() {
    return locked([](Core &core) {
        UsbStats stats;
        stats.contexts = static_cast<int>(core.contexts.size());
        stats.transfers_allocated = core.transfers_allocated;
        stats.transfers_in_flight = core.transfers_in_flight;
        stats.log_level = core.last_log_level;
        for (const auto &ctx : core.contexts) {
            stats.open_handles += static_cast<int>(ctx->handles.size());
            for (const auto &dev : ctx->devices)
                stats.device_refs += dev->refs;
        }
        return stats;
    });
}

}  // namespace nxsim
