#include "fault_schedule.h"

#include <chrono>
#include <iterator>

namespace endurance {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Request code of register commands: injected errors strike only the reads,
// never a capture start or stop.
constexpr int kRegisterRequest = 0xC2;
constexpr uint32_t kSensorTarget = 1;

// Sleeps `ms` in short slices, so that a stop is seen soon.
bool pause(const std::atomic<bool> &stopping, uint32_t ms) {
    const auto until = Clock::now() + milliseconds(ms);
    while (!stopping.load() && Clock::now() < until)
        std::this_thread::sleep_for(milliseconds(std::min<uint32_t>(ms, 20)));
    return !stopping.load();
}

}  // namespace

FaultSchedule::FaultSchedule(nxsim::Camera camera, nivex_device *dev, const FaultRates &rates)
    : camera_(std::move(camera)), dev_(dev), rates_(rates) {
    camera_.inject_corruption(rates_.corrupted_byte, 7);
    camera_.inject_chunk_drop(rates_.dropped_chunk, 11);
    stream_faults_ = std::thread([this] { strike_stream_faults(); });
    register_reads_ = std::thread([this] { read_registers(); });
}

FaultSchedule::~FaultSchedule() {
    stop();
}

void FaultSchedule::stop() {
    stopping_ = true;
    if (stream_faults_.joinable()) stream_faults_.join();
    if (register_reads_.joinable()) register_reads_.join();
}

ReadCounts FaultSchedule::reads() const {
    return {reads_.load(), refused_.load(), failed_.load(), failed_off_bus_.load(),
            unplugs_.load()};
}

void FaultSchedule::strike_stream_faults() {
    const auto start = Clock::now();
    uint64_t stalls = 0, timeouts = 0;
    while (pause(stopping_, 20)) {
        const auto ms = std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
        if (static_cast<uint64_t>(ms) / rates_.stall_every_ms > stalls) {
            ++stalls;
            camera_.inject_stall(1);
        }
        if (static_cast<uint64_t>(ms) / rates_.timeout_every_ms > timeouts) {
            ++timeouts;
            camera_.inject_bulk_timeout(1, 1000);
        }
    }
}

void FaultSchedule::read_registers() {
    const auto start = Clock::now();
    for (uint64_t n = 1; pause(stopping_, rates_.read_every_ms); ++n) {
        read_once(n);
        // The simulator logs every control transfer for the tests that look
        // at the wire; here nobody does, and the log would grow the process.
        camera_.clear_wire_log();
        const auto ms = std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
        const uint64_t due = rates_.first_unplug_ms + unplugs_.load() * rates_.unplug_every_ms;
        if (unplugs_on_ && !off_bus_ && static_cast<uint64_t>(ms) >= due) unplug_and_replug();
    }
}

void FaultSchedule::read_once(uint64_t n) {
    // No fault is injected while the camera is away: a read then fails
    // without a command, and the fault would strike the reopen instead.
    const bool away = off_bus_.load();
    const bool refuse = !away && n % rates_.error_every_reads == 0;
    if (refuse)
        camera_.inject_error("register read refused", kRegisterRequest, 1);
    else if (!away && n % rates_.busy_every_reads == 0)
        camera_.inject_busy(2);
    uint32_t value = 0;
    const bool ok = nivex_reg_batch_read(dev_, kSensorTarget, 0xAE, &value, 1);
    ++reads_;
    if (ok && !refuse) return;
    if (!ok && refuse)
        ++refused_;
    else if (!ok && (away || off_bus_.load()))
        ++failed_off_bus_;
    else
        ++failed_;  // failed without a cause, or a refusal that did not strike
}

void FaultSchedule::unplug_and_replug() {
    const uint64_t n = unplugs_.fetch_add(1);
    off_bus_ = true;
    camera_.unplug();
    pause(stopping_, rates_.off_bus_ms[n % std::size(rates_.off_bus_ms)]);
    camera_.plug();
}

}  // namespace endurance
