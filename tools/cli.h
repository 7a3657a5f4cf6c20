// Shared pieces of the zm4 tool: exit codes, the error that ends a subcommand
// with a message and a code, the subcommand table entry, and the helpers every
// subcommand's messages use.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace zm4::cli {

// Exit codes every subcommand uses; scripts rely on them.
constexpr int kExitOk = 0;
constexpr int kExitIo = 1;       // a file is missing, unreadable or unwritable
constexpr int kExitUsage = 2;    // bad arguments
constexpr int kExitBadFrame = 4; // a frame failed verification or decoding

// Thrown to end a subcommand: main prints "zm4: <what>" and exits with code().
class CliError : public std::runtime_error {
public:
    CliError(int code, const std::string &message) : std::runtime_error(message), code_(code) {}
    int code() const { return code_; }

private:
    int code_;
};

// A usage error of subcommand `command`: "command: message (see 'zm4 command --help')".
CliError usageError(std::string_view command, const std::string &message);

// One subcommand: its name after "zm4", a one-line summary, and a setup that
// declares its options on the CLI11 subcommand and returns what runs it once
// the command line is parsed.
struct Command {
    std::string_view name;
    std::string_view summary;
    std::function<int()> (*setup)(CLI::App &command);
};

// Every subcommand, in the order "zm4 --help" lists them (commands.cpp).
std::span<const Command> commands();

// The candidate closest to `word` by edit distance, when close enough to be
// a likely typing slip; empty otherwise.
std::string nearestName(std::string_view word, const std::vector<std::string> &candidates);

// Text safe to put on a terminal: control characters (C0, DEL, C1) as \n, \t
// or \u00XX, a backslash as \\, bytes that are not UTF-8 as \xNN.
std::string printable(std::string_view text);

} // namespace zm4::cli
