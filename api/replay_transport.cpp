#include "api/replay_transport.h"

#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

#include "api/capture.h"
#include "common/nx_log.h"
#include "sensorlib/register_bridge.h"
#include "stream/payload_sum.h"
#include "stream/stream_header.h"

namespace nx::rec {
namespace {

// Log tags: the transport operation each line comes from.
constexpr const char *kParamGetFn = "replay_param_get";
constexpr const char *kRegReadFn = "replay_reg_read";
constexpr const char *kRegWriteFn = "replay_reg_write";
constexpr const char *kCapStartFn = "replay_cap_start";
constexpr const char *kPlayFn = "replay_play";
constexpr const char *kExeCmdFn = "replay_exe_cmd";
constexpr uint32_t kChunkPayload = 512 * 1024;
constexpr auto kRoomPoll = std::chrono::milliseconds(2);

uint64_t register_key(uint32_t target, uint32_t reg) {
    return uint64_t{target} << 32 | reg;
}

// The recorded frames as the camera sent them: each frame in chunks of at
// most kChunkPayload bytes, the first marked as the frame's start, all with
// their payload checksum and consecutive chunk numbers.
class ChunkEncoder {
  public:
    // The chunks of one frame, handed to `emit` one by one; false when emit
    // refused one.
    template <typename Emit>
    bool encode(const FrameHead &head, std::span<const uint8_t> bytes, Emit &&emit) {
        for (size_t at = 0; at < bytes.size();) {
            const size_t n = std::min<size_t>(kChunkPayload, bytes.size() - at);
            chunk_.resize(nx::stream::kHeaderSize + n);
            stream::ChunkHeader h{};
            h.sidx = sidx_++;
            h.len = static_cast<uint32_t>(n);
            h.frame_start = at == 0;
            h.data_sum_valid = true;
            h.data_sum =
                stream::copy_and_sum(chunk_.data() + stream::kHeaderSize, bytes.data() + at, n, 0);
            stream::encode_header(chunk_.data(), h, head.info);
            if (!emit(chunk_)) return false;
            at += n;
        }
        return true;
    }

  private:
    uint16_t sidx_ = 0;
    std::vector<uint8_t> chunk_;
};

class ReplayDevice {
  public:
    explicit ReplayDevice(std::unique_ptr<ReplaySource> source) : src_(std::move(source)) {
        for (const RegisterBlock &block : src_->recording.registers)
            for (size_t i = 0; i < block.values.size(); ++i)
                regs_[register_key(block.target, block.base + static_cast<uint32_t>(i))] =
                    block.values[i];
    }
    ~ReplayDevice() {
        stop_player();
        if (src_->fd >= 0) ::close(src_->fd);
        std::error_code ignored;
        if (!src_->folder.empty()) std::filesystem::remove_all(src_->folder, ignored);
    }
    ReplayDevice(const ReplayDevice &) = delete;
    ReplayDevice &operator=(const ReplayDevice &) = delete;

    bool param_get(ll_param_entry *entries, int count) const {
        for (int i = 0; i < count; ++i) {
            const auto &params = src_->recording.params;
            auto it = std::find_if(params.begin(), params.end(),
                                   [&](const ll_param_entry &p) { return p.id == entries[i].id; });
            if (it == params.end()) {
                NX_ERR(kParamGetFn, "[%s] parameter %d not in the recording\n",
                       static_cast<int>(entries[i].id));
                return false;
            }
            entries[i] = *it;
        }
        return true;
    }

    bool reg_read(uint32_t target, uint32_t base, uint32_t *values, uint16_t count) {
        std::lock_guard lock(mu_);
        for (uint32_t i = 0; i < count; ++i) {
            auto it = regs_.find(register_key(target, base + i));
            if (it == regs_.end()) {
                NX_ERR(kRegReadFn, "[%s] register %u:0x%x not in the recording\n", target,
                       base + i);
                return false;
            }
            values[i] = it->second;
        }
        return true;
    }

    // The sensor's register file takes writes (the driver's sensor set-up
    // writes it at every open); the camera's other registers cannot be changed.
    bool reg_write(uint32_t target, uint32_t base, const uint32_t *values, uint16_t count) {
        if (target != nx::sensor::kSensorTarget) {
            NX_ERR(kRegWriteFn, "[%s] register write to target %u needs a camera: refused\n",
                   target);
            return false;
        }
        std::lock_guard lock(mu_);
        for (uint32_t i = 0; i < count; ++i)
            regs_[register_key(target, base + i)] = values[i];
        return true;
    }

    bool cap_start(ll_device *ll, ll_cap_event_cb cb, void *arg) {
        stop_player();
        if (src_->recording.frames.empty()) {
            NX_ERR(kCapStartFn, "[%s] the recording holds no frames\n");
            return false;
        }
        std::lock_guard lock(mu_);
        stop_ = false;
        playing_ = true;
        try {
            player_ = std::thread([this, ll, cb, arg] { play(ll, cb, arg); });
        } catch (const std::system_error &) {
            playing_ = false;
            NX_ERR(kCapStartFn, "[%s] cannot start the player thread\n");
            return false;
        }
        return true;
    }

    void request_stop() {
        std::lock_guard lock(mu_);
        stop_ = true;
        changed_.notify_all();
    }

    void stop_player() {
        request_stop();
        if (player_.joinable() && player_.get_id() != std::this_thread::get_id()) player_.join();
    }

    bool idle(uint32_t timeout_ms) {
        std::unique_lock lock(mu_);
        return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                 [this] { return !playing_; });
    }

  private:
    // Waits until the parser has room for one more frame; false when stopped.
    bool wait_for_room(Session &session) {
        nx_stream_cfg cfg{};
        nx_stream_get_cfg(session.stream.get(), &cfg);
        const uint32_t room = std::max<uint32_t>(cfg.max_frames, 2) - 1;
        std::unique_lock lock(mu_);
        while (!stop_ && cap_frames_waiting(session) >= room)
            changed_.wait_for(lock, kRoomPoll);
        return !stop_;
    }

    bool stopped() {
        std::lock_guard lock(mu_);
        return stop_;
    }

    void play(ll_device *ll, ll_cap_event_cb cb, void *arg) {
        Session &session = *static_cast<Session *>(ll);
        ChunkEncoder encoder;
        std::vector<uint8_t> bytes;
        const Recording &rec = src_->recording;
        bool ok = true;
        for (size_t i = 0; ok && i < rec.frames.size(); ++i) {
            const FrameRef &frame = rec.frames[i];
            bytes.resize(frame.head.info.frlen);
            ok = wait_for_room(session) && read_frame_bytes(src_->fd, frame, bytes);
            if (!ok && !stopped())
                NX_ERR(kPlayFn, "[%s] frame %zu of the recording unreadable\n", i);
            ok = ok && encoder.encode(frame.head, bytes, [&](std::vector<uint8_t> &chunk) {
                cb(ll, LL_CAP_EVT_DATA, chunk.data(), static_cast<int>(chunk.size()), arg);
                return !stopped();
            });
            if (ok && src_->loop && i + 1 == rec.frames.size()) i = static_cast<size_t>(-1);
        }
        // The end of the recording ends the capture as a cancelled stream does.
        if (!stopped()) cb(ll, LL_CAP_EVT_CANCELLED, nullptr, 0, arg);
        std::lock_guard lock(mu_);
        playing_ = false;
        changed_.notify_all();
    }

    std::unique_ptr<ReplaySource> src_;
    std::mutex mu_;
    std::condition_variable changed_;
    std::map<uint64_t, uint32_t> regs_;  // guarded by mu_
    bool stop_ = false;                  // guarded by mu_
    bool playing_ = false;               // guarded by mu_
    std::thread player_;
};

ReplayDevice *replay_of(ll_device *ll) {
    return ll != nullptr ? static_cast<ReplayDevice *>(ll->priv) : nullptr;
}

bool needs_camera(const char *fn, const char *what) {
    NX_ERR(fn, "[%s] %s needs a camera: not available on a recording\n", what);
    return false;
}

ll_device *replay_open(ll_device *ll) {
    return replay_of(ll) != nullptr ? ll : nullptr;
}

ll_device *replay_open_by_fd(ll_device *) {
    needs_camera("replay_open_by_fd", "open by descriptor");
    return nullptr;
}

void replay_close(ll_device *ll) {
    std::unique_ptr<ReplayDevice> owned(replay_of(ll));
    ll->priv = nullptr;
}

bool replay_exe_cmd(ll_device *, uint8_t, uint8_t cmd, uint16_t, void *, int, uint32_t) {
    NX_ERR(kExeCmdFn, "[%s] command 0x%02x needs a camera: not available on a recording\n",
           static_cast<unsigned>(cmd));
    return false;
}

bool replay_check_last_cmd(ll_device *, uint8_t, uint8_t) {
    return false;
}

void replay_cap_abort(ll_device *ll) {
    if (ReplayDevice *replay = replay_of(ll)) replay->request_stop();
}

bool replay_cap_start(ll_device *ll, uint32_t, ll_cap_event_cb cb, void *cb_arg) {
    ReplayDevice *replay = replay_of(ll);
    return replay != nullptr && cb != nullptr && replay->cap_start(ll, cb, cb_arg);
}

bool replay_cap_stop(ll_device *ll) {
    ReplayDevice *replay = replay_of(ll);
    if (replay == nullptr) return false;
    replay->stop_player();
    return true;
}

bool replay_dev_reset(ll_device *, uint8_t) {
    return needs_camera("replay_dev_reset", "reset");
}

bool replay_reg_write(ll_device *ll, uint8_t target, uint32_t base, const uint32_t *values,
                      uint16_t count) {
    ReplayDevice *replay = replay_of(ll);
    return replay != nullptr && replay->reg_write(target, base, values, count);
}

bool replay_reg_read(ll_device *ll, uint8_t target, uint32_t base, uint32_t *values,
                     uint16_t count) {
    ReplayDevice *replay = replay_of(ll);
    return replay != nullptr && replay->reg_read(target, base, values, count);
}

bool replay_param_set(ll_device *, const ll_param_entry *, int) {
    return needs_camera("replay_param_set", "parameter write");
}

bool replay_param_get(ll_device *ll, ll_param_entry *entries, int count) {
    ReplayDevice *replay = replay_of(ll);
    return replay != nullptr && replay->param_get(entries, count);
}

bool replay_cap_idle(ll_device *ll, uint32_t timeout_ms) {
    ReplayDevice *replay = replay_of(ll);
    return replay == nullptr || replay->idle(timeout_ms);
}

}  // namespace

void *make_replay_priv(std::unique_ptr<ReplaySource> source) {
    return std::make_unique<ReplayDevice>(std::move(source)).release();
}

}  // namespace nx::rec

const ll_ops ll_op_replay = {
    .init = nullptr,
    .uninit = nullptr,
    .set_debug = nullptr,
    .dev_open = nx::rec::replay_open,
    .dev_open_by_fd = nx::rec::replay_open_by_fd,
    .dev_close = nx::rec::replay_close,
    .dev_list = nullptr,
    .exe_cmd = nx::rec::replay_exe_cmd,
    .check_last_cmd = nx::rec::replay_check_last_cmd,
    .cap_abort = nx::rec::replay_cap_abort,
    .cap_start = nx::rec::replay_cap_start,
    .cap_stop = nx::rec::replay_cap_stop,
    .dev_reset = nx::rec::replay_dev_reset,
    .reg_write = nx::rec::replay_reg_write,
    .reg_read = nx::rec::replay_reg_read,
    .param_set = nx::rec::replay_param_set,
    .param_get = nx::rec::replay_param_get,
    .cap_idle = nx::rec::replay_cap_idle,
};
