// The chunk payload checksum: the sum modulo 2^32 of the payload read as
// 32-bit little-endian words counted from the payload's first byte; a partial
// word at the end counts zero-padded.
//
// Because the sum is linear, a byte at payload offset k contributes
// byte << 8 * (k % 4), so the payload can be summed in pieces of any length
// and alignment and the contributions added up.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nx::stream {

// Copies n bytes from src to dst and returns their contribution to the
// checksum, where `offset` is the payload offset of src[0] (only offset % 4
// matters). One pass over the data.
uint32_t copy_and_sum(uint8_t *dst, const uint8_t *src, size_t n, uint32_t offset);

}  // namespace nx::stream
