#pragma once

#include <string>
#include <vector>

// The server's command line: run-mode switches and the control-port override.
class TVmCommandLine {
  public:
    explicit TVmCommandLine(std::vector<std::string> arguments);

    // A switch counts with "-" or "/" in front, compared without regard to case.
    bool HasSwitch(const std::string& name) const;

    // Walks every argument whose upper-case form begins with "SERVERPORT:" (no "-" or "/" in
    // front); the text after its last ":" that converts to an integer (decimal with optional
    // sign, or hexadecimal after "$", "x" or "0x") replaces the port. The last one wins.
    int ServerPort(int configuredPort) const;

    const std::vector<std::string>& Arguments() const { return FArguments; }

  private:
    std::vector<std::string> FArguments;
};

// Converts decimal with an optional sign, or hexadecimal introduced by "$", "x" or "0x";
// false for anything else (including bare hexadecimal digits and out-of-range values).
bool TryStrToInt(const std::string& text, int& value);
