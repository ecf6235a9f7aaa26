#pragma once

// What every command prints when it is done: a line of text, or with --json the object
// {"done": true, "message": ..., "tasks": [...]}.

#include <string>
#include <vector>

#include "foundation/kxGUID.h"
#include "tools/lmVidmillCtl/lmCtlJson.h"

namespace ctl {

class TCtlSession;

// Standard output, flushed.
void Print(const std::string& text);
void PrintDone(TCtlSession& session, const std::string& message,
               const std::vector<TGUID>& tasks = {});

}  // namespace ctl
