#include "sim/camera/fault_plan.h"

#include <iterator>
#include <utility>

namespace nxsim {

void FaultPlan::set_error(std::string message, int request, uint32_t count) {
    error_message_ = std::move(message);
    error_request_ = request;
    errors_ = count;
}

void FaultPlan::set_hang(uint32_t count, int request, uint32_t cancel_delay_ms) {
    hangs_ = count;
    hang_request_ = request;
    hang_cancel_delay_ms_ = cancel_delay_ms;
}

void FaultPlan::set_bulk_timeout(uint32_t count, uint32_t partial_bytes) {
    timeouts_ = count;
    timeout_partial_ = partial_bytes;
}

// Gaps between altered bytes are geometric, so the cost does not depend on
// the number of bytes passed over.
void FaultPlan::set_corruption(double rate, uint64_t seed) {
    corruption_rate_ = rate;
    corruption_rng_.seed(seed);
    if (rate > 0 && rate < 1)
        next_corruption_ = std::geometric_distribution<uint64_t>(rate)(corruption_rng_);
    else
        next_corruption_ = 0;
}

void FaultPlan::set_chunk_drop(double rate, uint64_t seed) {
    drop_rate_ = rate;
    drop_rng_.seed(seed);
}

void FaultPlan::set_refuse_interface(uint8_t number, bool refuse) {
    if (number < 2) refuse_interface_[number] = refuse;
}

void FaultPlan::clear() {
    FaultCounters kept = counters_;
    *this = FaultPlan();
    counters_ = kept;
}

bool FaultPlan::take_busy() {
    if (busy_ == 0) return false;
    --busy_;
    ++counters_.busy_replies;
    return true;
}

std::optional<std::string> FaultPlan::take_error(uint8_t request) {
    if (errors_ == 0 || !matches(error_request_, request)) return std::nullopt;
    --errors_;
    ++counters_.error_replies;
    return error_message_;
}

std::optional<uint32_t> FaultPlan::take_hang(uint8_t request) {
    if (hangs_ == 0 || !matches(hang_request_, request)) return std::nullopt;
    --hangs_;
    ++counters_.hung_transfers;
    return hang_cancel_delay_ms_;
}

bool FaultPlan::take_stall() {
    if (stalls_ == 0) return false;
    --stalls_;
    ++counters_.stalls;
    return true;
}

std::optional<uint32_t> FaultPlan::take_bulk_timeout() {
    if (timeouts_ == 0) return std::nullopt;
    --timeouts_;
    ++counters_.timeouts;
    return timeout_partial_;
}

bool FaultPlan::take_chunk_drop() {
    bool drop = false;
    if (drop_next_ > 0) {
        --drop_next_;
        drop = true;
    } else if (drop_rate_ > 0) {
        drop = std::bernoulli_distribution(drop_rate_)(drop_rng_);
    }
    if (drop) ++counters_.dropped_chunks;
    return drop;
}

bool FaultPlan::take_refused_claim(uint8_t interface_number) {
    if (interface_number >= 2 || !refuse_interface_[interface_number]) return false;
    ++counters_.refused_claims;
    return true;
}

void FaultPlan::set_param_reply(std::optional<uint8_t> id, std::optional<uint8_t> length,
                                uint32_t count) {
    param_reply_ = {id, length};
    param_replies_ = count;
}

std::optional<FaultPlan::ParamReplyFault> FaultPlan::take_param_reply() {
    if (param_replies_ == 0) return std::nullopt;
    --param_replies_;
    ++counters_.altered_param_replies;
    return param_reply_;
}

void FaultPlan::script_in_replies(std::vector<std::vector<uint8_t>> replies) {
    scripted_replies_.assign(std::make_move_iterator(replies.begin()),
                             std::make_move_iterator(replies.end()));
}

std::optional<std::vector<uint8_t>> FaultPlan::take_scripted_reply() {
    if (scripted_replies_.empty()) return std::nullopt;
    std::vector<uint8_t> reply = std::move(scripted_replies_.front());
    scripted_replies_.pop_front();
    ++counters_.scripted_replies;
    return reply;
}

bool FaultPlan::take_refused_open() {
    if (!refuse_open_) return false;
    ++counters_.refused_opens;
    return true;
}

void FaultPlan::corrupt(std::span<uint8_t> bytes) {
    if (corruption_rate_ <= 0) return;
    std::uniform_int_distribution<int> flip(1, 255);
    std::geometric_distribution<uint64_t> gap(corruption_rate_ < 1 ? corruption_rate_ : 0.5);
    uint64_t pos = next_corruption_;
    while (pos < bytes.size()) {
        bytes[pos] = static_cast<uint8_t>(bytes[pos] ^ flip(corruption_rng_));
        ++counters_.corrupted_bytes;
        pos += 1 + (corruption_rate_ < 1 ? gap(corruption_rng_) : 0);
    }
    next_corruption_ = pos - bytes.size();
}

void FaultPlan::count_frame_sent() {
    if (unplug_after_ && *unplug_after_ > 0) --*unplug_after_;
}

void FaultPlan::count_unplug() {
    unplug_after_.reset();
    ++counters_.unplugs;
}

}  // namespace nxsim
