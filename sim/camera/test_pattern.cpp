#include "sim/camera/test_pattern.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

namespace nxsim {
namespace {

constexpr uint16_t kWidth = 320;
constexpr uint16_t kHeight = 240;
constexpr uint32_t kPixels = uint32_t{kWidth} * kHeight;
constexpr uint16_t kSampleMask = 0xFFF;
constexpr uint32_t kFrameStep = 0x2F1;  // how far every sample moves from one frame to the next

// Every frame is a base pattern shifted by a per-frame amount, so rendering is
// one cheap pass; the first three words spell out the frame index (12 bits
// each, low bits first) so that any frame can be told from any other.
class TestPattern final : public FrameSource {
  public:
    explicit TestPattern(FrameFormat format) : format_(format), base_(format.frame_bytes / 2) {
        for (uint32_t j = 0; j < base_.size(); ++j)
            base_[j] = static_cast<uint16_t>((j * 2654435761u) >> 20);
    }

    FrameFormat format() const override { return format_; }

    void render(uint32_t index, std::span<uint8_t> out) override {
        std::vector<uint16_t> &words = scratch_;
        words.resize(base_.size());
        const uint16_t shift = static_cast<uint16_t>(index * kFrameStep);
        for (size_t j = 0; j < words.size(); ++j)
            words[j] = static_cast<uint16_t>((base_[j] + shift) & kSampleMask);
        words[0] = static_cast<uint16_t>(index & kSampleMask);
        words[1] = static_cast<uint16_t>((index >> 12) & kSampleMask);
        words[2] = static_cast<uint16_t>(index >> 24);
        // Little-endian words on the wire; this machine is little-endian too.
        std::memcpy(out.data(), words.data(), std::min(out.size(), words.size() * 2));
    }

  private:
    FrameFormat format_;
    std::vector<uint16_t> base_;
    std::vector<uint16_t> scratch_;
};

static_assert(std::endian::native == std::endian::little);

}  // namespace

std::string_view chip_code(std::string_view product) {
    size_t first = product.find('-');
    if (first == std::string_view::npos) return {};
    size_t second = product.find('-', first + 1);
    if (second == std::string_view::npos || second + 1 >= product.size()) return {};
    return product.substr(first + 1, second - first - 1);
}

FrameFormat pattern_format(std::string_view product) {
    if (chip_code(product) == "T0") return {kFormatTiRaw, kWidth, kHeight, kPixels * 4};
    return {kFormatPhasePlanes, kWidth, kHeight, kPixels * 4 * 2};
}

std::shared_ptr<FrameSource> make_test_pattern(std::string_view product) {
    return std::make_shared<TestPattern>(pattern_format(product));
}

std::vector<uint8_t> expected_frame(std::string_view product, uint32_t index) {
    auto source = make_test_pattern(product);
    std::vector<uint8_t> frame(source->format().frame_bytes);
    source->render(index, frame);
    return frame;
}

}  // namespace nxsim
