// lmVidmillCtl: controls an engine from the shell or a script. It stands on the manager's
// model: it connects and logs in as the manager does, mirrors the engine, and carries out one
// command.

#include <cstdio>
#include <string>
#include <vector>

#include "tools/lmVidmillCtl/lmCtlCommandLine.h"
#include "tools/lmVidmillCtl/lmCtlConfigCommands.h"
#include "tools/lmVidmillCtl/lmCtlFarmCommands.h"
#include "tools/lmVidmillCtl/lmCtlOutput.h"
#include "tools/lmVidmillCtl/lmCtlSession.h"
#include "tools/lmVidmillCtl/lmCtlWatch.h"

namespace {

using namespace ctl;

int RunCommand(const TCommandHelp& command, TCtlSession& session, const TWords& words) {
    const std::string name = command.Name;
    if (name == "status") {
        return RunStatus(session, words);
    }
    if (name == "tasks") {
        return RunTasks(session, words);
    }
    if (name == "watch") {
        return RunWatch(session, words);
    }
    if (name == "cancel") {
        return RunCancel(session, words);
    }
    if (name == "remove") {
        return RunRemove(session, words);
    }
    if (name == "priority") {
        return RunPriority(session, words);
    }
    if (name == "clear") {
        return RunClear(session, words);
    }
    if (name == "requeue") {
        return RunRequeue(session, words);
    }
    if (name == "config") {
        return RunConfig(session, words);
    }
    if (name == "engine") {
        return RunEngine(session, words);
    }
    if (name == "farm") {
        return RunFarm(session, words);
    }
    return RunKind(session, name, words);
}

int Run(const std::vector<std::string>& arguments) {
    const TCtlOptions options = ParseCommandLine(arguments);
    if (options.Man) {
        Print(ManualPage(LMV_CTL_VERSION));
        return exDone;
    }
    if (options.Version) {
        Print(std::string("lmVidmillCtl ") + LMV_CTL_VERSION + "\n");
        return exDone;
    }
    std::vector<std::string> words = options.Words;
    // "help COMMAND" is "COMMAND --help".
    const bool helpWord = !words.empty() && words[0] == "help";
    if (helpWord) {
        words.erase(words.begin());
    }
    if (words.empty()) {
        if (options.Help || helpWord) {
            Print(GeneralHelp());
            return exDone;
        }
        throw TCtlError(exUsage, "no command given (see lmVidmillCtl --help)");
    }
    const TCommandHelp* command = FindCommand(words[0]);
    if (!command) {
        throw TCtlError(exUsage, "unknown command '" + words[0] + "' (see lmVidmillCtl --help)");
    }
    if (options.Help || helpWord) {
        Print(CommandHelpText(*command));
        return exDone;
    }
    CheckOptions(*command, options);
    TCtlSession session(options);
    return RunCommand(*command, session, TWords(words.begin() + 1, words.end()));
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const TCtlError& error) {
        std::fprintf(stderr, "lmVidmillCtl: %s\n", Shown(error.what()).c_str());
        return error.Code();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "lmVidmillCtl: %s\n", Shown(error.what()).c_str());
        return exRefused;
    }
}
