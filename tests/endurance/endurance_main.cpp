// Endurance run: a simulated EPC camera streams flat out for a long time
// (100,000 frames unless told otherwise) with every fault switched on at
// field rates, unplugs included (the library reopens the camera by itself),
// while a consumer checks and decodes every frame. It fails on a damaged or
// out-of-order frame, a failed decode, a camera that does not come back,
// counters that do not add up, unexpected command failures, or memory or
// threads that grow between the end of the warm-up and the end of the run.
//
//   nivex_endurance [--frames N]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "fault_schedule.h"
#include "frame_checker.h"
#include "process_usage.h"
#include "sim/camsim.h"
#include "support/test_support.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace endurance;

constexpr char kProduct[] = "NVX-E2-2.0b";
constexpr uint32_t kBufferFrames = 8;
// Memory may move by allocator noise; a leak of even a few bytes per frame
// shows over the run as more than this.
constexpr uint64_t kRssSlackKib = 8 * 1024;
// AddressSanitizer holds freed memory back in quarantine, so resident memory
// grows there however tight the code is; its leak check at exit stands in.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kResidentMemoryMeans = false;
#else
constexpr bool kResidentMemoryMeans = true;
#endif

struct Options {
    uint64_t frames = 100000;
};

Options parse(int argc, char **argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--frames") == 0 && i + 1 < argc) {
            options.frames = std::strtoull(argv[++i], nullptr, 10);
        } else {
            std::fprintf(stderr, "usage: %s [--frames N]\n", argv[0]);
            std::exit(2);
        }
    }
    if (options.frames < 100) options.frames = 100;
    return options;
}

int g_failures = 0;

// What the device events told; the callback runs on the consumer's thread.
struct Presence {
    FrameChecker *checker = nullptr;
    FaultSchedule *faults = nullptr;
    uint64_t gone = 0;
    uint64_t back = 0;
    uint64_t reopen_failures = 0;
    uint64_t usec_off_bus = 0;
    uint64_t frames_lost = 0;
    uint64_t settings_refused = 0;
    uint64_t not_restarted = 0;
    Clock::time_point last_back{};
    bool away() const { return gone > back; }
} g_presence;

void on_device_event(nivex_device *, int event, const nivex_device_gap *gap) {
    Presence &p = g_presence;
    if (event == NIVEX_DEV_EVENT_GONE) {
        ++p.gone;
        if (p.checker != nullptr) p.checker->note_gone();
    } else if (event == NIVEX_DEV_EVENT_BACK) {
        ++p.back;
        p.last_back = Clock::now();
        p.usec_off_bus += gap->usec_off_bus;
        p.frames_lost += gap->frames_lost;
        p.settings_refused += gap->settings_refused;
        if (gap->capture_restarted == 0) ++p.not_restarted;
        std::printf("back after %.0f ms off the bus (about %u frames lost, %u attempts)\n",
                    static_cast<double>(gap->usec_off_bus) / 1e3, gap->frames_lost,
                    gap->reopen_attempts);
        if (p.faults != nullptr) p.faults->note_back();
    } else if (event == NIVEX_DEV_EVENT_REOPEN_FAILED) {
        ++p.reopen_failures;
    }
}

// On the bus and settled: no gap under way, the last reopen a second ago.
bool settled(const FaultSchedule &faults) {
    return !faults.off_bus() && !g_presence.away() &&
           Clock::now() - g_presence.last_back > std::chrono::seconds(1);
}

void fail(const std::string &what) {
    ++g_failures;
    std::fprintf(stderr, "FAIL: %s\n", what.c_str());
}

void check(bool ok, const std::string &what) {
    if (!ok) fail(what);
}

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void report(double seconds, const FrameChecker &checker, const ProcessUsage &usage,
            nivex_device *dev) {
    nivex_cap_health health{};
    health.struct_size = sizeof health;
    nivex_cap_get_health(dev, &health);
    std::printf(
        "%7.0f s  %9llu frames  %6.0f fps  rss %6llu KiB  threads %2u  discarded %llu  "
        "overflowed %llu  stalls %u  time-outs %u\n",
        seconds, static_cast<unsigned long long>(checker.frames()),
        static_cast<double>(checker.frames()) / seconds,
        static_cast<unsigned long long>(usage.rss_kib), usage.threads,
        static_cast<unsigned long long>(health.frames_bad_checksum + health.frames_broken),
        static_cast<unsigned long long>(health.frames_overflowed), health.transfer_stalls,
        health.transfer_timeouts);
    std::fflush(stdout);
}

// Every frame that became ready was handed out, dropped for lack of room, or
// is still waiting; nothing arrives that the camera did not send.
void check_counters(nivex_device *dev, const nxsim::Camera &camera, uint64_t fetched) {
    nivex_cap_stats stats{};
    nivex_cap_health health{};
    health.struct_size = sizeof health;
    check(nivex_cap_get_stats(dev, &stats) && nivex_cap_get_health(dev, &health),
          "counters cannot be read");
    check(stats.frames_queued == fetched + stats.frames_overflowed + stats.frames_ready,
          "queued frames do not add up");
    check(health.frames_delivered == fetched, "delivered frames do not add up");
    check(stats.frames_discarded == health.frames_bad_checksum + health.frames_broken,
          "discarded frames do not add up");
    const nxsim::CameraCounters sent = camera.counters();
    check(stats.frames_queued + stats.frames_discarded <= sent.frames_sent,
          "more frames arrived than the camera sent");
    const nxsim::FaultCounters faults = camera.faults();
    check(faults.stalls > 0 && faults.timeouts > 0 && faults.dropped_chunks > 0 &&
              faults.corrupted_bytes > 0 && faults.busy_replies > 0 && faults.error_replies > 0,
          "not every fault struck");
}

// One fetch: checks the frame it got. A fetch during a gap fails at once
// with the unplug error; the events then say when the camera is back.
void fetch_one(nivex_device *dev, FrameChecker &checker, const FaultSchedule &faults) {
    nivex_frame_meta meta{};
    std::vector<uint8_t> &frame = checker.frame();
    const int n =
        nivex_cap_get_frames(dev, 1, frame.data(), static_cast<uint32_t>(frame.size()), &meta);
    if (n == NIVEX_ERR_CAP_UNKNOWN && (faults.off_bus() || g_presence.away())) {
        nivex_dev_poll_events(dev, 50);
        return;
    }
    if (n < 0) {
        fail(std::string("fetch: ") + nivex_error_name(n));
        return;
    }
    if (n == 1) {
        const std::string fault = checker.take(meta);
        if (!fault.empty()) fail(fault);
    }
}

// Waits until the camera is back after the last unplug.
bool wait_until_settled(nivex_device *dev, const FaultSchedule &faults) {
    const auto until = Clock::now() + std::chrono::seconds(30);
    while (!settled(faults) && Clock::now() < until)
        nivex_dev_poll_events(dev, 100);
    return settled(faults);
}

void report_presence(const ReadCounts &reads) {
    const Presence &p = g_presence;
    std::printf(
        "unplugs %llu: gone %llu, back %llu, reopen failures %llu, %.1f s off the bus, "
        "about %llu frames lost, settings refused %llu\n",
        static_cast<unsigned long long>(reads.unplugs), static_cast<unsigned long long>(p.gone),
        static_cast<unsigned long long>(p.back), static_cast<unsigned long long>(p.reopen_failures),
        static_cast<double>(p.usec_off_bus) / 1e6, static_cast<unsigned long long>(p.frames_lost),
        static_cast<unsigned long long>(p.settings_refused));
    std::printf(
        "register reads: %llu, refused as injected: %llu, failed off the bus: %llu, "
        "failed otherwise: %llu\n",
        static_cast<unsigned long long>(reads.reads),
        static_cast<unsigned long long>(reads.refused_as_expected),
        static_cast<unsigned long long>(reads.failed_off_bus),
        static_cast<unsigned long long>(reads.failed_unexpectedly));
    check(reads.failed_unexpectedly == 0, "register reads failed without an injected error");
    check(reads.refused_as_expected > 0, "no register read was refused");
    check(reads.unplugs > 0, "the camera was never unplugged");
    check(p.gone == reads.unplugs && p.back == reads.unplugs,
          "not every unplug was reported gone and back");
    check(p.not_restarted == 0, "a capture was not restarted after a reopen");
    check(p.settings_refused == 0, "settings were refused after a reopen");
}

// The last stretch: no more unplugs; the capture is started afresh so that
// its counters cover exactly the frames fetched since.
uint64_t final_stretch(nivex_device *dev, FrameChecker &checker, const FaultSchedule &faults,
                       ProcessUsage &end) {
    nivex_cap_stop(dev);
    checker.restart();
    if (!nivex_cap_start(dev)) {
        fail("the capture does not start again");
        return 0;
    }
    const uint64_t before = checker.frames();
    const auto until = Clock::now() + std::chrono::seconds(60);
    while (checker.frames() < before + 500 && g_failures == 0 && Clock::now() < until)
        fetch_one(dev, checker, faults);
    end = process_usage();  // the fault threads still run, as at the warm-up
    return checker.frames() - before;
}

}  // namespace

int main(int argc, char **argv) {
    const Options options = parse(argc, argv);
    nxtest::TempDir dir;
    nxtest::ScopedCwd cwd(dir.path());
    nivex_init(dir.file("nivex.log").c_str());
    nivex_log_cfg(std::getenv("ENDURANCE_LOG") ? NX_LOG_INF : NX_LOG_OFF, NX_LOG_WRN, NX_LOG_OFF);
    nivex_path_cfg((dir.path().string() + "/").c_str());

    nxsim::CameraConfig config;
    config.product = kProduct;
    config.link_rate = nxsim::kUnlimitedLink;
    config.source = nxsim::make_test_pattern(kProduct);
    nxsim::Camera camera = nxsim::add_camera(config);

    nivex_device dev{};
    // A pattern of its own: the camera renders from its own on another thread.
    FrameChecker checker(&dev, nxsim::make_test_pattern(kProduct));
    g_presence.checker = &checker;
    if (nivex_dev_open(&dev) != &dev || !nivex_dev_set_callback_on_event(&dev, on_device_event) ||
        !nivex_dev_set_auto_reopen(&dev, true) ||
        !nivex_cap_set_frame_buffer(&dev, nullptr, kBufferFrames * NIVEX_FRAME_SLOT_SIZE) ||
        !nivex_cap_start(&dev)) {
        std::fprintf(stderr, "FAIL: the simulated camera does not open and stream\n");
        return 1;
    }
    // Flat out only once started (the start command's status query must not
    // wait behind a busy stream); the camera keeps the pace when it comes back.
    camera.set_stream_mode(nxsim::StreamMode::Fast);

    const auto start = Clock::now();
    ProcessUsage warm{};
    ProcessUsage end{};
    const uint64_t warm_up_frames = std::max<uint64_t>(options.frames / 10, 50);
    uint64_t last_stretch = 0;
    {
        FaultSchedule faults(camera, &dev, FaultRates{});
        g_presence.faults = &faults;
        double next_report = 10;
        while (checker.frames() < options.frames && g_failures == 0) {
            fetch_one(&dev, checker, faults);
            if (warm.threads == 0 && checker.frames() >= warm_up_frames && settled(faults))
                warm = process_usage();
            if (seconds_since(start) >= next_report) {
                report(seconds_since(start), checker, process_usage(), &dev);
                next_report += 10;
            }
        }
        faults.stop_unplugs();
        check(wait_until_settled(&dev, faults), "the camera did not come back");
        if (g_failures == 0) last_stretch = final_stretch(&dev, checker, faults, end);
        faults.stop();
        g_presence.faults = nullptr;
        report_presence(faults.reads());
    }
    report(seconds_since(start), checker, end, &dev);
    if (g_failures == 0) check_counters(&dev, camera, last_stretch);
    nivex_cap_stop(&dev);

    std::printf(
        "memory after the warm-up (%llu frames): %llu KiB, at the end: %llu KiB; "
        "threads %u and %u\n",
        static_cast<unsigned long long>(warm_up_frames),
        static_cast<unsigned long long>(warm.rss_kib), static_cast<unsigned long long>(end.rss_kib),
        warm.threads, end.threads);
    if (kResidentMemoryMeans && g_failures == 0)
        check(end.rss_kib <= warm.rss_kib + kRssSlackKib, "memory grew during the run");
    if (g_failures == 0)
        check(end.threads == warm.threads, "the number of threads changed during the run");
    nivex_dev_close(&dev);
    nivex_uninit();
    nxsim::reset();
    std::printf("%s: %llu frames, %llu points decoded, %llu frames skipped by the stream\n",
                g_failures == 0 ? "PASS" : "FAIL",
                static_cast<unsigned long long>(checker.frames()),
                static_cast<unsigned long long>(checker.points()),
                static_cast<unsigned long long>(checker.skipped()));
    return g_failures == 0 ? 0 : 1;
}
