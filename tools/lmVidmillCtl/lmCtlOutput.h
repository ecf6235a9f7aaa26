#pragma once

// What every command prints when it is done: a line of text, or with --json the object
// {"done": true, "message": ..., "tasks": [...]}.

#include <string>
#include <vector>

#include "foundation/kxGUID.h"
#include "tools/lmVidmillCtl/lmCtlJson.h"

namespace ctl {

class TCtlSession;

// Standard output, flushed. Throws TCtlError (output failed) when it cannot be written.
void Print(const std::string& text);
// Text from the engine as plain output shows it, so that one line stays one line and a
// terminal is never driven by it: "\\" for a backslash, "\\n", "\\r" and "\\t" for line
// breaks and tabs, "\\xHH" for other control bytes and bytes that are no UTF-8, "\\uHHHH" for
// the C1 controls and the line and paragraph separators. JSON output keeps the text as it is.
std::string Shown(const std::string& text);
void PrintDone(TCtlSession& session, const std::string& message,
               const std::vector<TGUID>& tasks = {});

}  // namespace ctl
