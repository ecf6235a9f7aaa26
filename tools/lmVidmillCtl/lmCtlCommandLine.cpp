#include "tools/lmVidmillCtl/lmCtlCommandLine.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "tools/lmVidmillCtl/lmCtlJson.h"

namespace ctl {

namespace {

// The options that take a value and the flags, with what they mean; the first four hold for
// every command.
struct TOptionHelp {
    const char* Name;
    const char* Argument;  // nullptr for a flag
    const char* Text;
};

const std::vector<TOptionHelp>& GlobalOptions() {
    static const std::vector<TOptionHelp> options = {
        {"host", "HOST", "the engine's host (default 127.0.0.1)"},
        {"port", "PORT", "the engine's control port (default 9797)"},
        {"timeout", "SECONDS",
         "how long to wait for the engine to answer, the connect included (default 10)"},
        {"secret-file", "FILE", "log in with the secret on the first line of FILE"},
        {"json", nullptr, "print listings and answers as JSON (see JSON OUTPUT)"},
        {"help", nullptr, "show the help of the command"},
    };
    return options;
}

const std::vector<TOptionHelp>& CommandOptions() {
    static const std::vector<TOptionHelp> options = {
        {"state", "STATE",
         "only tasks in that state: queued, transcoding, filing, captioning, cancelled, "
         "finished, failed, running (the busy three) or done (the ended three)"},
        {"source", "SOURCE", "only tasks of that source (name or uid)"},
        {"message", "TEXT", "only tasks whose message contains the text (any case)"},
        {"all", nullptr, "every task the command can act on"},
        {"until-done", nullptr, "end once no task is waiting or running"},
    };
    return options;
}

const TOptionHelp* FindOption(const std::string& name) {
    for (const auto* list : {&GlobalOptions(), &CommandOptions()}) {
        for (const TOptionHelp& option : *list) {
            if (name == option.Name) {
                return &option;
            }
        }
    }
    return nullptr;
}

constexpr const char* KindDetails =
    "FIELD=VALUE pairs name the object's fields as the engine stores them; 'show' lists them "
    "with their values, and an unknown field is refused with the list of valid ones. Booleans "
    "are 1 or 0. OBJECT is a name (any case) or a uid. 'add' creates the object with the "
    "engine's defaults and then sets the fields given. Processors take 'targets=A,B' (target "
    "names or uids).";

int ParsePositive(const std::string& option, const std::string& text, int64_t maximum) {
    int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < 1 || value > maximum) {
        throw TCtlError(exUsage, "--" + option + " needs a number from 1 to " +
                                     std::to_string(maximum) + ", not '" + text + "'");
    }
    return static_cast<int>(value);
}

void SetValue(TCtlOptions& options, const std::string& name, const std::string& value) {
    if (name == "host") {
        options.Host = value;
    } else if (name == "port") {
        options.Port = static_cast<uint32_t>(ParsePositive(name, value, 65535));
    } else if (name == "timeout") {
        options.TimeoutSeconds = ParsePositive(name, value, 86400);
    } else if (name == "secret-file") {
        options.SecretFile = value;
    } else {
        options.Values[name] = value;
    }
}

void SetFlag(TCtlOptions& options, const std::string& name) {
    if (name == "json") {
        options.Json = true;
    } else if (name == "help") {
        options.Help = true;
    } else {
        options.Flags.insert(name);
    }
}

}  // namespace

std::string TCtlOptions::Value(const std::string& name) const {
    const auto found = Values.find(name);
    return found == Values.end() ? std::string() : found->second;
}

TCtlOptions ParseCommandLine(const std::vector<std::string>& arguments) {
    TCtlOptions options;
    bool wordsOnly = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (wordsOnly || argument.size() < 3 || argument.compare(0, 2, "--") != 0) {
            if (argument == "--") {
                wordsOnly = true;
            } else if (argument == "-h") {
                options.Help = true;
            } else {
                options.Words.push_back(argument);
            }
            continue;
        }
        std::string name = argument.substr(2);
        std::string value;
        const size_t equals = name.find('=');
        const bool inlineValue = equals != std::string::npos;
        if (inlineValue) {
            value = name.substr(equals + 1);
            name.resize(equals);
        }
        // Hidden switches: the manual page is made from the help at build time.
        if (name == "man" || name == "version") {
            (name == "man" ? options.Man : options.Version) = true;
            continue;
        }
        const TOptionHelp* option = FindOption(name);
        if (!option) {
            throw TCtlError(exUsage, "unknown option --" + name + " (see --help)");
        }
        if (!option->Argument) {
            if (inlineValue) {
                throw TCtlError(exUsage, "--" + name + " takes no value");
            }
            SetFlag(options, name);
            continue;
        }
        if (!inlineValue) {
            if (i + 1 >= arguments.size()) {
                throw TCtlError(exUsage, "--" + name + " needs a value");
            }
            value = arguments[++i];
        }
        SetValue(options, name, value);
    }
    return options;
}

namespace {

// A secret is one short line; a file that gives none within this many bytes is no secret file.
constexpr size_t MaxSecretLine = 4096;

std::string SecretFromFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw TCtlError(
            exUsage, "cannot read the secret file '" + path + "' (" + std::strerror(errno) + ")");
    }
    std::string line;
    char c = 0;
    while (line.size() <= MaxSecretLine && file.get(c) && c != '\n') {
        line += c;
    }
    if (line.size() > MaxSecretLine) {
        throw TCtlError(
            exUsage, "the first line of the secret file '" + path + "' is too long to be a secret");
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    if (line.empty()) {
        throw TCtlError(exUsage,
                        "the secret file '" + path + "' holds no secret on its first line");
    }
    return line;
}

}  // namespace

std::string LoginSecret(const TCtlOptions& options) {
    if (!options.SecretFile.empty()) {
        return SecretFromFile(options.SecretFile);
    }
    const char* variable = std::getenv(SecretVariable);
    return variable ? std::string(variable) : std::string();
}

const std::vector<TCommandHelp>& Commands() {
    static const std::vector<TCommandHelp> commands = {
        {"status",
         "status",
         "the engine's identity, version, counts and connection",
         "Shows the engine's name, location, version, the connection and the counts of tasks "
         "and configured objects.",
         {}},
        {"tasks",
         "tasks [--state STATE] [--source SOURCE] [--message TEXT]",
         "list the tasks",
         "Lists the engine's tasks in the order they arrived, with state, progress, priority, "
         "source and message.",
         {"state", "source", "message"}},
        {"watch",
         "watch [--state STATE] [--source SOURCE] [--until-done]",
         "follow the task list live",
         "Follows the task list as the engine reports it. On a terminal the list is redrawn in "
         "place with a progress bar for each running task; otherwise one line is printed for "
         "each change of a task's state or message and for every tenth of its progress. Runs "
         "until interrupted, or with --until-done until no task is waiting or running.",
         {"state", "source", "until-done"}},
        {"cancel",
         "cancel TASK...",
         "cancel waiting or running tasks",
         "TASK is a task's uid or its file name. Tasks that have already ended are refused.",
         {}},
        {"remove",
         "remove TASK...",
         "take ended tasks out of the list",
         "TASK is a task's uid or its file name. Tasks still waiting or running are refused; "
         "cancel them first.",
         {}},
        {"priority",
         "priority N TASK...",
         "set the priority of tasks",
         "Sets the priority of each task to N (a whole number; higher runs first).",
         {}},
        {"clear",
         "clear finished|failed|cancelled",
         "remove every task that ended so",
         "Takes every finished, failed or cancelled task out of the list.",
         {}},
        {"requeue",
         "requeue (TASK... | --all | --source SOURCE | --message TEXT)",
         "retry failed and cancelled tasks",
         "Moves the files of failed and cancelled tasks back into their watch folders, where "
         "the engine takes them again as new tasks; the old tasks leave the list. Tasks are "
         "named by uid or file name, or chosen by source or message among the failed and "
         "cancelled ones. A task still waiting or running, finished, or whose file is gone is "
         "refused (exit code 1) and nothing of it moves.",
         {"all", "source", "message"}},
        {"config",
         "config show",
         "the whole configuration",
         "Shows the engine settings and every configured object with its fields.",
         {}},
        {"source",
         "source list|show OBJECT|add [FIELD=VALUE...]|set OBJECT FIELD=VALUE...|delete OBJECT",
         "the watch folders",
         KindDetails,
         {}},
        {"processor", "processor list|show|add|set|delete ...", "the processors", KindDetails, {}},
        {"target", "target list|show|add|set|delete ...", "the delivery targets", KindDetails, {}},
        {"project", "project list|show|add|set|delete ...", "the projects", KindDetails, {}},
        {"user", "user list|show|add|set|delete ...", "the mail recipients", KindDetails, {}},
        {"engine",
         "engine set FIELD=VALUE...",
         "change the engine settings",
         "Fields: name, loc, desc, port (the control port), shost, sport, slogin, spassword, "
         "sfromname, sfromemail, threads, smtpallowplain (1: a login may go to an SMTP server "
         "without STARTTLS in clear text), smtpcafile (the certificates to trust instead of the "
         "system's store).",
         {}},
        {"farm",
         "farm status",
         "the engines of the farm",
         "Shows every engine of the farm the engine belongs to (\"*\" marks the one asked): "
         "host, port, whether its heartbeat is younger than its lease, how long ago it renewed, "
         "and the tasks it runs and has finished, failed and cancelled; and how many tasks wait "
         "in the farm. Exit code 1 when the engine is in no farm or its database cannot be "
         "read.",
         {}},
    };
    return commands;
}

const TCommandHelp* FindCommand(const std::string& name) {
    for (const TCommandHelp& command : Commands()) {
        const std::string own = command.Name;
        if (name == own ||
            (name.size() == own.size() + 1 && name.back() == 's' &&
             name.compare(0, own.size(), own) == 0 && own != "status" && own != "tasks")) {
            return &command;
        }
    }
    return nullptr;
}

void CheckOptions(const TCommandHelp& command, const TCtlOptions& options) {
    std::vector<std::string> given;
    for (const auto& [name, value] : options.Values) {
        given.push_back(name);
    }
    given.insert(given.end(), options.Flags.begin(), options.Flags.end());
    for (const std::string& name : given) {
        const bool accepted = std::any_of(command.Options.begin(), command.Options.end(),
                                          [&](const char* option) { return name == option; });
        if (!accepted) {
            throw TCtlError(exUsage, std::string(command.Name) + " takes no --" + name);
        }
    }
}

namespace {

std::string OptionLine(const TOptionHelp& option) {
    std::string line = std::string("--") + option.Name;
    if (option.Argument) {
        line += std::string(" ") + option.Argument;
    }
    return line;
}

// The text broken into lines of at most 78 columns between words.
std::string Wrapped(const std::string& text) {
    constexpr size_t width = 78;
    std::string out;
    size_t lineLength = 0;
    size_t at = 0;
    while (at < text.size()) {
        const size_t end = std::min(text.find(' ', at), text.size());
        const std::string word = text.substr(at, end - at);
        if (lineLength > 0 && lineLength + 1 + word.size() > width) {
            out += '\n';
            lineLength = 0;
        } else if (lineLength > 0) {
            out += ' ';
            ++lineLength;
        }
        out += word;
        lineLength += word.size();
        at = end + 1;
    }
    return out;
}

std::string Padded(std::string text, size_t width) {
    text.resize(std::max(width, text.size() + 2), ' ');
    return text;
}

}  // namespace

std::string GeneralHelp() {
    std::string text =
        "Usage: lmVidmillCtl [OPTIONS] COMMAND [ARGUMENTS]\n"
        "Controls an lmVidmill engine over its control port.\n\nCommands:\n";
    for (const TCommandHelp& command : Commands()) {
        text += "  " + Padded(command.Name, 12) + command.Summary + "\n";
    }
    text += "\nOptions:\n";
    for (const TOptionHelp& option : GlobalOptions()) {
        text += "  " + Padded(OptionLine(option), 20) + option.Text + "\n";
    }
    text +=
        "\nThe engine's control secret (the text 'lmVidmill -SETSECRET' printed) comes from\n"
        "--secret-file, else from the environment variable LMVIDMILL_SECRET; without either\n"
        "the built-in secret is used, which only an engine without a secret of its own takes.\n";
    text +=
        "\nPlain output shows line breaks, tabs, other control characters and backslashes in\n"
        "names and messages escaped (\\n, \\t, \\xHH, \\\\), so that every task, object and\n"
        "field is one line; --json keeps them exact.\n"
        "\nExit codes: 0 done, 1 refused by the engine (or no such object), 2 usage error,\n"
        "3 cannot connect or log in, 4 the output could not be written.\n"
        "'lmVidmillCtl COMMAND --help' shows the help of a command.\n";
    return text;
}

std::string CommandHelpText(const TCommandHelp& command) {
    std::string text = std::string("Usage: lmVidmillCtl [OPTIONS] ") + command.Synopsis + "\n" +
                       command.Summary + ".\n\n" + Wrapped(command.Details) + "\n";
    if (!command.Options.empty()) {
        text += "\nOptions:\n";
        for (const char* name : command.Options) {
            const TOptionHelp* option = FindOption(name);
            text += "  " + Padded(OptionLine(*option), 20) + option->Text + "\n";
        }
    }
    return text;
}

namespace {

// Roff treats a leading dot or quote as a request and a backslash as an escape.
std::string Roff(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\') {
            out += "\\e";
        } else if (c == '-') {
            out += "\\-";
        } else {
            out += c;
        }
    }
    if (!out.empty() && (out[0] == '.' || out[0] == '\'')) {
        out.insert(0, "\\&");
    }
    return out;
}

}  // namespace

std::string ManualPage(const std::string& version) {
    std::string page = ".TH LMVIDMILLCTL 1 \"\" \"lmVidmill " + Roff(version) +
                       "\" \"User Commands\"\n"
                       ".SH NAME\nlmVidmillCtl \\- control an lmVidmill engine from the shell\n"
                       ".SH SYNOPSIS\n.B lmVidmillCtl\n[\\fIOPTIONS\\fR] \\fICOMMAND\\fR "
                       "[\\fIARGUMENTS\\fR]\n"
                       ".SH DESCRIPTION\nConnects to the engine's control port, logs in as the "
                       "manager does, carries out one command and ends.\n.SH OPTIONS\n";
    for (const TOptionHelp& option : GlobalOptions()) {
        page += ".TP\n.B " + Roff(OptionLine(option)) + "\n" + Roff(option.Text) + "\n";
    }
    page += ".SH COMMANDS\n";
    for (const TCommandHelp& command : Commands()) {
        page += ".TP\n.B " + Roff(command.Synopsis) + "\n" + Roff(command.Summary) + ". " +
                Roff(command.Details) + "\n";
        for (const char* name : command.Options) {
            const TOptionHelp* option = FindOption(name);
            page +=
                ".RS\n.TP\n.B " + Roff(OptionLine(*option)) + "\n" + Roff(option->Text) + "\n.RE\n";
        }
    }
    page += ".SH JSON OUTPUT\n.nf\n" + Roff(JsonSchemaText()) + ".fi\n";
    page +=
        ".SH ENVIRONMENT\n.TP\n.B LMVIDMILL_SECRET\nThe engine's control secret, the text "
        "\\fBlmVidmill \\-SETSECRET\\fR printed; \\fB\\-\\-secret\\-file\\fR wins over it. "
        "Without either the built-in secret is used, which only an engine without a secret of "
        "its own takes.\n";
    page +=
        ".SH EXIT STATUS\n.TP\n0\ndone\n.TP\n1\nrefused by the engine, or no such task or "
        "object\n.TP\n2\nusage error\n.TP\n3\ncannot connect or log in, or the connection was "
        "lost\n.TP\n4\nthe output could not be written\n";
    return page;
}

}  // namespace ctl
