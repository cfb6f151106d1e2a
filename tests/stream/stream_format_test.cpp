// The chunk format as both sides compute it: header checksum, header limits
// and the payload checksum summed in pieces of any alignment.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "sim/stream_writer.h"
#include "stream/payload_sum.h"
#include "stream/stream_header.h"
#include "stream_test_util.h"

namespace {

std::span<const uint8_t> text(const char *s) {
    return {reinterpret_cast<const uint8_t *>(s), std::strlen(s)};
}

TEST(StreamFormat, Fletcher16MatchesKnownValuesOnBothSides) {
    EXPECT_EQ(nxsim::fletcher16(text("abcde")), 0xC8F0);
    EXPECT_EQ(nxsim::fletcher16(text("abcdef")), 0x2057);
    EXPECT_EQ(nxsim::fletcher16(text("abcdefgh")), 0x0627);
    std::mt19937 rng(1);
    for (int round = 0; round < 200; ++round) {
        std::vector<uint8_t> bytes = streamtest::random_bytes(rng, 34);
        if (round % 3 == 0) std::fill(bytes.begin(), bytes.end(), 0xFF);
        EXPECT_EQ(nx::stream::fletcher16(bytes.data(), bytes.size()), nxsim::fletcher16(bytes));
    }
}

TEST(StreamFormat, PayloadSumPadsTheLastWordWithZeros) {
    const std::vector<uint8_t> p{0x01, 0x02, 0x03, 0x04, 0x05, 0x06};
    EXPECT_EQ(nxsim::payload_sum(p), 0x04030201u + 0x00000605u);
    const std::vector<uint8_t> wrap{0xFF, 0xFF, 0xFF, 0xFF, 0x02};
    EXPECT_EQ(nxsim::payload_sum(wrap), 1u);
}

// The parser sums each stretch of payload with its offset in the chunk;
// however the payload is split, the parts add up to the writer's sum, and
// the bytes are copied unchanged.
TEST(StreamFormat, CopyAndSumAgreesForEverySplitAndAlignment) {
    std::mt19937 rng(2);
    for (size_t len : {0u, 1u, 3u, 4u, 15u, 16u, 17u, 31u, 32u, 33u, 64u, 100u, 1001u}) {
        const std::vector<uint8_t> payload = streamtest::random_bytes(rng, len);
        const uint32_t expected = nxsim::payload_sum(payload);
        for (size_t cut = 0; cut <= len; cut += (len > 40 ? 7 : 1)) {
            // Misaligned destination and source buffers as well.
            std::vector<uint8_t> src(len + 3), dst(len + 5);
            std::copy(payload.begin(), payload.end(), src.begin() + 3);
            uint32_t sum = nx::stream::copy_and_sum(dst.data() + 1, src.data() + 3, cut, 0);
            sum += nx::stream::copy_and_sum(dst.data() + 1 + cut, src.data() + 3 + cut, len - cut,
                                            static_cast<uint32_t>(cut));
            EXPECT_EQ(sum, expected) << "len " << len << " cut " << cut;
            EXPECT_TRUE(std::equal(payload.begin(), payload.end(), dst.begin() + 1));
        }
    }
}

TEST(StreamFormat, HeaderLimitsAndZeroFrameLength) {
    nxsim::ChunkHeader h;
    h.len = 0xFFFFF;
    h.frlen = 0x7FFFFFF;
    h.frfmt = 0x3FF;
    EXPECT_TRUE(nx::stream::header_valid(nxsim::encode_header(h).data()));
    for (int field = 0; field < 4; ++field) {
        nxsim::ChunkHeader bad = h;
        if (field == 0) bad.len = 0x100000;
        if (field == 1) bad.frlen = 0x8000000;
        if (field == 2) bad.frfmt = 0x400;
        if (field == 3) bad.frlen = 0;
        EXPECT_FALSE(nx::stream::header_valid(nxsim::encode_header(bad).data())) << field;
    }
    auto bytes = nxsim::encode_header(h);
    bytes[20] ^= 1;
    EXPECT_FALSE(nx::stream::header_valid(bytes.data()));
}

}  // namespace
