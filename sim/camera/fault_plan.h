// The faults switched on for one camera and how often each one struck.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "sim/camsim.h"

namespace nxsim {

class FaultPlan {
  public:
    // Switches (the Camera control interface documents each one).
    void set_busy(uint32_t count) { busy_ = count; }
    void set_error(std::string message, int request, uint32_t count);
    void set_hang(uint32_t count, int request, uint32_t cancel_delay_ms);
    void set_stall(uint32_t count) { stalls_ = count; }
    void set_bulk_timeout(uint32_t count, uint32_t partial_bytes);
    void set_corruption(double rate, uint64_t seed);
    void set_chunk_drop(double rate, uint64_t seed);
    void set_drop_next_chunks(uint32_t count) { drop_next_ = count; }
    void set_unplug_after(uint32_t frames) { unplug_after_ = frames; }
    void set_refuse_interface(uint8_t number, bool refuse);
    void set_refuse_open(bool refuse) { refuse_open_ = refuse; }
    void set_bulk_cancel_delay(uint32_t ms) { bulk_cancel_delay_ms_ = ms; }
    void set_param_reply(std::optional<uint8_t> id, std::optional<uint8_t> length, uint32_t count);
    // The camera's next IN control transfers answer these bytes, one reply
    // each, instead of their own (cut to the length asked for).
    void script_in_replies(std::vector<std::vector<uint8_t>> replies);
    void clear();

    // Each take_* reports whether the fault strikes now, and counts it if so.
    bool take_busy();
    std::optional<std::string> take_error(uint8_t request);
    std::optional<uint32_t> take_hang(uint8_t request);  // the cancellation delay
    bool take_stall();
    std::optional<uint32_t> take_bulk_timeout();  // the bytes to deliver first
    bool take_chunk_drop();
    bool take_refused_claim(uint8_t interface_number);
    bool take_refused_open();
    // How long a cancelled stream transfer takes to come back (0: at once).
    uint32_t bulk_cancel_delay_ms() const { return bulk_cancel_delay_ms_; }
    // The id and length the next parameter reply's first entry is to carry
    // instead of its own (either may be empty: unchanged).
    struct ParamReplyFault {
        std::optional<uint8_t> id;
        std::optional<uint8_t> length;
    };
    std::optional<ParamReplyFault> take_param_reply();
    std::optional<std::vector<uint8_t>> take_scripted_reply();
    // Alters stream bytes at the corruption rate.
    void corrupt(std::span<uint8_t> bytes);
    // Counts down one sent frame; true once the camera is due to leave the bus.
    bool unplug_due() const { return unplug_after_ && *unplug_after_ == 0; }
    bool unplug_armed() const { return unplug_after_.has_value(); }
    void count_frame_sent();
    void count_unplug();
    void count_data_fault() { ++counters_.data_faults; }

    const FaultCounters &counters() const { return counters_; }

  private:
    static bool matches(int wanted, uint8_t request) { return wanted < 0 || wanted == request; }

    uint32_t busy_ = 0;
    std::string error_message_;
    int error_request_ = -1;
    uint32_t errors_ = 0;
    int hang_request_ = -1;
    uint32_t hangs_ = 0;
    uint32_t hang_cancel_delay_ms_ = 0;
    uint32_t stalls_ = 0;
    uint32_t timeouts_ = 0;
    uint32_t timeout_partial_ = 0;
    double corruption_rate_ = 0;
    std::mt19937_64 corruption_rng_;
    uint64_t next_corruption_ = 0;  // stream bytes to pass before the next altered one
    double drop_rate_ = 0;
    std::mt19937_64 drop_rng_;
    uint32_t drop_next_ = 0;
    std::optional<uint32_t> unplug_after_;
    bool refuse_interface_[2] = {false, false};
    bool refuse_open_ = false;
    uint32_t bulk_cancel_delay_ms_ = 0;
    ParamReplyFault param_reply_;
    uint32_t param_replies_ = 0;
    std::deque<std::vector<uint8_t>> scripted_replies_;
    FaultCounters counters_;
};

}  // namespace nxsim
