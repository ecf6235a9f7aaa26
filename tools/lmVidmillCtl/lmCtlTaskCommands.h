#pragma once

// The commands on the engine and its task list: status, tasks, cancel, remove, priority,
// clear and requeue. Each checks its arguments before it connects and returns the exit code.

#include <string>
#include <vector>

namespace ctl {

class TCtlSession;
using TWords = std::vector<std::string>;  // the arguments after the command's name

int RunStatus(TCtlSession& session, const TWords& words);
int RunTasks(TCtlSession& session, const TWords& words);
int RunCancel(TCtlSession& session, const TWords& words);
int RunRemove(TCtlSession& session, const TWords& words);
int RunPriority(TCtlSession& session, const TWords& words);
int RunClear(TCtlSession& session, const TWords& words);
int RunRequeue(TCtlSession& session, const TWords& words);

}  // namespace ctl
