// The camera's side of the bulk stream while it captures: paces frames,
// turns them into chunks, buffers the bytes the host has not read yet, and
// applies the stream faults.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "sim/camera/fault_plan.h"
#include "sim/camera/wire.h"
#include "sim/camsim.h"
#include "sim/stream_writer.h"

namespace nxsim {

// What the stream needs to know of the camera at the moment it produces.
struct StreamSettings {
    StreamMode mode = StreamMode::FrameRate;
    uint32_t frame_rate = 30;
    uint32_t chunk_payload = 61440;
    uint32_t fifo_frames = 4;
    int16_t temp_sensor = 0;
    int16_t temp_ib = 0;
    SensorState sensor;
};

class StreamEngine {
  public:
    // Frames of `source` from `now` on, counted from 0.
    void start_frames(std::shared_ptr<FrameSource> source, TimePoint now);
    // One stored data block, sent once as a single frame of its own format.
    void start_block(std::span<const uint8_t> block, const StreamSettings &settings,
                     CameraCounters &counters);
    // Stops producing and forgets the bytes not yet read.
    void stop();
    bool running() const { return running_; }

    // Fills the head transfer of the endpoint. Never blocks: with nothing to
    // send it answers Waiting.
    BulkResult read(std::span<uint8_t> room, TimePoint now, const StreamSettings &settings,
                    FaultPlan &faults, CameraCounters &counters);
    // When read() will next have something to say (TimePoint::max(): never).
    TimePoint next_event(TimePoint now, const StreamSettings &settings) const;
    // Bytes that read() could deliver now (SIZE_MAX: it makes frames on demand).
    size_t backlog(const StreamSettings &settings) const {
        if (settings.mode == StreamMode::Fast && running_ && source_) return SIZE_MAX;
        return pending();
    }
    // The unplug fault is due: every frame it allowed has been read.
    bool unplug_due(const FaultPlan &faults) const { return faults.unplug_due() && pending() == 0; }

    bool halted() const { return halted_; }
    void clear_halt() { halted_ = false; }

    // When the last byte of frame `index` went into a bulk transfer; empty
    // while it has not, or when it is older than the last kSentHistory frames.
    std::optional<TimePoint> frame_sent_at(uint32_t index) const;
    static constexpr size_t kSentHistory = 4096;

  private:
    size_t pending() const { return fifo_.size() - head_; }
    bool can_produce(const FaultPlan &faults) const;
    void catch_up(TimePoint now, const StreamSettings &settings, FaultPlan &faults,
                  CameraCounters &counters);
    void produce(const StreamSettings &settings, FaultPlan &faults, CameraCounters &counters);
    void skip_frame(CameraCounters &counters);
    size_t drop_chunks(size_t from, FaultPlan &faults);
    size_t take(std::span<uint8_t> out);
    void note_frames_sent();

    bool running_ = false;
    bool halted_ = false;
    std::shared_ptr<FrameSource> source_;  // null while sending a data block
    StreamWriter writer_;
    std::vector<uint8_t> frame_;
    uint32_t frame_index_ = 0;
    TimePoint next_frame_at_{};
    std::vector<uint8_t> fifo_;  // chunk bytes produced and not yet read, from head_
    size_t head_ = 0;
    // Stream positions (bytes since the start) where produced frames end.
    uint64_t written_ = 0;
    uint64_t read_ = 0;
    std::deque<std::pair<uint64_t, uint32_t>> frame_ends_;  // (end position, frame index)
    struct Sent {
        uint32_t index = UINT32_MAX;
        TimePoint at{};
    };
    std::array<Sent, kSentHistory> sent_{};
};

}  // namespace nxsim
