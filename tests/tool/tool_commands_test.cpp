// The tool's subcommands other than capture, against the simulated camera:
// what they print on success, and a one-line error for every bad input.
#include <gtest/gtest.h>

#include <filesystem>

#include "sim/camsim.h"
#include "tool_runner.h"

namespace tooltest {
namespace {

namespace fs = std::filesystem;

using ToolCommands = ToolTest;

TEST_F(ToolCommands, ListShowsEveryCameraAsTableAndJson) {
    ToolRun table = nivex({"list", "--sim=cameras=2,cam1.product=NVX-T0-1.0,cam1.info=SECOND"});
    ASSERT_EQ(table.status, 0) << table.err;
    EXPECT_NE(table.out.find("NVX-E2-2.0b"), std::string::npos) << table.out;
    EXPECT_NE(table.out.find("NVX-T0-1.0"), std::string::npos) << table.out;
    EXPECT_NE(table.out.find("SECOND"), std::string::npos) << table.out;
    EXPECT_NE(table.out.find("high"), std::string::npos) << table.out;

    ToolRun json = nivex({"list", "--json", "--sim=cameras=2,cam1.bus=3,cam1.port=7"});
    ASSERT_EQ(json.status, 0) << json.err;
    EXPECT_EQ(json.out.front(), '[');
    EXPECT_NE(json.out.find("\"bus\": 3, \"port\": 7"), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"product\": \"NVX-E2-2.0b\""), std::string::npos) << json.out;

    ToolRun none = nivex({"list", "--json", "--sim=cameras=0"});
    ASSERT_EQ(none.status, 0) << none.err;
    EXPECT_EQ(none.out, "[]\n");

    EXPECT_TRUE(one_line_error(nivex({"list", "--sim", "extra"}), "extra"));
    EXPECT_TRUE(one_line_error(nivex({"list", "--sim=cameras=33"}), "cameras"));
}

TEST_F(ToolCommands, InfoReportsIdentityAndSettings) {
    ToolRun run = nivex({"info", "--sim=fps=12,temp=455,wafer_id=77"});
    ASSERT_EQ(run.status, 0) << run.err;
    for (const char *line : {"product          NVX-E2-2.0b", "firmware         2.0b",
                             "info             NVX SIM CAMERA", "wafer id 77",
                             "frame rate       12 fps", "integration time 700 us", "45.5"})
        EXPECT_NE(run.out.find(line), std::string::npos) << line << " in\n" << run.out;
}

TEST_F(ToolCommands, UnknownCameraAndBadSelectorsAreOneLineErrors) {
    EXPECT_TRUE(one_line_error(nivex({"info", "--sim", "--device", "3"}), "no camera 3: 1 found"));
    EXPECT_TRUE(one_line_error(nivex({"info", "--sim", "-d", "1:9"}), "no camera at bus 1 port 9"));
    EXPECT_TRUE(one_line_error(nivex({"info", "--sim", "-d", "x1"}), "bad number 'x1'"));
    EXPECT_TRUE(one_line_error(nivex({"info", "--sim=cameras=0"}), "no camera found"));
    EXPECT_TRUE(one_line_error(nivex({"info", "--sim=bogus=1"}), "unknown key bogus"));
    EXPECT_TRUE(one_line_error(nivex({"frobnicate"}), "frobnicate"));
    EXPECT_TRUE(one_line_error(nivex({"info", "--sim", "--bogus"}), "--bogus"));
    EXPECT_TRUE(one_line_error(nivex({"info", "--sim=refuse_open=1"}), "cannot open the camera"));
}

TEST_F(ToolCommands, ParamGetReadsTheCameraAndSetChecksItsValue) {
    ToolRun fps = nivex({"param", "get", "frame_rate", "intg_time", "--sim=fps=17"});
    ASSERT_EQ(fps.status, 0) << fps.err;
    EXPECT_NE(fps.out.find("frame_rate   17\n"), std::string::npos) << fps.out;
    EXPECT_NE(fps.out.find("intg_time    700\n"), std::string::npos) << fps.out;

    ToolRun every = nivex({"param", "get", "--sim"});
    ASSERT_EQ(every.status, 0) << every.err;
    EXPECT_NE(every.out.find("chip_info    part version 2, chip id 7, wafer id 1042"),
              std::string::npos)
        << every.out;
    EXPECT_NE(every.out.find("id_data      4e 56 58 00 20 24 06 01"), std::string::npos)
        << every.out;

    EXPECT_EQ(nivex({"param", "set", "frame_rate", "0x14", "--sim"}).status, 0);
    EXPECT_EQ(nivex({"param", "set", "13", "900", "--sim"}).status, 0);
    EXPECT_TRUE(
        one_line_error(nivex({"param", "set", "intg_time", "70000", "--sim"}), "at most 65535"));
    EXPECT_TRUE(
        one_line_error(nivex({"param", "set", "frame_rate", "ten", "--sim"}), "bad number 'ten'"));
    EXPECT_TRUE(one_line_error(nivex({"param", "get", "speed", "--sim"}), "unknown parameter"));
    EXPECT_TRUE(one_line_error(nivex({"param", "get", "300", "--sim"}), "at most 255"));
    EXPECT_TRUE(one_line_error(nivex({"param", "set", "200", "01:zz", "--sim"}), "hex"));
    EXPECT_TRUE(one_line_error(nivex({"param", "get", "200", "--sim"}), "did not answer"));
    EXPECT_TRUE(one_line_error(nivex({"param", "set", "200", "0102", "--sim"}), "refused"));
}

TEST_F(ToolCommands, RegReadsHexOrDecimalAndRejectsBadNumbers) {
    ToolRun hex = nivex({"reg", "read", "0xE9", "--sim=delay_code=0x42"});
    ASSERT_EQ(hex.status, 0) << hex.err;
    EXPECT_EQ(hex.out, "0x00e9: 0x00000042 (66)\n");
    ToolRun decimal = nivex({"reg", "read", "233", "2", "--sim=delay_code=7"});
    ASSERT_EQ(decimal.status, 0) << decimal.err;
    EXPECT_EQ(decimal.out.substr(0, 25), "0x00e9: 0x00000007 (7)\n0x");

    EXPECT_EQ(nivex({"reg", "write", "0x10", "1", "0x2", "--sim"}).status, 0);
    EXPECT_TRUE(one_line_error(nivex({"reg", "read", "0xZZ", "--sim"}), "bad number '0xZZ'"));
    EXPECT_TRUE(one_line_error(nivex({"reg", "read", "1", "0", "--sim"}), "at least 1"));
    EXPECT_TRUE(
        one_line_error(nivex({"reg", "read", "1", "--target", "256", "--sim"}), "at most 255"));
    EXPECT_TRUE(one_line_error(nivex({"reg", "write", "0x10", "--sim"}), "values"));
    EXPECT_TRUE(one_line_error(nivex({"reg", "write", "0x10", "-1", "--sim"}), "-1"));
}

TEST_F(ToolCommands, FirmwareDownloadsANewerImageOnly) {
    write_file(path("image.bin"), std::string(3000, '\x5a'));
    ToolRun run = nivex({"firmware", "image.bin", "--version", "2", "--type", "5", "--sim"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("downloaded image.bin as type 5, version 2"), std::string::npos);

    EXPECT_TRUE(one_line_error(
        nivex({"firmware", "image.bin", "--version", "3", "--type", "5", "--sim=dl_version=3"}),
        "download of image.bin failed"));
    EXPECT_TRUE(one_line_error(nivex({"firmware", "missing.bin", "--version", "2", "--sim"}),
                               "cannot read missing.bin"));
    write_file(path("empty.bin"), "");
    EXPECT_TRUE(one_line_error(nivex({"firmware", "empty.bin", "--version", "2", "--sim"}),
                               "empty.bin is empty"));
    EXPECT_TRUE(one_line_error(nivex({"firmware", "image.bin", "--version", "0x10000", "--sim"}),
                               "at most 65535"));
    EXPECT_TRUE(one_line_error(nivex({"firmware", "image.bin", "--sim"}), "--version"));
}

TEST_F(ToolCommands, TransfersAndCaptureShowProgressOnATerminal) {
    write_file(path("image.bin"), std::string(5000, '\x11'));
    ToolRun download =
        nivex_on_terminal({"firmware", "image.bin", "--version", "2", "--type", "5", "--sim"});
    ASSERT_EQ(download.status, 0) << download.out;
    EXPECT_NE(download.out.find("download [###"), std::string::npos) << download.out;
    EXPECT_NE(download.out.find("100%  5000/5000 bytes"), std::string::npos) << download.out;

    ToolRun upload = nivex_on_terminal({"upload", "b.bin", "--sim=ul_size=2000"});
    ASSERT_EQ(upload.status, 0) << upload.out;
    EXPECT_NE(upload.out.find("100%  2000/2000 bytes"), std::string::npos) << upload.out;

    ToolRun capture = nivex_on_terminal({"capture", "-n", "3", "--sim"});
    ASSERT_EQ(capture.status, 0) << capture.out;
    EXPECT_NE(capture.out.find("frame 3/3"), std::string::npos) << capture.out;
}

TEST_F(ToolCommands, UploadWritesTheStoredBlockOrLeavesTheFileAlone) {
    ToolRun run = nivex({"upload", "block.bin", "--sim=ul_size=1000"});
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<uint8_t> expected = nxsim::data_block_pattern(1000);
    EXPECT_EQ(read_file(path("block.bin")), std::string(expected.begin(), expected.end()));

    write_file(path("keep.bin"), "earlier");
    EXPECT_TRUE(
        one_line_error(nivex({"upload", "keep.bin", "--sim=ul_size=none"}), "no valid data"));
    EXPECT_EQ(read_file(path("keep.bin")), "earlier");
    EXPECT_TRUE(one_line_error(nivex({"upload", "no/such/folder/x.bin", "--sim"}),
                               "cannot write no/such/folder/x.bin"));
    EXPECT_TRUE(hidden_files(dir_).empty());

    ToolRun by_default = nivex({"upload", "--sim=ul_size=10"});
    ASSERT_EQ(by_default.status, 0) << by_default.err;
    EXPECT_EQ(fs::file_size(path("calib.bin")), 10u);
}

TEST_F(ToolCommands, CalibrateWritesTheCalibrationFilesIntoTheDataFolder) {
    // The simulated camera of calibrate is the sphere fixture; the step
    // found is the delay line's, within the search range of 270 to 340 mm.
    // Two frames per step keep the run short; the step stays well measured.
    ToolRun run =
        nivex({"calibrate", "--sim=chip_id=7,wafer_id=1042", "--data", "cal", "--frames", "2"});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string said = "calibrated: 30 steps of ";
    const size_t at = run.out.find(said);
    ASSERT_NE(at, std::string::npos) << run.out;
    const double step_mm = std::stod(run.out.substr(at + said.size()));
    EXPECT_GT(step_mm, 270.0);
    EXPECT_LT(step_mm, 340.0);
    for (const char *file : {"kpl_ex_images_drnu_W1042_C007_10.bin",
                             "kpl_ex_drnu_param_W1042_C007_10.bin", "calib_and_param_007.bin"})
        EXPECT_TRUE(fs::exists(path("cal") / file)) << file;
    EXPECT_EQ(fs::file_size(path("cal") / "kpl_ex_images_drnu_W1042_C007_10.bin"),
              30u * 320 * 240 * 2);

    // A camera without the sensor the procedure steps.
    EXPECT_TRUE(one_line_error(nivex({"calibrate", "--sim=product=NVX-T0-1.0", "--data", "ti"}),
                               "calibration failed"));
    EXPECT_EQ(nivex({"calibrate", "--sim", "--frames", "0"}).status, 2);
}

TEST_F(ToolCommands, EverySubcommandHasHelp) {
    ToolRun root = nivex({"--help"});
    EXPECT_EQ(root.status, 0);
    EXPECT_NE(root.out.find("capture"), std::string::npos) << root.out;
    for (std::vector<std::string> command : {std::vector<std::string>{"list"},
                                             {"info"},
                                             {"capture"},
                                             {"param"},
                                             {"param", "get"},
                                             {"param", "set"},
                                             {"reg"},
                                             {"reg", "read"},
                                             {"reg", "write"},
                                             {"firmware"},
                                             {"upload"},
                                             {"calibrate"},
                                             {"health"},
                                             {"record"},
                                             {"replay"}}) {
        command.push_back("--help");
        ToolRun run = nivex(command);
        EXPECT_EQ(run.status, 0) << command[0];
        EXPECT_NE(run.out.find("--sim"), std::string::npos) << command[0] << ":\n" << run.out;
    }
}

}  // namespace
}  // namespace tooltest
