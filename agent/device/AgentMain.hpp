// The agent's start-up, shared by tactagent (real frame, real bus) and
// tactreplay (virtual frame, virtual clock): it opens the two HID managers,
// creates the converter, announces the driver version and runs the loop.
#pragma once

#include "agent/converter/ZyvTouchConverter.hpp"
#include "platform/hid/FrameAccess.hpp"

namespace tact {

// What the agent does when a frame is there but its managers would not open
// (most often: this user may not open the frame's nodes).
struct FrameWait {
    // How long to wait for the nodes to become openable before giving up;
    // 0 gives up at once.
    double seconds = 0;
    // Where the frame's nodes are looked for (tests move them).
    platform::hid::FrameAccessRoots roots;
};

// Runs the agent until the loop is stopped (0). When a manager cannot be
// opened it says why and how to fix it, waits as told for the frame to
// become openable, starting as usual once it is, and otherwise returns 1: a
// frame the agent cannot use is a failure, so a service manager restarts it.
// The environment's loop must be the main run loop.
int agentMain(AgentEnvironment& environment, const FrameWait& wait = {});

// The same in steps, for the replay tool, which drives the loop itself:
// agentStart opens the managers, creates the converter and announces the
// driver version (false when a manager would not open); agentStop lets go of
// every device.
bool agentStart(AgentEnvironment& environment);
void agentStop();

}  // namespace tact
