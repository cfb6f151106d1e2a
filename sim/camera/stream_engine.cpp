#include "sim/camera/stream_engine.h"

#include <algorithm>
#include <cstring>

#include "sim/camera/test_pattern.h"

namespace nxsim {
namespace {

// Bytes of consumed stream kept before the buffer is compacted.
constexpr size_t kCompactThreshold = size_t{1} << 20;
// After a long pause a camera in frame-rate mode does not replay every frame
// it missed one by one: beyond this many, it skips them in one step.
constexpr int64_t kMaxCatchUpFrames = 64;

std::chrono::nanoseconds frame_period(uint32_t fps) {
    return std::chrono::nanoseconds(1'000'000'000LL / std::max<uint32_t>(fps, 1));
}

uint32_t le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

void StreamEngine::start_frames(std::shared_ptr<FrameSource> source, TimePoint now) {
    stop();
    running_ = true;
    source_ = std::move(source);
    writer_ = StreamWriter();
    frame_index_ = 0;
    next_frame_at_ = now;
}

void StreamEngine::start_block(std::span<const uint8_t> block, const StreamSettings &settings,
                               CameraCounters &counters) {
    stop();
    running_ = true;
    writer_ = StreamWriter();
    if (block.empty()) return;
    FrameDescription description;
    description.frfmt = kFormatDataBlock;
    description.temp_sensor = settings.temp_sensor;
    description.temp_ib = settings.temp_ib;
    writer_.set_description(description);
    counters.chunks_sent += static_cast<uint32_t>(
        writer_.write_frame(block, fifo_, std::min(settings.chunk_payload, kMaxChunkPayload)));
    ++counters.frames_sent;
}

void StreamEngine::stop() {
    running_ = false;
    source_.reset();
    fifo_.clear();
    head_ = 0;
    written_ = read_ = 0;
    frame_ends_.clear();
}

bool StreamEngine::can_produce(const FaultPlan &faults) const {
    return running_ && source_ && !faults.unplug_due();
}

void StreamEngine::skip_frame(CameraCounters &counters) {
    ++frame_index_;
    writer_.set_fridx(static_cast<uint16_t>(writer_.fridx() + 1));
    ++counters.frames_dropped;
}

// Frames fall due at the frame rate whether or not the host reads; the camera
// buffers a few and drops the ones it has no room for.
void StreamEngine::catch_up(TimePoint now, const StreamSettings &settings, FaultPlan &faults,
                            CameraCounters &counters) {
    if (!source_) return;
    const auto period = frame_period(settings.frame_rate);
    if (now < next_frame_at_) return;
    int64_t due = (now - next_frame_at_) / period + 1;
    if (due > kMaxCatchUpFrames) {
        int64_t skipped = due - kMaxCatchUpFrames;
        for (int64_t i = 0; i < skipped; ++i)
            skip_frame(counters);
        next_frame_at_ += period * skipped;
        due = kMaxCatchUpFrames;
    }
    const size_t limit = size_t{settings.fifo_frames} * source_->format().frame_bytes;
    for (int64_t i = 0; i < due; ++i) {
        if (!can_produce(faults)) break;
        if (pending() < limit || pending() == 0)
            produce(settings, faults, counters);
        else
            skip_frame(counters);
        next_frame_at_ += period;
    }
}

void StreamEngine::produce(const StreamSettings &settings, FaultPlan &faults,
                           CameraCounters &counters) {
    const FrameFormat format = source_->format();
    frame_.resize(format.frame_bytes);
    source_->render_sensor(frame_index_, frame_, settings.sensor);
    writer_.set_description(
        {format.frfmt, format.width, format.height, settings.temp_sensor, settings.temp_ib, 0});
    if (head_ > kCompactThreshold && head_ * 2 > fifo_.size()) {
        fifo_.erase(fifo_.begin(), fifo_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
    }
    const size_t start = fifo_.size();
    size_t chunks = writer_.write_frame(
        frame_, fifo_, std::clamp<uint32_t>(settings.chunk_payload, 1, kMaxChunkPayload));
    chunks -= drop_chunks(start, faults);
    faults.corrupt(std::span(fifo_).subspan(start));
    if (fifo_.size() > start) {
        written_ += fifo_.size() - start;
        frame_ends_.emplace_back(written_, frame_index_);
    }
    counters.chunks_sent += static_cast<uint32_t>(chunks);
    ++counters.frames_sent;
    faults.count_frame_sent();
    ++frame_index_;
}

// Removes the chunks the drop fault picks from the bytes appended at `from`;
// returns how many went.
size_t StreamEngine::drop_chunks(size_t from, FaultPlan &faults) {
    size_t read = from;
    size_t write = from;
    size_t dropped = 0;
    while (read + kChunkHeaderSize <= fifo_.size()) {
        const size_t size = kChunkHeaderSize + le32(&fifo_[read + 4]);
        if (faults.take_chunk_drop()) {
            ++dropped;
        } else {
            if (write != read) std::memmove(&fifo_[write], &fifo_[read], size);
            write += size;
        }
        read += size;
    }
    fifo_.resize(write);
    return dropped;
}

size_t StreamEngine::take(std::span<uint8_t> out) {
    const size_t n = std::min(out.size(), pending());
    std::memcpy(out.data(), fifo_.data() + head_, n);
    head_ += n;
    read_ += n;
    if (head_ == fifo_.size()) {
        fifo_.clear();
        head_ = 0;
    }
    return n;
}

BulkResult StreamEngine::read(std::span<uint8_t> room, TimePoint now,
                              const StreamSettings &settings, FaultPlan &faults,
                              CameraCounters &counters) {
    if (halted_) return {0, BulkEnd::Stall};
    if (!running_ || room.empty()) return {0, BulkEnd::Waiting};
    const bool fast = settings.mode == StreamMode::Fast;
    if (!fast) catch_up(now, settings, faults, counters);
    if (fast && pending() == 0 && can_produce(faults)) produce(settings, faults, counters);
    if (pending() == 0) return {0, BulkEnd::Waiting};

    // A halt strikes only while there is stream to send.
    if (faults.take_stall()) {
        halted_ = true;
        return {0, BulkEnd::Stall};
    }
    size_t filled = 0;
    while (filled < room.size()) {
        if (pending() == 0) {
            if (!fast || !can_produce(faults)) break;
            produce(settings, faults, counters);
            if (pending() == 0) break;  // every chunk of the frame was dropped
        }
        filled += take(room.subspan(filled));
    }
    counters.stream_bytes += filled;
    note_frames_sent();
    return {filled, filled == room.size() ? BulkEnd::Full : BulkEnd::Short};
}

// Stamped after the bytes were copied out (not with the pass's start time,
// which comes before the frame was even rendered).
void StreamEngine::note_frames_sent() {
    const TimePoint now = Clock::now();
    while (!frame_ends_.empty() && frame_ends_.front().first <= read_) {
        const uint32_t index = frame_ends_.front().second;
        sent_[index % kSentHistory] = {index, now};
        frame_ends_.pop_front();
    }
}

std::optional<TimePoint> StreamEngine::frame_sent_at(uint32_t index) const {
    const Sent &sent = sent_[index % kSentHistory];
    if (sent.index != index) return std::nullopt;
    return sent.at;
}

TimePoint StreamEngine::next_event(TimePoint now, const StreamSettings &settings) const {
    if (halted_ || pending() > 0) return now;
    if (!running_ || !source_) return TimePoint::max();
    if (settings.mode == StreamMode::Fast) return now;
    return std::max(now, next_frame_at_);
}

}  // namespace nxsim
