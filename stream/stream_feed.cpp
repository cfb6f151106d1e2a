// Feeding: each pass over the piece handles the situation the parser is in
// (payload due, chunk finished, header search, header partly collected) and
// consumes some bytes, until the piece is used up.
#include <algorithm>

#include "common/nx_log.h"
#include "stream/stream_parser.h"

using nx::stream::Input;
using nx::stream::kHeaderSize;
using nx::stream::Pass;

namespace {
// Feeding logs under the name of the call that feeds.
constexpr const char *kFeedFn = "nx_stream_feed_input";
}  // namespace

bool nx_stream::feed(const uint8_t *data, size_t len) {
    NX_TRC(kFeedFn, "[%s] %d raw bytes\n", static_cast<int>(len));
    Input in{data, data != nullptr ? len : 0};
    while (in.rem > 0) {
        Pass pass = Pass::kGoOn;
        if (hdr_fill_ == kHeaderSize && !discarding_ && !chunk_done_) {
            take_payload(in);
        } else if (hdr_fill_ == kHeaderSize) {
            finish_chunk();
            pass = search_header(in);
        } else if (hdr_fill_ == 0) {
            // Continuity is not checked across a stretch without headers.
            forget_continuity();
            chunk_done_ = false;
            pass = search_header(in);
        } else {
            pass = complete_partial_header(in);
        }
        if (pass == Pass::kReturn) break;
    }
    return Counters::get(counters_.frames_ready) != 0;
}

void nx_stream::forget_continuity() {
    last_sidx_ = -1;
    last_fridx_ = -1;
    fridx_step_ = 1;
}

// The payload is copied into the frames and summed in the same pass. Frames
// completed within a checksummed chunk are held back until the whole chunk
// has been verified, so no frame with unverified bytes is ever queued.
void nx_stream::take_payload(Input &in) {
    const auto n = static_cast<uint32_t>(std::min<size_t>(in.rem, head_.len - chunk_rcv_));
    const uint32_t offset = chunk_rcv_;
    chunk_rcv_ += n;
    const bool chunk_complete = chunk_rcv_ == head_.len;

    NX_TRC(kFeedFn, "[%s] Add %d bytes to frlist\n", static_cast<int>(n));
    if (!add_data(in.p, n, offset, head_.data_sum_valid)) {
        in.consume(n);
        return;
    }
    in.consume(n);
    if (head_.data_sum_valid && chunk_complete) {
        NX_TRC(kFeedFn, "[%s] check data checksum: sidx=%d\n", static_cast<int>(head_.sidx));
        if (chunk_sum_ != head_.data_sum) {
            NX_DBG(kFeedFn, "[%s] discard frame: verify data checksum failed: sidx=%d\n",
                   static_cast<int>(head_.sidx));
            nx::stream::Counters::add(counters_.frames_bad_sum, static_cast<uint32_t>(cur_.size()));
            discard_assembly();
            discarding_ = true;
            chunk_done_ = true;
            chunk_rcv_ = 0;
            chunk_sum_ = 0;
            return;
        }
    }
    if (chunk_complete) {
        chunk_done_ = true;
        chunk_rcv_ = 0;
        chunk_sum_ = 0;
    }
    if (chunk_complete || !head_.data_sum_valid) refresh_lists();
}

// The chunk in force is over (or ignored while discarding): remember its
// numbering for the continuity checks of the next header.
void nx_stream::finish_chunk() {
    last_sidx_ = head_.sidx;
    last_fridx_ = head_.fridx;
    fridx_step_ = head_.frlen < head_.len ? static_cast<uint16_t>(head_.len / head_.frlen) : 1;
    if (chunk_done_) {
        hdr_fill_ = 0;
        chunk_done_ = false;
    }
}
