// Finding, collecting and accepting chunk headers.
#include <algorithm>
#include <cstring>

#include "common/nx_log.h"
#include "stream/stream_parser.h"

using nx::stream::Counters;
using nx::stream::Input;
using nx::stream::kHeaderSize;
using nx::stream::kMagic0;
using nx::stream::kMagic1;
using nx::stream::Pass;

namespace {

constexpr const char *kSyncFn = "_sync_stream_hdr";
constexpr const char *kFeedFn = "nx_stream_feed_input";

// Position of the next magic pair at or after `from`, or `n` when there is
// none (a trailing 0xFB alone does not count).
size_t find_magic(const uint8_t *p, size_t n, size_t from) {
    while (from + 1 < n) {
        const void *hit = std::memchr(p + from, kMagic0, n - 1 - from);
        if (hit == nullptr) return n;
        const auto at = static_cast<size_t>(static_cast<const uint8_t *>(hit) - p);
        if (p[at + 1] == kMagic1) return at;
        from = at + 1;
    }
    return n;
}

}  // namespace

// Scans the rest of the piece for a header. Bytes before a valid header are
// skipped; an incomplete header at the end is kept for the next piece.
Pass nx_stream::search_header(Input &in) {
    for (size_t i = find_magic(in.p, in.rem, 0); i < in.rem; i = find_magic(in.p, in.rem, i + 1)) {
        const size_t left = in.rem - i;
        if (left < kHeaderSize) {
            std::memcpy(hdr_.data(), in.p + i, left);
            hdr_fill_ = static_cast<uint8_t>(left);
            NX_TRC(kSyncFn, "[%s] partial stream hdr found: %d bytes, need more bytes.\n",
                   static_cast<int>(hdr_fill_));
            in.consume(in.rem);
            return Pass::kGoOn;
        }
        if (nx::stream::header_valid(in.p + i)) {
            std::memcpy(hdr_.data(), in.p + i, kHeaderSize);
            hdr_fill_ = kHeaderSize;
            start_chunk();
            NX_TRC(kSyncFn, "[%s] HDR found: idx/len=%d/%d (frlen:%d,fridx=%d,frfmt=%d)\n",
                   static_cast<int>(head_.sidx), static_cast<int>(head_.len),
                   static_cast<int>(head_.frlen), static_cast<int>(head_.fridx),
                   static_cast<int>(head_.frfmt));
            in.consume(i + kHeaderSize);
            if (i > 0) {
                NX_TRC(kSyncFn, "[%s] sync hdr: skip %d bytes\n", static_cast<int>(i));
                Counters::add(counters_.bytes_skipped, static_cast<uint32_t>(i));
            }
            accept_header();
            return Pass::kGoOn;
        }
        hdr_fill_ = 0;  // a header in force while discarding is dropped too
    }

    if (in.p[in.rem - 1] == kMagic0) {
        hdr_[0] = kMagic0;
        hdr_fill_ = 1;
        NX_TRC(kSyncFn, "[%s] partial stream hdr found: %d bytes, need more bytes.\n", 1);
        return Pass::kReturn;
    }

    const size_t count = in.rem;
    in.consume(count);
    if (hdr_fill_ == kHeaderSize) {
        // Payload of an ignored chunk scanned while discarding.
        if (count > kHeaderSize) {
            NX_TRC(kSyncFn, "[%s] sync hdr: skip %d bytes\n",
                   static_cast<int>(count - kHeaderSize));
            Counters::add(counters_.bytes_skipped, static_cast<uint32_t>(count - kHeaderSize));
        }
    } else if (discarding_) {
        NX_DBG(kSyncFn, "[%s] not find hdr: skip %d bytes\n", static_cast<int>(count));
    } else {
        NX_DBG(kSyncFn, "[%s] discard frame: stream hdr verify failed\n");
        discarding_ = true;
        discard_cur_frame();
    }
    return Pass::kGoOn;
}

// Adds the piece's first bytes to a header begun in the previous piece. When
// the completed header is invalid, the whole piece is searched afresh.
Pass nx_stream::complete_partial_header(Input &in) {
    const Input whole = in;
    const size_t n = std::min<size_t>(in.rem, kHeaderSize - hdr_fill_);
    std::memcpy(hdr_.data() + hdr_fill_, in.p, n);
    hdr_fill_ = static_cast<uint8_t>(hdr_fill_ + n);
    in.consume(n);
    if (hdr_fill_ < kHeaderSize) {
        NX_TRC(kSyncFn, "[%s] partial stream hdr found: %d bytes, need more bytes.\n",
               static_cast<int>(hdr_fill_));
        return Pass::kGoOn;
    }
    if (nx::stream::header_valid(hdr_.data())) {
        start_chunk();
        NX_TRC(kSyncFn, "[%s] HDR found: idx/len=%d/%d(frlen:%d,fridx=%d,frfmt=%d)\n",
               static_cast<int>(head_.sidx), static_cast<int>(head_.len),
               static_cast<int>(head_.frlen), static_cast<int>(head_.fridx),
               static_cast<int>(head_.frfmt));
        accept_header();
        return Pass::kGoOn;
    }
    hdr_fill_ = 0;
    forget_continuity();
    in = whole;
    return search_header(in);
}

void nx_stream::start_chunk() {
    head_ = nx::stream::decode_header(hdr_.data());
    chunk_frames_ = 0;
    chunk_rcv_ = 0;
    chunk_sum_ = 0;
}

// Decides what a verified header means for the frame being assembled: a
// header that does not continue it ends it, and while discarding only a
// frame start resumes assembly.
void nx_stream::accept_header() {
    if (discarding_) {
        if (!head_.frame_start) return;  // its payload is scanned, not stored
        discarding_ = false;
        last_sidx_ = -1;
        accept_frame_start();
        return;
    }
    if (head_.frame_start) {
        accept_frame_start();
        return;
    }
    if (accept_continuation()) check_chunk_sequence();
}

// A chunk without frame start must carry the frame index of the chunk before.
bool nx_stream::accept_continuation() {
    if (last_fridx_ == -1 || last_fridx_ == head_.fridx) return true;
    NX_DBG(kFeedFn, "[%s] discard frame: frame idx not consist (prev=%d, cur=%d)\n",
           static_cast<int>(last_fridx_), static_cast<int>(head_.fridx));
    discard_cur_frame();
    last_sidx_ = -1;
    return false;
}

void nx_stream::accept_frame_start() {
    if (!cur_.empty()) {
        NX_DBG(kFeedFn, "[%s] discard frame: frame bound met, prev not complete\n");
        discard_cur_frame();
        last_sidx_ = -1;
        return;
    }
    if (Counters::get(counters_.frames_assembled) != 0 && last_fridx_ != -1) {
        const auto expected = static_cast<uint16_t>(last_fridx_ + fridx_step_);
        if (expected != head_.fridx) {
            NX_DBG(kFeedFn, "[%s] missing frame: jumpping frame idx (prev=%d, cur=%d)\n",
                   static_cast<int>(expected), static_cast<int>(head_.fridx));
        }
    }
}

// Consecutive chunks of one frame count up by one.
void nx_stream::check_chunk_sequence() {
    if (last_sidx_ == -1 || head_.sidx == static_cast<uint16_t>(last_sidx_ + 1)) return;
    NX_DBG(kFeedFn, "[%s] discard frame: stream hdr idx not correct (prev=%d, cur=%d)\n",
           static_cast<int>(last_sidx_), static_cast<int>(head_.sidx));
    discarding_ = true;
    discard_cur_frame();
}
