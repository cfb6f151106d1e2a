// The camera's status of the last command it executed: the only answer that
// tells a command's success from its failure.
#include <array>
#include <chrono>
#include <cstring>

#include "common/nx_log.h"
#include "ll/usb/usb_ll_cmd.h"

namespace {

constexpr int kStatusSize = 63;
constexpr int kMessageOffset = 3;
constexpr uint8_t CMD_STATUS_ERROR = 0xFF;
constexpr uint8_t CMD_STATUS_BUSY = 0xFE;

// The camera ends its busy state when the command finishes; one that stays
// busy longer than this is treated as broken rather than waited for forever.
constexpr auto kBusyLimit = std::chrono::seconds(10);

}  // namespace

bool usb_ll_check_last_cmd(ll_device *ll, uint8_t cmd, uint8_t sub) {
    constexpr const char *fn = "usb_ll_check_last_cmd";
    const auto busy_since = std::chrono::steady_clock::now();
    for (;;) {
        std::array<uint8_t, kStatusSize> reply{};
        if (!usb_cmd_recv(ll, REQ_STATUS, 0, reply.data(), kStatusSize)) return false;
        const uint8_t status = reply[0];
        if (reply[1] != cmd || reply[2] != sub) {
            NX_WRN(fn, "[%s]  last cmd (t=%u,v=%u) is not as expect(t=%u,v=%u)\r\n", reply[1],
                   reply[2], cmd, sub);
            return false;
        }
        if (status == CMD_STATUS_ERROR) {
            // The camera's text, cut at the reply's end if it has no NUL.
            std::array<char, kStatusSize - kMessageOffset + 1> text{};
            std::memcpy(text.data(), reply.data() + kMessageOffset, text.size() - 1);
            NX_ERR(fn, "[%s] %s\n", text.data());
            return false;
        }
        if (status != CMD_STATUS_BUSY) return true;
        if (std::chrono::steady_clock::now() - busy_since >= kBusyLimit) {
            NX_ERR(fn, "[%s] camera still busy with (t=%u,v=%u) after %lld s, giving up\n", cmd,
                   sub, static_cast<long long>(kBusyLimit.count()));
            return false;
        }
    }
}
