// The subcommand table. A new subcommand is one file (cmd_<name>.cpp, which
// defines its setup) plus its declaration and one row here.
#include "tools/cli.h"

#include <array>

namespace zm4::cli {

std::function<int()> setupVerify(CLI::App &command);
std::function<int()> setupDecode(CLI::App &command);
std::function<int()> setupFormats(CLI::App &command);
std::function<int()> setupRegistry(CLI::App &command);
std::function<int()> setupFaults(CLI::App &command);

namespace {

const std::array kCommands = {
    Command{"verify", "check raw camera frame files and show their header fields", setupVerify},
    Command{"decode", "decode raw camera frame files, as one stream, to images", setupDecode},
    Command{"formats", "list the output formats the driver offers, with their sizes and rates", setupFormats},
    Command{"registry", "show the driver's persisted values and its record of problems", setupRegistry},
    Command{"faults", "list the emulated camera's faults that --fault switches on", setupFaults},
};

} // namespace

std::span<const Command> commands()
{
    return kCommands;
}

} // namespace zm4::cli
