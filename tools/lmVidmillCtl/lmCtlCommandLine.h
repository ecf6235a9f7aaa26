#pragma once

// The client's command line: global and per-command options, the words of the command, and
// the help text, which also becomes the manual page.

#include <cstdint>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace ctl {

// What scripts can rely on.
enum TExitCode : int {
    exDone = 0,
    exRefused = 1,  // the server refused, or what was asked for does not exist
    exUsage = 2,
    exCannotConnect = 3,  // no connection, a failed login, or the connection was lost
    exOutputFailed = 4    // standard output could not be written
};

// Ends a command with its exit code; main prints the message.
class TCtlError : public std::runtime_error {
  public:
    TCtlError(TExitCode code, const std::string& message)
        : std::runtime_error(message), FCode(code) {}
    TExitCode Code() const { return FCode; }

  private:
    TExitCode FCode;
};

struct TCtlOptions {
    std::string Host = "127.0.0.1";
    // --secret-file: the control secret is the first line of this file.
    std::string SecretFile;
    uint32_t Port = 9797;
    int TimeoutSeconds = 10;
    bool Json = false;
    bool Help = false;
    bool Man = false;
    bool Version = false;
    // The command and its arguments, options removed.
    std::vector<std::string> Words;
    // Command options with a value ("--state failed") and flags ("--all").
    std::map<std::string, std::string> Values;
    std::set<std::string> Flags;

    bool Flag(const std::string& name) const { return Flags.count(name) > 0; }
    std::string Value(const std::string& name) const;
};

// Throws TCtlError (usage) on an unknown option or a bad value.
TCtlOptions ParseCommandLine(const std::vector<std::string>& arguments);

// The environment variable that may hold the control secret.
inline constexpr const char* SecretVariable = "LMVIDMILL_SECRET";
// The secret to log in with: the first line of --secret-file, else $LMVIDMILL_SECRET, else
// empty (the built-in secret). Throws TCtlError (usage) when the file cannot be read or holds
// no secret.
std::string LoginSecret(const TCtlOptions& options);

// The help entry of one command.
struct TCommandHelp {
    const char* Name;
    const char* Synopsis;
    const char* Summary;
    const char* Details;
    std::vector<const char*> Options;  // the command options it accepts
};

const std::vector<TCommandHelp>& Commands();
// The entry of the command (plural kind names included), or nullptr.
const TCommandHelp* FindCommand(const std::string& name);

// Throws TCtlError (usage) when the command was given an option it does not take.
void CheckOptions(const TCommandHelp& command, const TCtlOptions& options);

std::string GeneralHelp();
std::string CommandHelpText(const TCommandHelp& command);
// The manual page in roff, made from the same entries.
std::string ManualPage(const std::string& version);

}  // namespace ctl
