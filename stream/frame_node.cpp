#include "stream/frame_node.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace nx::stream {

bool FrameNode::reserve(uint32_t n, size_t *failed_size) {
    const uint64_t need = static_cast<uint64_t>(filled_) + n;
    if (need <= allocated_) return true;
    uint64_t size = std::min<uint64_t>(capacity(), kEagerBytes);
    if (allocated_ != 0) size = std::min<uint64_t>(capacity(), 2ull * allocated_);
    size = std::max(size, need);
    try {
        auto grown = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(size));
        if (filled_ != 0) std::memcpy(grown.get(), data_.get(), filled_);
        data_ = std::move(grown);
        allocated_ = static_cast<uint32_t>(size);
        return true;
    } catch (const std::bad_alloc &) {
        *failed_size = static_cast<size_t>(size);
        return false;
    }
}

}  // namespace nx::stream
