// The agent's start-up, shared by tactagent (real frame, real bus) and
// tactreplay (virtual frame, virtual clock): it opens the two HID managers,
// creates the converter, announces the driver version and runs the loop.
#pragma once

#include "agent/converter/ZyvTouchConverter.hpp"

namespace tact {

// Returns 0, as the agent always does; a manager that cannot be opened ends
// it at once without announcing anything. The environment's loop must be the
// main run loop.
int agentMain(AgentEnvironment& environment);

// The same in steps, for the replay tool, which drives the loop itself:
// agentStart opens the managers, creates the converter and announces the
// driver version (false when a manager would not open); agentStop lets go of
// every device.
bool agentStart(AgentEnvironment& environment);
void agentStop();

}  // namespace tact
