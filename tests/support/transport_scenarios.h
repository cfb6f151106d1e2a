// Transport scenarios written once and run on both libusb tiers: the
// simulated libusb (tests/ll) and the real libusb-1.0 with the same camera
// models behind umockdev's faked usbfs (tests/reallibusb).
//
// A scenario reaches the cameras only through a TransportRig. Each of the two
// test binaries links its own make_transport_rig() and the scenario sources
// of tests/support/transport_scenarios/, so a scenario added there runs on
// both tiers. Where the tiers differ (README, "Where this tier differs from
// hardware"), the rig says how and the scenario asks it; a scenario is not
// weakened for one tier.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ll/ll_ops.h"
#include "sim/camsim.h"
#include "support/ll_support.h"
#include "support/test_support.h"

namespace nxtest {

// A camera on a rig's bus; the faults and records are those of
// nxsim::Camera, which documents each one. Valid while its rig lives.
class RigCamera {
  public:
    virtual ~RigCamera() = default;

    virtual uint8_t bus() const = 0;
    virtual uint8_t port() const = 0;
    // Changes every time the camera re-enumerates.
    virtual uint8_t address() const = 0;
    virtual bool capturing() const = 0;
    virtual uint32_t frame_rate() const = 0;
    virtual void set_stream_mode(nxsim::StreamMode mode) = 0;
    virtual uint32_t reg(uint8_t target, uint32_t address) const = 0;
    virtual void set_reg(uint8_t target, uint32_t address, uint32_t value) = 0;

    virtual void inject_busy(uint32_t count) = 0;
    virtual void inject_error(const std::string &message, int request) = 0;
    virtual void inject_hang(int request, uint32_t cancel_delay_ms) = 0;
    virtual void inject_stall(uint32_t count) = 0;
    virtual void inject_bulk_timeout(uint32_t partial_bytes) = 0;
    virtual void alter_param_replies(std::optional<uint8_t> id, std::optional<uint8_t> length) = 0;
    virtual void script_in_replies(std::vector<std::vector<uint8_t>> replies) = 0;
    virtual void refuse_interface(uint8_t interface_number) = 0;
    virtual void unplug_after_frames(uint32_t frames) = 0;
    virtual void unplug() = 0;
    virtual void plug() = 0;

    virtual std::vector<nxsim::WireRecord> wire_log() const = 0;
    virtual void clear_wire_log() = 0;
    virtual nxsim::FaultCounters faults() const = 0;
    virtual nxsim::CameraCounters counters() const = 0;
};

// A USB bus with camera models on one of the libusb tiers, and what libusb
// holds of it.
class TransportRig {
  public:
    virtual ~TransportRig() = default;

    virtual std::shared_ptr<RigCamera> add_camera(const nxsim::CameraConfig &config) = 0;
    // A USB device that is not a camera. umockdev's bus offers none; there
    // the root hubs, which libusb lists too, are the devices to skip.
    virtual void add_other_device(uint16_t vendor_id, uint16_t product_id, uint8_t bus,
                                  uint8_t port) = 0;

    // Transfers libusb has been given and not handed back yet, control and
    // bulk alike.
    virtual int transfers_outstanding() const = 0;
    // Device handles libusb holds open (on umockdev: device node files).
    virtual int open_handles() const = 0;
    // libusb contexts and allocated transfers; nullopt where the tier cannot
    // count them (the real libusb).
    virtual std::optional<int> contexts() const = 0;
    virtual std::optional<int> transfers_allocated() const = 0;
    // Whether a bulk transfer that the time-out fault strikes ends as soon as
    // the camera pauses, with what it had by then (the simulated libusb
    // paces the stream by the link rate), rather than only at libusb's own
    // time-out, with all the bytes the fault lets through.
    virtual bool timed_out_transfer_ends_at_a_pause() const = 0;
    // Data bytes of the largest control transfer libusb accepts: what the
    // 16-bit length allows (the simulated libusb), or 4096 (the real
    // libusb on Linux, which refuses larger ones at submission).
    virtual int control_data_limit() const = 0;

    // At the end of a test: libusb let go of every handle, transfer and
    // context, and the bus saw no misuse.
    virtual void expect_all_released() = 0;
};

// The rig of this test binary; null, with the reason in `why`, when there
// is none here (the test then reports itself skipped).
std::unique_ptr<TransportRig> make_transport_rig(std::string &why);

// The transport (nivex_ll_*) against the cameras of a fresh rig, with the
// library's log in a file. Sessions made by session_for() are closed after
// the test; then the rig must have everything back.
class TransportTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    TransportRig &rig() { return *rig_; }
    std::shared_ptr<RigCamera> add_camera(const nxsim::CameraConfig &config = {}) {
        return rig_->add_camera(config);
    }
    // A session naming `cam` by bus and port, as a device list would.
    ll_device *session_for(const RigCamera &cam);
    // session_for(cam), opened; the test fails when the open does.
    ll_device *open(const RigCamera &cam);

    std::string log() const { return read_file(log_path_); }
    // Log lines at `level` ("TRC" .. "ERR") from function `fn` containing `text`.
    std::vector<std::string> log_lines(std::string_view level, std::string_view fn,
                                       std::string_view text) const {
        return log_lines_in(log(), level, fn, text);
    }
    int log_count(std::string_view level, std::string_view fn, std::string_view text) const {
        return static_cast<int>(log_lines(level, fn, text).size());
    }

    // Cleared by a test that leaves resources to libusb on purpose.
    bool expect_released_ = true;

  private:
    std::unique_ptr<TransportRig> rig_;
    TempDir dir_;
    std::string log_path_;
    std::vector<std::unique_ptr<ll_device>> sessions_;
};

// Control requests of a camera's wire log, without the status queries.
std::vector<nxsim::WireRecord> commands_of(const RigCamera &cam);
// Number of status queries in a camera's wire log.
int status_queries_of(const RigCamera &cam);

}  // namespace nxtest
