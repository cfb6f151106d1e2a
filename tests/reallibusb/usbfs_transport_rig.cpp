// The transport scenarios' rig on the real libusb-1.0: the camera models on a
// fresh umockdev testbed per test (see sim/umockdev/usbfs_bus.h), which
// counts the device node files and URBs libusb holds.
#include "sim/camera/camera_model.h"
#include "sim/umockdev/usbfs_bus.h"
#include "support/transport_scenarios.h"
#include "usbfs_fixture.h"

namespace nxtest {
namespace {

using nxsim::CameraModel;
using nxsim::umock::UsbfsCamera;

class UsbfsRigCamera : public RigCamera {
  public:
    explicit UsbfsRigCamera(UsbfsCamera camera) : cam_(std::move(camera)) {}

    uint8_t bus() const override { return cam_.bus_number(); }
    uint8_t port() const override { return cam_.port(); }
    uint8_t address() const override { return cam_.address(); }
    bool capturing() const override {
        return cam_.act([](CameraModel &m) { return m.capturing(); });
    }
    uint32_t frame_rate() const override {
        return cam_.act([](CameraModel &m) { return m.params().frame_rate(); });
    }
    void set_stream_mode(nxsim::StreamMode mode) override {
        cam_.act([&](CameraModel &m) { m.set_stream_mode(mode); });
    }
    uint32_t reg(uint8_t target, uint32_t address) const override {
        return cam_.act([&](CameraModel &m) { return m.registers().get(target, address); });
    }
    void set_reg(uint8_t target, uint32_t address, uint32_t value) override {
        cam_.act([&](CameraModel &m) { m.registers().set(target, address, value); });
    }

    void inject_busy(uint32_t count) override {
        cam_.act([&](CameraModel &m) { m.faults().set_busy(count); });
    }
    void inject_error(const std::string &message, int request) override {
        cam_.act([&](CameraModel &m) { m.faults().set_error(message, request, 1); });
    }
    void inject_hang(int request, uint32_t cancel_delay_ms) override {
        cam_.act([&](CameraModel &m) { m.faults().set_hang(1, request, cancel_delay_ms); });
    }
    void inject_stall(uint32_t count) override {
        cam_.act([&](CameraModel &m) { m.faults().set_stall(count); });
    }
    void inject_bulk_timeout(uint32_t partial_bytes) override {
        cam_.act([&](CameraModel &m) { m.faults().set_bulk_timeout(1, partial_bytes); });
    }
    void alter_param_replies(std::optional<uint8_t> id, std::optional<uint8_t> length) override {
        cam_.act([&](CameraModel &m) { m.faults().set_param_reply(id, length, 1); });
    }
    void script_in_replies(std::vector<std::vector<uint8_t>> replies) override {
        cam_.act([&](CameraModel &m) { m.faults().script_in_replies(std::move(replies)); });
    }
    void refuse_interface(uint8_t interface_number) override {
        cam_.act([&](CameraModel &m) { m.faults().set_refuse_interface(interface_number, true); });
    }
    void unplug_after_frames(uint32_t frames) override {
        cam_.act([&](CameraModel &m) { m.faults().set_unplug_after(frames); });
    }
    void unplug() override { cam_.unplug(); }
    void plug() override { cam_.plug(); }

    std::vector<nxsim::WireRecord> wire_log() const override {
        return cam_.act([](CameraModel &m) { return m.wire_log(); });
    }
    void clear_wire_log() override {
        cam_.act([](CameraModel &m) { m.wire_log().clear(); });
    }
    nxsim::FaultCounters faults() const override {
        return cam_.act([](CameraModel &m) { return m.faults().counters(); });
    }
    nxsim::CameraCounters counters() const override {
        return cam_.act([](CameraModel &m) { return m.counters(); });
    }

  private:
    UsbfsCamera cam_;
};

class UsbfsTransportRig : public TransportRig {
  public:
    std::shared_ptr<RigCamera> add_camera(const nxsim::CameraConfig &config) override {
        return std::make_shared<UsbfsRigCamera>(bus_.add_camera(config));
    }
    // The testbed offers no foreign devices; its root hubs are listed instead.
    void add_other_device(uint16_t, uint16_t, uint8_t, uint8_t) override {}

    int transfers_outstanding() const override { return static_cast<int>(bus_.pending_urbs()); }
    int open_handles() const override { return static_cast<int>(bus_.open_files()); }
    std::optional<int> contexts() const override { return std::nullopt; }
    std::optional<int> transfers_allocated() const override { return std::nullopt; }
    bool timed_out_transfer_ends_at_a_pause() const override { return false; }
    int control_data_limit() const override { return 4096; }

    void expect_all_released() override {
        EXPECT_TRUE(all_files_closed(bus_));
        EXPECT_EQ(bus_.pending_urbs(), 0u);
        EXPECT_EQ(bus_.failure(), "");
    }

  private:
    nxsim::umock::UsbfsBus bus_;
};

}  // namespace

std::unique_ptr<TransportRig> make_transport_rig(std::string &why) {
    why = nxsim::umock::unavailable_reason();
    if (!why.empty()) return nullptr;
    return std::make_unique<UsbfsTransportRig>();
}

}  // namespace nxtest
