// The transport of a replayed recording: it answers the session's commands
// from the recording (parameters, the sensor's register file) and plays the
// recorded frames back as the capture stream, so the capture engine, the
// stream parser and the chip driver run exactly as with a camera.
//
// Pacing: frames are played as fast as the application takes them; the
// player never lets more frames wait in the parser than its buffer holds
// minus one, so none is dropped. After the last frame the capture ends by
// itself (a cancelled stream): fetches hand out what is left, then report
// that the device is not capturing.
//
// Threads: the commands come under the session's command lock; the player
// runs on a thread of its own from the capture start to the stop (which
// joins it); cap_abort, from the player itself among others, only asks it
// to end. The player's state has its own mutex (a leaf).
#pragma once

#include <memory>
#include <string>

#include "api/recording_reader.h"
#include "ll/ll_ops.h"

namespace nx::rec {

// What dev_open of ll_op_replay finds in the head's priv: the recording,
// the descriptor it is read from and the private folder its calibration
// files were unpacked to (removed with the record).
struct ReplaySource {
    Recording recording;
    int fd = -1;
    std::string folder;
    bool loop = false;
};

// The session record's priv for ll_op_replay; dev_close of the table frees it.
void *make_replay_priv(std::unique_ptr<ReplaySource> source);

}  // namespace nx::rec

extern const ll_ops ll_op_replay;
