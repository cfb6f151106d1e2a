// Fetching the calibration block from the camera: the camera sends it as one
// frame of its data-upload mode, through the same capture calls an
// application uses. Runs inside the device's open, before the application
// can capture.
#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "common/nx_log.h"
#include "drivers/epc/epc_calib_package.h"

namespace nx::epc {
namespace {

constexpr const char *kFn = "_load_calib_data";
constexpr uint8_t kModeNormal = 0;
constexpr uint8_t kModeDataUpload = 9;

bool set_mode(nivex_device *dev, uint8_t mode) {
    nivex_param_entry entry{};
    entry.param_id = NIVEX_PARAM_DEV_MODE;
    entry.param_val_len = 1;
    entry.param_val.u8 = mode;
    return nivex_param_batch_set(dev, &entry, 1);
}

// The capture buffer of the device before the upload, put back afterwards so
// that the application finds what it configured.
class BufferRestore {
  public:
    explicit BufferRestore(nivex_device *dev) : dev_(dev) {
        void *unused = nullptr;
        saved_ = nivex_cap_get_frame_buffer(dev, &unused, &size_);
    }
    ~BufferRestore() {
        if (saved_) nivex_cap_set_frame_buffer(dev_, nullptr, size_);
    }
    BufferRestore(const BufferRestore &) = delete;
    BufferRestore &operator=(const BufferRestore &) = delete;

  private:
    nivex_device *dev_;
    uint32_t size_ = 0;
    bool saved_ = false;
};

// Captures the block and runs the package step on it. The camera is in its
// data-upload mode; the capture is stopped again on every path. False only
// when there is no memory for the block.
bool receive_block(const epc_driver_state &state, uint32_t fsize) {
    nivex_device *dev = state.dev;
    std::vector<uint8_t> block;
    try {
        block.resize(fsize);
    } catch (const std::bad_alloc &) {
        NX_ERR(kFn, "[%s] malloc failed\n");
        return false;
    }
    nivex_cap_start(dev);
    nivex_frame_meta meta{};
    const int n = nivex_cap_get_frames(dev, 1, block.data(), fsize, &meta);
    NX_DBG(kFn, "[%s] get %d frames: [%u, %ux%u, %u]\n", n, static_cast<unsigned>(meta.frame_idx),
           meta.width, meta.height, static_cast<unsigned>(meta.frame_format));
    if (n != 1) {
        NX_DBG(kFn, "[%s] capturing is stopped due to some error!\n");
    } else if (meta.frame_format != NIVEX_FRAME_FMT_CALIB_DATA) {
        NX_ERR(kFn, "[%s] frame of format %u is no calibration block\n",
               static_cast<unsigned>(meta.frame_format));
    } else {
        const size_t received = std::min<size_t>(meta.frame_size, fsize);
        unpack_calib_block(state, std::span<const uint8_t>(block.data(), received));
    }
    nivex_cap_stop(dev);
    return true;
}

// From the data information on; the camera is in its data-upload mode.
bool fetch_block(const epc_driver_state &state) {
    nivex_param_entry info{};
    info.param_id = NIVEX_PARAM_DATA_INFO;
    if (!nivex_param_batch_get(state.dev, &info, 1)) {
        NX_ERR(kFn, "[%s]  get param of calib data failed!\n");
        return false;
    }
    const CalibHeader h = parse_calib_header(
        std::span<const uint8_t, kCalibHeaderSize>(info.param_val.data, kCalibHeaderSize));
    if (h.valid != 1) {
        NX_DBG(kFn, "[%s] %s: fsize:%d, valid data size:%d, ck_sum:%d, version:%d\n",
               "Calib data not valid", static_cast<int>(h.fsize), static_cast<int>(h.valid_size),
               static_cast<int>(h.ck_sum), static_cast<int>(h.version));
        return false;
    }
    // The size comes from the camera: no allocation beyond what the capture
    // buffer can carry.
    if (h.fsize < kCalibHeaderSize || h.fsize > kCalibBufferSize) {
        NX_ERR(kFn, "[%s] calibration data of %u bytes refused (%u .. %u)\n", h.fsize,
               static_cast<unsigned>(kCalibHeaderSize), kCalibBufferSize);
        return false;
    }
    return receive_block(state, h.fsize);
}

}  // namespace

bool load_calib_data(const epc_driver_state &state) {
    nivex_device *dev = state.dev;
    BufferRestore restore(dev);
    nivex_cap_set_frame_buffer(dev, nullptr, kCalibBufferSize);
    nivex_cap_set_callback_on_error(dev, nullptr);
    nivex_cap_set_callback_on_frame_ready(dev, nullptr);
    if (!set_mode(dev, kModeDataUpload)) {
        NX_ERR(kFn, "[%s]  set mode to DATA_UP failed!\n");
        return false;
    }
    const bool result = fetch_block(state);
    if (!set_mode(dev, kModeNormal)) NX_ERR(kFn, "[%s] set mode back to normal failed\n");
    return result;
}

}  // namespace nx::epc
