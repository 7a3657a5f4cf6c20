// The subcommand table. A new subcommand is one file (cmd_<name>.cpp, which
// defines its entry point) plus its declaration and one row here.
#include "tools/cli.h"

#include <array>

namespace zm4::cli {

int runVerify(CommandArgs args);
int runDecode(CommandArgs args);
int runFormats(CommandArgs args);
int runRegistry(CommandArgs args);

namespace {

const std::array kCommands = {
    Command{"verify", "check raw camera frame files and show their header fields", runVerify},
    Command{"decode", "decode raw camera frame files, as one stream, to images", runDecode},
    Command{"formats", "list the output formats the driver offers, with their sizes and rates", runFormats},
    Command{"registry", "show the driver's persisted values and its record of problems", runRegistry},
};

} // namespace

std::span<const Command> commands()
{
    return kCommands;
}

} // namespace zm4::cli
