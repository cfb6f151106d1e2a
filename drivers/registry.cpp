// The static driver registry and the lookup by product text.
#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "common/nx_log.h"
#include "drivers/chip_driver.h"

namespace {

constexpr int kFieldMax = 16;

std::array<chip_driver, 4> g_registry = {{
    {"TI OP8241 chip driver", "T0", &g_nivex_driver_op_ti, nullptr, nullptr},
    {"EPC chip driver", "E1", &g_nivex_driver_op_epc, nullptr, nullptr},
    {"EPC chip driver", "E2", &g_nivex_driver_op_epc, nullptr, nullptr},
    {"EPC chip driver", "E3", &g_nivex_driver_op_epc, nullptr, nullptr},
}};

// Splits "<a>-<b>-<c>" into its fields; each must hold 1 to 16 characters
// other than '-'. Text after the third field is ignored.
bool product_code_of(const char *product, size_t product_size, char (&code)[kFieldMax + 1]) {
    std::array<std::string_view, 3> fields;
    size_t pos = 0;
    size_t end = strnlen(product, product_size);
    std::string_view text(product, end);
    for (size_t f = 0; f < fields.size(); ++f) {
        if (f > 0) {
            if (pos >= end || text[pos] != '-') return false;
            ++pos;
        }
        size_t stop = text.find('-', pos);
        size_t len = (stop == std::string_view::npos ? end : stop) - pos;
        if (len == 0) return false;
        // A field is read up to 16 characters: a longer first or second
        // field leaves no '-' where the next one must start, while a longer
        // third field is simply cut.
        if (len > kFieldMax) {
            if (f + 1 < fields.size()) return false;
            len = kFieldMax;
        }
        fields[f] = text.substr(pos, len);
        pos += len;
    }
    std::memcpy(code, fields[1].data(), fields[1].size());
    code[fields[1].size()] = '\0';
    return true;
}

}  // namespace

extern "C" chip_driver *nivex_drv_find(nivex_device *dev) {
    if (dev == nullptr) return nullptr;
    char code[kFieldMax + 1];
    if (!product_code_of(dev->product, sizeof dev->product, code)) return nullptr;
    for (chip_driver &row : g_registry) {
        if (std::strcmp(code, row.product_code) != 0) continue;
        NX_DBG("nivex_drv_find", "[%s]  find driver for device %s : %s\n",
               std::string(dev->product, strnlen(dev->product, sizeof dev->product)).c_str(),
               row.desc);
        return &row;
    }
    return nullptr;
}
