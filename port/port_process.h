#pragma once

#include <string>

namespace port {

// Full path of the running executable, symbolic links resolved; empty if it cannot be found.
std::string ExecutablePath();

// Folder of the running executable with a trailing "/"; everything the server keeps on disk is
// found relative to it, never relative to the working directory.
std::string ExecutableFolder();

// Writes one error entry to the system log (syslog, facility daemon) with `source` as the
// identity. Failures are silent.
void SystemLogError(const std::string& source, const std::string& text);

// Hands one line to a developer watching the process: written to standard error when that is a
// terminal (a server started by hand), dropped otherwise, so a service's journal does not get
// every log line twice.
void DebugOutput(const std::string& line);

}  // namespace port
