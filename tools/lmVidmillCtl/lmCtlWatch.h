#pragma once

// "watch": follows the task list until interrupted, or with --until-done until no task is
// waiting or running.

#include "tools/lmVidmillCtl/lmCtlTaskCommands.h"

namespace ctl {

int RunWatch(TCtlSession& session, const TWords& words);

}  // namespace ctl
