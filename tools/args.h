// Command-line parsing for the zm4 subcommands: each declares its flags and
// valued options once and gets parsing, error messages and its --help text.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/cli.h"

namespace zm4::cli {

class ArgParser {
public:
    // synopsis: the argument summary after "zm4 <command>", e.g. "FILE... [--json]".
    // description: free text printed under the option list.
    ArgParser(std::string command, std::string synopsis, std::string description);

    ArgParser &flag(std::string longName, char shortName, std::string help);
    ArgParser &option(std::string longName, char shortName, std::string valueName, std::string help);

    // Returns false when --help (or -h) was given: print usage() and stop.
    // Throws CliError(kExitUsage) for an unknown option or a missing value.
    bool parse(CommandArgs args);

    bool has(std::string_view longName) const;
    // The last value given for a valued option.
    std::optional<std::string> value(std::string_view longName) const;
    // Every value given for a valued option, in order.
    std::vector<std::string> values(std::string_view longName) const;
    const std::vector<std::string> &positionals() const { return positionals_; }

    std::string usage() const;

private:
    struct Spec {
        std::string longName;
        char shortName;
        std::string valueName; // empty for a flag
        std::string help;
    };

    const Spec *findLong(std::string_view name) const;
    const Spec *findShort(char name) const;
    [[noreturn]] void fail(const std::string &message) const;

    std::string command_;
    std::string synopsis_;
    std::string description_;
    std::vector<Spec> specs_;
    std::vector<std::pair<std::string, std::string>> given_; // long name, value ("" for flags)
    std::vector<std::string> positionals_;
};

} // namespace zm4::cli
