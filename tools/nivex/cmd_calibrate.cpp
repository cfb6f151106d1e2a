// nivex calibrate: the factory DRNU calibration of an EPC camera. The sensor's
// delay line is stepped through its calibration distances, every step is
// measured from averaged frames, and the calibration files are written into
// the data folder, where the library loads them at the camera's next open.
// The camera should look at the calibration fixture: a target at the same
// distance from every pixel (the simulated camera's sphere scene).
#include <cstdio>
#include <memory>
#include <string>

#include "commands.h"
#include "library_session.h"
#include "nivex_sensorlib.h"
#include "progress.h"
#include "tool_error.h"

namespace nivex_tool {
namespace {

// The library's progress hook carries no user pointer; the tool runs one
// calibration at a time, on its main thread, which is where the hook runs.
ProgressBar *g_bar = nullptr;
int g_sweep = 1;

void on_step(int step, int steps, int sweep) {
    if (g_bar == nullptr) return;
    if (sweep != g_sweep) {
        g_sweep = sweep;
        g_bar->relabel("calibrate (sweep " + std::to_string(sweep) + ": the temperature drifted)");
    }
    g_bar->update(static_cast<uint64_t>(step) + 1, static_cast<uint64_t>(steps));
}

// Shows the procedure's progress while it lives.
class StepProgress {
  public:
    StepProgress() : bar_("calibrate", "steps") {
        g_bar = &bar_;
        g_sweep = 1;
        calibrationSetProgressCallback(on_step);
    }
    ~StepProgress() {
        calibrationSetProgressCallback(nullptr);
        g_bar = nullptr;
    }
    StepProgress(const StepProgress &) = delete;
    StepProgress &operator=(const StepProgress &) = delete;

  private:
    ProgressBar bar_;
};

void calibrate(const CommonOptions &common, int frames) {
    LibrarySession session(common);
    OpenCamera camera(common.camera, session);
    if (frames > 0 && calibrationSetNumAveragedFrames(frames) != 0)
        throw ToolError("the camera refused " + std::to_string(frames) + " frames per step");
    int result;
    {
        StepProgress progress;
        result = apiCalibrateDRNU();
    }
    if (result != 0)
        throw ToolError("calibration failed (it needs an EPC camera; see " + session.log_path() +
                        ")");
    std::printf("calibrated: %d steps of %.2f mm at %.1f degC\n", calibrateGetNumDistances(),
                calibrateGetStepCalMM(), calibrateGetTempCalib() / 10.0);
    std::printf("files written into %s\n", nivex_path_get());
}

}  // namespace

void add_calibrate_command(CLI::App &app, CommonOptions &common, CommandList &commands) {
    CLI::App *command = app.add_subcommand(
        "calibrate",
        "measure the per-pixel distance calibration of an EPC camera (the camera looking at a "
        "target at the same distance from every pixel) and write its files into the data folder");
    add_common_options(*command, common);
    auto frames = std::make_shared<int>(0);
    command
        ->add_option("--frames", *frames,
                     "frames averaged per delay step (default: the library's, 25); fewer are "
                     "faster and noisier")
        ->check(CLI::Range(1, 1000));
    commands.push_back(
        {command, [&common, frames] { calibrate(common, *frames); }, kCalibrationSimSettings});
}

}  // namespace nivex_tool
