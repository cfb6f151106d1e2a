// Decoding an EPC frame (four phase-sample planes) into a distance image in
// millimetres or an amplitude image, both in top-to-bottom row order.
//
// Distance: phase and amplitude per pixel with the simple or the per-pixel
// calibration (readout order), row reordering, HDR merge, minimum-amplitude
// marking, the depth smoothing chain, the range check and, for 320 x 240
// images, lens undistortion. Gray: amplitude, reordering, HDR merge,
// undistortion. The work images come from the device's pool.
#include <algorithm>
#include <cstring>
#include <new>

#include "common/nx_log.h"
#include "drivers/epc/epc_calibration.h"
#include "drivers/epc/epc_driver_ops.h"
#include "drivers/epc/epc_features.h"
#include "drivers/epc/epc_image_steps.h"
#include "drivers/epc/epc_pixel.h"
#include "imgproc/nx_filter.h"
#include "sensorlib/dcs_row_order.h"

namespace nx::epc {
namespace {

constexpr const char *kFn = "epc_frame_decode";
constexpr uint16_t kNoSource = 0;

struct Frame {
    const uint8_t *src = nullptr;
    int width = 0;
    int height = 0;
    size_t pixels = 0;
};

// A set of work images, given back to the device's pool on every path.
class WorkLease {
  public:
    WorkLease(WorkPool &pool, size_t n) : pool_(pool), images_(pool.take(n)) {}
    ~WorkLease() { pool_.give(std::move(images_)); }
    WorkLease(const WorkLease &) = delete;
    WorkLease &operator=(const WorkLease &) = delete;
    uint16_t *a() { return images_->a.data(); }
    uint16_t *b() { return images_->b.data(); }

  private:
    WorkPool &pool_;
    std::unique_ptr<WorkImages> images_;
};

int32_t refuse(epc_driver_state &state) {
    state.frame_valid.store(0);
    return -1;
}

// Undistorts `image` into `spare` and returns the undistorted one; a remap
// that cannot run leaves the image as it is.
uint16_t *undistort(const epc_driver_state &state, const Frame &f, uint16_t *image,
                    uint16_t *spare) {
    if (!state.lens_map.ready) {
        NX_WRN(kFn, "[%s] undistortion maps not built: image left as it is\n");
        return image;
    }
    if (nx_calib_len_undistort_u16(&state.lens_map, spare, static_cast<int>(f.pixels), image,
                                   f.width, f.height, kNoSource) != 1) {
        NX_WRN(kFn, "[%s] undistortion refused: image left as it is\n");
        return image;
    }
    return spare;
}

bool undistorts(const epc_driver_state &state, const Frame &f) {
    return decode_undistorts(state, f.width, f.height);
}

// Distance into dst and amplitude into amp, in readout order.
void compute_distance(epc_driver_state &state, const DistanceConstants &c, const Frame &f,
                      uint16_t *dst, uint16_t *amp) {
    if (state.drnu_on.load()) {
        if (std::optional<DrnuCalib> drnu = drnu_calib(state, c, f.width, f.height)) {
            distance_drnu(f.src, f.pixels, *drnu, dst, amp);
            return;
        }
        if (!state.warned_no_table.exchange(true))
            NX_WRN(kFn, "[%s] no lookup table of %dx%d pixels loaded: simple calibration used\n",
                   f.width, f.height);
    }
    distance_linear(f.src, f.pixels, simple_calib(state, c), dst, amp);
}

int32_t decode_distance(epc_driver_state &state, const Frame &f, uint16_t *dst) {
    const DistanceConstants c = current_constants(state);
    WorkLease work(state.work, f.pixels);
    compute_distance(state, c, f, dst, work.a());
    nx::dcs_sort(work.b(), work.a(), f.width, f.height);  // amplitude
    nx::dcs_sort(work.a(), dst, f.width, f.height);       // distance
    if (state.hdr_on.load()) hdr_merge(work.a(), work.b(), f.width, f.height);
    if (!min_amp_mark(state, work.a(), work.b(), f.pixels)) return refuse(state);
    uint16_t *image = work.a();
    if (state.depth_smooth_on.load() && state.median_size.load() > 1)
        image = nx::depth_smooth_chain(work.a(), dst, f.width, f.height,
                                       state.flypix_on.load() != 0, state.flypix_threshold.load());
    range_check(image, f.pixels, c.range_mm);
    if (undistorts(state, f)) image = undistort(state, f, image, image == dst ? work.a() : dst);
    if (image != dst) std::memcpy(dst, image, f.pixels * sizeof(uint16_t));
    return static_cast<int32_t>(f.pixels * sizeof(uint16_t));
}

int32_t decode_gray(epc_driver_state &state, const Frame &f, uint16_t *dst) {
    WorkLease work(state.work, f.pixels);
    gray(f.src, f.pixels, dst);
    nx::dcs_sort(work.a(), dst, f.width, f.height);
    if (state.hdr_on.load()) hdr_merge(work.a(), work.a(), f.width, f.height);
    uint16_t *image = work.a();
    if (undistorts(state, f)) image = undistort(state, f, image, dst);
    if (image != dst) std::memcpy(dst, image, f.pixels * sizeof(uint16_t));
    return static_cast<int32_t>(f.pixels * sizeof(uint16_t));
}

// Formats other than the phase planes are refused; a calibration data frame
// is said so.
int32_t refuse_format(epc_driver_state &state, const nivex_frame_meta &meta, int kind) {
    switch (meta.frame_format) {
        case 0:
            return -1;
        case NIVEX_FRAME_FMT_UNSUPPORTED:
            if (kind == NX_DECODE_DISTANCE) state.frame_valid.store(0);
            return -1;
        case NIVEX_FRAME_FMT_CALIB_DATA:
            NX_INF(kFn, "[%s] Calibration data frame,size:%d\n", static_cast<int>(meta.frame_size));
            return refuse(state);
        default:
            return refuse(state);
    }
}

int32_t decode_planes(epc_driver_state &state, const Frame &f, uint16_t *dst, int kind) {
    if (state.dcs_check_on.load() && !dcs_check(state, f.src, f.pixels)) return -1;
    switch (kind) {
        case NX_DECODE_DISTANCE:
            return decode_distance(state, f, dst);
        case NX_DECODE_GRAY:
            return decode_gray(state, f, dst);
        default:
            return refuse(state);
    }
}

// Geometry the pixel routines and the row reordering can work on: whole
// groups of 4 pixels, row pairs.
bool decodable(const Frame &f) {
    if (f.pixels % 4 == 0 && f.height % 2 == 0) return true;
    NX_ERR(kFn,
           "[%s] frame %dx%d cannot be decoded: want a multiple of 4 pixels and an even "
           "height\n",
           f.width, f.height);
    return false;
}

}  // namespace

int32_t epc_frame_decode(chip_driver *drv, uint16_t *dst, uint32_t dst_bytes, int kind,
                         const uint8_t *src, uint32_t src_len, const nivex_frame_meta *meta) {
    epc_driver_state *state = state_of(drv);
    if (state == nullptr) {
        NX_ERR(kFn, "[%s] no EPC driver state\n");
        return -1;
    }
    const uint32_t count = meta != nullptr ? std::min(src_len, meta->frame_size) : 0;
    if (dst == nullptr || src == nullptr || meta == nullptr) {
        NX_ERR(kFn, "[%s] wrong data len: src=%d, dst=%d\n", static_cast<int>(count),
               static_cast<int>(dst_bytes));
        return refuse(*state);
    }
    if (state->auto_intg_on.load() && state->sat_ratio.load() != 0)
        _feature_auto_intg(*state, src, count);
    if (meta->frame_format != NIVEX_FRAME_FMT_DCS4) return refuse_format(*state, *meta, kind);

    const uint64_t pixels = uint64_t{meta->width} * meta->height;
    if (pixels == 0 || 2 * pixels > dst_bytes || 8 * pixels > count) {
        NX_ERR(kFn, "[%s] wrong data len: src=%d, dst=%d\n", static_cast<int>(count),
               static_cast<int>(dst_bytes));
        return refuse(*state);
    }
    const Frame frame{src, static_cast<int>(meta->width), static_cast<int>(meta->height),
                      static_cast<size_t>(pixels)};
    if (!decodable(frame)) return refuse(*state);
    try {
        return decode_planes(*state, frame, dst, kind);
    } catch (const std::bad_alloc &) {
        NX_ERR(kFn, "[%s] malloc failed\n");
        return refuse(*state);
    }
}

}  // namespace nx::epc
