#pragma once

#include <string>
#include <vector>

// Where the server finds what it ships with and keeps what it writes; each ends with "/".
struct TVmFolders {
    std::string Install;  // the executable's folder: bin/, codecs/, EmailTemplates/
    std::string Config;   // "config.dat"
    std::string Data;     // the mail spool "MailQueue/"
    std::string Log;      // the log files
};

// The server's command line: run-mode switches, the control-port and folder overrides, and the
// requests a user types on a terminal (help, version).
class TVmCommandLine {
  public:
    // What the command line asks of the program before anything else happens.
    enum class TRequest { Run, Help, Version };

    explicit TVmCommandLine(std::vector<std::string> arguments);

    // A switch counts with "-" or "/" in front, compared without regard to case.
    bool HasSwitch(const std::string& name) const;

    // Walks every argument whose upper-case form begins with "SERVERPORT:" (no "-" or "/" in
    // front); the text after its last ":" that converts to an integer (decimal with optional
    // sign, or hexadecimal after "$", "x" or "0x") replaces the port. The last one wins.
    int ServerPort(int configuredPort) const;

    // The folders of an installation in `installFolder`: the configuration and the data beside
    // the executable and the logs in its "logs/", unless "CONFIGFOLDER:", "DATAFOLDER:" or
    // "LOGFOLDER:" (no "-" or "/" in front, any case) names an absolute folder instead. The
    // text after the first ":" is the folder; the last one of a kind wins.
    TVmFolders Folders(const std::string& installFolder) const;
    // Folder overrides that name no absolute folder; the server refuses to run with them.
    std::vector<std::string> InvalidFolderArguments() const;

    // Help when any argument asks for it ("--help", "-h", "-?", "/?", or the switch "HELP"),
    // else the version ("--version" or the switch "VERSION"), else a run.
    TRequest Request() const;
    // The arguments the server does not know: neither one of its switches, nor a port or
    // folder override, nor a help or version request. In order.
    std::vector<std::string> UnknownArguments() const;
    // Port overrides written with "-" or "/" in front, which do not count as overrides.
    std::vector<std::string> IgnoredPortArguments() const;

    const std::vector<std::string>& Arguments() const { return FArguments; }

  private:
    std::vector<std::string> FArguments;
};

// Converts decimal with an optional sign, or hexadecimal introduced by "$", "x" or "0x";
// false for anything else (including bare hexadecimal digits and out-of-range values).
bool TryStrToInt(const std::string& text, int& value);
