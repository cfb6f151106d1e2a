#include "sim/camera/sim_bus.h"

#include <algorithm>

namespace nxsim {
namespace {

constexpr uint8_t kFirstAddress = 2;
constexpr uint8_t kLastAddress = 127;

}  // namespace

uint8_t SimBus::next_address(uint8_t bus) {
    auto [it, fresh] = last_address_.try_emplace(bus, kFirstAddress - 1);
    it->second = it->second >= kLastAddress ? kFirstAddress : static_cast<uint8_t>(it->second + 1);
    return it->second;
}

std::shared_ptr<CameraModel> SimBus::add_camera(CameraConfig config) {
    uint8_t &last_port = last_port_[config.bus];
    if (config.port == 0) config.port = static_cast<uint8_t>(last_port + 1);
    last_port = std::max(last_port, config.port);
    const uint8_t address = config.address;
    auto camera = std::make_shared<CameraModel>(std::move(config));
    cameras_.push_back(camera);
    if (address == 0) {
        plug(*camera);
    } else {
        uint8_t &last = last_address_.try_emplace(camera->bus(), kFirstAddress - 1).first->second;
        last = std::max(last, address);
        camera->attach(address);
    }
    return camera;
}

void SimBus::add_foreign(ForeignDevice device) {
    device.address = next_address(device.bus);
    uint8_t &last_port = last_port_[device.bus];
    last_port = std::max(last_port, device.port);
    foreign_.push_back(device);
}

void SimBus::plug(CameraModel &camera) {
    camera.attach(next_address(camera.bus()));
}

void SimBus::refresh(TimePoint now) {
    for (auto &camera : cameras_) {
        auto back_at = camera->reattach_at();
        if (!camera->attached() && back_at && *back_at <= now) plug(*camera);
    }
}

void SimBus::clear() {
    for (auto &camera : cameras_)
        camera->detach(std::nullopt);
    cameras_.clear();
    foreign_.clear();
    last_address_.clear();
    last_port_.clear();
}

}  // namespace nxsim
