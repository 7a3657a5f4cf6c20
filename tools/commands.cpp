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
std::function<int()> setupInfo(CLI::App &command);
std::function<int()> setupCapture(CLI::App &command);
std::function<int()> setupSnapshot(CLI::App &command);
std::function<int()> setupControls(CLI::App &command);
std::function<int()> setupGet(CLI::App &command);
std::function<int()> setupSet(CLI::App &command);

namespace {

const std::array kCommands = {
    Command{"capture", "capture from the emulated camera through the driver to Y4M, PNG or raw",
            setupCapture},
    Command{"snapshot", "one picture from the emulated camera after exposure settles", setupSnapshot},
    Command{"info", "the camera as the driver sees it: ids, versions, alternate setting", setupInfo},
    Command{"controls", "every camera property with its range, default and value", setupControls},
    Command{"get", "read camera properties through the driver", setupGet},
    Command{"set", "set camera properties through the driver; they persist in the registry", setupSet},
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
