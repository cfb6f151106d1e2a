// The faults of the endurance run, at rates a camera in the field might see
// them: a thread strikes them now and then while frames flow, and a second
// one keeps the command channel busy with register reads that meet busy and
// error replies, and now and then pulls the cable and plugs it in again.
//
// The unplugs come from the register thread on purpose: an injected refusal
// is always taken by the read right after it, never left pending for the
// commands of a reopen.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "nivex.h"
#include "sim/camsim.h"

namespace endurance {

struct FaultRates {
    double corrupted_byte = 2e-8;  // per stream byte: about one frame in 80
    double dropped_chunk = 2e-4;   // per stream chunk
    uint32_t stall_every_ms = 1500;
    uint32_t timeout_every_ms = 2500;
    uint32_t read_every_ms = 40;      // register reads on the command channel
    uint32_t busy_every_reads = 5;    // the camera answers busy twice first
    uint32_t error_every_reads = 7;   // the camera refuses the read
    uint32_t first_unplug_ms = 3000;  // early, so that short runs meet one too
    uint32_t unplug_every_ms = 10000;
    uint32_t off_bus_ms[3] = {300, 800, 1500};  // taken in turn
};

// What the command channel saw.
struct ReadCounts {
    uint64_t reads = 0;
    uint64_t refused_as_expected = 0;
    uint64_t failed_unexpectedly = 0;
    uint64_t failed_off_bus = 0;  // while the camera was away or coming back
    uint64_t unplugs = 0;
};

class FaultSchedule {
  public:
    FaultSchedule(nxsim::Camera camera, nivex_device *dev, const FaultRates &rates);
    ~FaultSchedule();  // stops both threads
    FaultSchedule(const FaultSchedule &) = delete;
    FaultSchedule &operator=(const FaultSchedule &) = delete;

    void stop();
    // No more unplugs from now on (the camera may still be coming back).
    void stop_unplugs() { unplugs_on_ = false; }
    // The device is back (its BACK event arrived): reads must work again.
    void note_back() { off_bus_ = false; }
    bool off_bus() const { return off_bus_.load(); }
    ReadCounts reads() const;

  private:
    void strike_stream_faults();
    void read_registers();
    void read_once(uint64_t n);
    void unplug_and_replug();

    nxsim::Camera camera_;
    nivex_device *dev_;
    FaultRates rates_;
    std::atomic<bool> stopping_{false};
    std::atomic<uint64_t> reads_{0};
    std::atomic<uint64_t> refused_{0};
    std::atomic<uint64_t> failed_{0};
    std::atomic<uint64_t> failed_off_bus_{0};
    std::atomic<uint64_t> unplugs_{0};
    std::atomic<bool> unplugs_on_{true};
    std::atomic<bool> off_bus_{false};
    std::thread stream_faults_;
    std::thread register_reads_;
};

}  // namespace endurance
