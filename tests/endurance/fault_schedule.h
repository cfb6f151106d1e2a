// The faults of the endurance run, at rates a camera in the field might see
// them: a thread strikes them now and then while frames flow, and a second
// one keeps the command channel busy with register reads that meet busy and
// error replies.
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
    uint32_t read_every_ms = 40;     // register reads on the command channel
    uint32_t busy_every_reads = 5;   // the camera answers busy twice first
    uint32_t error_every_reads = 7;  // the camera refuses the read
};

// What the command channel saw.
struct ReadCounts {
    uint64_t reads = 0;
    uint64_t refused_as_expected = 0;
    uint64_t failed_unexpectedly = 0;
};

class FaultSchedule {
  public:
    FaultSchedule(nxsim::Camera camera, nivex_device *dev, const FaultRates &rates);
    ~FaultSchedule();  // stops both threads
    FaultSchedule(const FaultSchedule &) = delete;
    FaultSchedule &operator=(const FaultSchedule &) = delete;

    void stop();
    ReadCounts reads() const;

  private:
    void strike_stream_faults();
    void read_registers();

    nxsim::Camera camera_;
    nivex_device *dev_;
    FaultRates rates_;
    std::atomic<bool> stopping_{false};
    std::atomic<uint64_t> reads_{0};
    std::atomic<uint64_t> refused_{0};
    std::atomic<uint64_t> failed_{0};
    std::thread stream_faults_;
    std::thread register_reads_;
};

}  // namespace endurance
