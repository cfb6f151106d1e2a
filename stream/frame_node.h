// One frame being assembled or waiting to be fetched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>

#include "stream/nx_stream.h"

namespace nx::stream {

class FrameNode {
  public:
    explicit FrameNode(const nx_stream_frame_info &info) : info_(info) {}

    const nx_stream_frame_info &info() const { return info_; }
    uint32_t capacity() const { return info_.frlen; }
    uint32_t filled() const { return filled_; }
    uint32_t room() const { return capacity() - filled_; }
    bool full() const { return filled_ == capacity(); }
    const uint8_t *data() const { return data_.get(); }

    // Makes room for n more bytes (n <= room()). Frames up to kEagerBytes get
    // their whole length at once, so their bytes are copied exactly once.
    // Longer ones start at kEagerBytes and double as their bytes arrive, so a
    // header claiming a huge frame never commits more than
    // max(kEagerBytes, 2 x the bytes really received). On failure returns
    // false and the size that could not be had in *failed_size.
    bool reserve(uint32_t n, size_t *failed_size);
    // Where the next bytes go; reserve() first.
    uint8_t *write_pos() { return data_.get() + filled_; }
    void commit(uint32_t n) { filled_ += n; }

    static constexpr uint32_t kEagerBytes = 16u << 20;

  private:
    nx_stream_frame_info info_;
    uint32_t filled_ = 0;
    uint32_t allocated_ = 0;
    std::unique_ptr<uint8_t[]> data_;
};

// Constant-time append at the tail, removal at the head or the tail, and
// splicing between lists without allocating.
using FrameList = std::list<FrameNode>;

}  // namespace nx::stream
