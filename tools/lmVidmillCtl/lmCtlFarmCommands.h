#pragma once

// "farm status": the engines of the farm the engine belongs to, their heartbeats and task
// counts.

#include "tools/lmVidmillCtl/lmCtlTaskCommands.h"

namespace ctl {

int RunFarm(TCtlSession& session, const TWords& words);

}  // namespace ctl
