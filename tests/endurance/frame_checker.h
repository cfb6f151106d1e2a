// The consumer's side of the endurance run: every frame handed out is
// checked against what the camera sent (order and bytes) and then decoded
// into distances and a point cloud, as an application would.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "nivex.h"
#include "sim/camsim.h"

namespace endurance {

class FrameChecker {
  public:
    FrameChecker(nivex_device *dev, std::shared_ptr<nxsim::FrameSource> pattern);

    // Room for one frame, for the fetch to fill.
    std::vector<uint8_t> &frame() { return frame_; }
    // Checks and decodes the frame the fetch filled. Returns "" when it was
    // whole and in order, else what is wrong.
    std::string take(const nivex_frame_meta &meta);
    // A new capture numbers its frames from 0 again.
    void restart() { have_last_ = false; }
    // The camera left the bus: the capture the library restarts after the
    // reopen numbers its frames from 0 again, after the frames of the old
    // one that were ready before the unplug.
    void note_gone() { gone_ = true; }

    uint64_t frames() const { return frames_; }
    uint64_t points() const { return points_; }
    uint64_t skipped() const { return skipped_; }  // indices never handed out

  private:
    std::string check_and_decode(const nivex_frame_meta &meta, uint32_t index);

    nivex_device *dev_;
    std::shared_ptr<nxsim::FrameSource> pattern_;
    std::vector<uint8_t> frame_;
    std::vector<uint8_t> expected_;
    std::vector<float> distances_;
    std::vector<float> cloud_;
    bool have_last_ = false;
    bool gone_ = false;
    uint32_t last_index_ = 0;  // of this capture, unwrapped from the 16-bit field
    uint64_t frames_ = 0;
    uint64_t points_ = 0;
    uint64_t skipped_ = 0;
};

}  // namespace endurance
