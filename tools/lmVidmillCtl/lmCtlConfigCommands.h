#pragma once

// The configuration commands: "config show", list/show/add/set/delete for each kind of
// configured object, and "engine set".

#include "tools/lmVidmillCtl/lmCtlTaskCommands.h"

namespace ctl {

int RunConfig(TCtlSession& session, const TWords& words);
// `kind` is the command's name: "source", "processor", "target", "project" or "user".
int RunKind(TCtlSession& session, const std::string& kind, const TWords& words);
int RunEngine(TCtlSession& session, const TWords& words);

}  // namespace ctl
