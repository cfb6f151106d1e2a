// The transport scenarios' rig on the simulated libusb: a fresh simulated
// bus per test, and the simulator's own count of what libusb holds.
#include "sim/camsim.h"
#include "support/transport_scenarios.h"

namespace nxtest {
namespace {

class SimCamera : public RigCamera {
  public:
    explicit SimCamera(nxsim::Camera camera) : cam_(std::move(camera)) {}

    uint8_t bus() const override { return cam_.bus(); }
    uint8_t port() const override { return cam_.port(); }
    uint8_t address() const override { return cam_.address(); }
    bool capturing() const override { return cam_.capturing(); }
    uint32_t frame_rate() const override { return cam_.frame_rate(); }
    void set_stream_mode(nxsim::StreamMode mode) override { cam_.set_stream_mode(mode); }
    uint32_t reg(uint8_t target, uint32_t address) const override {
        return cam_.reg(target, address);
    }
    void set_reg(uint8_t target, uint32_t address, uint32_t value) override {
        cam_.set_reg(target, address, value);
    }

    void inject_busy(uint32_t count) override { cam_.inject_busy(count); }
    void inject_error(const std::string &message, int request) override {
        cam_.inject_error(message, request);
    }
    void inject_hang(int request, uint32_t cancel_delay_ms) override {
        cam_.inject_hang(1, request, cancel_delay_ms);
    }
    void inject_stall(uint32_t count) override { cam_.inject_stall(count); }
    void inject_bulk_timeout(uint32_t partial_bytes) override {
        cam_.inject_bulk_timeout(1, partial_bytes);
    }
    void alter_param_replies(std::optional<uint8_t> id, std::optional<uint8_t> length) override {
        cam_.alter_param_replies(id, length);
    }
    void script_in_replies(std::vector<std::vector<uint8_t>> replies) override {
        cam_.script_in_replies(std::move(replies));
    }
    void refuse_interface(uint8_t interface_number) override {
        cam_.refuse_interface(interface_number);
    }
    void unplug_after_frames(uint32_t frames) override { cam_.unplug_after_frames(frames); }
    void unplug() override { cam_.unplug(); }
    void plug() override { cam_.plug(); }

    std::vector<nxsim::WireRecord> wire_log() const override { return cam_.wire_log(); }
    void clear_wire_log() override { cam_.clear_wire_log(); }
    nxsim::FaultCounters faults() const override { return cam_.faults(); }
    nxsim::CameraCounters counters() const override { return cam_.counters(); }

  private:
    nxsim::Camera cam_;
};

class SimTransportRig : public TransportRig {
  public:
    SimTransportRig() { nxsim::reset(); }
    ~SimTransportRig() override { nxsim::reset(); }
    SimTransportRig(const SimTransportRig &) = delete;
    SimTransportRig &operator=(const SimTransportRig &) = delete;

    std::shared_ptr<RigCamera> add_camera(const nxsim::CameraConfig &config) override {
        return std::make_shared<SimCamera>(nxsim::add_camera(config));
    }
    void add_other_device(uint16_t vendor_id, uint16_t product_id, uint8_t bus,
                          uint8_t port) override {
        nxsim::add_foreign_device(vendor_id, product_id, bus, port);
    }

    int transfers_outstanding() const override { return nxsim::usb_stats().transfers_in_flight; }
    int open_handles() const override { return nxsim::usb_stats().open_handles; }
    std::optional<int> contexts() const override { return nxsim::usb_stats().contexts; }
    std::optional<int> transfers_allocated() const override {
        return nxsim::usb_stats().transfers_allocated;
    }
    bool timed_out_transfer_ends_at_a_pause() const override { return true; }
    int control_data_limit() const override { return 65535; }

    void expect_all_released() override {
        const nxsim::UsbStats stats = nxsim::usb_stats();
        EXPECT_EQ(stats.transfers_in_flight, 0);
        EXPECT_EQ(stats.transfers_allocated, 0);
        EXPECT_EQ(stats.open_handles, 0);
        EXPECT_EQ(stats.contexts, 0);
        EXPECT_EQ(stats.device_refs, 0);
    }
};

}  // namespace

std::unique_ptr<TransportRig> make_transport_rig(std::string &) {
    return std::make_unique<SimTransportRig>();
}

}  // namespace nxtest
