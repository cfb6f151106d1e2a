#include "frame_checker.h"

#include <cstring>
#include <span>

namespace endurance {

FrameChecker::FrameChecker(nivex_device *dev, std::shared_ptr<nxsim::FrameSource> pattern)
    : dev_(dev), pattern_(std::move(pattern)) {
    const size_t bytes = pattern_->format().frame_bytes;
    frame_.resize(bytes);
    expected_.resize(bytes);
}

std::string FrameChecker::take(const nivex_frame_meta &meta) {
    if (meta.frame_size != frame_.size())
        return "frame of " + std::to_string(meta.frame_size) + " bytes";
    // The stream numbers frames in 16 bits; a long capture wraps. A frame
    // must come after the last one, at most half the number range later.
    uint32_t index = meta.frame_idx;
    if (have_last_) {
        const uint32_t step = (meta.frame_idx - last_index_) & 0xFFFFu;
        const bool backwards = step == 0 || step >= 0x8000u;
        if (backwards && !gone_)
            return "frame " + std::to_string(meta.frame_idx) + " after frame " +
                   std::to_string(last_index_ & 0xFFFFu);
        if (backwards) {
            gone_ = false;  // the first frame of the capture restarted after a reopen
        } else {
            skipped_ += step - 1;
            index = last_index_ + step;
        }
    }
    have_last_ = true;
    last_index_ = index;
    return check_and_decode(meta, index);
}

std::string FrameChecker::check_and_decode(const nivex_frame_meta &meta, uint32_t index) {
    pattern_->render(index, expected_);
    if (std::memcmp(frame_.data(), expected_.data(), frame_.size()) != 0)
        return "damaged frame " + std::to_string(index);

    const size_t pixels = static_cast<size_t>(meta.width) * meta.height;
    distances_.resize(2 * pixels);  // the decode's scratch is the upper half
    cloud_.resize(3 * pixels);
    const int dist_len = static_cast<int>(distances_.size());
    if (nivex_frame_get_distance(dev_, distances_.data(), dist_len, frame_.data(),
                                 static_cast<int>(frame_.size()), &meta) <= 0)
        return "frame " + std::to_string(index) + " did not decode";
    points_ += static_cast<uint64_t>(
        nivex_frame_get_pcl(dev_, cloud_.data(), static_cast<int>(cloud_.size()), distances_.data(),
                            static_cast<int>(pixels), static_cast<int>(meta.width),
                            static_cast<int>(meta.height), nullptr));
    ++frames_;
    return "";
}

}  // namespace endurance
