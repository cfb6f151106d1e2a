// nivex record and nivex replay against the simulated camera: the replay
// writes exactly the recorded frames, ends with the recording (or loops),
// and a file that is not a recording is one clear error.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "nivex.h"
#include "tool_runner.h"

namespace tooltest {
namespace {

class ToolRecord : public LibraryToolTest {
  protected:
    // Every frame of the recording, as the library replays it, back to back.
    std::string replayed_bytes(const std::string &recording) {
        nivex_device *dev = nivex_dev_open_recording(path(recording).c_str(), 0);
        EXPECT_NE(dev, nullptr);
        if (dev == nullptr) return {};
        std::string all;
        std::vector<char> frame(2 * NIVEX_FRAME_SLOT_SIZE);
        EXPECT_TRUE(nivex_cap_set_frame_buffer(dev, nullptr, 4 * NIVEX_FRAME_SLOT_SIZE));
        EXPECT_TRUE(nivex_cap_start(dev));
        nivex_frame_meta meta{};
        while (nivex_cap_get_frames(dev, 1, frame.data(), static_cast<uint32_t>(frame.size()),
                                    &meta) == 1)
            all.append(frame.data(), meta.frame_size);
        nivex_dev_close(dev);
        return all;
    }
};

TEST_F(ToolRecord, ReplayWritesTheRecordedFrames) {
    const ToolRun rec = nivex({"record", "--sim", "-n", "3", "-o", "field.nxr"});
    ASSERT_EQ(rec.status, 0) << rec.err;
    EXPECT_NE(rec.out.find("recorded 3 frames into field.nxr"), std::string::npos) << rec.out;

    const ToolRun play =
        nivex({"replay", "--sim", "field.nxr", "-o", "out", "--raw", "--depth-png"});
    ASSERT_EQ(play.status, 0) << play.err;
    EXPECT_NE(play.out.find("frames: 3 "), std::string::npos) << play.out;
    EXPECT_TRUE(std::filesystem::exists(path("out/depth.png")));
    const std::string raw = read_file(path("out/frames.raw"));
    EXPECT_EQ(raw.size() % 3, 0u);
    EXPECT_FALSE(raw.empty());
    EXPECT_TRUE(raw == replayed_bytes("field.nxr"));
}

TEST_F(ToolRecord, ReplayLoopsAndStopsAtTheAskedCount) {
    ASSERT_EQ(nivex({"record", "--sim", "-n", "2", "-o", "two.nxr"}).status, 0);
    const ToolRun play = nivex({"replay", "--sim", "two.nxr", "-n", "5", "--loop"});
    ASSERT_EQ(play.status, 0) << play.err;
    EXPECT_NE(play.out.find("frames: 5 "), std::string::npos) << play.out;
    const ToolRun once = nivex({"replay", "--sim", "two.nxr", "-n", "5"});
    ASSERT_EQ(once.status, 0) << once.err;
    EXPECT_NE(once.out.find("frames: 2 "), std::string::npos) << once.out;
}

TEST_F(ToolRecord, NotARecordingIsOneError) {
    write_file(path("junk.nxr"), "this is no recording");
    EXPECT_TRUE(one_line_error(nivex({"replay", "--sim", "junk.nxr"}), "cannot replay junk.nxr"));
    EXPECT_TRUE(one_line_error(nivex({"record", "--sim", "-n", "1"}), "--output"));
}

}  // namespace
}  // namespace tooltest
