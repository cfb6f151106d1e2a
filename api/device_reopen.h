// Automatic reopen: the watcher that looks for cameras which left the bus
// and brings their sessions back.
//
// One library thread, running only while some session with automatic reopen
// is off the bus. Every poll interval it lists the bus and, for each watched
// session, opens the candidates (the old bus and port first) into the
// session to read their chip and wafer IDs; a camera that is not the one
// lost is closed again and not looked at again until it re-enumerates. The
// right one stays open: the recorded settings are re-applied, a capture the
// application was running is restarted, and BACK is queued with the gap.
//
// The watcher enters the session's call gate for each look, so a close waits
// for it (and makes its commands fail at once) and never races it; it holds
// the command lock only around each transport step.
#pragma once

#include <chrono>
#include <optional>

#include "api/session.h"

namespace nx {

// Puts an off-bus session with automatic reopen under watch, starting the
// watcher when it is not running. Any thread, the event thread included.
void watch_for_return(Session &session);
// Ends the watcher thread and forgets the watched sessions (library end).
void stop_reopen_watcher();
// How often the watcher looks at the bus (200 ms unless a test changes it).
void set_reopen_poll_interval(std::chrono::milliseconds interval);

// The chip and wafer IDs of the session's camera; nothing when it does not
// answer. The caller holds the command lock.
std::optional<ChipIdentity> read_chip_identity(Session &session);

}  // namespace nx
