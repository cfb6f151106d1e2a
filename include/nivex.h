/*
 * libnivex: host-side library for USB time-of-flight depth cameras.
 *
 * One flat C interface: find cameras, open one, read and write its parameters
 * and registers, capture raw frames and turn them into distance (metres),
 * gray, point-cloud and colour images.
 *
 * Conventions:
 *  - Functions that report success return bool (true = done).
 *  - Counting functions return a count, or a negative code (-1 wrong
 *    parameters, -2 not capturing, the NIVEX_ERR_CAP_* codes).
 *  - The library never keeps a caller's buffer beyond a call.
 */
#ifndef NIVEX_H
#define NIVEX_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#if defined(NIVEX_BUILDING_LIBRARY)
#define NIVEX_API __declspec(dllexport)
#else
#define NIVEX_API __declspec(dllimport)
#endif
#else
#define NIVEX_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define NIVEX_VERSION_STR "v1.42"

/* ------------------------------------------------------------------------ */
/* Logging                                                                   */
/* ------------------------------------------------------------------------ */

/* Log levels: a message of level L reaches a target whose level is <= L. */
enum {
    NX_LOG_TRC = 0,
    NX_LOG_DBG = 1,
    NX_LOG_INF = 2,
    NX_LOG_WRN = 3,
    NX_LOG_ERR = 4,
    NX_LOG_OFF = 5 /* threshold only: a target at this level prints nothing */
};

/* Log targets. */
enum {
    NX_LOG_TARGET_CONSOLE = 0, /* standard output */
    NX_LOG_TARGET_FILE = 1,    /* the log file */
    NX_LOG_TARGET_AUX = 2      /* level kept, no output */
};

/* ------------------------------------------------------------------------ */
/* Codes                                                                     */
/* ------------------------------------------------------------------------ */

/* Capture error codes, reported by fetches and the error callback. */
enum {
    NIVEX_ERR_CAP_UNKNOWN = -10,    /* transfer failed otherwise (device gone, ...) */
    NIVEX_ERR_CAP_ERROR = -8,       /* generic capture error */
    NIVEX_ERR_CAP_STALL = -7,       /* endpoint kept stalling */
    NIVEX_ERR_CAP_TIMEOUT = -5,     /* transfers kept timing out */
    NIVEX_OK = 0,                   /* no error */
    NIVEX_ERR_CAP_FRAME_DISCARD = 3 /* damaged frames were dropped; arg = total */
};

/* Fetch results besides a frame count. */
enum { NIVEX_ERR_WRONG_PARAMS = -1, NIVEX_ERR_NOT_CAPTURING = -2 };

/* Marker codes in 16-bit distance images; valid distances are <= 60000 mm. */
enum {
    NX_PIXEL_LOW_AMP = 65300,   /* amplitude too low or distance out of range */
    NX_PIXEL_SATURATED = 65400, /* saturated */
    NX_PIXEL_OVERFLOW = 65500   /* a raw sample was 0 or 4095 */
};
#define NX_PIXEL_MAX_DISTANCE 60000

/* Frame formats seen in nivex_frame_meta.frame_format. */
enum {
    NIVEX_FRAME_FMT_DCS4 = 2, /* four 12-bit phase planes, 8 bytes per pixel */
    NIVEX_FRAME_FMT_UNSUPPORTED = 8,
    NIVEX_FRAME_FMT_CALIB_DATA = 171 /* calibration data block, carried whole */
};

/* ------------------------------------------------------------------------ */
/* Devices                                                                   */
/* ------------------------------------------------------------------------ */

struct ll_device; /* session record, owned by the library */

/*
 * A camera: filled by nivex_dev_list, turned into an open session by
 * nivex_dev_open. dev_fd .. reserved_ident form the identity block.
 */
typedef struct nivex_device {
    struct ll_device *handle;   /* open session, NULL while not open */
    int32_t dev_fd;             /* 0 for every USB camera */
    uint8_t usb_bus;            /* USB bus number */
    uint8_t usb_port;           /* USB port number */
    uint8_t usb_addr;           /* USB device address */
    uint8_t usb_speed;          /* libusb speed code (3 = high speed) */
    uint8_t reserved_ident[36]; /* transport identity space, 0 for USB */
    char product[32];           /* product text, e.g. "NVX-E2-2.0b" */
    char info_str[32];          /* information text of the camera */
    uint8_t id_data[32];        /* raw identity data (at most 18 bytes used) */
    uint8_t info_data[8];       /* raw information data */
    const char *data_path;      /* the library's data-folder prefix */
    uint8_t reserved[12];       /* 0 */
    uint8_t ident_valid;        /* 1: usb_bus/usb_port name one camera */
    uint8_t free_on_close;      /* caller sets it: free(dev) at close */
    uint8_t api_busy;           /* 1 while a public call works on the device */
} nivex_device;

#define NIVEX_IDENT_BLOCK_SIZE 44

/* ------------------------------------------------------------------------ */
/* Parameters                                                                */
/* ------------------------------------------------------------------------ */

typedef enum nivex_param_id {
    NIVEX_PARAM_DEV_MODE = 0,     /* u8: 0 normal, 9 data upload */
    NIVEX_PARAM_INFO_STR = 2,     /* text, at most 18 bytes */
    NIVEX_PARAM_PRODUCT_STR = 3,  /* "<maker>-<chip code>-<version>" */
    NIVEX_PARAM_ID_DATA = 5,      /* raw bytes */
    NIVEX_PARAM_INFO_DATA = 6,    /* raw bytes, 8 kept */
    NIVEX_PARAM_CHIP_INFO = 7,    /* u16 part version, u16 chip id, u16 wafer id */
    NIVEX_PARAM_DATA_INFO = 8,    /* stored calibration data record */
    NIVEX_PARAM_SENSOR_MODE = 10, /* u8 sensor mode 0..2 */
    NIVEX_PARAM_FRAME_RATE = 12,  /* u32 frames per second */
    NIVEX_PARAM_INTG_TIME = 13,   /* u16 integration time */
    NIVEX_PARAM_TEMPERATURE = 15, /* len/2 signed 16-bit readings */
    NIVEX_PARAM_DCS_CHECK = 17,   /* u8 flag, u16 value */
    NIVEX_PARAM_ID_FORCE_32BIT = 0x7FFFFFFF
} nivex_param_id;

#define NIVEX_PARAM_VAL_SIZE 18

/* The value sits right after the length byte, without an alignment gap. */
#pragma pack(push, 1)
typedef union nivex_param_val {
    uint8_t data[NIVEX_PARAM_VAL_SIZE];
    char str[NIVEX_PARAM_VAL_SIZE];
    uint8_t u8;
    uint16_t u16;
    uint32_t u32;
    int16_t i16[NIVEX_PARAM_VAL_SIZE / 2];
    uint16_t u16s[NIVEX_PARAM_VAL_SIZE / 2];
} nivex_param_val;
#pragma pack(pop)

typedef struct nivex_param_entry {
    nivex_param_id param_id;   /* which parameter (only the low 8 bits travel) */
    uint8_t param_val_len;     /* meaningful bytes of param_val; set by the camera on get */
    nivex_param_val param_val; /* little-endian value, layout per id */
} nivex_param_entry;

/* ------------------------------------------------------------------------ */
/* Frames                                                                    */
/* ------------------------------------------------------------------------ */

#define NIVEX_FRAME_SLOT_SIZE 307200 /* frame-buffer unit: bytes per frame slot */

typedef struct nivex_frame_meta {
    uint32_t frame_size;   /* bytes */
    uint16_t frame_format; /* NIVEX_FRAME_FMT_* */
    uint16_t frame_idx;    /* index from the stream */
    uint32_t width;        /* pixels per row */
    uint32_t height;       /* rows */
    uint8_t pixel_bytes;   /* bytes per pixel */
    uint8_t reserved0;
    uint16_t reserved1;
} nivex_frame_meta;

typedef struct nivex_frame {
    nivex_frame_meta frame_info;
    uint8_t *frame_data;
} nivex_frame;

/* Called on the application thread inside the fetch calls. */
typedef void (*nivex_cb_frame_ready)(nivex_device *dev, nivex_frame *frame);
/* Return false to stop handing out frames until the next capture start. */
typedef bool (*nivex_cb_error)(nivex_device *dev, int err, uint32_t err_arg);

/* ------------------------------------------------------------------------ */
/* Conversion                                                                */
/* ------------------------------------------------------------------------ */

/* Lens intrinsics for point clouds. */
typedef struct nivex_lens_param {
    float cx;         /* principal point, column (pixels) */
    float cy;         /* principal point, row (pixels) */
    float fx;         /* focal length along columns (pixels) */
    float fy;         /* focal length along rows (pixels) */
    float dist_scale; /* factor applied to every distance (1.0 for metres) */
} nivex_lens_param;

typedef enum nivex_filter_id {
    NIVEX_FILTER_LENS_UNDISTORT = 0,
    NIVEX_FILTER_PIXEL_CALIB = 1,  /* arg: calib_mode */
    NIVEX_FILTER_DEPTH_SMOOTH = 2, /* arg: median_size */
    NIVEX_FILTER_RESERVED_3 = 3,   /* accepted, no effect */
    NIVEX_FILTER_MIN_AMP = 4,      /* arg: min_amp */
    NIVEX_FILTER_AUTO_INTG = 5,    /* arg: sat_ratio */
    NIVEX_FILTER_DCS_CHECK = 6,    /* arg: dcs_check_param */
    NIVEX_FILTER_TEMP_MONITOR = 7, /* arg: temp_monitor_param */
    NIVEX_FILTER_HDR = 8
} nivex_filter_id;

typedef union nivex_filter_args {
    uint8_t calib_mode;
    uint8_t median_size;
    uint16_t min_amp;
    uint16_t sat_ratio;
    uint16_t dcs_check_param;
    uint16_t temp_monitor_param;
} nivex_filter_args;

typedef enum nivex_cmap_outfmt {
    NIVEX_CMAP_OUTFMT_3B = 0,     /* bytes R, G, B */
    NIVEX_CMAP_OUTFMT_U32 = 1,    /* one 32-bit value 0x00BBGGRR in host order */
    NIVEX_CMAP_OUTFMT_3B_SWAP = 2 /* bytes B, G, R */
} nivex_cmap_outfmt;

typedef enum nivex_frame_save_fmt {
    NIVEX_FRAME_SAVE_F32 = 0,
    NIVEX_FRAME_SAVE_U32 = 1,
    NIVEX_FRAME_SAVE_U16 = 2,
    NIVEX_FRAME_SAVE_U8 = 3
} nivex_frame_save_fmt;

/* ------------------------------------------------------------------------ */
/* Layout checks: callers and stored data depend on these.                   */
/* ------------------------------------------------------------------------ */

#ifdef __cplusplus
#define NIVEX_STATIC_ASSERT static_assert
#else
#define NIVEX_STATIC_ASSERT _Static_assert
#endif

NIVEX_STATIC_ASSERT(sizeof(nivex_param_val) == 18, "param value is 18 bytes");
NIVEX_STATIC_ASSERT(offsetof(nivex_param_entry, param_val_len) == 4, "length after id");
NIVEX_STATIC_ASSERT(offsetof(nivex_param_entry, param_val) == 5, "value right after length");
NIVEX_STATIC_ASSERT(sizeof(nivex_param_id) == 4, "param id is 32-bit");
NIVEX_STATIC_ASSERT(sizeof(nivex_frame_meta) == 20, "frame meta is 20 bytes");
NIVEX_STATIC_ASSERT(offsetof(nivex_frame_meta, frame_format) == 4, "meta layout");
NIVEX_STATIC_ASSERT(offsetof(nivex_frame_meta, frame_idx) == 6, "meta layout");
NIVEX_STATIC_ASSERT(offsetof(nivex_frame_meta, width) == 8, "meta layout");
NIVEX_STATIC_ASSERT(offsetof(nivex_frame_meta, height) == 12, "meta layout");
NIVEX_STATIC_ASSERT(offsetof(nivex_frame_meta, pixel_bytes) == 16, "meta layout");
NIVEX_STATIC_ASSERT(offsetof(nivex_frame, frame_info) == 0, "frame layout");
NIVEX_STATIC_ASSERT(sizeof(nivex_lens_param) == 20, "five floats");
NIVEX_STATIC_ASSERT(sizeof(nivex_filter_args) == 2, "filter argument union");
NIVEX_STATIC_ASSERT(offsetof(nivex_device, dev_fd) == sizeof(void *), "identity after handle");
NIVEX_STATIC_ASSERT(offsetof(nivex_device, product) ==
                        offsetof(nivex_device, dev_fd) + NIVEX_IDENT_BLOCK_SIZE,
                    "identity block is 44 bytes");
NIVEX_STATIC_ASSERT(offsetof(nivex_device, info_str) == offsetof(nivex_device, product) + 32,
                    "device layout");
NIVEX_STATIC_ASSERT(offsetof(nivex_device, id_data) == offsetof(nivex_device, info_str) + 32,
                    "device layout");
NIVEX_STATIC_ASSERT(offsetof(nivex_device, info_data) == offsetof(nivex_device, id_data) + 32,
                    "device layout");
NIVEX_STATIC_ASSERT(offsetof(nivex_device, ident_valid) == offsetof(nivex_device, reserved) + 12,
                    "device layout");

/* ------------------------------------------------------------------------ */
/* Library setup, logging and paths                                          */
/* ------------------------------------------------------------------------ */

/* Starts the library: logging (dated log file when log_fname is NULL), the data
 * folder "./", the transport and the colour map. */
NIVEX_API bool nivex_init(const char *log_fname);
/* Ends library use; logging is silenced afterwards. */
NIVEX_API void nivex_uninit(void);
/* Console and file log levels (NX_LOG_*), and the USB library's verbosity. */
NIVEX_API void nivex_log_cfg(uint32_t console_level, uint32_t file_level, uint32_t usb_level);
/* Sets the data-folder prefix (file names are appended to it as they are, so
 * end it with a separator) and creates the folders. 0 on success, -1 when the
 * folder cannot be created. */
NIVEX_API int nivex_path_cfg(const char *path);
/* The data-folder prefix; never NULL. */
NIVEX_API const char *nivex_path_get(void);
/* Name of a capture error code, "**UNKNOWN**" for other values. */
NIVEX_API const char *nivex_error_name(int err);
/* The library's version text, "v1.42". */
NIVEX_API const char *nivex_version(void);

/* ------------------------------------------------------------------------ */
/* Devices and sessions                                                      */
/* ------------------------------------------------------------------------ */

struct chip_driver; /* chip driver bound to an open device */

/* Fills up to dev_list_num records with the cameras found; returns their
 * number (0 on any failure). The records can be passed to nivex_dev_open. */
NIVEX_API int nivex_dev_list(nivex_device *dev_list, int dev_list_num);
/* Opens dev (a listed record, or one whose bus and port the caller filled),
 * or the first camera found when dev is NULL (then a library-owned record is
 * returned). NULL on failure. */
NIVEX_API nivex_device *nivex_dev_open(nivex_device *dev);
/* Ends the session; safe on NULL and on a record that is not open. Calls on
 * the device made from then on fail; calls in progress on other threads are
 * ended (a command at its next exchange, a fetch or wait at once) and close
 * returns once they have left, so nothing is freed under them. Several
 * threads may close one device: one closes, the others return when it is
 * done. Closing from inside a capture callback is allowed: the fetch that
 * runs the callback returns -2 afterwards, and a record with free_on_close
 * is freed when that fetch returns. */
NIVEX_API void nivex_dev_close(nivex_device *dev);
/* Resets a part of the camera: target 0 restarts the board, 3 resets the USB
 * interface (the camera is reopened), 0..8 accepted. */
NIVEX_API bool nivex_dev_reset(nivex_device *dev, uint32_t target);
/* The chip driver bound to an open device, NULL otherwise. */
NIVEX_API struct chip_driver *nivex_dev_get_drv(nivex_device *dev);
/* Opening by platform descriptor is not available on this platform: NULL. */
NIVEX_API nivex_device *nivex_dev_open_by_fd(int fd);

/* ------------------------------------------------------------------------ */
/* Device events and automatic reopen                                        */
/* ------------------------------------------------------------------------ */

/* Events of a device's presence on the bus. */
enum {
    NIVEX_DEV_EVENT_GONE = 1,         /* the camera left the bus (unplug, power loss,
                                         re-enumeration after a reset) */
    NIVEX_DEV_EVENT_BACK = 2,         /* automatic reopen: the camera is open again, its
                                         settings re-applied, its capture restarted */
    NIVEX_DEV_EVENT_REOPEN_FAILED = 3 /* automatic reopen: the camera was found but could
                                         not be reopened; the library keeps trying */
};

/* A device's time off the bus, as far as it goes when the event is reported
 * (all 0 with GONE). */
typedef struct nivex_device_gap {
    uint64_t usec_off_bus;      /* from the loss being noticed to the reopen */
    uint32_t frames_lost;       /* estimate: usec_off_bus x the frame rate read at
                                   the last capture start; 0 when no capture ran */
    uint32_t reopen_attempts;   /* cameras opened to check their identity, and
                                   reopens tried, while off the bus */
    uint32_t settings_refused;  /* re-applied settings the camera refused (BACK) */
    uint32_t capture_restarted; /* 1: a capture ran at the loss and runs again (BACK) */
} nivex_device_gap;
NIVEX_STATIC_ASSERT(sizeof(nivex_device_gap) == 24, "gap record layout");

/* Called on the application thread inside nivex_dev_poll_events and the
 * fetch calls (nivex_cap_get_frames, nivex_cap_get_frame, nivex_cap_wait),
 * never with a library lock held; gap is valid during the call only. */
typedef void (*nivex_cb_device_event)(nivex_device *dev, int event, const nivex_device_gap *gap);

/* Sets the device's event callback (NULL: none) until it is closed. Works
 * while the camera is off the bus. Events that arrive without a callback are
 * dropped when delivered. */
NIVEX_API bool nivex_dev_set_callback_on_event(nivex_device *dev, nivex_cb_device_event cb);
/*
 * Switches automatic reopen on or off for an open device. Switching it on
 * reads the camera's chip ID and wafer ID (false when the camera cannot be
 * asked: it is the identity the camera is found by again). While the camera
 * is off the bus, a library thread looks for it every 200 ms: a camera is
 * taken for it only when its chip ID and wafer ID match, on its old bus and
 * port or anywhere else (a different camera plugged into the old port is left
 * alone, and cameras other sessions hold are never touched). Once found, the
 * device is reopened behind the same nivex_device record (usb_port, usb_addr
 * and usb_speed are updated before BACK is delivered), the frame rate,
 * integration time, sensor mode and DCS check set through
 * nivex_param_batch_set and the filter switches are re-applied (the frame
 * buffer size is kept by the library), and a capture that ran is restarted.
 *
 * During the gap: fetches return the capture's unplug error
 * (NIVEX_ERR_CAP_UNKNOWN, or -2 when no capture ran) at once, without waiting
 * for their time-out; commands fail at once; nivex_cap_stop stops the capture
 * for good (it is not restarted); nivex_dev_close ends the watch and returns
 * without waiting for the camera. Without automatic reopen a device that
 * left the bus stays unusable until it is closed, as before; only GONE is
 * reported.
 */
NIVEX_API bool nivex_dev_set_auto_reopen(nivex_device *dev, bool on);
/* Delivers the device's pending events to its callback, waiting up to
 * timeout_msec (0: no wait) for one; meanwhile it checks every 200 ms that
 * the camera is still on the bus, so an application that runs no capture
 * learns of an unplug. Returns the number of events delivered, -1 for a
 * device that is not open. */
NIVEX_API int nivex_dev_poll_events(nivex_device *dev, uint32_t timeout_msec);

/* ------------------------------------------------------------------------ */
/* Parameters and registers                                                  */
/* ------------------------------------------------------------------------ */

/* Any thread may call these, several at once: the commands of one device are
 * exchanged one at a time (request, reply and the camera's status together),
 * so each call gets its own answer. A reply that names other parameters than
 * the ones asked for, or more value bytes than an entry holds, fails the get. */

/* Writes item_cnt parameters (only the low 8 bits of each id travel). */
NIVEX_API bool nivex_param_batch_set(nivex_device *dev, nivex_param_entry *param_items,
                                     int item_cnt);
/* Reads item_cnt parameters: fill param_id, get param_val_len and param_val. */
NIVEX_API bool nivex_param_batch_get(nivex_device *dev, nivex_param_entry *param_items,
                                     int item_cnt);
/* Writes reg_cnt 32-bit registers of target from reg_base on (target is
 * taken as 8 bits, reg_cnt as 16 bits). */
NIVEX_API bool nivex_reg_batch_write(nivex_device *dev, uint32_t target, uint32_t reg_base,
                                     const uint32_t *val_buf, uint32_t reg_cnt);
NIVEX_API bool nivex_reg_batch_read(nivex_device *dev, uint32_t target, uint32_t reg_base,
                                    uint32_t *val_buf, uint32_t reg_cnt);

/* ------------------------------------------------------------------------ */
/* Capture                                                                   */
/* ------------------------------------------------------------------------ */

/* Keeps frame_buf_size / NIVEX_FRAME_SLOT_SIZE frames ready (at least 2 are
 * needed to start); frame_buf is not used. Not while capturing. */
NIVEX_API bool nivex_cap_set_frame_buffer(nivex_device *dev, void *frame_buf,
                                          uint32_t frame_buf_size);
/* Stores NULL and the configured size (frames x NIVEX_FRAME_SLOT_SIZE). */
NIVEX_API bool nivex_cap_get_frame_buffer(nivex_device *dev, void **frame_buf,
                                          uint32_t *frame_buf_size);
/* Callbacks run on the application thread inside the fetch calls. A callback
 * may stop the capture or close the device; a fetch called from inside a
 * callback of the same device returns -1. */
NIVEX_API bool nivex_cap_set_callback_on_frame_ready(nivex_device *dev, nivex_cb_frame_ready cb);
NIVEX_API bool nivex_cap_set_callback_on_error(nivex_device *dev, nivex_cb_error cb);
/* True from a successful start until a stop, or until the capture ended by
 * itself (a transfer error, or the error callback asking to stop). */
NIVEX_API bool nivex_cap_is_ongoing(nivex_device *dev);
NIVEX_API bool nivex_cap_start(nivex_device *dev);
NIVEX_API bool nivex_cap_stop(nivex_device *dev);
/* Waits for frame_num frames and places them back to back in frame_data;
 * returns the number delivered, or -1 (wrong parameters), -2 (not
 * capturing) or a pending NIVEX_ERR_CAP_* code. Once a capture has ended by
 * itself and its last frames are out, every fetch returns the error that
 * ended it (-2 when none did), never 0 again and again.
 *
 * Fetches on one device (this call, nivex_cap_get_frame, nivex_cap_snapshot
 * and nivex_cap_wait) are served one at a time, in turn: several threads may
 * fetch, each gets whole frames and no frame is lost between them. A fetch
 * that does not get its turn before its time-out returns 0;
 * nivex_cap_get_frame does not wait for its turn (0). */
NIVEX_API int nivex_cap_get_frames(nivex_device *dev, int frame_num, void *frame_data,
                                   uint32_t frame_dlen, nivex_frame_meta *first_frame_info);
/* One frame if one is ready, without waiting: 1, 0 (none ready) or < 0. */
NIVEX_API int nivex_cap_get_frame(nivex_device *dev, void *frame_data, uint32_t frame_dlen,
                                  nivex_frame_meta *frame_info);
/* One frame, starting and stopping the capture around it when none runs. */
NIVEX_API bool nivex_cap_snapshot(nivex_device *dev, void *frame_data, uint32_t frame_dlen,
                                  nivex_frame_meta *frame_info);
/* Counters of the frame stream since the last capture start. */
typedef struct nivex_cap_stats {
    uint32_t frames_assembled;  /* frames whose last byte arrived */
    uint32_t frames_queued;     /* frames that became ready */
    uint32_t frames_discarded;  /* incomplete or damaged frames dropped */
    uint32_t frames_overflowed; /* ready frames dropped because nobody fetched them */
    uint32_t frames_ready;      /* frames waiting now */
    uint32_t bytes_skipped;     /* stream bytes thrown away */
} nivex_cap_stats;
NIVEX_API bool nivex_cap_get_stats(nivex_device *dev, nivex_cap_stats *stats);
/*
 * Health of a device's frame stream, for telling a healthy stream from a sick
 * one without reading logs. The caller sets struct_size to
 * sizeof(nivex_cap_health); the library fills the record up to that size
 * (never beyond it) and stores the number of bytes it filled in struct_size,
 * so records of older and newer headers both work. Fields marked "capture"
 * restart at 0 with every capture start; the others last from open to close.
 * Each field is exact at some moment during the call; fields are not all
 * read at one instant while a capture runs (a frame may move from fill to
 * delivered between two of them). The call never talks to the camera: it
 * works from any thread, during a capture, after the camera was unplugged
 * (the counters then tell how the stream ended) and before the first
 * capture (all capture counters 0).
 */
typedef struct nivex_cap_health {
    uint32_t struct_size;         /* in: sizeof the caller's record; out: bytes filled */
    uint32_t capturing;           /* 1 while a capture runs (nivex_cap_is_ongoing) */
    uint64_t frames_delivered;    /* capture: frames handed to fetch buffers or callbacks */
    uint64_t frames_overflowed;   /* capture: frames dropped because the buffer was full */
    uint64_t frames_bad_checksum; /* capture: frames dropped, payload checksum wrong */
    uint64_t frames_broken;       /* capture: frames dropped, stream broken (lost or
                                     out-of-sequence chunks, garbled headers) */
    uint64_t bytes_received;      /* capture: stream bytes the transfers brought */
    uint64_t bytes_skipped;       /* capture: stream bytes thrown away */
    uint32_t transfer_timeouts;   /* capture: transfers that timed out */
    uint32_t transfer_stalls;     /* capture: transfers ended by an endpoint stall */
    uint32_t transfer_errors;     /* capture: transfers that failed otherwise */
    uint32_t usb_speed;           /* libusb speed code of the link (3 = high speed) */
    uint32_t link_bytes_per_sec;  /* capture: stream bytes per second over the last
                                     second or so; 0 when nothing arrives */
    uint32_t buffer_frames;       /* frames the frame buffer holds (configured) */
    uint32_t buffer_fill;         /* capture: frames waiting now */
    uint32_t buffer_peak;         /* capture: most frames waiting at once */
    int32_t last_error;           /* open: last stream fault, a NIVEX_ERR_CAP_* code
                                     (a transfer's code as it came); 0 none yet */
    uint32_t captures;            /* open: captures started */
    uint64_t last_error_usec;     /* open: wall clock of last_error, microseconds
                                     since 1970; 0 none yet */
    uint64_t capture_usec;        /* capture: microseconds since the capture start,
                                     0 before the first */
} nivex_cap_health;
NIVEX_STATIC_ASSERT(sizeof(nivex_cap_health) == 112, "health record layout");
/* True when filled. False (the record untouched) for a NULL record, a
 * struct_size below 8, or a device that is not open. */
NIVEX_API bool nivex_cap_get_health(nivex_device *dev, nivex_cap_health *health);
/* Hands every arriving frame to the callbacks until the capture stops (true)
 * or timeout_msec passes (false); 0 waits without limit. */
NIVEX_API bool nivex_cap_wait(nivex_device *dev, uint32_t timeout_msec);

/* ------------------------------------------------------------------------ */
/* Frame conversion                                                          */
/* ------------------------------------------------------------------------ */

/* The conversions run on the calling thread and allocate nothing; every
 * output goes into the caller's buffer, whose length the caller states. They
 * work while a capture runs on another thread, and on an open device whose
 * camera has been unplugged (they do not talk to the camera). */

/* Decodes a raw frame (src, src_len bytes, described by finfo) into a distance
 * image in metres: finfo->width x finfo->height floats, row-major. The marker
 * codes arrive as 65.3 (low amplitude), 65.4 (saturated), 65.5 (overflow);
 * valid distances lie strictly between 0 and 60. dst_len (floats) must cover
 * the image: the decode uses the upper half of dst as its scratch area.
 * Returns the number of samples the driver produced, 0 on any failure (dst
 * is then undefined). */
NIVEX_API int nivex_frame_get_distance(nivex_device *dev, float *dst, int dst_len, const void *src,
                                       int src_len, const nivex_frame_meta *finfo);
/* The same for the gray (amplitude) image, values unscaled. */
NIVEX_API int nivex_frame_get_gray(nivex_device *dev, float *dst, int dst_len, const void *src,
                                   int src_len, const nivex_frame_meta *finfo);

/* Point cloud of a distance image of img_w x img_h pixels (dist holds
 * dist_len floats, at least img_w x img_h): each pixel with 0 < d < 60 gives
 * the point at distance d (times dist_scale) along its ray through the
 * pinhole camera (cx, cy, fx, fy), x, y, z in metres, 3 floats per point,
 * packed without gaps in row-major pixel order. With p_lens
 * NULL the driver's intrinsics of the image the decode delivered are used
 * (with lens undistortion on, those of the undistorted image); the TI driver
 * has none, so its point clouds need p_lens. A full pcl buffer (pcl_len
 * floats) ends the cloud early; the floats after the last point may be
 * overwritten. Returns the number of points, 0 on failure. */
NIVEX_API int nivex_frame_get_pcl(nivex_device *dev, float *pcl, int pcl_len, const float *dist,
                                  int dist_len, int img_w, int img_h,
                                  const nivex_lens_param *p_lens);
/* The same with a fourth value per point: the distance in metres times
 * dist_scale, or with pseudo_color the colour (0x00BBGGRR, as a float) that
 * the range of the last nivex_cmap_float call gives it. */
NIVEX_API int nivex_frame_get_pcl_xyzd(nivex_device *dev, float *pcl, int pcl_len,
                                       const float *dist, int dist_len, int img_w, int img_h,
                                       bool pseudo_color, const nivex_lens_param *p_lens);

/* Colours a float image (metres) for display: near values red, far values
 * blue over range_min..range_max (either order), markers in fixed colours,
 * anything outside the range black. outfmt is a nivex_cmap_outfmt; dst holds
 * dst_len bytes. Writes min(src_len, dst_len / bytes per pixel) pixels and
 * returns that count; an unknown outfmt writes nothing and returns 0. The
 * range is also what later pseudo-coloured point clouds use. */
NIVEX_API int nivex_cmap_float(void *dst, int dst_len, const float *src, int src_len, int outfmt,
                               float range_min, float range_max);

/* Switches a driver-side filter (nivex_filter_id) on or off for this device
 * until it is closed. arg must point to the member the id names (ids 1, 2
 * and 4 to 7); for NIVEX_FILTER_PIXEL_CALIB an unknown calib_mode is replaced
 * by 1 in the caller's argument. Returns 1 when done, 0 when the driver
 * refused, -1 for an unusable device or a missing argument. Cameras with the
 * TI sensor have no switchable filters: enabling returns 0 and disabling 1
 * (the filter is off), changing nothing. */
NIVEX_API int nivex_filter_enable(nivex_device *dev, int filter_id, nivex_filter_args *arg,
                                  uint32_t arg_size);
NIVEX_API int nivex_filter_disable(nivex_device *dev, int filter_id);

/* ------------------------------------------------------------------------ */
/* Frame files                                                               */
/* ------------------------------------------------------------------------ */

/*
 * A frame file is one text header line ("NX_DIST,F32,<w>,<h>\n",
 * "NX_DIST,U32,...", "NX_DIST,U16,...", "NX_GRAY,U16,...", "NX_GRAY,U8,...")
 * followed by frames of w x h little-endian samples. The caller opens and
 * closes the file (without text-mode translation) and passes its descriptor,
 * which must be seekable. Saving appends at the current position and writes
 * the header only at position 0; loading reads the header at position 0 and
 * then one frame per call. The header read is remembered per descriptor, so
 * several files may be read alternately, from any threads; a descriptor
 * whose header was never read loads nothing. All return 0 on failure.
 */

/* Saves every whole frame of width x height floats (metres) in src (src_len
 * floats) with fmt NIVEX_FRAME_SAVE_F32, _U32 or _U16 (millimetres). 1 on
 * success. */
NIVEX_API int nivex_frame_save_distance(int fd, int fmt, const float *src, int src_len, int width,
                                        int height);
/* Saves one gray frame of width x height values with fmt NIVEX_FRAME_SAVE_U16
 * or _U8 (src_len must cover the frame; more is ignored). 1 on success. */
NIVEX_API int nivex_frame_save_gray(int fd, int fmt, const float *src, int src_len, int width,
                                    int height);
/* Reads the next frame into dst (metres): at most dst_len floats are
 * written, the whole frame is always consumed. Returns the number of floats
 * written; stores the frame's width and height through the pointers that are
 * not NULL. */
NIVEX_API int nivex_frame_load_distance(int fd, float *dst, int dst_len, int *p_width,
                                        int *p_height);
NIVEX_API int nivex_frame_load_gray(int fd, float *dst, int dst_len, int *p_width, int *p_height);

/* ------------------------------------------------------------------------ */
/* Recording and replay                                                      */
/* ------------------------------------------------------------------------ */

/*
 * A recording is one file (docs/recording.md) holding what the camera's
 * frames need to be decoded again elsewhere: the camera's identity and
 * parameters, its sensor registers, the filter switches set on the device,
 * the calibration files the library loaded for it, then the raw frames with
 * their descriptions.
 */

/* Starts recording into the file at path (created or emptied): the camera is
 * described at once, then every frame the application fetches or gets
 * through its frame-ready callback is appended, until nivex_rec_stop or the
 * close. Frames are written as they are fetched, never synced: a recording
 * costs the fetch a copy. A running recording of the device is replaced.
 * False when the camera does not answer (unplugged) or the file cannot be
 * written. */
NIVEX_API bool nivex_rec_start(nivex_device *dev, const char *path);
/* Ends the device's recording: the number of frames it holds, -1 when none
 * was running or the device is not open. Works after an unplug: the file
 * then holds every frame fetched until then. */
NIVEX_API int nivex_rec_stop(nivex_device *dev);

/* Play the recording again and again instead of ending after its last frame. */
#define NIVEX_REPLAY_LOOP 0x1

/* Opens a recording as a device (a library-owned record, freed by
 * nivex_dev_close) that behaves like the recorded camera: parameter reads
 * give the recorded values, captures deliver the recorded frames byte for
 * byte, as fast as they are fetched, and the conversions, point clouds, lens
 * parameters and filter switches work as on the camera, starting from the
 * recorded switches. Decoding the frames in the recorded order with the
 * recorded switches gives the images the camera's host got. After the last
 * frame the capture ends by itself: the fetches hand out the frames left,
 * then return NIVEX_ERR_NOT_CAPTURING; a new capture start plays the
 * recording from its beginning. What needs a camera (parameter writes,
 * register writes other than the sensor's, resets, firmware and data
 * transfers) fails with an ERR line. flags: 0 or NIVEX_REPLAY_LOOP. NULL
 * (with an ERR line saying why) for a file that is not a readable
 * recording. */
NIVEX_API nivex_device *nivex_dev_open_recording(const char *path, uint32_t flags);

/* ------------------------------------------------------------------------ */
/* Firmware and data transfer                                                */
/* ------------------------------------------------------------------------ */

/*
 * Writes the image in file_name into the camera's flash as data `type` (low 8
 * bits) with `version` (low 16 bits), which must be newer than the camera's.
 * Positive on success, negative on failure (-1 before anything was sent:
 * file missing, empty or unreadable, version not newer, capture running).
 * Blocks for the transfer and then, after types 0 and 1, 20 s while the
 * board restarts (the camera re-enumerates: close and reopen the device
 * afterwards), after types 2 and 3 7 s while it settles. Not while capturing.
 */
NIVEX_API int nivex_firmware_upgrade(nivex_device *dev, uint32_t type, uint32_t version,
                                     const char *file_name);
/* The same download; addr is not used. */
NIVEX_API int nivex_data_download(nivex_device *dev, const char *file_name, uint32_t type,
                                  uint32_t version, uint32_t addr);
/* Copies the camera's stored data block into file_name ("calib.bin" in the
 * working folder when NULL). 1 on success; -1 when the camera holds no valid
 * data or the copy fails, an existing file then left as it was. type is only
 * logged. Not while capturing. */
NIVEX_API int nivex_data_upload(nivex_device *dev, uint32_t type, const char *file_name);

/* Called on the calling thread inside the download and upload calls: once
 * with bytes_done 0, then after every piece the camera took or sent. */
typedef void (*nivex_cb_progress)(nivex_device *dev, uint32_t bytes_done, uint32_t bytes_total);
/* Sets the device's progress callback (NULL: none) until it is closed. */
NIVEX_API bool nivex_data_set_callback_on_progress(nivex_device *dev, nivex_cb_progress cb);

#ifdef __cplusplus
}
#endif

#endif /* NIVEX_H */
