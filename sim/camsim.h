// Control interface of the camera simulator, for tests, benchmarks and demos.
//
// The simulator stands in for the USB bus: a simulated libusb (linked in place
// of the real one, or preloaded in front of it) whose devices are simulated
// cameras. Tests put cameras on the bus, configure them, switch faults on,
// and read back what the host sent (the wire log) and what happened (counters).
//
// Every function here is thread-safe. Call reset() between tests: it takes
// every device off the bus and restores all defaults.
//
// Time: the cameras run on the steady clock. Frames are produced lazily while
// the host handles libusb events, so a camera that nobody reads from costs
// nothing.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace nxsim {

class CameraModel;

// How a frame looks on the wire (the chunk header fields that describe it).
struct FrameFormat {
    uint16_t frfmt = 2;  // frame format code
    uint16_t width = 320;
    uint16_t height = 240;
    uint32_t frame_bytes = 614400;  // bytes of one frame
};

// The camera's sensor settings at the moment it takes a frame.
struct SensorState {
    uint32_t modulation_khz = 12000;           // from the sensor's clock registers
    double integration_us = 700;               // parameter 13; in HDR mode the even image rows
    std::optional<double> hdr_integration_us;  // HDR mode: the odd image rows
    bool ambient_suppression = false;          // the sensor's ABS bits
    int16_t temp_sensor = 0;                   // 0.1 degC, as the frame header
    int16_t temp_ib = 0;
    // The demodulation delay line: the step index the sensor runs at
    // (register 0x73) and the chip's delay code (register 0xE9), which sets
    // the length of one step.
    uint8_t delay_steps = 0;
    uint8_t delay_code = 128;
};

// Produces the content of the frames a camera streams. Called with the
// simulator's lock held, on whichever thread handles libusb events.
class FrameSource {
  public:
    virtual ~FrameSource() = default;
    virtual FrameFormat format() const = 0;
    // Writes frame `index` (counted from 0 at each capture start) into `out`,
    // which holds exactly format().frame_bytes bytes.
    virtual void render(uint32_t index, std::span<uint8_t> out) = 0;
    // The same for a sensor in `state`; sources that do not depend on the
    // sensor's settings keep this default.
    virtual void render_sensor(uint32_t index, std::span<uint8_t> out, const SensorState &) {
        render(index, out);
    }
};

// What the simulated EPC sensor looks at, and how good a sensor it is.
struct SceneConfig {
    enum class Kind {
        Wall,    // a flat wall perpendicular to the optical axis at wall_mm
        Steps,   // planes at 0.8, 1.2, 2.0 and 3.0 m with straight edges between them
        Sphere,  // a calibration fixture: every pixel sees its target sphere_mm away
    };
    Kind kind = Kind::Wall;
    double wall_mm = 1500;
    double sphere_mm = 295;     // radial distance of the Sphere scene
    double reflectivity = 0.5;  // 0..1
    double ambient = 0.1;       // 0..1, background light
    // Distance noise (standard deviation, mm) of a pixel of amplitude 1000 at
    // 12 MHz; other pixels scale with 1 / amplitude. 0: no noise.
    double noise_mm = 3;
    // Peak of the per-pixel, distance-dependent error that the factory's
    // DRNU calibration measures (mm). 0: none.
    double drnu_mm = 30;
    // Temperature drift, 0.1 degC per minute (the board drifts at half the
    // rate), from the camera's start temperatures.
    double drift = 0;
    uint64_t seed = 1;  // noise
};

struct CameraConfig;
// The raw phase frames of the EPC sensor of a camera (its chip has a DRNU
// error of its own) looking at the camera's scene through its lens: what EPC
// products stream unless a source is given.
std::shared_ptr<FrameSource> make_sensor_physics(const CameraConfig &config);

// The built-in deterministic test pattern for a product text: TI frames
// (middle field "T0": 320 x 240 pixels of 4 bytes, format 1) or raw phase
// frames (anything else: four planes of 320 x 240 12-bit samples in 16-bit
// words, format 2). Every frame carries its index in its first words.
std::shared_ptr<FrameSource> make_test_pattern(std::string_view product);
// The bytes of frame `index` of the built-in pattern of `product`: what a
// test expects to receive.
std::vector<uint8_t> expected_frame(std::string_view product, uint32_t index);

// How a capturing camera paces its frames.
enum class StreamMode {
    FrameRate,  // one frame per 1/frame_rate s; a host that reads too slowly loses frames
    Fast,       // the next frame as soon as the last one is sent; the link paces it
};

inline constexpr uint64_t kUnlimitedLink = UINT64_MAX;

// The deterministic content of a stored data block of `size` bytes, as the
// simulator makes it up for a camera configured with a block size only.
std::vector<uint8_t> data_block_pattern(uint32_t size);

// A fault of the data channel (request 0xCC); it strikes once.
struct DataFault {
    enum class Point {
        Announce,  // the announce is refused (error status)
        Erase,     // the erase is refused
        Chunk,     // chunk `chunk` is refused
        Ack,       // the ack read after chunk `chunk` is refused
        Lose,      // chunk `chunk` is answered but lost: the camera still wants it
        Skip,      // the ack after chunk `chunk` names a chunk beyond the next
    };
    Point point = Point::Announce;
    uint32_t chunk = 0;  // counted from 0
};

// What an EPC camera holds as its factory calibration and sends in its
// data-upload mode (when `stored_data` is not set explicitly).
enum class CalibArchive {
    Zip,    // the block with a zip archive of the calibration package
    None,   // no calibration stored: the data information reports "not valid"
    NoZip,  // the block says it carries no archive
    Bad,    // the archive is damaged
    Evil,   // the archive holds a "../" entry and a symbolic link
};

struct CameraConfig {
    // Identity parameters.
    std::string product = "NVX-E2-2.0b";  // three '-'-separated fields; middle = chip code
    std::string info = "NVX SIM CAMERA";  // at most 18 bytes are reported
    std::vector<uint8_t> id_data = {0x4E, 0x56, 0x58, 0x00, 0x20, 0x24, 0x06, 0x01};
    std::vector<uint8_t> info_data = {0x01, 0x02, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00};
    uint16_t chip_version = 2;
    uint16_t chip_id = 7;
    uint16_t wafer_id = 1042;
    // Operating parameters.
    uint32_t frame_rate = 30;
    uint16_t integration_time = 700;  // parameter 13, microseconds
    // Sensor and illumination-board temperatures, 0.1 degC. Parameter 15
    // reports four on-chip readings around the sensor temperature (their mean
    // is exactly it), then the board reading; frame headers carry both.
    int16_t sensor_temperature = 412;
    int16_t board_temperature = 398;
    // The sensor's factory delay-line calibration code, register 0xE9.
    uint8_t delay_code = 128;
    // Stored data block delivered in data-upload mode (parameter 0 = 9); its
    // first 17 bytes are the data information of parameter 8. Empty: no data,
    // except that an EPC camera then holds the block `calib` describes.
    std::vector<uint8_t> stored_data;
    CalibArchive calib = CalibArchive::Zip;
    // Contents of a "lens_param.txt" the calibration archive also carries;
    // empty: none.
    std::string lens_file;
    // USB identity. port 0 takes the next free port of the bus, address 0
    // the bus's next address (a re-enumeration always takes the next one).
    uint8_t bus = 1;
    uint8_t port = 0;
    uint8_t address = 0;
    uint8_t speed = 3;  // libusb speed code: 1 low, 2 full, 3 high, 4 super
    // Stream bytes per second the bus moves into queued bulk transfers.
    // 0: what a link of `speed` achieves (high speed: 53 MB/s);
    // kUnlimitedLink: transfers fill the moment the camera has data.
    uint64_t link_rate = 0;
    // Streaming.
    StreamMode mode = StreamMode::FrameRate;
    uint32_t chunk_payload = 61440;  // payload bytes per chunk (at most 0xFFFFF)
    uint32_t fifo_frames = 4;        // frames the camera buffers before it drops one
    uint32_t reenumerate_ms = 150;   // off the bus (interface reset, booting new firmware)
    // null: TI products ("T0") stream make_test_pattern(product), EPC
    // products make_sensor_physics(scene).
    std::shared_ptr<FrameSource> source;
    SceneConfig scene;
    // Data channel: the image that the data-info record describes and payload
    // reads return (nullopt: no valid data), its type and version, and how
    // many acks answer "erase in progress" after an erase.
    std::optional<std::vector<uint8_t>> data_block = data_block_pattern(4096);
    uint8_t data_type = 2;
    uint16_t data_version = 1;
    uint32_t erase_polls = 2;
};

// One control request as it crossed the wire, in submission order.
struct WireRecord {
    uint8_t request_type = 0;
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t length = 0;
    // Host-to-camera: the host's payload. Camera-to-host: the camera's reply.
    std::vector<uint8_t> data;
    bool stalled = false;  // the camera refused the request with a STALL
    bool hung = false;     // the camera never answered it

    bool is_in() const { return (request_type & 0x80) != 0; }
    // The 8-byte setup packet.
    std::array<uint8_t, 8> setup() const;
};

// How often each fault struck.
struct FaultCounters {
    uint32_t busy_replies = 0;
    uint32_t error_replies = 0;  // injected errors only (see CameraCounters)
    uint32_t hung_transfers = 0;
    uint32_t stalls = 0;
    uint32_t timeouts = 0;
    uint32_t corrupted_bytes = 0;
    uint32_t dropped_chunks = 0;
    uint32_t unplugs = 0;
    uint32_t refused_claims = 0;
    uint32_t refused_opens = 0;
    uint32_t altered_param_replies = 0;
    uint32_t scripted_replies = 0;
    uint32_t data_faults = 0;  // data channel faults and failed payload reads
};

struct CameraCounters {
    uint32_t commands = 0;  // control requests other than status queries
    uint32_t status_queries = 0;
    uint32_t error_statuses = 0;  // commands that ended with the error status
    uint32_t captures_started = 0;
    uint32_t captures_stopped = 0;
    uint32_t frames_sent = 0;     // frames whose bytes were queued for the host
    uint32_t frames_dropped = 0;  // frames lost because the host read too slowly
    uint32_t chunks_sent = 0;
    uint64_t stream_bytes = 0;  // stream bytes handed to the host
    uint32_t resets = 0;
    uint32_t enumerations = 0;  // times the camera appeared on the bus
    // Data channel.
    uint32_t data_chunks = 0;          // chunks accepted
    uint32_t data_chunks_refused = 0;  // chunks refused (state, length, CRC or a fault)
    uint32_t erase_polls = 0;          // acks that answered "erase in progress"
    uint32_t downloads = 0;            // images stored completely
    uint32_t payload_reads = 0;        // payload pieces sent to the host
};

// A simulated camera on the bus. A cheap handle: copies refer to the same
// camera; it stays valid after the camera left the bus.
class Camera {
  public:
    Camera() = default;
    explicit Camera(std::shared_ptr<CameraModel> model) : model_(std::move(model)) {}
    bool valid() const { return model_ != nullptr; }

    // USB identity; the address changes every time the camera re-enumerates.
    uint8_t bus() const;
    uint8_t port() const;
    uint8_t address() const;
    uint8_t speed() const;
    bool attached() const;
    bool capturing() const;

    // Parameters (transport entry id, value bytes) and registers.
    std::vector<uint8_t> param(uint8_t id) const;
    void set_param(uint8_t id, std::span<const uint8_t> value);
    uint32_t frame_rate() const;
    void set_frame_rate(uint32_t fps);
    void set_stream_mode(StreamMode mode);
    void set_link_rate(uint64_t bytes_per_second);
    void set_frame_source(std::shared_ptr<FrameSource> source);
    uint32_t reg(uint8_t target, uint32_t address) const;
    void set_reg(uint8_t target, uint32_t address, uint32_t value);
    // Sensor state the registers and parameters report.
    uint16_t integration_time() const;                     // parameter 13
    void set_temperatures(int16_t sensor, int16_t board);  // parameter 15, frame headers
    int16_t sensor_temperature() const;
    int16_t board_temperature() const;
    // Modulation frequency in kHz that the sensor registers select (PLL base
    // 0x82/0x81, divider 0x85, 36 MHz path 0x80 bit 6).
    uint32_t modulation_khz() const;
    // The sensor settings the next frame is taken with.
    SensorState sensor_state() const;
    // Ground truth of an EPC camera's scene: per pixel (top to bottom, as
    // the sensor sees it through the lens) the true radial distance in mm.
    std::vector<double> true_distances_mm() const;
    // Writes the factory's DRNU calibration of this camera's sensor (its
    // parameter file and distance-images file, named by its wafer and chip
    // ID) into `folder` (a prefix ending in a separator). False when a file
    // cannot be written.
    bool write_factory_calibration(const std::string &folder) const;

    // Faults. Each one strikes as often as asked (or at the given rate) and
    // is counted in faults().
    // The next `count` status queries answer busy (0xFE) before the real status.
    void inject_busy(uint32_t count);
    // The next `count` commands with request code `request` (-1: any) are
    // refused: they have no effect and end with the error status (0xFF) and
    // `message`.
    void inject_error(std::string message, int request = -1, uint32_t count = 1);
    // The next `count` control transfers with request code `request` (-1: any)
    // get no answer: they complete only when cancelled, and then only after
    // `cancel_delay_ms`.
    void inject_hang(uint32_t count = 1, int request = -1, uint32_t cancel_delay_ms = 0);
    // While streaming, the bulk endpoint halts `count` times; each halt ends one
    // transfer with STALL and lasts until the host clears it.
    void inject_stall(uint32_t count = 1);
    // While streaming, `count` bulk transfers end TIMED_OUT after receiving
    // `partial_bytes` stream bytes (no stream bytes are lost).
    void inject_bulk_timeout(uint32_t count = 1, uint32_t partial_bytes = 0);
    // Every stream byte is altered with probability `rate` (0 switches it off).
    void inject_corruption(double rate, uint64_t seed = 1);
    // Every chunk is left out of the stream with probability `rate`.
    void inject_chunk_drop(double rate, uint64_t seed = 1);
    // The next `count` chunks are left out of the stream.
    void drop_next_chunks(uint32_t count);
    // The camera leaves the bus after it sent `frames` more frames.
    void unplug_after_frames(uint32_t frames);
    // Claiming interface 0 or 1 fails with LIBUSB_ERROR_BUSY while set.
    void refuse_interface(uint8_t interface_number, bool refuse = true);
    // Opening the camera fails with LIBUSB_ERROR_ACCESS while set.
    void refuse_open(bool refuse = true);
    // A cancelled stream transfer comes back only `ms` after its cancellation
    // (a slow host controller or a device that does not let go); 0: at once.
    // Meanwhile it receives no stream bytes.
    void delay_bulk_cancel(uint32_t ms);
    // The first entry of the next `count` parameter replies names parameter
    // `id` and/or carries `length` value bytes instead of its own (a
    // confused firmware); the rest of the reply is as usual.
    void alter_param_replies(std::optional<uint8_t> id, std::optional<uint8_t> length,
                             uint32_t count = 1);
    // The next IN control transfers (status queries and replies alike)
    // answer `replies`, one each, instead of their own, cut to the length the
    // host asked for; the camera still acts on every command as usual. For
    // hostile-reply tests: whatever the bytes, the host must cope.
    void script_in_replies(std::vector<std::vector<uint8_t>> replies);
    void clear_faults();

    // Data channel. The current image is the one the data-info record
    // describes and payload reads return.
    void set_data_version(uint16_t version);
    void set_erase_polls(uint32_t polls);
    // nullopt: no valid data (the record's size reads 0xFFFFFFFF).
    void set_data_block(std::optional<std::vector<uint8_t>> block, uint8_t type = 2);
    std::optional<std::vector<uint8_t>> data_block() const;
    // What flash holds for a data type (nullopt: nothing valid).
    std::optional<std::vector<uint8_t>> stored_image(uint8_t type) const;
    void inject_data_fault(DataFault fault);
    // The `nth` payload read from now on (1: the next) ends with the error status.
    void fail_payload_read(uint32_t nth);

    // Leaves the bus now (in-flight transfers end NO_DEVICE) / comes back
    // with a new address on the same bus and port.
    void unplug();
    void plug();

    FaultCounters faults() const;
    CameraCounters counters() const;
    // When the last byte of frame `index` (counted from the capture start)
    // left the camera into a bulk transfer on the steady clock; empty while
    // it has not, or for one of more than 4096 frames ago.
    std::optional<std::chrono::steady_clock::time_point> frame_sent_at(uint32_t index) const;
    std::vector<WireRecord> wire_log() const;
    void clear_wire_log();

    // The model itself, for adapters that put it on another bus. Not
    // synchronised: only for code that holds the simulator's lock.
    CameraModel &model() const { return *model_; }

  private:
    std::shared_ptr<CameraModel> model_;
};

// Puts a camera on the bus. libusb lists devices as on Linux: by sysfs name
// ("usb<bus>/<bus>-<port>", compared as text), the last name first.
Camera add_camera(const CameraConfig &config = {});
// Every camera added since the last reset(), on the bus or not.
std::vector<Camera> cameras();
// A USB device that is not a camera (opening it fails with LIBUSB_ERROR_ACCESS).
void add_foreign_device(uint16_t vendor_id, uint16_t product_id, uint8_t bus, uint8_t port);
// Takes every device off the bus and restores every default. Contexts and
// handles the host still holds stay valid; their devices are gone.
void reset();

// Adds cameras as described by a NIVEX_SIM text (see README, "Camera
// simulator"). Returns an empty string on success, else what is wrong.
std::string configure(std::string_view text);

// The next `count` event waits of the simulated libusb end at once with
// LIBUSB_ERROR_INTERRUPTED, as a wait that a signal handler interrupted does.
void interrupt_event_waits(uint32_t count);
// Interruptions asked for that have not struck yet.
uint32_t event_interrupts_left();

// State of the simulated libusb, for leak and misuse checks.
struct UsbStats {
    int contexts = 0;  // live contexts (libusb_init minus libusb_exit)
    int open_handles = 0;
    int transfers_allocated = 0;  // libusb_alloc_transfer minus libusb_free_transfer
    int transfers_in_flight = 0;  // submitted and not yet handed to their callback
    int device_refs = 0;          // references the host holds on listed devices (open
                                  // handles hold one each)
    int log_level = 0;            // the last LIBUSB_OPTION_LOG_LEVEL set on any context
};
UsbStats usb_stats();

}  // namespace nxsim
