// The command line of the programs with windows, read before Qt exists: so
// --help, --version and a mistyped option work with no display at all. Qt's
// own options (-platform NAME, -display NAME, -style NAME, ...) are let
// through to Qt; anything else unknown is an error.
#pragma once

#include <map>
#include <span>
#include <string>
#include <vector>

namespace tact {

struct ProgramOption {
    const char* name;             // "--screenshot"
    const char* value = nullptr;  // "a file name": it takes one, as "--name VALUE" or
                                  // "--name=VALUE"; nullptr for a flag
};

struct CommandLine {
    bool help = false;
    bool version = false;
    std::map<std::string, std::vector<std::string>> given;  // option -> its values ("" for flags)
    std::string error;  // "unknown option '--bogus'", "--screenshot needs a value"

    bool has(const std::string& name) const { return given.count(name) != 0; }
    // The last value given, or empty.
    std::string value(const std::string& name) const;
    std::vector<std::string> values(const std::string& name) const;
};

CommandLine parseCommandLine(int argc, char** argv, std::span<const ProgramOption> options);

// Handles what ends the program before it starts: prints the help (usage on
// standard output), the version, or the error with the usage's first line
// and a hint on standard error. Returns the exit status (0, or 2 for an
// error), or -1 when the program goes on.
int commandLineExit(const CommandLine& line, const char* program, const char* usage);

}  // namespace tact
