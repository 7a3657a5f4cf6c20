// Shared pieces of the zm4 tool: exit codes, the error that ends a subcommand
// with a message and a code, and the subcommand table entry.
#pragma once

#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

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

using CommandArgs = std::span<const std::string>;

// One subcommand: its name after "zm4", a one-line summary for "zm4 --help",
// and its entry point, which gets the arguments after the name.
struct Command {
    std::string_view name;
    std::string_view summary;
    int (*run)(CommandArgs args);
};

// Every subcommand, in the order "zm4 --help" lists them (commands.cpp).
std::span<const Command> commands();

} // namespace zm4::cli
