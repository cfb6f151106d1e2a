// The bus thread's share: the stream endpoint fills queued bulk URBs from the
// camera as its bytes become due, and discarded URBs the camera was slow to
// give up end when their time comes.
#include <algorithm>
#include <cerrno>

#include "sim/umockdev/usbfs_state.h"

namespace nxsim::umock {

void BusState::pass(TimePoint now) {
    for (auto &node : nodes) {
        if (node->gone) continue;
        if (!node->halted) pump(*node, now);
        std::vector<Urb *> due;
        for (Client *client : node->clients) {
            for (const auto &urb : client->pending)
                if (urb->cancel_due && *urb->cancel_due <= now) due.push_back(urb.get());
        }
        for (Urb *urb : due)
            complete(*urb, -ENOENT);
    }
    // The camera may have left the bus while it sent.
    sync_nodes();
}

// A URB completes when its buffer is full or when the camera pauses after
// sending it something (a short packet). A halt ends the head URB and holds
// the rest until libusb clears it. The time-out fault gives a URB its bytes,
// then nothing until libusb's own time-out discards it.
void BusState::pump(Node &node, TimePoint now) {
    CameraModel &cam = *node.camera;
    while (!node.stream.empty() && cam.attached()) {
        Urb &urb = *node.stream.front();
        if (urb.actual == 0 && urb.timeout_after < 0 && cam.next_bulk_event(now) <= now) {
            if (auto partial = cam.take_bulk_timeout())
                urb.timeout_after = static_cast<int32_t>(std::min<int64_t>(*partial, urb.length));
        }
        if (urb.waits_for_timeout()) return;
        if (urb.actual == urb.length) {
            complete(urb, 0);
            continue;
        }
        const int limit = urb.timeout_after >= 0 ? urb.timeout_after : urb.length;
        const BulkResult result = cam.bulk_in(urb.endpoint,
                                              urb.bytes()
                                                  .subspan(static_cast<size_t>(urb.actual))
                                                  .first(static_cast<size_t>(limit - urb.actual)),
                                              now);
        urb.actual += static_cast<int>(result.bytes);
        switch (result.end) {
            case BulkEnd::Full:
                continue;
            case BulkEnd::Stall:
                node.halted = true;
                complete(urb, -EPIPE);
                return;
            case BulkEnd::Short:
            case BulkEnd::Waiting:
                if (urb.actual > 0 && urb.timeout_after < 0) complete(urb, 0);
                return;
        }
    }
}

TimePoint BusState::next_wake(TimePoint now) const {
    TimePoint wake_at = TimePoint::max();
    for (const auto &cam : bus.cameras()) {
        if (auto back = cam->reattach_at(); back && !cam->attached())
            wake_at = std::min(wake_at, *back);
    }
    for (const auto &node : nodes) {
        if (node->gone) continue;
        if (!node->halted && !node->stream.empty() && !node->stream.front()->waits_for_timeout())
            wake_at = std::min(wake_at, node->camera->next_bulk_event(now));
        for (const Client *client : node->clients) {
            for (const auto &urb : client->pending)
                if (urb->cancel_due) wake_at = std::min(wake_at, *urb->cancel_due);
        }
    }
    return wake_at;
}

}  // namespace nxsim::umock
